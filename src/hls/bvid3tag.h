#pragma once

#include <QByteArray>
#include <QString>

#include <taglib/id3v2tag.h>

// An ID3v2 tag read from raw bytes that begin with its 10-byte header, as one line of text.
class BVId3Tag : public TagLib::ID3v2::Tag
{
public:
    explicit BVId3Tag(const QByteArray &bytes);

    // The values of one property joined with " ", empty when the tag has none.
    QString property(const QString &key) const;
    // The title, then every property as key:values.
    QString toString() const;
};
