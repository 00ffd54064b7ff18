// Plane angle measurement and point-cloud rotation on frames built in the test.
// Every scene is a set of exact lines, so any random draw of the fit gives the
// same angle within the tolerances asserted.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "measure/angle_measure.h"
#include "measure/rotate.h"
#include "orb_sdk.h"

namespace {

using orb::measure::MeasureState;
using orb::measure::Window;
using Frame = std::vector<ZelOrbPointData>;

constexpr float kTol = 0.01f;

AngleMeasureParams referenceParams() {
    return AngleMeasureParams{-200, 200, -50, 50, 50, 10, 10, 400, 20, 30, 30.0f, 45.0f, 30.0f};
}

Frame emptyFrame() { return Frame(ZEL_ORB_FRAME_POINTS, ZelOrbPointData{}); }

ZelOrbPointData& at(Frame& f, int row, int col) { return f[static_cast<size_t>(row) * ZEL_ORB_FRAME_COLS + col]; }

// Column c sits at lateral L = c - 180 (y = -L), row r at height z = r - 75.
void setGrid(Frame& f, int row, int col, float range) {
    ZelOrbPointData& p = at(f, row, col);
    p.x = range;
    p.y = static_cast<float>(180 - col);
    p.z = static_cast<float>(row - 75);
}

// A flat wall: range = base + slope * lateral.
Frame gridWall(float base, float slope) {
    Frame f = emptyFrame();
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; ++r)
        for (int c = 0; c < ZEL_ORB_FRAME_COLS; ++c) setGrid(f, r, c, base + slope * static_cast<float>(c - 180));
    return f;
}

// Two faces meeting at lateral -120: face A (L >= -120) at -60 degrees, face B
// (the 60 columns of smallest lateral) at +34 degrees, i.e. 4 degrees short of
// square to A.
Frame cornerFrame() {
    const float kA = std::tan(60.0f * 3.14159265f / 180.0f);
    const float kB = std::tan(-34.0f * 3.14159265f / 180.0f);
    Frame f = emptyFrame();
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; ++r) {
        for (int c = 0; c < ZEL_ORB_FRAME_COLS; ++c) {
            const float L = static_cast<float>(c - 180);
            const float edge = 600.0f - 120.0f * kA;
            setGrid(f, r, c, L >= -120.0f ? 600.0f + kA * L : edge + kB * (L + 120.0f));
        }
    }
    return f;
}

// Leaves no measurement behind, whatever the state before.
void removeMeasurement() {
    const AngleMeasureParams p = referenceParams();
    if (ZelOrbEnableAngleMeasure(false, &p) == 1) ZelOrbEnableAngleMeasure(false, &p);
}

void freshMeasurement(const AngleMeasureParams& p) {
    removeMeasurement();
    ASSERT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
}

struct Call {
    int32_t code;
    std::string text;
    float angle;
};

Call measure(const Frame& f) {
    float angle = 123.0f;
    const AngleResult r = ZelOrbGetPlaneAngle(f.data(), &angle);
    return Call{r.code, r.message ? r.message : "(null)", angle};
}

class MeasureApi : public ::testing::Test {
protected:
    void TearDown() override { removeMeasurement(); }
};

// ------------------------------------------------------------ slicing, search

