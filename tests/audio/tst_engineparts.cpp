// The engine's small parts on their own: the sync list's position ranges, the sync
// dispatcher's order, the resampler's fold-down of 5.1, a channel's rewind.
#include "mix/push_channel.h"
#include "mix/resampler.h"
#include "mix/sync_dispatcher.h"
#include "mix/sync_list.h"

#include <QTest>

#include <atomic>
#include <chrono>
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

    // 5.1 is folded down to stereo with the LFE left out and every output within full scale.
    void resamplerFoldsDown()
    {
        Resampler r;
        QVERIFY(r.configure(6, 48000, 48000));
        const int16_t lfeOnly[] = {0, 0, 0, 32767, 0, 0};
        const int16_t full[] = {32767, 32767, 32767, 32767, 32767, 32767};
        const int16_t leftOnly[] = {32767, 0, 0, 0, 32767, 0};
        std::vector<float> out;
        QVERIFY(r.convert(lfeOnly, 1, out) && r.convert(full, 1, out) && r.convert(leftOnly, 1, out));
        QCOMPARE(out[0], 0.0f);
        QCOMPARE(out[1], 0.0f);
        QVERIFY(out[2] <= 1.0f && out[2] > 0.99f && out[3] <= 1.0f && out[3] > 0.99f);
        QVERIFY(out[4] > 0.5f && out[5] == 0.0f);
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
