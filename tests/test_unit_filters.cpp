// Guards the host filters against wrong medians, lost or moved points, unsafe settings and races: the pipeline class against OpenCV and a per-pixel transcription, the median network, and each device's filter chain.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "OrbFiltersALG.h"
#include "core/device.h"
#include "filters/filter_settings.h"
#include "filters/median_network.h"
#include "support/harness.h"

namespace {

using orbtest::Frame;
constexpr int kRows = ZEL_ORB_FRAME_ROWS, kCols = ZEL_ORB_FRAME_COLS, kPoints = ZEL_ORB_FRAME_POINTS;

// Points on the x axis whose x truncates to exactly the given depth code, one
// pass of the pipeline over them, and the codes that come out.
cv::Mat Pass(OrbFiltersALG& f, const cv::Mat& codes) {
    std::vector<float> c(kPoints * 3, 0.0f);
    for (int i = 0; i < kPoints; ++i) c[3 * i] = (codes.at<std::uint16_t>(i) + 0.5f) * 0.1f;
    f.filtering(c.data(), c.data());
    cv::Mat m(kRows, kCols, CV_16UC1);
    for (int i = 0; i < kPoints; ++i) m.at<std::uint16_t>(i) = std::uint16_t(std::lround(c[3 * i] * 10));
    return m;
}
cv::Mat Flat(std::uint16_t code) { return cv::Mat(kRows, kCols, CV_16UC1, cv::Scalar(code)); }
bool Same(const cv::Mat& a, const cv::Mat& b) { return cv::countNonZero(a != b) == 0; }
std::uint16_t At(const cv::Mat& m, int r, int c) { return m.at<std::uint16_t>(r, c); }

TEST(FilterPipeline, ProjectionKeepsRaysEmptiesInvalidPointsAndTouchesOnlyCoordinates) {
    OrbFiltersALG f;
    const float in[][3] = {{12.34f, 1, -2}, {5, 0, 2}, {-1, 1, 1}, {0, 3, 3}, {6000.2f, 1, 0} /* code 60002 off the axis */,
                           {6000.2f, 0, 0} /* on the axis: kept */, {6553.6f, 0, 0}, {7000, 0, 0} /* would wrap to 446.4 */,
                           {NAN, 1, 1}, {6000, 1, 1} /* code 60000 still valid */};
    std::vector<float> c(kPoints * 3, 0.0f), out(kPoints * 3, 1.0f);
    std::memcpy(c.data(), in, sizeof in);
    f.filtering(c.data(), out.data());
    EXPECT_FLOAT_EQ(out[0], 12.3f);
    EXPECT_NEAR(out[1] / out[0], 1 / 12.34f, 1e-6);
    EXPECT_NEAR(out[2] / out[0], -2 / 12.34f, 1e-6);
    EXPECT_TRUE(out[3] == 5.0f && out[4] == 0.0f && std::fabs(out[5] - 2.0f) < 1e-5f);
    for (int i : {2, 3, 4, 6, 7, 8, 100}) EXPECT_TRUE(out[3 * i] == 0 && out[3 * i + 1] == 0 && out[3 * i + 2] == 0) << i;
    EXPECT_FLOAT_EQ(out[15], 6000.2f);
    EXPECT_FLOAT_EQ(out[27], 6000.0f);

    // The frame form: untouched while every stage is off; then only x, y, z change.
    Frame frame(kPoints, ZelOrbPointData{0, 0, 77.0f, 9u, 12.34f, 1.0f, 0.5f, 1234u, 5u});
    const Frame before = frame;
    f.filtering(orbtest::rows(frame));
    EXPECT_EQ(std::memcmp(before.data(), frame.data(), sizeof(ZelOrbPointData) * kPoints), 0);
    f.SetSpatialFilter(true, 3);
    f.filtering(orbtest::rows(frame));
    const ZelOrbPointData& p = frame[500];
    EXPECT_TRUE(p.x == 12.3f && p.distance == 77.0f && p.intensity == 9u && p.timestamp == 1234u && p.tag == 5u);
    // Null buffers: nothing happens.
    std::vector<float> buf(kPoints * 3, 1.5f);
    f.filtering(nullptr, nullptr);
    f.filtering(buf.data(), nullptr);
    f.filtering(nullptr, buf.data());
    f.filtering(static_cast<ZelOrbPointData(*)[kCols]>(nullptr));
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](float v) { return v == 1.5f; }));
}

