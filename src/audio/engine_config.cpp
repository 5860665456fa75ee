#include "engine_config.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <optional>

namespace bvaudio {
namespace {

constexpr const char *kDefaultAgent = "BrevantAudio/1.0";

struct Options {
    std::atomic<DWORD> bufferMs{500};
    std::atomic<DWORD> netTimeoutMs{5000};
    std::atomic<DWORD> netReadTimeoutMs{0};
    std::atomic<DWORD> netBufferMs{5000};
    std::atomic<DWORD> netPrebuf{75};
    std::atomic<DWORD> netPrebufWait{0};
    std::atomic<DWORD> netPlaylist{0};
    std::atomic<DWORD> verifyNet{16384};
    std::atomic<DWORD> netReconnects{0}; // read-only for hosts

    // Text options: the returned pointers stay valid until the option is set again.
    std::mutex textMutex;
    std::string agent = kDefaultAgent;
    std::string fileName;
    bool fileNameResolved = false;

    std::atomic<DWORD> *numeric(DWORD option)
    {
        switch (option) {
        case BASS_CONFIG_BUFFER: return &bufferMs;
        case BASS_CONFIG_NET_TIMEOUT: return &netTimeoutMs;
        case BASS_CONFIG_NET_READTIMEOUT: return &netReadTimeoutMs;
        case BASS_CONFIG_NET_BUFFER: return &netBufferMs;
        case BASS_CONFIG_NET_PREBUF: return &netPrebuf;
        case BASS_CONFIG_NET_PREBUF_WAIT: return &netPrebufWait;
        case BASS_CONFIG_NET_PLAYLIST: return &netPlaylist;
        case BASS_CONFIG_VERIFY_NET: return &verifyNet;
        default: return nullptr;
        }
    }
};

// A creating thread's own verify size, so that concurrent creations do not share one.
thread_local std::optional<DWORD> t_verifyNet;

Options &options()
{
    static Options instance;
    return instance;
}

// The file that holds this code: the shared object or executable the engine is linked into.
std::string ownFileName()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&ownFileName), &info) && info.dli_fname)
        return info.dli_fname;
    return {};
}

} // namespace

bool EngineConfig::set(DWORD option, DWORD value)
{
    if (option == (BASS_CONFIG_THREAD | BASS_CONFIG_VERIFY_NET)) {
        t_verifyNet = value == static_cast<DWORD>(-1) ? std::nullopt : std::optional<DWORD>(value);
        return true;
    }
    std::atomic<DWORD> *slot = options().numeric(option);
    if (!slot)
        return false;
    if (option == BASS_CONFIG_NET_PREBUF && value > 100)
        value = 100;
    slot->store(value);
    return true;
}

bool EngineConfig::get(DWORD option, DWORD &value)
{
    if (option == (BASS_CONFIG_THREAD | BASS_CONFIG_VERIFY_NET)) {
        value = verifySize();
        return true;
    }
    if (option == BASS_CONFIG_NET_RECONNECTS) {
        value = options().netReconnects.load();
        return true;
    }
    std::atomic<DWORD> *slot = options().numeric(option);
    if (!slot)
        return false;
    value = slot->load();
    return true;
}

bool EngineConfig::setText(DWORD option, const char *value)
{
    if (option != BASS_CONFIG_NET_AGENT)
        return false;
    std::lock_guard lock(options().textMutex);
    options().agent = value ? value : kDefaultAgent;
    return true;
}

const char *EngineConfig::text(DWORD option)
{
    Options &o = options();
    std::lock_guard lock(o.textMutex);
    if (option == BASS_CONFIG_NET_AGENT)
        return o.agent.c_str();
    if (option == BASS_CONFIG_FILENAME) {
        if (!o.fileNameResolved) {
            o.fileName = ownFileName();
            o.fileNameResolved = true;
        }
        return o.fileName.c_str();
    }
    return nullptr;
}

void EngineConfig::countReconnect()
{
    ++options().netReconnects;
}

DWORD EngineConfig::verifySize()
{
    return t_verifyNet.value_or(options().verifyNet.load());
}

DWORD EngineConfig::playbackBufferMs()
{
    return options().bufferMs.load();
}

NetSettings EngineConfig::net()
{
    Options &o = options();
    NetSettings s{o.netTimeoutMs, o.netReadTimeoutMs, o.netBufferMs, o.netPrebuf,
                  o.netPrebufWait != 0, o.netPlaylist, verifySize(), {}};
    std::lock_guard lock(o.textMutex);
    s.agent = o.agent;
    return s;
}

} // namespace bvaudio
