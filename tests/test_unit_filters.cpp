// Guards the host filters against wrong medians, lost or moved points and unsafe settings, against OpenCV and reference loops.

#include <opencv2/imgproc.hpp>

#include "OrbFiltersALG.h"
#include "device/device.h"
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
bool Same(const cv::Mat& a, const cv::Mat& b) { return cv::countNonZero(a != b) == 0; }

TEST(FilterPipeline, ProjectionKeepsRaysEmptiesInvalidPointsAndTouchesOnlyCoordinates) {
    OrbFiltersALG f;
    // Code 60002 is invalid off the axis, kept on it; 7000 would wrap to 446.4; 60000 is valid.
    const float in[][3] = {{12.34f, 1, -2},  {5, 0, 2},     {-1, 1, 1}, {0, 3, 3},    {6000.2f, 1, 0},
                           {6000.2f, 0, 0},  {6553.6f, 0, 0}, {7000, 0, 0}, {NAN, 1, 1}, {6000, 1, 1}};
    std::vector<float> c(kPoints * 3, 0.0f), out(kPoints * 3, 1.0f);
    std::memcpy(c.data(), in, sizeof in);
    f.filtering(c.data(), out.data());
    EXPECT_FLOAT_EQ(out[0], 12.3f);
    EXPECT_NEAR(out[1] / out[0], 1 / 12.34f, 1e-6);
    EXPECT_NEAR(out[2] / out[0], -2 / 12.34f, 1e-6);
    EXPECT_TRUE(out[3] == 5.0f && out[4] == 0.0f && std::fabs(out[5] - 2.0f) < 1e-5f);
    for (int i : {2, 3, 4, 6, 7, 8, 100}) EXPECT_TRUE(!out[3 * i] && !out[3 * i + 1] && !out[3 * i + 2]) << i;
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
            orb::columnMedian(ptrs.data(), n, out.data(), count);
            for (std::size_t k = 0; k < count; ++k) {
                std::vector<std::uint16_t> col;
                for (int j = 0; j < n; ++j) col.push_back(slots[j][k]);
                std::nth_element(col.begin(), col.begin() + n / 2, col.end());
                ASSERT_EQ(out[k], col[n / 2]) << "n " << n << " column " << k;
            }
        }
    }
}

// The flying-pixel check, pixel by pixel: a point whose differences to both
// horizontal or both vertical neighbours exceed 3 T (16-bit saturated) is
// emptied; edge pixels use their neighbour's difference, the far edge none.
cv::Mat Flying(cv::Mat depth, long long threshold) {
    auto sat = [](long long v) { return std::min(std::max(v, -32768LL), 32767LL); };
    auto f = [&](int r, int c) { return std::min<long long>(depth.at<std::uint16_t>(r, c), 32767); };
    auto beyond = [&](long long g) { return std::min(std::abs(g), 32767LL) > 3 * threshold; };
    cv::Mat out = depth.clone();
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < kCols; ++c) {
            const int cl = c == 0 ? 1 : c, cr = c == kCols - 1 ? kCols - 2 : c;
            const int ru = r == 0 ? 1 : r, rd = r == kRows - 1 ? kRows - 2 : r;
            const long long l = cl == kCols - 1 ? 0 : sat(f(r, cl) - f(r, cl - 1));
            const long long rr = cr == 0 ? 0 : sat(f(r, cr) - f(r, cr + 1));
            const long long u = ru == kRows - 1 ? 0 : sat(f(ru, c) - f(ru - 1, c));
            const long long d = rd == 0 ? 0 : sat(f(rd, c) - f(rd + 1, c));
            if ((beyond(l) && beyond(rr)) || (beyond(u) && beyond(d))) out.at<std::uint16_t>(r, c) = 0;
        }
    return out;
}

TEST(FilterPipeline, FlyingPixelsMatchAPixelByPixelReferenceOnRandomScenes) {
    for (int threshold : {300, 0, 20000, -5}) {
        std::mt19937 rng(static_cast<unsigned>(threshold + 99));
        OrbFiltersALG f;
        f.SetFlyPixeFilter(true, threshold);
        // A noisy wall, a block, speckles, invalid and far codes.
        cv::Mat scene(kRows, kCols, CV_16UC1);
        std::uniform_int_distribution<int> noise(-150, 150), pos(0, kPoints - 1);
        for (int i = 0; i < kPoints; ++i) scene.at<std::uint16_t>(i) = std::uint16_t(3000 + noise(rng));
        scene(cv::Rect(48, 30, 60, 50)).setTo(2200);
        for (int k = 0; k < 300; ++k) scene.at<std::uint16_t>(pos(rng)) = std::uint16_t(rng() % 65536);
        for (int k = 0; k < 100; ++k) scene.at<std::uint16_t>(pos(rng)) = 0;
        EXPECT_TRUE(Same(Pass(f, scene), Flying(scene, threshold))) << threshold;
    }
}

