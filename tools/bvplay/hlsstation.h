#pragma once

#include <QList>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>

class QTcpSocket;

// A live HLS radio station on 127.0.0.1, made from real tools: ffmpeg's HLS muxer encodes
// a tone in real time at several AAC bitrates into sliding-window media playlists (2.048 s
// segments, 6 in the window, old ones deleted) under a master playlist. Every segment is
// served with a timed ID3 tag whose text changes every third segment, exactly where the
// tone changes pitch (440 Hz, then 660 Hz): the middle variant carries the text as title
// and artist, the others in a TXXX frame.
class HlsStation : public QObject
{
    Q_OBJECT

public:
    static constexpr double kSegmentSeconds = 2.048;
    static constexpr int kSegmentsPerTitle = 3;

    explicit HlsStation(const QString &name, QObject *parent = nullptr);
    ~HlsStation() override;

    // Starts the encoder and listens on `port` (0: any); false with `error` set on failure.
    bool start(quint16 port, QString &error);
    QUrl masterUrl() const;

    // The text and tone of segment `sequence`.
    static QString title(const QString &name, quint32 sequence);
    static int frequency(quint32 sequence);

private:
    void accept();
    void respond(QTcpSocket *socket, const QByteArray &request);
    QByteArray segmentWithTag(const QString &fileName, const QByteArray &data) const;

    QString m_name;
    QTemporaryDir m_dir;
    QProcess m_encoder;
    QTcpServer m_server;
};
