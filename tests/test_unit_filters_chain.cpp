// The per-device filter settings on frames built here: distance window,
// compensation, intensity table and the chain's order; the exports' checks
// that need no device.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <thread>
#include <vector>

#include "filters/filter_settings.h"
#include "orb_sdk.h"

namespace {

constexpr int kPoints = ZEL_ORB_FRAME_POINTS;

ZelOrbPointData Point(float distance, float x, float y, float z, std::uint32_t intensity = 100) {
    ZelOrbPointData p{};
    p.distance = distance;
    p.x = x;
    p.y = y;
    p.z = z;
    p.intensity = intensity;
    return p;
}

TEST(FilterWindow, ClearsCoordinatesOutsideTheOpenWindow) {
    orb::FilterSettings s;
    ZelOrbPointData p = Point(100, 1, 2, 3);
    orb::applyDistanceWindow(s, p);  // off by default
    EXPECT_EQ(p.x, 1.0f);

    s.distanceFilterEnable = true;  // min 0, max 100
    for (float d : {100.0f, 0.0f, 150.0f}) {
        ZelOrbPointData q = Point(d, 1, 2, 3, 7);
        orb::applyDistanceWindow(s, q);
        EXPECT_EQ(q.x, 0.0f) << d;
        EXPECT_EQ(q.y, 0.0f) << d;
        EXPECT_EQ(q.z, 0.0f) << d;
        EXPECT_EQ(q.distance, d);
        EXPECT_EQ(q.intensity, 7u);
    }
    for (float d : {50.0f, 99.0f, NAN}) {
        ZelOrbPointData q = Point(d, 1, 2, 3);
        orb::applyDistanceWindow(s, q);
        EXPECT_EQ(q.x, 1.0f) << d;
    }
    // Bounds are converted to float: 2^24 + 1 becomes 2^24.
    s.distanceMin = 16777217u;
    s.distanceMax = 4000000000u;
    ZelOrbPointData q = Point(16777216.0f, 1, 2, 3);
    orb::applyDistanceWindow(s, q);
    EXPECT_EQ(q.x, 0.0f);
}

struct Frame {
    std::vector<ZelOrbPointData> v = std::vector<ZelOrbPointData>(kPoints);
    ZelOrbPointData* data() { return v.data(); }
};

TEST(FilterChain, CompensationShiftsEveryPointAndRecomputesDistance) {
    orb::FilterSettings s;
    Frame f;
    f.v[1] = Point(999, 3, 4, 0);
    s.compensationEnable = true;  // offsets 0
    orb::runFrameChain(s, f.data());
    EXPECT_EQ(f.v[0].distance, 0.0f);
    EXPECT_EQ(f.v[0].x, 0.0f);
    EXPECT_FLOAT_EQ(f.v[1].distance, 5.0f);

    s.distanceOffset = 4;
    s.calibrationDistanceOffset = 6;
    orb::runFrameChain(s, f.data());
    EXPECT_EQ(f.v[0].x, 10.0f);
    EXPECT_EQ(f.v[0].distance, 10.0f);
    EXPECT_EQ(f.v[2].x, 10.0f);
    EXPECT_FLOAT_EQ(f.v[1].x, 13.0f);

    // The sum wraps as signed 32-bit: INT_MAX + 1 is INT_MIN.
    Frame g;
    s.distanceOffset = INT_MAX;
    s.calibrationDistanceOffset = 1;
    orb::runFrameChain(s, g.data());
    EXPECT_EQ(g.v[0].x, static_cast<float>(INT_MIN));
}

TEST(FilterChain, DefaultIntensityTable) {
    orb::FilterSettings s;
    s.intensityFilterEnable = true;
    Frame f;
    f.v[0] = Point(42, 300, 0, 0, 3);   // band 250..450 needs 4
    f.v[1] = Point(42, 300, 0, 0, 4);
    f.v[2] = Point(42, 0, 600, 800, 0);  // r = 1000: beyond the table
    f.v[3] = Point(42, 100, 0, 0, 12);  // below 250 needs 13
    f.v[4] = Point(42, 600, 0, 0, 1);   // band 450..1000 needs 2
    f.v[5] = Point(42, 600, 0, 0, 2);
    orb::runFrameChain(s, f.data());
    EXPECT_EQ(f.v[0].x, 0.0f);
    EXPECT_EQ(f.v[0].intensity, 0u);
    EXPECT_EQ(f.v[0].distance, 42.0f);
    EXPECT_EQ(f.v[1].x, 300.0f);
    EXPECT_EQ(f.v[2].y, 600.0f);
    EXPECT_EQ(f.v[3].x, 0.0f);
    EXPECT_EQ(f.v[4].x, 0.0f);
    EXPECT_EQ(f.v[5].x, 600.0f);
}

TEST(FilterChain, EmptyTablePrintsAndLeavesTheFrame) {
    orb::FilterSettings s;
    s.setIntensityTable(std::make_shared<const orb::IntensityTable>());
    s.intensityFilterEnable = true;
    Frame f;
    f.v[0] = Point(1, 100, 0, 0, 0);
    testing::internal::CaptureStdout();
    orb::runFrameChain(s, f.data());
    orb::runFrameChain(s, f.data());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Distance and intensity thresholds must have the same size\n"
              "Distance and intensity thresholds must have the same size\n");
    EXPECT_EQ(f.v[0].x, 100.0f);
}

