#include "scene_walls.h"

#include <cmath>
#include <memory>
#include <utility>

namespace orbsim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kNoHit = -1.0;

double deg2rad(double d) { return d * kPi / 180.0; }

class CornerScene : public Scene {
public:
    explicit CornerScene(const CornerSpec& s) : intensity_(s.intensity) {
        const double side = s.edgeY < 0 ? -1.0 : 1.0;
        ax_ = std::cos(deg2rad(s.yawDeg));
        ay_ = std::sin(deg2rad(s.yawDeg));
        ad_ = s.distance;
        // The edge point on the first wall at lateral edgeY.
        ex_ = std::fabs(ax_) > 1e-12 ? (s.distance - s.edgeY * ay_) / ax_ : 0.0;
        ey_ = s.edgeY;
        // Along each wall, pointing laterally away from the axis.
        aux_ = -ay_;
        auy_ = ax_;
        if (auy_ * side < 0) {
            aux_ = -aux_;
            auy_ = -auy_;
        }
        bx_ = std::cos(deg2rad(s.secondYawDeg));
        by_ = std::sin(deg2rad(s.secondYawDeg));
        bd_ = bx_ * ex_ + by_ * ey_;
        bux_ = -by_;
        buy_ = bx_;
        const double lateral = buy_ * side;
        if (lateral < 0 || (std::fabs(lateral) < 1e-9 && bux_ < 0)) {
            bux_ = -bux_;
            buy_ = -buy_;
        }
    }

    void render(std::uint64_t, SceneFrame& out) const override {
        out.clear();
        for (int r = 0; r < kSceneRows; ++r) {
            for (int c = 0; c < kSceneCols; ++c) {
                const Ray ray = pixelRay(r, c);
                double best = kNoHit;
                const double ta = rayPlaneRange(ray, ax_, ay_, 0.0, ad_);
                if (ta > 0 && along(ray, ta, aux_, auy_) <= 0) best = ta;
                const double tb = rayPlaneRange(ray, bx_, by_, 0.0, bd_);
                if (tb > 0 && along(ray, tb, bux_, buy_) >= 0 && (best < 0 || tb < best)) best = tb;
                if (best > 0) out.at(r, c) = pointOnRay(r, c, best, intensity_);
            }
        }
    }

private:
    // Signed distance of the hit from the edge along a wall's direction.
    double along(const Ray& ray, double t, double ux, double uy) const {
        return (ray.dx * t - ex_) * ux + (ray.dy * t - ey_) * uy;
    }

    std::uint8_t intensity_;
    double ax_, ay_, ad_;
    double ex_, ey_;
    double aux_, auy_;
    double bx_, by_, bd_;
    double bux_, buy_;
};

}  // namespace

ScenePtr makeCornerScene(const CornerSpec& spec) { return std::make_shared<CornerScene>(spec); }

ScenePtr makeNoisyWallScene(double distance, double yawDeg, double sigma, double strayFraction, std::uint32_t seed,
                            std::uint8_t intensity) {
    ScenePtr wall = makeWallScene(distance, yawDeg, intensity);
    if (sigma > 0) wall = withRangeNoise(std::move(wall), sigma, seed);
    if (strayFraction > 0) wall = withFlicker(std::move(wall), strayFraction, 0.5 * distance, 1.5 * distance, seed + 1);
    return wall;
}

}  // namespace orbsim
