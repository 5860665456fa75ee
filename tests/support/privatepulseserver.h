// A PulseAudio server of the test's own, with one null sink, that it can kill to see a device lost.
#pragma once

#include <QProcess>
#include <QTemporaryDir>

namespace bvtest {

class PrivatePulseServer {
public:
    ~PrivatePulseServer() { kill(); }
    // Starts the server and waits for its socket; false when it did not come up.
    bool start();
    // The value for PULSE_SERVER.
    QByteArray address() const { return "unix:" + m_runtime.filePath("native").toUtf8(); }
    void kill();

private:
    QTemporaryDir m_runtime;
    QProcess m_server;
};

} // namespace bvtest
