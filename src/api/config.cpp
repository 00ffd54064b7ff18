// The exported device getters and setters over the command exchange. Each
// looks the device up (its reference keeps the endpoint alive until the
// outputs are written, also across a disconnection), runs the host checks,
// runs one exchange and decodes the reply only on success.
#include <cstdio>
#include <cstring>

#include "control/config_commands.h"
#include "core/api_guard.h"
#include "core/return_codes.h"
#include "device/lookup.h"
#include "orb_sdk.h"

namespace orb {
namespace {

// The codes a call returns before any exchange: for a null IP, and for an
// IP no device is registered under.
struct LookupCodes {
    std::int32_t nullIp;
    std::int32_t absent;
};
constexpr LookupCodes kStatusLookup{DEV_DATA_SIZE_MISMATCH, DEV_HANDLE_NOT_IN_LIST};
constexpr LookupCodes kLibraryLookup{RC_INVALID_TARGET, RC_DEVICE_NOT_FOUND};

// Runs body(endpoint) on the device found under ip.
template <class Body>
std::int32_t onEndpoint(const char* ip, const LookupCodes& codes, Body&& body) {
    if (ip == nullptr) return codes.nullIp;
    return withDevice<std::int32_t>(ip, FromCallback::Allowed, codes.absent,
                                    [&](DeviceRecord& dev) -> std::int32_t { return body(dev.ctrl); });
}

// Calls answering with device status codes.
template <class Body>
std::int32_t statusCall(const char* ip, Body&& body) {
    return apiGuard<std::int32_t>(DEV_UNDEFINED_ERROR, [&] { return onEndpoint(ip, kStatusLookup, body); });
}

// Calls answering with library codes.
template <class Body>
std::int32_t libraryCall(const char* ip, Body&& body) {
    return apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&] { return onEndpoint(ip, kLibraryLookup, body); });
}

std::int32_t toLibraryCode(std::uint8_t status) { return status == kStatusOk ? RC_OK : RC_GENERAL_ERROR; }

std::int32_t action(const char* ip, std::uint16_t command) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t { return sendCommand(ep, command); });
}

// A setter without host checks: `encode` fills the payload.
template <class Encode>
std::int32_t setValue(const char* ip, std::uint16_t command, Encode&& encode) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        PayloadWriter w;
        encode(w);
        return sendCommand(ep, command, w.view());
    });
}

template <class T>
std::int32_t getValue(const char* ip, T* out, const ValueQuery<T>& q) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (out == nullptr) return kStatusSizeMismatch;
        return query(ep, q, *out);
    });
}

template <class T>
std::int32_t getPair(const char* ip, T* first, T* second, const ValueQuery<U16Pair>& q) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (first == nullptr || second == nullptr) return kStatusSizeMismatch;
        U16Pair values;
        const std::uint8_t status = query(ep, q, values);
        if (status == kStatusOk) {
            *first = values.first;
            *second = values.second;
        }
        return status;
    });
}

// A value cached at connection; false for a null or unknown IP.
bool cachedFlag(const char* ip, std::atomic<std::uint8_t> ControlEndpoint::*value) {
    const LookupCodes none{0, 0};
    return onEndpoint(ip, none, [&](ControlEndpoint& ep) -> std::int32_t { return (ep.*value).load() != 0; }) != 0;
}

}  // namespace
}  // namespace orb

using namespace orb;

extern "C" {

int32_t ZelStart(const char* ip) { return action(ip, cmd::kStart); }
int32_t ZelStop(const char* ip) { return action(ip, cmd::kStop); }
int32_t ZelSoftTrigger(const char* ip) { return action(ip, cmd::kSoftTrigger); }
int32_t ZelSaveConfigureInfo(const char* ip) { return action(ip, cmd::kSaveConfigure); }
int32_t ZelRemoveConfigureInfo(const char* ip) { return action(ip, cmd::kRemoveConfigure); }

int32_t ZelSetTriggerMode(const char* ip, uint8_t mode) {
    return setValue(ip, cmd::kSetTriggerMode, [&](PayloadWriter& w) { w.u8(mode); });
}

int32_t ZelGetTriggerMode(const char* ip, int32_t* mode) { return getValue(ip, mode, kQueryTriggerMode); }

int32_t ZelSetExposureMode(const char* ip, int32_t sensor, int32_t mode) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        std::uint16_t command = 0;
        if (const std::uint8_t bad = pickSensor(sensor, cmd::kSetLidarExposure, cmd::kSetRgbExposureMode, command))
            return bad;
        PayloadWriter w;
        // The LiDAR takes automatic exposure as the value 1000 in a 16-bit field.
        if (sensor == kSensorLidar)
            w.u16(mode != 0 ? 1000 : 0);
        else
            w.u8(mode != 0 ? 1 : 0);
        return sendCommand(ep, command, w.view());
    });
}

