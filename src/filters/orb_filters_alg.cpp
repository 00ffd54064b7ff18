#include "OrbFiltersALG.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "filters/median_network.h"

namespace {

constexpr int kRows = 150;
constexpr int kCols = 360;
constexpr int kPoints = kRows * kCols;
constexpr int kHistorySlots = 9;
constexpr int kMaxSpatialSize = 31;
constexpr std::uint16_t kInvalidCode = 60000;
constexpr int kBlock = 4;
constexpr int kBlockRows = kRows / kBlock;  // rows 148, 149 belong to no block
constexpr int kBlockCols = kCols / kBlock;
constexpr int kHotBlockPixels = 8;
constexpr int kLargeComponentBlocks = 30;

std::int32_t ClampSpatialSize(std::int32_t k) {
    if (k < 3) return 1;  // no-op
    if (k > kMaxSpatialSize) return kMaxSpatialSize;
    if (k == 4 || k == 6) return k - 1;
    return k;
}

std::int32_t ClampCount(std::int32_t n) { return std::min(std::max(n, 1), kHistorySlots); }

std::int16_t Sat16(std::int32_t v) {
    return static_cast<std::int16_t>(std::min(std::max(v, -32768), 32767));
}

std::int32_t SatAbs16(std::int16_t v) { return v == -32768 ? 32767 : std::abs(static_cast<std::int32_t>(v)); }

}  // namespace

struct OrbFiltersALG::Impl {
    std::int32_t rows = kRows;
    std::int32_t cols = kCols;
    std::int32_t pointCount = kPoints;
    // Atomic because the frame form reads them without the mutex.
    std::atomic<bool> spatialEnable{false};
    std::atomic<bool> timeMedianEnable{false};
    std::atomic<bool> flyPixelEnable{false};
    std::int32_t spatialSize = 5;
    std::int32_t timeMedianCount = 5;
    std::int32_t timeMedianThreshold = 100;
    std::int32_t flyPixelThreshold = 300;
    std::uint32_t passCount = 0;
    std::array<cv::Mat, kHistorySlots> history;
    std::uint16_t historyIndex = 0;
    std::uint16_t historyFull = 0;
    std::uint8_t lastCount = 0;
    std::uint16_t lastThreshold = 0;
    cv::Mat medianImage;
    std::mutex mutex;
    cv::Mat depthImage;
    cv::Mat ratioY;
    cv::Mat ratioZ;
    std::vector<std::int32_t> axisPoints;
    cv::Mat cloud;

    // Scratch, allocated once so a pass does not allocate.
    cv::Mat spatialScratch;          // 150 x 360 u16
    cv::Mat levelMap;                // A, 150 x 360 u8
    cv::Mat result;                  // B, 150 x 360 u16
    cv::Mat recentMap;               // R, 150 x 360 u8
    cv::Mat hotBlocks;               // 37 x 90 u8
    cv::Mat blockLabels;             // 37 x 90 u16
    std::vector<std::uint8_t> largeBlock;  // per block: in a large component
    std::vector<int> componentSize;
    cv::Mat flyScratch;              // F, 150 x 360 s16
    std::vector<float> frameIn;      // frame form: 54,000 x 3
    std::vector<float> frameOut;

    void reset();
    void resetHistory() {
        historyIndex = 0;
        historyFull = 0;
        passCount = 0;
    }
    void spatialStage();
    void timeMedianStage();
    void flyPixelStage();
};

