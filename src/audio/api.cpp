// The engine's C API: argument checks, handle look-up and error codes over
// the Engine, its channels and the process-wide options.
#include "bass.h"

#include "engine.h"
#include "engine_config.h"
#include "decode/decoder.h"
#include "engine_error.h"
#include "mix/push_channel.h"
#include "mix/record_channel.h"
#include "stream_factory.h"

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace bvaudio;

namespace {

constexpr DWORD kVersion = 0x01000000;
constexpr QWORD kFailedPosition = static_cast<QWORD>(-1);

BOOL result(int code)
{
    setError(code);
    return code == BASS_OK;
}

// The result of a call that changes what the output plays: on success it is heard at once.
BOOL mixResult(int code)
{
    if (code == BASS_OK)
        Engine::instance().mixChanged();
    return result(code);
}

// A creation's result: the handle, or 0 with its error.
HSTREAM created(HSTREAM handle, int error)
{
    return handle ? succeed(handle) : fail(error, handle);
}

// Looks a channel of type `T` up: BASS_ERROR_HANDLE when there is no such handle,
// BASS_ERROR_NOTAVAIL when it is another kind (a recording asked to play, say).
template <typename T = Channel>
std::shared_ptr<T> lookup(DWORD handle)
{
    const HandlePtr found = Engine::instance().channel(handle);
    if (!found) {
        setError(Engine::instance().isInitialized() ? BASS_ERROR_HANDLE : BASS_ERROR_INIT);
        return nullptr;
    }
    std::shared_ptr<T> channel = std::dynamic_pointer_cast<T>(found);
    if (!channel)
        setError(BASS_ERROR_NOTAVAIL);
    return channel;
}

} // namespace

extern "C" {

DWORD BASS_GetVersion(void)
{
    return kVersion;
}

int BASS_ErrorGetCode(void)
{
    return lastError();
}

BOOL BASS_Init(int device, DWORD freq, DWORD, void *, const void *)
{
    return result(Engine::instance().init(device, static_cast<int>(freq)));
}

BOOL BASS_Free(void)
{
    return result(Engine::instance().free());
}

BOOL BASS_SetConfig(DWORD option, DWORD value)
{
    return result(EngineConfig::set(option, value) ? BASS_OK : BASS_ERROR_ILLTYPE);
}

DWORD BASS_GetConfig(DWORD option)
{
    DWORD value = 0;
    if (!EngineConfig::get(option, value))
        return fail(BASS_ERROR_ILLTYPE, static_cast<DWORD>(-1));
    return succeed(value);
}

BOOL BASS_SetConfigPtr(DWORD option, const void *value)
{
    return result(EngineConfig::setText(option, static_cast<const char *>(value)) ? BASS_OK : BASS_ERROR_ILLTYPE);
}

const void *BASS_GetConfigPtr(DWORD option)
{
    const char *text = EngineConfig::text(option);
    if (!text)
        return fail<const void *>(BASS_ERROR_ILLTYPE, nullptr);
    return succeed<const void *>(text);
}

HPLUGIN BASS_PluginLoad(const char *file, DWORD)
{
    if (file && std::strcmp(file, "bassopus") == 0)
        return succeed(kOpusPlugin);
    if (file && std::strcmp(file, "basshls") == 0)
        return succeed(kHlsPlugin);
    return fail<HPLUGIN>(BASS_ERROR_FILEOPEN, 0);
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void *file, QWORD offset, QWORD length, DWORD flags)
{
    if (!Engine::instance().isInitialized())
        return fail<HSTREAM>(BASS_ERROR_INIT, 0);
    if (mem || !file)
        return fail<HSTREAM>(BASS_ERROR_ILLPARAM, 0);
    int error = BASS_OK;
    const HSTREAM handle = createFileStream(static_cast<const char *>(file), offset, length, flags, error);
    return created(handle, error);
}

HSTREAM BASS_StreamCreateURL(const char *url, DWORD offset, DWORD flags, DOWNLOADPROC *proc, void *user)
{
    if (!Engine::instance().isInitialized())
        return fail<HSTREAM>(BASS_ERROR_INIT, 0);
    const NetRequest request = NetRequest::parse(url, offset);
    if (request.url.empty())
        return fail<HSTREAM>(BASS_ERROR_ILLPARAM, 0);
    int error = BASS_OK;
    const HSTREAM handle = createUrlStream(request, flags, proc, user, error);
    return created(handle, error);
}

HSTREAM BASS_StreamCreateFileUser(DWORD system, DWORD flags, const BASS_FILEPROCS *procs, void *user)
{
    if (system > STREAMFILE_BUFFER || !procs || !procs->read)
        return fail<HSTREAM>(BASS_ERROR_ILLPARAM, 0);
    if (!Engine::instance().isInitialized()) {
        if (procs->close)
            procs->close(user); // every call with valid arguments closes its file once
        return fail<HSTREAM>(BASS_ERROR_INIT, 0);
    }
    int error = BASS_OK;
    const HSTREAM handle = createUserFileStream(*procs, user, flags, error);
    return created(handle, error);
}

HSTREAM BASS_StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC *proc, void *)
{
    if (!Engine::instance().isInitialized())
        return fail<HSTREAM>(BASS_ERROR_INIT, 0);
    if (proc != STREAMPROC_PUSH)
        return fail<HSTREAM>(BASS_ERROR_NOTAVAIL, 0);
    if (freq < 100 || freq > 768000)
        return fail<HSTREAM>(BASS_ERROR_FREQ, 0);
    if (chans < 1 || chans > 8)
        return fail<HSTREAM>(BASS_ERROR_FORMAT, 0);
    int error = BASS_OK;
    const DWORD handle = Engine::instance().addChannel(
        [&](DWORD h, int &) -> ChannelPtr {
            ChannelFormat format;
            format.freq = freq;
            format.chans = chans;
            format.flags = flags;
            format.ctype = BASS_CTYPE_STREAM_PCM;
            format.origres = 16;
            return std::make_shared<PushChannel>(h, std::move(format));
        },
        error);
    setError(handle ? BASS_OK : error);
    return handle;
}

