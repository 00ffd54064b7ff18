// Runs a device-scoped call with the registry lock held shared.
#pragma once

#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include "core/device.h"
#include "core/registry.h"
#include "orb_sdk.h"

namespace orb {

template <class F>
std::int32_t WithDeviceShared(const char* ip, F&& body) {
    Registry& reg = Registry::get();
    std::shared_lock<std::shared_mutex> lk(reg.mutex());
    DeviceRecord* dev = reg.find(ip);
    if (!dev) return RC_DEVICE_NOT_FOUND;
    return body(*dev);
}

}  // namespace orb
