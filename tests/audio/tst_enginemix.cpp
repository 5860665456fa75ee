// What the mixer hands a simulated sound server, frame by frame: starts, seeks, pause, volume and a
// second channel heard whole, in place and without a hole; a stream changing its channel count.
#include "bass.h"
#include "fakeoutput.h"
#include "mix/level_meter.h"
#include "mix/mix_queue.h"
#include "mix/resampler.h"
#include "userfilesource.h"
#include "pcmanalysis.h"
#include "synclog.h"
#include "testmedia.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <functional>

using namespace bvtest;

namespace {

constexpr int kRate = FakeOutput::kRate;
constexpr int16_t kBase = 2000; // even codes: a half volume halves them exactly
constexpr int kSpan = 10000;    // frames per step of the right channel's code: sums stay in range
constexpr int16_t kUnder = 1001; // the constant file's value: odd, so no sum with it decodes without it

// Frame f of an index-coded file says which frame it is: (2 (f % kSpan), 2 (f / kSpan)) + kBase.
// Silence is (0, 0), which no frame is.
void writeIndexWav(const QString &path, double seconds, bool constant = false)
{
    const auto frames = static_cast<uint32_t>(seconds * kRate);
    QByteArray data;
    for (uint32_t f = 0; f < frames; ++f) {
        const int16_t left = constant ? kUnder : int16_t(2 * (f % kSpan) + kBase);
        const int16_t right = constant ? kUnder : int16_t(2 * (f / kSpan) + kBase);
        data.append(reinterpret_cast<const char *>(&left), 2).append(reinterpret_cast<const char *>(&right), 2);
    }
    const auto u32 = [](uint32_t v) { return QByteArray(reinterpret_cast<const char *>(&v), 4); };
    const auto u16 = [](uint16_t v) { return QByteArray(reinterpret_cast<const char *>(&v), 2); };
    const QByteArray header = "RIFF" + u32(36 + uint32_t(data.size())) + "WAVEfmt " + u32(16) + u16(1) + u16(2)
                              + u32(kRate) + u32(kRate * 4) + u16(4) + u16(16) + "data" + u32(uint32_t(data.size()));
    QVERIFY(writeFile(path, header + data));
}

// A stretch of heard frames: consecutive source frames at one gain over one constant (a
// second channel), or silence (first == -1). The leading silence of a start is left out.
struct Run {
    int64_t first;
    int64_t length;
    double gain;
    int16_t under;
};

int64_t decode(int16_t left, int16_t right, double gain, int16_t under)
{
    const double l = (left - under) / gain - kBase, r = (right - under) / gain - kBase;
    if (l < 0 || r < 0 || std::fmod(l, 2.0) != 0 || std::fmod(r, 2.0) != 0 || l >= 2 * kSpan)
        return -2;
    return int64_t(r / 2) * kSpan + int64_t(l / 2);
}

std::vector<Run> runs(const std::vector<int16_t> &heard, int16_t under = 0)
{
    std::vector<Run> result;
    for (size_t i = 0; i + 1 < heard.size(); i += 2) {
        const int16_t l = heard[i], r = heard[i + 1];
        if (l == 0 && r == 0) {
            if (!result.empty() && result.back().first < 0)
                ++result.back().length;
            else if (!result.empty())
                result.push_back({-1, 1, 0.0, 0});
            continue;
        }
        if (!result.empty() && result.back().first >= 0) {
            Run &last = result.back();
            if (decode(l, r, last.gain, last.under) == last.first + last.length) {
                ++last.length;
                continue;
            }
        }
        // A new run: the reading whose next frame follows on (one frame alone may decode by chance).
        Run next{-2, 1, 1.0, 0};
        for (const auto &[gain, offset] : {std::pair{1.0, int16_t(0)}, {0.5, int16_t(0)}, {1.0, under}, {0.5, under}}) {
            const int64_t index = decode(l, r, gain, offset);
            if (index >= 0 && (i + 3 >= heard.size() || decode(heard[i + 2], heard[i + 3], gain, offset) == index + 1)) {
                next = {index, 1, gain, offset};
                break;
            }
        }
        result.push_back(next);
    }
    return result;
}

QString describe(const std::vector<Run> &all)
{
    QStringList parts;
    for (const Run &r : all)
        parts << QString("%1+%2@%3/%4").arg(r.first).arg(r.length).arg(r.gain).arg(r.under);
    return parts.join(' ');
}

int64_t frames(double seconds)
{
    return std::llround(seconds * kRate);
}

} // namespace