// Once the history is full, jitter within T and a lone jump closer by more
// than 3 T take the median of the history; moving away, a large block moving
// closer, a smaller jump and a change within the last frames keep their value.
TEST(FilterPipeline, TimeMedianSmoothsJitterAndLoneJumpsButKeepsMotion) {
    struct Pixel {
        int row, col, early;  // the wall's 3000 becomes value `early` frames before the last
        std::uint16_t value, want;
    };
    const Pixel pixels[] = {{0, 10, 0, 3050, 3000},  {20, 20, 0, 2000, 3000}, {20, 30, 0, 2800, 2800},
                            {20, 40, 0, 4000, 4000}, {50, 100, 0, 2000, 2000}, {20, 50, 1, 3500, 3500}};
    const cv::Mat wall(kRows, kCols, CV_16UC1, cv::Scalar(3000));
    cv::Mat jump = wall.clone();
    jump.at<std::uint16_t>(20, 20) = 2000;
    // Counts clamp to 1..9, thresholds keep their low 16 bits.
    for (const auto& [count, threshold] : {std::pair{5, 100}, {20, 0x10000 + 100}}) {
        SCOPED_TRACE(count);
        OrbFiltersALG f;
        f.SetTimeMedianFilter(true, count, threshold);
        const int n = std::min(count, 9);
        for (int k = 0; k < n; ++k) {  // unchanged until the history is full
            cv::Mat m = wall.clone();
            if (k == n - 1) m(cv::Rect(80, 30, 60, 50)).setTo(2000);
            for (const Pixel& p : pixels)
                if (k >= n - 1 - p.early) m.at<std::uint16_t>(p.row, p.col) = p.value;
            const cv::Mat out = Pass(f, m);
            ASSERT_TRUE(k == n - 1 || Same(out, m)) << k;
            for (const Pixel& p : pixels)
                EXPECT_TRUE(k < n - 1 || out.at<std::uint16_t>(p.row, p.col) == p.want) << p.row << "," << p.col;
        }
        for (int k = 0; k < n; ++k) Pass(f, wall);
        f.SetTimeMedianFilter(true, count, threshold);  // the same settings keep the history
        EXPECT_EQ(Pass(f, jump).at<std::uint16_t>(20, 20), 3000);
        f.SetTimeMedianFilter(true, count, threshold + 1);  // a new one restarts it, as a switch-off does
        EXPECT_TRUE(Same(Pass(f, jump), jump));
        for (int k = 0; k < n; ++k) Pass(f, wall);
        f.SetTimeMedianFilterEnable(false);
        f.SetTimeMedianFilterEnable(true);
        EXPECT_TRUE(Same(Pass(f, jump), jump));
    }
}

TEST(FilterPipeline, InitSwitchesEveryStageOffAndExtremeThresholdsAreSafe) {
    OrbFiltersALG f;
    f.SetSpatialFilterEnable(true);
    f.SetTimeMedianFilter(true, 3, 10);
    f.SetFlyPixeFilterEnable(true);
    EXPECT_TRUE(f.GetSpatialFilterEnable() && f.GetTimeMedianFilterEnable() && f.GetFlyPixeFilterEnable());
    f.init();
    EXPECT_FALSE(f.GetSpatialFilterEnable() || f.GetTimeMedianFilterEnable() || f.GetFlyPixeFilterEnable());
    for (int t : {INT_MIN, -1, INT_MAX}) {  // no overflow (UBSan), no NaN
        f.SetSpatialFilter(true, 5);
        f.SetTimeMedianFilter(true, 3, t);
        f.SetFlyPixeFilter(true, t);
        Frame frame(kPoints, ZelOrbPointData{0, 0, 1.0f, 1u, 10.0f, 1.0f, 1.0f, 0u, 0u});
        for (int pass = 0; pass < 4; ++pass) f.filtering(orbtest::rows(frame));
        for (const ZelOrbPointData& p : frame) ASSERT_FALSE(std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z)) << t;
    }
}

// ------------------------------------------------------ a device's filter chain

ZelOrbPointData Point(float distance, float x, float y, float z, std::uint32_t intensity = 100) {
    ZelOrbPointData p{};
    p.distance = distance, p.x = x, p.y = y, p.z = z, p.intensity = intensity;
    return p;
}