TEST(FilterPipeline, SpatialSizesRunTheirNumberOfOpenCvMedianPasses) {
    std::mt19937 rng(7);
    cv::Mat codes(kRows, kCols, CV_16UC1);
    for (int i = 0; i < kPoints; ++i) codes.at<std::uint16_t>(i) = std::uint16_t(1 + rng() % 5000);
    auto passes = [&](int aperture, int count) {
        cv::Mat m = codes.clone();
        for (int i = 0; i < count; ++i) cv::medianBlur(m.clone(), m, aperture);
        return m;
    };
    // 4 and 6 clamp down to 3 and 5, below 3 is no pass, above 31 is 31's 14 passes.
    const int cases[][3] = {{3, 3, 1}, {4, 3, 1}, {5, 5, 1}, {6, 5, 1}, {7, 5, 2}, {9, 5, 3}, {11, 5, 4},
                            {2, 5, 0}, {0, 5, 0}, {INT_MIN, 5, 0}, {INT_MAX, 5, 14}};
    for (const auto& k : cases) {
        OrbFiltersALG f;
        f.SetSpatialFilter(true, k[0]);
        EXPECT_TRUE(Same(Pass(f, codes), passes(k[1], k[2]))) << "size " << k[0];
    }
}

TEST(FilterPipeline, MedianNetworksSelectTheSortedMiddle) {
    // 0-1 principle: a comparator network that selects correctly on every 0/1
    // input does on every input. Then random columns against a sort, with a
    // count that is not a multiple of the vector run.
    std::mt19937 rng(3);
    for (int n = 1; n <= 9; ++n) {
        for (const bool binary : {true, false}) {
            const std::size_t count = binary ? std::size_t(1) << n : 1237;
            std::vector<std::vector<std::uint16_t>> slots(n, std::vector<std::uint16_t>(count));
            for (std::size_t p = 0; p < count; ++p)
                for (int j = 0; j < n; ++j) slots[j][p] = binary ? (p >> j) & 1 : std::uint16_t(rng());
            std::vector<const std::uint16_t*> ptrs;
            for (auto& s : slots) ptrs.push_back(s.data());
            std::vector<std::uint16_t> out(count);
            orb::ColumnMedian(ptrs.data(), n, out.data(), count);
            for (std::size_t k = 0; k < count; ++k) {
                std::vector<std::uint16_t> col;
                for (int j = 0; j < n; ++j) col.push_back(slots[j][k]);
                std::nth_element(col.begin(), col.begin() + n / 2, col.end());
                ASSERT_EQ(out[k], col[n / 2]) << "n " << n << " column " << k;
            }
        }
    }
}

// Frames of a steady scene at 2000 with a flicker within the threshold.
cv::Mat Flicker(int pass) {
    static const std::uint16_t kValues[] = {2000, 2040, 1980, 2020, 1960};
    return Flat(kValues[pass % 5]);
}
// n - 1 passes leave the frames unchanged while the history fills; the n-th gives the median.
::testing::AssertionResult FillsThenActs(OrbFiltersALG& f, int n, int first = 0) {
    for (int pass = first; pass < first + n - 1; ++pass)
        if (!Same(Pass(f, Flicker(pass)), Flicker(pass))) return ::testing::AssertionFailure() << "pass " << pass << " changed";
    if (n > 1 && !Same(Pass(f, Flicker(first + n - 1)), Flat(2000))) return ::testing::AssertionFailure() << "no median";
    return ::testing::AssertionSuccess();
}

