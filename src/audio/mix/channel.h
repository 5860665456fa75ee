// A playable channel: a queue of decoded 16-bit PCM filled by a producer
// (decode thread or push writes) and drained by the device's mixer through a
// resampler, with its transport state, volume, level meter and syncs.
#pragma once

#include "bass.h"
#include "mix/channel_handle.h"
#include "mix/level_meter.h"
#include "mix/mix_history.h"
#include "mix/mix_queue.h"
#include "mix/resampler.h"
#include "mix/sample_fifo.h"
#include "mix/sync_list.h"
#include "device/write_plan.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace bvaudio {

class Channel : public ChannelHandle {
public:
    Channel(DWORD handle, ChannelFormat format);
    ~Channel() override;

    // Transport; results are BASS error codes.
    int play(bool restart);
    int pause();
    void stop() override;
    DWORD activity() const override;

    // Bytes of decoded data heard so far: what was mixed, less what the output still holds.
    QWORD position() const;
    virtual int64_t lengthBytes() const { return -1; }
    virtual int setPosition(QWORD bytes);
    // A BASS_FILEPOS_* value, or -1 with `error` set.
    virtual int64_t filePosition(DWORD mode, int &error) const;
    // A tag text, or nullptr when there is none.
    virtual const char *tags(DWORD type) const;

    virtual int setAttribute(DWORD attrib, float value);
    int getAttribute(DWORD attrib, float &value) const;
    int slideAttribute(DWORD attrib, float value, DWORD timeMs);
    // RMS (0..1) of every sample played in the last `seconds`, before the volume.
    float level(float seconds) const;

    enum class MixOutcome {
        Idle,    // not playing: nothing was mixed
        Playing, // mixed, or stalled and waiting for data
        Ended,   // its last sample was mixed (again only after a take-back of it)
    };
    // Mixer thread: adds up to `frames` stereo frames at the device rate into `mix`. Syncs the
    // period triggers run when it is heard.
    MixOutcome mixInto(float *mix, int frames, const MixTime &time);
    // Mixer thread: takes back what was mixed from output frame `frame` on, which the output
    // is about to mix again: the audio goes back to be mixed anew, the volume slide and the
    // end to where they were (unless changed since). The position and end syncs posted for
    // it are dropped, to be posted again as it is mixed again.
    void rewindTo(int64_t frame);
    // Output thread: what the channel can fill at `deviceRate` from output frame `from` on (what
    // it mixed from there counts: a rewind gives it back); no limit when it is not playing or
    // its source ended. A stalled channel counts once it refilled to where it resumes.
    Readiness readiness(int deviceRate, int64_t from);
    // Output thread: the device is gone; the channel pauses and DEV_FAIL syncs fire.
    void deviceFailed();

    void shutdown() override;

protected:
    // The queue reached this many samples after running dry: playback resumes.
    virtual size_t resumeSamples() const { return 1; }
    // Enough audio is queued for a channel that just started to play on its own (m_mutex held).
    virtual bool isPrimed() const { return m_sourceEnded || m_fifo.size() >= resumeSamples() * format().chans; }
    // Under the lock, after audio was queued (`queuedBefore` samples were, `wasPrimed` the
    // channel was): whether an output holding back for this channel can now write more than
    // its next poll would find anyway: a landed seek, a start's first write, its full buffer.
    bool audioLetsOutputOn(size_t queuedBefore, bool wasPrimed) const;
    // Called with m_mutex held whenever the mixer took samples from the queue.
    virtual void onSamplesConsumed() {}
    // Drops queued and resampled audio and moves the position (m_mutex held).
    void resetPlayback(QWORD position);
    // A seek to `target` whose audio is being decoded (m_mutex held): a playing channel plays
    // on where it was until landSeek(), so that no silence comes between old and new.
    void startSeek(QWORD target);
    // The audio decoded from `target` replaces what was queued, and what the output queued is
    // rewritten with it (m_mutex held).
    void landSeek(QWORD target, const std::vector<int16_t> &samples);
    bool isRunning() const { return m_state == State::Playing || m_state == State::Stalled; }

    SampleFifo m_fifo;
    bool m_sourceEnded = false;

private:
    using Clock = MixTime::Clock;
    // A channel that just started gets this long at most to have its first audio ready.
    static constexpr std::chrono::milliseconds kPrimeLimit{500};

    enum class State {
        Stopped,
        Playing,
        Stalled, // playing, waiting for the queue to fill again
        Paused,
        Ended,   // its last sample was mixed; a new position makes it playable again
    };

    QWORD heardPosition() const;
    // Its end was mixed and announced: also when paused too late for the output to take the
    // end back (m_mutex held).
    bool reachedEnd() const { return m_state == State::Ended || (m_state == State::Paused && m_endAnnounced); }
    // Its end was mixed and the audio before it is still being heard: it plays on to the
    // host, who may pause, stop or seek it there (m_mutex held).
    bool endNotHeard() const { return m_state == State::Ended && m_history.unheardAt(Clock::now()); }
    // Queues the position syncs inside the source frames mixed since `from` (m_mutex held).
    void collectMixedPositions(double from, std::vector<SyncList::Event> &events);
    // Pulls source samples through the resampler until `frames` output frames are ready.
    // Stall syncs go to `resumed` and `ranDry`.
    void fillResampled(int frames, std::vector<SyncList::Event> &resumed, std::vector<SyncList::Event> &ranDry);
    void recordPeriod(const MixTime &time, int frames);
    void startPendingSlide(int deviceRate);
    void applyVolume(float *mix, const float *source, int frames);

    State m_state = State::Stopped;
    bool m_deviceLost = false; // the output failed: the channel can not play any more
    QWORD m_consumed = 0;       // source bytes taken from the queue so far
    double m_mixedFrames = 0.0; // source frame the next mixed frame comes from
    MixHistory m_history;
    std::optional<QWORD> m_stoppedAt; // the position heard when paused or stopped
    std::optional<QWORD> m_seekTarget; // a seek whose audio is not decoded yet
    bool m_rewriteWanted = false;      // the audio changed under what the output queued
    bool m_priming = false;            // started, and its first audio not ready yet
    Clock::time_point m_primeUntil;
    int64_t m_joinFrame = 0;    // output frame its audio may begin at, since its last start
    int64_t m_endFrame = -1;    // output frame of the period whose END syncs were posted
    bool m_endAnnounced = false; // END syncs are posted for the end mixed last
    bool m_endMixTimeRan = false; // mixing the end again does not repeat the mix-time END syncs,
    QWORD m_mixTimeFrom = 0;      // nor the mix-time position syncs before this position

    float m_volume = 1.0f;
    float m_volumeTarget = 1.0f;
    float m_volumeStep = 0.0f;    // per output frame, while sliding
    DWORD m_slidePendingMs = 0;   // a slide set but not yet converted to steps
    unsigned m_volumeSerial = 0;  // counts volume changes by the host
    float m_freq = 0.0f;          // 0 = source rate

    Resampler m_resampler;
    bool m_resamplerDrained = false;
    MixQueue m_resampled; // mixed frames stay until heard
    std::vector<int16_t> m_scratch;

    LevelMeter m_levelMeter;
};

// Channels are shared: the engine's table, the mixer and a decode thread may each hold one.
using ChannelPtr = std::shared_ptr<Channel>;

} // namespace bvaudio
