// Guards the wall-angle measurement and the frame rotation against wrong angles, errors reported as angles, state lost or kept wrongly, and points moved or changed that should not be.
// Scenes are exact lines, or noisy walls with tolerances any draw of the line fits meets.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "measure/angle_measure.h"
#include "scene.h"
#include "scene_walls.h"
#include "support/harness.h"

namespace {

using orb::measure::MeasureState;
using orb::measure::Window;
using orbtest::Frame;
constexpr float kTol = 0.01f;

AngleMeasureParams referenceParams() { return AngleMeasureParams{-200, 200, -50, 50, 50, 10, 10, 400, 20, 30, 30.0f, 45.0f, 30.0f}; }
ZelOrbPointData& at(Frame& f, int row, int col) { return f[row * ZEL_ORB_FRAME_COLS + col]; }

// Column c sits at lateral L = c - 180 (y = -L), row r at height z = r - 75.
void setGrid(Frame& f, int row, int col, float range) {
    at(f, row, col).x = range;
    at(f, row, col).y = static_cast<float>(180 - col);
    at(f, row, col).z = static_cast<float>(row - 75);
}
// A flat wall: range = base + slope * lateral; or one face per side of lateral -120.
Frame wall(float base, float slope, float edge = -1000, float slopeBeyond = 0) {
    Frame f = orbtest::newFrame();
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; ++r)
        for (int c = 0; c < ZEL_ORB_FRAME_COLS; ++c) {
            const float L = static_cast<float>(c - 180);
            setGrid(f, r, c, L >= edge ? base + slope * L : base + slope * edge + slopeBeyond * (L - edge));
        }
    return f;
}

struct Call {
    std::int32_t code;
    std::string text;
    float angle;
};
Call measure(const Frame& f) {
    float angle = 123.0f;
    const AngleResult r = ZelOrbGetPlaneAngle(f.data(), &angle);
    return Call{r.code, r.message ? r.message : "(null)", angle};
}
void fresh(const AngleMeasureParams& p = referenceParams()) {
    ZelOrbEnableAngleMeasure(false, nullptr);
    ASSERT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
}

class Measure : public ::testing::Test {
protected:
    void TearDown() override { ZelOrbEnableAngleMeasure(false, nullptr); }
};

TEST(MeasureSlices, KeysRoundAroundZeroAndBoundsAreExclusive) {
    using orb::measure::sliceKey;
    const std::pair<float, int> keys[] = {{-9.5f, 0}, {9.5f, 0}, {10.5f, 1}, {-10.5f, -1}, {-19.9f, -1}, {-20.0f, -2}};
    for (const auto& [z, key] : keys) EXPECT_EQ(sliceKey(z, 10), key) << z;
    Frame f = orbtest::newFrame();
    const float points[][3] = {{100, 5, -9.5f}, {110, -5, 9.5f}, {120, 0, 10.5f}, {130, 199, 0},
                               {400, 0, 0} /* range on the bound */, {100, 0, 50} /* height on the bound */};
    for (int i = 0; i < 6; ++i) at(f, i, i).x = points[i][0], at(f, i, i).y = points[i][1], at(f, i, i).z = points[i][2];
    const auto slices = orb::measure::buildSlices(f.data(), referenceParams());
    ASSERT_EQ(slices.size(), 2u);
    EXPECT_EQ(slices.at(0).lateral, (std::vector<float>{-199, -5, 5}));  // ordered by lateral
    EXPECT_EQ(slices.at(0).range, (std::vector<float>{130, 100, 110}));
    EXPECT_EQ(slices.at(1).count, 1);
    AngleMeasureParams zero = referenceParams();
    zero.sliceHeight = 0;
    EXPECT_TRUE(orb::measure::buildSlices(wall(200, 0).data(), zero).empty());
    using orb::measure::probeIndex;
    const std::vector<float> v{0, 10, 20, 30, 40};
    EXPECT_EQ(std::vector<std::size_t>({probeIndex(v, 30), probeIndex(v, 12), probeIndex(v, -5), probeIndex(v, 100)}),
              std::vector<std::size_t>({3, 1, 0, 4}));
    EXPECT_EQ(probeIndex({0, 10}, 1), 1u) << "a candidate at index 0 gives way to the next probe";
}

