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
    cv::Mat spatialScratch;  // 150 x 360 u16
    cv::Mat levelMap;                      // A, 150 x 360 u8
    cv::Mat largeMask, ones;                // 150 x 360 u8
    cv::Mat rowSums;         // 37 x 360 u8
    cv::Mat blockCounts;     // 3330 x 1 s32
    cv::Mat hotBlocks;       // 37 x 90 u8
    cv::Mat blockLabels;     // 37 x 90 u16
    std::vector<int> componentSize;
    cv::Mat flyF;            // 150 x 360 s16
    std::vector<float> frameIn;  // frame form: 54,000 x 3
    std::vector<float> frameOut;

    void reset();
    void resetHistory() {
        historyIndex = 0;
        historyFull = 0;
        passCount = 0;
    }
    void spatialStage();
    void timeMedianStage();
    void levelPass(const std::uint16_t* prev, std::uint16_t t);
    void resultPass(const std::uint16_t* hprev, const std::uint16_t* refSlot, const std::uint16_t* const* recent,
                    int mid, std::uint16_t t);
    void markLargeApproach();
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
    for (cv::Mat* m : {&levelMap, &largeMask, &ones}) m->create(kRows, kCols, CV_8UC1);
    rowSums.create(kBlockRows, kCols, CV_8UC1);
    blockCounts.create(kBlockRows * kBlockCols, 1, CV_32SC1);
    hotBlocks.create(kBlockRows, kBlockCols, CV_8UC1);
    blockLabels.create(kBlockRows, kBlockCols, CV_16UC1);
    componentSize.reserve(kBlockRows * kBlockCols + 1);
    flyF.create(kRows, kCols, CV_16SC1);
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
    cv::Mat& cur = depthImage;

    // 1. (the level map is written whole by levelPass, the result starts at 0
    // in resultPass)
    // 2. a changed count or threshold restarts the history.
    if (n != lastCount || t != lastThreshold) resetHistory();
    // 3.
    if (historyIndex >= n) historyIndex = 0;
    // 4.
    cur.copyTo(history[historyIndex]);
    if (historyIndex >= n - 1) historyFull = 1;

    // 5. while the ring fills the frame passes unchanged.
    if (historyFull == 1) {
        // 6. per-pixel median of the N slots.
        const std::uint16_t* slots[kHistorySlots];
        for (int j = 0; j < n; ++j) slots[j] = history[j].ptr<std::uint16_t>();
        orb::ColumnMedian(slots, n, medianImage.ptr<std::uint16_t>(), kPoints);

        // 7.-8. level map from the signed difference to the previous frame.
        const int prev = historyIndex == 0 ? n - 1 : historyIndex - 1;
        levelPass(history[prev].ptr<std::uint16_t>(), t);
        // 10. approach blocks and their large 4-connected components.
        markLargeApproach();
        // 9., 11.-19. per pixel, the masked writes in the written order
        // (9. before 10. only writes where A = 1, which 10. does not read).
        int ref = historyIndex - mid;
        if (ref < 0) ref += n;
        const std::uint16_t* recent[kHistorySlots];
        for (int j = 1; j <= mid; ++j) recent[j - 1] = slots[(ref + j) % n];
        resultPass(slots[prev], slots[ref], recent, mid, t);
    }

    // 20.
    ++historyIndex;
    ++passCount;
    lastCount = static_cast<std::uint8_t>(n);
    lastThreshold = t;
}

// With u16 a, b and t = T: a - b >= T exactly when the saturated a - b is at
// least T and a >= b (the second part matters for T = 0 only).
void OrbFiltersALG::Impl::levelPass(const std::uint16_t* prev, std::uint16_t t) {
    const std::uint16_t* cur = depthImage.ptr<std::uint16_t>();
    std::uint8_t* level = levelMap.ptr<std::uint8_t>();
    const cv::v_uint16x8 vt = cv::v_setall_u16(t);
    const cv::v_uint16x8 one = cv::v_setall_u16(1);
    const cv::v_uint16x8 two = cv::v_setall_u16(2);
    const cv::v_uint16x8 zero = cv::v_setzero_u16();
    constexpr int kLanes = cv::v_uint16x8::nlanes;
    static_assert(kPoints % kLanes == 0, "whole vectors");
    for (int i = 0; i < kPoints; i += kLanes) {
        const cv::v_uint16x8 a = cv::v_load(cur + i);
        const cv::v_uint16x8 b = cv::v_load(prev + i);
        const cv::v_uint16x8 away = ((a - b) >= vt) & (a >= b);    // D >= T
        const cv::v_uint16x8 closer = ((b - a) >= vt) & (b >= a);  // D <= -T
        cv::v_uint16x8 l = cv::v_select(away, one, zero);
        l = cv::v_select(closer, two, l);
        cv::v_pack_store(level + i, l);
    }
}

