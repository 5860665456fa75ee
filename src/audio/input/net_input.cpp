#include "input/net_input.h"

#include "engine_config.h"
#include "steady_ms.h"
#include "text_util.h"
#include "thread_name.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>

namespace bvaudio {
namespace {

constexpr size_t kDefaultBytesPerSecond = 128000 / 8;
constexpr size_t kMinLiveBuffer = 16 * 1024;
// Pauses before the tries to connect a dropped live stream again.
constexpr int kReconnectDelaysMs[] = {0, 500, 1500};

// A playing live stream whose decoder is not waiting for data is read in batches: the
// socket keeps what arrives meanwhile, and the thread wakes twice a second instead of
// once per packet. The live buffer bridges the pause; a decoder that runs dry ends it.
constexpr auto kRest = std::chrono::milliseconds(500);

// NET_BUFFER milliseconds at `bitsPerSecond`, within the live buffer's bounds.
size_t liveCapacity(uint64_t bitsPerSecond, uint32_t bufferMs)
{
    const uint64_t bytes = std::min<uint64_t>(bitsPerSecond, 1u << 30) / 8 * bufferMs / 1000;
    return static_cast<size_t>(std::clamp<uint64_t>(bytes, kMinLiveBuffer, NetInput::kMaxLiveBuffer));
}

using Clock = std::chrono::steady_clock;

// Every NetInput alive, for abortAll().
std::mutex liveInputsMutex;
std::set<NetInput *> liveInputs;

} // namespace

NetInput::NetInput(const NetRequest &request, DOWNLOADPROC *proc, void *user, Deadline deadline)
    : m_request(request), m_openDeadline(deadline), m_proc(proc), m_user(user)
{
    const NetSettings net = EngineConfig::net();
    m_readTimeoutMs = net.readTimeoutMs;
    m_bufferMs = net.bufferMs;
    m_prebufPercent = net.prebufPercent;
    m_liveCapacity = liveCapacity(kDefaultBytesPerSecond * 8, m_bufferMs);
    name = request.url;
    std::lock_guard lock(liveInputsMutex);
    liveInputs.insert(this);
}

std::unique_ptr<NetInput> NetInput::open(const NetRequest &request, DOWNLOADPROC *proc, void *user,
                                         Deadline deadline, int &error)
{
    std::unique_ptr<NetInput> input(new NetInput(request, proc, user, deadline));
    input->m_thread = std::thread([raw = input.get()] {
        nameThisThread("bv-download");
        raw->run();
    });
    std::unique_lock lock(input->m_mutex);
    const bool answered = input->m_changed.wait_until(lock, deadline, [&] {
        return input->m_phase != Phase::Opening || input->m_quit;
    });
    if (!answered) {
        error = BASS_ERROR_TIMEOUT;
        return nullptr; // the destructor aborts the download
    }
    if (!input->answeredLocked()) {
        error = input->m_error != BASS_OK ? input->m_error : BASS_ERROR_FILEOPEN;
        return nullptr;
    }
    return input;
}

NetInput::~NetInput()
{
    {
        std::lock_guard lock(liveInputsMutex);
        liveInputs.erase(this);
    }
    abort();
}

void NetInput::abortAll()
{
    std::lock_guard lock(liveInputsMutex);
    for (NetInput *input : liveInputs) {
        {
            std::lock_guard inputLock(input->m_mutex);
            input->quitLocked();
        }
        input->m_changed.notify_all();
    }
}

void NetInput::quitLocked()
{
    m_quit = true;
    if (m_transfer)
        m_transfer->wake();
}

void NetInput::abort()
{
    {
        std::lock_guard lock(m_mutex);
        quitLocked();
    }
    m_changed.notify_all();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void NetInput::run()
{
    const auto untilDeadline = std::chrono::duration_cast<std::chrono::milliseconds>(m_openDeadline - Clock::now());
    const int error = transfer(m_request.offset, std::max<int64_t>(1, untilDeadline.count()));

    // A live stream that dropped, ended early or went silent connects again while its
    // buffer plays on; a try that brings a real amount of audio resets the count, so a
    // server that closes after a few bytes each time cannot keep the loop going.
    size_t failures = 0;
    while (failures < std::size(kReconnectDelaysMs) && isLiveAndWanted()) {
        {
            std::unique_lock lock(m_mutex);
            if (m_changed.wait_for(lock, std::chrono::milliseconds(kReconnectDelaysMs[failures]), [&] { return m_quit; }))
                break;
        }
        const uint64_t before = receivedBytes();
        transfer(0, EngineConfig::net().timeoutMs);
        failures = receivedBytes() - before >= kMinLiveBuffer ? 0 : failures + 1;
    }

    bool answered;
    {
        std::lock_guard lock(m_mutex);
        answered = answeredLocked();
    }
    if (m_proc && answered)
        m_proc(nullptr, 0, m_user);
    {
        std::lock_guard lock(m_mutex);
        if (!answered && m_error == BASS_OK)
            m_error = error != BASS_OK ? error : BASS_ERROR_FILEOPEN;
        m_phase = answered ? Phase::Ended : Phase::Failed;
    }
    m_changed.notify_all();
}

int NetInput::transfer(uint64_t offset, int64_t connectTimeoutMs)
{
    TransferRequest request;
    request.url = m_request.url;
    request.headers = m_request.headers;
    request.headers.push_back("Icy-MetaData: 1");
    const bool hasAgent = std::any_of(request.headers.begin(), request.headers.end(),
                                      [](const std::string &h) { return toLower(h).rfind("user-agent:", 0) == 0; });
    if (!hasAgent)
        request.agent = EngineConfig::net().agent;
    request.offset = offset;
    request.connectTimeoutMs = connectTimeoutMs;
    int error = BASS_OK;
    const std::unique_ptr<HttpTransfer> transfer = HttpTransfer::create(request.url, error);
    if (!transfer)
        return error;
    {
        std::lock_guard lock(m_mutex);
        m_lastDataMs = nowMs();
        m_answerDeadlineMs = m_lastDataMs + connectTimeoutMs;
        if (m_phase != Phase::Opening)
            m_phase = Phase::Reconnecting;
        m_headerBytes = 0;
        m_transfer = transfer.get();
    }
    error = transfer->run(request, *this);
    std::lock_guard lock(m_mutex);
    m_transfer = nullptr;
    return error;
}

bool NetInput::isLiveAndWanted() const
{
    std::lock_guard lock(m_mutex);
    return !m_quit && answeredLocked() && m_contentLength < 0;
}

uint64_t NetInput::receivedBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_window.end();
}

size_t NetInput::onHeader(const char *line, size_t size)
{
    const std::string text(line, size);
    std::lock_guard lock(m_mutex);
    m_headerBytes += size;
    if (m_headerBytes > kMaxHeaderBytes) {
        m_error = BASS_ERROR_UNSTREAMABLE;
        return 0; // aborts the transfer
    }
    if (text.rfind("HTTP/", 0) == 0 || text.rfind("ICY ", 0) == 0) {
        // A new response (also after a redirect): reset what the previous one said.
        const auto space = text.find(' ');
        m_status = space == std::string::npos ? 0 : std::strtol(text.c_str() + space + 1, nullptr, 10);
        m_responseLength = -1;
        m_metaInt = 0;
        if (m_phase == Phase::Opening)
            m_headerLines.clear();
        return size;
    }
    const auto colon = text.find(':');
    if (colon != std::string::npos && m_phase == Phase::Opening)
        m_headerLines += trimmed(text) + '\0';
    if (colon != std::string::npos) {
        const std::string key = toLower(trimmed(text.substr(0, colon)));
        const std::string value = trimmed(text.substr(colon + 1));
        if (key == "content-type" && m_phase == Phase::Opening)
            m_contentType = toLower(value);
        else if (key == "content-length")
            m_responseLength = std::strtoll(value.c_str(), nullptr, 10);
        else if (key == "icy-metaint")
            m_metaInt = static_cast<size_t>(std::strtoul(value.c_str(), nullptr, 10));
        else if (key == "icy-br")
            m_liveCapacity = liveCapacity(std::strtoull(value.c_str(), nullptr, 10) * 1000, m_bufferMs);
        return size;
    }
    if (trimmed(text).empty() && (m_status < 300 || m_status >= 400)) {
        // End of the final response's headers.
        if (m_status >= 400 || m_status == 0) {
            if (m_phase == Phase::Opening)
                m_error = BASS_ERROR_FILEOPEN;
            return 0; // aborts the transfer
        }
        if (m_phase == Phase::Opening) {
            if (m_request.offset > 0 && m_status != 206)
                m_skip = m_request.offset; // the range was ignored: drop up to the offset ourselves
            m_contentLength = m_metaInt > 0 ? -1 : m_responseLength; // ICY means live
            m_phase = Phase::Connected;
        } else {
            m_phase = Phase::Reconnected; // reported with the new connection's first data
        }
        m_icy = std::make_unique<IcyDemuxer>(m_metaInt);
        m_changed.notify_all();
    }
    return size;
}

size_t NetInput::onBody(const char *data, size_t size)
{
    m_audioScratch.clear();
    int metaChanges = 0;
    bool reconnected = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_quit)
            return 0;
        if (!connectedLocked()) {
            // The body of a final answer that was neither a stream nor followed (a 3xx without Location).
            if (m_phase == Phase::Opening)
                m_error = BASS_ERROR_FILEOPEN;
            return 0;
        }
        if (m_phase == Phase::Reconnected) {
            m_phase = Phase::Connected;
            reconnected = true;
        }
        m_lastDataMs = nowMs();
        m_icy->feed(reinterpret_cast<const uint8_t *>(data), size, m_audioScratch,
                    [&](const std::string &meta) {
                        if (meta != m_metadata) {
                            m_metadata = meta;
                            ++metaChanges;
                        }
                    });
    }
    size_t offset = 0;
    if (m_skip > 0) {
        offset = static_cast<size_t>(std::min<uint64_t>(m_skip, m_audioScratch.size()));
        m_skip -= offset;
    }
    if (m_proc && m_audioScratch.size() > offset)
        m_proc(m_audioScratch.data() + offset, static_cast<DWORD>(m_audioScratch.size() - offset), m_user);
    appendAudio(m_audioScratch.data() + offset, m_audioScratch.size() - offset);
    if (reconnected) {
        EngineConfig::countReconnect();
        notify(m_reconnectListener);
    }
    for (int i = 0; i < metaChanges; ++i)
        notify(m_metaListener);
    std::lock_guard lock(m_mutex);
    return m_quit ? 0 : size;
}

