// Configuration queries the library itself runs on a device it already holds
// (connection, distance compensation, RGB undistortion, fusion). The caller
// holds the registry lock (shared or exclusive) that keeps the endpoint alive;
// these functions never take it again.
//
// Each returns the status code of the exchange (0 success, 3..255 the device,
// 4 no reply, 33 control socket not open) or 47 when the reply's payload is
// shorter than the values it must carry. Outputs are written only on 0.
#pragma once

#include <cstdint>

namespace orb {

struct ControlEndpoint;

// Device distance offset (command 0x033B), big-endian u32 of the reply.
std::uint8_t QueryDistanceOffset(ControlEndpoint& ep, std::uint32_t& out);
// Calibration distance offset (command 0x033C), big-endian u32 of the reply.
std::uint8_t QueryCalibrationDistanceOffset(ControlEndpoint& ep, std::uint32_t& out);
// RGB camera intrinsics (command 0x032A): fx, fy, cx, cy, k1..k4, two spare.
// On 0, floats 4..9 are zeroed and then the reply's doubles (at least 4, at
// most 10) are stored from float 0 on; fewer than 4 doubles give 47.
std::uint8_t QueryIntrinsics(ControlEndpoint& ep, float record[10]);
// LiDAR-to-RGB extrinsics (command 0x0329): 12 values in reply order.
std::uint8_t QueryLidarToRgbExtrinsics(ControlEndpoint& ep, float values[12]);

}  // namespace orb
