// Small text helpers for protocol lines.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>

namespace bvaudio {

inline std::string toLower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Without surrounding blanks, line ends and a UTF-8 byte-order mark.
inline std::string trimmed(const std::string &s)
{
    const auto first = s.find_first_not_of(" \t\r\n\xef\xbb\xbf");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace bvaudio
