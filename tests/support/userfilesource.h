// A stream source for BASS_StreamCreateFileUser (STREAMFILE_BUFFER) that hands out `data` in
// reads of at most 4 KB and counts its closes. With `pauseMs` set, its decoding pauses once
// while it gets ready: the first read on an engine thread after `pauseAfter` bytes sleeps that
// long (the stream's opening reads on the caller's thread first). The stream it opened is freed
// with it, and it waits for the engine's close (a read may still be running), so the engine never
// touches a source that is gone.
#pragma once

#include "bass.h"

#include <QByteArray>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace bvtest {

struct UserFileSource {
    QByteArray data;
    qsizetype pauseAfter = 0;
    int pauseMs = 0;
    qsizetype handedOut = 0;
    std::thread::id opener = std::this_thread::get_id();
    std::atomic<bool> paused{false};
    std::atomic<bool> resumed{false};
    std::atomic<int> closes{0};
    HSTREAM stream = 0;

    ~UserFileSource()
    {
        if (!stream)
            return;
        BASS_StreamFree(stream); // fails harmlessly when the engine freed it already
        for (int i = 0; i < 500 && closes == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    static DWORD read(void *buffer, DWORD length, void *user)
    {
        auto *s = static_cast<UserFileSource *>(user);
        if (s->pauseMs > 0 && s->handedOut >= s->pauseAfter && !s->paused && std::this_thread::get_id() != s->opener) {
            s->paused = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(s->pauseMs));
            s->resumed = true;
        }
        const QByteArray part = s->data.mid(s->handedOut, std::min<DWORD>(length, 4096));
        s->handedOut += part.size();
        std::memcpy(buffer, part.constData(), size_t(part.size()));
        return part.isEmpty() ? DWORD(-1) : DWORD(part.size());
    }
    static void close(void *user) { ++static_cast<UserFileSource *>(user)->closes; }
    static constexpr BASS_FILEPROCS procs{&UserFileSource::close, nullptr, &UserFileSource::read, nullptr};

    HSTREAM open(DWORD flags = 0)
    {
        stream = BASS_StreamCreateFileUser(STREAMFILE_BUFFER, BASS_STREAM_BLOCK | flags, &procs, this);
        return stream;
    }
};

} // namespace bvtest
