#include "demostation.h"

#include "childprocess.h"
#include "httpanswer.h"

#include <QTcpSocket>

namespace {

constexpr qint64 kMetaInt = 16000;
constexpr qsizetype kBurstBytes = 80000; // five seconds at 128 kbit/s: enough to start at once
constexpr qint64 kTitleSeconds = 10;

} // namespace

DemoStation::DemoStation(QObject *parent) : QObject(parent) {}

DemoStation::~DemoStation()
{
    m_encoder.kill();
    m_encoder.waitForFinished();
}

bool DemoStation::start(QString &error)
{
    // Five seconds at once, then real time: the station has its burst ready for the first listener.
    const QString tone = QStringLiteral("sine=frequency=330:beep_factor=3:sample_rate=44100");
    endWithParent(m_encoder);
    m_encoder.start(QStringLiteral("ffmpeg"),
                    {"-hide_banner", "-loglevel", "error", "-nostdin", "-f", "lavfi", "-i", tone + ":duration=5", "-f",
                     "lavfi", "-i", tone, "-filter_complex", "[1:a]arealtime[live];[0:a][live]concat=n=2:v=0:a=1",
                     "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k", "-f", "mp3", "pipe:1"});
    if (!m_encoder.waitForStarted()) {
        error = QStringLiteral("can not start ffmpeg for the demo station: ") + m_encoder.errorString();
        return false;
    }
    connect(&m_encoder, &QProcess::readyReadStandardOutput, this, &DemoStation::encoded);
    if (!m_server.listen(QHostAddress::LocalHost)) {
        error = QStringLiteral("can not listen for the demo station: ") + m_server.errorString();
        return false;
    }
    connect(&m_server, &QTcpServer::newConnection, this, &DemoStation::accept);
    m_clock.start();
    return true;
}

QUrl DemoStation::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/demo.mp3").arg(m_server.serverPort()));
}

QUrl DemoStation::nowPlayingUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/nowplaying.json").arg(m_server.serverPort()));
}

QUrl DemoStation::nowPlayingIdUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/nowplaying-id.json").arg(m_server.serverPort()));
}

qint64 DemoStation::tune() const
{
    return m_clock.elapsed() / 1000 / kTitleSeconds + 1;
}

void DemoStation::answerNowPlaying(QTcpSocket *socket, bool idOnly) const
{
    const QByteArray id = "\"uniqueid\":\"tune-" + QByteArray::number(tune()) + "\"";
    const QByteArray body = idOnly ? "{" + id + "}"
                                   : "{" + id + ",\"artist\":\"BrevantPlayer Demo\",\"title\":\"Tune "
                                         + QByteArray::number(tune()) + "\",\"cover\":\"cover.png\",\"type\":1}";
    socket->write(httpAnswer("200 OK", "application/json", body));
    socket->disconnectFromHost();
}

void DemoStation::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        m_listeners.append(Listener{socket, {}});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            for (Listener &listener : m_listeners)
                if (listener.socket == socket)
                    readRequest(listener);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_listeners.removeIf([socket](const Listener &l) { return l.socket == socket; });
            socket->deleteLater();
        });
    }
}

void DemoStation::readRequest(Listener &listener)
{
    if (listener.streaming)
        return;
    listener.request += listener.socket->readAll();
    if (!listener.request.contains("\r\n\r\n"))
        return;
    if (listener.request.startsWith("GET /nowplaying")) {
        answerNowPlaying(listener.socket, listener.request.startsWith("GET /nowplaying-id.json"));
        return;
    }
    listener.wantsMeta = listener.request.toLower().contains("icy-metadata: 1");
    QByteArray head = "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nicy-name: BrevantPlayer demo station\r\n"
                      "icy-br: 128\r\n";
    if (listener.wantsMeta)
        head += "icy-metaint: " + QByteArray::number(kMetaInt) + "\r\n";
    listener.socket->write(head + "\r\n");
    listener.streaming = true;
    listener.untilMeta = kMetaInt;
    send(listener, m_burst);
}

void DemoStation::encoded()
{
    const QByteArray data = m_encoder.readAllStandardOutput();
    m_burst = (m_burst + data).right(kBurstBytes);
    for (Listener &listener : m_listeners)
        if (listener.streaming)
            send(listener, data);
}

QByteArray DemoStation::metadataBlock() const
{
    QByteArray text = "StreamTitle='BrevantPlayer Demo - Tune " + QByteArray::number(tune()) + "';";
    const qsizetype blocks = (text.size() + 15) / 16;
    text.append(QByteArray(blocks * 16 - text.size(), '\0'));
    return char(blocks) + text;
}

void DemoStation::send(Listener &listener, QByteArray data)
{
    if (!listener.wantsMeta) {
        listener.socket->write(data);
        return;
    }
    while (!data.isEmpty()) {
        const qsizetype n = qMin<qsizetype>(data.size(), listener.untilMeta);
        listener.socket->write(data.left(n));
        data.remove(0, n);
        listener.untilMeta -= n;
        if (listener.untilMeta == 0) {
            listener.socket->write(metadataBlock());
            listener.untilMeta = kMetaInt;
        }
    }
}
