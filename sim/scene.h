// Scenes of the virtual camera: each renders, per frame, a 150 x 360 grid of
// returns (row-major; row 0 at the top, column 0 at the left) with optional
// second echoes. A scene is a pure function of the frame index, so rendering
// the same index twice gives the same grid.
//
// Camera axes, as in the library: x forward (range), y lateral (grows with
// the column), z vertical (grows upwards). Lengths are in the units of the
// decoded coordinates; the distance of a return is its range |(x, y, z)|.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace orbsim {

constexpr int kSceneRows = 150;
constexpr int kSceneCols = 360;

struct ScenePoint {
    bool valid = false;  // false: no return (sent as an all-zero record)
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float distance = 0.0f;
    std::uint8_t intensity = 0;
};

struct SceneFrame {
    SceneFrame();
    std::vector<ScenePoint> first;   // kSceneRows * kSceneCols
    std::vector<ScenePoint> second;  // same size; used when hasSecond
    bool hasSecond = false;

    ScenePoint& at(int row, int col) { return first[static_cast<std::size_t>(row) * kSceneCols + col]; }
    const ScenePoint& at(int row, int col) const { return first[static_cast<std::size_t>(row) * kSceneCols + col]; }
    ScenePoint& secondAt(int row, int col) { return second[static_cast<std::size_t>(row) * kSceneCols + col]; }
    void clear();
};

// Unit viewing direction of a pixel (fields of view kHorizontalFovDeg by
// kVerticalFovDeg, centred on the x axis).
constexpr double kHorizontalFovDeg = 120.0;
constexpr double kVerticalFovDeg = 45.0;
struct Ray {
    double dx, dy, dz;
};
Ray pixelRay(int row, int col);
// The return at range along the pixel's ray.
ScenePoint pointOnRay(int row, int col, double range, std::uint8_t intensity);
// Range at which the pixel's ray meets the plane n . p = d (n need not be a
// unit vector); negative when it does not meet it in front of the camera.
double rayPlaneRange(const Ray& r, double nx, double ny, double nz, double d);

class Scene {
public:
    virtual ~Scene() = default;
    // Fills out (already sized; clear() it or overwrite every point).
    virtual void render(std::uint64_t frameIndex, SceneFrame& out) const = 0;
};

using ScenePtr = std::shared_ptr<const Scene>;

// --- basic scenes ----------------------------------------------------------

// Flat wall whose closest point is straight ahead at distance; yawDeg turns
// its normal about the z axis towards +y (0: facing the camera squarely).
// The wall lies on x cos(yaw) + y sin(yaw) = distance.
ScenePtr makeWallScene(double distance, double yawDeg, std::uint8_t intensity = 100);

// A wall facing the camera at wallDistance with a box in front of it:
// axis-aligned, spanning x in [boxNear, boxFar], y in [yMin, yMax], z in [zMin, zMax].
struct BoxSpec {
    double boxNear = 200, boxFar = 260;
    double yMin = -60, yMax = 60;
    double zMin = -40, zMax = 40;
    std::uint8_t intensity = 180;
};
ScenePtr makeBoxScene(double wallDistance, const BoxSpec& box, std::uint8_t wallIntensity = 100);

// A floor at height floorZ (z = floorZ) that rises with slope (dz/dx) from
// rampStart on; pixels that see neither floor nor ramp up to maxRange return
// nothing.
ScenePtr makeRampScene(double floorZ, double rampStart, double slope, double maxRange = 2000,
                       std::uint8_t intensity = 90);

// --- decorators (wrap another scene) ----------------------------------------

// Gaussian range noise of sigma along each ray, seeded per frame.
ScenePtr withRangeNoise(ScenePtr inner, double sigma, std::uint32_t seed = 1);
// Intensity falling with the square of the distance: i0 at refDistance,
// clamped to 1..255.
ScenePtr withIntensityFalloff(ScenePtr inner, double i0, double refDistance);
// Flicker on a steady scene: each frame, each valid pixel with probability
// p jumps to a random range in [minRange, maxRange] along its ray.
ScenePtr withFlicker(ScenePtr inner, double p, double minRange, double maxRange, std::uint32_t seed = 7);
// Flying pixels: where two horizontal or vertical neighbours differ in range by
// more than jump, the nearer-range pixel's neighbour on the far side gets a
// range halfway between the two (mixed return on the edge).
ScenePtr withFlyingPixels(ScenePtr inner, double jump);
// A second echo behind every valid return, extraRange further along the same
// ray, with half the intensity.
ScenePtr withSecondEcho(ScenePtr inner, double extraRange);

// --- moving --------------------------------------------------------------

// A large square object (side size, centred on the axis) in front of a wall
// at wallDistance, starting at startDistance and coming speed closer each
// frame, never nearer than minDistance.
ScenePtr makeApproachingObjectScene(double wallDistance, double size, double startDistance, double speed,
                                    double minDistance = 50);

}  // namespace orbsim