int32_t ZelGetExposureMode(const char* ip, int32_t sensor, uint32_t* mode) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (sensor != kSensorLidar && sensor != kSensorRgb) return kStatusUnknownSensor;
        if (mode == nullptr) return kStatusSizeMismatch;
        return query(ep, sensor == kSensorLidar ? kQueryLidarExposureMode : kQueryRgbExposureMode, *mode);
    });
}

int32_t ZelSetExposureTime(const char* ip, int32_t sensor, const uint32_t* values, int32_t count) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (count < 1 || count > 4) {
            setDetailMessageParamsExceeded();
            return kStatusCountOutOfRange;
        }
        std::uint16_t command = 0;
        if (const std::uint8_t bad = pickSensor(sensor, cmd::kSetLidarExposure, cmd::kSetRgbExposureTime, command))
            return bad;
        if (values == nullptr) return kStatusSizeMismatch;
        const std::uint32_t maximum = sensor == kSensorLidar ? 4000 : 1404;
        PayloadWriter w;
        for (std::int32_t i = 0; i < count; ++i) {
            if (values[i] < 1 || values[i] > maximum) return kStatusOutOfRange;
            w.u16(static_cast<std::uint16_t>(values[i]));
        }
        return sendCommand(ep, command, w.view());
    });
}

int32_t ZelGetExposureTime(const char* ip, int32_t sensor, uint32_t* values, int32_t capacity, int32_t* count) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (capacity < 1) {
            setDetailMessageParamsExceeded();
            return kStatusCapacityOutOfRange;
        }
        std::uint16_t command = 0;
        if (const std::uint8_t bad =
                pickSensor(sensor, cmd::kGetLidarExposureTime, cmd::kGetRgbExposureTime, command))
            return bad;
        if (values == nullptr || count == nullptr) return kStatusSizeMismatch;
        return transact(ep, command, {}, 0, [&](const PayloadReader& r) {
            const std::size_t n = r.size() / 2;
            if (n > static_cast<std::size_t>(capacity)) return kStatusBufferTooSmall;
            for (std::size_t i = 0; i < n; ++i) values[i] = r.u16(2 * i);
            *count = static_cast<std::int32_t>(n);
            return kStatusOk;
        });
    });
}

int32_t ZelSetHardTriggerFilterParams(const char* ip, int32_t first, int32_t second) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (first < 1000 || first > 65535 || second < 50 || second > 65535) return kStatusOutOfRange;
        PayloadWriter w;
        w.u16(static_cast<std::uint16_t>(first));
        w.u16(static_cast<std::uint16_t>(second));
        return sendCommand(ep, cmd::kSetHardTriggerFilter, w.view());
    });
}

int32_t ZelGetHardTriggerFilterParams(const char* ip, uint32_t* first, uint32_t* second) {
    return getPair(ip, first, second, kQueryHardTriggerFilter);
}

int32_t ZelSetRgbSensorGain(const char* ip, uint32_t gain) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (gain < 16 || gain > 988) return kStatusOutOfRange;
        PayloadWriter w;
        w.u16(static_cast<std::uint16_t>(gain));
        return sendCommand(ep, cmd::kSetRgbSensorGain, w.view());
    });
}

int32_t ZelGetRgbSensorGain(const char* ip, uint32_t* gain) { return getValue(ip, gain, kQueryRgbSensorGain); }

int32_t ZelOrbGetRgbExposureTimeRange(const char* ip, uint16_t* first, uint16_t* second) {
    return getPair(ip, first, second, kQueryRgbExposureRange);
}

int32_t ZelOrbGetRgbGainRange(const char* ip, uint16_t* first, uint16_t* second) {
    return getPair(ip, first, second, kQueryRgbGainRange);
}

int32_t ZelSetDistanceMeasureConfigure(const char* ip, uint8_t value) {
    return setValue(ip, cmd::kSetDistanceMeasure, [&](PayloadWriter& w) { w.u8(value); });
}

int32_t ZelGetDistanceMeasureConfigure(const char* ip, uint8_t* value) {
    return getValue(ip, value, kQueryDistanceMeasure);
}