void NetInput::appendAudio(const uint8_t *data, size_t size)
{
    std::unique_lock lock(m_mutex);
    // Keep a bounded amount ahead of the reader (live: NET_BUFFER; a file: its window) and
    // wait for room; the wait is not a read time-out.
    m_writerWaiting = true;
    m_changed.wait(lock, [&] { return m_quit || availableLocked() < aheadCapacityLocked(); });
    m_writerWaiting = false;
    m_lastDataMs = nowMs();
    m_window.append(data, size, m_contentLength >= 0 ? kFileWindow : 0);
    m_changed.notify_all();
}

void NetInput::restBetweenReads()
{
    std::unique_lock lock(m_mutex);
    if (m_contentLength < 0 && m_decoderOpened && connectedLocked() && !m_readerWaiting)
        m_changed.wait_for(lock, kRest, [this] { return m_quit || m_readerWaiting; });
}

// How long the transfer may sleep: until the answer or read time-out could strike. Shut-down
// wakes it at once, and the transfer shortens the wait for its own timers.
int NetInput::pollTimeoutMs() const
{
    std::lock_guard lock(m_mutex);
    int64_t until = nowMs() + 60000;
    if (!connectedLocked())
        until = std::min(until, m_answerDeadlineMs);
    if (m_readTimeoutMs > 0)
        until = std::min<int64_t>(until, m_lastDataMs + m_readTimeoutMs);
    return static_cast<int>(std::clamp<int64_t>(until - nowMs() + 1, 1, 60000));
}

