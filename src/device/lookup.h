// Device lookup: the one way a call reaches a device record. The registry
// lock is held, in the mode the caller names, for the whole body, so a
// disconnection cannot destroy the record underneath it.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "core/callback_mark.h"
#include "device/context.h"
#include "device/device.h"
#include "orb_sdk.h"

namespace orb {

enum class RegistryLock {
    Shared,     // reads and exchanges: many calls and the reception at once
    Exclusive,  // changes of the set of devices or of what the stream threads read
};

// Runs body(DeviceRecord&) for the device registered under ip and returns
// its result, or `absent` when there is none. Exclusive lookups are refused
// (-1) inside any callback: the exclusive lock could wait for a thread that
// waits for the mutex the callback runs under.
template <class Result, class Body>
Result withDevice(const char* ip, RegistryLock mode, Result absent, Body&& body) {
    Registry& registry = libraryContext().registry;
    if (mode == RegistryLock::Exclusive) {
        if (inAnyCallback()) return static_cast<Result>(RC_GENERAL_ERROR);
        std::unique_lock<std::shared_mutex> lock(registry.mutex());
        DeviceRecord* dev = registry.find(ip);
        return dev ? std::forward<Body>(body)(*dev) : absent;
    }
    std::shared_lock<std::shared_mutex> lock(registry.mutex());
    DeviceRecord* dev = registry.find(ip);
    return dev ? std::forward<Body>(body)(*dev) : absent;
}

}  // namespace orb
