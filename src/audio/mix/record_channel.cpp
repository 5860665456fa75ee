#include "mix/record_channel.h"

#include "device/pulse_connection.h"

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
    : ChannelHandle(handle, ChannelFormat{freq, chans, 0, BASS_CTYPE_RECORD, 16, 0, source.name}),
      m_source(source),
      m_proc(proc),
      m_user(user),
      m_device(device)
{
}

RecordChannel::~RecordChannel() = default;

int RecordChannel::start()
{
    int error = BASS_OK;
    m_capture = openPulseCapture(m_source.name, static_cast<int>(format().freq), static_cast<int>(format().chans), error);
    if (!m_capture)
        return error;
    m_capturing = true;
    // The capture thread keeps the channel alive while it may still call the procedure.
    auto self = std::static_pointer_cast<RecordChannel>(shared_from_this());
    m_capture->start(
        [self](const void *data, size_t bytes) {
            const bool more = !self->m_proc || self->m_proc(self->handle(), data, static_cast<DWORD>(bytes), self->m_user);
            if (!more)
                self->m_capturing = false;
            return more;
        },
        [self] {
            self->m_capturing = false;
            self->postSyncs(BASS_SYNC_DEV_FAIL, 0);
        });
    return BASS_OK;
}

void RecordChannel::stop()
{
    m_capturing = false;
    if (m_capture)
        m_capture->stop();
}

DWORD RecordChannel::activity() const
{
    return m_capturing ? BASS_ACTIVE_PLAYING : BASS_ACTIVE_STOPPED;
}

void RecordChannel::shutdown()
{
    ChannelHandle::shutdown();
    stop();
}

} // namespace bvaudio
