// Per-device host filter settings (distance window, compensation, intensity
// table, filter pipeline) and the two places they act: the decoder runs the
// distance window on every point, the frame thread runs the per-frame chain.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "OrbFiltersALG.h"
#include "orb_sdk.h"

namespace orb {

// (distance, minimum intensity) pairs, sorted by distance ascending; a
// distance D stands for D * 100 in the unit of the point coordinates.
using IntensityTable = std::vector<std::pair<double, double>>;

struct FilterSettings {
    FilterSettings();
    FilterSettings(const FilterSettings&) = delete;
    FilterSettings& operator=(const FilterSettings&) = delete;

    std::atomic<bool> distanceFilterEnable{false};
    std::atomic<std::uint32_t> distanceMax{100};
    std::atomic<std::uint32_t> distanceMin{0};
    std::atomic<bool> compensationEnable{false};
    std::atomic<std::int32_t> distanceOffset{0};
    std::atomic<std::int32_t> calibrationDistanceOffset{0};
    std::atomic<bool> intensityFilterEnable{false};
    OrbFiltersALG pipeline;  // constructed with init() run

    // The frame thread reads the table while an application thread may
    // replace it: each table is an immutable snapshot, swapped whole.
    std::shared_ptr<const IntensityTable> intensityTable() const;
    void setIntensityTable(std::shared_ptr<const IntensityTable> table);

private:
    mutable std::mutex tableMutex_;
    std::shared_ptr<const IntensityTable> table_;
};

// The table built from the caller's arrays, sorted by distance (NaN last,
// equal distances in the given order).
IntensityTable buildIntensityTable(const double* distances, const double* intensities, std::size_t count);

// Distance window, run by the decoder on every decoded point.
void applyDistanceWindow(const FilterSettings& s, ZelOrbPointData& p);
// Per-frame chain (compensation, intensity table, pipeline), run by the frame
// thread on the working frame in the single-echo modes.
void runFrameChain(FilterSettings& s, ZelOrbPointData* frame);

}  // namespace orb