// False once the transfer should stop: shut-down, no answer in time, or no data for the read time-out.
bool NetInput::onProgress()
{
    std::lock_guard lock(m_mutex);
    if (m_quit)
        return false;
    if (!connectedLocked() && nowMs() >= m_answerDeadlineMs) {
        if (m_phase == Phase::Opening)
            m_error = BASS_ERROR_TIMEOUT;
        return false;
    }
    return m_readTimeoutMs == 0 || nowMs() - m_lastDataMs < static_cast<int64_t>(m_readTimeoutMs);
}

size_t NetInput::prebufferBytesLocked() const
{
    const size_t buffer = m_contentLength >= 0 ? std::max(kMinLiveBuffer, kDefaultBytesPerSecond * m_bufferMs / 1000)
                                               : m_liveCapacity;
    return std::max<size_t>(1, buffer * m_prebufPercent / 100);
}

int NetInput::read(uint8_t *buffer, int size)
{
    std::unique_lock lock(m_mutex);
    if (availableLocked() == 0 && !doneLocked()) {
        m_readerWaiting = true;
        m_changed.notify_all(); // ends the download thread's rest
        struct Waited {
            bool &flag;
            ~Waited() { flag = false; }
        } waited{m_readerWaiting};
        if (m_decoderOpened) {
            // Ran dry while playing: wait for the prebuffer before handing out data again.
            m_changed.wait(lock, [&] { return m_quit || doneLocked() || availableLocked() >= prebufferBytesLocked(); });
        } else if (!m_changed.wait_until(lock, m_openDeadline,
                                         [&] { return m_quit || doneLocked() || availableLocked() > 0; })) {
            return -1; // format detection got no data in time
        }
    }
    if (m_quit)
        return -1;
    const size_t n = m_window.read(buffer, static_cast<size_t>(size));
    if (n == 0)
        return 0;
    if (m_writerWaiting)
        m_changed.notify_all(); // room for the download; nobody else waits for reads
    return static_cast<int>(n);
}

