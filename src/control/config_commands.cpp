// Configuration commands: every exported device getter and setter over the
// UDP command exchange, and the queries the library runs on its own.
//
// One pattern throughout: look the device up under the shared registry lock
// (held until the outputs are written, so a disconnect cannot destroy the
// endpoint mid-call), run the host checks, run one exchange, decode the reply
// only on success. Integers travel big-endian, doubles little-endian IEEE-754.
#include "control/config_commands.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "orb_sdk.h"
#include "control/command.h"
#include "control/control_endpoint.h"
#include "core/api_guard.h"
#include "core/device.h"
#include "core/registry.h"
#include "core/return_codes.h"

namespace orb {
namespace {

constexpr std::uint8_t kOk = DEV_SUCCESS;
constexpr std::uint8_t kOutOfRange = DEV_PARAM_OUT_OF_RANGE;
constexpr std::uint8_t kCountOutOfRange = DEV_DEVICE_NOT_ON;  // fixed code for a bad value count
constexpr std::uint8_t kLidarNotSupported = DEV_DEVICE_NOT_SUPPORTED;
constexpr std::uint8_t kBufferTooSmall = DEV_BUFFER_OUT_OF_MEMORY;
constexpr std::uint8_t kUnknownSensor = DEV_TYPE_NOT_EXIST;
constexpr std::uint8_t kSizeMismatch = DEV_DATA_SIZE_MISMATCH;
constexpr std::uint8_t kCapacityOutOfRange = DEV_SOCKET_SETUP_FAILED;  // paired with the detail message

constexpr std::int32_t kSensorLidar = 1;
constexpr std::int32_t kSensorRgb = 2;

namespace cmd {
constexpr std::uint16_t kStart = 0x0000;
constexpr std::uint16_t kStop = 0x0001;
constexpr std::uint16_t kSoftTrigger = 0x0002;
constexpr std::uint16_t kSaveConfigure = 0x0004;
constexpr std::uint16_t kRemoveConfigure = 0x0005;
constexpr std::uint16_t kSetTriggerMode = 0x0101;
constexpr std::uint16_t kSetLidarExposure = 0x0104;  // mode and time share it
constexpr std::uint16_t kSetSerialNumber = 0x0123;
constexpr std::uint16_t kSetHardTriggerFilter = 0x0128;
constexpr std::uint16_t kSetLidarToRgbExtrinsics = 0x0129;
constexpr std::uint16_t kSetRgbIntrinsics = 0x012A;
constexpr std::uint16_t kSetRgbExposureMode = 0x012B;
constexpr std::uint16_t kSetRgbExposureTime = 0x012C;
constexpr std::uint16_t kSetRgbSensorGain = 0x0132;
constexpr std::uint16_t kSetDistanceOffset = 0x013B;
constexpr std::uint16_t kSetCalibrationOffset = 0x013C;
constexpr std::uint16_t kSetDistanceMeasure = 0x013D;
constexpr std::uint16_t kGetSerialNumber = 0x0300;
constexpr std::uint16_t kGetSoftwareVersion = 0x0301;
constexpr std::uint16_t kGetTriggerMode = 0x0304;
constexpr std::uint16_t kGetLidarExposureTime = 0x0306;
constexpr std::uint16_t kGetLidarExposureMode = 0x030D;
constexpr std::uint16_t kGetDeviceType = 0x030F;
constexpr std::uint16_t kGetLidarToRgbExtrinsics = 0x0329;
constexpr std::uint16_t kGetRgbIntrinsics = 0x032A;
constexpr std::uint16_t kGetRgbExposureMode = 0x032B;
constexpr std::uint16_t kGetRgbExposureTime = 0x032C;
constexpr std::uint16_t kGetHardTriggerFilter = 0x032F;
constexpr std::uint16_t kGetRgbSensorGain = 0x0332;
constexpr std::uint16_t kGetLidarToImuExtrinsics = 0x0336;
constexpr std::uint16_t kGetRgbExposureRange = 0x0338;
constexpr std::uint16_t kGetRgbGainRange = 0x0339;
constexpr std::uint16_t kGetDistanceOffset = 0x033B;
constexpr std::uint16_t kGetCalibrationOffset = 0x033C;
constexpr std::uint16_t kGetDistanceMeasure = 0x033D;
}  // namespace cmd

// ------------------------------------------------------------ payload codec

struct Payload {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

class PayloadWriter {
public:
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v >> 8));
        u8(static_cast<std::uint8_t>(v));
    }
    void u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v >> 16));
        u16(static_cast<std::uint16_t>(v));
    }
    void f64(double v) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(bits >> (8 * i)));
    }
    void floatsAsDoubles(const float* values, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) f64(static_cast<double>(values[i]));
    }
    Payload view() const { return {bytes_.data(), bytes_.size()}; }

