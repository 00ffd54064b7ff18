// Guards wall angles and frame rotation against wrong angles, errors passed as angles, lost state and moved points.

#include "scene.h"
#include "scene_walls.h"
#include "support/harness.h"

namespace {

using orbtest::Frame;
constexpr float kTol = 0.01f;

AngleMeasureParams referenceParams() { return {-200, 200, -50, 50, 50, 10, 10, 400, 20, 30, 30.0f, 45.0f, 30.0f}; }
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

TEST_F(Measure, WallsReadMinusTheirYawAndTrackingFollowsThem) {
    ZelOrbEnableAngleMeasure(false, nullptr);
    const Call none = measure(wall(200, 0));
    EXPECT_TRUE(none.code == -100 && none.text == "Do not init algotithm module" && none.angle == 123.0f);
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
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(measure(wall(200, 1)).angle, -45.0f, kTol) << i;  // searched, then tracked

    for (double yaw : {-55.0, -15.0, 10.0, 50.0}) {  // noisy walls from the simulator, on the records' 0.2 grid
        fresh();
        for (std::uint64_t i = 0; i < 6; ++i) {
            orbsim::SceneFrame sf;
            orbsim::makeNoisyWallScene(250, yaw, 0.5, 0.02)->render(i, sf);
            Frame f = orbtest::newFrame();
            for (std::size_t k = 0; k < f.size(); ++k)
                for (int a = 0; a < 3 && sf.first[k].valid; ++a) (&f[k].x)[a] = std::round((&sf.first[k].x)[a] * 5) / 5;
            const Call c = measure(f);
            EXPECT_TRUE(c.code == 0 && (i < 3 || std::fabs(c.angle + yaw) < 1.0)) << yaw << " " << i << ": " << c.angle;
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
    const std::pair<const Frame*, const char*> errors[] = {
        {nullptr, "Hashmap is empty"}, {&lonely, "Hashmap is error"}, {&sparse, "Angle data is error"},
        {&line, "Angle data is error"}};
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

TEST_F(Measure, DoubtfulParametersAreReportedAndKeptAndNullPointersRefused) {
    testing::internal::CaptureStderr();
    AngleMeasureParams p = referenceParams();
    p.sliceHeight = -10;  // reported, and nothing is measured until fixed
    fresh(p);
    const Call c = measure(wall(200, 0));
    EXPECT_TRUE(c.code == -99 && c.text == "Hashmap is empty" && std::isnan(c.angle));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Slice Height must be greater than 0\n"), std::string::npos);
    testing::internal::CaptureStderr();
    fresh({INT_MIN, INT_MAX, INT_MIN, INT_MAX, INT_MAX, 0, 1, INT_MAX, INT_MIN, 0, NAN, -1e30f, 1e30f});  // no UB
    for (int i = 0; i < 3; ++i) EXPECT_LE(measure(wall(300, 0.3f)).code, 0) << i;
    ZelOrbEnableAngleMeasure(false, nullptr);
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, nullptr), 0) << "nothing created";
    fresh();
    EXPECT_EQ(ZelOrbEnableAngleMeasure(true, nullptr), 1) << "kept as it was";
    testing::internal::GetCapturedStderr();
    float angle = 7.0f;
    const Frame w = wall(200, 0);
    EXPECT_STREQ(ZelOrbGetPlaneAngle(nullptr, &angle).message, "Frame or angle pointer is null");
    EXPECT_TRUE(ZelOrbGetPlaneAngle(w.data(), nullptr).code == -100 && angle == 7.0f);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(measure(w).code, 0);  // the refused calls entered nothing
    EXPECT_EQ(measure(w).code, -98);
}

Frame rotated(Frame f, RotateParams p) {
    EXPECT_EQ(ZelOrbGetRotatePointcloudData(f.data(), &p), 0);
    return f;
}

TEST(Rotate, AxesTurnInOrderThenShiftAndNothingElseChanges) {
    Frame pattern = orbtest::newFrame();
    for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
        const float x = (i % 1013) * 0.37f - 100.0f, y = (i % 389) * -1.3f, z = (i % 211) / 7.0f - 15.0f;  // y: -0
        pattern[i] = ZelOrbPointData{std::uint16_t(i / 360), std::uint16_t(i % 360), float(i % 977),
                                     std::uint32_t(i % 256), x, y, z, 1000000000ull + i, std::uint64_t(i % 5)};
    }
    pattern[3].x = NAN;
    pattern[4].y = INFINITY;
    const Frame same = rotated(pattern, RotateParams{0, 0, 0, 0, 0, 0});  // all zero: bit for bit unchanged
    EXPECT_EQ(std::memcmp(pattern.data(), same.data(), pattern.size() * sizeof(ZelOrbPointData)), 0);
    Frame turned = rotated(pattern, RotateParams{10, -20, 30, 1, 2, 3});
    for (std::size_t i = 0; i < pattern.size(); ++i) std::memcpy(&turned[i].x, &pattern[i].x, 3 * sizeof(float));
    EXPECT_EQ(std::memcmp(pattern.data(), turned.data(), sizeof(ZelOrbPointData) * pattern.size()), 0) << "xyz only";
    Frame unit = orbtest::newFrame();
    unit[0].x = unit[1].y = unit[2].z = 1;
    // Unit points on x, y, z; x turns first; empty points move too.
    const std::tuple<RotateParams, int, float, float, float> cases[] = {
        {{0, 0, 90, 0, 0, 0}, 0, 0, 1, 0},   {{0, 0, 90, 0, 0, 0}, 1, -1, 0, 0}, {{90, 0, 0, 0, 0, 0}, 1, 0, 0, -1},
        {{90, 0, 0, 0, 0, 0}, 2, 0, 1, 0},   {{0, 90, 0, 0, 0, 0}, 0, 0, 0, -1}, {{0, 90, 0, 0, 0, 0}, 2, 1, 0, 0},
        {{90, 0, 90, 0, 0, 0}, 2, -1, 0, 0}, {{0, 0, 0, 5, 0, 0}, 0, 6, 0, 0},   {{0, 0, 0, 5, 0, 0}, 100, 5, 0, 0},
        {{0, 0, 90, 1, 2, 3}, 0, 1, 3, 3}};
    for (const auto& [params, point, x, y, z] : cases) {
        const ZelOrbPointData p = rotated(unit, params)[point];
        EXPECT_TRUE(std::fabs(p.x - x) < 1e-5f && std::fabs(p.y - y) < 1e-5f && std::fabs(p.z - z) < 1e-5f) << point;
    }
    Frame h = pattern;
    const RotateParams p{0, 0, 90, 0, 0, 0};
    EXPECT_NE(ZelOrbGetRotatePointcloudData(nullptr, &p), 0);
    EXPECT_NE(ZelOrbGetRotatePointcloudData(h.data(), nullptr), 0);
    EXPECT_EQ(std::memcmp(pattern.data(), h.data(), h.size() * sizeof(ZelOrbPointData)), 0);
}

}  // namespace