void OrbFiltersALG::Impl::reset() {
    rows = kRows;
    cols = kCols;
    pointCount = kPoints;
    spatialEnable = false;
    timeMedianEnable = false;
    flyPixelEnable = false;
    spatialSize = 5;
    timeMedianCount = 5;
    timeMedianThreshold = 100;
    flyPixelThreshold = 300;
    resetHistory();
    lastCount = 0;
    lastThreshold = 0;
    depthImage.create(kRows, kCols, CV_16UC1);
    medianImage = cv::Mat::zeros(kRows, kCols, CV_16UC1);
    ratioY.create(1, kPoints, CV_32FC1);
    ratioZ.create(1, kPoints, CV_32FC1);
    cloud.create(3, kPoints, CV_32FC1);
    for (auto& h : history) h.create(kRows, kCols, CV_16UC1);
    axisPoints.clear();
    axisPoints.reserve(kPoints);
    spatialScratch.create(kRows, kCols, CV_16UC1);
    levelMap.create(kRows, kCols, CV_8UC1);
    result.create(kRows, kCols, CV_16UC1);
    recentMap.create(kRows, kCols, CV_8UC1);
    hotBlocks.create(kBlockRows, kBlockCols, CV_8UC1);
    blockLabels.create(kBlockRows, kBlockCols, CV_16UC1);
    largeBlock.assign(kBlockRows * kBlockCols, 0);
    componentSize.reserve(kBlockRows * kBlockCols + 1);
    flyScratch.create(kRows, kCols, CV_16SC1);
    frameIn.assign(static_cast<std::size_t>(kPoints) * 3, 0.0f);
    frameOut.assign(static_cast<std::size_t>(kPoints) * 3, 0.0f);
}

void OrbFiltersALG::Impl::spatialStage() {
    const std::int32_t k = spatialSize;
    if (k < 3) return;
    const int passes = k <= 6 ? 1 : ((k - 1) / 2) - 1;
    const int aperture = k <= 6 ? k : 5;
    for (int i = 0; i < passes; ++i) {
        // medianBlur is not documented as safe in place; swap headers instead.
        cv::medianBlur(depthImage, spatialScratch, aperture);
        cv::swap(depthImage, spatialScratch);
    }
}

