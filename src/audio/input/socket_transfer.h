// Plain http:// over the engine's own non-blocking sockets: resolving on a helper thread
// that a shut-down need not wait for, connecting with a deadline, one GET per connection,
// redirects (handed to libcurl when one leads to https), and the response read in large
// batches. Credentials never follow a redirect to another origin.
#pragma once

#include "input/http_transfer.h"
#include "input/http_url.h"

#include <mutex>
#include <vector>

namespace bvaudio {

class SocketTransfer : public HttpTransfer {
public:
    // A single header line longer than this ends the request.
    static constexpr size_t kMaxHeaderLine = 64 * 1024;

    SocketTransfer();
    ~SocketTransfer() override;
    int run(const TransferRequest &request, TransferListener &listener) override;
    void wake() override;

private:
    enum class Wait { Ready, Stopped, TimedOut };
    struct Exchange; // one request and its response on one connection

    int runTls(const TransferRequest &request, TransferListener &listener);
    int connectTo(const HttpUrl &url, int64_t timeoutMs, TransferListener &listener, int &fd);
    int exchange(int fd, const std::string &requestText, TransferListener &listener, std::string &location);
    // Waits until `fd` is ready for `events`, the transfer is woken and the listener says
    // stop, or `timeoutMs` passes.
    Wait waitFor(int fd, short events, int timeoutMs, TransferListener &listener);
    std::string requestText(const HttpUrl &url, const TransferRequest &request, bool sameOrigin,
                            const std::string &authorization) const;

    const int m_wakeFd; // an eventfd that wake() signals
    std::vector<char> m_buffer;
    std::mutex m_mutex;
    std::unique_ptr<HttpTransfer> m_tls; // the libcurl transfer a redirect to https handed over to
    bool m_woken = false;
};

} // namespace bvaudio
