// Device lookup: the one way a call reaches a device record. The registry
// lock is held only to find the record; the body runs without it, on a
// record kept alive by the reference the lookup took, so a slow call (a
// command exchange with a silent device) never holds up other devices'
// connections or the routing of their datagrams.
#pragma once

#include <utility>

#include "core/callback_mark.h"
#include "device/context.h"
#include "device/device.h"
#include "orb_sdk.h"

namespace orb {

// Whether a call may run inside a callback. The calls that connect,
// disconnect or change what the stream threads run are refused (-1) in
// every callback: they could wait for a thread that waits for the mutex the
// callback runs under.
enum class FromCallback { Allowed, Refused };

// Runs body(DeviceRecord&) for the device registered under ip and returns
// its result, or `absent` when there is none.
template <class Result, class Body>
Result withDevice(const char* ip, FromCallback rule, Result absent, Body&& body) {
    if (rule == FromCallback::Refused && inAnyCallback()) return static_cast<Result>(RC_GENERAL_ERROR);
    const DevicePtr dev = libraryContext().registry.lookup(ip);
    return dev ? std::forward<Body>(body)(*dev) : absent;
}

}  // namespace orb