private:
    std::vector<std::uint8_t> bytes_;
};

// Reads at offsets the caller has checked against size().
class PayloadReader {
public:
    PayloadReader(const std::uint8_t* p, std::size_t n) : p_(p), n_(p ? n : 0) {}
    std::size_t size() const { return n_; }
    const std::uint8_t* data() const { return p_; }
    std::uint8_t u8(std::size_t off) const { return p_[off]; }
    std::uint16_t u16(std::size_t off) const { return static_cast<std::uint16_t>(p_[off] << 8 | p_[off + 1]); }
    std::uint32_t u32(std::size_t off) const {
        return static_cast<std::uint32_t>(u16(off)) << 16 | u16(off + 2);
    }
    double f64(std::size_t off) const {
        std::uint64_t bits = 0;
        for (int i = 7; i >= 0; --i) bits = bits << 8 | p_[off + static_cast<std::size_t>(i)];
        double v = 0;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    // Doubles beyond float's range become infinities instead of undefined casts.
    float f64AsFloat(std::size_t off) const {
        const double v = f64(off);
        constexpr double kMax = std::numeric_limits<float>::max();
        if (v > kMax) return std::numeric_limits<float>::infinity();
        if (v < -kMax) return -std::numeric_limits<float>::infinity();
        return static_cast<float>(v);
    }
    void doublesAsFloats(float* out, std::size_t n) const {
        for (std::size_t i = 0; i < n; ++i) out[i] = f64AsFloat(8 * i);
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// ------------------------------------------------------------ one exchange

// Runs one exchange; on success checks the reply carries `need` payload bytes
// and hands it to `decode`, which writes the outputs and returns the status.
template <class Decode>
std::uint8_t Transact(ControlEndpoint& ep, std::uint16_t command, Payload payload, std::size_t need,
                      Decode&& decode) {
    RequestBuffer request(command);
    // A payload beyond one datagram could not be sent intact.
    if (payload.size != 0 && !request.setPayload(payload.data, payload.size)) return kSizeMismatch;
    ReplyBuffer reply;
    const std::uint8_t status = CommandExchange(ep, request, &reply);
    if (status != kOk) return status;
    const PayloadReader reader(reply.payload(), reply.payloadLength());
    if (reader.size() < need) return kSizeMismatch;
    return decode(reader);
}

std::uint8_t Send(ControlEndpoint& ep, std::uint16_t command, Payload payload = {}) {
    return Transact(ep, command, payload, 0, [](const PayloadReader&) { return kOk; });
}

// A getter of fixed shape: the payload bytes it needs and how to decode them.
template <class T>
struct ValueQuery {
    std::uint16_t command;
    std::size_t bytes;
    T (*decode)(const PayloadReader&);
};

template <class T>
std::uint8_t Query(ControlEndpoint& ep, const ValueQuery<T>& q, T& out) {
    return Transact(ep, q.command, {}, q.bytes, [&](const PayloadReader& r) {
        out = q.decode(r);
        return kOk;
    });
}

using U16Pair = std::pair<std::uint16_t, std::uint16_t>;

std::uint32_t DecodeU32(const PayloadReader& r) { return r.u32(0); }
std::uint32_t DecodeU16(const PayloadReader& r) { return r.u16(0); }
std::uint8_t DecodeU8(const PayloadReader& r) { return r.u8(0); }
std::int32_t DecodeSignedByte(const PayloadReader& r) { return static_cast<std::int8_t>(r.u8(0)); }
std::uint32_t DecodeFlag(const PayloadReader& r) { return r.u8(0) != 0 ? 1u : 0u; }
U16Pair DecodeInOrder(const PayloadReader& r) { return {r.u16(0), r.u16(2)}; }
// These two replies carry the second value first.
U16Pair DecodeSwapped(const PayloadReader& r) { return {r.u16(2), r.u16(0)}; }

constexpr ValueQuery<std::int32_t> kTriggerMode{cmd::kGetTriggerMode, 1, DecodeSignedByte};
constexpr ValueQuery<std::uint32_t> kLidarExposureMode{cmd::kGetLidarExposureMode, 1, DecodeFlag};
constexpr ValueQuery<std::uint32_t> kRgbExposureMode{cmd::kGetRgbExposureMode, 1, DecodeFlag};
constexpr ValueQuery<std::uint32_t> kRgbSensorGain{cmd::kGetRgbSensorGain, 2, DecodeU16};
constexpr ValueQuery<std::uint8_t> kDistanceMeasure{cmd::kGetDistanceMeasure, 1, DecodeU8};
constexpr ValueQuery<std::uint32_t> kCalibrationOffset{cmd::kGetCalibrationOffset, 4, DecodeU32};
constexpr ValueQuery<std::uint32_t> kDistanceOffset{cmd::kGetDistanceOffset, 4, DecodeU32};
constexpr ValueQuery<U16Pair> kHardTriggerFilter{cmd::kGetHardTriggerFilter, 4, DecodeInOrder};
constexpr ValueQuery<U16Pair> kRgbExposureRange{cmd::kGetRgbExposureRange, 4, DecodeSwapped};
constexpr ValueQuery<U16Pair> kRgbGainRange{cmd::kGetRgbGainRange, 4, DecodeSwapped};

constexpr std::size_t kExtrinsicCount = 12;
constexpr std::size_t kIntrinsicRecord = 10;
constexpr std::size_t kIntrinsicSent = 8;     // fx, fy, cx, cy, k1..k4
constexpr std::size_t kIntrinsicMinimum = 4;  // fx, fy, cx, cy: never defaulted

std::uint8_t QueryExtrinsics(ControlEndpoint& ep, std::uint16_t command, float* values) {
    return Transact(ep, command, {}, 8 * kExtrinsicCount, [&](const PayloadReader& r) {
        r.doublesAsFloats(values, kExtrinsicCount);
        return kOk;
    });
}

// Serial number and device type: the reply's bytes, NUL-padded to size.
std::uint8_t QueryText(ControlEndpoint& ep, std::uint16_t command, std::uint8_t* buffer, std::uint32_t size) {
    return Transact(ep, command, {}, 1, [&](const PayloadReader& r) {
        if (r.size() >= size) return kBufferTooSmall;  // no room for the terminating NUL
        std::memset(buffer, 0, size);
        std::memcpy(buffer, r.data(), r.size());
        return kOk;
    });
}

// ------------------------------------------------------------ call wrappers

struct LookupCodes {
    std::int32_t nullIp;
    std::int32_t absent;
};
constexpr LookupCodes kStatusLookup{DEV_DATA_SIZE_MISMATCH, DEV_HANDLE_NOT_IN_LIST};
constexpr LookupCodes kLibraryLookup{RC_INVALID_TARGET, RC_DEVICE_NOT_FOUND};

// Runs body(endpoint) with the registry lock held shared for its whole run.
template <class Body>
std::int32_t OnDevice(const char* ip, const LookupCodes& codes, Body&& body) {
    if (ip == nullptr) return codes.nullIp;
    Registry& registry = Registry::get();
    std::shared_lock<std::shared_mutex> lock(registry.mutex());
    DeviceRecord* device = registry.find(ip);
    if (device == nullptr) return codes.absent;
    return body(device->ctrl);
}

template <class Body>
std::int32_t StatusCall(const char* ip, Body&& body) {
    return apiGuard<std::int32_t>(DEV_UNDEFINED_ERROR, [&] { return OnDevice(ip, kStatusLookup, body); });
}

template <class Body>
std::int32_t LibraryCall(const char* ip, Body&& body) {
    return apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&] { return OnDevice(ip, kLibraryLookup, body); });
}

std::int32_t ToLibraryCode(std::uint8_t status) { return status == kOk ? RC_OK : RC_GENERAL_ERROR; }

std::int32_t Action(const char* ip, std::uint16_t command) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t { return Send(ep, command); });
}

