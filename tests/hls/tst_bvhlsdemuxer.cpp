// The timed ID3 demuxer on MPEG-TS segments made by ffmpeg's HLS muxer.
#include "bvhlsdemuxer.h"
#include "hlsmedia.h"
#include "timedid3.h"

#include <QTest>

using namespace bvtest;

namespace {

constexpr int kPacket = 188;

int pidOf(const QByteArray &ts, qsizetype at)
{
    return (quint8(ts[at + 1]) & 0x1F) << 8 | quint8(ts[at + 2]);
}

// Offsets of the packets on the metadata PID.
QList<qsizetype> metadataPackets(const QByteArray &ts)
{
    QList<qsizetype> offsets;
    for (qsizetype at = 0; at + kPacket <= ts.size(); at += kPacket)
        if (pidOf(ts, at) == TimedId3::kPid)
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

    void tagTextAtSegmentEnd_data()
    {
        QTest::addColumn<QByteArray>("tag");
        QTest::addColumn<QString>("text");
        QTest::newRow("TXXX") << TimedId3::tag({{"TXXX", "Artist - Title"}}) << "Artist - Title";
        QTest::newRow("TXXX beside a title") << TimedId3::tag({{"TIT2", "Ignored"}, {"TXXX", "Chosen"}}) << "Chosen";
        QTest::newRow("title and artist") << TimedId3::tag({{"TIT2", "Song"}, {"TPE1", "Band"}})
                                          << "Song ARTIST:BandTITLE:Song";
        QTest::newRow("UTF-8") << TimedId3::tag({{"TXXX", "Motörhead – Ace"}}) << "Motörhead – Ace";
        // Longer than one packet: the PES continues in a packet without adaptation field.
        QTest::newRow("two packets") << TimedId3::tag({{"TXXX", QString(300, 'x')}}) << QString(300, 'x');
    }

    void tagTextAtSegmentEnd()
    {
        QFETCH(QByteArray, tag);
        QFETCH(QString, text);
        const QByteArray segment = TimedId3::insert(m_segment, tag);
        BVHlsDemuxer demuxer;
        BVHlsChunk chunk;
        demuxer.demux(chunk, segment);
        QCOMPARE(chunk.data, segment);
        QCOMPARE(chunk.meta.size(), 1);
        QCOMPARE(chunk.meta.values(int(segment.size())), QList<QString>{text});
    }

    void segmentWithoutTagsHasNoMeta()
    {
        BVHlsDemuxer demuxer;
        BVHlsChunk chunk;
        chunk.meta.insert(1, "stale");
        demuxer.demux(chunk, m_segment);
        QVERIFY(chunk.meta.isEmpty());
        const QByteArray noSync(1000, 'a');
        demuxer.demux(chunk, noSync);
        QVERIFY(chunk.meta.isEmpty());
        QCOMPARE(chunk.data, noSync);
    }

    void otherStreamIdOnMetadataPidIgnored()
    {
        QByteArray segment = TimedId3::insert(m_segment, TimedId3::tag({{"TXXX", "x"}}));
        const qsizetype packet = metadataPackets(segment).value(0, -1);
        QVERIFY(packet > 0);
        const qsizetype pes = segment.indexOf(QByteArray("\x00\x00\x01\xBD", 4), packet);
        QVERIFY(pes > packet && pes < packet + kPacket);
        segment[pes + 3] = char(0xC0); // an audio stream id
        BVHlsDemuxer demuxer;
        BVHlsChunk chunk;
        demuxer.demux(chunk, segment);
        QVERIFY(chunk.meta.isEmpty());
    }

    // A tag whose PES spans the last packet of one segment and the first of the next.
    void tagSplitOverTwoSegments()
    {
        const QByteArray joined = TimedId3::insert(m_segment, TimedId3::tag({{"TXXX", QString(300, 'y')}}));
        const QList<qsizetype> packets = metadataPackets(joined);
        QCOMPARE(packets.size(), 2);
        const QByteArray first = joined.left(packets[1]);
        const QByteArray second = joined.mid(packets[1]);
        BVHlsDemuxer demuxer;
        BVHlsChunk a, b;
        demuxer.demux(a, first);
        QVERIFY(a.meta.isEmpty());
        demuxer.demux(b, second);
        QCOMPARE(b.meta.values(int(second.size())), QList<QString>{QString(300, 'y')});
    }

    // Bytes before the first sync byte stay in the data; a trailing partial packet is not parsed.
    void leadingBytesKeptTrailingPartialIgnored()
    {
        const QByteArray tagged = TimedId3::insert(m_segment, TimedId3::tag({{"TXXX", "z"}}));
        const QByteArray segment = "junk" + tagged;
        BVHlsDemuxer demuxer;
        BVHlsChunk chunk;
        demuxer.demux(chunk, segment);
        QCOMPARE(chunk.data, segment);
        QCOMPARE(chunk.meta.values(int(segment.size())), QList<QString>{"z"});

        const qsizetype packet = metadataPackets(tagged).value(0);
        const QByteArray cut = m_segment + tagged.mid(packet, kPacket - 1);
        BVHlsDemuxer other;
        other.demux(chunk, cut);
        QVERIFY(chunk.meta.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBVHlsDemuxer)
#include "tst_bvhlsdemuxer.moc"
