// Configuration commands over the UDP command exchange: the command codes,
// the payload codec (integers big-endian, doubles little-endian IEEE-754)
// and one exchange per call that decodes the reply only on success. The
// exported getters and setters are built from these pieces; the queries at
// the end are the ones the library runs on its own.
//
// Every exchange returns the status code (0 success, 3..255 the device, 4 no
// reply, 33 control socket not open) or 47 when the reply's payload is
// shorter than the values it must carry. Outputs are written only on 0. The
// caller keeps the endpoint alive (a reference to its device record).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "control/command.h"
#include "control/control_endpoint.h"
#include "orb_sdk.h"

namespace orb {

constexpr std::uint8_t kStatusOk = DEV_SUCCESS;
constexpr std::uint8_t kStatusOutOfRange = DEV_PARAM_OUT_OF_RANGE;
constexpr std::uint8_t kStatusCountOutOfRange = DEV_DEVICE_NOT_ON;  // fixed code for a bad value count
constexpr std::uint8_t kStatusLidarNotSupported = DEV_DEVICE_NOT_SUPPORTED;
constexpr std::uint8_t kStatusBufferTooSmall = DEV_BUFFER_OUT_OF_MEMORY;
constexpr std::uint8_t kStatusUnknownSensor = DEV_TYPE_NOT_EXIST;
constexpr std::uint8_t kStatusSizeMismatch = DEV_DATA_SIZE_MISMATCH;
constexpr std::uint8_t kStatusCapacityOutOfRange = DEV_SOCKET_SETUP_FAILED;  // paired with the detail message

// The sensor a call names: the LiDAR or the RGB camera.
enum SensorSelector : std::int32_t { kSensorLidar = 1, kSensorRgb = 2 };

namespace cmd {
constexpr std::uint16_t kStart = 0x0000;
constexpr std::uint16_t kStop = 0x0001;
constexpr std::uint16_t kSoftTrigger = 0x0002;
constexpr std::uint16_t kSaveConfigure = 0x0004;
constexpr std::uint16_t kRemoveConfigure = 0x0005;
constexpr std::uint16_t kHandshake = 0x0100;
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
constexpr std::uint16_t kGetRgbEnabled = 0x0328;
constexpr std::uint16_t kGetLidarToRgbExtrinsics = 0x0329;
constexpr std::uint16_t kGetRgbIntrinsics = 0x032A;
constexpr std::uint16_t kGetRgbExposureMode = 0x032B;
constexpr std::uint16_t kGetRgbExposureTime = 0x032C;
constexpr std::uint16_t kGetHardTriggerFilter = 0x032F;
constexpr std::uint16_t kGetRgbSensorGain = 0x0332;
constexpr std::uint16_t kGetLidarToImuExtrinsics = 0x0336;
constexpr std::uint16_t kGetRgbRotation = 0x0337;
constexpr std::uint16_t kGetRgbExposureRange = 0x0338;
constexpr std::uint16_t kGetRgbGainRange = 0x0339;
constexpr std::uint16_t kGetDistanceOffset = 0x033B;
constexpr std::uint16_t kGetCalibrationOffset = 0x033C;
constexpr std::uint16_t kGetDistanceMeasure = 0x033D;
constexpr std::uint16_t kGetInverted = 0x033E;
}  // namespace cmd

constexpr std::size_t kExtrinsicCount = 12;
constexpr std::size_t kIntrinsicRecord = 10;
constexpr std::size_t kIntrinsicSent = 8;     // fx, fy, cx, cy, k1..k4
constexpr std::size_t kIntrinsicMinimum = 4;  // fx, fy, cx, cy: never defaulted

// ------------------------------------------------------------ payload codec

struct Payload {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

class PayloadWriter {
public:
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void f64(double v);
    void floatsAsDoubles(const float* values, std::size_t n);
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
    std::uint16_t u16(std::size_t off) const;
    std::uint32_t u32(std::size_t off) const;
    // Doubles beyond float's range become infinities instead of undefined casts.
    float f64AsFloat(std::size_t off) const;
    void doublesAsFloats(float* out, std::size_t n) const;

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

// ------------------------------------------------------------ one exchange

// Runs one exchange; on success checks the reply carries `need` payload bytes
// and hands it to `decode`, which writes the outputs and returns the status.
template <class Decode>
std::uint8_t transact(ControlEndpoint& ep, std::uint16_t command, Payload payload, std::size_t need,
                      Decode&& decode) {
    RequestBuffer request(command);
    // A payload beyond one datagram could not be sent intact.
    if (payload.size != 0 && !request.setPayload(payload.data, payload.size)) return kStatusSizeMismatch;
    ReplyBuffer reply;
    const std::uint8_t status = commandExchange(ep, request, &reply);
    if (status != kStatusOk) return status;
    const PayloadReader reader(reply.payload(), reply.payloadLength());
    if (reader.size() < need) return kStatusSizeMismatch;
    return decode(reader);
}

std::uint8_t sendCommand(ControlEndpoint& ep, std::uint16_t command, Payload payload = {});

// A getter of fixed shape: the payload bytes it needs and how to decode them.
template <class T>
struct ValueQuery {
    std::uint16_t command;
    std::size_t bytes;
    T (*decode)(const PayloadReader&);
};

template <class T>
std::uint8_t query(ControlEndpoint& ep, const ValueQuery<T>& q, T& out) {
    return transact(ep, q.command, {}, q.bytes, [&](const PayloadReader& r) {
        out = q.decode(r);
        return kStatusOk;
    });
}

using U16Pair = std::pair<std::uint16_t, std::uint16_t>;

extern const ValueQuery<std::int32_t> kQueryTriggerMode;
extern const ValueQuery<std::uint32_t> kQueryLidarExposureMode;
extern const ValueQuery<std::uint32_t> kQueryRgbExposureMode;
extern const ValueQuery<std::uint32_t> kQueryRgbSensorGain;
extern const ValueQuery<std::uint8_t> kQueryDistanceMeasure;
extern const ValueQuery<std::uint32_t> kQueryCalibrationOffset;
extern const ValueQuery<std::uint32_t> kQueryDistanceOffset;
extern const ValueQuery<U16Pair> kQueryHardTriggerFilter;
extern const ValueQuery<U16Pair> kQueryRgbExposureRange;
extern const ValueQuery<U16Pair> kQueryRgbGainRange;

// 12 doubles of an extrinsics reply, as floats in reply order.
std::uint8_t queryExtrinsics(ControlEndpoint& ep, std::uint16_t command, float* values);
// Serial number and device type: the reply's bytes, NUL-padded to size.
std::uint8_t queryText(ControlEndpoint& ep, std::uint16_t command, std::uint8_t* buffer, std::uint32_t size);

// 0 for a known sensor (command chosen), else the code to return.
std::uint8_t pickSensor(std::int32_t sensor, std::uint16_t lidar, std::uint16_t rgb, std::uint16_t& command);
// Intrinsics exist only for the RGB camera.
std::uint8_t checkIntrinsicSensor(std::int32_t sensor);

// ------------------------------------------------------------ library queries

// Device distance offset (command 0x033B), big-endian u32 of the reply.
std::uint8_t queryDistanceOffset(ControlEndpoint& ep, std::uint32_t& out);
// Calibration distance offset (command 0x033C), big-endian u32 of the reply.
std::uint8_t queryCalibrationDistanceOffset(ControlEndpoint& ep, std::uint32_t& out);
// RGB camera intrinsics (command 0x032A): fx, fy, cx, cy, k1..k4, two spare.
// On 0, floats 4..9 are zeroed and then the reply's doubles (at least 4, at
// most 10) are stored from float 0 on; fewer than 4 doubles give 47.
std::uint8_t queryIntrinsics(ControlEndpoint& ep, float record[kIntrinsicRecord]);
// LiDAR-to-RGB extrinsics (command 0x0329): 12 values in reply order.
std::uint8_t queryLidarToRgbExtrinsics(ControlEndpoint& ep, float values[kExtrinsicCount]);

}  // namespace orb