void OrbFiltersALG::Impl::resultPass(const std::uint16_t* hprev, const std::uint16_t* refSlot,
                                     const std::uint16_t* const* recent, int mid, std::uint16_t t) {
    std::uint16_t* cur = depthImage.ptr<std::uint16_t>();
    const std::uint16_t* med = medianImage.ptr<std::uint16_t>();
    const std::uint8_t* level = levelMap.ptr<std::uint8_t>();
    const std::uint8_t* large = largeMask.ptr<std::uint8_t>();
    const std::uint32_t near = 3u * t;  // 3T, compared with |D| <= 65535
    const cv::v_uint16x8 vt = cv::v_setall_u16(t);
    const cv::v_uint16x8 vnear = cv::v_setall_u16(static_cast<std::uint16_t>(std::min<std::uint32_t>(near, 65535)));
    const cv::v_uint16x8 invalid = cv::v_setall_u16(kInvalidCode);
    const cv::v_uint16x8 zero = cv::v_setzero_u16();
    const cv::v_uint16x8 one = cv::v_setall_u16(1);
    const cv::v_uint16x8 two = cv::v_setall_u16(2);
    constexpr int kLanes = cv::v_uint16x8::nlanes;
    for (int i = 0; i < kPoints; i += kLanes) {
        const cv::v_uint16x8 c = cv::v_load(cur + i);
        const cv::v_uint16x8 m = cv::v_load(med + i);
        const cv::v_uint16x8 l = cv::v_load_expand(level + i);
        const cv::v_uint16x8 a0 = l == zero;
        const cv::v_uint16x8 a1 = l == one;
        const cv::v_uint16x8 a2 = l == two;
        const cv::v_uint16x8 big = cv::v_load_expand(large + i) != zero;
        const cv::v_uint16x8 e = cv::v_absdiff(c, cv::v_load(hprev + i)) <= vnear;  // 12.
        cv::v_uint16x8 r = zero;                                                    // 16.
        const cv::v_uint16x8 base = cv::v_load(refSlot + i);
        for (int j = 0; j < mid; ++j) r = r | (cv::v_absdiff(cv::v_load(recent[j] + i), base) > vt);

        cv::v_uint16x8 b = zero;                              // 1.
        b = cv::v_select(a1, c, b);                           // 9.
        b = cv::v_select(a2 & big, c, b);                     // 11.
        b = cv::v_select(a2 & ~big & e, c, b);                // 13.
        b = cv::v_select(a2 & ~big & ~e, m, b);               // 14.
        b = cv::v_select(b >= invalid, c, b);                 // 15.
        b = cv::v_select(a0 & r, c, b);                       // 17.
        b = cv::v_select(a0 & ~r, m, b);                      // 18.
        b = cv::v_select(c >= invalid, c, b);                 // 19.
        cv::v_store(cur + i, b);
    }
}

void OrbFiltersALG::Impl::markLargeApproach() {
    // Pixels with level 2 per 4 x 4 block: sum each group of 4 rows (the
    // 148 covered rows viewed as 37 rows of 4 image rows), then each group of
    // 4 columns.
    cv::compare(levelMap, 2, ones, cv::CMP_EQ);
    cv::min(ones, 1, ones);
    const cv::Mat grouped = ones.rowRange(0, kBlockRows * kBlock).reshape(1, kBlockRows);
    cv::add(grouped.colRange(0, kCols), grouped.colRange(kCols, 2 * kCols), rowSums);
    cv::add(rowSums, grouped.colRange(2 * kCols, 3 * kCols), rowSums);
    cv::add(rowSums, grouped.colRange(3 * kCols, 4 * kCols), rowSums);
    cv::reduce(rowSums.reshape(1, kBlockRows * kBlockCols), blockCounts, 1, cv::REDUCE_SUM, CV_32S);
    cv::compare(blockCounts.reshape(1, kBlockRows), kHotBlockPixels, hotBlocks, cv::CMP_GT);

    largeMask.setTo(0);
    if (cv::countNonZero(hotBlocks) <= kLargeComponentBlocks) return;  // no component can be large
    const int labels = cv::connectedComponents(hotBlocks, blockLabels, 4, CV_16U);
    componentSize.assign(static_cast<std::size_t>(labels), 0);
    const std::uint16_t* lab = blockLabels.ptr<std::uint16_t>();
    for (int i = 0; i < kBlockRows * kBlockCols; ++i)
        if (lab[i] != 0) ++componentSize[lab[i]];
    for (int i = 0; i < kBlockRows * kBlockCols; ++i) {
        if (lab[i] != 0 && componentSize[lab[i]] > kLargeComponentBlocks) {
            const int by = i / kBlockCols;
            const int bx = i % kBlockCols;
            largeMask(cv::Rect(bx * kBlock, by * kBlock, kBlock, kBlock)).setTo(255);
        }
    }
}