TEST(FilterPipeline, TimeMedianFillsItsHistoryFirstAndRestartsOnEveryChange) {
    OrbFiltersALG f;
    f.SetTimeMedianFilter(true, 5, 100);
    EXPECT_TRUE(FillsThenActs(f, 5));
    EXPECT_TRUE(Same(Pass(f, Flicker(5)), Flat(2000)));
    f.SetTimeMedianFilter(true, 5, 101);  // a new threshold
    EXPECT_TRUE(FillsThenActs(f, 5, 1));
    f.SetTimeMedianFilterEnable(false);  // switched off and on
    f.SetTimeMedianFilterEnable(true);
    EXPECT_TRUE(FillsThenActs(f, 5, 2));
    f.SetTimeMedianFilter(true, 3, 101);  // a new count
    EXPECT_TRUE(FillsThenActs(f, 3));
    f.SetTimeMedianFilter(true, 3, 0x10000 + 101);  // only the low 16 bits count: no restart
    EXPECT_TRUE(Same(Pass(f, Flat(2060)), Flat(2040)));
    for (int count : {20, 260, 1, 0, -3}) {  // clamped to 9, or to 1 (never changes a pixel)
        OrbFiltersALG g;
        g.SetTimeMedianFilter(true, count, 100);
        EXPECT_TRUE(FillsThenActs(g, count > 9 ? 9 : 1)) << count;
        EXPECT_TRUE(count > 9 || Same(Pass(g, Flicker(1)), Flicker(1))) << count;
    }
}

TEST(FilterPipeline, FlyingPixelsAreSpikesBeyondThreeThresholdsOnBothSides) {
    OrbFiltersALG f;
    f.SetFlyPixeFilter(true, 300);  // limit 900
    cv::Mat m = Flat(1000);
    m.at<std::uint16_t>(50, 100) = 5000;    // lone spike
    m.at<std::uint16_t>(60, 100) = 1900;    // exactly the limit: kept
    m.at<std::uint16_t>(70, 0) = 5000;      // column 0: flagged by the vertical test
    m.col(359).setTo(5000);                 // last column: only the vertical test applies
    m.col(200).setTo(5000);                 // an inner stripe fails the horizontal test
    m.row(0).colRange(10, 20).setTo(5000);  // row 0: never flagged vertically
    m.at<std::uint16_t>(0, 30) = 5000;      // but a lone spike there fails horizontally
    cv::Mat out = Pass(f, m);
    const int probes[][3] = {{50, 100, 0}, {60, 100, 1900}, {70, 0, 0}, {70, 359, 5000}, {70, 200, 0},
                             {0, 15, 5000}, {0, 30, 0}, {10, 10, 1000}};
    for (const auto& p : probes) EXPECT_EQ(At(out, p[0], p[1]), p[2]) << p[0] << "," << p[1];
    // A step edge: the pixel on the step differs from both sides by more than
    // the limit; the sides touch a neighbour of equal depth.
    cv::Mat step = Flat(1000);
    step.colRange(181, kCols).setTo(5000);
    step.col(180).setTo(3000);
    out = Pass(f, step);
    EXPECT_TRUE(At(out, 75, 180) == 0 && At(out, 75, 179) == 1000 && At(out, 75, 181) == 5000);
    cv::Mat far = Flat(45000);  // codes above 32767 saturate: 33000 next to 45000 is no jump
    far.at<std::uint16_t>(75, 75) = 33000;
    EXPECT_EQ(At(Pass(f, far), 75, 75), 33000);
}

// A literal, per-pixel transcription of the time-median and flying-pixel
// stages, to hold the vectorised stages to on random sequences.
struct ReferenceStages {
    std::vector<cv::Mat> history = std::vector<cv::Mat>(9);
    int index = 0, full = 0, lastN = 0, lastT = 0;

