// Plane angle measurement on frames rendered by the simulator's scenes: walls
// at several angles, a noisy wall and a corner. Tolerances are wide enough
// that any reasonable random draw of the line fits passes: a fit draws two
// points, and within the inlier distance many slopes score alike.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "measure/angle_measure.h"
#include "orb_sdk.h"
#include "scene.h"
#include "scene_walls.h"

namespace {

using Frame = std::vector<ZelOrbPointData>;

AngleMeasureParams referenceParams() {
    return AngleMeasureParams{-200, 200, -50, 50, 50, 10, 10, 400, 20, 30, 30.0f, 45.0f, 30.0f};
}

// Coordinates on the 0.2-unit grid of the camera's 16-bit records.
float onGrid(float v) { return std::round(v * 5.0f) / 5.0f; }

void render(const orbsim::Scene& scene, std::uint64_t index, Frame& out) {
    orbsim::SceneFrame sf;
    scene.render(index, sf);
    out.assign(ZEL_ORB_FRAME_POINTS, ZelOrbPointData{});
    for (size_t i = 0; i < out.size(); ++i) {
        const orbsim::ScenePoint& p = sf.first[i];
        if (!p.valid) continue;
        out[i].x = onGrid(p.x);
        out[i].y = onGrid(p.y);
        out[i].z = onGrid(p.z);
        out[i].distance = p.distance;
    }
}

void removeMeasurement() {
    const AngleMeasureParams p = referenceParams();
    if (ZelOrbEnableAngleMeasure(false, &p) == 1) ZelOrbEnableAngleMeasure(false, &p);
}

TEST(MeasureScenes, NoisyWallsAtSeveralAnglesWithinADegree) {
    // A wall turned by yaw reads -yaw: its range grows with -y.
    for (double yaw : {-55.0, -35.0, -15.0, 0.0, 10.0, 30.0, 50.0}) {
        SCOPED_TRACE(yaw);
        removeMeasurement();
        const AngleMeasureParams p = referenceParams();
        ASSERT_EQ(ZelOrbEnableAngleMeasure(true, &p), 1);
        const orbsim::ScenePtr scene = orbsim::makeNoisyWallScene(250, yaw, 0.5, 0.02);
        Frame f;
        for (std::uint64_t i = 0; i < 8; ++i) {
            render(*scene, i, f);
            float angle = 0;
            const AngleResult r = ZelOrbGetPlaneAngle(f.data(), &angle);
            ASSERT_EQ(r.code, 0) << r.message << " frame " << i;
            if (i >= 4) {
                EXPECT_NEAR(angle, -yaw, 1.0) << "frame " << i;
            }
        }
    }
    removeMeasurement();
}

orb::measure::MeasureState corneredState() {
    orb::measure::MeasureState s;
    s.params = referenceParams();
    return s;
}

TEST(MeasureScenes, CornerIsTrackedWithTheSecondWindow) {
    // Face A reads -55 and covers most of the box; the square face B lies
    // on the side of smallest lateral.
    orbsim::CornerSpec spec;
    spec.distance = 150;
    spec.yawDeg = 55;
    spec.edgeY = 60;
    spec.secondYawDeg = -35;
    const orbsim::ScenePtr scene = orbsim::withRangeNoise(orbsim::makeCornerScene(spec), 0.5, 3);
    orb::measure::MeasureState s = corneredState();
    Frame f;
    for (std::uint64_t i = 0; i < 14; ++i) {
        render(*scene, i, f);
        float angle = 0;
        const AngleResult r = orb::measure::measureFrame(s, f.data(), &angle);
        ASSERT_EQ(r.code, 0) << r.message << " frame " << i;
        EXPECT_NEAR(angle, -55.0f, 2.0f) << "frame " << i;
    }
    // Tracking moved the first window off face B, which made room for the
    // second window at the edge of the box.
    ASSERT_EQ(s.windows.size(), 2u);
    EXPECT_LT(s.windows[1].hi, -100.0f);

    // Ten degrees short of square, face B reads +25, counted as -65: with
    // the second window in place the mean of the two faces is -60.
    spec.secondYawDeg = -25;
    const orbsim::ScenePtr skewed = orbsim::withRangeNoise(orbsim::makeCornerScene(spec), 0.5, 4);
    for (std::uint64_t i = 0; i < 3; ++i) {
        render(*skewed, i, f);
        float angle = 0;
        ASSERT_EQ(orb::measure::measureFrame(s, f.data(), &angle).code, 0);
    }
    EXPECT_NEAR(s.currentAngle, -60.0f, 2.0f);
}

}  // namespace
