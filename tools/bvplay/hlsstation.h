#pragma once

#include <QList>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

class QTcpSocket;

// A live HLS radio station on 127.0.0.1, made from real tools: ffmpeg encodes a tone in
// real time at several AAC bitrates into sliding-window media playlists (2.048 s segments,
// 6 in the window, old ones deleted) under three master playlists: MPEG-TS from the HLS
// muxer (master.m3u8), fragmented MP4 from it (fmp4.m3u8), and packed ADTS audio from the
// segment muxer (packed.m3u8). The tone changes pitch every third segment (440 Hz, then
// 660 Hz) and so does the now-playing text served with each segment: a timed ID3 tag in TS
// segments (the middle variant's as title and artist, the others' in a TXXX frame), and
// for packed audio the tag that opens the segment, with its PRIV timestamp.
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
    // The master playlist: master.m3u8 (MPEG-TS), packed.m3u8 or fmp4.m3u8.
    QUrl masterUrl(const QString &name = QStringLiteral("master.m3u8")) const;

    // The text and tone of segment `sequence`.
    static QString title(const QString &name, quint32 sequence);
    static int frequency(quint32 sequence);

private:
    void accept();
    void respond(QTcpSocket *socket, const QByteArray &request);
    QByteArray segmentWithTag(const QString &fileName, const QByteArray &data) const;
    void prunePackedSegments();

    QString m_name;
    QTemporaryDir m_dir;
    QProcess m_encoder;
    QTcpServer m_server;
    QTimer m_pruneTimer;
};
