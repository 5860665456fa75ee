// The engine URL string (URL, then "\r\n"-separated header lines) on arbitrary text.
#include "input/net_request.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const bvaudio::NetRequest request = bvaudio::NetRequest::parse(text.c_str(), size);
    // The URL is sent as it is: nothing in it may end the request line early.
    for (unsigned char c : request.url)
        if (c <= 0x20 || c >= 0x7f)
            std::abort();
    for (const std::string &header : request.headers)
        if (header.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            std::abort();
    return 0;
}
