#include "input/playlist_reader.h"

#include "text_util.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace bvaudio {
namespace {

std::string resolve(const std::string &entry, const std::string &base)
{
    if (entry.find("://") != std::string::npos || entry.front() == '/')
        return entry;
    const auto slash = base.rfind('/');
    return slash == std::string::npos ? entry : base.substr(0, slash + 1) + entry;
}

} // namespace

bool isNetworkLocation(const std::string &location)
{
    const std::string l = toLower(location.substr(0, 8));
    return l.rfind("http://", 0) == 0 || l.rfind("https://", 0) == 0;
}

bool looksLikePlaylist(const std::string &head, const std::string &contentType)
{
    const std::string type = toLower(contentType);
    const std::string text = toLower(trimmed(head));
    if (text.find("#ext-x-") != std::string::npos)
        return false; // HLS: the library plays those itself
    if (type.find("scpls") != std::string::npos || type.find("mpegurl") != std::string::npos)
        return true;
    if (text.rfind("[playlist]", 0) == 0 || text.rfind("#extm3u", 0) == 0)
        return true;
    // A plain M3U: text whose first line is a location.
    return (type.rfind("text/", 0) == 0 || type.empty()) && isNetworkLocation(text);
}

std::vector<std::string> readPlaylist(const std::string &text, const std::string &base)
{
    std::vector<std::string> entries;
    std::istringstream lines(text);
    std::string line;
    const bool pls = toLower(trimmed(text)).rfind("[playlist]", 0) == 0;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty())
            continue;
        if (pls) {
            const auto eq = line.find('=');
            const std::string value = eq == std::string::npos ? std::string() : trimmed(line.substr(eq + 1));
            if (!value.empty() && toLower(line.substr(0, 4)) == "file")
                entries.push_back(resolve(value, base));
        } else if (line.front() != '#') {
            entries.push_back(resolve(line, base));
        }
    }
    return entries;
}

} // namespace bvaudio
