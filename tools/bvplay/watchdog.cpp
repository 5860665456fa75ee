#include "watchdog.h"

#include <QCoreApplication>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>

namespace Watchdog {
namespace {

constexpr int kGraceMs = 1500;

int g_pipe[2] = {-1, -1};
std::thread g_thread;
std::mutex g_mutex;
std::condition_variable g_stopped;
bool g_stop = false;
std::function<void()> g_restore;

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1); // async-signal-safe
}

void run(double durationSec)
{
    const int timeoutMs = durationSec > 0 ? static_cast<int>(durationSec * 1000) : -1;
    pollfd wake{g_pipe[0], POLLIN, 0};
    if (::poll(&wake, 1, timeoutMs) < 0 || (wake.revents & POLLNVAL))
        return;
    std::unique_lock lock(g_mutex);
    if (g_stop)
        return;
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    if (g_stopped.wait_for(lock, std::chrono::milliseconds(kGraceMs), [] { return g_stop; }))
        return;
    // The main thread is held elsewhere (a server that keeps a stream creation waiting): leave now.
    if (g_restore)
        g_restore();
    std::fflush(stdout);
    ::_exit(0);
}

} // namespace

void start(double durationSec)
{
    if (::pipe(g_pipe) != 0)
        return;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    g_thread = std::thread(run, durationSec);
}

void setBeforeForcedExit(std::function<void()> restore)
{
    std::lock_guard lock(g_mutex);
    g_restore = std::move(restore);
}

void stop()
{
    {
        std::lock_guard lock(g_mutex);
        g_stop = true;
        g_restore = nullptr;
    }
    g_stopped.notify_all();
    onSignal(0); // wakes the poll
    if (g_thread.joinable())
        g_thread.join();
}

} // namespace Watchdog
