// Wall scenes for the plane-angle measurement: a corner of two flat walls
// and a wall with range noise and stray returns, as a camera sees them.
#pragma once

#include <cstdint>

#include "scene.h"

namespace orbsim {

// Two flat vertical walls meeting at a vertical edge. The first wall is the
// one of makeWallScene (x cos(yaw) + y sin(yaw) = distance); it is kept on
// the side of the edge that holds the camera's axis. The second wall passes
// through the edge with its normal at secondYawDeg and continues beyond the
// edge, laterally away from the axis (or away from the camera when it runs
// parallel to the axis). Each pixel returns the nearer of the two faces.
struct CornerSpec {
    double distance = 200;
    double yawDeg = 50;
    double edgeY = 60;  // lateral position of the edge on the first wall; not 0
    double secondYawDeg = -40;
    std::uint8_t intensity = 100;
};
ScenePtr makeCornerScene(const CornerSpec& spec);

// A flat wall (as makeWallScene) with Gaussian range noise of sigma along
// each ray and, per frame, a fraction of pixels returning from a random range
// between half and one and a half times distance. Seeded per frame.
ScenePtr makeNoisyWallScene(double distance, double yawDeg, double sigma, double strayFraction,
                            std::uint32_t seed = 11, std::uint8_t intensity = 100);

}  // namespace orbsim
