// The engine's PLS/M3U recognition and entry reading on arbitrary text; the
// first line is the list's own location, the rest its content.
#include "input/playlist_reader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const size_t newline = input.find('\n');
    const std::string base = input.substr(0, newline == std::string::npos ? 0 : newline);
    const std::string text = newline == std::string::npos ? input : input.substr(newline + 1);
    bvaudio::looksLikePlaylist(text.substr(0, 512), base);
    for (const std::string &entry : bvaudio::readPlaylist(text, base))
        if (entry.empty())
            std::abort(); // empty lines are never entries
    return 0;
}
