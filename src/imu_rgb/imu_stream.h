// Nine-axis IMU stream: frame parsing and the per-device IMU thread (started
// and stopped through imu_rgb_state.h).
//
// Frame (58 bytes): head magic, an unexamined word, seconds (48-bit LE),
// microseconds (LE u32), nine big-endian IEEE-754 floats, tail magic.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "imu_rgb/imu_rgb_state.h"
#include "orb_sdk.h"

namespace orb {

constexpr std::size_t kImuFrameBytes = 58;
constexpr std::chrono::milliseconds kImuPollWait{20};

// Finds the first complete nine-axis frame in a datagram (bytes before the
// head magic and frames with a wrong tail are skipped). False when there is
// none; out is then untouched.
bool parseImuPacket(const std::uint8_t* data, std::size_t n, ZelOrb9AxisImuData& out);

// Hands the newest sample out once, waiting up to `wait` for one:
// RC_OK or RC_IMU_GET_FAILED.
std::int32_t takeImuSample(ImuShared& imu, ZelOrb9AxisImuData& out, std::chrono::milliseconds wait = kImuPollWait);

}  // namespace orb
