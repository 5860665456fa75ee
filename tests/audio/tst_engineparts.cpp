// The engine's small parts on their own: the level meter's window, the sync
// list's position ranges, the resampler's rates, delay line and channel fold-down, the
// output's write plan.
#include "mix/level_meter.h"
#include "mix/mix_queue.h"
#include "mix/push_channel.h"
#include "mix/resampler.h"
#include "mix/sync_dispatcher.h"
#include "mix/sync_list.h"
#include "device/write_plan.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

using namespace bvaudio;

namespace {

void noSync(HSYNC, DWORD, DWORD, void *) {}

std::vector<HSYNC> ids(const std::vector<SyncList::Event> &events)
{
    std::vector<HSYNC> out;
    for (const auto &e : events)
        out.push_back(e.id);
    return out;
}

} // namespace

class TestEngineParts : public QObject {
    Q_OBJECT

private slots:
    // In 10 ms periods (441 frames at 44.1 kHz); ready -1 sets no limit.
    void writePlan_data()
    {
        QTest::addColumn<int>("queued");
        QTest::addColumn<int>("room");
        QTest::addColumn<int>("span");
        QTest::addColumn<int>("ready");
        QTest::addColumn<bool>("holding");
        QTest::addColumn<bool>("rewrite");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("lookAgainMs");
        QTest::addColumn<bool>("waiting");
        QTest::addColumn<bool>("short_");
        QTest::newRow("nothing limits: fill the room") << 25 << 20 << 0 << -1 << false << false << 20 << -1 << false << false;
        QTest::newRow("steady, enough ready") << 25 << 20 << 0 << 30 << false << false << 20 << -1 << false << false;
        QTest::newRow("steady, short: what it has, look again halfway") << 25 << 20 << 0 << 5 << false << false << 5 << 130 << false << true;
        QTest::newRow("steady, starved on a short queue: stalls") << 3 << 40 << 0 << 0 << false << false << 5 << 20 << false << true;
        QTest::newRow("holding on a short queue: never past it") << 3 << 40 << 0 << 2 << true << false << 2 << 10 << true << true;
        QTest::newRow("start on an empty queue waits for more") << 0 << 45 << 0 << 7 << true << false << 0 << 10 << true << true;
        QTest::newRow("start on an empty queue with enough") << 0 << 45 << 0 << 8 << true << false << 8 << 10 << true << true;
        QTest::newRow("holding, all it needs") << 10 << 20 << 0 << 50 << true << false << 20 << -1 << false << false;
        QTest::newRow("rewrite, channels fill it and more") << 40 << 5 << 38 << 60 << false << true << 43 << -1 << false << false;
        QTest::newRow("rewrite waits for the channels") << 40 << 5 << 38 << 20 << true << false << 0 << 10 << true << true;
        QTest::newRow("rewrite on a short queue goes ahead") << 4 << 40 << 3 << 0 << true << true << 3 << 10 << true << true;
        QTest::newRow("rewrite, no limit") << 40 << 5 << 38 << -1 << false << true << 43 << -1 << false << false;
    }

    void writePlan()
    {
        QFETCH(int, queued);
        QFETCH(int, room);
        QFETCH(int, span);
        QFETCH(int, ready);
        QFETCH(bool, holding);
        const int64_t period = 441;
        WriteState state;
        state.queued = queued * period;
        state.room = room * period;
        state.rewriteSpan = span * period;
        state.ready = {ready < 0 ? -1 : ready * period + period / 2, holding, false}; // half a period more: rounds down
        const WritePlan plan = planWrite(state);
        QTEST(plan.rewrite, "rewrite");
        QFETCH(int, frames);
        QCOMPARE(plan.frames, frames * period);
        QTEST(plan.lookAgainMs, "lookAgainMs");
        QTEST(plan.waiting, "waiting");
        QTEST(plan.short_, "short_");
    }
    // The level is the RMS of the channels' mean over the window asked for, at most a second.
    void levelMeterWindow()
    {
        LevelMeter meter(1000, 2);
        QCOMPARE(meter.level(0.5f), 0.0f);
        std::vector<int16_t> loud(2 * 1000, 16384); // both channels at half scale
        meter.record(loud.data(), 1000);
        std::vector<int16_t> opposite{16384, -16384}; // cancels out in the mean
        for (int i = 0; i < 100; ++i)
            meter.record(opposite.data(), 1);
        QCOMPARE(meter.level(0.1f), 0.0f);                        // only the last 100 frames
        QVERIFY(std::abs(meter.level(0.2f) - std::sqrt(0.5f) * 0.5f) < 1e-4f); // half silent, half at 0.5
        QVERIFY(std::abs(meter.level(5.0f) - meter.level(1.0f)) < 1e-6f);      // clamped to the history
        QVERIFY(meter.level(0.0f) >= 0.0f);                        // at least one frame, no division by zero

        // One block longer than the history, ending in silence: only its last second counts.
        std::vector<int16_t> block(2 * 1500, 16384);
        std::fill(block.end() - 2 * 300, block.end(), int16_t(0));
        meter.record(block.data(), 1500);
        QCOMPARE(meter.level(0.3f), 0.0f);
        QVERIFY(std::abs(meter.level(1.0f) - std::sqrt(0.7f) * 0.5f) < 1e-4f);
        LevelMeter mono(1000, 1);
        std::vector<int16_t> quiet(10, -8192);
        mono.record(quiet.data(), quiet.size());
        QVERIFY(std::abs(mono.level(0.01f) - 0.25f) < 1e-4f);
    }