    void timeMedian(cv::Mat& cur, int n, int t) {
        if (n != lastN || t != lastT) index = full = 0;
        if (index >= n) index = 0;
        history[index] = cur.clone();
        if (index >= n - 1) full = 1;
        if (full == 1) {
            cv::Mat a = cv::Mat::zeros(kRows, kCols, CV_8UC1), b = cv::Mat::zeros(kRows, kCols, CV_16UC1);
            cv::Mat med(kRows, kCols, CV_16UC1), d(kRows, kCols, CV_32SC1);
            const int prev = index == 0 ? n - 1 : index - 1;
            for (int i = 0; i < kPoints; ++i) {
                std::vector<std::uint16_t> col;
                for (int j = 0; j < n; ++j) col.push_back(history[j].at<std::uint16_t>(i));
                std::sort(col.begin(), col.end());
                med.at<std::uint16_t>(i) = col[n / 2];
                const int di = int(history[index].at<std::uint16_t>(i)) - int(history[prev].at<std::uint16_t>(i));
                d.at<int>(i) = di;
                a.at<std::uint8_t>(i) = di <= -t ? 2 : di >= t ? 1 : 0;  // with t = 0 an unchanged pixel recedes
                if (a.at<std::uint8_t>(i) == 1) b.at<std::uint16_t>(i) = cur.at<std::uint16_t>(i);
            }
            // 4 x 4 blocks with more than 8 receding pixels; components of more than 30 blocks are large.
            cv::Mat hot = cv::Mat::zeros(37, 90, CV_8UC1), labels;
            for (int i = 0; i < 37 * 90; ++i) {
                int count = 0;
                for (int k = 0; k < 16; ++k) count += a.at<std::uint8_t>(i / 90 * 4 + k / 4, i % 90 * 4 + k % 4) == 2;
                hot.at<std::uint8_t>(i) = count > 8;
            }
            std::vector<int> size(cv::connectedComponents(hot, labels, 4, CV_16U), 0);
            for (int i = 0; i < 37 * 90; ++i) size[labels.at<std::uint16_t>(i)]++;
            const int mid = n / 2, ref = (index - mid + n) % n;
            for (int i = 0; i < kPoints; ++i) {
                const int r = i / kCols, c = i % kCols, ai = a.at<std::uint8_t>(i);
                const std::uint16_t cu = cur.at<std::uint16_t>(i), md = med.at<std::uint16_t>(i);
                std::uint16_t& bi = b.at<std::uint16_t>(i);
                const int label = r < 148 ? labels.at<std::uint16_t>(r / 4, c / 4) : 0;
                const bool large = label != 0 && size[label] > 30, near = std::abs(d.at<int>(i)) <= 3 * t;
                if (ai == 2) bi = large || near ? cu : md;
                if (bi >= 60000) bi = cu;
                bool recent = false;
                for (int j = 1; j <= mid; ++j)
                    recent = recent || std::abs(int(history[(ref + j) % n].at<std::uint16_t>(i)) - int(history[ref].at<std::uint16_t>(i))) > t;
                if (ai == 0) bi = recent ? cu : md;
                if (cu >= 60000) bi = cu;
            }
            cur = b;
        }
        ++index;
        lastN = n;
        lastT = t;
    }