// A setter without host checks: `encode` fills the payload.
template <class Encode>
std::int32_t Set(const char* ip, std::uint16_t command, Encode&& encode) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        PayloadWriter w;
        encode(w);
        return Send(ep, command, w.view());
    });
}

template <class T>
std::int32_t GetValue(const char* ip, T* out, const ValueQuery<T>& q) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (out == nullptr) return kSizeMismatch;
        return Query(ep, q, *out);
    });
}

template <class T>
std::int32_t GetPair(const char* ip, T* first, T* second, const ValueQuery<U16Pair>& q) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (first == nullptr || second == nullptr) return kSizeMismatch;
        U16Pair values;
        const std::uint8_t status = Query(ep, q, values);
        if (status == kOk) {
            *first = values.first;
            *second = values.second;
        }
        return status;
    });
}

// 0 for a known sensor (command chosen), else the code to return.
std::uint8_t PickSensor(std::int32_t sensor, std::uint16_t lidar, std::uint16_t rgb, std::uint16_t& command) {
    if (sensor == kSensorLidar) {
        command = lidar;
        return kOk;
    }
    if (sensor == kSensorRgb) {
        command = rgb;
        return kOk;
    }
    return kUnknownSensor;
}

// Intrinsics exist only for the RGB camera.
std::uint8_t CheckIntrinsicSensor(std::int32_t sensor) {
    if (sensor == kSensorLidar) return kLidarNotSupported;
    return sensor == kSensorRgb ? kOk : kUnknownSensor;
}

}  // namespace

