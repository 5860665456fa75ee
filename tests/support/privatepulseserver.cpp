#include "privatepulseserver.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

namespace bvtest {

bool PrivatePulseServer::start()
{
    const QString socket = m_runtime.filePath("native");
    m_server.start("pulseaudio", {"-n", "--daemonize=no", "--use-pid-file=false", "--exit-idle-time=-1",
                                  "--disallow-exit", "--log-target=stderr", "--log-level=0", "-L",
                                  "module-native-protocol-unix socket=" + socket + " auth-anonymous=1", "-L",
                                  "module-null-sink sink_name=doomed"});
    if (!m_server.waitForStarted())
        return false;
    for (QDeadlineTimer deadline(5000); !deadline.hasExpired(); QThread::msleep(20))
        if (QFileInfo::exists(socket))
            return true;
    return false;
}

void PrivatePulseServer::kill()
{
    if (m_server.state() == QProcess::NotRunning)
        return;
    m_server.kill();
    m_server.waitForFinished();
}

} // namespace bvtest