    static void flying(cv::Mat& depth, long long threshold) {
        auto sat = [](long long v) { return std::min(std::max(v, -32768LL), 32767LL); };
        auto f = [&](int r, int c) { return std::min<long long>(depth.at<std::uint16_t>(r, c), 32767); };
        auto beyond = [&](long long g) { return std::min(std::abs(g), 32767LL) > 3 * threshold; };
        cv::Mat out = depth.clone();
        for (int r = 0; r < kRows; ++r)
            for (int c = 0; c < kCols; ++c) {
                // Edge pixels use their neighbour's difference; the far edge has none.
                const int cl = c == 0 ? 1 : c, cr = c == kCols - 1 ? kCols - 2 : c;
                const int ru = r == 0 ? 1 : r, rd = r == kRows - 1 ? kRows - 2 : r;
                const long long l = cl == kCols - 1 ? 0 : sat(f(r, cl) - f(r, cl - 1));
                const long long rr = cr == 0 ? 0 : sat(f(r, cr) - f(r, cr + 1));
                const long long u = ru == kRows - 1 ? 0 : sat(f(ru, c) - f(ru - 1, c));
                const long long d = rd == 0 ? 0 : sat(f(rd, c) - f(rd + 1, c));
                if ((beyond(l) && beyond(rr)) || (beyond(u) && beyond(d))) out.at<std::uint16_t>(r, c) = 0;
            }
        depth = out;
    }
};

// A noisy wall, a block moving toward the camera, speckles, invalid and far codes.
cv::Mat RandomScene(std::mt19937& rng, int pass) {
    cv::Mat m(kRows, kCols, CV_16UC1);
    std::uniform_int_distribution<int> noise(-150, 150), pos(0, kPoints - 1);
    for (int i = 0; i < kPoints; ++i) m.at<std::uint16_t>(i) = std::uint16_t(3000 + noise(rng));
    m(cv::Rect(40 + 4 * pass, 30, 60, 50)).setTo(3000 - 400 * pass);
    for (int k = 0; k < 300; ++k) m.at<std::uint16_t>(pos(rng)) = std::uint16_t(rng() % 65536);
    for (int k = 0; k < 100; ++k) m.at<std::uint16_t>(pos(rng)) = 0;
    return m;
}

TEST(FilterPipeline, StagesMatchAPerPixelTranscriptionOnRandomScenes) {
    // Thresholds 0 and 30000 reach the edges of the saturated comparisons.
    const std::pair<int, int> runs[] = {{5, 100}, {9, 60}, {4, 0}, {2, 30000}, {7, 250}};
    for (const auto& [count, threshold] : runs) {
        std::mt19937 rng(count * 1000 + threshold);
        OrbFiltersALG f;
        f.SetTimeMedianFilter(true, count, threshold);
        ReferenceStages ref;
        for (int pass = 0; pass < count + 3; ++pass) {
            cv::Mat scene = RandomScene(rng, pass), expected = scene.clone();
            ref.timeMedian(expected, count, threshold);
            ASSERT_TRUE(Same(Pass(f, scene), expected)) << "count " << count << " pass " << pass;
        }
    }
    for (int threshold : {300, 0, 20000, -5}) {
        std::mt19937 rng(static_cast<unsigned>(threshold + 99));
        OrbFiltersALG f;
        f.SetFlyPixeFilter(true, threshold);
        cv::Mat scene = RandomScene(rng, 2), expected = scene.clone();
        ReferenceStages::flying(expected, threshold);
        EXPECT_TRUE(Same(Pass(f, scene), expected)) << threshold;
    }
}

