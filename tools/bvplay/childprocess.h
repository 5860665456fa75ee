// The demo stations' ffmpeg must not outlive bvplay, however bvplay ends: on Linux the kernel
// kills it when bvplay dies (SIGKILL included); on a normal exit QProcess ends and reaps it.
#pragma once

#include <QProcess>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

inline void endWithParent(QProcess &process)
{
#ifdef Q_OS_LINUX
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#else
    Q_UNUSED(process);
#endif
}