    // Position syncs fire for positions inside [from, to); removed syncs are gone; ids are unique.
    void syncListRanges()
    {
        SyncList list;
        const HSYNC atZero = list.add(BASS_SYNC_POS, 0, noSync, nullptr);
        const HSYNC at100 = list.add(BASS_SYNC_POS, 100, noSync, nullptr);
        const HSYNC end = list.add(BASS_SYNC_END, 0, noSync, nullptr);
        QVERIFY(atZero != at100 && at100 != end);
        std::vector<SyncList::Event> events;
        list.collectPositions(0, 100, events);
        QCOMPARE(ids(events), std::vector<HSYNC>{atZero});
        events.clear();
        list.collectPositions(100, 101, events);
        QCOMPARE(ids(events), std::vector<HSYNC>{at100});
        events.clear();
        list.collect(BASS_SYNC_END, 7, events);
        QCOMPARE(ids(events), std::vector<HSYNC>{end});
        QCOMPARE(events.front().data, 7u);
        QVERIFY(list.remove(at100));
        QVERIFY(!list.remove(at100));
        QVERIFY(!list.contains(at100) && list.contains(atZero));
    }

    // Tasks run in order per channel, each not before its due time; a task due now does not
    // wait behind another channel's task that is due later, and a mix-time task not behind its
    // own channel's tasks that wait to be heard.
    void syncDispatcherOrder()
    {
        using namespace std::chrono;
        std::mutex mutex;
        std::vector<int> order;
        const auto record = [&](int id) {
            return [&, id] {
                std::lock_guard lock(mutex);
                order.push_back(id);
            };
        };
        const DWORD early = 0xFFFF0001, late = 0xFFFF0002;
        SyncDispatcher &dispatcher = SyncDispatcher::instance();
        const auto start = steady_clock::now();
        dispatcher.post(late, record(1), start + milliseconds(300));
        dispatcher.post(late, record(2)); // due now, but after its channel's first
        dispatcher.post(early, record(3));
        dispatcher.post(late, record(4), {}, true);
        QTRY_VERIFY_WITH_TIMEOUT([&] { std::lock_guard lock(mutex); return order.size() == 4; }(), 2000);
        QCOMPARE(order, std::vector<int>({3, 4, 1, 2}));
        QVERIFY(steady_clock::now() - start >= milliseconds(300));
    }

    // 16-bit mono at 22050 Hz becomes float stereo at 44100 Hz: twice the frames once the
    // delay line is drained, mono at full level on both sides, the set-up kept while nothing changes.
    void resamplerRates()
    {
        Resampler r;
        QVERIFY(r.configure(1, 22050, 44100));
        std::vector<int16_t> in(22050, 8192);
        std::vector<float> out;
        QVERIFY(r.convert(in.data(), 22050, out));
        QVERIFY(!out.empty());
        QVERIFY(r.configure(1, 22050, 44100)); // unchanged: delay line kept
        QVERIFY(r.convert(nullptr, 0, out));
        const int frames = int(out.size() / 2);
        QVERIFY2(std::abs(frames - 44100) <= 2, qPrintable(QString::number(frames)));
        QVERIFY(std::abs(out[2 * 22050] - 0.25f) < 1e-3f && std::abs(out[2 * 22050 + 1] - 0.25f) < 1e-3f);
        r.reset();
        QVERIFY(!r.isConfigured());
        QVERIFY(!r.configure(0, 22050, 44100)); // no channels
    }

    // Same rate: a straight conversion, stereo kept apart and 5.1 folded down with the
    // LFE left out and every output within full scale.
    void resamplerChannels()
    {
        Resampler r;
        QVERIFY(r.configure(2, 48000, 48000));
        const int16_t stereo[] = {16384, -16384, 32767, 0};
        std::vector<float> out;
        QVERIFY(r.convert(stereo, 2, out));
        QCOMPARE(out, std::vector<float>({0.5f, -0.5f, 32767 / 32768.0f, 0.0f}));
        QVERIFY(r.configure(6, 48000, 48000));
        const int16_t lfeOnly[] = {0, 0, 0, 32767, 0, 0};
        const int16_t full[] = {32767, 32767, 32767, 32767, 32767, 32767};
        const int16_t leftOnly[] = {32767, 0, 0, 0, 32767, 0};
        out.clear();
        QVERIFY(r.convert(lfeOnly, 1, out) && r.convert(full, 1, out) && r.convert(leftOnly, 1, out));
        QCOMPARE(out[0], 0.0f);
        QCOMPARE(out[1], 0.0f);
        QVERIFY(out[2] <= 1.0f && out[2] > 0.99f && out[3] <= 1.0f && out[3] > 0.99f);
        QVERIFY(out[4] > 0.5f && out[5] == 0.0f);
    }