TEST(MeasureSlices, KeysAroundZeroAndOrdering) {
    using orb::measure::sliceKey;
    EXPECT_EQ(sliceKey(-9.5f, 10), 0);
    EXPECT_EQ(sliceKey(9.5f, 10), 0);
    EXPECT_EQ(sliceKey(10.5f, 10), 1);
    EXPECT_EQ(sliceKey(-10.5f, 10), -1);
    EXPECT_EQ(sliceKey(-19.9f, 10), -1);
    EXPECT_EQ(sliceKey(-20.0f, 10), -2);

    Frame f = emptyFrame();
    auto put = [&](int row, int col, float x, float y, float z) {
        at(f, row, col).x = x;
        at(f, row, col).y = y;
        at(f, row, col).z = z;
    };
    put(0, 0, 100, 5, -9.5f);
    put(3, 7, 110, -5, 9.5f);
    put(9, 2, 120, 0, 10.5f);
    put(1, 1, 130, 199, 0);    // y on the bound: outside
    put(1, 2, 400, 0, 0);      // range on the bound: outside
    put(1, 3, 100, 0, 50);     // height on the bound: outside
    const auto slices = orb::measure::buildSlices(f.data(), referenceParams());
    ASSERT_EQ(slices.size(), 2u);
    const auto& s0 = slices.at(0);
    ASSERT_EQ(s0.count, 3);  // y = 199 is inside; the other two are not
    EXPECT_EQ(s0.lateral, (std::vector<float>{-199, -5, 5}));
    EXPECT_EQ(s0.range, (std::vector<float>{130, 100, 110}));
    EXPECT_EQ(slices.at(1).count, 1);

    AngleMeasureParams zero = referenceParams();
    zero.sliceHeight = 0;
    EXPECT_TRUE(orb::measure::buildSlices(gridWall(200, 0).data(), zero).empty());
}

TEST(MeasureSlices, ProbeIndexFindsEqualOrNearestProbed) {
    using orb::measure::probeIndex;
    const std::vector<float> v{0, 10, 20, 30, 40};
    EXPECT_EQ(probeIndex(v, 30), 3u);
    EXPECT_EQ(probeIndex(v, 12), 1u);
    EXPECT_EQ(probeIndex(v, -5), 0u);
    EXPECT_EQ(probeIndex(v, 100), 4u);
    // A candidate at index 0 always gives way to the next probe.
    EXPECT_EQ(probeIndex(std::vector<float>{0, 10}, 1), 1u);
}

// ---------------------------------------------------------------- the calls

TEST_F(MeasureApi, NoMeasurementAndEnableToggle) {
    removeMeasurement();
    const Frame wall = gridWall(200, 0);
    const Call none = measure(wall);
    EXPECT_EQ(none.code, -100);
    EXPECT_EQ(none.text, "Do not init algotithm module");
    EXPECT_EQ(none.angle, 123.0f);  // untouched

    const AngleMeasureParams p = referenceParams();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, &p), 1);  // creates
    EXPECT_EQ(measure(wall).code, 0);
    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, &p), 0);  // removes
    EXPECT_EQ(measure(wall).code, -100);
    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, &p), 1);  // creates again
    EXPECT_EQ(measure(wall).code, 0);
}

TEST_F(MeasureApi, FacingWallIsZeroAndRisingWallIsMinus45) {
    freshMeasurement(referenceParams());
    for (int i = 0; i < 3; ++i) {
        const Call c = measure(gridWall(200, 0));
        ASSERT_EQ(c.code, 0) << c.text;
        EXPECT_EQ(c.text, "OK");
        EXPECT_NEAR(c.angle, 0.0f, kTol);
    }
    freshMeasurement(referenceParams());
    // The first call searches fully; the next ones track.
    for (int i = 0; i < 4; ++i) {
        const Call c = measure(gridWall(200, 1));
        ASSERT_EQ(c.code, 0) << c.text;
        EXPECT_NEAR(c.angle, -45.0f, kTol) << "call " << i;
    }
}

TEST_F(MeasureApi, DataErrorsReportNaNAndKeepState) {
    freshMeasurement(referenceParams());
    Call c = measure(emptyFrame());
    EXPECT_EQ(c.code, -99);
    EXPECT_EQ(c.text, "Hashmap is empty");
    EXPECT_TRUE(std::isnan(c.angle));

    Frame lonely = emptyFrame();  // one point per slice
    setGrid(lonely, 75, 100, 200);
    setGrid(lonely, 95, 100, 200);
    c = measure(lonely);
    EXPECT_EQ(c.code, -99);
    EXPECT_EQ(c.text, "Hashmap is error");
    EXPECT_TRUE(std::isnan(c.angle));

    Frame sparse = emptyFrame();  // slices of 5 points, fewer than 30
    for (int col = 100; col < 105; ++col) setGrid(sparse, 75, col, 200);
    c = measure(sparse);
    EXPECT_EQ(c.code, -99);
    EXPECT_EQ(c.text, "Angle data is error");
    EXPECT_TRUE(std::isnan(c.angle));

    // A first full search that failed is followed by a full search, not by
    // tracking without a window.
    c = measure(gridWall(200, 1));
    ASSERT_EQ(c.code, 0) << c.text;
    EXPECT_NEAR(c.angle, -45.0f, kTol);
}

