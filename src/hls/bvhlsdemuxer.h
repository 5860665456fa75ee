#pragma once

#include "bvhlschunk.h"

#include <QObject>

// Takes a downloaded segment into its record and reads its timing, its audio format and
// its timed ID3 texts.
// MPEG-TS: the first audio PES timestamp, and ID3 tags in private-stream PES packets on
// PID 258, timed by their PES timestamps. Packed audio (ADTS AAC, MP3): the ID3 tags that
// open the segment, with the timestamp of its first audio in a PRIV frame; they are taken
// out of the data. Other segments (fragmented MP4) are kept as they came.
class BREVANTPLAYER_EXPORT BVHlsDemuxer : public QObject
{
    Q_OBJECT

public:
    // Packed-audio ID3 tags read at the start of one segment at most.
    static const int kMaxPackedTags = 4;

    explicit BVHlsDemuxer(QObject *parent = nullptr);

    // Replaces the chunk's data, timestamp and titles with those of `data`. A TS tag may
    // begin in an earlier segment.
    void demux(BVHlsChunk &chunk, const QByteArray &data);

private:
    struct PesState
    {
        quint8 streamId = 0;
        qint64 pts = -1;
        qint32 skip = 0;
        qint32 expected = 0;
        QByteArray payload;
        bool complete = false;
    };

    void demuxTransportStream(BVHlsChunk &chunk);
    void reassemble(bool unitStart, const char *payload, int payloadSize);

    PesState m_pesState;
};
