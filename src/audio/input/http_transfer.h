// One HTTP GET with its redirects, run on a network input's download thread. Plain
// http:// goes over the engine's own sockets; https (and every request when the
// environment names a proxy) goes over libcurl, in a module loaded on first use, so
// that playing a plain stream maps no TLS library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bvaudio {

// What a transfer reports to, and asks of, the input that runs it. Every call comes on
// the thread that runs the transfer.
class TransferListener {
public:
    virtual ~TransferListener() = default;
    // One response header line with its line end. A status line starts each response,
    // also the answers that redirect. Returning 0 ends the transfer.
    virtual size_t onHeader(const char *line, size_t size) = 0;
    // Body bytes; returning less than `size` ends the transfer.
    virtual size_t onBody(const char *data, size_t size) = 0;
    // Asked after every wait: false ends the transfer (shut-down, time-outs).
    virtual bool onProgress() = 0;
    // Asked before every read; may sleep so that a playing live stream is read in batches.
    virtual void restBetweenReads() = 0;
    // The longest the transfer may wait for the network now.
    virtual int pollTimeoutMs() const = 0;
};

struct TransferRequest {
    std::string url;
    std::vector<std::string> headers; // complete "Name: value" lines
    std::string agent;                // sent as User-Agent when not empty (the headers name none)
    uint64_t offset = 0;              // above 0: "Range: bytes=offset-"
    int64_t connectTimeoutMs = 0;     // for resolving and connecting (and TLS)
};

class HttpTransfer {
public:
    // Redirects followed before a request fails.
    static constexpr int kMaxRedirects = 10;

    virtual ~HttpTransfer() = default;
    // Runs the request to its end. Returns BASS_OK, or the error that ended it:
    // BASS_ERROR_FILEOPEN (refused, malformed answer), BASS_ERROR_UNSTREAMABLE (a header
    // line over 64 KiB), BASS_ERROR_TIMEOUT, BASS_ERROR_NONET (unknown host),
    // BASS_ERROR_SSL (TLS failed or not available).
    virtual int run(const TransferRequest &request, TransferListener &listener) = 0;
    // From any thread: ends the transfer's current wait at once, and every later one.
    virtual void wake() = 0;

    // The transfer for `url`. nullptr with `error` set for a scheme other than http and https
    // (BASS_ERROR_FILEOPEN), and when TLS is needed and its module is missing (BASS_ERROR_SSL).
    static std::unique_ptr<HttpTransfer> create(const std::string &url, int &error);
    // The libcurl transfer, whatever the URL; nullptr when its module is missing.
    static std::unique_ptr<HttpTransfer> createCurl();
};

} // namespace bvaudio
