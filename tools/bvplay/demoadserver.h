#pragma once

#include <QByteArray>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A local ad server for the demo, so that an ad plays offline: a DAAST document of one
// in-line audio ad with a companion banner, the ad's audio (a five-second chime made with
// ffmpeg) and a tracking endpoint that prints each event it receives on standard error.
class DemoAdServer : public QObject
{
    Q_OBJECT

public:
    explicit DemoAdServer(QObject *parent = nullptr);

    // Encodes the ad and starts serving; false with `error` set when either fails.
    bool start(QString &error);
    QUrl documentUrl() const;

private:
    void answer(QTcpSocket *socket);
    QByteArray document() const;
    QByteArray url(const QByteArray &path) const;

    QTcpServer m_server;
    QByteArray m_audio;
};
