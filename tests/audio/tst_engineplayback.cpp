// Playback on the "no sound" device: formats, positions, syncs, attributes,
// push and user-file streams, and bad input.
#include "bass.h"
#include "hlsmedia.h"
#include "synclog.h"
#include "testmedia.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using Clock = std::chrono::steady_clock;
using bvtest::SyncLog;

namespace {

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double seconds(HSTREAM stream, QWORD bytes)
{
    return BASS_ChannelBytes2Seconds(stream, bytes);
}

// A user-file source over bytes in memory: each read returns at most `chunk`
// bytes, and read number `slowRead` first blocks for `delayMs`.
struct SlowSource {
    QByteArray data;
    qsizetype offset = 0;
    DWORD chunk = 4096;
    int reads = 0;
    int slowRead = -1;
    int delayMs = 0;
    std::atomic<bool> closed{false};

    static DWORD read(void *buffer, DWORD length, void *user)
    {
        auto *s = static_cast<SlowSource *>(user);
        if (++s->reads == s->slowRead)
            std::this_thread::sleep_for(std::chrono::milliseconds(s->delayMs));
        const auto n = std::min<qsizetype>({qsizetype(length), qsizetype(s->chunk), s->data.size() - s->offset});
        if (n <= 0)
            return DWORD(-1);
        memcpy(buffer, s->data.constData() + s->offset, size_t(n));
        s->offset += n;
        return DWORD(n);
    }
    static void close(void *user) { static_cast<SlowSource *>(user)->closed = true; }
    static QWORD length(void *) { return 0; }
    static constexpr BASS_FILEPROCS procs{close, length, read, nullptr};
};

} // namespace