class TestEngineMix : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    FakeOutput *m_output = nullptr;
    QByteArray file(const QString &name) const { return m_dir.filePath(name).toUtf8(); }
    HSTREAM open(const char *name) { return BASS_StreamCreateFile(FALSE, file(name).constData(), 0, 0, 0); }

private slots:
    void initTestCase()
    {
        writeIndexWav(m_dir.filePath("index.wav"), 4.0);
        writeIndexWav(m_dir.filePath("constant.wav"), 4.0, true);
    }

    void init() { QVERIFY((m_output = FakeOutput::openEngine())); }
    void cleanup() { QVERIFY(BASS_Free()); }

    // A start, seeks, pause and play, a volume change and a restart, however much the output queued:
    // each heard at once from its exact frame, with no frame lost; the pause holds the position.
    void seeksPauseVolumeAndRestartLoseNothing()
    {
        const HSTREAM stream = open("index.wav");
        QCOMPARE(failure(BASS_ChannelPause(stream)), BASS_ERROR_NOPLAY);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        m_output->play(300);
        const std::vector<double> targets{1.0, 0.2, 2.5};
        for (double target : targets) {
            QVERIFY(BASS_ChannelSetPosition(stream, BASS_ChannelSeconds2Bytes(stream, target), BASS_POS_BYTE));
            QCOMPARE(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), BASS_ChannelSeconds2Bytes(stream, target));
            m_output->play(250);
        }
        QVERIFY(BASS_ChannelPause(stream));
        const QWORD paused = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
        m_output->play(200);
        QCOMPARE(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), paused);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        m_output->play(300);
        QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, 0.5f));
        m_output->play(300);
        QVERIFY(BASS_ChannelPlay(stream, TRUE));
        m_output->play(100);
        const std::vector<Run> heard = runs(m_output->heard());
        const QByteArray text = describe(heard).toUtf8();
        const auto near = [](int64_t n, double s) { return std::abs(n - frames(s)) < frames(0.03); };
        QVERIFY2(heard.size() == 8 && heard[0].first == 0 && near(heard[0].length, 0.3), text);
        for (size_t i = 0; i < targets.size(); ++i)
            QVERIFY2(heard[i + 1].first == frames(targets[i]) && near(heard[i + 1].length, 0.25), text);
        QVERIFY2(heard[4].first == -1 && heard[5].first == heard[3].first + heard[3].length
                     && near(heard[5].length, 0.3) && heard[6].gain == 0.5
                     && heard[6].first == heard[5].first + heard[5].length && heard[7].first == 0,
                 text);
    }

    // An MP3 stream whose frames turn from mono to stereo keeps the channel count it opened
    // with: the stereo part is mixed down, not read as twice as many mono samples.
    void mpegChannelChangeKeepsTheFormat()
    {
        const QStringList plain{"-c:a", "libmp3lame", "-b:a", "64k", "-write_xing", "0", "-id3v2_version", "0"};
        QVERIFY(makeTone(m_dir.filePath("mono.mp3"), 440, 1.0, plain, 44100, 1));
        QVERIFY(makeTone(m_dir.filePath("stereo.mp3"), 440, 1.0, plain, 44100, 2));
        QVERIFY(writeFile(m_dir.filePath("joined.mp3"),
                          readFile(m_dir.filePath("mono.mp3")) + readFile(m_dir.filePath("stereo.mp3"))));
        const HSTREAM stream = open("joined.mp3");
        BASS_CHANNELINFO info{};
        QVERIFY(BASS_ChannelGetInfo(stream, &info));
        QCOMPARE(info.chans, 1u);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        m_output->play(2300);
        QTRY_COMPARE(BASS_ChannelIsActive(stream), DWORD(BASS_ACTIVE_STOPPED)); // once heard, in real time
        const double played = double(trimSilence(firstChannel(m_output->heard(), 2), 1).size()) / kRate;
        QVERIFY2(qAbs(played - 2.0) < 0.1, qPrintable(QString::number(played)));
    }

    // A slide moves the volume a step every frame from the call on, and arrives in its time (at
    // 700.7, rounded to nearest); a gain past full scale saturates instead of wrapping.
    void volumeSlidesAndSaturates()
    {
        const HSTREAM stream = open("constant.wav");
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        m_output->play(200);
        const size_t before = m_output->heard().size() / 2;
        QVERIFY(BASS_ChannelSlideAttribute(stream, BASS_ATTRIB_VOL, 0.7f, 300));
        m_output->play(400);
        QCOMPARE(failure(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, -1.0f)), BASS_ERROR_ILLPARAM);
        QCOMPARE(failure(BASS_ChannelSlideAttribute(stream, BASS_ATTRIB_VOL, INFINITY, 10)), BASS_ERROR_ILLPARAM);
        QVERIFY(BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, 40.0f));
        m_output->play(100);
        const Pcm left = firstChannel(m_output->heard(), 2);
        const auto firstSound = std::find(left.begin(), left.end(), kUnder);
        QVERIFY(firstSound != left.end());
        const auto slideStart = std::find_if(firstSound, left.end(), [](int16_t v) { return v != kUnder; });
        const auto slideEnd = std::find(slideStart, left.end(), int16_t(std::lround(0.7 * kUnder)));
        QVERIFY(slideEnd != left.end());
        QVERIFY2(std::abs(slideStart - left.begin() - int64_t(before)) < frames(0.02),
                 qPrintable(QString::number(slideStart - left.begin() - int64_t(before))));
        QVERIFY2(std::abs(slideEnd - slideStart - frames(0.3)) < frames(0.01), qPrintable(QString::number(slideEnd - slideStart)));
        QVERIFY(std::is_sorted(slideStart, slideEnd, std::greater<int16_t>()));
        QVERIFY(std::adjacent_find(slideStart, slideEnd, [](int16_t a, int16_t b) { return a - b > 2; }) == slideEnd);
        QCOMPARE(*(slideEnd + frames(0.05)), *slideEnd);
        QCOMPARE(left.back(), int16_t(32767));
    }

    // New audio of a channel the output holds back for (just started) wakes the output at once;
    // audio for a channel that plays on does not.
    void startingChannelWakesTheOutput()
    {
        const HSTREAM stream = BASS_StreamCreate(FakeOutput::kRate, 2, 0, STREAMPROC_PUSH, nullptr);
        QVERIFY(stream && BASS_ChannelPlay(stream, FALSE));
        const std::vector<int16_t> pcm(2 * frames(0.1), kUnder);
        const auto bytes = static_cast<DWORD>(pcm.size() * sizeof(int16_t));
        QVERIFY(BASS_StreamPutData(stream, pcm.data(), bytes) != DWORD(-1));
        QCOMPARE(m_output->wakes(), 1);
        m_output->play(50);
        QVERIFY(BASS_StreamPutData(stream, pcm.data(), bytes) != DWORD(-1));
        QCOMPARE(m_output->wakes(), 1);
    }

    // A second channel joins at once and from its first frame; the first plays on untouched.
    void secondChannelJoins()
    {
        const HSTREAM first = open("index.wav");
        const HSTREAM second = open("constant.wav");
        QVERIFY(BASS_ChannelPlay(first, FALSE));
        m_output->play(300);
        QVERIFY(BASS_ChannelPlay(second, FALSE));
        m_output->play(300);
        QVERIFY(BASS_ChannelStop(second));
        m_output->play(100);
        const std::vector<Run> heard = runs(m_output->heard(), kUnder);
        QVERIFY2(heard.size() == 3 && heard[1].under == kUnder && heard[1].first == heard[0].length
                     && heard[2].under == 0 && heard[2].first == heard[1].first + heard[1].length
                     && std::abs(heard[1].length - frames(0.3)) < frames(0.03),
                 qPrintable(describe(heard)));
    }

    // A channel played from another's mix-time end sync follows its last frame with its first (ad
    // spots back to back), even when a volume set on it while that end is queued rewrites the queue.
    void followsAtTheEnd()
    {
        writeIndexWav(m_dir.filePath("short.wav"), 0.3);
        const HSTREAM first = open("short.wav");
        const HSTREAM second = open("index.wav");
        static HSTREAM follower;
        follower = second;
        QVERIFY(BASS_ChannelSetSync(first, BASS_SYNC_END | BASS_SYNC_MIXTIME, 0,
                                    [](HSYNC, DWORD, DWORD, void *) { BASS_ChannelPlay(follower, FALSE); }, nullptr));
        QVERIFY(BASS_ChannelPlay(first, FALSE));
        m_output->play(100); // the whole first channel is mixed
        QTRY_COMPARE(BASS_ChannelIsActive(second), DWORD(BASS_ACTIVE_PLAYING));
        QVERIFY(BASS_ChannelSetAttribute(second, BASS_ATTRIB_VOL, 0.5f));
        m_output->play(500);
        const std::vector<Run> heard = runs(m_output->heard());
        QVERIFY2(heard.size() == 2 && heard[0].first == 0 && heard[0].length == frames(0.3) && heard[0].gain == 1.0
                     && heard[1].first == 0 && heard[1].gain == 0.5 && heard[1].length == frames(0.3),
                 qPrintable(describe(heard)));
    }

    // A stream at another rate that starts while its first audio is still being decoded is
    // written only as far as the resampler can deliver: no hole follows its first write.
    void resampledStartLeavesNoHole()
    {
        QVERIFY(makeTone(m_dir.filePath("48k.wav"), 440, 1.0, {}, 48000));
        UserFileSource source{readFile(m_dir.filePath("48k.wav")), 44 + 38400, 300};
        const HSTREAM stream = source.open();
        QVERIFY(stream);
        QTRY_VERIFY(source.paused);
        QVERIFY(BASS_ChannelPlay(stream, FALSE));
        QVERIFY(!source.resumed); // it starts while its decoding pauses
        m_output->play(1200);
        const Pcm heard = firstChannel(m_output->heard(), 2);
        const std::string gaps = silentGaps(heard, kRate);
        QVERIFY2(gaps.empty(), gaps.c_str());
        QVERIFY(trimSilence(heard).size() > size_t(frames(0.9)));
    }

    // Whatever the rates and the pieces it is fed in, the resampler never holds back more than
    // a channel leaves out of what it counts as ready.
    void resamplerHoldsBackNoMoreThanCounted_data()
    {
        QTest::addColumn<int>("inRate");
        QTest::addColumn<int>("outRate");
        for (const int in : {8000, 22050, 48000, 96000})
            QTest::addRow("%d to 44100", in) << in << 44100;
        QTest::newRow("8000 to 96000") << 8000 << 96000;
        QTest::newRow("48000 to 8000") << 48000 << 8000;
    }

    void resamplerHoldsBackNoMoreThanCounted()
    {
        QFETCH(int, inRate);
        QFETCH(int, outRate);
        bvaudio::Resampler resampler;
        QVERIFY(resampler.configure(2, inRate, outRate));
        const std::vector<int16_t> input(2 * 3000, 1000);
        bvaudio::MixQueue out;
        int64_t fed = 0;
        for (int i = 0; i < 300; ++i) {
            const int pieceFrames = 1 + i * 7919 % 3000;
            QVERIFY(resampler.convert(input.data(), pieceFrames, out));
            fed += pieceFrames;
            const int64_t heldBack = fed * outRate / inRate - int64_t(out.pending());
            const int64_t counted = bvaudio::Resampler::heldBackFrames(inRate, outRate);
            QVERIFY2(heldBack <= counted, qPrintable(QString("%1 > %2").arg(heldBack).arg(counted)));
        }
    }

    // The level weighs each period by how much of it the window holds, heard up to now; a
    // period taken back counts no more.
    void levelOfWhatIsHeard()
    {
        using namespace std::chrono_literals;
        const std::vector<float> tone(2 * 441, 0.5f); // RMS 0.5
        const double toneSquares = bvaudio::LevelMeter::monoSquares(tone.data(), 441);
        bvaudio::LevelMeter meter;
        const auto now = std::chrono::steady_clock::now();
        meter.add({kRate, now - 20ms, 0, 0}, 441, 0.0);            // silence
        meter.add({kRate, now - 10ms, 441, 0}, 441, toneSquares);
        meter.add({kRate, now, 882, 0}, 441, toneSquares);         // not heard yet
        QCOMPARE(meter.level(0.01f, now), 0.5f);
        QVERIFY(qAbs(meter.level(0.015f, now) - 0.5f * std::sqrt(2.0f / 3.0f)) < 1e-4f);
        QVERIFY(qAbs(meter.level(0.02f, now) - 0.5f * std::sqrt(0.5f)) < 1e-4f);
        meter.takeBackFrom(441);
        QCOMPARE(meter.level(0.02f, now), 0.0f);
    }
};

QTEST_GUILESS_MAIN(TestEngineMix)
#include "tst_enginemix.moc"