TEST_F(Measure, WallsReadMinusTheirYawAndTrackingFollowsThem) {
    ZelOrbEnableAngleMeasure(false, nullptr);
    const Call none = measure(wall(200, 0));
    EXPECT_EQ(std::make_tuple(none.code, none.text, none.angle), std::make_tuple(-100, std::string("Do not init algotithm module"), 123.0f));
    const AngleMeasureParams p = referenceParams();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, &p), 1);  // creates
    EXPECT_EQ(measure(wall(200, 0)).code, 0);
    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, &p), 0);  // removes
    EXPECT_EQ(measure(wall(200, 0)).code, -100);
    fresh();
    for (int i = 0; i < 3; ++i) {
        const Call c = measure(wall(200, 0));
        EXPECT_TRUE(c.code == 0 && c.text == "OK" && std::fabs(c.angle) < kTol) << c.text << " " << c.angle;
    }
    fresh();
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(measure(wall(200, 1)).angle, -45.0f, kTol) << "call " << i;  // a full search, then tracking

    for (double yaw : {-55.0, -15.0, 10.0, 50.0}) {  // noisy walls from the simulator, on the records' 0.2 grid
        fresh();
        const orbsim::ScenePtr scene = orbsim::makeNoisyWallScene(250, yaw, 0.5, 0.02);
        for (std::uint64_t i = 0; i < 6; ++i) {
            orbsim::SceneFrame sf;
            scene->render(i, sf);
            Frame f = orbtest::newFrame();
            for (std::size_t k = 0; k < f.size(); ++k)
                if (sf.first[k].valid)
                    f[k].x = std::round(sf.first[k].x * 5) / 5, f[k].y = std::round(sf.first[k].y * 5) / 5, f[k].z = std::round(sf.first[k].z * 5) / 5;
            const Call c = measure(f);
            ASSERT_EQ(c.code, 0) << c.text << " yaw " << yaw;
            EXPECT_TRUE(i < 3 || std::fabs(c.angle + yaw) < 1.0) << "yaw " << yaw << " frame " << i << ": " << c.angle;
        }
    }
}

TEST_F(Measure, DataErrorsAreReportedAsNaNAndTheHistoryIsKept) {
    fresh();
    Frame lonely = orbtest::newFrame(), sparse = orbtest::newFrame(), line = orbtest::newFrame();
    setGrid(lonely, 75, 100, 200);  // one point per slice
    setGrid(lonely, 95, 100, 200);
    for (int col = 100; col < 105; ++col) setGrid(sparse, 75, col, 200);  // 5 points, fewer than 30
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; ++r)  // every point at one lateral: no fit at all
        for (int c = 0; c < ZEL_ORB_FRAME_COLS; ++c) setGrid(line, r, c, 30.0f + c), at(line, r, c).y = -50.0f;
    const std::pair<const Frame*, const char*> errors[] = {{nullptr, "Hashmap is empty"}, {&lonely, "Hashmap is error"},
                                                           {&sparse, "Angle data is error"}, {&line, "Angle data is error"}};
    const Frame empty = orbtest::newFrame();
    for (const auto& [frame, text] : errors) {
        const Call c = measure(frame ? *frame : empty);
        EXPECT_TRUE(c.code == -99 && c.text == text && std::isnan(c.angle)) << text;
    }
    // A failed first search is followed by a full search; no error entered the history.
    EXPECT_NEAR(measure(wall(200, 1)).angle, -45.0f, kTol);
    fresh();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(measure(wall(200, 0)).code, 0) << "call " << i;
    Call c = measure(wall(200, 0));  // five identical readings: a still, noise-free scene
    EXPECT_TRUE(c.code == -98 && c.text == "History data is error" && std::isnan(c.angle));
    AngleMeasureParams p = referenceParams();
    p.minSlicePoints = 20;
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);  // new parameters keep the history
    EXPECT_EQ(measure(wall(200, 0)).code, -98);
    EXPECT_EQ(ZelOrbEnableAngleMeasure(false, &p), 0);  // removal and re-creation start afresh
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
    EXPECT_EQ(measure(wall(200, 0)).code, 0);
}

