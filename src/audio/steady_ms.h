// Milliseconds on the monotonic clock, for deadlines and time-outs measured in whole milliseconds.
#pragma once

#include <chrono>
#include <cstdint>

namespace bvaudio {

inline int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace bvaudio
