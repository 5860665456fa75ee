// A live HLS station whose top variant cannot keep up: a master of two AAC variants, "lo"
// (32 kbit/s, 440 Hz) delivered at once and "hi" (128 kbit/s, 660 Hz) at half the speed it
// plays, each a window of six 1 s segments that moves on every second.
#pragma once

#include <QByteArray>
#include <QList>
#include <QTimer>

namespace bvtest {

class TestHttpServer;

class ThrottledHlsStation
{
public:
    static constexpr int kLowBitrate = 40000;   // as the master announces them
    static constexpr int kHighBitrate = 140000;

    explicit ThrottledHlsStation(TestHttpServer *server);
    bool isReady() const { return m_ready; } // false when the media could not be made
    QByteArray masterPath() const { return "/master.m3u8"; }

private:
    void publish();

    TestHttpServer *const m_server;
    bool m_ready = false;
    int m_last = 5; // the newest segment in the window
    QTimer m_window;
};

} // namespace bvtest
