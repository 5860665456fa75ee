// Process-wide engine options (BASS_SetConfig and friends), and a thread's own verify size.
#pragma once

#include "bass.h"

#include <string>

namespace bvaudio {

struct NetSettings {
    DWORD timeoutMs;
    DWORD readTimeoutMs;
    DWORD bufferMs;
    DWORD prebufPercent;
    bool prebufWait;
    DWORD playlistMode;
    DWORD verifySize;
    std::string agent;
};

class EngineConfig {
public:
    static bool set(DWORD option, DWORD value);
    // Returns false for an unknown option.
    static bool get(DWORD option, DWORD &value);
    static bool setText(DWORD option, const char *value);
    // Returns nullptr for an unknown option.
    static const char *text(DWORD option);

    // The calling thread's verify size, else the process-wide one.
    static DWORD verifySize();
    static DWORD playbackBufferMs();
    // One more live stream connected again after a drop (BASS_CONFIG_NET_RECONNECTS).
    static void countReconnect();
    static NetSettings net();
};

} // namespace bvaudio
