// The timed ID3 demuxer on MPEG-TS segments made by ffmpeg's HLS muxer and on packed
// audio, and the timeline that places segments and titles in an engine stream.
#include "bvhlsdemuxer.h"
#include "bvhlstimeline.h"
#include "hlsmedia.h"
#include "timedid3.h"

#include <QTest>

using namespace bvtest;

namespace {

constexpr int kPacket = 188;

// Offsets of the packets on the metadata PID.
QList<qsizetype> metadataPackets(const QByteArray &ts)
{
    QList<qsizetype> offsets;
    for (qsizetype at = 0; at + kPacket <= ts.size(); at += kPacket)
        if (((quint8(ts[at + 1]) & 0x1F) << 8 | quint8(ts[at + 2])) == TimedId3::kPid)
            offsets.append(at);
    return offsets;
}

} // namespace

class TestBVHlsDemuxer : public QObject
{
    Q_OBJECT

    QByteArray m_segment;

private slots:
    void initTestCase()
    {
        const QList<QByteArray> segments = makeHlsSegments({440}, 2.0);
        QVERIFY(!segments.isEmpty());
        m_segment = segments.first();
    }

    void titlesAndTimestamp_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("pts"); // 0: the TS segment's first audio timestamp, whatever it is
        QTest::addColumn<int>("strippedBytes");
        const auto tagged = [this](const QList<QPair<QByteArray, QString>> &frames) {
            return TimedId3::insert(m_segment, TimedId3::tag(frames));
        };
        QTest::newRow("TXXX beside TIT2") << tagged({{"TIT2", "Ignored"}, {"TXXX", "Chosen"}}) << "Chosen" << 0LL << 0;
        QTest::newRow("TIT2 and TPE1") << tagged({{"TIT2", "Song"}, {"TPE1", "Band"}}) << "Song ARTIST:BandTITLE:Song"
                                       << 0LL << 0;
        QTest::newRow("UTF-8") << tagged({{"TXXX", "Motörhead – Ace"}}) << "Motörhead – Ace" << 0LL << 0;
        // Longer than one packet: the PES continues in a packet without adaptation field.
        QTest::newRow("two packets") << tagged({{"TXXX", QString(300, 'x')}}) << QString(300, 'x') << 0LL << 0;
        QTest::newRow("no tag") << m_segment << QString() << 0LL << 0;
        // Bytes before the first sync byte stay in the data; a trailing partial packet is not
        // parsed, nor a PES of another stream id on the metadata PID.
        const QByteArray z = tagged({{"TXXX", "z"}});
        const qsizetype packet = metadataPackets(z).value(0);
        const qsizetype pes = z.indexOf(QByteArray("\x00\x00\x01\xBD", 4), packet);
        QVERIFY(packet > 0 && pes > packet && pes < packet + kPacket);
        QTest::newRow("junk before the first packet") << "junk" + z << "z" << 0LL << 0;
        QTest::newRow("a partial packet") << m_segment + z.mid(packet, kPacket - 1) << QString() << 0LL << 0;
        QTest::newRow("an audio stream id") << QByteArray(z).replace(pes + 3, 1, "\xC0") << QString() << 0LL << 0;
        // Packed audio: the tags that open the segment give its timestamp and titles and come
        // off the audio; a tag that claims more than the segment holds stays as audio, as do
        // bytes with neither a tag nor a packet.
        const QByteArray audio(4000, '\xFF');
        const QByteArray timed = TimedId3::tag({{"TXXX", "Now"}}, 0x1FFFFFFFFLL);
        QTest::newRow("packed: timestamp and title") << timed + audio << "Now" << 0x1FFFFFFFFLL << int(timed.size());
        const QByteArray stamp = TimedId3::tag({}, 90000); // no frames: a timestamp and no title
        const QByteArray titled = TimedId3::tag({{"TIT2", "Song"}});
        QTest::newRow("packed: two tags") << stamp + titled + audio << "Song TITLE:Song" << 90000LL
                                          << int(stamp.size() + titled.size());
        QByteArray huge = titled;
        huge[6] = 0x7F; // claims 256 MiB
        QTest::newRow("packed: claims too much") << huge + audio << QString() << -1LL << 0;
        QTest::newRow("packed: no tag") << audio << QString() << -1LL << 0;
    }

    // A TS tag is timed at the segment's first audio, whose timestamp the segment gets too;
    // titles of the chunk's last use are gone.
    void titlesAndTimestamp()
    {
        QFETCH(QByteArray, data);
        QFETCH(QString, text);
        QFETCH(qint64, pts);
        QFETCH(int, strippedBytes);
        BVHlsDemuxer demuxer;
        BVHlsChunk chunk;
        chunk.titles.append({1, "stale"});
        demuxer.demux(chunk, data);
        QCOMPARE(chunk.data, data.mid(strippedBytes));
        QVERIFY2(pts == 0 ? chunk.pts > 0 : chunk.pts == pts, qPrintable(QString::number(chunk.pts)));
        QCOMPARE(chunk.titles.size(), text.isEmpty() ? 0 : 1);
        for (const BVHlsTitle &title : chunk.titles) {
            QCOMPARE(title.text, text);
            QCOMPARE(title.pts, chunk.pts);
        }
    }

    // Variants that differ only in bitrate share an audio format (they join in one engine
    // stream); another codec, sample rate or channel count does not.
    void audioFormatTellsVariantsApart_data()
    {
        QTest::addColumn<QStringList>("first");
        QTest::addColumn<QStringList>("second");
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("same");
        const QStringList aac{"-c:a", "aac", "-b:a", "32k"}, mp3{"-c:a", "libmp3lame", "-b:a", "64k"};
        const int ts = int(HlsFormat::Ts), packed = int(HlsFormat::Packed);
        QTest::newRow("AAC bitrates, TS") << aac << QStringList{"-c:a", "aac", "-b:a", "128k"} << ts << true;
        QTest::newRow("MP3 bitrates, packed") << mp3 << QStringList{"-c:a", "libmp3lame", "-b:a", "128k"} << packed << true;
        QTest::newRow("AAC and MP3, TS") << aac << mp3 << ts << false;
        QTest::newRow("AAC sample rates, packed") << aac << (aac + QStringList{"-ar", "44100"}) << packed << false;
        QTest::newRow("AAC mono and stereo, TS") << aac << (aac + QStringList{"-ac", "1"}) << ts << false;
        QTest::newRow("MP3 mono and stereo, packed") << mp3 << (mp3 + QStringList{"-ac", "1"}) << packed << false;
    }

    void audioFormatTellsVariantsApart()
    {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(int, format);
        QFETCH(bool, same);
        QList<QByteArray> formats;
        for (const QStringList &codec : {first, second}) {
            BVHlsDemuxer demuxer;
            BVHlsChunk chunk;
            demuxer.demux(chunk, makeHlsSegments({440}, 1.0, codec, HlsFormat(format)).value(0));
            QVERIFY(!chunk.audioFormat.isEmpty());
            formats.append(chunk.audioFormat);
        }
        QCOMPARE(formats[0] == formats[1], same);
    }

    // Segments and titles in seconds of one stream.
    void timeline_data()
    {
        QTest::addColumn<QList<quint32>>("sequences");
        QTest::addColumn<QList<qint64>>("segmentPts");
        QTest::addColumn<qint64>("titlePts");
        QTest::addColumn<QList<double>>("starts");
        QTest::addColumn<double>("titleAt");
        using Pts = QList<qint64>;
        using Seconds = QList<double>;
        const qint64 s = 90000;
        const QList<quint32> two{7, 8}, three{7, 8, 9};
        QTest::newRow("by timestamps") << two << Pts{10 * s, 12 * s + s / 2} << 13 * s << Seconds{0, 2.5} << 3.0;
        QTest::newRow("across the wrap") << two << Pts{(1LL << 33) - s, s} << 2 * s << Seconds{0, 2} << 3.0;
        QTest::newRow("without timestamps") << three << Pts{-1, -1, -1} << -1LL << Seconds{0, 2, 4} << 4.0;
        QTest::newRow("some without") << three << Pts{5 * s, -1, 9 * s} << -1LL << Seconds{0, 2, 4} << 4.0;
        QTest::newRow("a clock jump") << three << Pts{5 * s, 500 * s, 502 * s} << 502 * s << Seconds{0, 2, 4} << 4.0;
        QTest::newRow("back in time") << three << Pts{10 * s, 7 * s, 9 * s} << 9 * s + s / 2 << Seconds{0, 2, 4} << 4.5;
        QTest::newRow("title timed outside its segment") << two << Pts{5 * s, 7 * s} << 20 * s << Seconds{0, 2} << 4.0;
        // The audio of a skipped segment is not in the stream: what follows joins the audio before.
        QTest::newRow("a segment skipped") << QList<quint32>{7, 9, 10} << Pts{10 * s, 14 * s, 16 * s + s / 2} << 17 * s
                                           << Seconds{0, 2, 4.5} << 5.0;
    }

    void timeline()
    {
        QFETCH(QList<quint32>, sequences);
        QFETCH(QList<qint64>, segmentPts);
        QFETCH(qint64, titlePts);
        QFETCH(QList<double>, starts);
        QFETCH(double, titleAt);
        BVHlsTimeline timeline;
        QList<double> placed;
        for (qsizetype i = 0; i < segmentPts.size(); ++i)
            placed.append(timeline.place(sequences[i], segmentPts[i], 2.0));
        QCOMPARE(placed, starts);
        QCOMPARE(timeline.timeOf(titlePts), titleAt);
    }


    // A tag whose PES spans the last packet of one segment and the first of the next.
    void tagSplitOverTwoSegments()
    {
        const QByteArray joined = TimedId3::insert(m_segment, TimedId3::tag({{"TXXX", QString(300, 'y')}}));
        const QList<qsizetype> packets = metadataPackets(joined);
        QCOMPARE(packets.size(), 2);
        BVHlsDemuxer demuxer;
        BVHlsChunk a, b;
        demuxer.demux(a, joined.left(packets[1]));
        QVERIFY(a.titles.isEmpty());
        demuxer.demux(b, joined.mid(packets[1]));
        QCOMPARE(b.titles.size(), 1);
        QCOMPARE(b.titles[0].text, QString(300, 'y'));
        QCOMPARE(b.titles[0].pts, b.pts);
    }
};

QTEST_GUILESS_MAIN(TestBVHlsDemuxer)
#include "tst_bvhlsdemuxer.moc"
