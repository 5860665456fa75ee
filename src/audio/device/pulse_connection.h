// A PulseAudio client connection driven by its own (non-threaded) main loop.
// One thread at a time may use it.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bvaudio {

class PulseConnection {
public:
    // Connects without autospawning a server; nullptr when none answers in `timeoutMs`.
    static std::unique_ptr<PulseConnection> connect(const char *clientName, int timeoutMs);
    ~PulseConnection();

    pa_mainloop *loop() const { return m_loop; }
    pa_context *context() const { return m_context; }
    bool isReady() const { return pa_context_get_state(m_context) == PA_CONTEXT_READY; }

    // Iterates the loop until `done` holds, the connection fails or `timeoutMs` passes.
    bool runUntil(const std::function<bool()> &done, int timeoutMs);

    // Sink or source names in the server's index order.
    std::vector<std::string> sinkNames();
    std::vector<std::string> sourceNames();

    struct NameList;

private:
    PulseConnection() = default;
    template <typename List>
    std::vector<std::string> names(List list);

    pa_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
};

} // namespace bvaudio