bool NetInput::seek(int64_t position)
{
    std::unique_lock lock(m_mutex);
    const auto readPosition = static_cast<int64_t>(m_window.readPosition());
    if (position < static_cast<int64_t>(m_window.start()) || position > m_contentLength
        || position > readPosition + static_cast<int64_t>(kFileWindow))
        return false;
    // A target inside the window ahead arrives soon.
    m_changed.wait_for(lock, std::chrono::milliseconds(EngineConfig::net().timeoutMs), [&] {
        return m_quit || doneLocked() || position <= static_cast<int64_t>(m_window.end());
    });
    return m_window.seek(static_cast<uint64_t>(position));
}

int64_t NetInput::bufferPosition() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int64_t>(m_window.end());
}

std::string NetInput::peek(size_t bytes)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_until(lock, m_openDeadline, [&] { return m_quit || doneLocked() || m_window.end() >= bytes; });
    return m_window.head(bytes);
}

void NetInput::waitForPrebuffer(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return m_quit || doneLocked() || availableLocked() >= prebufferBytesLocked(); });
}

void NetInput::decoderOpened()
{
    std::lock_guard lock(m_mutex);
    m_decoderOpened = true;
}

void NetInput::setBitrate(int64_t bitsPerSecond)
{
    if (bitsPerSecond <= 0)
        return;
    std::lock_guard lock(m_mutex);
    m_liveCapacity = liveCapacity(static_cast<uint64_t>(bitsPerSecond), m_bufferMs);
    m_changed.notify_all();
}

std::string NetInput::responseHeaders() const
{
    std::lock_guard lock(m_mutex);
    return m_headerLines;
}

std::string NetInput::metadata() const
{
    std::lock_guard lock(m_mutex);
    return m_metadata;
}

void NetInput::setMetadataListener(std::function<void()> listener)
{
    std::lock_guard lock(m_mutex);
    m_metaListener = std::move(listener);
}

void NetInput::setReconnectListener(std::function<void()> listener)
{
    std::lock_guard lock(m_mutex);
    m_reconnectListener = std::move(listener);
}

void NetInput::notify(const std::function<void()> &member)
{
    std::function<void()> listener;
    {
        std::lock_guard lock(m_mutex);
        listener = member;
    }
    if (listener)
        listener();
}

} // namespace bvaudio
