#pragma once

#include <QByteArray>
#include <QString>

#include <taglib/id3v2tag.h>

// An ID3v2 tag read from raw bytes that begin with its 10-byte header.
class BVId3Tag : public TagLib::ID3v2::Tag
{
public:
    explicit BVId3Tag(const QByteArray &bytes);

    // The values of one property joined with " ", empty when the tag has none.
    QString property(const QString &key) const;
    // The title, then every property as key:values.
    QString toString() const;
    // The now-playing text: the TXXX value when there is one, otherwise toString().
    QString nowPlaying() const;
    // The 33-bit timestamp of the PRIV frame "com.apple.streaming.transportStreamTimestamp"
    // (packed audio's first sample, 90 kHz), -1 when there is none.
    qint64 transportStreamTimestamp() const;
};
