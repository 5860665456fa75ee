// A network stream downloaded by its own thread: HTTP(S), redirects, ICY responses
// and metadata, byte-range starts, prebuffering, reconnects of live streams, and the
// read time-out that ends a silent download.
#pragma once

#include "bass.h"
#include "input/byte_input.h"
#include "input/byte_window.h"
#include "input/http_transfer.h"
#include "input/icy_demuxer.h"
#include "input/net_request.h"

#include <chrono>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace bvaudio {

class NetInput : public ByteInput, private TransferListener {
public:
    using Deadline = std::chrono::steady_clock::time_point;
    // Response headers beyond this many bytes end the request.
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;
    // A live stream never keeps more than this ahead of the decoder, whatever its bit rate says.
    static constexpr size_t kMaxLiveBuffer = 2 * 1024 * 1024;
    // A file of known length is kept in a window of this many bytes ahead of the decoder and behind it.
    static constexpr size_t kFileWindow = 8 * 1024 * 1024;

    // Starts the download and waits for the response headers until `deadline`.
    // Returns nullptr with `error` set: BASS_ERROR_FILEOPEN (HTTP error status, refused connection),
    // BASS_ERROR_UNSTREAMABLE (oversized headers), BASS_ERROR_TIMEOUT, BASS_ERROR_SSL, BASS_ERROR_NONET.
    // Reads before the decoder has opened wait for data until `deadline` too.
    static std::unique_ptr<NetInput> open(const NetRequest &request, DOWNLOADPROC *proc, void *user,
                                          Deadline deadline, int &error);
    ~NetInput() override;
    // Ends every download of the process, also those of creations still waiting for an answer:
    // they return at once. For the engine's shut-down.
    static void abortAll();

    void abort() override;
    int read(uint8_t *buffer, int size) override;
    bool seek(int64_t position) override;
    bool isSeekable() const override { return m_contentLength >= 0; }
    int64_t size() const override { return m_contentLength; }
    int64_t bufferPosition() const override;
    int64_t endPosition() const override { return m_contentLength; }

    const std::string &contentType() const { return m_contentType; }
    std::string responseHeaders() const override;
    // Waits until `bytes` have arrived, the download ended or the deadline passed;
    // returns the first bytes received (at most `bytes`).
    std::string peek(size_t bytes) override;
    // Waits until playback may start (NET_PREBUF % of the buffer) or the download ended.
    void waitForPrebuffer(int timeoutMs);
    // Format detection is over: from now on a read that runs dry waits for the prebuffer.
    void decoderOpened() override;
    // Sizes the live buffer (NET_BUFFER ms) from the stream's bit rate.
    void setBitrate(int64_t bitsPerSecond);

    // The last ICY metadata block, and a listener told (on the download thread) when it changes.
    std::string metadata() const override;
    void setMetadataListener(std::function<void()> listener);
    // Told (on the download thread) when a live stream has connected again after a drop.
    void setReconnectListener(std::function<void()> listener);

private:
    NetInput(const NetRequest &request, DOWNLOADPROC *proc, void *user, Deadline deadline);
    void run();
    void quitLocked();
    int transfer(uint64_t offset, int64_t connectTimeoutMs);
    bool isLiveAndWanted() const;
    uint64_t receivedBytes() const;
    void notify(const std::function<void()> &listener);
    size_t onHeader(const char *line, size_t size) override;
    size_t onBody(const char *data, size_t size) override;
    bool onProgress() override;
    int pollTimeoutMs() const override;
    void restBetweenReads() override;
    void appendAudio(const uint8_t *data, size_t size);
    size_t availableLocked() const { return m_window.available(); }
    size_t prebufferBytesLocked() const;
    size_t aheadCapacityLocked() const { return m_contentLength >= 0 ? kFileWindow : m_liveCapacity; }

    const NetRequest m_request;
    const Deadline m_openDeadline;
    DOWNLOADPROC *const m_proc;
    void *const m_user;
    std::thread m_thread;
    HttpTransfer *m_transfer = nullptr; // while one runs, to wake it on shut-down

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    // Where the download is. The stream exists from the first accepted response on
    // (Connected); a live stream that drops goes through Reconnecting and Reconnected (its
    // new response accepted, not yet reported with its first data) back to Connected.
    enum class Phase {
        Opening,      // no response accepted yet
        Connected,    // the current connection's response was accepted
        Reconnecting, // a live stream between connections
        Reconnected,
        Failed,       // ended without an accepted response: the stream never existed
        Ended,        // the download thread is done
    };
    bool answeredLocked() const { return m_phase != Phase::Opening && m_phase != Phase::Failed; }
    bool connectedLocked() const { return m_phase == Phase::Connected || m_phase == Phase::Reconnected; }
    bool doneLocked() const { return m_phase == Phase::Failed || m_phase == Phase::Ended; }

    Phase m_phase = Phase::Opening;
    bool m_quit = false;            // asked to stop: every wait ends, the download winds down
    bool m_decoderOpened = false;   // format detection is over: a dry read waits for the prebuffer
    bool m_readerWaiting = false;   // the decoder waits for data: no rest for the download
    bool m_writerWaiting = false;   // the download waits for room: reads wake it
    int m_error = BASS_OK;
    long m_status = 0;
    size_t m_headerBytes = 0;
    std::string m_contentType;
    std::string m_headerLines;      // of the response being opened, each followed by '\0'
    int64_t m_contentLength = -1;
    int64_t m_responseLength = -1;  // Content-Length of the current response
    size_t m_metaInt = 0;
    std::unique_ptr<IcyDemuxer> m_icy;
    uint64_t m_skip = 0;             // bytes to drop when a server ignored the range
    ByteWindow m_window;             // received audio bytes not yet dropped, and the decoder's place in them
    size_t m_liveCapacity;           // live streams: most bytes kept ahead of the reader
    std::string m_metadata;
    std::function<void()> m_metaListener;
    std::function<void()> m_reconnectListener;
    std::vector<uint8_t> m_audioScratch;
    int64_t m_lastDataMs = 0;
    int64_t m_answerDeadlineMs = 0; // the current connection's response must have come by then
    uint32_t m_readTimeoutMs;
    uint32_t m_bufferMs;
    uint32_t m_prebufPercent;
};

} // namespace bvaudio