    // Frames come out in order across the ring's wrap and its growth; taken frames can be
    // taken again after a rewind until they are released, and pending ones are never released.
    void mixQueueKeepsWhatWasTaken()
    {
        MixQueue queue;
        std::vector<float> frames(2 * 6000);
        for (size_t i = 0; i < frames.size(); ++i)
            frames[i] = float(i);
        std::vector<float> out(2 * 3000);
        int64_t next = 0;
        for (int round = 0; round < 5; ++round) { // 600-frame rounds wrap a 1024-frame ring
            queue.push(frames.data() + 2 * next, 600);
            queue.take(out.data(), 600);
            QCOMPARE(out[0], float(2 * next));
            QCOMPARE(out[2 * 600 - 1], float(2 * (next + 600) - 1));
            queue.release(queue.readIndex() - 100); // keeps the last 100 taken
            next += 600;
        }
        queue.rewindTo(next - 100);
        QCOMPARE(queue.pending(), size_t(100));
        queue.push(frames.data() + 2 * next, 2000); // grows with 100 taken and 100 pending kept
        queue.rewindTo(0); // not before the oldest kept frame
        QCOMPARE(queue.readIndex(), next - 100);
        queue.take(out.data(), 2100);
        QCOMPARE(out[0], float(2 * (next - 100)));
        QCOMPARE(out[2 * 2100 - 1], float(2 * (next + 2000) - 1));
        queue.rewindTo(next);
        queue.release(next + 5000); // only up to the read point
        QCOMPARE(queue.pending(), size_t(2000));
        queue.clear();
        QCOMPARE(queue.pending(), size_t(0));
    }

    // What a channel mixed can be taken back and mixed again: the same audio comes out, a
    // volume set since applies from the rewound place on, the end is reached again without a
    // second END, and a pause stands where the output took the channel back.
    void channelRewind()
    {
        constexpr int kPeriod = 441;
        const auto shared = std::make_shared<PushChannel>(1, ChannelFormat{44100, 2, 0, BASS_CTYPE_STREAM, 0, 0, {}});
        PushChannel &channel = *shared; // syncs are delivered only for a shared channel
        std::vector<int16_t> pcm(kPeriod * 2 * 6);
        for (size_t i = 0; i < pcm.size(); ++i)
            pcm[i] = static_cast<int16_t>((i * 37) % 20000 - 10000);
        int error = 0;
        QVERIFY(channel.put(pcm.data(), DWORD(pcm.size() * 2) | BASS_STREAMPROC_END, error) != DWORD(-1));
        std::atomic<int> ends{0};
        channel.addSync(BASS_SYNC_END | BASS_SYNC_MIXTIME, 0, [](HSYNC, DWORD, DWORD, void *u) { ++*static_cast<std::atomic<int> *>(u); }, &ends);
        QCOMPARE(channel.play(false), BASS_OK);
        const auto heardLongAgo = MixTime::Clock::now() - std::chrono::seconds(10);
        const auto mixPeriod = [&](int index) {
            std::vector<float> mix(kPeriod * 2, 0.0f);
            // Long heard: positions stand at the end of the last period mixed.
            const MixTime time{44100, heardLongAgo + std::chrono::milliseconds(10 * index), int64_t(index) * kPeriod, 0};
            const Channel::MixOutcome outcome = channel.mixInto(mix.data(), kPeriod, time);
            return std::make_pair(outcome, mix);
        };
        std::vector<std::vector<float>> first;
        for (int i = 0; i < 6; ++i)
            first.push_back(mixPeriod(i).second);
        QCOMPARE(mixPeriod(6).first, Channel::MixOutcome::Ended);
        QTRY_COMPARE(ends.load(), 1);

        channel.rewindTo(2 * kPeriod);
        QCOMPARE(mixPeriod(2).second, first[2]);
        QCOMPARE(mixPeriod(3).second, first[3]);
        QCOMPARE(channel.setAttribute(BASS_ATTRIB_VOL, 0.5f), BASS_OK);
        channel.rewindTo(3 * kPeriod);
        const auto halved = [](std::vector<float> v) {
            for (float &x : v)
                x *= 0.5f;
            return v;
        };
        QCOMPARE(mixPeriod(3).second, halved(first[3]));
        for (int i = 4; i <= 6; ++i)
            QVERIFY(mixPeriod(i).first != Channel::MixOutcome::Ended); // ends again, not announced again
        QCOMPARE(channel.activity(), DWORD(BASS_ACTIVE_STOPPED));

        channel.rewindTo(4 * kPeriod);
        QCOMPARE(channel.pause(), BASS_OK);
        QCOMPARE(channel.play(false), BASS_OK);
        QCOMPARE(channel.position(), QWORD(4 * kPeriod * 4)); // resumes where it was taken back
        QCOMPARE(mixPeriod(4).second, halved(first[4]));
        QCOMPARE(ends.load(), 1);
        channel.shutdown();
    }
};

QTEST_GUILESS_MAIN(TestEngineParts)
#include "tst_engineparts.moc"
