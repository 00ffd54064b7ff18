#include "core/callback_guard.h"

#include <cstring>

#include "core/device.h"

namespace orb {

namespace {
thread_local const DeviceRecord* tlCallbackDevice = nullptr;
}

CallbackScope::CallbackScope(const DeviceRecord* dev) : previous_(tlCallbackDevice) { tlCallbackDevice = dev; }

CallbackScope::~CallbackScope() { tlCallbackDevice = previous_; }

bool inAnyCallback() { return tlCallbackDevice != nullptr; }

bool inOwnCallback(const char* ip) {
    return ip && tlCallbackDevice && tlCallbackDevice->ip == ip;
}

}  // namespace orb
