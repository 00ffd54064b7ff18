// Time left until a deadline, in the whole milliseconds socket waits take.
#pragma once

#include <chrono>

namespace orb {

using SteadyClock = std::chrono::steady_clock;

// Rounded up, so a wait never ends before the deadline; 0 once it has passed.
inline int msUntil(SteadyClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - SteadyClock::now()).count();
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

}  // namespace orb
