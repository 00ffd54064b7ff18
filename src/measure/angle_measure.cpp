#include "measure/angle_measure.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <mutex>
#include <utility>

#include "core/diagnostics.h"

namespace orb {
namespace measure {

const char* const kTextOk = "OK";
const char* const kTextHashmapEmpty = "Hashmap is empty";
const char* const kTextHashmapError = "Hashmap is error";
const char* const kTextAngleDataError = "Angle data is error";
const char* const kTextHistoryError = "History data is error";
const char* const kTextNotInitialised = "Do not init algotithm module";
const char* const kTextNullArgument = "Frame or angle pointer is null";
const char* const kTextInternalError = "Angle measurement failed";

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// NaN correlations (range constant across a window) sort first so that the
// ordering stays strict and weak.
bool correlationLess(float a, float b) {
    if (std::isnan(a)) return !std::isnan(b);
    if (std::isnan(b)) return false;
    return a < b;
}

std::vector<Window> shifted(const std::vector<Window>& windows, float by) {
    std::vector<Window> out = windows;
    for (Window& w : out) {
        w.lo += by;
        w.hi += by;
    }
    return out;
}

AngleResult fail(float* angle, std::int32_t code, const char* text) {
    *angle = kNaN;
    return AngleResult{code, text};
}

// A full search fits every slice and takes the median slice angle.
bool fullSearch(MeasureState& state, const SliceTable& slices) {
    state.needFullSearch = false;
    float lo = std::numeric_limits<float>::infinity();
    float hi = -std::numeric_limits<float>::infinity();
    for (const auto& entry : slices) {
        lo = std::min(lo, entry.second.lateral.front());
        hi = std::max(hi, entry.second.lateral.back());
    }
    std::vector<float> angles;
    for (const auto& entry : slices) {
        const Slice& s = entry.second;
        if (s.count < state.params.minSlicePoints) continue;
        angles.push_back(fitLine(s.lateral.data(), s.range.data(), s.count, state).angle);
    }
    if (angles.empty()) return false;
    std::sort(angles.begin(), angles.end());
    const float median = angles[angles.size() / 2];
    // Half or more of the fits failed: the sentinel is not an angle.
    if (median == kMissing) return false;
    state.windows.assign(1, Window{lo, hi});
    state.currentAngle = median;
    state.smoothedAngle = median;
    return true;
}

void track(MeasureState& state, const SliceTable& slices) {
    const float last = state.history.back();
    const float shift = static_cast<float>(state.params.windowShift);
    const FitResult here = evaluateWindows(slices, state.windows, last, state);
    state.currentAngle = here.angle;

    std::vector<Window> left = shifted(state.windows, -shift);
    const FitResult l = evaluateWindows(slices, left, last, state);
    if (l.angle != kMissing && (l.correlation > here.correlation || state.currentAngle == kMissing)) {
        state.windows = std::move(left);
        state.currentAngle = l.angle;
    } else {
        std::vector<Window> right = shifted(state.windows, shift);
        const FitResult r = evaluateWindows(slices, right, last, state);
        if (r.angle != kMissing && (r.correlation > here.correlation || state.currentAngle == kMissing)) {
            state.windows = std::move(right);
            state.currentAngle = r.angle;
        }
    }
    if (state.currentAngle == kMissing) state.currentAngle = state.smoothedAngle;
}

void upkeepWindows(MeasureState& state, const SliceTable& slices) {
    const float c = state.currentAngle;
    const AngleMeasureParams& p = state.params;
    if (state.windows.size() >= 2) {
        if (p.steepAngle - 10.0f > std::fabs(c)) state.windows.pop_back();
        return;
    }
    if (state.windows.size() != 1 || !(std::fabs(c) > p.steepAngle)) return;
    const float width = static_cast<float>(p.secondWindowWidth);
    const Window first = state.windows.front();
    if (c > 0.0f) {
        float m = -std::numeric_limits<float>::infinity();
        for (const auto& entry : slices) m = std::max(m, entry.second.lateral.back());
        if (m - width > first.hi) state.windows.push_back(Window{m - width, m});
    } else {
        float m = std::numeric_limits<float>::infinity();
        for (const auto& entry : slices) m = std::min(m, entry.second.lateral.front());
        if (first.lo > m + width) state.windows.push_back(Window{m, m + width});
    }
}

}  // namespace

void applyParams(MeasureState& state, const AngleMeasureParams& params) {
    state.params = params;
    if (params.xUpper <= params.xLower) printDiagnostic(DiagnosticStream::Err, "X Upper must be greater than X Lower\n");
    if (params.yUpper <= params.yLower) printDiagnostic(DiagnosticStream::Err, "Y Upper must be greater than Y Lower\n");
    if (params.sliceHeight <= 0) printDiagnostic(DiagnosticStream::Err, "Slice Height must be greater than 0\n");
}

std::int32_t sliceKey(float z, std::int32_t sliceHeight) {
    return static_cast<std::int32_t>(z) / sliceHeight;
}

SliceTable buildSlices(const ZelOrbPointData* frame, const AngleMeasureParams& params) {
    SliceTable table;
    if (params.sliceHeight <= 0) return table;
    const float xLo = static_cast<float>(params.xLower);
    const float xHi = static_cast<float>(params.xUpper);
    const float zLo = static_cast<float>(params.yLower);
    const float zHi = static_cast<float>(params.yUpper);
    const float rLo = static_cast<float>(params.rangeMin);
    const float rHi = static_cast<float>(params.rangeMax);

    std::map<std::int32_t, std::vector<std::pair<float, float>>> pairs;
    for (int col = 0; col < ZEL_ORB_FRAME_COLS; ++col) {
        for (int row = 0; row < ZEL_ORB_FRAME_ROWS; ++row) {
            const ZelOrbPointData& p = frame[row * ZEL_ORB_FRAME_COLS + col];
            // The strict float bounds also keep z inside int32 for the key.
            if (!(zLo < p.z && p.z < zHi && rLo < p.x && p.x < rHi && xLo < p.y && p.y < xHi)) continue;
            pairs[sliceKey(p.z, params.sliceHeight)].emplace_back(-p.y, p.x);
        }
    }
    for (auto& entry : pairs) {
        auto& v = entry.second;
        std::stable_sort(v.begin(), v.end(),
                         [](const std::pair<float, float>& a, const std::pair<float, float>& b) {
                             return a.first < b.first;
                         });
        Slice& s = table[entry.first];
        s.lateral.reserve(v.size());
        s.range.reserve(v.size());
        for (const auto& lr : v) {
            s.lateral.push_back(lr.first);
            s.range.push_back(lr.second);
        }
        s.count = static_cast<std::int32_t>(v.size());
    }
    return table;
}

FitResult fitLine(const float* lateral, const float* range, std::int32_t n, const MeasureState& state) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    if (n < 2) return FitResult{kMissing, kMissing};
    const float threshold = static_cast<float>(state.ransacThreshold);
    float bestK = 0.0f;
    std::int32_t bestCount = 0;
    for (std::int32_t it = 0; it < state.ransacIterations; ++it) {
        const int i = std::rand() % n;
        int j = std::rand() % n;
        while (j == i) j = std::rand() % n;
        // Two points at one lateral value give no finite slope, hence no inliers.
        const float k = (range[j] - range[i]) / (lateral[j] - lateral[i]);
        if (!std::isfinite(k)) continue;
        const float b = range[i] - k * lateral[i];
        const float norm = std::sqrt(k * k + 1.0f);
        std::int32_t count = 0;
        for (std::int32_t m = 0; m < n; ++m) {
            if (std::fabs(k * std::trunc(lateral[m]) - std::trunc(range[m]) + b) / norm < threshold) ++count;
        }
        if (count > bestCount && count >= state.ransacMinInliers) {
            bestK = k;
            bestCount = count;
        }
    }
    if (bestCount == 0) return FitResult{kMissing, kMissing};