TEST(FilterChain, CompensationThenIntensityTableThenPipeline) {
    orb::FilterSettings s;
    Frame f(kPoints);
    f[1] = Point(999, 3, 4, 0);
    s.compensationEnable = true;  // offsets 0: distance recomputed
    orb::runFrameChain(s, f.data());
    EXPECT_TRUE(f[0].distance == 0 && f[0].x == 0 && std::fabs(f[1].distance - 5.0f) < 1e-6f);
    s.distanceOffset = 4;
    s.calibrationDistanceOffset = 6;
    orb::runFrameChain(s, f.data());
    EXPECT_TRUE(f[0].x == 10 && f[0].distance == 10 && f[2].x == 10 && std::fabs(f[1].x - 13.0f) < 1e-5f);
    Frame g(kPoints);  // the sum wraps as signed 32-bit
    s.distanceOffset = INT_MAX;
    s.calibrationDistanceOffset = 1;
    orb::runFrameChain(s, g.data());
    EXPECT_EQ(g[0].x, static_cast<float>(INT_MIN));

    // Default table: below 250 needs 13, 250..450 needs 4, 450..1000 needs 2, beyond: kept.
    orb::FilterSettings t;
    t.intensityFilterEnable = true;
    Frame h(kPoints);
    const ZelOrbPointData points[] = {Point(42, 300, 0, 0, 3), Point(42, 300, 0, 0, 4), Point(42, 0, 600, 800, 0),
                                      Point(42, 100, 0, 0, 12), Point(42, 600, 0, 0, 1), Point(42, 600, 0, 0, 2)};
    std::copy(std::begin(points), std::end(points), h.begin());
    orb::runFrameChain(t, h.data());
    const bool kept[] = {false, true, true, false, false, true};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(h[i].x != 0 || h[i].y != 0, kept[i]) << i;
    EXPECT_TRUE(h[0].intensity == 0 && h[0].distance == 42);

    // Compensation moves a point from r = 240 (needs 13) to r = 260 (needs 4):
    // kept only because it runs first; the pipeline projects it last.
    t.distanceOffset = 20;
    t.compensationEnable = true;
    t.pipeline.SetFlyPixeFilter(true, 300);
    h[0] = Point(1, 240.04f, 0, 0, 5);
    orb::runFrameChain(t, h.data());
    EXPECT_FLOAT_EQ(h[0].x, 260.0f);
    EXPECT_NEAR(h[0].distance, 260.04f, 1e-3);
}

TEST(FilterChain, TablesAreSortedAndAnEmptyOneOnlyComplains) {
    const double d[] = {10, 2.5}, i[] = {2, 13};
    EXPECT_EQ(orb::buildIntensityTable(d, i, 2), (orb::IntensityTable{{2.5, 13}, {10, 2}}));
    orb::DeviceRecord& dev = orbtest::addDevice("127.0.0.70");  // the exported setters reach a device's chain
    ASSERT_TRUE(ZelOrbSetIntensityFiltering("127.0.0.70", true, d, i, 2) == RC_OK &&
                ZelOrbSetFlyingFilter("127.0.0.70", true, 300) == RC_OK);
    EXPECT_TRUE(*dev.stream.filters.intensityTable() == (orb::IntensityTable{{2.5, 13}, {10, 2}}) &&
                dev.stream.filters.intensityFilterEnable && dev.stream.filters.pipeline.GetFlyPixeFilterEnable());
    orbtest::removeDevice("127.0.0.70");
    const double dn[] = {NAN, 4, 1, NAN, 3}, in[] = {1, 2, 3, 4, 5};  // NaN distances go last
    const orb::IntensityTable t = orb::buildIntensityTable(dn, in, 5);
    EXPECT_TRUE(t[0] == std::make_pair(1.0, 3.0) && t[2] == std::make_pair(4.0, 2.0));
    EXPECT_TRUE(std::isnan(t[3].first) && t[3].second == 1 && t[4].second == 4);
    EXPECT_TRUE(orb::buildIntensityTable(nullptr, nullptr, 0).empty());

    orb::FilterSettings s;
    s.setIntensityTable(std::make_shared<const orb::IntensityTable>());
    s.intensityFilterEnable = true;
    Frame f(kPoints);
    f[0] = Point(1, 100, 0, 0, 0);
    testing::internal::CaptureStdout();
    orb::runFrameChain(s, f.data());
    orb::runFrameChain(s, f.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Distance and intensity thresholds must have the same size\n"
              "Distance and intensity thresholds must have the same size\n");
    EXPECT_EQ(f[0].x, 100.0f);
}

}  // namespace