DWORD BASS_StreamPutData(HSTREAM handle, const void *buffer, DWORD length)
{
    const std::shared_ptr<PushChannel> push = lookup<PushChannel>(handle);
    if (!push)
        return static_cast<DWORD>(-1);
    int error = BASS_OK;
    const DWORD queued = push->put(buffer, length, error);
    setError(error);
    return queued;
}

QWORD BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode)
{
    ChannelPtr channel = lookup(handle);
    if (!channel)
        return kFailedPosition;
    int error = BASS_OK;
    const int64_t value = channel->filePosition(mode, error);
    if (value < 0)
        return fail(error, kFailedPosition);
    return succeed(static_cast<QWORD>(value));
}

BOOL BASS_StreamFree(HSTREAM handle)
{
    return BASS_ChannelFree(handle);
}

BOOL BASS_ChannelFree(DWORD handle)
{
    if (!Engine::instance().freeChannel(handle))
        return fail(Engine::instance().isInitialized() ? BASS_ERROR_HANDLE : BASS_ERROR_INIT, FALSE);
    return succeed(TRUE);
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart)
{
    ChannelPtr channel = lookup(handle);
    return channel ? result(Engine::instance().play(channel, restart)) : FALSE;
}

BOOL BASS_ChannelPause(DWORD handle)
{
    ChannelPtr channel = lookup(handle);
    return channel ? mixResult(channel->pause()) : FALSE;
}

BOOL BASS_ChannelStop(DWORD handle)
{
    const HandlePtr channel = lookup<ChannelHandle>(handle);
    if (!channel)
        return FALSE;
    channel->stop();
    if (channel->isAutoFree())
        Engine::instance().freeChannel(handle);
    return mixResult(BASS_OK);
}

DWORD BASS_ChannelIsActive(DWORD handle)
{
    const HandlePtr channel = lookup<ChannelHandle>(handle);
    return channel ? succeed(channel->activity()) : static_cast<DWORD>(BASS_ACTIVE_STOPPED);
}

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO *info)
{
    const HandlePtr channel = lookup<ChannelHandle>(handle);
    if (!channel)
        return FALSE;
    if (!info)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    const ChannelFormat &f = channel->format();
    *info = BASS_CHANNELINFO{f.freq, f.chans, f.flags, f.ctype, f.origres, f.plugin, 0,
                             f.filename.empty() ? nullptr : f.filename.c_str()};
    return succeed(TRUE);
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode)
{
    ChannelPtr channel = lookup(handle);
    if (!channel)
        return kFailedPosition;
    if (mode != BASS_POS_BYTE)
        return fail(BASS_ERROR_NOTAVAIL, kFailedPosition);
    const int64_t length = channel->lengthBytes();
    return length < 0 ? fail(BASS_ERROR_NOTAVAIL, kFailedPosition) : succeed(static_cast<QWORD>(length));
}

QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode)
{
    ChannelPtr channel = lookup(handle);
    if (!channel)
        return kFailedPosition;
    if (mode != BASS_POS_BYTE)
        return fail(BASS_ERROR_NOTAVAIL, kFailedPosition);
    return succeed(channel->position());
}

BOOL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode)
{
    ChannelPtr channel = lookup(handle);
    if (!channel)
        return FALSE;
    if (mode != BASS_POS_BYTE)
        return fail(BASS_ERROR_NOTAVAIL, FALSE);
    return mixResult(channel->setPosition(pos));
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos)
{
    const HandlePtr channel = lookup<ChannelHandle>(handle);
    if (!channel)
        return -1.0;
    const ChannelFormat &f = channel->format();
    return succeed(static_cast<double>(pos) / (static_cast<double>(f.freq) * f.chans * 2.0));
}

QWORD BASS_ChannelSeconds2Bytes(DWORD handle, double pos)
{
    const HandlePtr channel = lookup<ChannelHandle>(handle);
    if (!channel)
        return kFailedPosition;
    if (pos < 0.0 || !std::isfinite(pos))
        return fail(BASS_ERROR_ILLPARAM, kFailedPosition);
    const ChannelFormat &f = channel->format();
    const auto frames = static_cast<QWORD>(pos * f.freq);
    return succeed(frames * f.chans * 2);
}

