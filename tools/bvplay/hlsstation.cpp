#include "hlsstation.h"

#include "childprocess.h"
#include "timedid3.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>

namespace {

const QList<int> kBitratesKbps{32, 64, 128};
constexpr qsizetype kMaxRequestBytes = 8192;

} // namespace

HlsStation::HlsStation(const QString &name, QObject *parent) : QObject(parent), m_name(name) {}

HlsStation::~HlsStation()
{
    m_encoder.kill();
    m_encoder.waitForFinished();
}

bool HlsStation::start(quint16 port, QString &error)
{
    if (!m_dir.isValid()) {
        error = QStringLiteral("can not create a directory for the HLS station");
        return false;
    }
    // The pitch follows the same clock as the segments: 440 Hz for three segments, then 660 Hz.
    const double block = kSegmentSeconds * kSegmentsPerTitle;
    const QString tone = QStringLiteral("aevalsrc=0.3*sin(2*PI*if(lt(mod(t\\,%1)\\,%2)\\,440\\,660)*t):s=48000:c=stereo")
                             .arg(2 * block).arg(block);
    // The first title's segments at once, so that a listener can start right away; then real time.
    QString graph = QStringLiteral("[0:a]asplit[head][tail];[head]atrim=0:%1[now];[tail]atrim=%1,asetpts=PTS-STARTPTS,arealtime[live];"
                                   "[now][live]concat=n=2:v=0:a=1,asplit=%2")
                        .arg(block).arg(kBitratesKbps.size());
    QStringList arguments{"-hide_banner", "-loglevel", "error", "-nostdin", "-f", "lavfi", "-i", tone};
    QStringList streamMap;
    for (int i = 0; i < kBitratesKbps.size(); ++i) {
        graph += QStringLiteral("[v%1]").arg(i);
        arguments << "-map" << QStringLiteral("[v%1]").arg(i) << QStringLiteral("-b:a:%1").arg(i)
                  << QStringLiteral("%1k").arg(kBitratesKbps[i]);
        streamMap << QStringLiteral("a:%1").arg(i);
    }
    arguments.insert(arguments.indexOf("-map"), graph);
    arguments.insert(arguments.indexOf(graph), "-filter_complex");
    arguments << "-c:a" << "aac" << "-ac" << "2" << "-f" << "hls" << "-hls_time" << QString::number(kSegmentSeconds)
              << "-hls_list_size" << "6" << "-hls_flags" << "delete_segments+temp_file"
              << "-master_pl_name" << "master.m3u8" << "-var_stream_map" << streamMap.join(' ')
              << "-hls_segment_filename" << m_dir.filePath("v%v_%d.ts") << m_dir.filePath("v%v.m3u8");
    m_encoder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    endWithParent(m_encoder);
    m_encoder.start(QStringLiteral("ffmpeg"), arguments);
    if (!m_encoder.waitForStarted()) {
        error = QStringLiteral("can not start ffmpeg for the HLS station: ") + m_encoder.errorString();
        return false;
    }
    if (!m_server.listen(QHostAddress::LocalHost, port)) {
        error = QStringLiteral("can not listen for the HLS station: ") + m_server.errorString();
        return false;
    }
    connect(&m_server, &QTcpServer::newConnection, this, &HlsStation::accept);
    // The master playlist appears with the first segments, a moment after the encoder starts.
    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(m_dir.filePath("master.m3u8"))) {
        if (waited.elapsed() > 5000 || m_encoder.state() != QProcess::Running) {
            error = QStringLiteral("the HLS station's encoder made no playlist");
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

QUrl HlsStation::masterUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/master.m3u8").arg(m_server.serverPort()));
}

QString HlsStation::title(const QString &name, quint32 sequence)
{
    const quint32 block = sequence / kSegmentsPerTitle;
    return QStringLiteral("%1 - Tune %2 (%3 Hz)").arg(name).arg(block + 1).arg(frequency(sequence));
}

int HlsStation::frequency(quint32 sequence)
{
    return (sequence / kSegmentsPerTitle) % 2 == 0 ? 440 : 660;
}

void HlsStation::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            if (socket->property("answered").toBool())
                return;
            const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
            if (request.size() > kMaxRequestBytes) {
                socket->abort();
                return;
            }
            socket->setProperty("request", request);
            if (request.contains("\r\n\r\n")) {
                socket->setProperty("answered", true);
                respond(socket, request);
            }
        });
    }
}

void HlsStation::respond(QTcpSocket *socket, const QByteArray &request)
{
    // Only the station's own files: playlists and segments by plain name, nothing else.
    static const QRegularExpression line(QStringLiteral("^GET /([A-Za-z0-9_]+\\.(m3u8|ts))(\\?\\S*)? HTTP/1\\.[01]\r\n"));
    const QRegularExpressionMatch match = line.match(QString::fromLatin1(request));
    QFile file(match.hasMatch() ? m_dir.filePath(match.captured(1)) : QString());
    QByteArray head;
    QByteArray body;
    if (match.hasMatch() && file.open(QIODevice::ReadOnly)) {
        const bool isSegment = match.captured(2) == QLatin1String("ts");
        body = isSegment ? segmentWithTag(match.captured(1), file.readAll()) : file.readAll();
        head = "HTTP/1.1 200 OK\r\nContent-Type: "
            + QByteArray(isSegment ? "video/mp2t" : "application/vnd.apple.mpegurl") + "\r\n";
    } else {
        head = "HTTP/1.1 404 Not Found\r\n";
    }
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    socket->write(head + body);
    socket->disconnectFromHost();
}

QByteArray HlsStation::segmentWithTag(const QString &fileName, const QByteArray &data) const
{
    static const QRegularExpression name(QStringLiteral("^v(\\d+)_(\\d+)\\.ts$"));
    const QRegularExpressionMatch match = name.match(fileName);
    if (!match.hasMatch())
        return data;
    const quint32 sequence = match.captured(2).toUInt();
    const QString text = title(m_name, sequence);
    const QByteArray tag = match.captured(1) == QLatin1String("1")
        ? TimedId3::tag({{"TIT2", text}, {"TPE1", m_name}})
        : TimedId3::tag({{"TXXX", text}});
    return TimedId3::insert(data, tag);
}
