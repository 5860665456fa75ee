// What the engine builds a request from and reads a response with, on arbitrary text: the URL
// string (URL, then "\r\n"-separated header lines), the URL taken apart, a redirect's Location
// resolved against it, and the whole input read as a chunked body.
#include "input/http_body.h"
#include "input/http_url.h"
#include "input/net_request.h"

#include <cstdlib>

namespace {

// Nothing that could end a request line or header early.
void requireSafe(const std::string &text)
{
    for (unsigned char c : text)
        if (c <= 0x20 || c >= 0x7f)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const bvaudio::NetRequest request = bvaudio::NetRequest::parse(text.c_str(), size);
    requireSafe(request.url);
    for (const std::string &header : request.headers)
        if (header.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            std::abort();

    bvaudio::HttpUrl url;
    if (bvaudio::HttpUrl::parse(request.url, url)) {
        requireSafe(url.target);
        requireSafe(url.hostHeader());
        if (url.target.empty() || url.target[0] != '/')
            std::abort();
    }
    if (!request.headers.empty())
        requireSafe(bvaudio::resolveLocation(request.url, request.headers.front()));

    bvaudio::HttpBody body(bvaudio::HttpBody::Framing::Chunked, 0);
    size_t payload = 0;
    const size_t taken = body.feed(text.data(), text.size(), [&](const char *, size_t n) {
        payload += n;
        return true;
    });
    if (taken > size || payload > taken)
        std::abort();
    return 0;
}
