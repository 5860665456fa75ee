// Recognises PLS and M3U playlists and lists their entries.
#pragma once

#include <string>
#include <vector>

namespace bvaudio {

// True when the content type or the first bytes name a PLS or (non-HLS) M3U list.
bool looksLikePlaylist(const std::string &head, const std::string &contentType);

// The entries of a PLS or M3U list in order; relative entries are resolved
// against the directory of `base` (a URL or a local path).
std::vector<std::string> readPlaylist(const std::string &text, const std::string &base);

// True for http:// and https:// locations.
bool isNetworkLocation(const std::string &location);

} // namespace bvaudio
