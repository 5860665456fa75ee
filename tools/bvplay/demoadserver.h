#pragma once

#include <QByteArray>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A local ad server for the demo, so that an ad plays offline: one audio ad with a companion
// banner, as a VAST 4.2 wrapper around a VAST 4.2 in-line ad (how ad servers deliver it) or
// as one DAAST in-line document; the ad's audio (a five-second chime made with ffmpeg); and a
// tracking endpoint that prints each event it receives on standard error.
class DemoAdServer : public QObject
{
    Q_OBJECT

public:
    explicit DemoAdServer(QObject *parent = nullptr);

    // Encodes the ad and starts serving; false with `error` set when either fails.
    bool start(QString &error);
    // The wrapper, or with `strict` the in-line DAAST document a strict reader takes.
    QUrl documentUrl(bool strict) const;

private:
    void answer(QTcpSocket *socket);
    QByteArray daastDocument() const;
    QByteArray vastInLineDocument() const;
    QByteArray vastWrapperDocument() const;
    QByteArray companionCreative() const;
    QByteArray url(const QByteArray &path) const;

    QTcpServer m_server;
    QByteArray m_audio;
};
