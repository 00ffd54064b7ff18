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

constexpr int kRows = ZEL_ORB_FRAME_ROWS;
constexpr int kCols = ZEL_ORB_FRAME_COLS;
constexpr int kPoints = ZEL_ORB_FRAME_POINTS;
constexpr int kHistorySlots = 9;
constexpr int kMaxSpatialSize = 31;
constexpr std::uint16_t kInvalidCode = 60000;
constexpr int kBlock = 4;
constexpr int kBlockRows = kRows / kBlock;  // the last rows that do not fill a block belong to none
constexpr int kBlockCols = kCols / kBlock;
constexpr int kHotBlockPixels = 8;
constexpr int kLargeComponentBlocks = 30;
// Level map values: how a pixel changed since the previous frame.
constexpr std::uint16_t kLevelSteady = 0;
constexpr std::uint16_t kLevelAway = 1;    // moved away by at least the threshold
constexpr std::uint16_t kLevelCloser = 2;  // came closer by at least the threshold

std::int32_t clampSpatialSize(std::int32_t size) {
    if (size < 3) return 1;  // no-op
    if (size > kMaxSpatialSize) return kMaxSpatialSize;
    if (size == 4 || size == 6) return size - 1;
    return size;
}

std::int32_t clampCount(std::int32_t count) { return std::min(std::max(count, 1), kHistorySlots); }

}  // namespace

struct OrbFiltersALG::Impl {
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
    cv::Mat spatialScratch;  // rows x cols u16
    cv::Mat levelMap;        // rows x cols u8, kLevel* values
    cv::Mat largeMask, ones; // rows x cols u8
    cv::Mat rowSums;         // block rows x cols u8
    cv::Mat blockCounts;     // (block rows x block cols) x 1 s32
    cv::Mat hotBlocks;       // block rows x block cols u8
    cv::Mat blockLabels;     // block rows x block cols u16
    std::vector<int> componentSize;
    cv::Mat flyF;                // rows x cols s16
    std::vector<float> frameIn;  // frame form: points x 3
    std::vector<float> frameOut;

    // A settings change under the mutex; nothing when the state is missing.
    template <class Change>
    static void update(Impl* impl, Change&& change) {
        if (!impl) return;
        std::lock_guard<std::mutex> lock(impl->mutex);
        change(*impl);
    }
    static bool read(Impl* impl, std::atomic<bool> Impl::*flag) {
        if (!impl) return false;
        std::lock_guard<std::mutex> lock(impl->mutex);
        return (impl->*flag).load();
    }

    void reset();
    void resetHistory() {
        historyIndex = 0;
        historyFull = 0;
        passCount = 0;
    }
    // One pass from in to out (points x 3 floats each); the caller holds mutex.
    void pass(const float* in, float* out);
    void projectToDepth();
    void projectToCloud();
    void spatialStage();
    void timeMedianStage();
    void levelPass(const std::uint16_t* previous, std::uint16_t threshold);
    void resultPass(const std::uint16_t* previous, const std::uint16_t* reference,
                    const std::uint16_t* const* recent, int recentCount, std::uint16_t threshold);
    void markLargeApproach();
    void flyPixelStage();
};

void OrbFiltersALG::Impl::reset() {
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
    const std::int32_t size = spatialSize;
    if (size < 3) return;
    const int passes = size <= 6 ? 1 : ((size - 1) / 2) - 1;
    const int aperture = size <= 6 ? size : 5;
    for (int i = 0; i < passes; ++i) {
        // medianBlur is not documented as safe in place; swap headers instead.
        cv::medianBlur(depthImage, spatialScratch, aperture);
        cv::swap(depthImage, spatialScratch);
    }
}

