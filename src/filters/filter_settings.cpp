#include "filters/filter_settings.h"

#include <algorithm>
#include <cmath>

#include "core/diagnostics.h"

namespace orb {

namespace {

constexpr int kFramePoints = ZEL_ORB_FRAME_POINTS;

void compensate(const FilterSettings& s, ZelOrbPointData* frame) {
    // Signed 32-bit sum with wrap-around, done unsigned to stay defined.
    const auto sum = static_cast<std::uint32_t>(s.distanceOffset.load()) +
                     static_cast<std::uint32_t>(s.calibrationDistanceOffset.load());
    const float offset = static_cast<float>(static_cast<std::int32_t>(sum));
    for (int i = 0; i < kFramePoints; ++i) {
        ZelOrbPointData& p = frame[i];
        p.x += offset;
        p.distance = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
    }
}

void applyIntensityThreshold(const IntensityTable& table, ZelOrbPointData* frame) {
    for (int i = 0; i < kFramePoints; ++i) {
        ZelOrbPointData& p = frame[i];
        const double x = p.x;
        const double y = p.y;
        const double z = p.z;
        const double r = std::sqrt(x * x + y * y + z * z);
        const double intensity = p.intensity;
        bool clear = false;
        for (std::size_t k = 0; k < table.size(); ++k) {
            const double upper = table[k].first * 100.0;
            const double minIntensity = table[k].second;
            if (k == 0) {
                if (upper > r && minIntensity > intensity) clear = true;
            } else if (r >= table[k - 1].first * 100.0 && upper > r && minIntensity > intensity) {
                clear = true;
                break;
            }
        }
        if (clear) {
            p.x = 0.0f;
            p.y = 0.0f;
            p.z = 0.0f;
            p.intensity = 0;
        }
    }
}

}  // namespace

FilterSettings::FilterSettings()
    : table_(std::make_shared<const IntensityTable>(IntensityTable{{2.5, 13.0}, {4.5, 4.0}, {10.0, 2.0}})) {
    pipeline.init();
}

std::shared_ptr<const IntensityTable> FilterSettings::intensityTable() const {
    std::lock_guard<std::mutex> lock(tableMutex_);
    return table_;
}

void FilterSettings::setIntensityTable(std::shared_ptr<const IntensityTable> table) {
    {
        std::lock_guard<std::mutex> lock(tableMutex_);
        table_.swap(table);
    }
    // `table` now holds the previous snapshot; a pass still using it keeps it
    // alive, otherwise it is freed here, outside the lock.
}

IntensityTable buildIntensityTable(const double* distances, const double* intensities, std::size_t count) {
    IntensityTable table;
    table.reserve(count);
    for (std::size_t i = 0; i < count; ++i) table.emplace_back(distances[i], intensities[i]);
    // A strict weak order even with NaN distances (std::sort needs one).
    std::stable_sort(table.begin(), table.end(), [](const auto& a, const auto& b) {
        const bool an = std::isnan(a.first);
        const bool bn = std::isnan(b.first);
        if (an || bn) return !an && bn;
        return a.first < b.first;
    });
    return table;
}

void applyDistanceWindow(const FilterSettings& s, ZelOrbPointData& p) {
    if (!s.distanceFilterEnable.load(std::memory_order_relaxed)) return;
    const float max = static_cast<float>(s.distanceMax.load(std::memory_order_relaxed));
    const float min = static_cast<float>(s.distanceMin.load(std::memory_order_relaxed));
    const float d = p.distance;
    if (d >= max || d <= min) {
        p.x = 0.0f;
        p.y = 0.0f;
        p.z = 0.0f;
    }
}

void runFrameChain(FilterSettings& s, ZelOrbPointData* frame) {
    if (frame == nullptr) return;
    if (s.compensationEnable) compensate(s, frame);
    if (s.intensityFilterEnable) {
        const std::shared_ptr<const IntensityTable> table = s.intensityTable();
        if (!table || table->empty()) {
            printDiagnostic(DiagnosticStream::Out, "Distance and intensity thresholds must have the same size\n");
        } else {
            applyIntensityThreshold(*table, frame);
        }
    }
    s.pipeline.filtering(reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(frame));
}

}  // namespace orb