TEST(FilterChain, TableIsSortedByDistance) {
    const double d[] = {10, 2.5};
    const double i[] = {2, 13};
    EXPECT_EQ(orb::buildIntensityTable(d, i, 2), (orb::IntensityTable{{2.5, 13}, {10, 2}}));
    // NaN distances go last instead of breaking the sort.
    const double dn[] = {NAN, 4, 1, NAN, 3};
    const double in[] = {1, 2, 3, 4, 5};
    const orb::IntensityTable t = orb::buildIntensityTable(dn, in, 5);
    EXPECT_EQ(t[0], (std::pair<double, double>{1, 3}));
    EXPECT_EQ(t[2], (std::pair<double, double>{4, 2}));
    EXPECT_TRUE(std::isnan(t[3].first));
    EXPECT_EQ(t[3].second, 1);
    EXPECT_EQ(t[4].second, 4);
    EXPECT_TRUE(orb::buildIntensityTable(nullptr, nullptr, 0).empty());
}

TEST(FilterChain, OrderIsCompensationThresholdPipeline) {
    orb::FilterSettings s;
    // Compensation moves the point from r = 240 (needs 13) to r = 260
    // (needs 4): kept only because compensation runs first.
    s.distanceOffset = 20;
    s.compensationEnable = true;
    s.intensityFilterEnable = true;
    s.pipeline.SetFlyPixeFilter(true, 300);
    Frame f;
    f.v[0] = Point(1, 240.04f, 0, 0, 5);
    orb::runFrameChain(s, f.data());
    EXPECT_FLOAT_EQ(f.v[0].x, 260.0f);           // projected by the pipeline last...
    EXPECT_NEAR(f.v[0].distance, 260.04f, 1e-3);  // ...after compensation set the distance
}

TEST(FilterChain, TableSwapsWhileFramesRun) {
    orb::FilterSettings s;
    s.intensityFilterEnable = true;
    Frame f;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const double d[] = {1, 2, 3, 4, 5, 6, 7, 8};
        const double i[] = {1, 1, 1, 1, 1, 1, 1, 1};
        for (int k = 0; k < 2000 && !stop; ++k)
            s.setIntensityTable(std::make_shared<const orb::IntensityTable>(orb::buildIntensityTable(d, i, 1 + k % 8)));
    });
    for (int k = 0; k < 20; ++k) orb::runFrameChain(s, f.data());
    stop = true;
    writer.join();
    EXPECT_FALSE(s.intensityTable()->empty());
}

TEST(FilterExports, RefuseNullAndUnknownDevices) {
    EXPECT_EQ(ZelOrbSetDistanceFiltering(nullptr, true, 0, 1), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetIntensityFiltering(nullptr, true, nullptr, nullptr, 3), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetDistanceFiltering("127.0.0.99", true, 0, 1), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbSetDistanceCompensationEnabled("127.0.0.99", true), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbSetIntensityFiltering("127.0.0.99", true, nullptr, nullptr, 3), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbSetSpatialFilter("127.0.0.99", true, 5), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbSetTimeMedianFilter("127.0.0.99", true, 5, 100), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbSetFlyingFilter("127.0.0.99", true, 300), RC_DEVICE_NOT_FOUND);
}

}  // namespace