void OrbFiltersALG::Impl::timeMedianStage() {
    const int n = timeMedianCount;  // clamped to 1..9 by the setters
    const int mid = n / 2;
    const std::uint16_t t = static_cast<std::uint16_t>(timeMedianThreshold & 0xFFFF);
    const std::int32_t tt = t;
    std::uint16_t* cur = depthImage.ptr<std::uint16_t>();

    // 1. level map and result start at 0.
    std::uint8_t* a = levelMap.ptr<std::uint8_t>();
    std::uint16_t* b = result.ptr<std::uint16_t>();
    std::memset(a, 0, kPoints);
    std::memset(b, 0, kPoints * sizeof(std::uint16_t));

    // 2. a changed count or threshold restarts the history.
    if (n != lastCount || t != lastThreshold) resetHistory();
    // 3.
    if (historyIndex >= n) historyIndex = 0;
    // 4.
    depthImage.copyTo(history[historyIndex]);
    if (historyIndex >= n - 1) historyFull = 1;

    // 5. while the ring fills the frame passes unchanged.
    if (historyFull == 1) {
        // 6. per-pixel median of the N slots.
        const std::uint16_t* slots[kHistorySlots];
        for (int j = 0; j < n; ++j) slots[j] = history[j].ptr<std::uint16_t>();
        std::uint16_t* med = medianImage.ptr<std::uint16_t>();
        orb::ColumnMedian(slots, n, med, kPoints);

        // 7.-9. difference to the previous frame, level map, receding pixels.
        const int prev = historyIndex == 0 ? n - 1 : historyIndex - 1;
        const std::uint16_t* hcur = slots[historyIndex];
        const std::uint16_t* hprev = slots[prev];
        for (int i = 0; i < kPoints; ++i) {
            const std::int32_t d = std::int32_t(hcur[i]) - std::int32_t(hprev[i]);
            std::uint8_t level = 0;
            if (d >= tt) level = 1;
            if (d <= -tt) level = 2;
            a[i] = level;
            if (level == 1) b[i] = cur[i];
        }

        // 10. 4 x 4 approach blocks, 4-connected components of hot blocks.
        std::uint8_t* hot = hotBlocks.ptr<std::uint8_t>();
        bool anyHot = false;
        for (int by = 0; by < kBlockRows; ++by) {
            for (int bx = 0; bx < kBlockCols; ++bx) {
                int count = 0;
                for (int r = by * kBlock; r < by * kBlock + kBlock; ++r) {
                    const std::uint8_t* row = a + r * kCols + bx * kBlock;
                    for (int c = 0; c < kBlock; ++c) count += row[c] == 2;
                }
                hot[by * kBlockCols + bx] = count > kHotBlockPixels ? 1 : 0;
                anyHot = anyHot || count > kHotBlockPixels;
            }
        }
        std::fill(largeBlock.begin(), largeBlock.end(), std::uint8_t{0});
        if (anyHot) {
            const int labels = cv::connectedComponents(hotBlocks, blockLabels, 4, CV_16U);
            componentSize.assign(static_cast<std::size_t>(labels), 0);
            const std::uint16_t* lab = blockLabels.ptr<std::uint16_t>();
            for (int i = 0; i < kBlockRows * kBlockCols; ++i)
                if (lab[i] != 0) ++componentSize[lab[i]];
            for (int i = 0; i < kBlockRows * kBlockCols; ++i)
                largeBlock[i] = lab[i] != 0 && componentSize[lab[i]] > kLargeComponentBlocks;
        }

        // 11.-15. approaching pixels.
        for (int r = 0; r < kRows; ++r) {
            const std::uint8_t* large = r < kBlockRows * kBlock ? &largeBlock[(r / kBlock) * kBlockCols] : nullptr;
            for (int c = 0; c < kCols; ++c) {
                const int i = r * kCols + c;
                const bool l = large != nullptr && large[c / kBlock] != 0;
                if (a[i] == 2) {
                    const std::int32_t d = std::int32_t(hcur[i]) - std::int32_t(hprev[i]);
                    const bool e = std::abs(d) <= 3 * tt;           // 12.
                    if (l) b[i] = cur[i];                           // 11.
                    else if (e) b[i] = cur[i];                      // 13.
                    else b[i] = med[i];                             // 14.
                }
                if (b[i] >= kInvalidCode) b[i] = cur[i];            // 15.
            }
        }

        // 16. recent-change map: the last mid frames against the frame mid passes back.
        std::uint8_t* rmap = recentMap.ptr<std::uint8_t>();
        std::memset(rmap, 0, kPoints);
        int ref = historyIndex - mid;
        if (ref < 0) ref += n;
        const std::uint16_t* href = slots[ref];
        for (int j = 1; j <= mid; ++j) {
            const std::uint16_t* hj = slots[(ref + j) % n];
            for (int i = 0; i < kPoints; ++i)
                rmap[i] |= std::abs(std::int32_t(hj[i]) - std::int32_t(href[i])) > tt;
        }

        // 17.-19. steady and recently changed pixels; invalid codes pass through.
        for (int i = 0; i < kPoints; ++i) {
            if (a[i] == 0) b[i] = rmap[i] ? cur[i] : med[i];
            if (cur[i] >= kInvalidCode) b[i] = cur[i];
        }
        std::memcpy(cur, b, kPoints * sizeof(std::uint16_t));
    }

    // 20.
    ++historyIndex;
    ++passCount;
    lastCount = static_cast<std::uint8_t>(n);
    lastThreshold = t;
}

void OrbFiltersALG::Impl::flyPixelStage() {
    // 64-bit so that a huge threshold cannot overflow.
    const std::int64_t limit = 3 * static_cast<std::int64_t>(flyPixelThreshold);
    std::uint16_t* depth = depthImage.ptr<std::uint16_t>();
    std::int16_t* f = flyScratch.ptr<std::int16_t>();
    for (int i = 0; i < kPoints; ++i) f[i] = static_cast<std::int16_t>(std::min<std::int32_t>(depth[i], 32767));

    auto flagged = [limit](std::int16_t g1, std::int16_t g2) {
        return SatAbs16(g1) > limit && SatAbs16(g2) > limit;
    };
    for (int r = 0; r < kRows; ++r) {
        const std::int16_t* row = f + r * kCols;
        const std::int16_t* up = r > 0 ? row - kCols : nullptr;
        const std::int16_t* down = r + 1 < kRows ? row + kCols : nullptr;
        for (int c = 0; c < kCols; ++c) {
            // Horizontal: GL column 0 copies column 1, GR last column copies
            // column cols - 2; GR column 0 and GL last column stay 0.
            std::int16_t gl = 0;
            std::int16_t gr = 0;
            if (c >= 1 && c <= kCols - 2) {
                gl = Sat16(row[c] - row[c - 1]);
                gr = Sat16(row[c] - row[c + 1]);
            } else if (c == 0) {
                gl = Sat16(row[1] - row[0]);
            } else {
                gr = Sat16(row[kCols - 2] - row[kCols - 1]);
            }
            // Vertical, the same rule on rows.
            std::int16_t gu = 0;
            std::int16_t gd = 0;
            if (up != nullptr && down != nullptr) {
                gu = Sat16(row[c] - up[c]);
                gd = Sat16(row[c] - down[c]);
            } else if (up == nullptr) {
                gu = Sat16(row[kCols + c] - row[c]);
            } else {
                gd = Sat16(up[c] - row[c]);
            }
            if (flagged(gl, gr) || flagged(gu, gd)) depth[r * kCols + c] = 0;
        }
    }
}

