// Recording over PulseAudio: the opened recording devices (sources) and a
// channel per running recording with its capture thread.
#pragma once

#include "device/capture.h"
#include "mix/channel_handle.h"

#include <atomic>

namespace bvaudio {

struct RecordSource {
    std::string name;
    DWORD channels = 2;
    DWORD rate = 44100;
};

class RecordDevices {
public:
    // Opens `device` (-1 the default source, 0..n-1 the sources in server order)
    // and makes it the calling thread's device. Returns a BASS error code.
    static int init(int device);
    // Makes an opened device the calling thread's device.
    static int select(int device);
    // The calling thread's device; false with `error` set when there is none.
    static bool current(RecordSource &source, int &error);
    // Closes the calling thread's device; its recordings are freed by the caller.
    static int free(int &device);
    static int currentIndex();
};

// A recording: a handle with its format and syncs, fed by its capture thread and never mixed.
class RecordChannel : public ChannelHandle {
public:
    RecordChannel(DWORD handle, const RecordSource &source, DWORD freq, DWORD chans, RECORDPROC *proc, void *user,
                  int device);
    ~RecordChannel() override;

    // Connects to the source and starts capturing; a BASS error code.
    int start();
    int device() const { return m_device; }
    // Ends the capture for good.
    void stop() override;
    DWORD activity() const override;
    void shutdown() override;

private:
    const RecordSource m_source;
    RECORDPROC *const m_proc;
    void *const m_user;
    const int m_device;
    std::unique_ptr<CaptureDriver> m_capture;
    std::atomic<bool> m_capturing{false};
};

} // namespace bvaudio
