#pragma once

#include "bvglobal.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QUrl>

// A now-playing text carried in a segment, and the 90 kHz timestamp of the audio it
// belongs to (-1 when the segment does not tell).
struct BVHlsTitle
{
    qint64 pts = -1;
    QString text;
};

// One HLS segment, from its playlist entry to the bytes handed to the engine.
struct BVHlsChunk
{
    quint32 sequence = 0;         // media sequence number, also its key in every segment map
    double duration = 0.0;        // #EXTINF duration in seconds
    quint32 bitrate = 0;          // bitrate of the media playlist it came from
    QUrl url;                     // absolute segment URL
    QUrl mapUrl;                  // its initialisation segment (#EXT-X-MAP), empty when none
    bool isDiscontinuity = false; // must begin a new engine stream
    bool isDownloaded = false;    // its data arrived and was demuxed
    qint32 readPos = 0;           // bytes of data already handed to the engine
    QByteArray data;              // the audio the engine reads: the segment less any ID3 tags before it
    qint64 pts = -1;              // 90 kHz timestamp of its first audio, -1 when unknown
    QByteArray audioFormat;       // codec, rate and channels of its first audio frame, empty when unknown
    QList<BVHlsTitle> titles;     // in the order the segment carries them
};

using BVHlsChunks = QMap<quint32, BVHlsChunk>;

Q_DECLARE_METATYPE(BVHlsChunk)
Q_DECLARE_METATYPE(BVHlsChunks)
