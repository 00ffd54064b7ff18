// Per-device host filter settings (distance window, compensation, intensity
// table, filter pipeline) and the seams the decoder and the frame thread call.
// (Owned by the filters subsystem.)
#pragma once

#include <atomic>
#include <cstdint>

#include "orb_sdk.h"

namespace orb {

struct FilterSettings {
    std::atomic<bool> distanceFilterEnable{false};
    std::atomic<std::uint32_t> distanceMax{100};
    std::atomic<std::uint32_t> distanceMin{0};
    std::atomic<bool> compensationEnable{false};
    std::atomic<std::int32_t> distanceOffset{0};
    std::atomic<std::int32_t> calibrationDistanceOffset{0};
    std::atomic<bool> intensityFilterEnable{false};
};

// Distance window, run by the decoder on every decoded point.
void ApplyDistanceWindow(const FilterSettings& s, ZelOrbPointData& p);
// Per-frame chain (compensation, intensity table, pipeline), run by the frame
// thread on the working frame in the single-echo modes.
void RunFrameChain(FilterSettings& s, ZelOrbPointData* frame);

}  // namespace orb