// The history ring holds the last `count` depth images. Once it is full, each
// pixel of the current image is replaced by the median of its history, unless
// it really moved: pixels moving away, pixels of a large approaching object,
// pixels that came closer by little, and pixels that changed within the
// recent half of the history keep their current depth. While the ring fills,
// the image passes unchanged.
void OrbFiltersALG::Impl::timeMedianStage() {
    const int count = timeMedianCount;  // clamped to 1..9 by the setters
    const int recentCount = count / 2;
    const std::uint16_t threshold = static_cast<std::uint16_t>(timeMedianThreshold & 0xFFFF);

    // A changed count or threshold makes the old history meaningless.
    if (count != lastCount || threshold != lastThreshold) resetHistory();
    if (historyIndex >= count) historyIndex = 0;
    depthImage.copyTo(history[historyIndex]);
    if (historyIndex >= count - 1) historyFull = 1;

    if (historyFull == 1) {
        const std::uint16_t* slots[kHistorySlots];
        for (int j = 0; j < count; ++j) slots[j] = history[j].ptr<std::uint16_t>();
        orb::columnMedian(slots, count, medianImage.ptr<std::uint16_t>(), kPoints);

        const int previous = historyIndex == 0 ? count - 1 : historyIndex - 1;
        levelPass(history[previous].ptr<std::uint16_t>(), threshold);
        markLargeApproach();
        // The reference is the frame recentCount passes back; the recent
        // frames are those after it.
        int reference = historyIndex - recentCount;
        if (reference < 0) reference += count;
        const std::uint16_t* recent[kHistorySlots];
        for (int j = 1; j <= recentCount; ++j) recent[j - 1] = slots[(reference + j) % count];
        resultPass(slots[previous], slots[reference], recent, recentCount, threshold);
    }

    ++historyIndex;
    ++passCount;
    lastCount = static_cast<std::uint8_t>(count);
    lastThreshold = threshold;
}

// With u16 a, b and threshold T: a - b >= T exactly when the saturated
// a - b is at least T and a >= b (the second part matters for T = 0 only).
void OrbFiltersALG::Impl::levelPass(const std::uint16_t* previous, std::uint16_t threshold) {
    const std::uint16_t* current = depthImage.ptr<std::uint16_t>();
    std::uint8_t* level = levelMap.ptr<std::uint8_t>();
    const cv::v_uint16x8 vThreshold = cv::v_setall_u16(threshold);
    const cv::v_uint16x8 away = cv::v_setall_u16(kLevelAway);
    const cv::v_uint16x8 closer = cv::v_setall_u16(kLevelCloser);
    const cv::v_uint16x8 steady = cv::v_setall_u16(kLevelSteady);
    constexpr int kLanes = cv::v_uint16x8::nlanes;
    static_assert(kPoints % kLanes == 0, "whole vectors");
    for (int i = 0; i < kPoints; i += kLanes) {
        const cv::v_uint16x8 now = cv::v_load(current + i);
        const cv::v_uint16x8 before = cv::v_load(previous + i);
        const cv::v_uint16x8 movedAway = ((now - before) >= vThreshold) & (now >= before);
        const cv::v_uint16x8 cameCloser = ((before - now) >= vThreshold) & (before >= now);
        cv::v_uint16x8 change = cv::v_select(movedAway, away, steady);
        change = cv::v_select(cameCloser, closer, change);
        cv::v_pack_store(level + i, change);
    }
}

