// The 3D view's camera: known points land on known pixels, and the mouse
// gestures move the picture the way the hand moves.
#include <gtest/gtest.h>

#include "camera_math.h"

using orbviewer::OrbitCamera;
using orbviewer::Vec3;

namespace {

constexpr float kW = 800, kH = 600;

struct Pixel {
    float x = -1, y = -1;
    bool visible = false;
};

Pixel project(const OrbitCamera& c, Vec3 p) {
    Pixel px;
    px.visible = orbviewer::projectToPixel(c.viewProjection(kW / kH), p, kW, kH, px.x, px.y);
    return px;
}

// Looking straight along +x from 100 units behind a target at x = 100, with
// a 90 degree vertical field of view: one unit in the target's plane is
// kH / 2 / 100 = 3 pixels.
OrbitCamera straightAhead() {
    OrbitCamera c(100.0f);
    c.target = {100, 0, 0};
    c.yawDeg = 0;
    c.pitchDeg = 0;
    c.distance = 100;
    c.fovYDeg = 90;
    return c;
}

}  // namespace

TEST(ViewerCamera, ProjectsKnownPointsToKnownPixels) {
    const OrbitCamera c = straightAhead();
    Pixel p = project(c, {100, 0, 0});
    EXPECT_NEAR(p.x, 400, 1e-3);
    EXPECT_NEAR(p.y, 300, 1e-3);
    // y grows to the right as the sensor sees it (column 0 on the left), z up.
    p = project(c, {100, 50, 25});
    EXPECT_NEAR(p.x, 550, 1e-3);
    EXPECT_NEAR(p.y, 225, 1e-3);
    // Twice as far: half the offset.
    p = project(c, {200, 50, -25});
    EXPECT_NEAR(p.x, 475, 1e-3);
    EXPECT_NEAR(p.y, 337.5, 1e-3);
    // Behind the eye: not drawn.
    EXPECT_FALSE(project(c, {-10, 0, 0}).visible);
}

TEST(ViewerCamera, OrbitTurnsAboutTheTarget) {
    OrbitCamera c = straightAhead();
    c.orbit(-300, 0);  // 0.3 degree per pixel: a quarter turn
    EXPECT_NEAR(c.yawDeg, 90, 1e-3);
    // The eye now looks along +y from y = -100: the target stays centred,
    // and a point nearer the sensor (smaller x) shows to the right.
    const Vec3 e = c.eye();
    EXPECT_NEAR(e.x, 100, 1e-3);
    EXPECT_NEAR(e.y, -100, 1e-3);
    Pixel p = project(c, {100, 0, 0});
    EXPECT_NEAR(p.x, 400, 1e-3);
    EXPECT_NEAR(p.y, 300, 1e-3);
    p = project(c, {50, 0, 0});
    EXPECT_NEAR(p.x, 550, 1e-3);

    // Looking down from above: range grows upwards on the screen.
    c = straightAhead();
    c.orbit(0, 300);
    EXPECT_NEAR(c.pitchDeg, 89, 1e-3);  // clamped short of the pole
    EXPECT_LT(project(c, {150, 0, 0}).y, project(c, {50, 0, 0}).y);
    EXPECT_GT(c.eye().z, 99);
}

TEST(ViewerCamera, PanFollowsTheMouseAndZoomAndResetBehave) {
    OrbitCamera c = straightAhead();
    c.yawDeg = 30;
    c.pitchDeg = 20;
    const Vec3 before = c.target;
    c.pan(40, -25, kH);
    // The point that was under the mouse moved with it.
    const Pixel p = project(c, before);
    EXPECT_NEAR(p.x, 440, 1e-2);
    EXPECT_NEAR(p.y, 275, 1e-2);

    c.zoom(2);
    EXPECT_NEAR(c.distance, 81, 1e-3);
    c.zoom(-1000);
    EXPECT_FLOAT_EQ(c.distance, 500 * 100);  // bounded: 500 m
    c.reset();
    // The default view looks at a point 3 m ahead on the sensor's axis.
    const Pixel centre = project(c, {300, 0, 0});
    EXPECT_NEAR(centre.x, 400, 1e-2);
    EXPECT_NEAR(centre.y, 300, 1e-2);
}