TEST_F(MeasureApi, AllFitsFailingIsAnErrorNotAnAngle) {
    freshMeasurement(referenceParams());
    // Every point at one lateral value: no slice can be fitted, so the
    // median is the sentinel.
    Frame line = emptyFrame();
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; ++r)
        for (int c = 0; c < ZEL_ORB_FRAME_COLS; ++c) {
            setGrid(line, r, c, 30.0f + static_cast<float>(c));
            at(line, r, c).y = -50.0f;
        }
    for (int i = 0; i < 2; ++i) {
        const Call c = measure(line);
        EXPECT_EQ(c.code, -99);
        EXPECT_EQ(c.text, "Angle data is error");
        EXPECT_TRUE(std::isnan(c.angle));
    }
    const Call ok = measure(gridWall(200, 0));
    ASSERT_EQ(ok.code, 0);
    EXPECT_NEAR(ok.angle, 0.0f, kTol);  // 404 never entered the history
}

TEST_F(MeasureApi, RepeatedHistoryAndParameterChanges) {
    freshMeasurement(referenceParams());
    const Frame wall = gridWall(200, 0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(measure(wall).code, 0) << "call " << i;
    Call c = measure(wall);
    EXPECT_EQ(c.code, -98);
    EXPECT_EQ(c.text, "History data is error");
    EXPECT_TRUE(std::isnan(c.angle));

    // New parameters with enable true keep the history.
    AngleMeasureParams p = referenceParams();
    p.minSlicePoints = 20;
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
    EXPECT_EQ(measure(wall).code, -98);

    // Removal and re-creation start an empty history.
    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, &p), 0);
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
    EXPECT_EQ(measure(wall).code, 0);
}

TEST_F(MeasureApi, DoubtfulParametersAreReportedAndKept) {
    removeMeasurement();
    AngleMeasureParams p = referenceParams();
    p.xUpper = p.xLower;
    p.yUpper = p.yLower - 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("X Upper must be greater than X Lower\n"), std::string::npos);
    EXPECT_NE(err.find("Y Upper must be greater than Y Lower\n"), std::string::npos);
    EXPECT_EQ(measure(gridWall(200, 0)).text, "Hashmap is empty");  // empty box kept

    for (int height : {0, -10}) {
        p = referenceParams();
        p.sliceHeight = height;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
        err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("Slice Height must be greater than 0\n"), std::string::npos);
        const Call c = measure(gridWall(200, 0));
        EXPECT_EQ(c.code, -99);
        EXPECT_EQ(c.text, "Hashmap is empty");
        EXPECT_TRUE(std::isnan(c.angle));
    }
    p = referenceParams();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
    EXPECT_EQ(measure(gridWall(200, 0)).code, 0);
}

TEST_F(MeasureApi, NullPointersAreRefusedWithoutChange) {
    removeMeasurement();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, nullptr), 0);  // nothing created
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    EXPECT_EQ(measure(gridWall(200, 0)).code, -100);

    freshMeasurement(referenceParams());
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, nullptr), 1);  // kept as it was
    testing::internal::GetCapturedStderr();

    float angle = 7.0f;
    AngleResult r = ZelOrbGetPlaneAngle(nullptr, &angle);
    EXPECT_EQ(r.code, -100);
    EXPECT_STREQ(r.message, "Frame or angle pointer is null");
    EXPECT_EQ(angle, 7.0f);
    const Frame wall = gridWall(200, 0);
    r = ZelOrbGetPlaneAngle(wall.data(), nullptr);
    EXPECT_EQ(r.code, -100);
    EXPECT_STREQ(r.message, "Frame or angle pointer is null");

    // Five calls in all reach the repeated-history check only if the refused
    // calls changed nothing.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(measure(wall).code, 0);
    EXPECT_EQ(measure(wall).code, -98);

    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, nullptr), 0);  // removal needs no params
    EXPECT_EQ(measure(wall).code, -100);
}

