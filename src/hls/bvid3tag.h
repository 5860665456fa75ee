#pragma once

#include "bvid3fields.h"

#include <QByteArray>
#include <QString>

// An ID3v2 tag read from raw bytes that begin with its 10-byte header. TagLib reads it, in a
// module loaded on first use; without the module every tag reads as empty.
class BVId3Tag
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
    qint64 transportStreamTimestamp() const { return m_fields.transportStreamTimestamp; }

private:
    BVId3Fields m_fields;
};
