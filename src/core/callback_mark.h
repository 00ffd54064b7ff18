// Marks the library thread that is running one of a device's callbacks, so
// that calls which would wait for that same thread (or for a mutex it holds)
// can be refused instead of deadlocking.
//
// The mark keeps its own copy of the device IP: a callback may outlive its
// device record (a stream callback that blocks past the stop limit of a
// disconnection) and still call into the library, which must then compare
// texts, never read the freed record.
#pragma once

#include <cstdint>
#include <mutex>

#include "orb_sdk.h"

namespace orb {

// Registering a callback replaces the previous one under the mutex that
// guards it; null is refused: RC_OK or RC_CALLBACK_REGISTER_FAILED.
template <class Callback>
std::int32_t registerCallback(std::mutex& guard, Callback& slot, Callback callback) {
    std::lock_guard<std::mutex> lock(guard);
    if (!callback) return RC_CALLBACK_REGISTER_FAILED;
    slot = callback;
    return RC_OK;
}

enum class CallbackKind {
    Frame,     // frame thread, under the device's stream mutex
    SixAxis,   // packet thread, under the device's stream mutex
    NineAxis,  // IMU thread, no library lock held
    Rgb,       // RGB processing thread, no library lock held
};

class CallbackMark {
public:
    CallbackMark(const char* ip, CallbackKind kind);
    ~CallbackMark();  // restores the mark it replaced
    CallbackMark(const CallbackMark&) = delete;
    CallbackMark& operator=(const CallbackMark&) = delete;

private:
    static constexpr int kIpCapacity = 16;  // dotted IPv4 text and its NUL
    char previousIp_[kIpCapacity];
    CallbackKind previousKind_;
    bool previousActive_;
};

// True when the calling thread is inside any device's callback. A callback
// runs under a device mutex (or is waited for by a stop), so the calls that
// connect, disconnect or change a device's stream chain, which may wait for
// such threads, are refused there.
bool inAnyCallback();
// True when the calling thread is inside a callback of the device named ip.
bool inOwnCallback(const char* ip);
// True when the calling thread is inside a callback of that kind of the device.
bool inOwnCallback(const char* ip, CallbackKind kind);
// True inside the device's frame or six-axis callback: the thread holds that
// device's stream mutex, and a call taking it again would wait for itself.
bool holdsOwnStreamMutex(const char* ip);

}  // namespace orb
