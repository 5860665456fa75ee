#include "hlsstation.h"

#include "childprocess.h"
#include "timedid3.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace {

const QList<int> kBitratesKbps{32, 64, 128};       // the MPEG-TS variants
const QList<int> kOtherBitratesKbps{32, 64};        // the packed-audio and the fMP4 variants
constexpr qsizetype kMaxRequestBytes = 8192;
constexpr int kPackedSegmentsKept = 12;
// Packed audio's timestamps: segment N's first sample, 90 kHz, from an arbitrary origin.
constexpr qint64 kPackedOriginPts = 900000;

QString variantEntry(const QString &playlist, int kbps)
{
    return QStringLiteral("#EXT-X-STREAM-INF:BANDWIDTH=%1,CODECS=\"mp4a.40.2\"\n%2\n").arg(kbps * 1100).arg(playlist);
}

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
                        .arg(block).arg(kBitratesKbps.size() + 2 * kOtherBitratesKbps.size());
    QStringList arguments{"-hide_banner", "-loglevel", "error", "-nostdin", "-f", "lavfi", "-i", tone, "-filter_complex"};
    QStringList outputs;
    int next = 0;
    // One HLS output of `bitrates`, its segments of `type` named by `prefix`, under `master`.
    const auto hlsOutput = [&](const QList<int> &bitrates, const QString &type, const QString &prefix,
                               const QString &extension, const QString &master) {
        QStringList streamMap;
        for (int i = 0; i < bitrates.size(); ++i, ++next) {
            graph += QStringLiteral("[o%1]").arg(next);
            outputs << "-map" << QStringLiteral("[o%1]").arg(next) << QStringLiteral("-b:a:%1").arg(i)
                    << QStringLiteral("%1k").arg(bitrates[i]);
            streamMap << QStringLiteral("a:%1").arg(i);
        }
        outputs << "-c:a" << "aac" << "-ac" << "2" << "-f" << "hls" << "-hls_time" << QString::number(kSegmentSeconds)
                << "-hls_list_size" << "6" << "-hls_flags" << "delete_segments+temp_file" << "-hls_segment_type"
                << type << "-hls_fmp4_init_filename" << prefix + "%v_init.mp4" << "-master_pl_name" << master
                << "-var_stream_map" << streamMap.join(' ') << "-hls_segment_filename"
                << m_dir.filePath(prefix + "%v_%d." + extension) << m_dir.filePath(prefix + "%v.m3u8");
    };
    hlsOutput(kBitratesKbps, "mpegts", "v", "ts", "master.m3u8");
    hlsOutput(kOtherBitratesKbps, "fmp4", "f", "m4s", "fmp4.m3u8");
    // Packed audio: ADTS segments from the segment muxer, one output per variant, under a
    // master playlist of the station's own.
    QString packedMaster = QStringLiteral("#EXTM3U\n");
    for (int i = 0; i < kOtherBitratesKbps.size(); ++i, ++next) {
        graph += QStringLiteral("[o%1]").arg(next);
        outputs << "-map" << QStringLiteral("[o%1]").arg(next) << "-c:a" << "aac" << "-ac" << "2" << "-b:a"
                << QStringLiteral("%1k").arg(kOtherBitratesKbps[i]) << "-f" << "segment" << "-segment_format" << "adts"
                << "-segment_time" << QString::number(kSegmentSeconds) << "-segment_list"
                << m_dir.filePath(QStringLiteral("p%1.m3u8").arg(i)) << "-segment_list_type" << "m3u8"
                << "-segment_list_size" << "6" << "-segment_list_flags" << "+live"
                << m_dir.filePath(QStringLiteral("p%1_%d.aac").arg(i));
        packedMaster += variantEntry(QStringLiteral("p%1.m3u8").arg(i), kOtherBitratesKbps[i]);
    }
    arguments << graph << outputs;
    QFile packed(m_dir.filePath("packed.m3u8"));
    if (!packed.open(QIODevice::WriteOnly) || packed.write(packedMaster.toUtf8()) < 0) {
        error = QStringLiteral("can not write the HLS station's packed-audio playlist");
        return false;
    }
    packed.close();
    m_pruneTimer.callOnTimeout(this, &HlsStation::prunePackedSegments);
    m_pruneTimer.start(int(kSegmentSeconds * 1000 * kPackedSegmentsKept / 2));
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
    // The playlists appear with the first segments, a moment after the encoder starts, each
    // muxer on its own time: the station is ready when every one of them is there.
    QStringList playlists{"master.m3u8", "fmp4.m3u8"};
    for (int i = 0; i < kBitratesKbps.size(); ++i)
        playlists << QStringLiteral("v%1.m3u8").arg(i);
    for (int i = 0; i < kOtherBitratesKbps.size(); ++i)
        playlists << QStringLiteral("f%1.m3u8").arg(i) << QStringLiteral("p%1.m3u8").arg(i);
    const auto ready = [&] {
        return std::all_of(playlists.cbegin(), playlists.cend(),
                           [&](const QString &name) { return QFile::exists(m_dir.filePath(name)); });
    };
    QElapsedTimer waited;
    waited.start();
    while (!ready()) {
        if (waited.elapsed() > 5000 || m_encoder.state() != QProcess::Running) {
            error = QStringLiteral("the HLS station's encoder made no playlist");
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

QUrl HlsStation::masterUrl(const QString &name) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/%2").arg(m_server.serverPort()).arg(name));
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
    static const QRegularExpression line(
        QStringLiteral("^GET /([A-Za-z0-9_]+\\.(m3u8|ts|aac|m4s|mp4))(\\?\\S*)? HTTP/1\\.[01]\r\n"));
    static const QHash<QString, QByteArray> types{{"m3u8", "application/vnd.apple.mpegurl"}, {"ts", "video/mp2t"},
                                                  {"aac", "audio/aac"}, {"m4s", "audio/mp4"}, {"mp4", "audio/mp4"}};
    const QRegularExpressionMatch match = line.match(QString::fromLatin1(request));
    QFile file(match.hasMatch() ? m_dir.filePath(match.captured(1)) : QString());
    QByteArray head;
    QByteArray body;
    if (match.hasMatch() && file.open(QIODevice::ReadOnly)) {
        body = segmentWithTag(match.captured(1), file.readAll());
        head = "HTTP/1.1 200 OK\r\nContent-Type: " + types.value(match.captured(2)) + "\r\n";
    } else {
        head = "HTTP/1.1 404 Not Found\r\n";
    }
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    socket->write(head + body);
    socket->disconnectFromHost();
}

QByteArray HlsStation::segmentWithTag(const QString &fileName, const QByteArray &data) const
{
    static const QRegularExpression name(QStringLiteral("^([vp])(\\d+)_(\\d+)\\.(ts|aac)$"));
    const QRegularExpressionMatch match = name.match(fileName);
    if (!match.hasMatch())
        return data;
    const quint32 sequence = match.captured(3).toUInt();
    const QString text = title(m_name, sequence);
    if (match.captured(1) == QLatin1String("p"))
        return TimedId3::tag({{"TXXX", text}}, kPackedOriginPts + qint64(std::llround(sequence * kSegmentSeconds * 90000)))
            + data;
    const QByteArray tag = match.captured(2) == QLatin1String("1")
        ? TimedId3::tag({{"TIT2", text}, {"TPE1", m_name}})
        : TimedId3::tag({{"TXXX", text}});
    return TimedId3::insert(data, tag);
}

// The segment muxer keeps every packed segment: the old ones go here.
void HlsStation::prunePackedSegments()
{
    static const QRegularExpression name(QStringLiteral("^p\\d+_(\\d+)\\.aac$"));
    const QStringList files = QDir(m_dir.path()).entryList({QStringLiteral("p*_*.aac")}, QDir::Files);
    int newest = -1;
    for (const QString &file : files)
        newest = qMax(newest, name.match(file).captured(1).toInt());
    for (const QString &file : files)
        if (name.match(file).hasMatch() && name.match(file).captured(1).toInt() < newest - kPackedSegmentsKept)
            QFile::remove(m_dir.filePath(file));
}
