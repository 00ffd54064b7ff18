// Starting the library's detached threads (the IMU and RGB stream threads).
// launchDetached is kept in a file of its own so that a test program can link
// its own version in place of this one and make starts fail, as the fuzz
// build replaces the socket layer.
#pragma once

#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace orb::platform {

// Runs body on a new detached thread; false when the system refuses a thread.
bool launchDetached(std::function<void()> body);

// What launchDetached does; for a replacement that starts threads after all.
inline bool detachThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

}  // namespace orb::platform