TEST_F(Measure, DoubtfulParametersAreReportedKeptAndNeverCrash) {
    ZelOrbEnableAngleMeasure(false, nullptr);
    AngleMeasureParams p = referenceParams();
    p.xUpper = p.xLower;
    p.yUpper = p.yLower - 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("X Upper must be greater than X Lower\n"), std::string::npos);
    EXPECT_NE(err.find("Y Upper must be greater than Y Lower\n"), std::string::npos);
    EXPECT_EQ(measure(wall(200, 0)).text, "Hashmap is empty");  // the empty box is kept
    for (int height : {0, -10}) {
        p = referenceParams();
        p.sliceHeight = height;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Slice Height must be greater than 0\n"), std::string::npos);
        const Call c = measure(wall(200, 0));
        EXPECT_TRUE(c.code == -99 && c.text == "Hashmap is empty" && std::isnan(c.angle));
    }
    const float nan = std::nanf("");
    const AngleMeasureParams degenerate[] = {
        {100, -100, 50, -50, 40, 5, 10, 10, 2000, 5, 5.0f, 60.0f, 3.0f},
        {INT_MIN, INT_MAX, INT_MIN, INT_MAX, INT_MAX, 0, 1, INT_MAX, INT_MIN, 0, 5.0f, 60.0f, 3.0f},
        {-100, 100, -50, 50, -40, -5, 10, 2000, 10, -5, nan, nan, nan},
        {-100, 100, -50, 50, 40, 5, 10, 2000, 10, INT_MAX, -1e30f, 1e30f, -1e30f},
    };
    testing::internal::CaptureStderr();
    for (const AngleMeasureParams& d : degenerate) {
        fresh(d);
        for (int i = 0; i < 3; ++i) {
            const Call c = measure(wall(300, 0.3f));
            EXPECT_TRUE(c.code == 0 || c.code == -98 || c.code == -99) << c.code;
        }
    }
    testing::internal::GetCapturedStderr();

    // Null pointers: refused, nothing created, changed or written.
    ZelOrbEnableAngleMeasure(false, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, nullptr), 0);
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
    fresh();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, nullptr), 1);  // kept as it was
    testing::internal::GetCapturedStderr();
    float angle = 7.0f;
    const Frame w = wall(200, 0);
    EXPECT_STREQ(ZelOrbGetPlaneAngle(nullptr, &angle).message, "Frame or angle pointer is null");
    EXPECT_EQ(ZelOrbGetPlaneAngle(w.data(), nullptr).code, -100);
    EXPECT_EQ(angle, 7.0f);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(measure(w).code, 0);  // the refused calls entered nothing
    EXPECT_EQ(measure(w).code, -98);
}

MeasureState trackingState(float last, std::vector<Window> windows) {
    MeasureState s;
    s.params = referenceParams();
    s.params.xLower = -1000, s.params.xUpper = 1000, s.params.rangeMin = 0, s.params.rangeMax = 10000;
    s.needFullSearch = false;
    s.history.push_back(last);
    s.smoothedAngle = s.currentAngle = last;
    s.windows = std::move(windows);
    return s;
}

TEST(MeasureTracking, CornersJumpsAndWindowsThatMoveTowardsTheBetterFit) {
    // Face A (lateral >= -120) at -60 degrees, face B at +34: 4 degrees short of square.
    const Frame corner = wall(600, std::tan(60.0f * 3.14159265f / 180.0f), -120, std::tan(-34.0f * 3.14159265f / 180.0f));
    MeasureState s = trackingState(-60.0f, {Window{-100, 170}});
    float angle = 0;
    ASSERT_EQ(orb::measure::measureFrame(s, corner.data(), &angle).code, 0);
    EXPECT_NEAR(s.currentAngle, -60.0f, kTol);
    ASSERT_EQ(s.windows.size(), 2u);  // the second window fits on face B
    EXPECT_TRUE(s.windows[1].lo == -180.0f && s.windows[1].hi == -130.0f);
    // Face B seen through the second window counts as -56: the mean of the faces is -58.
    ASSERT_EQ(orb::measure::measureFrame(s, corner.data(), &angle).code, 0);
    EXPECT_NEAR(s.currentAngle, -58.0f, kTol);
    EXPECT_NEAR(angle, (-60.0f - 60.0f - 58.0f) / 3.0f, kTol);
    EXPECT_FALSE(s.needFullSearch);
    s.params.steepAngle = 80.0f;  // below steepAngle - 10 the second window goes again
    ASSERT_EQ(orb::measure::measureFrame(s, corner.data(), &angle).code, 0);
    EXPECT_EQ(s.windows.size(), 1u);

    // A reading 45 degrees from the last keeps the smoothed angle.
    s = trackingState(-45.0f, {Window{-150, 150}});
    ASSERT_EQ(orb::measure::measureFrame(s, wall(200, 0).data(), &angle).code, 0);
    EXPECT_TRUE(s.currentAngle == -45.0f && angle == -45.0f && !s.needFullSearch);

    // A wall at -45 left of lateral 25, scattered beyond: the window moves left.
    Frame f = wall(300, 1);
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; ++r)
        for (int c = 205; c < ZEL_ORB_FRAME_COLS; ++c) at(f, r, c).x = 300.0f + static_cast<float>((c * 37 + r * 11) % 97);
    s = trackingState(-45.0f, {Window{-150, 30}});
    ASSERT_EQ(orb::measure::measureFrame(s, f.data(), &angle).code, 0);
    EXPECT_TRUE(s.windows.size() == 1u && s.windows[0].lo == -160.0f && s.windows[0].hi == 20.0f);
}