// ------------------------------------------------------------ internal queries

std::uint8_t QueryDistanceOffset(ControlEndpoint& ep, std::uint32_t& out) { return Query(ep, kDistanceOffset, out); }

std::uint8_t QueryCalibrationDistanceOffset(ControlEndpoint& ep, std::uint32_t& out) {
    return Query(ep, kCalibrationOffset, out);
}

std::uint8_t QueryIntrinsics(ControlEndpoint& ep, float record[10]) {
    return Transact(ep, cmd::kGetRgbIntrinsics, {}, 8 * kIntrinsicMinimum, [&](const PayloadReader& r) {
        std::size_t n = r.size() / 8;
        if (n > kIntrinsicRecord) n = kIntrinsicRecord;
        for (std::size_t i = kIntrinsicMinimum; i < kIntrinsicRecord; ++i) record[i] = 0.0f;
        r.doublesAsFloats(record, n);
        return kOk;
    });
}

std::uint8_t QueryLidarToRgbExtrinsics(ControlEndpoint& ep, float values[12]) {
    return QueryExtrinsics(ep, cmd::kGetLidarToRgbExtrinsics, values);
}

}  // namespace orb

using namespace orb;

extern "C" {

int32_t ZelStart(const char* ip) { return Action(ip, cmd::kStart); }
int32_t ZelStop(const char* ip) { return Action(ip, cmd::kStop); }
int32_t ZelSoftTrigger(const char* ip) { return Action(ip, cmd::kSoftTrigger); }
int32_t ZelSaveConfigureInfo(const char* ip) { return Action(ip, cmd::kSaveConfigure); }
int32_t ZelRemoveConfigureInfo(const char* ip) { return Action(ip, cmd::kRemoveConfigure); }

int32_t ZelSetTriggerMode(const char* ip, uint8_t mode) {
    return Set(ip, cmd::kSetTriggerMode, [&](PayloadWriter& w) { w.u8(mode); });
}

int32_t ZelGetTriggerMode(const char* ip, int32_t* mode) { return GetValue(ip, mode, kTriggerMode); }

int32_t ZelSetExposureMode(const char* ip, int32_t sensor, int32_t mode) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        std::uint16_t command = 0;
        if (const std::uint8_t bad = PickSensor(sensor, cmd::kSetLidarExposure, cmd::kSetRgbExposureMode, command))
            return bad;
        PayloadWriter w;
        // The LiDAR takes automatic exposure as the value 1000 in a 16-bit field.
        if (sensor == kSensorLidar)
            w.u16(mode != 0 ? 1000 : 0);
        else
            w.u8(mode != 0 ? 1 : 0);
        return Send(ep, command, w.view());
    });
}

int32_t ZelGetExposureMode(const char* ip, int32_t sensor, uint32_t* mode) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (sensor != kSensorLidar && sensor != kSensorRgb) return kUnknownSensor;
        if (mode == nullptr) return kSizeMismatch;
        return Query(ep, sensor == kSensorLidar ? kLidarExposureMode : kRgbExposureMode, *mode);
    });
}

