#include "input/socket_transfer.h"

#include "bass.h"
#include "input/http_body.h"
#include "steady_ms.h"
#include "text_util.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

namespace bvaudio {
namespace {

constexpr size_t kReadBytes = 64 * 1024;

// A name lookup on a thread of its own: getaddrinfo cannot be interrupted, so a transfer
// that must stop leaves it behind, and whichever side finishes last frees the result.
struct Lookup {
    const int doneFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    addrinfo *result = nullptr;
    int status = EAI_FAIL;

    ~Lookup()
    {
        if (result)
            freeaddrinfo(result);
        close(doneFd);
    }
};

std::shared_ptr<Lookup> startLookup(const std::string &host, const std::string &port)
{
    auto lookup = std::make_shared<Lookup>();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &lookup->result) == 0) {
        lookup->status = 0; // an address: nothing to look up
        eventfd_write(lookup->doneFd, 1);
        return lookup;
    }
    std::thread([lookup, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        lookup->status = getaddrinfo(host.c_str(), port.c_str(), &hints, &lookup->result);
        eventfd_write(lookup->doneFd, 1);
    }).detach();
    return lookup;
}

bool isRedirect(long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool startsWithNoCase(const std::string &line, const char *prefix)
{
    return toLower(line.substr(0, std::strlen(prefix))) == prefix;
}

} // namespace

// The response to one request: status and header lines, then the body in its framing.
struct SocketTransfer::Exchange {
    Exchange(TransferListener &listener, std::string &location) : listener(listener), location(location) {}

    TransferListener &listener;
    std::string &location;
    std::string line;
    long status = 0;
    bool chunked = false;
    int64_t length = -1;
    std::unique_ptr<HttpBody> body;
    int error = BASS_OK;
    bool finished = false;

    // Takes received bytes; sets `finished` (with `error`) when the exchange is over.
    void take(const char *data, size_t size)
    {
        while (size > 0 && !body && !finished) {
            const char *end = static_cast<const char *>(std::memchr(data, '\n', size));
            const size_t n = end ? static_cast<size_t>(end - data) + 1 : size;
            if (line.size() + n > kMaxHeaderLine)
                return fail(BASS_ERROR_UNSTREAMABLE);
            line.append(data, n);
            data += n;
            size -= n;
            if (end)
                headerLine();
        }
        if (!body || finished || size == 0)
            return;
        bool stopped = false;
        body->feed(data, size, [&](const char *payload, size_t bytes) {
            stopped = listener.onBody(payload, bytes) != bytes;
            return !stopped;
        });
        if (stopped || body->broken())
            fail(BASS_ERROR_FILEOPEN);
        else if (body->complete())
            finished = true;
    }

    void closed()
    {
        finished = true;
        if (!body || !body->acceptsClose())
            error = BASS_ERROR_FILEOPEN; // no answer, or less of it than announced
    }

    void fail(int code)
    {
        error = code;
        finished = true;
    }

