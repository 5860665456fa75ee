// The engine's small parts on their own: the ICY demuxer, the URL string parser, HTTP URLs and body
// framing, the playlist reader, MPEG framing and headers, sync ranges and the resampler's 5.1 fold-down.
#include "input/http_body.h"
#include "input/http_url.h"
#include "input/icy_demuxer.h"
#include "decode/mp3_info.h"
#include "input/net_request.h"
#include "input/playlist_reader.h"
#include "mix/mix_queue.h"
#include "mix/resampler.h"
#include "mix/sync_list.h"

#include <QTest>

#include <tuple>
#include <vector>

using namespace bvaudio;

namespace {

QByteArray icyBlock(const QByteArray &text)
{
    const int blocks = int((text.size() + 15) / 16);
    return char(blocks) + text + QByteArray(blocks * 16 - text.size(), '\0');
}

// The first frame of an MP3 file (MPEG-1 stereo unless told): frame header, zeroed side info,
// then `tag` (a Xing, Info or VBRI header) at its place in the frame.
QByteArray headerFrame(const QByteArray &tag, const QByteArray &header = QByteArray("\xff\xfb\x90\x64", 4),
                       int sideInfo = 32)
{
    return header + QByteArray(sideInfo, '\0') + tag;
}

QByteArray be32(quint32 v)
{
    const char bytes[] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return QByteArray(bytes, 4);
}

// A Xing/Info header with the given flags and, after it, an encoder tag carrying delay and padding.
QByteArray xing(const char *name, quint32 flags, quint32 frames, const QByteArray &encoder = {}, int delay = 0,
                int padding = 0)
{
    QByteArray tag = QByteArray(name) + be32(flags);
    if (flags & 1)
        tag += be32(frames);
    if (flags & 2)
        tag += be32(100000);
    if (flags & 4)
        tag += QByteArray(100, '\x7f');
    if (flags & 8)
        tag += be32(50);
    if (!encoder.isEmpty())
        tag += encoder.leftJustified(21, ' ') + char(delay >> 4) + char((delay & 0xf) << 4 | padding >> 8) + char(padding & 0xff)
               + QByteArray(12, '\0');
    return tag;
}

void noSync(HSYNC, DWORD, DWORD, void *) {}

} // namespace

class TestEngineParsers : public QObject {
    Q_OBJECT

private slots:
    void icyDemuxer_data()
    {
        QTest::addColumn<int>("piece");
        QTest::newRow("whole body at once") << 100000;
        QTest::newRow("byte by byte") << 1;
        QTest::newRow("pieces across block borders") << 7;
    }

