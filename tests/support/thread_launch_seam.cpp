#include "support/thread_launch_seam.h"

#include <atomic>
#include <utility>

#include "platform/thread.h"

namespace {
std::atomic<int> gFailures{0};
}  // namespace

namespace orbtest {
void failNextThreadLaunches(int n) { gFailures.store(n); }
}  // namespace orbtest

namespace orb::platform {

bool launchDetached(std::function<void()> body) {
    int pending = gFailures.load();
    while (pending > 0 && !gFailures.compare_exchange_weak(pending, pending - 1)) {
    }
    if (pending > 0) return false;
    return detachThread(std::move(body));
}

}  // namespace orb::platform