Frame rotated(Frame f, RotateParams p) {
    EXPECT_EQ(ZelOrbGetRotatePointcloudData(f.data(), &p), 0);
    return f;
}

TEST(Rotate, AxesTurnInOrderThenShiftAndNothingElseChanges) {
    Frame pattern = orbtest::newFrame();
    for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
        const float x = (i % 1013) * 0.37f - 100.0f, y = (i % 389) * -1.3f, z = (i % 211) / 7.0f - 15.0f;  // y includes -0.0
        pattern[i] = ZelOrbPointData{std::uint16_t(i / 360), std::uint16_t(i % 360), float(i % 977), std::uint32_t(i % 256), x, y, z,
                                     1000000000ull + i, std::uint64_t(i % 5)};
    }
    pattern[3].x = NAN;
    pattern[4].y = INFINITY;
    const Frame same = rotated(pattern, RotateParams{0, 0, 0, 0, 0, 0});  // all zero: bit for bit unchanged
    EXPECT_EQ(std::memcmp(pattern.data(), same.data(), pattern.size() * sizeof(ZelOrbPointData)), 0);
    const Frame turned = rotated(pattern, RotateParams{10, -20, 30, 1, 2, 3});
    for (std::size_t i = 0; i < pattern.size(); i += 97) {
        const ZelOrbPointData &a = pattern[i], &b = turned[i];
        ASSERT_TRUE(a.row == b.row && a.column == b.column && a.distance == b.distance && a.intensity == b.intensity &&
                    a.timestamp == b.timestamp && a.tag == b.tag) << i;
    }
    Frame unit = orbtest::newFrame();
    unit[0].x = unit[1].y = unit[2].z = 1;
    struct Case {
        RotateParams p;
        int point;
        float x, y, z;
    };
    const Case cases[] = {{{0, 0, 90, 0, 0, 0}, 0, 0, 1, 0},  {{0, 0, 90, 0, 0, 0}, 1, -1, 0, 0}, {{90, 0, 0, 0, 0, 0}, 1, 0, 0, -1},
                          {{90, 0, 0, 0, 0, 0}, 2, 0, 1, 0}, {{0, 90, 0, 0, 0, 0}, 0, 0, 0, -1}, {{0, 90, 0, 0, 0, 0}, 2, 1, 0, 0},
                          {{90, 0, 90, 0, 0, 0}, 2, -1, 0, 0} /* x first */, {{0, 0, 0, 5, 0, 0}, 0, 6, 0, 0},
                          {{0, 0, 0, 5, 0, 0}, 100, 5, 0, 0} /* empty points move too */, {{0, 0, 90, 1, 2, 3}, 0, 1, 3, 3}};
    for (const Case& c : cases) {
        const ZelOrbPointData p = rotated(unit, c.p)[c.point];
        EXPECT_TRUE(std::fabs(p.x - c.x) < 1e-5f && std::fabs(p.y - c.y) < 1e-5f && std::fabs(p.z - c.z) < 1e-5f)
            << c.point << ": " << p.x << "," << p.y << "," << p.z;
    }
    Frame h = pattern;
    const RotateParams p{0, 0, 90, 0, 0, 0};
    EXPECT_NE(ZelOrbGetRotatePointcloudData(nullptr, &p), 0);
    EXPECT_NE(ZelOrbGetRotatePointcloudData(h.data(), nullptr), 0);
    EXPECT_EQ(std::memcmp(pattern.data(), h.data(), h.size() * sizeof(ZelOrbPointData)), 0);
}

}  // namespace
