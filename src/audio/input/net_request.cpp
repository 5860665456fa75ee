#include "input/net_request.h"

#include "input/http_url.h"
#include "text_util.h"

namespace bvaudio {
NetRequest NetRequest::parse(const char *text, uint64_t offset)
{
    NetRequest request;
    request.offset = offset;
    const std::string all = text ? text : "";
    size_t start = 0;
    bool first = true;
    while (start <= all.size()) {
        size_t end = all.find("\r\n", start);
        if (end == std::string::npos)
            end = all.size();
        const std::string line = all.substr(start, end - start);
        if (first)
            request.url = encodedUrl(trimmed(line));
        else if (!trimmed(line).empty() && line.find_first_of(std::string("\r\n\0", 3)) == std::string::npos)
            request.headers.push_back(line); // a line with a stray line break could smuggle a header
        first = false;
        start = end + 2;
    }
    return request;
}

} // namespace bvaudio