// ------------------------------------------------------------ tracking inside

MeasureState trackingState(float last, std::vector<Window> windows) {
    MeasureState s;
    s.params = referenceParams();
    s.params.xLower = -1000;
    s.params.xUpper = 1000;
    s.params.rangeMin = 0;
    s.params.rangeMax = 10000;
    s.needFullSearch = false;
    s.history.push_back(last);
    s.smoothedAngle = last;
    s.currentAngle = last;
    s.windows = std::move(windows);
    return s;
}

TEST(MeasureTracking, CornerIsFollowedThroughTheSecondWindow) {
    // The window sits on face A, far enough from the edge that the second
    // window fits on face B after upkeep.
    MeasureState s = trackingState(-60.0f, {Window{-100, 170}});
    const Frame corner = cornerFrame();
    float angle = 0;
    AngleResult r = orb::measure::measureFrame(s, corner.data(), &angle);
    ASSERT_EQ(r.code, 0) << r.message;
    EXPECT_NEAR(s.currentAngle, -60.0f, kTol);
    ASSERT_EQ(s.windows.size(), 2u);
    EXPECT_EQ(s.windows[1].lo, -180.0f);
    EXPECT_EQ(s.windows[1].hi, -130.0f);

    // Face B reads +34; seen through the second window it counts as -56,
    // which pulls the mean of the two faces to -58.
    r = orb::measure::measureFrame(s, corner.data(), &angle);
    ASSERT_EQ(r.code, 0) << r.message;
    EXPECT_NEAR(s.currentAngle, -58.0f, kTol);
    EXPECT_NEAR(angle, (-60.0f - 60.0f - 58.0f) / 3.0f, kTol);
    EXPECT_EQ(s.windows.size(), 2u);
    EXPECT_FALSE(s.needFullSearch);

    // Below steepAngle - 10 the second window is dropped again.
    s.params.steepAngle = 80.0f;
    r = orb::measure::measureFrame(s, corner.data(), &angle);
    ASSERT_EQ(r.code, 0) << r.message;
    EXPECT_EQ(s.windows.size(), 1u);
}

TEST(MeasureTracking, JumpBeyondToleranceKeepsTheSmoothedAngle) {
    MeasureState s = trackingState(-45.0f, {Window{-150, 150}});
    const Frame facing = gridWall(200, 0);  // 0 degrees, 45 away from last
    float angle = 0;
    const AngleResult r = orb::measure::measureFrame(s, facing.data(), &angle);
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(s.currentAngle, -45.0f);
    EXPECT_EQ(angle, -45.0f);
    EXPECT_FALSE(s.needFullSearch);
}

TEST(MeasureTracking, WindowMovesTowardsTheBetterFit) {
    // A wall at -45 left of L = 25 and scattered ranges from there on: a
    // window reaching past L = 25 fits better once moved left.
    Frame f = gridWall(300, 1);
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; ++r)
        for (int c = 205; c < ZEL_ORB_FRAME_COLS; ++c)
            at(f, r, c).x = 300.0f + static_cast<float>((c * 37 + r * 11) % 97);
    MeasureState s = trackingState(-45.0f, {Window{-150, 30}});
    float angle = 0;
    ASSERT_EQ(orb::measure::measureFrame(s, f.data(), &angle).code, 0);
    ASSERT_EQ(s.windows.size(), 1u);
    EXPECT_EQ(s.windows[0].lo, -160.0f);
    EXPECT_EQ(s.windows[0].hi, 20.0f);
}

// ------------------------------------------------------------------ rotation

