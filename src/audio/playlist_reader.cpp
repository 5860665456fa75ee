#include "playlist_reader.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace bvaudio {
namespace {

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string &s)
{
    const auto first = s.find_first_not_of(" \t\r\n\xef\xbb\xbf");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

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
    const std::string l = lower(location.substr(0, 8));
    return l.rfind("http://", 0) == 0 || l.rfind("https://", 0) == 0;
}

bool looksLikePlaylist(const std::string &head, const std::string &contentType)
{
    const std::string type = lower(contentType);
    const std::string text = lower(trim(head));
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
    const bool pls = lower(trim(text)).rfind("[playlist]", 0) == 0;
    while (std::getline(lines, line)) {
        line = trim(line);
        if (line.empty())
            continue;
        if (pls) {
            const auto eq = line.find('=');
            if (eq != std::string::npos && lower(line.substr(0, 4)) == "file")
                entries.push_back(resolve(trim(line.substr(eq + 1)), base));
        } else if (line.front() != '#') {
            entries.push_back(resolve(line, base));
        }
    }
    return entries;
}

} // namespace bvaudio