namespace {

// |g| with 16-bit saturation (|-32768| is 32767) greater than the limit.
bool Beyond(std::int32_t g, int limit) { return std::min(std::abs(g), 32767) > limit; }

std::int32_t Sat16(std::int32_t v) { return std::min(std::max(v, -32768), 32767); }

cv::v_uint16x8 BeyondV(const cv::v_int16x8& g, const cv::v_uint16x8& limit) {
    return cv::v_min(cv::v_abs(g), cv::v_setall_u16(32767)) > limit;
}

}  // namespace

void OrbFiltersALG::Impl::flyPixelStage() {
    // 64-bit so that a huge threshold cannot overflow; |difference| is at most
    // 32767, so larger limits flag nothing and negative ones flag everything.
    const std::int64_t limit64 = 3 * static_cast<std::int64_t>(flyPixelThreshold);
    if (limit64 >= 32767) return;
    if (limit64 < 0) {
        depthImage.setTo(0);
        return;
    }
    const int limit = static_cast<int>(limit64);
    const cv::v_uint16x8 vlimit = cv::v_setall_u16(static_cast<std::uint16_t>(limit));
    depthImage.convertTo(flyF, CV_16S);  // F: codes above 32767 saturate
    const std::int16_t* f = flyF.ptr<std::int16_t>();
    std::uint16_t* depth = depthImage.ptr<std::uint16_t>();
    const cv::v_int16x8 zero16 = cv::v_setzero_s16();
    constexpr int kLanes = cv::v_uint16x8::nlanes;

    // Vertical differences of a row: GU row 0 copies row 1, GD last row
    // copies row rows - 2; GD row 0 and GU last row stay 0.
    auto verticalAt = [&](int r, int c, std::int32_t& gu, std::int32_t& gd) {
        const std::int16_t* row = f + r * kCols;
        if (r == 0) {
            gu = Sat16(row[kCols + c] - row[c]);
            gd = 0;
        } else if (r == kRows - 1) {
            gu = 0;
            gd = Sat16(row[c - kCols] - row[c]);
        } else {
            gu = Sat16(row[c] - row[c - kCols]);
            gd = Sat16(row[c] - row[c + kCols]);
        }
    };

    for (int r = 0; r < kRows; ++r) {
        const std::int16_t* row = f + r * kCols;
        std::uint16_t* out = depth + r * kCols;
        // Inner columns 1 .. cols - 2, eight at a time; the last vector
        // overlaps the one before it, which is harmless as F is not written.
        for (int c0 = 1; c0 <= kCols - 1 - kLanes;) {
            const cv::v_int16x8 x = cv::v_load(row + c0);
            const cv::v_int16x8 gl = x - cv::v_load(row + c0 - 1);  // saturating
            const cv::v_int16x8 gr = x - cv::v_load(row + c0 + 1);
            cv::v_int16x8 gu;
            cv::v_int16x8 gd;
            if (r == 0) {
                gu = cv::v_load(row + kCols + c0) - x;
                gd = zero16;
            } else if (r == kRows - 1) {
                gu = zero16;
                gd = cv::v_load(row - kCols + c0) - x;
            } else {
                gu = x - cv::v_load(row - kCols + c0);
                gd = x - cv::v_load(row + kCols + c0);
            }
            const cv::v_uint16x8 flagged =
                (BeyondV(gl, vlimit) & BeyondV(gr, vlimit)) | (BeyondV(gu, vlimit) & BeyondV(gd, vlimit));
            cv::v_store(out + c0, cv::v_select(flagged, cv::v_setzero_u16(), cv::v_load(out + c0)));
            if (c0 == kCols - 1 - kLanes) break;
            c0 = std::min(c0 + kLanes, kCols - 1 - kLanes);
        }
        // Columns 0 and cols - 1: GL column 0 copies column 1, GR last column
        // copies column cols - 2; GR column 0 and GL last column stay 0.
        const std::int32_t edgeL[2] = {Sat16(row[1] - row[0]), 0};
        const std::int32_t edgeR[2] = {0, Sat16(row[kCols - 2] - row[kCols - 1])};
        const int edgeCol[2] = {0, kCols - 1};
        for (int e = 0; e < 2; ++e) {
            std::int32_t gu = 0;
            std::int32_t gd = 0;
            verticalAt(r, edgeCol[e], gu, gd);
            if ((Beyond(edgeL[e], limit) && Beyond(edgeR[e], limit)) || (Beyond(gu, limit) && Beyond(gd, limit)))
                out[edgeCol[e]] = 0;
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
