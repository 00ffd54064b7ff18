// Per-device RGB-D fusion state (the record's dev.fusion).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

namespace orb {

struct FusionParams;     // fusion.h: camera matrix, maps, projection
struct FusionWorkspace;  // fusion.h: per-call scratch, reused

struct FusionState {
    FusionState();
    ~FusionState();
    FusionState(const FusionState&) = delete;
    FusionState& operator=(const FusionState&) = delete;

    std::int32_t maxDepth = 5000;
    std::int32_t imageWidth = 1600;
    std::int32_t imageHeight = 1200;
    std::int32_t depthTolerance = 25;

    // Replaced whole by a successful initialisation; readers take a copy of
    // the pointer, so a rebuild never changes parameters under a running fusion.
    std::mutex paramsMutex;
    std::shared_ptr<const FusionParams> params;  // null until initialised

    std::mutex workMutex;  // serialises fusion calls of this device over the workspace
    std::unique_ptr<FusionWorkspace> work;
};

}  // namespace orb
