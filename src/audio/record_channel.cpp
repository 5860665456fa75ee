#include "record_channel.h"

#include "thread_name.h"

#include <map>
#include <mutex>

namespace bvaudio {
namespace {

constexpr int kConnectTimeoutMs = 1000;

std::mutex g_devicesMutex;
std::map<int, RecordSource> g_devices; // opened devices by number (-1 = default)
thread_local int t_device = -2;        // none selected

bool querySource(PulseConnection &connection, const std::string &name, RecordSource &source)
{
    struct Query {
        RecordSource *source;
        bool done = false;
        bool found = false;
    } query{&source};
    pa_operation *op = pa_context_get_source_info_by_name(
        connection.context(), name.empty() ? nullptr : name.c_str(),
        [](pa_context *, const pa_source_info *info, int eol, void *user) {
            auto *q = static_cast<Query *>(user);
            if (eol) {
                q->done = true;
                return;
            }
            q->found = true;
            q->source->name = info->name;
            q->source->channels = info->sample_spec.channels;
            q->source->rate = info->sample_spec.rate;
        },
        &query);
    if (!op)
        return false;
    connection.runUntil([&query] { return query.done; }, kConnectTimeoutMs);
    pa_operation_unref(op);
    return query.found;
}

} // namespace

int RecordDevices::init(int device)
{
    if (device < -1)
        return BASS_ERROR_DEVICE;
    {
        std::lock_guard lock(g_devicesMutex);
        if (g_devices.count(device))
            return BASS_ERROR_ALREADY;
    }
    std::unique_ptr<PulseConnection> connection = PulseConnection::connect("BrevantPlayer recorder", kConnectTimeoutMs);
    if (!connection)
        return BASS_ERROR_DRIVER;
    std::string name; // empty: the server's default source
    if (device >= 0) {
        const std::vector<std::string> sources = connection->sourceNames();
        if (static_cast<size_t>(device) >= sources.size())
            return BASS_ERROR_DEVICE;
        name = sources[static_cast<size_t>(device)];
    }
    RecordSource source;
    if (!querySource(*connection, name, source))
        return BASS_ERROR_DEVICE;
    std::lock_guard lock(g_devicesMutex);
    g_devices[device] = source;
    t_device = device;
    return BASS_OK;
}

int RecordDevices::select(int device)
{
    std::lock_guard lock(g_devicesMutex);
    if (!g_devices.count(device))
        return BASS_ERROR_DEVICE;
    t_device = device;
    return BASS_OK;
}

bool RecordDevices::current(RecordSource &source, int &error)
{
    std::lock_guard lock(g_devicesMutex);
    auto it = g_devices.find(t_device);
    if (it == g_devices.end()) {
        error = BASS_ERROR_INIT;
        return false;
    }
    source = it->second;
    return true;
}

int RecordDevices::free(int &device)
{
    std::lock_guard lock(g_devicesMutex);
    if (!g_devices.erase(t_device))
        return BASS_ERROR_INIT;
    device = t_device;
    t_device = -2;
    return BASS_OK;
}

int RecordDevices::currentIndex()
{
    return t_device;
}

RecordChannel::RecordChannel(DWORD handle, const RecordSource &source, DWORD freq, DWORD chans, RECORDPROC *proc,
                             void *user, int device)
    : Channel(handle, ChannelFormat{freq, chans, 0, BASS_CTYPE_RECORD, 16, 0, source.name}),
      m_source(source),
      m_proc(proc),
      m_user(user),
      m_device(device)
{
}

RecordChannel::~RecordChannel()
{
    m_quit = true;
    if (m_thread.joinable()) {
        // The capture thread may drop the last reference itself.
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
    if (m_stream) {
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
    }
}

int RecordChannel::start()
{
    m_connection = PulseConnection::connect("BrevantPlayer recorder", kConnectTimeoutMs);
    if (!m_connection)
        return BASS_ERROR_DRIVER;
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16LE, format().freq, static_cast<uint8_t>(format().chans)};
    m_stream = pa_stream_new(m_connection->context(), "BrevantPlayer recording", &sampleFormat, nullptr);
    if (!m_stream)
        return BASS_ERROR_FORMAT;
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = format().freq * format().chans * 2 / 50; // 20 ms blocks
    pa_stream *stream = m_stream;
    if (pa_stream_connect_record(m_stream, m_source.name.c_str(), &attr,
                                 static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0
        || !m_connection->runUntil([stream] {
               const pa_stream_state_t s = pa_stream_get_state(stream);
               return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
           }, kConnectTimeoutMs)
        || pa_stream_get_state(m_stream) != PA_STREAM_READY)
        return BASS_ERROR_DEVICE;
    m_capturing = true;
    // The capture thread keeps the channel alive while it may still call the procedure.
    m_thread = std::thread([self = std::static_pointer_cast<RecordChannel>(shared_from_this())] {
        nameThisThread("bv-record");
        self->run();
    });
    return BASS_OK;
}

void RecordChannel::run()
{
    struct Finished {
        std::atomic<bool> &flag;
        ~Finished() { flag = false; }
    } finished{m_capturing};
    while (!m_quit) {
        if (!m_connection->isReady() || pa_stream_get_state(m_stream) != PA_STREAM_READY) {
            postSyncs(BASS_SYNC_DEV_FAIL, 0);
            return;
        }
        const void *data = nullptr;
        size_t size = 0;
        if (pa_stream_readable_size(m_stream) > 0 && pa_stream_peek(m_stream, &data, &size) == 0 && size > 0) {
            // A hole (no data) comes as a null pointer with a size: it is silence.
            std::vector<uint8_t> silence;
            if (!data) {
                silence.assign(size, 0);
                data = silence.data();
            }
            const BOOL more = m_proc ? m_proc(handle(), data, static_cast<DWORD>(size), m_user) : TRUE;
            pa_stream_drop(m_stream);
            if (!more)
                return;
            continue;
        }
        if (pa_mainloop_iterate(m_connection->loop(), 1, nullptr) < 0) {
            postSyncs(BASS_SYNC_DEV_FAIL, 0);
            return;
        }
    }
}

void RecordChannel::stop()
{
    m_quit = true;
    if (m_connection)
        pa_mainloop_wakeup(m_connection->loop());
}

DWORD RecordChannel::activity() const
{
    return m_capturing ? BASS_ACTIVE_PLAYING : BASS_ACTIVE_STOPPED;
}

void RecordChannel::shutdown()
{
    Channel::shutdown();
    m_quit = true;
    if (m_connection)
        pa_mainloop_wakeup(m_connection->loop());
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

} // namespace bvaudio
