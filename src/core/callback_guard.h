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
    const DeviceRecord* previous_;
};

// True when the calling thread is inside a callback of the device named ip.
bool inOwnCallback(const char* ip);

}  // namespace orb