int32_t ZelOrbSetCalibrationDistanceOffset(const char* ip, uint32_t offset) {
    return setValue(ip, cmd::kSetCalibrationOffset, [&](PayloadWriter& w) { w.u32(offset); });
}

int32_t ZelOrbGetCalibrationDistanceOffset(const char* ip, uint32_t* offset) {
    return getValue(ip, offset, kQueryCalibrationOffset);
}

int32_t ZelOrbSetDistanceOffset(const char* ip, uint32_t offset) {
    return libraryCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        PayloadWriter w;
        w.u32(offset);
        return toLibraryCode(sendCommand(ep, cmd::kSetDistanceOffset, w.view()));
    });
}

int32_t ZelOrbGetDistanceOffset(const char* ip, uint32_t* offset) {
    return libraryCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (offset == nullptr) return RC_PARAM_OUT_OF_BOUNDS;
        return toLibraryCode(queryDistanceOffset(ep, *offset));
    });
}

int32_t ZelOrbSetDeviceSerialNumber(const char* ip, const char* serial) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (serial == nullptr || serial[0] == '\0') return kStatusSizeMismatch;
        return sendCommand(ep, cmd::kSetSerialNumber, {reinterpret_cast<const std::uint8_t*>(serial), std::strlen(serial)});
    });
}

int32_t ZelOrbGetDeviceSerialNumber(const char* ip, uint8_t* buffer, uint32_t size) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (buffer == nullptr || size == 0) return kStatusSizeMismatch;
        return queryText(ep, cmd::kGetSerialNumber, buffer, size);
    });
}

int32_t ZelOrbGetDeviceType(const char* ip, uint8_t* buffer, uint32_t size) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (buffer == nullptr || size == 0) return kStatusSizeMismatch;
        return queryText(ep, cmd::kGetDeviceType, buffer, size);
    });
}

int32_t ZelOrbGetDeviceSoftwareVersion(const char* ip, char* first, char* second, uint32_t size) {
    constexpr std::size_t kVersionText = 16;  // "255.255.255.255" and its NUL
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (first == nullptr || second == nullptr || size < kVersionText) return kStatusSizeMismatch;
        return transact(ep, cmd::kGetSoftwareVersion, {}, 8, [&](const PayloadReader& r) {
            char* const texts[2] = {first, second};
            for (std::size_t t = 0; t < 2; ++t) {
                std::memset(texts[t], 0, size);
                const std::size_t o = 4 * t;
                std::snprintf(texts[t], kVersionText, "%d.%d.%d.%d", r.u8(o), r.u8(o + 1), r.u8(o + 2),
                              r.u8(o + 3));
            }
            return kStatusOk;
        });
    });
}

int32_t ZelSetIntrinsicParam(const char* ip, int32_t sensor, const float* values) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (const std::uint8_t bad = checkIntrinsicSensor(sensor)) return bad;
        if (values == nullptr) return kStatusSizeMismatch;
        PayloadWriter w;
        w.floatsAsDoubles(values, kIntrinsicSent);
        return sendCommand(ep, cmd::kSetRgbIntrinsics, w.view());
    });
}

int32_t ZelGetIntrinsicParam(const char* ip, int32_t sensor, float* record) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (const std::uint8_t bad = checkIntrinsicSensor(sensor)) return bad;
        if (record == nullptr) return kStatusSizeMismatch;
        return queryIntrinsics(ep, record);
    });
}

int32_t ZelSetLidarToRgbExtrinsicParam(const char* ip, const float* values) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (values == nullptr) return kStatusSizeMismatch;
        PayloadWriter w;
        w.floatsAsDoubles(values, kExtrinsicCount);
        return sendCommand(ep, cmd::kSetLidarToRgbExtrinsics, w.view());
    });
}

int32_t ZelGetLidarToRgbExtrinsicParam(const char* ip, float* values) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (values == nullptr) return kStatusSizeMismatch;
        return queryLidarToRgbExtrinsics(ep, values);
    });
}

int32_t ZelGetLidarToIMUExtrinsicParam(const char* ip, float* values) {
    return statusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (values == nullptr) return kStatusSizeMismatch;
        return queryExtrinsics(ep, cmd::kGetLidarToImuExtrinsics, values);
    });
}

bool ZelGetDeviceRgbEnabled(const char* ip) {
    return apiGuard(false, [&] { return cachedFlag(ip, &ControlEndpoint::rgbEnabled); });
}

bool ZelGetDeviceRgbRotation(const char* ip) {
    return apiGuard(false, [&] { return cachedFlag(ip, &ControlEndpoint::rgbRotation); });
}

}  // extern "C"
