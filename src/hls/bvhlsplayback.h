#pragma once

#include "bvhlschunk.h"
#include "bvplayback.h"

#include <QList>
#include <QMutex>
#include <QPair>
#include <QWaitCondition>

#include <memory>

#include "bass.h"
#include "bvplaylisttypes.h"

class BVBackgroundStream;
class BVHlsChunkDownloader;
class BVHlsDemuxer;
class BVHlsPlaylistUpdater;

// The back-end for HLS streams: a playlist updater, a segment downloader and a demuxer
// fill a map of segments on the player's thread, and the engine reads them through a
// blocking user-file stream on its own threads (its creation too, off the player's thread). Timed ID3 texts are emitted when the
// engine has decoded up to the end of their segment.
class BREVANTPLAYER_EXPORT BVHlsPlayback : public BVPlayback
{
    Q_OBJECT

public:
    // Longest wait of one engine read for a playlist or for segment data.
    static const int BV_HLS_READ_TIMEOUT = 30000;

    explicit BVHlsPlayback(BVPlayer *player, QObject *parent = nullptr);
    ~BVHlsPlayback() override;

    // Opens a new engine stream on a worker: the player's thread goes on while the first
    // playlist and segment arrive. Reports through started(); a stop() before abandons it.
    void startInBackground(quint64 startPos = 0);
    // The last engine stream ended at a discontinuity or a change of bitrate, not at the end
    // of the station: the next segment goes on in a new stream.
    bool endedAtCut();

signals:
    void error(const QString &errorMessage);
    void started(quint32 handle, QString errorMessage);

public slots:
    void stop() override;

protected:
    double speedCoef() override;

private slots:
    void changePlaylistUpaterUrl(quint32 currentBitrate);
    void updatePlaylist(const QMap<quint32,BVHlsChunk> &chunks);
    void downloadNextChunk();
    void demuxChunkData(const QUrl &url, const QByteArray &mpegts);

private:
    static void bassCloseProc(void *user);
    static QWORD bassLenProc(void *user);
    static DWORD bassReadProc(void *buffer, DWORD length, void *user);
    static BOOL bassSeekProc(QWORD offset, void *user);
    static const BASS_FILEPROCS m_fileProcs;

    // What one engine stream reads through: cancelled by a stop, so that a creation still
    // running never reads the segments of the start after it.
    struct Source {
        BVHlsPlayback *playback;
        bool cancelled = false; // under m_chunksMutex
    };
    using SourceRef = std::shared_ptr<Source>; // the engine holds one per stream as its user data

    void abandonStart();
    DWORD streamRead(void *buffer, DWORD length, const Source &source);
    // The first downloaded segment with unread bytes, never passing one that has not arrived.
    BVHlsChunk *nextChunkToRead();
    void queueMeta(const BVHlsChunk &chunk, qint32 before, qint32 end, quint64 buffer, quint64 current);
    void emitDueMeta(quint64 buffer, quint64 current);
    bool hasDataToRead();

    BVHlsPlaylistUpdater *m_playlistUpdater;
    BVHlsChunkDownloader *m_chunkDownloader;
    BVHlsDemuxer *m_demuxer;
    BVPlaylistStreams m_streams;
    QMutex m_chunksMutex;
    QWaitCondition m_chunksCondition;
    bool m_readStarted = false;
    bool m_endedAtCut = false;
    QMap<quint32, BVHlsChunk> m_chunks;
    QList<QPair<quint64, QString>> m_pendingMeta;
    // Engine streams not yet closed by the engine, and whether the object is going away.
    int m_openStreams = 0;
    bool m_closing = false;
    QWaitCondition m_streamClosed;
    SourceRef m_source; // of the latest start
    std::shared_ptr<BVBackgroundStream> m_creation;
};
