// A scriptable HTTP server on 127.0.0.1 for tests: status codes, headers, redirects, ranges, chunked and
// endless live bodies with ICY metadata, pacing, pauses, silence and dropped connections; a thread per connection.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace bvtest {

struct HttpResponse {
    int status = 200;
    QByteArray statusLine;   // replaces "HTTP/1.1 STATUS", e.g. "ICY 200 OK"
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool live = false;       // no Content-Length; the body repeats until the client leaves
    bool chunked = false;    // Transfer-Encoding: chunked
    bool honourRange = true; // answer "Range: bytes=N-" with 206
    bool neverAnswer = false; // accept the connection and say nothing
    int icyMetaInt = 0;      // ICY metadata every N body bytes (adds icy-metaint)
    QList<QByteArray> titles; // StreamTitle values; one per metadata block, the last one repeats
    int bytesPerSecond = 0;  // pacing after the burst; 0 = as fast as possible
    int burstBytes = 0;      // sent at once before pacing starts
    qint64 pauseAfterBytes = -1; // body bytes after which sending pauses...
    int pauseMs = 0;             // ...this long
    qint64 dropAfterBytes = -1;  // close the connection after this many body bytes
    int failures = 0;            // the first N requests for the path get an empty 503
    bool endlessHeaders = false; // after the status line, header lines (1 MB/s) until the client leaves

    static HttpResponse of(const QByteArray &contentType, const QByteArray &body);
    static HttpResponse redirect(const QByteArray &location);
    // A 128 kbit/s MP3 body live: two seconds at once, then in real time; `titles` as ICY metadata every 8000 bytes.
    static HttpResponse liveMp3(const QByteArray &body, const QList<QByteArray> &titles = {});
    // Takes the request and never answers.
    static HttpResponse silent();
};

struct HttpRequest {
    QByteArray method;
    QByteArray path;  // without the query
    QByteArray query; // after '?', empty when none
    QMap<QByteArray, QByteArray> headers; // lower-case names
    qint64 receivedMs = 0; // when the request arrived, on the steady clock
};

class TestHttpServer {
public:
    TestHttpServer();
    ~TestHttpServer();

    quint16 port() const { return m_port; }
    QByteArray url(const QByteArray &path) const;
    void setResponse(const QByteArray &path, const HttpResponse &response);
    // Requests received for `path` (query ignored), in order.
    QList<HttpRequest> requests(const QByteArray &path);

private:
    void acceptLoop();
    void serve(int socket);
    bool sendBody(int socket, const HttpResponse &response, qint64 start);

    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_quit{false};
    std::mutex m_mutex;
    std::condition_variable m_stopping;
    QMap<QByteArray, HttpResponse> m_responses;
    QMap<QByteArray, int> m_failed; // failures already answered per path
    QList<HttpRequest> m_requests;
    std::vector<int> m_sockets;
    std::thread m_acceptThread;
    std::vector<std::thread> m_connections;
};

} // namespace bvtest
