// The limits of one stream creation: a single deadline for all of it
// (connecting, headers, format detection, list following) and a count of the
// locations a creation may open while it follows lists.
#pragma once

#include <chrono>
#include <set>
#include <string>

namespace bvaudio {

struct CreationBudget {
    using Clock = std::chrono::steady_clock;
    static constexpr int kMaxLocations = 8;

    explicit CreationBudget(unsigned timeoutMs) : deadline(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}

    int remainingMs() const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    bool expired() const { return Clock::now() >= deadline; }
    // Claims one more location: false when it was opened before or the count is used up.
    bool claim(const std::string &location)
    {
        if (locationsLeft <= 0 || !visited.insert(location).second)
            return false;
        --locationsLeft;
        return true;
    }

    const Clock::time_point deadline;
    int locationsLeft = kMaxLocations;
    std::set<std::string> visited;
};

} // namespace bvaudio
