// Marks the library thread that is running one of a device's callbacks, so
// that calls which would wait for that same thread (or for a mutex it holds)
// can be refused instead of deadlocking.
#pragma once

#include <string>

namespace orb {

struct DeviceRecord;

class CallbackScope {
public:
    explicit CallbackScope(const DeviceRecord* dev);
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    // The IP is copied: a callback that outlives its record's teardown may
    // still ask, and must not read freed memory.
    char previousIp_[16];
    bool previousActive_;
};

// True when the calling thread is inside a callback of the device named ip.
bool inOwnCallback(const char* ip);
// True when the calling thread is inside any device's callback. A callback
// runs under a device mutex that a thread holding the registry lock shared
// may be waiting for, so calls that take the registry lock exclusively are
// refused there.
bool inAnyCallback();

}  // namespace orb