    void headerLine()
    {
        const std::string text = std::move(line);
        line.clear();
        if (status == 0) {
            // The status line: "HTTP/1.x CODE ..." or a SHOUTcast "ICY CODE ...".
            if (text.rfind("HTTP/", 0) != 0 && text.rfind("ICY ", 0) != 0)
                return fail(BASS_ERROR_FILEOPEN);
            const size_t space = text.find(' ');
            status = std::strtol(text.c_str() + space + 1, nullptr, 10);
            if (status <= 0)
                return fail(BASS_ERROR_FILEOPEN);
        }
        if (listener.onHeader(text.data(), text.size()) != text.size())
            return fail(BASS_ERROR_FILEOPEN);
        const std::string content = trimmed(text);
        if (!content.empty()) {
            const size_t colon = content.find(':');
            if (colon == std::string::npos)
                return;
            const std::string key = toLower(trimmed(content.substr(0, colon)));
            const std::string value = trimmed(content.substr(colon + 1));
            if (key == "content-length" && !value.empty() && value.size() < 19
                && value.find_first_not_of("0123456789") == std::string::npos)
                length = std::stoll(value);
            else if (key == "transfer-encoding")
                chunked = toLower(value).find("chunked") != std::string::npos;
            else if (key == "location")
                location = value;
            return;
        }
        if (status >= 100 && status < 200) { // an interim answer; the real one follows
            status = 0;
            location.clear();
            return;
        }
        if (isRedirect(status) && !location.empty())
            return fail(BASS_OK); // the caller follows it
        location.clear();
        using Framing = HttpBody::Framing;
        if (status == 204 || status == 304)
            body = std::make_unique<HttpBody>(Framing::Length, 0);
        else if (chunked)
            body = std::make_unique<HttpBody>(Framing::Chunked, 0);
        else if (length >= 0)
            body = std::make_unique<HttpBody>(Framing::Length, static_cast<uint64_t>(length));
        else
            body = std::make_unique<HttpBody>(Framing::UntilClose, 0);
        finished = body->complete();
    }
};

SocketTransfer::SocketTransfer() : m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_buffer(kReadBytes) {}

SocketTransfer::~SocketTransfer()
{
    close(m_wakeFd);
}

void SocketTransfer::wake()
{
    std::lock_guard lock(m_mutex);
    m_woken = true;
    eventfd_write(m_wakeFd, 1);
    if (m_tls)
        m_tls->wake();
}

int SocketTransfer::run(const TransferRequest &request, TransferListener &listener)
{
    HttpUrl first;
    if (!HttpUrl::parse(request.url, first))
        return BASS_ERROR_FILEOPEN;
    const std::string authorization = first.basicAuthorization();
    TransferRequest current = request;
    const int64_t connectDeadline = nowMs() + request.connectTimeoutMs;
    for (int redirects = 0; redirects <= kMaxRedirects; ++redirects) {
        HttpUrl url;
        if (!HttpUrl::parse(current.url, url))
            return BASS_ERROR_FILEOPEN;
        const bool sameOrigin = url.origin() == first.origin();
        if (url.scheme != "http") {
            if (!sameOrigin)
                current.headers = {}; // nothing of the first origin's travels on
            return runTls(current, listener);
        }
        int fd = -1;
        if (const int error = connectTo(url, std::max<int64_t>(1, connectDeadline - nowMs()), listener, fd))
            return error;
        std::string location;
        const int error = exchange(fd, requestText(url, request, sameOrigin, authorization), listener, location);
        close(fd);
        if (error != BASS_OK || location.empty())
            return error;
        current.url = resolveLocation(current.url, location);
    }
    return BASS_ERROR_FILEOPEN; // too many redirects
}

int SocketTransfer::runTls(const TransferRequest &request, TransferListener &listener)
{
    HttpTransfer *tls = nullptr;
    {
        std::lock_guard lock(m_mutex);
        m_tls = HttpTransfer::createCurl();
        tls = m_tls.get();
        if (tls && m_woken)
            tls->wake();
    }
    return tls ? tls->run(request, listener) : BASS_ERROR_SSL;
}

std::string SocketTransfer::requestText(const HttpUrl &url, const TransferRequest &request, bool sameOrigin,
                                        const std::string &authorization) const
{
    std::string text = "GET " + url.target + " HTTP/1.1\r\nHost: " + url.hostHeader() + "\r\n";
    bool hasAuthorization = false;
    std::string own;
    for (const std::string &header : request.headers) {
        const bool credential = startsWithNoCase(header, "authorization:") || startsWithNoCase(header, "cookie:");
        if (credential && !sameOrigin)
            continue;
        hasAuthorization = hasAuthorization || startsWithNoCase(header, "authorization:");
        own += header + "\r\n";
    }
    if (!request.agent.empty())
        text += "User-Agent: " + request.agent + "\r\n";
    if (sameOrigin && !hasAuthorization && !authorization.empty())
        text += "Authorization: " + authorization + "\r\n";
    text += "Accept: */*\r\n";
    if (request.offset > 0)
        text += "Range: bytes=" + std::to_string(request.offset) + "-\r\n";
    return text + own + "Connection: close\r\n\r\n";
}

