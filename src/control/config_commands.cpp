#include "control/config_commands.h"

#include <cstring>
#include <limits>

#include "core/bytes.h"

namespace orb {

// ------------------------------------------------------------ payload codec

void PayloadWriter::u16(std::uint16_t v) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + 2);
    bytes::writeBe16(&bytes_[at], v);
}

void PayloadWriter::u32(std::uint32_t v) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + 4);
    bytes::writeBe32(&bytes_[at], v);
}

void PayloadWriter::f64(double v) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + 8);
    bytes::writeLeDouble(&bytes_[at], v);
}

void PayloadWriter::floatsAsDoubles(const float* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) f64(static_cast<double>(values[i]));
}

std::uint16_t PayloadReader::u16(std::size_t off) const { return bytes::readBe16(p_ + off); }

std::uint32_t PayloadReader::u32(std::size_t off) const { return bytes::readBe32(p_ + off); }

float PayloadReader::f64AsFloat(std::size_t off) const {
    const double v = bytes::readLeDouble(p_ + off);
    constexpr double kMax = std::numeric_limits<float>::max();
    if (v > kMax) return std::numeric_limits<float>::infinity();
    if (v < -kMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

void PayloadReader::doublesAsFloats(float* out, std::size_t n) const {
    for (std::size_t i = 0; i < n; ++i) out[i] = f64AsFloat(8 * i);
}

// ------------------------------------------------------------ one exchange

std::uint8_t sendCommand(ControlEndpoint& ep, std::uint16_t command, Payload payload) {
    return transact(ep, command, payload, 0, [](const PayloadReader&) { return kStatusOk; });
}

namespace {

std::uint32_t decodeU32(const PayloadReader& r) { return r.u32(0); }
std::uint32_t decodeU16(const PayloadReader& r) { return r.u16(0); }
std::uint8_t decodeU8(const PayloadReader& r) { return r.u8(0); }
std::int32_t decodeSignedByte(const PayloadReader& r) { return static_cast<std::int8_t>(r.u8(0)); }
std::uint32_t decodeFlag(const PayloadReader& r) { return r.u8(0) != 0 ? 1u : 0u; }
U16Pair decodeInOrder(const PayloadReader& r) { return {r.u16(0), r.u16(2)}; }
// These two replies carry the second value first.
U16Pair decodeSwapped(const PayloadReader& r) { return {r.u16(2), r.u16(0)}; }

}  // namespace

const ValueQuery<std::int32_t> kQueryTriggerMode{cmd::kGetTriggerMode, 1, decodeSignedByte};
const ValueQuery<std::uint32_t> kQueryLidarExposureMode{cmd::kGetLidarExposureMode, 1, decodeFlag};
const ValueQuery<std::uint32_t> kQueryRgbExposureMode{cmd::kGetRgbExposureMode, 1, decodeFlag};
const ValueQuery<std::uint32_t> kQueryRgbSensorGain{cmd::kGetRgbSensorGain, 2, decodeU16};
const ValueQuery<std::uint8_t> kQueryDistanceMeasure{cmd::kGetDistanceMeasure, 1, decodeU8};
const ValueQuery<std::uint32_t> kQueryCalibrationOffset{cmd::kGetCalibrationOffset, 4, decodeU32};
const ValueQuery<std::uint32_t> kQueryDistanceOffset{cmd::kGetDistanceOffset, 4, decodeU32};
const ValueQuery<U16Pair> kQueryHardTriggerFilter{cmd::kGetHardTriggerFilter, 4, decodeInOrder};
const ValueQuery<U16Pair> kQueryRgbExposureRange{cmd::kGetRgbExposureRange, 4, decodeSwapped};
const ValueQuery<U16Pair> kQueryRgbGainRange{cmd::kGetRgbGainRange, 4, decodeSwapped};

std::uint8_t queryExtrinsics(ControlEndpoint& ep, std::uint16_t command, float* values) {
    return transact(ep, command, {}, 8 * kExtrinsicCount, [&](const PayloadReader& r) {
        r.doublesAsFloats(values, kExtrinsicCount);
        return kStatusOk;
    });
}

std::uint8_t queryText(ControlEndpoint& ep, std::uint16_t command, std::uint8_t* buffer, std::uint32_t size) {
    return transact(ep, command, {}, 1, [&](const PayloadReader& r) {
        if (r.size() >= size) return kStatusBufferTooSmall;  // no room for the terminating NUL
        std::memset(buffer, 0, size);
        std::memcpy(buffer, r.data(), r.size());
        return kStatusOk;
    });
}

std::uint8_t pickSensor(std::int32_t sensor, std::uint16_t lidar, std::uint16_t rgb, std::uint16_t& command) {
    if (sensor == kSensorLidar) {
        command = lidar;
        return kStatusOk;
    }
    if (sensor == kSensorRgb) {
        command = rgb;
        return kStatusOk;
    }
    return kStatusUnknownSensor;
}

std::uint8_t checkIntrinsicSensor(std::int32_t sensor) {
    if (sensor == kSensorLidar) return kStatusLidarNotSupported;
    return sensor == kSensorRgb ? kStatusOk : kStatusUnknownSensor;
}

// ------------------------------------------------------------ library queries

std::uint8_t queryDistanceOffset(ControlEndpoint& ep, std::uint32_t& out) { return query(ep, kQueryDistanceOffset, out); }

std::uint8_t queryCalibrationDistanceOffset(ControlEndpoint& ep, std::uint32_t& out) {
    return query(ep, kQueryCalibrationOffset, out);
}

std::uint8_t queryIntrinsics(ControlEndpoint& ep, float record[kIntrinsicRecord]) {
    return transact(ep, cmd::kGetRgbIntrinsics, {}, 8 * kIntrinsicMinimum, [&](const PayloadReader& r) {
        std::size_t n = r.size() / 8;
        if (n > kIntrinsicRecord) n = kIntrinsicRecord;
        for (std::size_t i = kIntrinsicMinimum; i < kIntrinsicRecord; ++i) record[i] = 0.0f;
        r.doublesAsFloats(record, n);
        return kStatusOk;
    });
}

std::uint8_t queryLidarToRgbExtrinsics(ControlEndpoint& ep, float values[kExtrinsicCount]) {
    return queryExtrinsics(ep, cmd::kGetLidarToRgbExtrinsics, values);
}

}  // namespace orb
