// The six exported filter-settings functions. Each holds the registry lock
// for its whole duration (shared or exclusive as listed) so the record cannot
// be destroyed under it.
#include "orb_sdk.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <type_traits>

#include "control/config_commands.h"
#include "core/api_guard.h"
#include "core/callback_guard.h"
#include "core/device.h"
#include "core/registry.h"
#include "filters/filter_settings.h"

namespace {

template <class Lock, class Body>
std::int32_t WithDevice(const char* ip, Body&& body) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (ip == nullptr) return RC_INVALID_TARGET;
        if (std::is_same_v<Lock, std::unique_lock<std::shared_mutex>> && orb::inAnyCallback())
            return RC_GENERAL_ERROR;
        orb::Registry& registry = orb::Registry::get();
        Lock lock(registry.mutex());
        orb::DeviceRecord* dev = registry.find(ip);
        if (dev == nullptr) return RC_DEVICE_NOT_FOUND;
        return body(*dev);
    });
}

using Shared = std::shared_lock<std::shared_mutex>;
using Exclusive = std::unique_lock<std::shared_mutex>;

}  // namespace

extern "C" {

int32_t ZelOrbSetDistanceFiltering(const char* ip, bool enable, uint32_t min, uint32_t max) {
    return WithDevice<Shared>(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        orb::FilterSettings& s = dev.stream.filters;
        s.distanceFilterEnable = enable;
        s.distanceMin = min;
        s.distanceMax = max;
        return RC_OK;
    });
}

int32_t ZelOrbSetDistanceCompensationEnabled(const char* ip, bool enable) {
    return WithDevice<Shared>(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        orb::FilterSettings& s = dev.stream.filters;
        if (!enable) {
            s.compensationEnable = false;
            return RC_OK;
        }
        std::uint32_t distanceOffset = 0;
        std::uint32_t calibrationOffset = 0;
        // Both reads are made even when the first fails.
        const std::uint8_t first = orb::QueryDistanceOffset(dev.ctrl, distanceOffset);
        const std::uint8_t second = orb::QueryCalibrationDistanceOffset(dev.ctrl, calibrationOffset);
        if (first != 0 || second != 0) return RC_GENERAL_ERROR;
        s.distanceOffset = static_cast<std::int32_t>(distanceOffset);
        s.calibrationDistanceOffset = static_cast<std::int32_t>(calibrationOffset);
        s.compensationEnable = true;
        return RC_OK;
    });
}

int32_t ZelOrbSetIntensityFiltering(const char* ip, bool enable, const double* distances, const double* intensities,
                                    uint16_t count) {
    return WithDevice<Exclusive>(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        if (count != 0 && (distances == nullptr || intensities == nullptr)) return RC_INVALID_TARGET;
        orb::FilterSettings& s = dev.stream.filters;
        s.setIntensityTable(
            std::make_shared<const orb::IntensityTable>(orb::BuildIntensityTable(distances, intensities, count)));
        s.intensityFilterEnable = enable;
        return RC_OK;
    });
}

int32_t ZelOrbSetSpatialFilter(const char* ip, bool enable, int32_t size) {
    return WithDevice<Exclusive>(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        dev.stream.filters.pipeline.SetSpatialFilter(enable, size);
        return RC_OK;
    });
}

int32_t ZelOrbSetTimeMedianFilter(const char* ip, bool enable, int32_t count, int32_t threshold) {
    return WithDevice<Exclusive>(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        dev.stream.filters.pipeline.SetTimeMedianFilter(enable, count, threshold);
        return RC_OK;
    });
}

int32_t ZelOrbSetFlyingFilter(const char* ip, bool enable, int32_t threshold) {
    return WithDevice<Exclusive>(ip, [&](orb::DeviceRecord& dev) -> std::int32_t {
        dev.stream.filters.pipeline.SetFlyPixeFilter(enable, threshold);
        return RC_OK;
    });
}

}  // extern "C"
