#include "testhttpserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>


#include <QScopeGuard>

#include <algorithm>
#include <chrono>

namespace bvtest {
namespace {

bool sendAll(int socket, const QByteArray &bytes)
{
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(socket, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

QByteArray icyBlock(const QByteArray &title)
{
    QByteArray text = "StreamTitle='" + title + "';StreamUrl='';";
    const int blocks = (static_cast<int>(text.size()) + 15) / 16;
    text.append(QByteArray(blocks * 16 - text.size(), '\0'));
    return char(blocks) + text;
}

} // namespace

HttpResponse HttpResponse::of(const QByteArray &contentType, const QByteArray &body)
{
    HttpResponse r;
    r.headers.append({"Content-Type", contentType});
    r.body = body;
    return r;
}

HttpResponse HttpResponse::redirect(const QByteArray &location)
{
    HttpResponse r;
    r.status = 302;
    r.headers.append({"Location", location});
    return r;
}

HttpResponse HttpResponse::liveMp3(const QByteArray &body, const QList<QByteArray> &titles)
{
    HttpResponse r = of("audio/mpeg", body);
    r.headers.append(qMakePair(QByteArray("icy-br"), QByteArray("128")));
    r.live = true;
    r.bytesPerSecond = 16000;
    r.burstBytes = 32000;
    r.icyMetaInt = titles.isEmpty() ? 0 : 8000;
    r.titles = titles;
    return r;
}

HttpResponse HttpResponse::silent()
{
    HttpResponse r;
    r.neverAnswer = true;
    return r;
}

TestHttpServer::TestHttpServer()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(m_listener, 16) != 0)
        return;
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread(&TestHttpServer::acceptLoop, this);
}

TestHttpServer::~TestHttpServer()
{
    m_quit = true;
    ::shutdown(m_listener, SHUT_RDWR);
    {
        std::lock_guard lock(m_mutex);
        for (int s : m_sockets)
            ::shutdown(s, SHUT_RDWR);
    }
    m_stopping.notify_all();
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (std::thread &t : m_connections)
        t.join();
    ::close(m_listener);
}

QByteArray TestHttpServer::url(const QByteArray &path) const
{
    return "http://127.0.0.1:" + QByteArray::number(m_port) + path;
}

void TestHttpServer::setResponse(const QByteArray &path, const HttpResponse &response)
{
    std::lock_guard lock(m_mutex);
    m_responses[path] = response;
    m_failed.remove(path);
}

QList<HttpRequest> TestHttpServer::requests(const QByteArray &path)
{
    std::lock_guard lock(m_mutex);
    QList<HttpRequest> matching;
    for (const HttpRequest &r : m_requests)
        if (r.path == path)
            matching.append(r);
    return matching;
}

void TestHttpServer::acceptLoop()
{
    while (!m_quit) {
        const int socket = ::accept(m_listener, nullptr, nullptr);
        if (socket < 0)
            break;
        std::lock_guard lock(m_mutex);
        m_sockets.push_back(socket);
        m_connections.emplace_back(&TestHttpServer::serve, this, socket);
    }
}

void TestHttpServer::serve(int socket)
{
    const auto forget = qScopeGuard([this, socket] {
        std::lock_guard lock(m_mutex);
        std::erase(m_sockets, socket);
        ::close(socket);
    });
    QByteArray head;
    char buffer[4096];
    while (!head.contains("\r\n\r\n")) {
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0)
            return;
        head.append(buffer, n);
        if (head.startsWith('\x16')) { // a TLS handshake: answer in plain text, as a misconfigured server would
            sendAll(socket, "HTTP/1.1 400 Bad Request\r\n\r\n");
            return;
        }
    }
    const QList<QByteArray> lines = head.left(head.indexOf("\r\n\r\n")).split('\n');
    HttpRequest request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    const qsizetype question = target.indexOf('?');
    request.path = question < 0 ? target : target.left(question);
    request.query = question < 0 ? QByteArray() : target.mid(question + 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
    }
    HttpResponse response;
    {
        std::lock_guard lock(m_mutex);
        request.receivedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch()).count();
        m_requests.append(request);
        response = m_responses.value(request.path, HttpResponse::of("text/plain", "not found"));
        if (!m_responses.contains(request.path))
            response.status = 404;
        if (m_failed.value(request.path) < response.failures) {
            ++m_failed[request.path];
            response = HttpResponse::of("text/plain", QByteArray());
            response.status = 503;
        }
    }
    if (response.neverAnswer) {
        std::unique_lock lock(m_mutex);
        m_stopping.wait(lock, [this] { return m_quit.load(); });
        return;
    }

    qint64 start = 0;
    int status = response.status;
    const QByteArray range = request.headers.value("range");
    if (!range.isEmpty() && response.honourRange && !response.live && status == 200) {
        start = range.mid(range.indexOf('=') + 1).split('-').value(0).toLongLong();
        status = 206;
    }
    QByteArray out = response.statusLine.isEmpty() ? "HTTP/1.1 " + QByteArray::number(status) + " Status" : response.statusLine;
    out += "\r\n";
    if (response.endlessHeaders) {
        // Header lines at about a megabyte a second until the client leaves.
        const QByteArray lines = ("X-Filler: " + QByteArray(1000, 'x') + "\r\n").repeated(16);
        std::unique_lock lock(m_mutex, std::defer_lock);
        for (QByteArray chunk = out; !m_quit && sendAll(socket, chunk); chunk = lines) {
            lock.lock();
            m_stopping.wait_for(lock, std::chrono::milliseconds(16), [this] { return m_quit.load(); });
            lock.unlock();
        }
        return;
    }
    for (const auto &[name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    if (response.icyMetaInt > 0)
        out += "icy-metaint: " + QByteArray::number(response.icyMetaInt) + "\r\n";
    if (response.chunked)
        out += "Transfer-Encoding: chunked\r\n";
    else if (!response.live)
        out += "Content-Length: " + QByteArray::number(response.body.size() - start) + "\r\n";
    if (status == 206)
        out += "Content-Range: bytes " + QByteArray::number(start) + "-" + QByteArray::number(response.body.size() - 1)
               + "/" + QByteArray::number(response.body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (sendAll(socket, out) && request.method != "HEAD")
        sendBody(socket, response, start);
    ::shutdown(socket, SHUT_WR);
    while (::recv(socket, buffer, sizeof buffer, 0) > 0) {
    }
}

bool TestHttpServer::sendBody(int socket, const HttpResponse &r, qint64 start)
{
    using Clock = std::chrono::steady_clock;
    const auto began = Clock::now();
    qint64 sent = 0;        // body bytes sent
    qint64 untilMeta = r.icyMetaInt;
    int blocks = 0;
    qint64 position = start;
    auto wait = [this](std::chrono::milliseconds ms) {
        std::unique_lock lock(m_mutex);
        return !m_stopping.wait_for(lock, ms, [this] { return m_quit.load(); });
    };
    while (!m_quit) {
        if (r.body.isEmpty() || (!r.live && position >= r.body.size()))
            break;
        if (r.dropAfterBytes >= 0 && sent >= r.dropAfterBytes)
            return false;
        if (r.pauseAfterBytes >= 0 && sent == r.pauseAfterBytes && !wait(std::chrono::milliseconds(r.pauseMs)))
            return false;
        qint64 n = std::min<qint64>(4096, r.body.size() - position);
        if (r.icyMetaInt > 0)
            n = std::min(n, untilMeta);
        if (r.pauseAfterBytes > sent)
            n = std::min(n, r.pauseAfterBytes - sent);
        if (r.dropAfterBytes > sent)
            n = std::min(n, r.dropAfterBytes - sent);
        if (r.bytesPerSecond > 0 && sent >= r.burstBytes) {
            // Pace: do not run ahead of the byte rate.
            const auto due = began + std::chrono::milliseconds((sent - r.burstBytes) * 1000 / r.bytesPerSecond);
            if (due > Clock::now() && !wait(std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now())))
                return false;
            n = std::min<qint64>(n, std::max(1, r.bytesPerSecond / 50));
        }
        QByteArray chunk = r.body.mid(position, n);
        position += n;
        if (r.live && position >= r.body.size())
            position = 0;
        sent += n;
        if (r.icyMetaInt > 0 && (untilMeta -= n) == 0) {
            const QByteArray title =
                r.titles.isEmpty() ? QByteArray() : r.titles.value(std::min<qsizetype>(blocks, r.titles.size() - 1));
            chunk += title.isNull() ? QByteArray(1, '\0') : icyBlock(title);
            ++blocks;
            untilMeta = r.icyMetaInt;
        }
        if (r.chunked)
            chunk = QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
        if (!sendAll(socket, chunk))
            return false;
    }
    return !r.chunked || sendAll(socket, "0\r\n\r\n");
}

} // namespace bvtest
