#pragma once

#include "bvhlschunk.h"
#include "bvplayback.h"

#include <QList>
#include <QMutex>
#include <QPair>
#include <QWaitCondition>

#include "bass.h"
#include "bvplaylisttypes.h"

class BVHlsChunkDownloader;
class BVHlsDemuxer;
class BVHlsPlaylistUpdater;

// The back-end for HLS streams: a playlist updater, a segment downloader and a demuxer
// fill a map of segments on the player's thread, and the engine reads them through a
// blocking user-file stream on its own threads. Timed ID3 texts are emitted when the
// engine has decoded up to the end of their segment.
class BREVANTPLAYER_EXPORT BVHlsPlayback : public BVPlayback
{
    Q_OBJECT

public:
    // Longest wait of one engine read for a playlist or for segment data.
    static const int BV_HLS_READ_TIMEOUT = 30000;

    explicit BVHlsPlayback(BVPlayer *player, QObject *parent = nullptr);
    ~BVHlsPlayback() override;

signals:
    void error(const QString &errorMessage);

public slots:
    quint32 start(quint64 startPos = 0) override;
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

    DWORD readOnOwnThread(void *buffer, DWORD length);
    DWORD streamRead(void *buffer, DWORD length);
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
    QMap<quint32, BVHlsChunk> m_chunks;
    QList<QPair<quint64, QString>> m_pendingMeta;
    // Engine streams not yet closed by the engine, and whether the object is going away.
    int m_openStreams = 0;
    bool m_closing = false;
    QWaitCondition m_streamClosed;
};