// Per pixel, the writes below run in this order; a later one overrides an
// earlier one where both apply.
void OrbFiltersALG::Impl::resultPass(const std::uint16_t* previous, const std::uint16_t* reference,
                                     const std::uint16_t* const* recent, int recentCount, std::uint16_t threshold) {
    std::uint16_t* current = depthImage.ptr<std::uint16_t>();
    const std::uint16_t* median = medianImage.ptr<std::uint16_t>();
    const std::uint8_t* level = levelMap.ptr<std::uint8_t>();
    const std::uint8_t* large = largeMask.ptr<std::uint8_t>();
    const std::uint32_t nearLimit = 3u * threshold;  // compared with |difference| <= 65535
    const cv::v_uint16x8 vThreshold = cv::v_setall_u16(threshold);
    const cv::v_uint16x8 vNear = cv::v_setall_u16(static_cast<std::uint16_t>(std::min<std::uint32_t>(nearLimit, 65535)));
    const cv::v_uint16x8 invalid = cv::v_setall_u16(kInvalidCode);
    const cv::v_uint16x8 zero = cv::v_setzero_u16();
    const cv::v_uint16x8 away = cv::v_setall_u16(kLevelAway);
    const cv::v_uint16x8 closer = cv::v_setall_u16(kLevelCloser);
    const cv::v_uint16x8 steady = cv::v_setall_u16(kLevelSteady);
    constexpr int kLanes = cv::v_uint16x8::nlanes;
    for (int i = 0; i < kPoints; i += kLanes) {
        const cv::v_uint16x8 now = cv::v_load(current + i);
        const cv::v_uint16x8 med = cv::v_load(median + i);
        const cv::v_uint16x8 change = cv::v_load_expand(level + i);
        const cv::v_uint16x8 isSteady = change == steady;
        const cv::v_uint16x8 isAway = change == away;
        const cv::v_uint16x8 isCloser = change == closer;
        const cv::v_uint16x8 inLarge = cv::v_load_expand(large + i) != zero;
        // Within three thresholds of the previous frame.
        const cv::v_uint16x8 nearPrevious = cv::v_absdiff(now, cv::v_load(previous + i)) <= vNear;
        // Changed by more than the threshold within the recent frames.
        cv::v_uint16x8 recentChange = zero;
        const cv::v_uint16x8 base = cv::v_load(reference + i);
        for (int j = 0; j < recentCount; ++j)
            recentChange = recentChange | (cv::v_absdiff(cv::v_load(recent[j] + i), base) > vThreshold);

        cv::v_uint16x8 out = zero;
        out = cv::v_select(isAway, now, out);                             // moving away: follow it
        out = cv::v_select(isCloser & inLarge, now, out);                 // a large object approaching
        out = cv::v_select(isCloser & ~inLarge & nearPrevious, now, out);  // closer, but by little
        out = cv::v_select(isCloser & ~inLarge & ~nearPrevious, med, out); // an isolated jump closer
        out = cv::v_select(out >= invalid, now, out);                     // no invalid depth from the median
        out = cv::v_select(isSteady & recentChange, now, out);            // still settling
        out = cv::v_select(isSteady & ~recentChange, med, out);           // steady: the median
        out = cv::v_select(now >= invalid, now, out);                     // invalid depth stays as it is
        cv::v_store(current + i, out);
    }
}

void OrbFiltersALG::Impl::markLargeApproach() {
    // Pixels that came closer, per 4 x 4 block: sum each group of 4 rows
    // (the covered rows viewed as block rows of 4 image rows each), then each
    // group of 4 columns.
    cv::compare(levelMap, kLevelCloser, ones, cv::CMP_EQ);
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
    const std::uint16_t* label = blockLabels.ptr<std::uint16_t>();
    for (int i = 0; i < kBlockRows * kBlockCols; ++i)
        if (label[i] != 0) ++componentSize[label[i]];
    for (int i = 0; i < kBlockRows * kBlockCols; ++i) {
        if (label[i] != 0 && componentSize[label[i]] > kLargeComponentBlocks) {
            const int blockRow = i / kBlockCols;
            const int blockCol = i % kBlockCols;
            largeMask(cv::Rect(blockCol * kBlock, blockRow * kBlock, kBlock, kBlock)).setTo(255);
        }
    }
}