TEST(FilterPipeline, SettersGettersAndInitHoldUnderConcurrentPasses) {
    OrbFiltersALG f;
    f.SetSpatialFilterEnable(true);
    f.SetTimeMedianFilter(true, 3, 10);
    f.SetFlyPixeFilterEnable(true);
    EXPECT_TRUE(f.GetSpatialFilterEnable() && f.GetTimeMedianFilterEnable() && f.GetFlyPixeFilterEnable());
    f.init();
    EXPECT_FALSE(f.GetSpatialFilterEnable() || f.GetTimeMedianFilterEnable() || f.GetFlyPixeFilterEnable());
    for (int t : {INT_MIN, -1, INT_MAX}) {  // extreme thresholds: no overflow, no NaN
        OrbFiltersALG g;
        g.SetSpatialFilter(true, 5);
        g.SetTimeMedianFilter(true, 3, t);
        g.SetFlyPixeFilter(true, t);
        for (int pass = 0; pass < 4; ++pass) Pass(g, Flicker(pass));
    }
    std::atomic<bool> stop{false};
    std::thread setter([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            f.SetSpatialFilter(i % 2 == 0, 3 + 2 * (i % 3));
            f.SetTimeMedianFilter(i % 3 != 0, 1 + i % 9, i % 7 ? 50 + i : INT_MIN);
            f.SetFlyPixeFilter(i % 4 != 0, i % 5 ? 100 + i : INT_MAX);
        }
    });
    Frame frame(kPoints, ZelOrbPointData{0, 0, 1.0f, 1u, 10.0f, 1.0f, 1.0f, 0u, 0u});
    for (int i = 0; i < 20; ++i) f.filtering(orbtest::rows(frame));
    stop = true;
    setter.join();
    for (const ZelOrbPointData& p : frame) ASSERT_TRUE(p.x == 0 || std::fabs(p.x - 10.0f) < 0.11f) << p.x;
}

// ------------------------------------------------------ a device's filter chain

ZelOrbPointData Point(float distance, float x, float y, float z, std::uint32_t intensity = 100) {
    ZelOrbPointData p{};
    p.distance = distance, p.x = x, p.y = y, p.z = z, p.intensity = intensity;
    return p;
}

TEST(FilterChain, DistanceWindowIsOpenAndComparesInFloat) {
    orb::FilterSettings s;
    ZelOrbPointData p = Point(100, 1, 2, 3);
    orb::ApplyDistanceWindow(s, p);  // off by default
    EXPECT_EQ(p.x, 1.0f);
    s.distanceFilterEnable = true;  // min 0, max 100
    for (float d : {100.0f, 0.0f, 150.0f, 50.0f, 99.0f, NAN}) {
        ZelOrbPointData q = Point(d, 1, 2, 3, 7);
        orb::ApplyDistanceWindow(s, q);
        const bool kept = !(d == 100 || d == 0 || d == 150);
        EXPECT_TRUE(q.x == (kept ? 1 : 0) && q.y == (kept ? 2 : 0) && q.z == (kept ? 3 : 0) && q.intensity == 7) << d;
        EXPECT_TRUE(q.distance == d || std::isnan(d));
    }
    s.distanceMin = 16777217u;  // becomes 2^24 in float
    s.distanceMax = 4000000000u;
    p = Point(16777216.0f, 1, 2, 3);
    orb::ApplyDistanceWindow(s, p);
    EXPECT_EQ(p.x, 0.0f);
}

TEST(FilterChain, CompensationThenIntensityTableThenPipeline) {
    orb::FilterSettings s;
    Frame f(kPoints);
    f[1] = Point(999, 3, 4, 0);
    s.compensationEnable = true;  // offsets 0: distance recomputed
    orb::RunFrameChain(s, f.data());
    EXPECT_TRUE(f[0].distance == 0 && f[0].x == 0 && std::fabs(f[1].distance - 5.0f) < 1e-6f);
    s.distanceOffset = 4;
    s.calibrationDistanceOffset = 6;
    orb::RunFrameChain(s, f.data());
    EXPECT_TRUE(f[0].x == 10 && f[0].distance == 10 && f[2].x == 10 && std::fabs(f[1].x - 13.0f) < 1e-5f);
    Frame g(kPoints);  // the sum wraps as signed 32-bit
    s.distanceOffset = INT_MAX;
    s.calibrationDistanceOffset = 1;
    orb::RunFrameChain(s, g.data());
    EXPECT_EQ(g[0].x, static_cast<float>(INT_MIN));

    // Default table: below 250 needs 13, 250..450 needs 4, 450..1000 needs 2, beyond: kept.
    orb::FilterSettings t;
    t.intensityFilterEnable = true;
    Frame h(kPoints);
    const ZelOrbPointData points[] = {Point(42, 300, 0, 0, 3), Point(42, 300, 0, 0, 4), Point(42, 0, 600, 800, 0),
                                      Point(42, 100, 0, 0, 12), Point(42, 600, 0, 0, 1), Point(42, 600, 0, 0, 2)};
    std::copy(std::begin(points), std::end(points), h.begin());
    orb::RunFrameChain(t, h.data());
    const bool kept[] = {false, true, true, false, false, true};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(h[i].x != 0 || h[i].y != 0, kept[i]) << i;
    EXPECT_TRUE(h[0].intensity == 0 && h[0].distance == 42);

    // Compensation moves a point from r = 240 (needs 13) to r = 260 (needs 4):
    // kept only because it runs first; the pipeline projects it last.
    t.distanceOffset = 20;
    t.compensationEnable = true;
    t.pipeline.SetFlyPixeFilter(true, 300);
    h[0] = Point(1, 240.04f, 0, 0, 5);
    orb::RunFrameChain(t, h.data());
    EXPECT_FLOAT_EQ(h[0].x, 260.0f);
    EXPECT_NEAR(h[0].distance, 260.04f, 1e-3);
}