SocketTransfer::Wait SocketTransfer::waitFor(int fd, short events, int timeoutMs, TransferListener &listener)
{
    const int64_t until = nowMs() + timeoutMs;
    for (;;) {
        if (!listener.onProgress())
            return Wait::Stopped;
        const int64_t left = until - nowMs();
        if (left <= 0)
            return Wait::TimedOut;
        pollfd fds[] = {{fd, events, 0}, {m_wakeFd, POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(std::min<int64_t>(left, listener.pollTimeoutMs())));
        if (ready > 0 && fds[1].revents) {
            eventfd_t drained = 0;
            eventfd_read(m_wakeFd, &drained);
        }
        if (ready > 0 && fds[0].revents)
            return Wait::Ready;
    }
}

int SocketTransfer::connectTo(const HttpUrl &url, int64_t timeoutMs, TransferListener &listener, int &fd)
{
    const int64_t deadline = nowMs() + timeoutMs;
    const std::shared_ptr<Lookup> lookup = startLookup(url.host, url.port);
    switch (waitFor(lookup->doneFd, POLLIN, static_cast<int>(timeoutMs), listener)) {
    case Wait::Ready: break;
    case Wait::Stopped: return BASS_ERROR_TIMEOUT;
    case Wait::TimedOut: return BASS_ERROR_TIMEOUT;
    }
    if (lookup->status != 0)
        return BASS_ERROR_NONET;
    for (const addrinfo *address = lookup->result; address; address = address->ai_next) {
        fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, address->ai_addr, address->ai_addrlen) == 0)
            return BASS_OK;
        if (errno == EINPROGRESS) {
            const Wait wait = waitFor(fd, POLLOUT, static_cast<int>(std::max<int64_t>(0, deadline - nowMs())), listener);
            int socketError = 0;
            socklen_t length = sizeof socketError;
            if (wait == Wait::Ready && getsockopt(fd, SOL_SOCKET, SO_ERROR, &socketError, &length) == 0 && socketError == 0)
                return BASS_OK;
            if (wait != Wait::Ready) {
                close(fd);
                fd = -1;
                return BASS_ERROR_TIMEOUT;
            }
        }
        close(fd);
        fd = -1;
    }
    return BASS_ERROR_FILEOPEN; // refused or unreachable at every address
}

int SocketTransfer::exchange(int fd, const std::string &requestText, TransferListener &listener, std::string &location)
{
    for (size_t sent = 0; sent < requestText.size();) {
        const ssize_t n = send(fd, requestText.data() + sent, requestText.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return BASS_ERROR_FILEOPEN;
        } else if (waitFor(fd, POLLOUT, listener.pollTimeoutMs(), listener) == Wait::Stopped) {
            return BASS_OK;
        }
    }
    Exchange response(listener, location);
    while (!response.finished) {
        listener.restBetweenReads();
        const Wait wait = waitFor(fd, POLLIN, listener.pollTimeoutMs(), listener);
        if (wait == Wait::Stopped)
            return BASS_OK;
        if (wait == Wait::TimedOut)
            continue; // the listener decides when waiting is over
        const ssize_t n = recv(fd, m_buffer.data(), m_buffer.size(), 0);
        if (n == 0)
            response.closed();
        else if (n > 0)
            response.take(m_buffer.data(), static_cast<size_t>(n));
        else if (errno != EAGAIN && errno != EINTR)
            response.fail(BASS_ERROR_FILEOPEN);
    }
    return response.error;
}

} // namespace bvaudio
