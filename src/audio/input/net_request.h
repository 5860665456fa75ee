// The request an engine URL string describes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bvaudio {

struct NetRequest {
    std::string url;
    std::vector<std::string> headers; // complete "Name: value" lines
    uint64_t offset = 0;

    // Parses the URL followed by "\r\n"-separated header lines. Bytes a URL may not
    // hold as they are (blanks, controls, non-ASCII) are percent-encoded; header lines
    // holding a stray CR, LF or NUL are dropped.
    static NetRequest parse(const char *text, uint64_t offset);
};

} // namespace bvaudio