    const float fn = static_cast<float>(n);
    float mL = 0.0f;
    float mR = 0.0f;
    for (std::int32_t m = 0; m < n; ++m) {
        mL += lateral[m];
        mR += range[m];
    }
    mL /= fn;
    mR /= fn;
    float sxx = 0.0f;
    float syy = 0.0f;
    float sxy = 0.0f;
    for (std::int32_t m = 0; m < n; ++m) {
        const float dl = lateral[m] - mL;
        const float dr = range[m] - mR;
        sxx += dl * dl;
        syy += dr * dr;
        sxy += dl * dr;
    }
    const float r = std::fabs(sxy / (std::sqrt(syy) * std::sqrt(sxx)));
    const float angle = static_cast<float>(-static_cast<double>(std::atan(bestK)) * 180.0 / kPi);
    return FitResult{angle, r};
}

std::size_t probeIndex(const std::vector<float>& values, float value) {
    std::size_t best = 0;
    std::ptrdiff_t lo = 0;
    std::ptrdiff_t hi = static_cast<std::ptrdiff_t>(values.size()) - 1;
    while (lo <= hi) {
        const std::ptrdiff_t mid = lo + (hi - lo) / 2;
        const float v = values[static_cast<std::size_t>(mid)];
        if (v == value) return static_cast<std::size_t>(mid);
        if (best == 0 || std::fabs(v - value) < std::fabs(values[best] - value)) best = static_cast<std::size_t>(mid);
        if (v < value) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    return best;
}

FitResult evaluateWindows(const SliceTable& slices, const std::vector<Window>& windows, float last,
                          const MeasureState& state) {
    const float tolerance = state.params.angleTolerance;
    std::vector<float> angles;
    std::vector<float> correlations;
    for (const auto& entry : slices) {
        const Slice& s = entry.second;
        // A third window is never accepted, so it is not fitted either.
        for (std::size_t w = 0; w < windows.size() && w < 2; ++w) {
            const std::size_t i0 = probeIndex(s.lateral, windows[w].lo);
            const std::size_t i1 = probeIndex(s.lateral, windows[w].hi);
            const std::int64_t span = static_cast<std::int64_t>(i1) - static_cast<std::int64_t>(i0);
            if (span < state.params.minSlicePoints) continue;
            if (span < 2) continue;  // too few points to fit
            const FitResult f =
                fitLine(s.lateral.data() + i0, s.range.data() + i0, static_cast<std::int32_t>(span), state);
            if (f.angle == kMissing) continue;  // a failed fit is no angle
            float a = f.angle;
            if (w == 1) {
                // The second window sees the adjacent face of a corner.
                if (!(std::fabs(std::fabs(a - last) - 90.0f) < tolerance)) continue;
                a = last < 0.0f ? a - 90.0f : a + 90.0f;
            } else if (!(std::fabs(a - last) < tolerance)) {
                continue;
            }
            angles.push_back(a);
            correlations.push_back(f.correlation);
        }
    }
    if (angles.empty()) return FitResult{kMissing, kMissing};
    float sum = 0.0f;
    for (float a : angles) sum += a;
    std::sort(correlations.begin(), correlations.end(), correlationLess);
    return FitResult{sum / static_cast<float>(angles.size()), correlations[correlations.size() / 2]};
}

AngleResult measureFrame(MeasureState& state, const ZelOrbPointData* frame, float* angle) {
    SliceTable slices = buildSlices(frame, state.params);
    if (slices.empty()) return fail(angle, kCodeData, kTextHashmapEmpty);
    for (auto it = slices.begin(); it != slices.end();) {
        it = it->second.count < 2 ? slices.erase(it) : std::next(it);
    }
    if (slices.empty()) return fail(angle, kCodeData, kTextHashmapError);

    // Tracking needs a previous angle and a window; without them (a first
    // full search failed) search fully again.
    if (state.needFullSearch || state.history.empty() || state.windows.empty()) {
        if (!fullSearch(state, slices)) return fail(angle, kCodeData, kTextAngleDataError);
    } else {
        track(state, slices);
    }

    upkeepWindows(state, slices);

    const float c = state.currentAngle;
    state.history.push_back(c);
    if (state.history.size() > state.historyLength) {
        state.history.pop_front();
        const float first = state.history.front();
        const bool allEqual =
            std::all_of(state.history.begin(), state.history.end(), [first](float h) { return h == first; });
        if (allEqual) return fail(angle, kCodeHistory, kTextHistoryError);
    }
    float sum = 0.0f;
    for (float h : state.history) sum += h;
    state.smoothedAngle = sum / static_cast<float>(state.history.size());
    state.needFullSearch =
        std::fabs(state.smoothedAngle) < state.params.fullSearchAngle || std::fabs(c) >= 90.0f;
    *angle = state.smoothedAngle;
    return AngleResult{kCodeOk, kTextOk};
}

std::int32_t enableAngleMeasure(MeasureSlot& slot, bool enable, const AngleMeasureParams* params) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    std::unique_ptr<MeasureState>& state = slot.state;
    if (state && !enable) {
        state.reset();
        return 0;
    }
    // Without parameters nothing can be copied: leave everything as it is.
    if (params == nullptr) {
        printDiagnostic(DiagnosticStream::Err, "Angle measure params are null\n");
        return state ? 1 : 0;
    }
    if (!state) state = std::make_unique<MeasureState>();
    applyParams(*state, *params);
    return 1;
}

AngleResult measurePlaneAngle(MeasureSlot& slot, const ZelOrbPointData* frame, float* angle) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (!slot.state) return AngleResult{kCodeNoModule, kTextNotInitialised};
    if (frame == nullptr || angle == nullptr) return AngleResult{kCodeNoModule, kTextNullArgument};
    // Every error but -100 reports NaN, also one that ends in an exception.
    *angle = kNaN;
    return measureFrame(*slot.state, frame, angle);
}

}  // namespace measure
}  // namespace orb

