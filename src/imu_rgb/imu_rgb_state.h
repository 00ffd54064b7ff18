// Per-device IMU and RGB reception state, part of the control endpoint.
// (Owned by the IMU/RGB subsystem.)
#pragma once

namespace orb {

struct ImuRgbState {
};

}  // namespace orb