TEST(FilterChain, TablesAreSortedAndAnEmptyOneOnlyComplains) {
    const double d[] = {10, 2.5}, i[] = {2, 13};
    EXPECT_EQ(orb::BuildIntensityTable(d, i, 2), (orb::IntensityTable{{2.5, 13}, {10, 2}}));
    const double dn[] = {NAN, 4, 1, NAN, 3}, in[] = {1, 2, 3, 4, 5};  // NaN distances go last
    const orb::IntensityTable t = orb::BuildIntensityTable(dn, in, 5);
    EXPECT_TRUE(t[0] == std::make_pair(1.0, 3.0) && t[2] == std::make_pair(4.0, 2.0));
    EXPECT_TRUE(std::isnan(t[3].first) && t[3].second == 1 && t[4].second == 4);
    EXPECT_TRUE(orb::BuildIntensityTable(nullptr, nullptr, 0).empty());

    orb::FilterSettings s;
    s.setIntensityTable(std::make_shared<const orb::IntensityTable>());
    s.intensityFilterEnable = true;
    Frame f(kPoints);
    f[0] = Point(1, 100, 0, 0, 0);
    testing::internal::CaptureStdout();
    orb::RunFrameChain(s, f.data());
    orb::RunFrameChain(s, f.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Distance and intensity thresholds must have the same size\n"
              "Distance and intensity thresholds must have the same size\n");
    EXPECT_EQ(f[0].x, 100.0f);
}

TEST(FilterChain, DeviceSettersTakeExtremeValues) {
    const char* ip = "127.0.0.2";
    orb::DeviceRecord& dev = orbtest::addDevice(ip);
    EXPECT_EQ(ZelOrbSetSpatialFilter(ip, true, INT_MIN), RC_OK);
    EXPECT_EQ(ZelOrbSetTimeMedianFilter(ip, true, INT_MAX, INT_MIN), RC_OK);
    EXPECT_EQ(ZelOrbSetFlyingFilter(ip, true, INT_MIN), RC_OK);
    EXPECT_EQ(ZelOrbSetDistanceFiltering(ip, true, UINT32_MAX, 0), RC_OK);  // an empty window
    const double d[2] = {1, 2}, i[2] = {3, 4};
    EXPECT_EQ(ZelOrbSetIntensityFiltering(ip, true, d, i, 2), RC_OK);
    Frame f(kPoints, Point(300, 300, 1, 1, 50));
    orb::RunFrameChain(dev.stream.filters, f.data());
    ZelOrbPointData p = f[1];
    orb::ApplyDistanceWindow(dev.stream.filters, p);
    EXPECT_EQ(p.x, 0.0f);
    EXPECT_TRUE(orbtest::removeDevice(ip));
}

}  // namespace
