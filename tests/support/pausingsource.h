// A stream source for BASS_StreamCreateFileUser (STREAMFILE_BUFFER) whose decoding pauses once
// while it gets ready: reads of at most 4 KB, and the first read on an engine thread after
// `pauseAfter` bytes sleeps `pauseMs` (the stream's opening reads on the caller's thread first).
#pragma once

#include "bass.h"

#include <QByteArray>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace bvtest {

struct PausingSource {
    QByteArray data;
    qsizetype pauseAfter = 0;
    int pauseMs = 0;
    qsizetype handedOut = 0;
    std::thread::id opener = std::this_thread::get_id();
    std::atomic<bool> paused{false};

    static DWORD read(void *buffer, DWORD length, void *user)
    {
        auto *s = static_cast<PausingSource *>(user);
        if (s->handedOut >= s->pauseAfter && !s->paused && std::this_thread::get_id() != s->opener) {
            s->paused = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(s->pauseMs));
        }
        const QByteArray part = s->data.mid(s->handedOut, std::min<DWORD>(length, 4096));
        s->handedOut += part.size();
        std::memcpy(buffer, part.constData(), size_t(part.size()));
        return part.isEmpty() ? DWORD(-1) : DWORD(part.size());
    }
    static constexpr BASS_FILEPROCS procs{[](void *) {}, nullptr, &PausingSource::read, nullptr};

    HSTREAM open() { return BASS_StreamCreateFileUser(STREAMFILE_BUFFER, BASS_STREAM_BLOCK, &procs, this); }
};

} // namespace bvtest