int32_t ZelSetExposureTime(const char* ip, int32_t sensor, const uint32_t* values, int32_t count) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (count < 1 || count > 4) {
            SetDetailMessageParamsExceeded();
            return kCountOutOfRange;
        }
        std::uint16_t command = 0;
        if (const std::uint8_t bad = PickSensor(sensor, cmd::kSetLidarExposure, cmd::kSetRgbExposureTime, command))
            return bad;
        if (values == nullptr) return kSizeMismatch;
        const std::uint32_t maximum = sensor == kSensorLidar ? 4000 : 1404;
        PayloadWriter w;
        for (std::int32_t i = 0; i < count; ++i) {
            if (values[i] < 1 || values[i] > maximum) return kOutOfRange;
            w.u16(static_cast<std::uint16_t>(values[i]));
        }
        return Send(ep, command, w.view());
    });
}

int32_t ZelGetExposureTime(const char* ip, int32_t sensor, uint32_t* values, int32_t capacity, int32_t* count) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (capacity < 1) {
            SetDetailMessageParamsExceeded();
            return kCapacityOutOfRange;
        }
        std::uint16_t command = 0;
        if (const std::uint8_t bad =
                PickSensor(sensor, cmd::kGetLidarExposureTime, cmd::kGetRgbExposureTime, command))
            return bad;
        if (values == nullptr || count == nullptr) return kSizeMismatch;
        return Transact(ep, command, {}, 0, [&](const PayloadReader& r) {
            const std::size_t n = r.size() / 2;
            if (n > static_cast<std::size_t>(capacity)) return kBufferTooSmall;
            for (std::size_t i = 0; i < n; ++i) values[i] = r.u16(2 * i);
            *count = static_cast<std::int32_t>(n);
            return kOk;
        });
    });
}

int32_t ZelSetHardTriggerFilterParams(const char* ip, int32_t first, int32_t second) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (first < 1000 || first > 65535 || second < 50 || second > 65535) return kOutOfRange;
        PayloadWriter w;
        w.u16(static_cast<std::uint16_t>(first));
        w.u16(static_cast<std::uint16_t>(second));
        return Send(ep, cmd::kSetHardTriggerFilter, w.view());
    });
}

int32_t ZelGetHardTriggerFilterParams(const char* ip, uint32_t* first, uint32_t* second) {
    return GetPair(ip, first, second, kHardTriggerFilter);
}

int32_t ZelSetRgbSensorGain(const char* ip, uint32_t gain) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (gain < 16 || gain > 988) return kOutOfRange;
        PayloadWriter w;
        w.u16(static_cast<std::uint16_t>(gain));
        return Send(ep, cmd::kSetRgbSensorGain, w.view());
    });
}

int32_t ZelGetRgbSensorGain(const char* ip, uint32_t* gain) { return GetValue(ip, gain, kRgbSensorGain); }

int32_t ZelOrbGetRgbExposureTimeRange(const char* ip, uint16_t* first, uint16_t* second) {
    return GetPair(ip, first, second, kRgbExposureRange);
}

int32_t ZelOrbGetRgbGainRange(const char* ip, uint16_t* first, uint16_t* second) {
    return GetPair(ip, first, second, kRgbGainRange);
}

int32_t ZelSetDistanceMeasureConfigure(const char* ip, uint8_t value) {
    return Set(ip, cmd::kSetDistanceMeasure, [&](PayloadWriter& w) { w.u8(value); });
}

int32_t ZelGetDistanceMeasureConfigure(const char* ip, uint8_t* value) {
    return GetValue(ip, value, kDistanceMeasure);
}

int32_t ZelOrbSetCalibrationDistanceOffset(const char* ip, uint32_t offset) {
    return Set(ip, cmd::kSetCalibrationOffset, [&](PayloadWriter& w) { w.u32(offset); });
}

int32_t ZelOrbGetCalibrationDistanceOffset(const char* ip, uint32_t* offset) {
    return GetValue(ip, offset, kCalibrationOffset);
}

int32_t ZelOrbSetDistanceOffset(const char* ip, uint32_t offset) {
    return LibraryCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        PayloadWriter w;
        w.u32(offset);
        return ToLibraryCode(Send(ep, cmd::kSetDistanceOffset, w.view()));
    });
}

