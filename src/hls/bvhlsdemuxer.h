#pragma once

#include "bvhlschunk.h"

#include <QObject>

// Stores a downloaded MPEG-TS segment in its record and pulls the timed ID3 tags out of
// it: the private-stream PES packets on PID 258. The audio itself is left to the engine.
class BREVANTPLAYER_EXPORT BVHlsDemuxer : public QObject
{
    Q_OBJECT

public:
    explicit BVHlsDemuxer(QObject *parent = nullptr);

    // Replaces the chunk's data with `data` and its meta with the texts of the tags that end
    // in it, all at the offset of the segment's end. A tag may begin in an earlier segment.
    void demux(BVHlsChunk &chunk, const QByteArray &data);

private:
    struct PesState
    {
        QByteArray startCode;
        quint8 streamId = 0;
        quint16 packetLength = 0;
        quint16 flags = 0;
        quint8 headerDataLength = 0;
        QByteArray headerBytes;
        qint32 skip = 0;
        qint32 expected = 0;
        QByteArray payload;
        bool complete = false;
    };

    void reassemble(bool unitStart, const char *payload, int payloadSize);

    PesState m_pesState;
};