Frame patternFrame() {
    Frame f = emptyFrame();
    for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
        ZelOrbPointData& p = f[static_cast<size_t>(i)];
        p.row = static_cast<uint16_t>(i / ZEL_ORB_FRAME_COLS);
        p.column = static_cast<uint16_t>(i % ZEL_ORB_FRAME_COLS);
        p.distance = static_cast<float>(i % 977);
        p.intensity = static_cast<uint32_t>(i % 256);
        p.x = static_cast<float>(i % 1013) * 0.37f - 100.0f;
        p.y = static_cast<float>(i % 389) * -1.3f;  // includes -0.0
        p.z = static_cast<float>(i % 211) / 7.0f - 15.0f;
        p.timestamp = 1000000000ull + static_cast<uint64_t>(i);
        p.tag = static_cast<uint64_t>(i % 5);
    }
    f[3].x = std::nanf("");
    f[4].y = INFINITY;
    return f;
}

Frame rotated(Frame f, RotateParams p) {
    EXPECT_EQ(ZelOrbGetRotatePointcloudData(f.data(), &p), 0);
    return f;
}

void expectPoint(const ZelOrbPointData& p, float x, float y, float z) {
    EXPECT_NEAR(p.x, x, 1e-5f);
    EXPECT_NEAR(p.y, y, 1e-5f);
    EXPECT_NEAR(p.z, z, 1e-5f);
}

TEST(Rotate, IdentityLeavesFramesBitForBit) {
    const Frame f = patternFrame();
    const Frame g = rotated(f, RotateParams{0, 0, 0, 0, 0, 0});
    EXPECT_EQ(std::memcmp(f.data(), g.data(), f.size() * sizeof(ZelOrbPointData)), 0);
}

TEST(Rotate, EachAxisOrderAndOffsets) {
    Frame f = emptyFrame();
    auto set = [&](int i, float x, float y, float z) {
        f[static_cast<size_t>(i)].x = x;
        f[static_cast<size_t>(i)].y = y;
        f[static_cast<size_t>(i)].z = z;
    };
    set(0, 1, 0, 0);
    set(1, 0, 1, 0);
    set(2, 0, 0, 1);

    Frame g = rotated(f, RotateParams{0, 0, 90, 0, 0, 0});
    expectPoint(g[0], 0, 1, 0);
    expectPoint(g[1], -1, 0, 0);
    g = rotated(f, RotateParams{90, 0, 0, 0, 0, 0});  // x turns the other way
    expectPoint(g[1], 0, 0, -1);
    expectPoint(g[2], 0, 1, 0);
    g = rotated(f, RotateParams{0, 90, 0, 0, 0, 0});
    expectPoint(g[0], 0, 0, -1);
    expectPoint(g[2], 1, 0, 0);
    // The x rotation acts first: (0,0,1) -> (0,1,0) -> (-1,0,0).
    g = rotated(f, RotateParams{90, 0, 90, 0, 0, 0});
    expectPoint(g[2], -1, 0, 0);

    g = rotated(f, RotateParams{0, 0, 0, 5, 0, 0});
    expectPoint(g[0], 6, 0, 0);
    expectPoint(g[100], 5, 0, 0);  // empty points move too
    g = rotated(f, RotateParams{0, 0, 90, 1, 2, 3});
    expectPoint(g[0], 1, 3, 3);
    expectPoint(g[53999], 1, 2, 3);
}

TEST(Rotate, OtherFieldsUntouchedAndNullRefused) {
    const Frame f = patternFrame();
    const Frame g = rotated(f, RotateParams{10, -20, 30, 1, 2, 3});
    for (size_t i = 0; i < f.size(); i += 97) {
        EXPECT_EQ(g[i].row, f[i].row);
        EXPECT_EQ(g[i].column, f[i].column);
        EXPECT_EQ(g[i].distance, f[i].distance);
        EXPECT_EQ(g[i].intensity, f[i].intensity);
        EXPECT_EQ(g[i].timestamp, f[i].timestamp);
        EXPECT_EQ(g[i].tag, f[i].tag);
    }
    Frame h = f;
    const RotateParams p{0, 0, 90, 0, 0, 0};
    EXPECT_NE(ZelOrbGetRotatePointcloudData(nullptr, &p), 0);
    EXPECT_NE(ZelOrbGetRotatePointcloudData(h.data(), nullptr), 0);
    EXPECT_EQ(std::memcmp(f.data(), h.data(), f.size() * sizeof(ZelOrbPointData)), 0);
}

}  // namespace