BOOL BASS_ChannelGetLevelEx(DWORD handle, float *levels, float length, DWORD flags)
{
    ChannelPtr channel = lookup(handle);
    if (!channel)
        return FALSE;
    if (!levels || length <= 0.0f || (flags & (BASS_LEVEL_MONO | BASS_LEVEL_RMS)) != (BASS_LEVEL_MONO | BASS_LEVEL_RMS))
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    const DWORD active = channel->activity();
    if (active != BASS_ACTIVE_PLAYING && active != BASS_ACTIVE_STALLED)
        return fail(BASS_ERROR_NOPLAY, FALSE);
    *levels = channel->level(length);
    return succeed(TRUE);
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value)
{
    ChannelPtr channel = lookup(handle);
    return channel ? mixResult(channel->setAttribute(attrib, value)) : FALSE;
}

BOOL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float *value)
{
    ChannelPtr channel = lookup(handle);
    if (!channel)
        return FALSE;
    if (!value)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    return result(channel->getAttribute(attrib, *value));
}

BOOL BASS_ChannelSlideAttribute(DWORD handle, DWORD attrib, float value, DWORD time)
{
    ChannelPtr channel = lookup(handle);
    return channel ? mixResult(channel->slideAttribute(attrib, value, time)) : FALSE;
}

const char *BASS_ChannelGetTags(DWORD handle, DWORD tags)
{
    ChannelPtr channel = lookup(handle);
    if (!channel)
        return nullptr;
    const char *text = channel->tags(tags);
    return text ? succeed(text) : fail<const char *>(BASS_ERROR_NOTAVAIL, nullptr);
}

HSYNC BASS_ChannelSetSync(DWORD handle, DWORD type, QWORD param, SYNCPROC *proc, void *user)
{
    const HandlePtr channel = lookup<ChannelHandle>(handle);
    if (!channel)
        return 0;
    if (!proc)
        return fail<HSYNC>(BASS_ERROR_ILLPARAM, 0);
    switch (type & ~(BASS_SYNC_MIXTIME | BASS_SYNC_ONETIME)) {
    case BASS_SYNC_POS:
    case BASS_SYNC_END:
    case BASS_SYNC_META:
    case BASS_SYNC_STALL:
    case BASS_SYNC_DEV_FAIL:
    case BASS_SYNC_DEV_FORMAT:
    case BASS_SYNC_NET_RECONNECT:
        return succeed(channel->addSync(type, param, proc, user));
    default:
        return fail<HSYNC>(BASS_ERROR_ILLTYPE, 0);
    }
}

BOOL BASS_ChannelRemoveSync(DWORD handle, HSYNC sync)
{
    const HandlePtr channel = lookup<ChannelHandle>(handle);
    if (!channel)
        return FALSE;
    return channel->removeSync(sync) ? succeed(TRUE) : fail(BASS_ERROR_HANDLE, FALSE);
}

BOOL BASS_RecordSetDevice(DWORD device)
{
    return result(RecordDevices::select(static_cast<int>(device)));
}

BOOL BASS_RecordInit(int device)
{
    return result(RecordDevices::init(device));
}

BOOL BASS_RecordGetInfo(BASS_RECORDINFO *info)
{
    RecordSource source;
    int error = BASS_OK;
    if (!RecordDevices::current(source, error))
        return fail(error, FALSE);
    if (!info)
        return fail(BASS_ERROR_ILLPARAM, FALSE);
    *info = BASS_RECORDINFO{0, source.channels << 24, 1, TRUE, source.rate};
    return succeed(TRUE);
}

HRECORD BASS_RecordStart(DWORD freq, DWORD chans, DWORD, RECORDPROC *proc, void *user)
{
    RecordSource source;
    int error = BASS_OK;
    if (!RecordDevices::current(source, error))
        return fail<HRECORD>(error, 0);
    if (chans > 8)
        return fail<HRECORD>(BASS_ERROR_FORMAT, 0);
    const DWORD rate = freq ? freq : source.rate;
    if (rate < 1000 || rate > 384000)
        return fail<HRECORD>(BASS_ERROR_FREQ, 0);
    const int device = RecordDevices::currentIndex();
    const DWORD handle = Engine::instance().addChannel(
        [&](DWORD h, int &err) -> HandlePtr {
            auto channel = std::make_shared<RecordChannel>(h, source, rate, chans ? chans : source.channels, proc,
                                                           user, device);
            err = channel->start();
            return err == BASS_OK ? channel : nullptr;
        },
        error, false);
    return handle ? succeed(handle) : fail<HRECORD>(error, 0);
}

BOOL BASS_RecordFree(void)
{
    int device = 0;
    const int rc = RecordDevices::free(device);
    if (rc == BASS_OK) {
        Engine::instance().freeChannels([device](const ChannelHandle &c) {
            auto *recording = dynamic_cast<const RecordChannel *>(&c);
            return recording && recording->device() == device;
        });
    }
    return result(rc);
}

} // extern "C"
