// The six per-device filter settings. The four that change the filter chain
// are refused inside callbacks, as connecting and disconnecting are.
#include <cstdint>
#include <memory>

#include "control/config_commands.h"
#include "core/api_guard.h"
#include "device/lookup.h"
#include "filters/filter_settings.h"
#include "orb_sdk.h"

namespace {

template <class Body>
std::int32_t onFilters(const char* ip, orb::FromCallback mode, Body&& body) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (ip == nullptr) return RC_INVALID_TARGET;
        return orb::withDevice<std::int32_t>(ip, mode, RC_DEVICE_NOT_FOUND, body);
    });
}

constexpr orb::FromCallback kAllowed = orb::FromCallback::Allowed;
constexpr orb::FromCallback kRefused = orb::FromCallback::Refused;

}  // namespace

extern "C" {

int32_t ZelOrbSetDistanceFiltering(const char* ip, bool enable, uint32_t min, uint32_t max) {
    return onFilters(ip, kAllowed, [&](orb::DeviceRecord& dev) -> std::int32_t {
        orb::FilterSettings& s = dev.stream.filters;
        s.distanceFilterEnable = enable;
        s.distanceMin = min;
        s.distanceMax = max;
        return RC_OK;
    });
}

int32_t ZelOrbSetDistanceCompensationEnabled(const char* ip, bool enable) {
    return onFilters(ip, kAllowed, [&](orb::DeviceRecord& dev) -> std::int32_t {
        orb::FilterSettings& s = dev.stream.filters;
        if (!enable) {
            s.compensationEnable = false;
            return RC_OK;
        }
        std::uint32_t distanceOffset = 0;
        std::uint32_t calibrationOffset = 0;
        // Both reads are made even when the first fails.
        const std::uint8_t first = orb::queryDistanceOffset(dev.ctrl, distanceOffset);
        const std::uint8_t second = orb::queryCalibrationDistanceOffset(dev.ctrl, calibrationOffset);
        if (first != 0 || second != 0) return RC_GENERAL_ERROR;
        s.distanceOffset = static_cast<std::int32_t>(distanceOffset);
        s.calibrationDistanceOffset = static_cast<std::int32_t>(calibrationOffset);
        s.compensationEnable = true;
        return RC_OK;
    });
}

int32_t ZelOrbSetIntensityFiltering(const char* ip, bool enable, const double* distances, const double* intensities,
                                    uint16_t count) {
    return onFilters(ip, kRefused, [&](orb::DeviceRecord& dev) -> std::int32_t {
        if (count != 0 && (distances == nullptr || intensities == nullptr)) return RC_INVALID_TARGET;
        orb::FilterSettings& s = dev.stream.filters;
        s.setIntensityTable(
            std::make_shared<const orb::IntensityTable>(orb::buildIntensityTable(distances, intensities, count)));
        s.intensityFilterEnable = enable;
        return RC_OK;
    });
}

int32_t ZelOrbSetSpatialFilter(const char* ip, bool enable, int32_t size) {
    return onFilters(ip, kRefused, [&](orb::DeviceRecord& dev) -> std::int32_t {
        dev.stream.filters.pipeline.SetSpatialFilter(enable, size);
        return RC_OK;
    });
}

int32_t ZelOrbSetTimeMedianFilter(const char* ip, bool enable, int32_t count, int32_t threshold) {
    return onFilters(ip, kRefused, [&](orb::DeviceRecord& dev) -> std::int32_t {
        dev.stream.filters.pipeline.SetTimeMedianFilter(enable, count, threshold);
        return RC_OK;
    });
}

int32_t ZelOrbSetFlyingFilter(const char* ip, bool enable, int32_t threshold) {
    return onFilters(ip, kRefused, [&](orb::DeviceRecord& dev) -> std::int32_t {
        dev.stream.filters.pipeline.SetFlyPixeFilter(enable, threshold);
        return RC_OK;
    });
}

}  // extern "C"
