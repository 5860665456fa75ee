#include "demoadserver.h"

#include "childprocess.h"
#include "httpanswer.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrlQuery>

#include <cstdio>

namespace {

// A request line and its headers: no demo request is larger.
constexpr qsizetype kMaxRequestBytes = 8192;

} // namespace

DemoAdServer::DemoAdServer(QObject *parent) : QObject(parent) {}

bool DemoAdServer::start(QString &error)
{
    QProcess encoder;
    endWithParent(encoder);
    encoder.start(QStringLiteral("ffmpeg"),
                  {"-hide_banner", "-loglevel", "error", "-nostdin", "-f", "lavfi", "-i",
                   "sine=frequency=880:beep_factor=2:sample_rate=44100:duration=5", "-ac", "2", "-c:a", "libmp3lame",
                   "-b:a", "128k", "-f", "mp3", "pipe:1"});
    if (!encoder.waitForFinished(30000) || encoder.exitCode() != 0) {
        error = QStringLiteral("can not make the demo ad with ffmpeg: ") + encoder.errorString();
        return false;
    }
    m_audio = encoder.readAllStandardOutput();
    if (!m_server.listen(QHostAddress::LocalHost)) {
        error = QStringLiteral("can not listen for the demo ad server: ") + m_server.errorString();
        return false;
    }
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return true;
}

QByteArray DemoAdServer::url(const QByteArray &path) const
{
    return "http://127.0.0.1:" + QByteArray::number(m_server.serverPort()) + path;
}

QUrl DemoAdServer::documentUrl(bool strict) const
{
    return QUrl(QString::fromLatin1(url(strict ? "/daast.xml" : "/ad.xml")));
}

QByteArray DemoAdServer::companionCreative() const
{
    return "<Creative><CompanionAds><Companion width=\"300\" height=\"250\">"
           "<StaticResource creativeType=\"image/png\">" + url("/banner.png") + "</StaticResource>"
           "<CompanionClickThrough>" + url("/landing") + "</CompanionClickThrough>"
           "<CompanionClickTracking>" + url("/track?e=click") + "</CompanionClickTracking>"
           "</Companion></CompanionAds></Creative>";
}

QByteArray DemoAdServer::daastDocument() const
{
    QByteArray tracking;
    for (const char *event : {"start", "firstQuartile", "midpoint", "thirdQuartile", "complete", "progress0",
                              "progress1", "progress2", "progress3", "progress4", "progress5"})
        tracking += "<Tracking event=\"" + QByteArray(event) + "\">" + url("/track?e=") + event + "</Tracking>";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><DAAST version=\"1.0\"><Ad id=\"demo\"><InLine>"
           "<AdSystem>BrevantPlayer demo</AdSystem><AdTitle>BrevantPlayer demo ad</AdTitle>"
           "<Impression>" + url("/track?e=impression") + "</Impression><Error>" + url("/track?e=error") + "</Error>"
           "<Creatives><Creative><Linear><Duration>00:00:05</Duration><MediaFiles>"
           "<MediaFile delivery=\"progressive\" type=\"audio/mpeg\">" + url("/ad.mp3") + "</MediaFile></MediaFiles>"
           "<TrackingEvents>" + tracking + "</TrackingEvents></Linear></Creative>"
           + companionCreative() + "</Creatives></InLine></Ad></DAAST>";
}

// The same ad as VAST 4.2 writes it: a universal ad id before the Linear, progress at offsets.
QByteArray DemoAdServer::vastInLineDocument() const
{
    QByteArray tracking;
    for (const char *event : {"start", "firstQuartile", "midpoint", "thirdQuartile", "complete"})
        tracking += "<Tracking event=\"" + QByteArray(event) + "\">" + url("/track?e=") + event + "</Tracking>";
    for (int second = 1; second <= 5; ++second)
        tracking += "<Tracking event=\"progress\" offset=\"00:00:0" + QByteArray::number(second) + "\">"
                    + url("/track?e=progress") + QByteArray::number(second) + "</Tracking>";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><VAST version=\"4.2\" xmlns=\"http://www.iab.com/VAST\">"
           "<Ad id=\"demo\"><InLine><AdSystem>BrevantPlayer demo</AdSystem>"
           "<Error><![CDATA[" + url("/track?e=error&code=[ERRORCODE]") + "]]></Error>"
           "<Impression>" + url("/track?e=impression") + "</Impression><AdTitle>BrevantPlayer demo ad</AdTitle>"
           "<Creatives><Creative><UniversalAdId idRegistry=\"demo\">bv-demo</UniversalAdId><Linear>"
           "<TrackingEvents>" + tracking + "</TrackingEvents><Duration>00:00:05</Duration><MediaFiles>"
           "<MediaFile delivery=\"progressive\" type=\"audio/mpeg\" bitrate=\"128\">" + url("/ad.mp3") + "</MediaFile>"
           "</MediaFiles></Linear></Creative>" + companionCreative() + "</Creatives></InLine></Ad></VAST>";
}

QByteArray DemoAdServer::vastWrapperDocument() const
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><VAST version=\"4.2\" xmlns=\"http://www.iab.com/VAST\">"
           "<Ad id=\"demo-wrapper\"><Wrapper><AdSystem>BrevantPlayer demo exchange</AdSystem>"
           "<Impression>" + url("/track?e=wrapperImpression") + "</Impression>"
           "<VASTAdTagURI>inline.xml</VASTAdTagURI><Creatives><Creative><Linear><TrackingEvents>"
           "<Tracking event=\"start\">" + url("/track?e=wrapperStart") + "</Tracking>"
           "<Tracking event=\"complete\">" + url("/track?e=wrapperComplete") + "</Tracking>"
           "</TrackingEvents></Linear></Creative></Creatives></Wrapper></Ad></VAST>";
}

void DemoAdServer::answer(QTcpSocket *socket)
{
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    if (!request.contains("\r\n\r\n")) {
        if (request.size() > kMaxRequestBytes)
            socket->abort();
        else
            socket->setProperty("request", request);
        return;
    }
    const QByteArray target = request.left(request.indexOf('\r')).split(' ').value(1);
    const QByteArray path = target.split('?').first();
    if (path == "/ad.xml") {
        socket->write(httpAnswer("200 OK", "application/xml", vastWrapperDocument()));
    } else if (path == "/inline.xml") {
        socket->write(httpAnswer("200 OK", "application/xml", vastInLineDocument()));
    } else if (path == "/daast.xml") {
        socket->write(httpAnswer("200 OK", "application/xml", daastDocument()));
    } else if (path == "/ad.mp3") {
        socket->write(httpAnswer("200 OK", "audio/mpeg", m_audio));
    } else if (path == "/track") {
        QString event = QUrlQuery(QString::fromLatin1(target.mid(path.size() + 1))).queryItemValue("e");
        if (!QRegularExpression(QStringLiteral("^\\w{1,40}$")).match(event).hasMatch())
            event = QStringLiteral("?"); // only names reach the terminal
        std::fprintf(stderr, "bvplay: demo ad server: tracking event '%s' received\n", qPrintable(event));
        socket->write(httpAnswer("200 OK", "image/gif", "GIF89a"));
    } else {
        socket->write(httpAnswer("404 Not Found", "text/plain", "not found"));
    }
    socket->disconnectFromHost();
}
