// bvhlsstation: the live HLS station of bvplay's demo, on its own for tests and benchmarks.
// Prints the master playlist's URL and serves until SIGINT or SIGTERM.
#include "hlsstation.h"
#include "watchdog.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("A live HLS station with timed ID3 titles on 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption port("port", "Port to listen on (0: any).", "PORT", "0");
    const QCommandLineOption name("name", "Station name in the titles.", "NAME", "BrevantPlayer HLS");
    parser.addOptions({port, name});
    parser.process(app);
    bool ok = false;
    const uint portNumber = parser.value(port).toUInt(&ok);
    if (!ok || portNumber > 65535) {
        std::fprintf(stderr, "bvhlsstation: bad port\n");
        return 2;
    }
    HlsStation station(parser.value(name));
    QString error;
    if (!station.start(quint16(portNumber), error)) {
        std::fprintf(stderr, "bvhlsstation: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%s\n", qPrintable(station.masterUrl().toString()));
    std::fflush(stdout);
    Watchdog::start(0);
    const int status = app.exec();
    Watchdog::stop();
    return status;
}