OrbFiltersALG::OrbFiltersALG() {
    try {
        impl_ = std::make_unique<Impl>();
        impl_->reset();
    } catch (...) {
        impl_.reset();  // every operation checks for a missing state
    }
}

OrbFiltersALG::~OrbFiltersALG() = default;

void OrbFiltersALG::init() {
    try {
        if (!impl_) impl_ = std::make_unique<Impl>();
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->reset();
    } catch (...) {
    }
}

void OrbFiltersALG::SetSpatialFilter(bool enable, int32_t size) {
    if (!impl_) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->spatialEnable = enable;
    impl_->spatialSize = ClampSpatialSize(size);
}

void OrbFiltersALG::SetSpatialFilterEnable(bool enable) {
    if (!impl_) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->spatialEnable = enable;
}

bool OrbFiltersALG::GetSpatialFilterEnable() {
    if (!impl_) return false;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->spatialEnable;
}

void OrbFiltersALG::SetTimeMedianFilter(bool enable, int32_t count, int32_t threshold) {
    if (!impl_) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->timeMedianEnable = enable;
    impl_->timeMedianCount = ClampCount(count);
    impl_->timeMedianThreshold = threshold;
    if (!enable) impl_->resetHistory();
}

void OrbFiltersALG::SetTimeMedianFilterEnable(bool enable) {
    if (!impl_) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->timeMedianEnable = enable;
    if (!enable) impl_->resetHistory();
}

bool OrbFiltersALG::GetTimeMedianFilterEnable() {
    if (!impl_) return false;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->timeMedianEnable;
}

void OrbFiltersALG::SetFlyPixeFilter(bool enable, int32_t threshold) {
    if (!impl_) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->flyPixelEnable = enable;
    impl_->flyPixelThreshold = threshold;
}

void OrbFiltersALG::SetFlyPixeFilterEnable(bool enable) {
    if (!impl_) return;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->flyPixelEnable = enable;
}

bool OrbFiltersALG::GetFlyPixeFilterEnable() {
    if (!impl_) return false;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->flyPixelEnable;
}

void OrbFiltersALG::pointcloud2depth(cv::Mat& cloud, cv::Mat& depth) {
    Impl& m = *impl_;
    m.axisPoints.clear();
    const float* xs = cloud.ptr<float>(0);
    const float* ys = cloud.ptr<float>(1);
    const float* zs = cloud.ptr<float>(2);
    std::uint16_t* code = depth.ptr<std::uint16_t>();
    float* ry = m.ratioY.ptr<float>();
    float* rz = m.ratioZ.ptr<float>();
    for (int i = 0; i < m.pointCount; ++i) {
        const float x = xs[i];
        const float y = ys[i];
        const float z = zs[i];
        if (x < 0.0f) {
            code[i] = 0;
            ry[i] = 0.0f;
            rz[i] = 0.0f;
            continue;
        }
        // A code that would not fit 16 bits (or NaN x) is invalid depth, not
        // wrapped to a wrong one.
        const float scaled = x * 10.0f;
        code[i] = scaled < 65536.0f ? static_cast<std::uint16_t>(static_cast<std::int32_t>(scaled)) : 0;
        float a = 0.0f;
        float b = 0.0f;
        if (x > 0.0f) {
            a = y / x;
            b = z / x;
            if (!std::isfinite(a)) a = 0.0f;
            if (!std::isfinite(b)) b = 0.0f;
        }
        ry[i] = a;
        rz[i] = b;
        if (y == 0.0f && z == 0.0f && x > 0.0f) m.axisPoints.push_back(i);
    }
}