    // Audio comes out whole, metadata blocks come out once each, empty blocks are skipped,
    // and however the body is cut into pieces the result is the same.
    void icyDemuxer()
    {
        QFETCH(int, piece);
        const QByteArray audio1(32, 'a'), audio2(32, 'b'), audio3(32, 'c');
        const QByteArray body = audio1 + icyBlock("StreamTitle='Guns N' Roses';") + audio2 + QByteArray(1, '\0') + audio3
                                + icyBlock("StreamTitle='B\xf6rk';") + QByteArray(10, 'd');
        IcyDemuxer demuxer(32);
        std::vector<uint8_t> out;
        QStringList titles;
        for (qsizetype i = 0; i < body.size(); i += piece)
            demuxer.feed(reinterpret_cast<const uint8_t *>(body.constData() + i), size_t(qMin<qsizetype>(piece, body.size() - i)),
                         out, [&](const std::string &meta) { titles << QString::fromStdString(meta); });
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(out.data()), qsizetype(out.size())),
                 audio1 + audio2 + audio3 + QByteArray(10, 'd'));
        QCOMPARE(titles, QStringList({"StreamTitle='Guns N' Roses';", "StreamTitle='B\u00f6rk';"}));
        QCOMPARE(IcyDemuxer::toUtf8("cut \xc3"), std::string("cut \xc3\x83")); // a sequence cut short is Latin-1
    }

    void requestString()
    {
        const NetRequest r = NetRequest::parse(" http://radio.test/a b\xc3\xa9.mp3?x=\"1\" \r\nUser-Agent: A/1\r\n\r\n"
                                               "Bad: x\ny\r\nReferer: r\r\n", 42);
        QCOMPARE(r.url, std::string("http://radio.test/a%20b%C3%A9.mp3?x=%221%22"));
        QCOMPARE(r.headers, std::vector<std::string>({"User-Agent: A/1", "Referer: r"})); // the smuggling line dropped
        QCOMPARE(r.offset, 42u);
        QCOMPARE(NetRequest::parse("http://radio.test/%41", 0).url, std::string("http://radio.test/%41")); // kept as is
        QVERIFY(NetRequest::parse(nullptr, 0).url.empty());
    }

    // Bodies fed one wire byte at a time and all at once give the same payload and end.
    void httpBodies_data()
    {
        QTest::addColumn<int>("framing");
        QTest::addColumn<qulonglong>("length");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("end"); // "complete", "open" (wants more) or "broken"
        const int chunked = int(HttpBody::Framing::Chunked);
        const int length = int(HttpBody::Framing::Length);
        QTest::newRow("chunks, extension, trailer") << chunked << 0ull
            << QByteArray("4;x=1\r\nWiki\r\nA \r\npedia in\r\n\r\n0\r\nX-T: 1\r\n\r\nafter") << QByteArray("Wikipedia in\r\n")
            << "complete";
        QTest::newRow("bare line ends") << chunked << 0ull << QByteArray("3\nabc\n0\n\n") << QByteArray("abc") << "complete";
        QTest::newRow("cut inside a chunk") << chunked << 0ull << QByteArray("10\r\nshort") << QByteArray("short") << "open";
        QTest::newRow("size not hex") << chunked << 0ull << QByteArray("zz\r\nabc") << QByteArray() << "broken";
        QTest::newRow("size would overflow") << chunked << 0ull << QByteArray("1000000000000000\r\n") << QByteArray() << "broken";
        QTest::newRow("no line end after data") << chunked << 0ull << QByteArray("2\r\nabXY\r\n") << QByteArray("ab") << "broken";
        QTest::newRow("endless size line") << chunked << 0ull << QByteArray(5000, '1') << QByteArray() << "broken";
        QTest::newRow("length stops there") << length << 3ull << QByteArray("abcdef") << QByteArray("abc") << "complete";
        QTest::newRow("no length, no body") << length << 0ull << QByteArray("abc") << QByteArray() << "complete";
        QTest::newRow("until close") << int(HttpBody::Framing::UntilClose) << 0ull << QByteArray("abc") << QByteArray("abc") << "open";
    }

    void httpBodies()
    {
        QFETCH(int, framing);
        QFETCH(qulonglong, length);
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, payload);
        QFETCH(QString, end);
        for (const int step : {1, int(wire.size())}) {
            HttpBody body(HttpBody::Framing(framing), length);
            QByteArray out;
            for (qsizetype at = 0; at < wire.size() && !body.complete() && !body.broken(); at += step)
                body.feed(wire.constData() + at, size_t(std::min<qsizetype>(step, wire.size() - at)), [&](const char *d, size_t n) {
                    out.append(d, qsizetype(n));
                    return true;
                });
            QCOMPARE(out, payload);
            QCOMPARE(body.complete() ? "complete" : body.broken() ? "broken" : "open", end);
        }
    }

    void httpUrls()
    {
        HttpUrl url;
        QVERIFY(HttpUrl::parse("HTTP://us%65r:p%40ss@[::1]:8000/a/b.mp3?x=1#frag", url));
        QCOMPARE(url.host, std::string("::1"));
        QCOMPARE(url.target, std::string("/a/b.mp3?x=1"));
        QCOMPARE(url.hostHeader(), std::string("[::1]:8000"));
        QCOMPARE(url.basicAuthorization(), std::string("Basic dXNlcjpwQHNz")); // user:p@ss
        QVERIFY(HttpUrl::parse("http://Radio.test", url));
        QCOMPARE(url.target, std::string("/"));
        QCOMPARE(url.origin(), std::string("http://radio.test:80"));
        for (const char *bad : {"ftp://x/", "http:///path", "http://x:99999/", "http://x:8a/", "http://a b/", "radio.test/x"})
            QVERIFY2(!HttpUrl::parse(bad, url), bad);

        const std::string base = "http://radio.test:8000/dir/list.pls?x=1";
        QCOMPARE(resolveLocation(base, "https://cdn.test/s"), std::string("https://cdn.test/s"));
        QCOMPARE(resolveLocation(base, "//cdn.test/s"), std::string("http://cdn.test/s"));
        QCOMPARE(resolveLocation(base, "/root s.mp3"), std::string("http://radio.test:8000/root%20s.mp3"));
        QCOMPARE(resolveLocation(base, "next.mp3?a=http://x"), std::string("http://radio.test:8000/dir/next.mp3?a=http://x"));
    }

    void playlistRecognition_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<bool>("isList");
        QTest::newRow("pls by content") << QByteArray("\xef\xbb\xbf[Playlist]\nFile1=x") << QByteArray() << true;
        QTest::newRow("m3u by type") << QByteArray("x") << QByteArray("Audio/X-MpegURL") << true;
        QTest::newRow("extended m3u") << QByteArray("#EXTM3U\n#EXTINF:-1,a\nhttp://a") << QByteArray("text/plain") << true;
        QTest::newRow("plain m3u") << QByteArray("http://a.test/live\n") << QByteArray("text/plain") << true;
        QTest::newRow("hls is not the engine's") << QByteArray("#EXTM3U\n#EXT-X-TARGETDURATION:6") << QByteArray("audio/mpegurl") << false;
        QTest::newRow("audio") << QByteArray("ID3\x03") << QByteArray("audio/mpeg") << false;
        QTest::newRow("url text as audio") << QByteArray("http://a.test/") << QByteArray("audio/mpeg") << false;
    }

    void playlistRecognition()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, contentType);
        QTEST(looksLikePlaylist(head.toStdString(), contentType.toStdString()), "isList");
    }

    void playlistEntries()
    {
        using List = std::vector<std::string>;
        QCOMPARE(readPlaylist("[playlist]\nFile1=http://a.test/1\nTitle1=x\nfile2 = rel/2.mp3\nFile3=\nFile4\n",
                         "http://radio.test/lists/x.pls"),
                 List({"http://a.test/1", "http://radio.test/lists/rel/2.mp3"}));
        QCOMPARE(readPlaylist("#EXTM3U\r\n#EXTINF:-1,A\r\n/abs/a.mp3\r\n\r\nb.mp3", "/home/u/list.m3u"),
                 List({"/abs/a.mp3", "/home/u/b.mp3"}));
        QVERIFY(isNetworkLocation("HTTPS://x"));
        QVERIFY(!isNetworkLocation("file:///x"));
        QVERIFY(!isNetworkLocation("/http://x"));
    }

    void mp3HeaderLength_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<qint64>("samples");
        QTest::newRow("LAME: delay and padding dropped")
            << headerFrame(xing("Info", 15, 118, "LAME3.100", 576, 855)) << qint64(118 * 1152 - 1431);
        QTest::newRow("unknown encoder tag") << headerFrame(xing("Xing", 15, 7, "GOGO", 576, 100)) << qint64(7 * 1152);
        QTest::newRow("encoder tag cut off")
            << headerFrame(xing("Info", 15, 9, "LAME3.100", 576, 855)).left(170) << qint64(9 * 1152);
        QTest::newRow("no frame count") << headerFrame(xing("Xing", 6, 0)) << qint64(-1);
        QTest::newRow("MPEG-2 mono: 576 per frame, header after 9 bytes")
            << headerFrame(xing("Xing", 1, 10), QByteArray("\xff\xf3\x90\xc4", 4), 9) << qint64(10 * 576);
        QTest::newRow("VBRI") << headerFrame("VBRI" + QByteArray("\0\1\2\100\0\0", 6) + be32(5000) + be32(33))
                              << qint64(33 * 1152);
        QTest::newRow("plain audio frame") << headerFrame(QByteArray(400, '\x55')) << qint64(-1);
        QTest::newRow("layer II") << headerFrame(xing("Xing", 1, 7), QByteArray("\xff\xfd\x90\x64", 4)) << qint64(-1);
        QTest::newRow("empty") << QByteArray() << qint64(-1);
    }

    // Headers the engine reads to know an MP3's decoded length before decoding it.
    void mp3HeaderLength()
    {
        QFETCH(QByteArray, frame);
        QFETCH(qint64, samples);
        QCOMPARE(mp3HeaderSamples(reinterpret_cast<const uint8_t *>(frame.constData()), size_t(frame.size())), samples);
    }

    // A stream begins where a frame is followed by a second of the same kind; an ID3v2 tag's
    // size is where the audio after it begins.
    void mpegAudioStart_data()
    {
        const QByteArray frame = QByteArray("\xff\xfb\x90\x64", 4) + QByteArray(413, '\x55');
        const QByteArray other = QByteArray("\xff\xfb\x94\x64", 4); // same bit rate at 48 kHz
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<bool>("id3"); // the ID3v2 tag's size instead
        QTest::newRow("after junk") << QByteArray("junk\xff\xfb") + frame + frame << qint64(6) << false;
        const QByteArray padded = QByteArray("\xff\xfb\x92\x64", 4) + QByteArray(414, '\x55');
        QTest::newRow("padded frames") << padded + padded + padded << qint64(0) << false;
        const QByteArray mpeg2 = QByteArray("\xff\xf3\x80\xc4", 4) + QByteArray(204, '\x55'); // 64k at 22.05 kHz
        QTest::newRow("mpeg-2 frames") << mpeg2 + mpeg2 << qint64(0) << false;
        QTest::newRow("second header cut") << frame + QByteArray("\xff\xfb\x90", 3) << qint64(-1) << false;
        QTest::newRow("one frame, then noise") << frame + QByteArray(500, '\x11') << qint64(-1) << false;
        QTest::newRow("rate changes: no stream") << frame + other + QByteArray(500, '\0') << qint64(-1) << false;
        QTest::newRow("adts aac") << (QByteArray("\xff\xf1\x50\x80\x2e\x7f\xfc", 7) + QByteArray(361, '\0')).repeated(3)
                                  << qint64(-1) << false;
        QTest::newRow("empty") << QByteArray() << qint64(-1) << false;
        QTest::newRow("id3 tag") << QByteArray("ID3\4\0\0\0\0\2\1", 10) << qint64(10 + 257) << true;
        QTest::newRow("id3 with footer") << QByteArray("ID3\4\0\x10\0\0\0\5", 10) << qint64(25) << true;
        QTest::newRow("id3 size not sync-safe") << QByteArray("ID3\4\0\0\0\0\x80\1", 10) << qint64(0) << true;
        QTest::newRow("no id3 tag") << QByteArray("\xff\xfb\x90\x64......", 10) << qint64(0) << true;
        QTest::newRow("id3 too short") << QByteArray("ID3\4", 4) << qint64(0) << true;
    }

    void mpegAudioStart()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, id3);
        const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
        const size_t size = size_t(bytes.size());
        QTEST(qint64(id3 ? id3v2TagSize(data, size) : bvaudio::mpegAudioStart(data, size)), "start");
    }

    // Position syncs fire for positions inside [from, to); removed syncs are gone; ids are unique.
    void syncListRanges()
    {
        SyncList list;
        const HSYNC atZero = list.add(BASS_SYNC_POS, 0, noSync, nullptr);
        const HSYNC at100 = list.add(BASS_SYNC_POS, 100, noSync, nullptr);
        const HSYNC end = list.add(BASS_SYNC_END, 0, noSync, nullptr);
        QVERIFY(atZero != at100 && at100 != end);
        for (const auto &[from, to, id] : {std::tuple{0, 100, atZero}, {100, 101, at100}}) {
            std::vector<SyncList::Event> events;
            list.collectPositions(from, to, events);
            QVERIFY(events.size() == 1 && events.front().id == id);
        }
        std::vector<SyncList::Event> ends;
        list.collect(BASS_SYNC_END, 7, ends);
        QVERIFY(ends.size() == 1 && ends.front().id == end && ends.front().data == 7u);
        QVERIFY(list.remove(at100));
        QVERIFY(!list.remove(at100));
        QVERIFY(!list.contains(at100) && list.contains(atZero));
    }

    // 5.1 is folded down to stereo with the LFE left out and every output within full scale.
    void resamplerFoldsDown()
    {
        Resampler r;
        QVERIFY(r.configure(6, 48000, 48000));
        const int16_t lfeOnly[] = {0, 0, 0, 32767, 0, 0};
        const int16_t full[] = {32767, 32767, 32767, 32767, 32767, 32767};
        const int16_t leftOnly[] = {32767, 0, 0, 0, 32767, 0};
        MixQueue queue;
        QVERIFY(r.convert(lfeOnly, 1, queue) && r.convert(full, 1, queue) && r.convert(leftOnly, 1, queue));
        std::vector<float> out;
        queue.take(3, [&out](const float *frames, size_t n) { out.insert(out.end(), frames, frames + 2 * n); });
        QCOMPARE(out.size(), size_t(6));
        QCOMPARE(out[0], 0.0f);
        QCOMPARE(out[1], 0.0f);
        QVERIFY(out[2] <= 1.0f && out[2] > 0.99f && out[3] <= 1.0f && out[3] > 0.99f);
        QVERIFY(out[4] > 0.5f && out[5] == 0.0f);
    }

};

QTEST_GUILESS_MAIN(TestEngineParsers)
#include "tst_engineparsers.moc"
