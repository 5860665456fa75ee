#pragma once

#include <functional>

// Ends bvplay on SIGINT, SIGTERM or at the --duration deadline, also while the
// main thread is busy: a thread of its own asks the event loop to quit and, if
// the loop has not returned after a short grace, restores what `beforeForcedExit`
// restores and exits directly. The signal handler only writes to a pipe.
namespace Watchdog {

// `durationSec` 0 = no deadline. Call once, with the application object alive.
void start(double durationSec);
// Runs on the watchdog's thread before a forced exit (for example, restoring the terminal).
void setBeforeForcedExit(std::function<void()> restore);
// The event loop has returned: no forced exit any more. Joins the watchdog's thread.
void stop();

} // namespace Watchdog
