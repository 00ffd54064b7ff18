// Nine-axis IMU stream: frame parsing and the per-device IMU thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "orb_sdk.h"

namespace orb {

constexpr std::size_t kImuFrameBytes = 58;

// Finds the first complete nine-axis frame in a datagram (bytes before the
// head magic and frames with a wrong tail are skipped). False when there is
// none; out is then untouched.
bool ParseImuPacket(const std::uint8_t* data, std::size_t n, ZelOrb9AxisImuData& out);

}  // namespace orb