namespace {

// |g| with 16-bit saturation (|-32768| is 32767) greater than the limit.
bool beyond(std::int32_t difference, int limit) { return std::min(std::abs(difference), 32767) > limit; }

std::int32_t saturate16(std::int32_t value) { return std::min(std::max(value, -32768), 32767); }

cv::v_uint16x8 beyondV(const cv::v_int16x8& g, const cv::v_uint16x8& limit) {
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
    const cv::v_uint16x8 vLimit = cv::v_setall_u16(static_cast<std::uint16_t>(limit));
    depthImage.convertTo(flyF, CV_16S);  // codes above 32767 saturate
    const std::int16_t* signedDepth = flyF.ptr<std::int16_t>();
    std::uint16_t* depth = depthImage.ptr<std::uint16_t>();
    const cv::v_int16x8 zero16 = cv::v_setzero_s16();
    constexpr int kLanes = cv::v_uint16x8::nlanes;

    // Vertical differences of a pixel: at the top row the upward difference
    // copies the one below, at the bottom row the downward one copies the
    // one above; the missing sides stay 0.
    auto verticalAt = [&](int rowIndex, int col, std::int32_t& up, std::int32_t& down) {
        const std::int16_t* row = signedDepth + rowIndex * kCols;
        if (rowIndex == 0) {
            up = saturate16(row[kCols + col] - row[col]);
            down = 0;
        } else if (rowIndex == kRows - 1) {
            up = 0;
            down = saturate16(row[col - kCols] - row[col]);
        } else {
            up = saturate16(row[col] - row[col - kCols]);
            down = saturate16(row[col] - row[col + kCols]);
        }
    };

    for (int rowIndex = 0; rowIndex < kRows; ++rowIndex) {
        const std::int16_t* row = signedDepth + rowIndex * kCols;
        std::uint16_t* out = depth + rowIndex * kCols;
        // Inner columns 1 .. cols - 2, eight at a time; the last vector
        // overlaps the one before it, which is harmless as the signed copy is
        // not written.
        for (int c0 = 1; c0 <= kCols - 1 - kLanes;) {
            const cv::v_int16x8 here = cv::v_load(row + c0);
            const cv::v_int16x8 left = here - cv::v_load(row + c0 - 1);  // saturating
            const cv::v_int16x8 right = here - cv::v_load(row + c0 + 1);
            cv::v_int16x8 up;
            cv::v_int16x8 down;
            if (rowIndex == 0) {
                up = cv::v_load(row + kCols + c0) - here;
                down = zero16;
            } else if (rowIndex == kRows - 1) {
                up = zero16;
                down = cv::v_load(row - kCols + c0) - here;
            } else {
                up = here - cv::v_load(row - kCols + c0);
                down = here - cv::v_load(row + kCols + c0);
            }
            const cv::v_uint16x8 flagged =
                (beyondV(left, vLimit) & beyondV(right, vLimit)) | (beyondV(up, vLimit) & beyondV(down, vLimit));
            cv::v_store(out + c0, cv::v_select(flagged, cv::v_setzero_u16(), cv::v_load(out + c0)));
            if (c0 == kCols - 1 - kLanes) break;
            c0 = std::min(c0 + kLanes, kCols - 1 - kLanes);
        }
        // Columns 0 and cols - 1: the left difference of column 0 copies
        // column 1's, the right difference of the last column copies the one
        // before; the missing sides stay 0.
        const std::int32_t edgeLeft[2] = {saturate16(row[1] - row[0]), 0};
        const std::int32_t edgeRight[2] = {0, saturate16(row[kCols - 2] - row[kCols - 1])};
        const int edgeCol[2] = {0, kCols - 1};
        for (int side = 0; side < 2; ++side) {
            std::int32_t up = 0;
            std::int32_t down = 0;
            verticalAt(rowIndex, edgeCol[side], up, down);
            if ((beyond(edgeLeft[side], limit) && beyond(edgeRight[side], limit)) ||
                (beyond(up, limit) && beyond(down, limit)))
                out[edgeCol[side]] = 0;
        }
    }
}

void OrbFiltersALG::Impl::projectToDepth() {
    axisPoints.clear();
    const float* xs = cloud.ptr<float>(0);
    const float* ys = cloud.ptr<float>(1);
    const float* zs = cloud.ptr<float>(2);
    std::uint16_t* code = depthImage.ptr<std::uint16_t>();
    float* ry = ratioY.ptr<float>();
    float* rz = ratioZ.ptr<float>();
    for (int i = 0; i < pointCount; ++i) {
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
        float ratioOfY = 0.0f;
        float ratioOfZ = 0.0f;
        if (x > 0.0f) {
            ratioOfY = y / x;
            ratioOfZ = z / x;
            if (!std::isfinite(ratioOfY)) ratioOfY = 0.0f;
            if (!std::isfinite(ratioOfZ)) ratioOfZ = 0.0f;
        }
        ry[i] = ratioOfY;
        rz[i] = ratioOfZ;
        if (y == 0.0f && z == 0.0f && x > 0.0f) axisPoints.push_back(i);
    }
}

void OrbFiltersALG::Impl::projectToCloud() {
    const std::uint16_t* code = depthImage.ptr<std::uint16_t>();
    const float* ry = ratioY.ptr<float>();
    const float* rz = ratioZ.ptr<float>();
    float* xs = cloud.ptr<float>(0);
    float* ys = cloud.ptr<float>(1);
    float* zs = cloud.ptr<float>(2);
    for (int i = 0; i < pointCount; ++i) {
        float x = 0.0f;
        float y = 0.0f;
        float z = 0.0f;
        if (code[i] <= kInvalidCode) {
            const float depth = static_cast<float>(code[i]);
            y = ry[i] == 0.0f ? 0.0f : depth * ry[i] * 0.1f;
            z = rz[i] == 0.0f ? 0.0f : depth * rz[i] * 0.1f;
            x = (ry[i] == 0.0f && rz[i] == 0.0f) ? 0.0f : depth * 0.1f;
        }
        xs[i] = x;
        ys[i] = y;
        zs[i] = z;
    }
    for (const std::int32_t i : axisPoints) xs[i] = static_cast<float>(code[i]) * 0.1f;
}

void OrbFiltersALG::Impl::pass(const float* in, float* out) {
    const int count = pointCount;
    float* xs = cloud.ptr<float>(0);
    float* ys = cloud.ptr<float>(1);
    float* zs = cloud.ptr<float>(2);
    for (int i = 0; i < count; ++i) {
        xs[i] = in[3 * i];
        ys[i] = in[3 * i + 1];
        zs[i] = in[3 * i + 2];
    }
    projectToDepth();
    if (spatialEnable) spatialStage();
    if (timeMedianEnable) {
        timeMedianStage();
    } else if (passCount > 0) {
        resetHistory();
    }
    if (flyPixelEnable) flyPixelStage();
    projectToCloud();
    // Written only now, so a failure above leaves `out` as it was.
    for (int i = 0; i < count; ++i) {
        out[3 * i] = xs[i];
        out[3 * i + 1] = ys[i];
        out[3 * i + 2] = zs[i];
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
    Impl::update(impl_.get(), [&](Impl& state) {
        state.spatialEnable = enable;
        state.spatialSize = clampSpatialSize(size);
    });
}

void OrbFiltersALG::SetSpatialFilterEnable(bool enable) {
    Impl::update(impl_.get(), [&](Impl& state) { state.spatialEnable = enable; });
}

bool OrbFiltersALG::GetSpatialFilterEnable() { return Impl::read(impl_.get(), &Impl::spatialEnable); }

void OrbFiltersALG::SetTimeMedianFilter(bool enable, int32_t count, int32_t threshold) {
    Impl::update(impl_.get(), [&](Impl& state) {
        state.timeMedianEnable = enable;
        state.timeMedianCount = clampCount(count);
        state.timeMedianThreshold = threshold;
        if (!enable) state.resetHistory();
    });
}

void OrbFiltersALG::SetTimeMedianFilterEnable(bool enable) {
    Impl::update(impl_.get(), [&](Impl& state) {
        state.timeMedianEnable = enable;
        if (!enable) state.resetHistory();
    });
}

bool OrbFiltersALG::GetTimeMedianFilterEnable() { return Impl::read(impl_.get(), &Impl::timeMedianEnable); }

void OrbFiltersALG::SetFlyPixeFilter(bool enable, int32_t threshold) {
    Impl::update(impl_.get(), [&](Impl& state) {
        state.flyPixelEnable = enable;
        state.flyPixelThreshold = threshold;
    });
}

void OrbFiltersALG::SetFlyPixeFilterEnable(bool enable) {
    Impl::update(impl_.get(), [&](Impl& state) { state.flyPixelEnable = enable; });
}

bool OrbFiltersALG::GetFlyPixeFilterEnable() { return Impl::read(impl_.get(), &Impl::flyPixelEnable); }

void OrbFiltersALG::filtering(float* in, float* out) {
    if (!impl_ || in == nullptr || out == nullptr) return;
    try {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        try {
            impl_->pass(in, out);
        } catch (...) {
            impl_->resetHistory();  // the ring may hold a half-done pass
            if (in != out) std::memmove(out, in, static_cast<std::size_t>(impl_->pointCount) * 3 * sizeof(float));
        }
    } catch (...) {
    }
}

void OrbFiltersALG::filtering(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    if (!impl_ || frame == nullptr) return;
    Impl& state = *impl_;
    if (!state.spatialEnable && !state.timeMedianEnable && !state.flyPixelEnable) return;
    try {
        std::lock_guard<std::mutex> lock(state.mutex);
        ZelOrbPointData* points = frame[0];
        float* in = state.frameIn.data();
        float* out = state.frameOut.data();
        for (int i = 0; i < state.pointCount; ++i) {
            in[3 * i] = points[i].x;
            in[3 * i + 1] = points[i].y;
            in[3 * i + 2] = points[i].z;
        }
        try {
            state.pass(in, out);
        } catch (...) {
            state.resetHistory();
            return;  // frame unchanged
        }
        for (int i = 0; i < state.pointCount; ++i) {
            points[i].x = out[3 * i];
            points[i].y = out[3 * i + 1];
            points[i].z = out[3 * i + 2];
        }
    } catch (...) {
    }
}
