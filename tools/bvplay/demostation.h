#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QProcess>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A live MP3 station on 127.0.0.1, made by the tool itself so that it plays
// offline: ffmpeg encodes a tone pattern in real time, and every listener
// gets it with ICY metadata whose title changes every 10 seconds. Beside the
// stream it serves the titles as a now-playing JSON service.
class DemoStation : public QObject
{
    Q_OBJECT

public:
    explicit DemoStation(QObject *parent = nullptr);
    ~DemoStation() override;

    // Starts the encoder and the server; false with `error` set when either fails.
    bool start(QString &error);
    QUrl url() const;
    // The now-playing service: the full document and its ID document.
    QUrl nowPlayingUrl() const;
    QUrl nowPlayingIdUrl() const;

private:
    struct Listener {
        QTcpSocket *socket;
        QByteArray request;
        bool streaming = false;
        bool wantsMeta = false;
        qint64 untilMeta = 0;
    };

    void accept();
    void readRequest(Listener &listener);
    void encoded();
    void send(Listener &listener, QByteArray data);
    QByteArray metadataBlock() const;
    qint64 tune() const;
    void answerNowPlaying(QTcpSocket *socket, bool idOnly) const;

    QTcpServer m_server;
    QProcess m_encoder;
    QList<Listener> m_listeners;
    QByteArray m_burst; // the last seconds of audio, sent at once to a new listener
    QElapsedTimer m_clock;
};
