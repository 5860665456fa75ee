#pragma once

#include "bvhlschunk.h"
#include "bvplayback.h"

#include <QHash>
#include <QMutex>
#include <QTimer>
#include <QWaitCondition>

#include <list>
#include <memory>

#include "bass.h"
#include "bvhlstimeline.h"
#include "bvplaylisttypes.h"

class BVBackgroundStream;
class BVHlsChunkDownloader;
class BVHlsDemuxer;
class BVHlsPlaylistUpdater;

// The back-end for HLS streams: a playlist updater, a segment downloader and a demuxer
// fill a map of segments on the player's thread, and the engine reads them through a
// blocking user-file stream on its own threads (its creation too, off the player's
// thread). Each timed ID3 text is shown when the audio at its timestamp is heard: a
// position sync at that sample of the engine stream. Variants of one audio format join in
// one engine stream, so a switch is seamless; a segment that comes later than its duration
// and the audio held last moves to the next lower bitrate at once.
class BREVANTPLAYER_EXPORT BVHlsPlayback : public BVPlayback
{
    Q_OBJECT

public:
    // Longest wait of one engine read for a playlist or for segment data.
    static const int BV_HLS_READ_TIMEOUT = 30000;

    explicit BVHlsPlayback(BVPlaybackHost *host, QObject *parent = nullptr);
    ~BVHlsPlayback() override;

    // Opens a new engine stream on a worker: the player's thread goes on while the first
    // playlist and segment arrive. Reports through started(); a stop() before abandons it.
    void startInBackground(quint64 startPos = 0) override;
    // The last engine stream ended at a discontinuity or a change of format, not at the end
    // of the station: the next segment goes on in a new stream.
    bool endedAtCut();
    // Shows the titles the ended stream still held (it was heard to its end); a stop drops them.
    void showEndedStreamTitles();

signals:
    void error(const QString &errorMessage);

public slots:
    void stop() override;

protected:
    double speedCoef() override;

private slots:
    void changePlaylistUpaterUrl(quint32 currentBitrate);
    void switchDownForSlowDelivery();
    void updatePlaylist(const QMap<quint32,BVHlsChunk> &chunks);
    void downloadNextChunk();
    void demuxChunkData(const QUrl &url, const QByteArray &mpegts);

private:
    static void bassCloseProc(void *user);
    static QWORD bassLenProc(void *user);
    static DWORD bassReadProc(void *buffer, DWORD length, void *user);
    static BOOL bassSeekProc(QWORD offset, void *user);
    static void bassTitleSync(HSYNC sync, DWORD channel, DWORD data, void *user);
    static const BASS_FILEPROCS m_fileProcs;

    // A title waiting for its audio to be heard, at a position sync once the stream is known.
    struct Cue {
        double seconds;
        QString text;
        HSYNC sync = 0;
    };
    // What one engine stream reads through: cancelled by a stop, so that a creation still
    // running never reads the segments of the start after it. All but `playback` are
    // guarded by m_chunksMutex.
    struct Source : std::enable_shared_from_this<Source> {
        explicit Source(BVHlsPlayback *owner) : playback(owner) {}
        BVHlsPlayback *const playback;
        bool cancelled = false;
        bool begun = false;   // the stream has read a byte
        QByteArray audioFormat; // of its first segment: a segment of another format starts a new stream
        QByteArray prefix;    // the initialisation segment, read before its first segment
        DWORD handle = 0;     // the engine stream, once its creation delivered it
        BVHlsTimeline timeline;
        std::list<Cue> cues;  // titles not shown yet, in the order of their audio
    };
    using SourceRef = std::shared_ptr<Source>; // the engine holds one per stream as its user data

    void abandonStart();
    DWORD streamRead(void *buffer, DWORD length, Source &source);
    // The first downloaded segment with unread bytes, never passing one that has not arrived.
    BVHlsChunk *nextChunkToRead();
    // The segment's titles, placed in the stream's audio as it begins to be read.
    void cueTitles(Source &source, const BVHlsChunk &chunk);
    static void arm(Source &source, Cue &cue);
    // Shows the title of `sync` and any before it not shown yet; all of them when `sync` is 0.
    void showTitles(Source &source, HSYNC sync);
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
    QHash<QUrl, QByteArray> m_initSegments; // by #EXT-X-MAP URL, for the segments held
    QTimer *m_slowDeliveryTimer; // a segment slower to come than it plays and than the audio held lasts
    // Engine streams not yet closed by the engine, and whether the object is going away.
    int m_openStreams = 0;
    bool m_closing = false;
    QWaitCondition m_streamClosed;
    SourceRef m_source; // of the latest start
    std::shared_ptr<BVBackgroundStream> m_creation;
};