class TestEnginePlayback : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(bvtest::makeTone(path("tone2s.mp3"), 440, 2.0, {"-c:a", "libmp3lame", "-b:a", "128k"}));
        QVERIFY(bvtest::makeTone(path("tone2s.wav"), 440, 2.0, {"-c:a", "pcm_s16le"}));
        QVERIFY(bvtest::makeTone(path("tone4s.mp3"), 440, 4.0, {"-c:a", "libmp3lame", "-b:a", "128k"}));
    }

    void init() { QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr)); }
    void cleanup() { QVERIFY(BASS_Free()); }

    void formats_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("rate");
        QTest::addColumn<DWORD>("ctype");
        QTest::addColumn<QByteArray>("plugin"); // the plug-in name serving the format, empty for core formats
        QTest::newRow("mp3") << "t.mp3" << QStringList{"-c:a", "libmp3lame"} << 44100 << DWORD(BASS_CTYPE_STREAM_MP3) << QByteArray("");
        QTest::newRow("aac adts") << "t.aac" << QStringList{"-c:a", "aac"} << 44100 << DWORD(BASS_CTYPE_STREAM_AAC) << QByteArray("");
        QTest::newRow("m4a") << "t.m4a" << QStringList{"-c:a", "aac"} << 44100 << DWORD(BASS_CTYPE_STREAM_MP4) << QByteArray("");
        QTest::newRow("opus") << "t.opus" << QStringList{"-c:a", "libopus"} << 48000 << DWORD(BASS_CTYPE_STREAM_OPUS) << QByteArray("bassopus");
        QTest::newRow("vorbis") << "t.ogg" << QStringList{"-c:a", "libvorbis"} << 44100 << DWORD(BASS_CTYPE_STREAM_VORBIS) << QByteArray("");
        QTest::newRow("flac") << "t.flac" << QStringList{"-c:a", "flac"} << 44100 << DWORD(BASS_CTYPE_STREAM_FLAC) << QByteArray("");
        QTest::newRow("wav") << "t.wav" << QStringList{"-c:a", "pcm_s16le"} << 44100 << DWORD(BASS_CTYPE_STREAM_WAV) << QByteArray("");
        QTest::newRow("ts aac") << "a.ts" << QStringList{"-c:a", "aac", "-f", "mpegts"} << 44100 << DWORD(BASS_CTYPE_STREAM_AAC) << QByteArray("basshls");
        QTest::newRow("ts mp3") << "m.ts" << QStringList{"-c:a", "libmp3lame", "-f", "mpegts"} << 44100 << DWORD(BASS_CTYPE_STREAM_MP3) << QByteArray("basshls");
    }

    // Every supported container decodes at its own rate and really plays.
    void formats()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, args);
        QFETCH(int, rate);
        QFETCH(DWORD, ctype);
        QFETCH(QByteArray, plugin);
        QVERIFY(bvtest::makeTone(path(file), 440, 1.0, args, rate));
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path(file).toUtf8().constData(), 0, 0, 0);
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        BASS_CHANNELINFO info{};
        QVERIFY(BASS_ChannelGetInfo(stream, &info));
        QCOMPARE(int(info.freq), rate);
        QCOMPARE(info.chans, 2u);
        QCOMPARE(info.ctype, ctype);
        QCOMPARE(info.plugin, plugin.isEmpty() ? 0u : BASS_PluginLoad(plugin.constData(), 0));
        QCOMPARE(QString::fromUtf8(info.filename), path(file));
        const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
        QVERIFY2(qAbs(seconds(stream, length) - 1.0) < 0.1, qPrintable(QString::number(seconds(stream, length))));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_PLAYING));
        QTest::qWait(300);
        float level = 0;
        QVERIFY(BASS_ChannelGetLevelEx(stream, &level, 0.1f, BASS_LEVEL_MONO | BASS_LEVEL_RMS));
        // ffmpeg's sine source has an RMS of 1/16.
        QVERIFY2(qAbs(level - 0.0625f) < 0.006f, qPrintable(QString::number(level)));
    }

    // A file whose tags hold megabytes of cover art (noise: a picture that does not compress)
    // still opens: format detection's byte budget leaves room for it.
    void largeCoverArtOpens()
    {
        QVERIFY(bvtest::runFfmpeg({"-f", "lavfi", "-i",
                                   "nullsrc=s=1800x1400,geq=lum='random(1)*255':cb='random(2)*255':cr='random(3)*255'",
                                   "-frames:v", "1", path("art.png")}));
        QVERIFY(bvtest::runFfmpeg({"-f", "lavfi", "-i", "sine=frequency=440:duration=1", "-i", path("art.png"), "-map",
                                   "0", "-map", "1", "-c:a", "flac", "-c:v", "copy", "-disposition:v", "attached_pic",
                                   path("art.flac")}));
        QVERIFY(QFileInfo(path("art.flac")).size() > 5 * 1024 * 1024);
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path("art.flac").toUtf8().constData(), 0, 0, 0);
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        BASS_CHANNELINFO info{};
        QVERIFY(BASS_ChannelGetInfo(stream, &info));
        QCOMPARE(info.ctype, DWORD(BASS_CTYPE_STREAM_FLAC));
    }

    void positionFollowsRealTime()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path("tone4s.mp3").toUtf8().constData(), 0, 0, 0);
        QVERIFY(stream);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        const auto start = Clock::now();
        QTest::qWait(1500);
        const double played = seconds(stream, BASS_ChannelGetPosition(stream, BASS_POS_BYTE));
        const double elapsed = msBetween(start, Clock::now()) / 1000.0;
        QVERIFY2(qAbs(played - elapsed) / elapsed < 0.05, qPrintable(QString("%1 vs %2").arg(played).arg(elapsed)));
    }

    void endAndPositionSyncsFireOnTime()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path("tone2s.wav").toUtf8().constData(), 0, 0, 0);
        QVERIFY(stream);
        SyncLog pos, end;
        QVERIFY(pos.watch(stream, BASS_SYNC_POS, BASS_ChannelSeconds2Bytes(stream, 0.5)));
        QVERIFY(end.watch(stream, BASS_SYNC_END));
        const auto start = Clock::now();
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 4000);
        QCOMPARE(pos.count(), 1);
        QVERIFY2(qAbs(msBetween(start, pos.time(0)) - 500) < 20, qPrintable(QString::number(msBetween(start, pos.time(0)))));
        QVERIFY2(qAbs(msBetween(start, end.time(0)) - 2000) < 20, qPrintable(QString::number(msBetween(start, end.time(0)))));
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STOPPED));
        QVERIFY(!BASS_ChannelPlay(stream, FALSE));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ENDED);
    }

    void pauseKeepsPosition()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path("tone2s.mp3").toUtf8().constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTest::qWait(300);
        QVERIFY(BASS_ChannelPause(stream));
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_PAUSED));
        const QWORD paused = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
        QTest::qWait(300);
        QCOMPARE(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), paused);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTest::qWait(200);
        QVERIFY(BASS_ChannelGetPosition(stream, BASS_POS_BYTE) > paused);
        QVERIFY(BASS_ChannelPlay(stream, TRUE)); // restart from the beginning
        QVERIFY(BASS_ChannelGetPosition(stream, BASS_POS_BYTE) < paused);
        QVERIFY(!BASS_ChannelPause(BASS_StreamCreateFile(FALSE, path("tone2s.mp3").toUtf8().constData(), 0, 0, 0)));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_NOPLAY);
    }

    void seekingMovesPositionAndEnd()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path("tone2s.wav").toUtf8().constData(), 0, 0, 0);
        SyncLog end;
        end.watch(stream, BASS_SYNC_END);
        const QWORD target = BASS_ChannelSeconds2Bytes(stream, 1.5);
        QVERIFY(BASS_ChannelSetPosition(stream, target, BASS_POS_BYTE));
        QCOMPARE(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), target);
        const auto start = Clock::now();
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 2000);
        QVERIFY(qAbs(msBetween(start, end.time(0)) - 500) < 30);
        QVERIFY(!BASS_ChannelSetPosition(stream, BASS_ChannelSeconds2Bytes(stream, 3.0), BASS_POS_BYTE));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_POSITION);
    }

    void doubleFrequencyHalvesPlayingTime()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path("tone2s.wav").toUtf8().constData(), 0, 0, 0);
        SyncLog end;
        end.watch(stream, BASS_SYNC_END);
        QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_FREQ, 88200));
        float freq = 0;
        QVERIFY(BASS_ChannelGetAttribute(stream, BASS_ATTRIB_FREQ, &freq));
        QCOMPARE(freq, 88200.0f);
        const auto start = Clock::now();
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 3000);
        QVERIFY2(qAbs(msBetween(start, end.time(0)) - 1000) < 30, qPrintable(QString::number(msBetween(start, end.time(0)))));
    }

    void filePositionsOfLocalFile()
    {
        const QString file = path("tone2s.mp3");
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, file.toUtf8().constData(), 0, 0, 0);
        const auto size = QWORD(QFileInfo(file).size());
        QCOMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END), size);
        QCOMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFER), size);
        const QWORD start = BASS_StreamGetFilePosition(stream, BASS_FILEPOS_START);
        QVERIFY2(start > 0 && start < 1024, qPrintable(QString::number(start))); // behind the ID3v2 tag
        const QWORD current = BASS_StreamGetFilePosition(stream, BASS_FILEPOS_CURRENT);
        // Between the first frame and the end: the decode thread may not have run yet, or may
        // already have read the whole small file.
        QVERIFY2(current >= start && current <= size, qPrintable(QString::number(current)));
        QCOMPARE(BASS_StreamGetFilePosition(stream, 77), QWORD(-1));
    }

    // offset and length select one file embedded in a bigger one.
    void offsetAndLengthSelectPartOfFile()
    {
        const QByteArray audio = bvtest::readFile(path("tone2s.mp3"));
        QFile bundle(path("bundle.bin"));
        QVERIFY(bundle.open(QIODevice::WriteOnly));
        bundle.write(QByteArray(1000, 'x') + audio + QByteArray(5000, '\xff'));
        bundle.close();
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, bundle.fileName().toUtf8().constData(), 1000, audio.size(), 0);
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        QCOMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END), QWORD(audio.size()));
        QVERIFY(qAbs(seconds(stream, BASS_ChannelGetLength(stream, BASS_POS_BYTE)) - 2.0) < 0.1);
    }

    void badInput()
    {
        QCOMPARE(BASS_StreamCreateFile(FALSE, path("missing.mp3").toUtf8().constData(), 0, 0, 0), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);

        QFile text(path("notes.mp3"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write(QByteArray("These are not the sounds you are looking for.\n").repeated(200));
        text.close();
        QCOMPARE(BASS_StreamCreateFile(FALSE, text.fileName().toUtf8().constData(), 0, 0, 0), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);

        QFile wav(path("tone2s.wav"));
        QVERIFY(wav.open(QIODevice::ReadOnly));
        QFile cut(path("cut.wav"));
        QVERIFY(cut.open(QIODevice::WriteOnly));
        cut.write(wav.read(20)); // not even a whole header
        cut.close();
        QCOMPARE(BASS_StreamCreateFile(FALSE, cut.fileName().toUtf8().constData(), 0, 0, 0), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);

        QCOMPARE(BASS_StreamCreateFile(FALSE, path("tone2s.mp3").toUtf8().constData(), 1 << 30, 0, 0), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
        QCOMPARE(BASS_ChannelPlay(12345, FALSE), FALSE);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    }

    // A file cut in the middle of its audio plays what it has, then ends.
    void truncatedFilePlaysToItsEnd()
    {
        QFile mp3(path("tone2s.mp3"));
        QVERIFY(mp3.open(QIODevice::ReadOnly));
        QFile cut(path("cut.mp3"));
        QVERIFY(cut.open(QIODevice::WriteOnly));
        cut.write(mp3.read(mp3.size() / 4));
        cut.close();
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, cut.fileName().toUtf8().constData(), 0, 0, BASS_STREAM_AUTOFREE);
        QVERIFY(stream);
        SyncLog end;
        end.watch(stream, BASS_SYNC_END);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 2000);
        QTRY_VERIFY(!BASS_ChannelGetInfo(stream, nullptr) && BASS_ErrorGetCode() == BASS_ERROR_HANDLE); // auto-freed
    }

    // An MP3 stream whose frames turn from mono to stereo keeps the channel count it opened
    // with: the stereo part is mixed down, not read as twice as many mono samples.
    void mpegChannelChangeKeepsTheFormat()
    {
        const QStringList plain{"-c:a", "libmp3lame", "-b:a", "64k", "-write_xing", "0", "-id3v2_version", "0"};
        QVERIFY(bvtest::makeTone(path("mono.mp3"), 440, 1.0, plain, 44100, 1));
        QVERIFY(bvtest::makeTone(path("stereo.mp3"), 440, 1.0, plain, 44100, 2));
        QFile mono(path("mono.mp3")), stereo(path("stereo.mp3")), joined(path("joined.mp3"));
        QVERIFY(mono.open(QIODevice::ReadOnly) && stereo.open(QIODevice::ReadOnly) && joined.open(QIODevice::WriteOnly));
        joined.write(mono.readAll() + stereo.readAll());
        joined.close();
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, joined.fileName().toUtf8().constData(), 0, 0, 0);
        QVERIFY(stream);
        BASS_CHANNELINFO info{};
        QVERIFY(BASS_ChannelGetInfo(stream, &info));
        QCOMPARE(info.chans, 1u);
        SyncLog end;
        end.watch(stream, BASS_SYNC_END);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 4000);
        const double played = BASS_ChannelBytes2Seconds(stream, BASS_ChannelGetPosition(stream, BASS_POS_BYTE));
        QVERIFY2(qAbs(played - 2.0) < 0.1, qPrintable(QString::number(played)));
    }

    void autoFreeOnStop()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path("tone2s.mp3").toUtf8().constData(), 0, 0, BASS_STREAM_AUTOFREE);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QVERIFY(BASS_ChannelStop(stream));
        QVERIFY(!BASS_ChannelIsActive(stream));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        const HSTREAM kept = BASS_StreamCreateFile(FALSE, path("tone2s.mp3").toUtf8().constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelStop(kept));
        QCOMPARE(BASS_ChannelIsActive(kept), DWORD(BASS_ACTIVE_STOPPED));
        QCOMPARE(BASS_ErrorGetCode(), BASS_OK);
    }

    // Two channels play at once and each keeps its own position.
    void channelsPlaySideBySide()
    {
        const HSTREAM main = BASS_StreamCreateFile(FALSE, path("tone4s.mp3").toUtf8().constData(), 0, 0, 0);
        const HSTREAM ad = BASS_StreamCreateFile(FALSE, path("tone2s.wav").toUtf8().constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelSetAttribute(main, BASS_ATTRIB_VOL, 0.0f));
        QVERIFY(BASS_ChannelPlay(main, FALSE));
        QTest::qWait(200);
        QVERIFY(BASS_ChannelPlay(ad, FALSE));
        QTest::qWait(400);
        const double mainPos = seconds(main, BASS_ChannelGetPosition(main, BASS_POS_BYTE));
        const double adPos = seconds(ad, BASS_ChannelGetPosition(ad, BASS_POS_BYTE));
        QVERIFY2(qAbs(mainPos - adPos - 0.2) < 0.05, qPrintable(QString("%1 %2").arg(mainPos).arg(adPos)));
    }

    void pushLimitRefusesOverLimitWrite()
    {
        const HSTREAM stream = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
        QVERIFY(stream);
        QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_PUSH_LIMIT, 1000.0f));
        std::vector<int16_t> pcm(1000, 100);
        QCOMPARE(BASS_StreamPutData(stream, pcm.data(), 800), DWORD(800));
        QCOMPARE(BASS_StreamPutData(stream, pcm.data(), 400), DWORD(-1));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
        QCOMPARE(BASS_StreamPutData(stream, pcm.data(), 200), DWORD(1000));
        QCOMPARE(BASS_StreamPutData(stream, nullptr, BASS_STREAMPROC_END), DWORD(1000));
        QCOMPARE(BASS_StreamPutData(stream, pcm.data(), 2), DWORD(-1));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ENDED);
        QCOMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END), QWORD(-1));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_NOTFILE);
        QCOMPARE(BASS_ChannelGetLength(stream, BASS_POS_BYTE), QWORD(-1));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_NOTAVAIL);
    }

    // An empty queue stalls the channel; new data (from another thread) resumes it; the end mark ends it.
    void pushStreamStallsAndResumes()
    {
        const HSTREAM stream = BASS_StreamCreate(44100, 2, 0, STREAMPROC_PUSH, nullptr);
        SyncLog stall, end;
        stall.watch(stream, BASS_SYNC_STALL);
        end.watch(stream, BASS_SYNC_END);
        std::vector<int16_t> pcm(44100 / 5 * 2, 1000); // 0.2 s
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STALLED));
        std::thread([&] { BASS_StreamPutData(stream, pcm.data(), DWORD(pcm.size() * 2)); }).join();
        QTRY_COMPARE(stall.data(), QList<DWORD>({1}));
        QTRY_COMPARE(stall.data(), QList<DWORD>({1, 0}));
        QCOMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STALLED));
        QCOMPARE(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), QWORD(pcm.size() * 2));
        std::thread([&] {
            BASS_StreamPutData(stream, pcm.data(), DWORD(pcm.size() * 2) | BASS_STREAMPROC_END);
        }).join();
        QTRY_COMPARE(end.count(), 1);
        QCOMPARE(stall.data(), QList<DWORD>({1, 0, 1}));
    }

    // A user-file stream whose callback blocks runs dry, stalls, and resumes when data flows again.
    void userFileStreamStallsAndResumes()
    {
        SlowSource source;
        source.data = bvtest::readFile(path("tone4s.mp3"));
        source.slowRead = 12;
        source.delayMs = 1500;
        const HSTREAM stream = BASS_StreamCreateFileUser(STREAMFILE_BUFFER, BASS_STREAM_BLOCK | BASS_STREAM_AUTOFREE,
                                                         &SlowSource::procs, &source);
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        QVERIFY(source.reads > 0); // format detection read on this thread
        QCOMPARE(BASS_ChannelGetLength(stream, BASS_POS_BYTE), QWORD(-1));
        QCOMPARE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END), QWORD(64 * 1024));
        SyncLog stall, end;
        stall.watch(stream, BASS_SYNC_STALL);
        end.watch(stream, BASS_SYNC_END);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_PLAYING));
        const qsizetype before = stall.count(); // a resume when the first data arrives
        QTRY_COMPARE_WITH_TIMEOUT(stall.count(), before + 2, 5000);
        QCOMPARE(stall.data().back(), DWORD(1));
        QCOMPARE(stall.data().at(before), DWORD(0));
        QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 6000);
        QTRY_VERIFY(source.closed); // auto-freed at the end: the input is closed
    }

    // MPEG-TS segments handed over one per read, as the HLS back-end does: the format is found
    // from the bytes (the timed-metadata stream beside the audio is left alone), and every read
    // after creation sees CURRENT = all bytes handed over before it and BUFFER = 0, the file
    // positions the back-end stamps its timed texts with.
    void userFileSegmentsAndPositions()
    {
        struct Segments {
            QList<QByteArray> segments;
            std::atomic<HSTREAM> stream{0};
            qint64 handedOver = 0;
            std::mutex mutex;
            QList<QPair<qint64, QWORD>> seen; // bytes handed over before a read, CURRENT then
            QList<QWORD> buffers;
            std::atomic<int> closes{0};

            static DWORD read(void *buffer, DWORD length, void *user)
            {
                auto *s = static_cast<Segments *>(user);
                std::lock_guard lock(s->mutex);
                if (const HSTREAM stream = s->stream) {
                    s->seen.append({s->handedOver, BASS_StreamGetFilePosition(stream, BASS_FILEPOS_CURRENT)});
                    s->buffers.append(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_BUFFER));
                }
                if (s->segments.isEmpty())
                    return DWORD(-1);
                const QByteArray segment = s->segments.takeFirst();
                if (DWORD(segment.size()) > length)
                    return DWORD(-1);
                memcpy(buffer, segment.constData(), size_t(segment.size()));
                s->handedOver += segment.size();
                return DWORD(segment.size());
            }
            static void close(void *user) { ++static_cast<Segments *>(user)->closes; }
        };
        static constexpr BASS_FILEPROCS procs{Segments::close, nullptr, Segments::read, nullptr};

        // Each segment ends with a null packet, after its last audio: the decoder has consumed
        // it only once it asks for more.
        const QByteArray nullPacket = QByteArray("\x47\x1f\xff\x10", 4) + QByteArray(184, '\xff');
        Segments source;
        for (const QByteArray &segment : bvtest::makeHlsSegments({440, 660, 440, 660}, 0.5))
            source.segments.append(bvtest::withTitle(segment, "title") + nullPacket);
        QCOMPARE(source.segments.size(), 4);
        const HSTREAM stream = BASS_StreamCreateFileUser(STREAMFILE_BUFFER, BASS_STREAM_BLOCK | BASS_STREAM_AUTOFREE,
                                                         &procs, &source);
        QVERIFY2(stream, qPrintable(QString::number(BASS_ErrorGetCode())));
        BASS_CHANNELINFO info{};
        QVERIFY(BASS_ChannelGetInfo(stream, &info));
        QCOMPARE(info.freq, DWORD(48000));
        QCOMPARE(info.ctype, DWORD(BASS_CTYPE_STREAM_AAC));
        source.stream = stream;
        SyncLog end;
        end.watch(stream, BASS_SYNC_END);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE_WITH_TIMEOUT(end.count(), 1, 5000);
        std::lock_guard lock(source.mutex);
        QVERIFY(source.seen.size() >= 2);
        for (const auto &[handedOver, current] : source.seen)
            QCOMPARE(current, QWORD(handedOver));
        for (const QWORD buffer : source.buffers)
            QCOMPARE(buffer, QWORD(0));
        QTRY_COMPARE(source.closes.load(), 1);

        // A creation that fails closes its file once too.
        Segments junk;
        junk.segments = {QByteArray(8192, 'x')};
        QCOMPARE(BASS_StreamCreateFileUser(STREAMFILE_BUFFER, BASS_STREAM_BLOCK, &procs, &junk), HSTREAM(0));
        QCOMPARE(junk.closes.load(), 1);
    }

    // A sync callback may free its own channel without deadlocking the engine.
    void syncFreesItsOwnChannel()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path("tone2s.wav").toUtf8().constData(), 0, 0, 0);
        struct Freer {
            std::atomic<int> calls{0};
            static void free(HSYNC, DWORD channel, DWORD, void *user)
            {
                BASS_ChannelFree(channel);
                ++static_cast<Freer *>(user)->calls;
            }
        } freer;
        SyncLog end;
        QVERIFY(BASS_ChannelSetSync(stream, BASS_SYNC_POS, BASS_ChannelSeconds2Bytes(stream, 0.2), Freer::free, &freer));
        QVERIFY(end.watch(stream, BASS_SYNC_END));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE(freer.calls.load(), 1);
        QVERIFY(!BASS_ChannelIsActive(stream));
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
        QTest::qWait(200);
        QCOMPARE(end.count(), 0); // a freed channel's syncs do not fire
        // The engine still works afterwards.
        const HSTREAM next = BASS_StreamCreateFile(FALSE, path("tone2s.wav").toUtf8().constData(), 0, 0, 0);
        QVERIFY(BASS_ChannelPlay(next, FALSE));
    }

    // Syncs can be removed, and a removed sync no longer fires; a one-time sync removes itself.
    void removedSyncDoesNotFire()
    {
        const HSTREAM stream = BASS_StreamCreateFile(FALSE, path("tone2s.wav").toUtf8().constData(), 0, 0, 0);
        SyncLog pos, end, once;
        const HSYNC sync = pos.watch(stream, BASS_SYNC_POS);
        const HSYNC oneTime = once.watch(stream, BASS_SYNC_POS | BASS_SYNC_ONETIME);
        QVERIFY(end.watch(stream, BASS_SYNC_POS, BASS_ChannelSeconds2Bytes(stream, 0.1)));
        QVERIFY(BASS_ChannelRemoveSync(stream, sync));
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QTRY_COMPARE(end.count(), 1);
        QCOMPARE(pos.count(), 0);
        QCOMPARE(once.count(), 1);
        QVERIFY(!BASS_ChannelRemoveSync(stream, oneTime));
        QCOMPARE(pos.watch(stream, 99), 0u);
        QCOMPARE(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
    }
};

QTEST_GUILESS_MAIN(TestEnginePlayback)
#include "tst_engineplayback.moc"