void OrbFiltersALG::depth2pointcloud(cv::Mat& depth, cv::Mat& cloud) {
    Impl& m = *impl_;
    const std::uint16_t* code = depth.ptr<std::uint16_t>();
    const float* ry = m.ratioY.ptr<float>();
    const float* rz = m.ratioZ.ptr<float>();
    float* xs = cloud.ptr<float>(0);
    float* ys = cloud.ptr<float>(1);
    float* zs = cloud.ptr<float>(2);
    for (int i = 0; i < m.pointCount; ++i) {
        const std::uint16_t d = code[i];
        float x = 0.0f;
        float y = 0.0f;
        float z = 0.0f;
        if (d <= kInvalidCode) {
            const float fd = static_cast<float>(d);
            y = ry[i] == 0.0f ? 0.0f : fd * ry[i] * 0.1f;
            z = rz[i] == 0.0f ? 0.0f : fd * rz[i] * 0.1f;
            x = (ry[i] == 0.0f && rz[i] == 0.0f) ? 0.0f : fd * 0.1f;
        }
        xs[i] = x;
        ys[i] = y;
        zs[i] = z;
    }
    for (const std::int32_t i : m.axisPoints) xs[i] = static_cast<float>(code[i]) * 0.1f;
}

void OrbFiltersALG::passLocked(const float* in, float* out) {
    Impl& m = *impl_;
    const int n = m.pointCount;
    float* xs = m.cloud.ptr<float>(0);
    float* ys = m.cloud.ptr<float>(1);
    float* zs = m.cloud.ptr<float>(2);
    for (int i = 0; i < n; ++i) {
        xs[i] = in[3 * i];
        ys[i] = in[3 * i + 1];
        zs[i] = in[3 * i + 2];
    }
    pointcloud2depth(m.cloud, m.depthImage);
    if (m.spatialEnable) m.spatialStage();
    if (m.timeMedianEnable) {
        m.timeMedianStage();
    } else if (m.passCount > 0) {
        m.resetHistory();
    }
    if (m.flyPixelEnable) m.flyPixelStage();
    depth2pointcloud(m.depthImage, m.cloud);
    // Written only now, so a failure above leaves `out` as it was.
    for (int i = 0; i < n; ++i) {
        out[3 * i] = xs[i];
        out[3 * i + 1] = ys[i];
        out[3 * i + 2] = zs[i];
    }
}

void OrbFiltersALG::filtering(float* in, float* out) {
    if (!impl_ || in == nullptr || out == nullptr) return;
    try {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        try {
            passLocked(in, out);
        } catch (...) {
            impl_->resetHistory();  // the ring may hold a half-done pass
            if (in != out) std::memmove(out, in, static_cast<std::size_t>(impl_->pointCount) * 3 * sizeof(float));
        }
    } catch (...) {
    }
}

void OrbFiltersALG::filtering(ZelOrbPointData (*frame)[360]) {
    if (!impl_ || frame == nullptr) return;
    Impl& m = *impl_;
    if (!m.spatialEnable && !m.timeMedianEnable && !m.flyPixelEnable) return;
    try {
        std::lock_guard<std::mutex> lock(m.mutex);
        ZelOrbPointData* points = frame[0];
        float* in = m.frameIn.data();
        float* out = m.frameOut.data();
        for (int i = 0; i < m.pointCount; ++i) {
            in[3 * i] = points[i].x;
            in[3 * i + 1] = points[i].y;
            in[3 * i + 2] = points[i].z;
        }
        try {
            passLocked(in, out);
        } catch (...) {
            m.resetHistory();
            return;  // frame unchanged
        }
        for (int i = 0; i < m.pointCount; ++i) {
            points[i].x = out[3 * i];
            points[i].y = out[3 * i + 1];
            points[i].z = out[3 * i + 2];
        }
    } catch (...) {
    }
}
