// Plane yaw-angle measurement: slicing, random-sample line fits, full search,
// window tracking and smoothing. The exported calls share one process-wide
// MeasureSlot (owned by the library context); the pieces below also work on
// states of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "orb_sdk.h"

namespace orb {
namespace measure {

// Marks a missing fit in angles, correlations and window evaluations.
constexpr float kMissing = 404.0f;

// Result texts, exactly as callers compare them.
extern const char* const kTextOk;
extern const char* const kTextHashmapEmpty;
extern const char* const kTextHashmapError;
extern const char* const kTextAngleDataError;
extern const char* const kTextHistoryError;
extern const char* const kTextNotInitialised;
extern const char* const kTextNullArgument;
extern const char* const kTextInternalError;

constexpr std::int32_t kCodeOk = 0;
constexpr std::int32_t kCodeHistory = -98;
constexpr std::int32_t kCodeData = -99;
constexpr std::int32_t kCodeNoModule = -100;

struct Slice {
    std::vector<float> lateral;  // -y of each point, ascending
    std::vector<float> range;    // x of the same points
    std::int32_t count = 0;
};
using SliceTable = std::map<std::int32_t, Slice>;

struct Window {
    float lo;
    float hi;
};

struct FitResult {
    float angle;        // degrees, or kMissing
    float correlation;  // |least-squares r|, or kMissing
};

struct MeasureState {
    AngleMeasureParams params{-200, 200, -50, 50, 50, 10, 10, 400, 20, 30, 30.0f, 45.0f, 30.0f};
    std::int32_t ransacIterations = 10;
    std::int32_t ransacThreshold = 5;
    std::int32_t ransacMinInliers = 0;
    std::uint8_t historyLength = 5;
    bool needFullSearch = true;
    float smoothedAngle = 0.0f;
    float currentAngle = 0.0f;
    std::vector<Window> windows;
    std::deque<float> history;
};

// Copies the caller's parameters and reports doubtful ones on standard error;
// the parameters are kept either way.
void applyParams(MeasureState& state, const AngleMeasureParams& params);

// Slice key of a height; sliceHeight must be positive.
std::int32_t sliceKey(float z, std::int32_t sliceHeight);

// Points of the frame inside the box, cut into slices sorted by lateral.
// Empty when sliceHeight is not positive (the key would divide by zero).
SliceTable buildSlices(const ZelOrbPointData* frame, const AngleMeasureParams& params);

// Random-sample line fit of range over lateral on n points.
FitResult fitLine(const float* lateral, const float* range, std::int32_t n, const MeasureState& state);

// Index in an ascending list nearest to value, as the probing search finds it.
std::size_t probeIndex(const std::vector<float>& values, float value);

// Fits every slice in every window and keeps the fits consistent with last.
FitResult evaluateWindows(const SliceTable& slices, const std::vector<Window>& windows, float last,
                          const MeasureState& state);

// One measurement step on a frame; the caller holds whatever lock guards state.
AngleResult measureFrame(MeasureState& state, const ZelOrbPointData* frame, float* angle);

// The measurement the exported calls share: absent until enabled.
struct MeasureSlot {
    std::mutex mutex;
    std::unique_ptr<MeasureState> state;
};

// Sets up (or, with enable false, removes) the measurement: 1 when it is set
// up afterwards, else 0. Null parameters change nothing.
std::int32_t enableAngleMeasure(MeasureSlot& slot, bool enable, const AngleMeasureParams* params);
// One measurement step on the shared state; -100 when it is not set up.
AngleResult measurePlaneAngle(MeasureSlot& slot, const ZelOrbPointData* frame, float* angle);

}  // namespace measure
}  // namespace orb
