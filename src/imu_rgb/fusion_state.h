// Per-device RGB-D fusion state. (Owned by the IMU/RGB subsystem.)
#pragma once

#include <cstdint>

namespace orb {

struct FusionState {
    std::int32_t maxDepth = 5000;
    std::int32_t imageWidth = 1600;
    std::int32_t imageHeight = 1200;
    std::int32_t depthTolerance = 25;
};

}  // namespace orb