int32_t ZelOrbGetDistanceOffset(const char* ip, uint32_t* offset) {
    return LibraryCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (offset == nullptr) return RC_PARAM_OUT_OF_BOUNDS;
        return ToLibraryCode(QueryDistanceOffset(ep, *offset));
    });
}

int32_t ZelOrbSetDeviceSerialNumber(const char* ip, const char* serial) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (serial == nullptr || serial[0] == '\0') return kSizeMismatch;
        return Send(ep, cmd::kSetSerialNumber, {reinterpret_cast<const std::uint8_t*>(serial), std::strlen(serial)});
    });
}

int32_t ZelOrbGetDeviceSerialNumber(const char* ip, uint8_t* buffer, uint32_t size) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (buffer == nullptr || size == 0) return kSizeMismatch;
        return QueryText(ep, cmd::kGetSerialNumber, buffer, size);
    });
}

int32_t ZelOrbGetDeviceType(const char* ip, uint8_t* buffer, uint32_t size) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (buffer == nullptr || size == 0) return kSizeMismatch;
        return QueryText(ep, cmd::kGetDeviceType, buffer, size);
    });
}

int32_t ZelOrbGetDeviceSoftwareVersion(const char* ip, char* first, char* second, uint32_t size) {
    constexpr std::size_t kVersionText = 16;  // "255.255.255.255" and its NUL
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (first == nullptr || second == nullptr || size < kVersionText) return kSizeMismatch;
        return Transact(ep, cmd::kGetSoftwareVersion, {}, 8, [&](const PayloadReader& r) {
            char* const texts[2] = {first, second};
            for (std::size_t t = 0; t < 2; ++t) {
                std::memset(texts[t], 0, size);
                const std::size_t o = 4 * t;
                std::snprintf(texts[t], kVersionText, "%d.%d.%d.%d", r.u8(o), r.u8(o + 1), r.u8(o + 2),
                              r.u8(o + 3));
            }
            return kOk;
        });
    });
}

int32_t ZelSetIntrinsicParam(const char* ip, int32_t sensor, const float* values) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (const std::uint8_t bad = CheckIntrinsicSensor(sensor)) return bad;
        if (values == nullptr) return kSizeMismatch;
        PayloadWriter w;
        w.floatsAsDoubles(values, kIntrinsicSent);
        return Send(ep, cmd::kSetRgbIntrinsics, w.view());
    });
}

int32_t ZelGetIntrinsicParam(const char* ip, int32_t sensor, float* record) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (const std::uint8_t bad = CheckIntrinsicSensor(sensor)) return bad;
        if (record == nullptr) return kSizeMismatch;
        return QueryIntrinsics(ep, record);
    });
}

int32_t ZelSetLidarToRgbExtrinsicParam(const char* ip, const float* values) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (values == nullptr) return kSizeMismatch;
        PayloadWriter w;
        w.floatsAsDoubles(values, kExtrinsicCount);
        return Send(ep, cmd::kSetLidarToRgbExtrinsics, w.view());
    });
}

int32_t ZelGetLidarToRgbExtrinsicParam(const char* ip, float* values) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (values == nullptr) return kSizeMismatch;
        return QueryLidarToRgbExtrinsics(ep, values);
    });
}

int32_t ZelGetLidarToIMUExtrinsicParam(const char* ip, float* values) {
    return StatusCall(ip, [&](ControlEndpoint& ep) -> std::int32_t {
        if (values == nullptr) return kSizeMismatch;
        return QueryExtrinsics(ep, cmd::kGetLidarToImuExtrinsics, values);
    });
}

bool ZelGetDeviceRgbEnabled(const char* ip) {
    return apiGuard(false, [&] {
        return OnDevice(ip, {0, 0}, [](ControlEndpoint& ep) -> std::int32_t { return ep.rgbEnabled.load() != 0; }) != 0;
    });
}

bool ZelGetDeviceRgbRotation(const char* ip) {
    return apiGuard(false, [&] {
        return OnDevice(ip, {0, 0}, [](ControlEndpoint& ep) -> std::int32_t { return ep.rgbRotation.load() != 0; }) != 0;
    });
}

}  // extern "C"
