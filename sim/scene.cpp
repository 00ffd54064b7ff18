#include "scene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>

namespace orbsim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kNoHit = -1.0;

double deg2rad(double d) { return d * kPi / 180.0; }

std::uint8_t clampIntensity(double v) {
    if (!(v >= 1.0)) return 1;  // also NaN
    if (v > 255.0) return 255;
    return static_cast<std::uint8_t>(std::lround(v));
}

// Per-frame generator: the same (seed, frame) always gives the same draws.
std::mt19937 frameRng(std::uint32_t seed, std::uint64_t frameIndex) {
    std::seed_seq seq{seed, static_cast<std::uint32_t>(frameIndex), static_cast<std::uint32_t>(frameIndex >> 32)};
    return std::mt19937(seq);
}

double nearestHit(double a, double b) {
    if (a <= 0) return b;
    if (b <= 0) return a;
    return std::min(a, b);
}

// Range at which the ray enters an axis-aligned box, or kNoHit.
double rayBoxRange(const Ray& r, const BoxSpec& b) {
    double tmin = 0.0;
    double tmax = std::numeric_limits<double>::infinity();
    const double o[3] = {0, 0, 0};
    const double d[3] = {r.dx, r.dy, r.dz};
    const double lo[3] = {b.boxNear, b.yMin, b.zMin};
    const double hi[3] = {b.boxFar, b.yMax, b.zMax};
    for (int k = 0; k < 3; ++k) {
        if (std::fabs(d[k]) < 1e-12) {
            if (o[k] < lo[k] || o[k] > hi[k]) return kNoHit;
            continue;
        }
        double t1 = (lo[k] - o[k]) / d[k];
        double t2 = (hi[k] - o[k]) / d[k];
        if (t1 > t2) std::swap(t1, t2);
        tmin = std::max(tmin, t1);
        tmax = std::min(tmax, t2);
        if (tmin > tmax) return kNoHit;
    }
    return tmin > 0 ? tmin : kNoHit;
}

class WallScene : public Scene {
public:
    WallScene(double distance, double yawDeg, std::uint8_t intensity)
        : d_(distance), nx_(std::cos(deg2rad(yawDeg))), ny_(std::sin(deg2rad(yawDeg))), intensity_(intensity) {}
    void render(std::uint64_t, SceneFrame& out) const override {
        out.clear();
        for (int r = 0; r < kSceneRows; ++r)
            for (int c = 0; c < kSceneCols; ++c) {
                const double t = rayPlaneRange(pixelRay(r, c), nx_, ny_, 0.0, d_);
                if (t > 0) out.at(r, c) = pointOnRay(r, c, t, intensity_);
            }
    }

private:
    double d_, nx_, ny_;
    std::uint8_t intensity_;
};

class BoxScene : public Scene {
public:
    BoxScene(double wall, const BoxSpec& box, std::uint8_t wallIntensity)
        : wall_(wall), box_(box), wallIntensity_(wallIntensity) {}
    void render(std::uint64_t, SceneFrame& out) const override {
        out.clear();
        for (int r = 0; r < kSceneRows; ++r)
            for (int c = 0; c < kSceneCols; ++c) {
                const Ray ray = pixelRay(r, c);
                const double tb = rayBoxRange(ray, box_);
                const double tw = rayPlaneRange(ray, 1, 0, 0, wall_);
                if (tb > 0 && (tw <= 0 || tb < tw))
                    out.at(r, c) = pointOnRay(r, c, tb, box_.intensity);
                else if (tw > 0)
                    out.at(r, c) = pointOnRay(r, c, tw, wallIntensity_);
            }
    }

private:
    double wall_;
    BoxSpec box_;
    std::uint8_t wallIntensity_;
};

class RampScene : public Scene {
public:
    RampScene(double floorZ, double rampStart, double slope, double maxRange, std::uint8_t intensity)
        : floorZ_(floorZ), start_(rampStart), slope_(slope), maxRange_(maxRange), intensity_(intensity) {}
    void render(std::uint64_t, SceneFrame& out) const override {
        out.clear();
        for (int r = 0; r < kSceneRows; ++r)
            for (int c = 0; c < kSceneCols; ++c) {
                const Ray ray = pixelRay(r, c);
                double tf = rayPlaneRange(ray, 0, 0, 1, floorZ_);
                if (tf > 0 && tf * ray.dx >= start_) tf = kNoHit;
                // Ramp plane: z - slope * x = floorZ - slope * start.
                double tr = rayPlaneRange(ray, -slope_, 0, 1, floorZ_ - slope_ * start_);
                if (tr > 0 && tr * ray.dx < start_) tr = kNoHit;
                const double t = nearestHit(tf, tr);
                if (t > 0 && t <= maxRange_) out.at(r, c) = pointOnRay(r, c, t, intensity_);
            }
    }

private:
    double floorZ_, start_, slope_, maxRange_;
    std::uint8_t intensity_;
};

class NoiseScene : public Scene {
public:
    NoiseScene(ScenePtr inner, double sigma, std::uint32_t seed) : inner_(std::move(inner)), sigma_(sigma), seed_(seed) {}
    void render(std::uint64_t frameIndex, SceneFrame& out) const override {
        inner_->render(frameIndex, out);
        std::mt19937 rng = frameRng(seed_, frameIndex);
        std::normal_distribution<double> noise(0.0, sigma_);
        for (int r = 0; r < kSceneRows; ++r)
            for (int c = 0; c < kSceneCols; ++c) {
                ScenePoint& p = out.at(r, c);
                if (!p.valid) continue;
                const double t = std::max(1.0, p.distance + noise(rng));
                p = pointOnRay(r, c, t, p.intensity);
            }
    }

private:
    ScenePtr inner_;
    double sigma_;
    std::uint32_t seed_;
};

class FalloffScene : public Scene {
public:
    FalloffScene(ScenePtr inner, double i0, double ref) : inner_(std::move(inner)), i0_(i0), ref_(ref) {}
    void render(std::uint64_t frameIndex, SceneFrame& out) const override {
        inner_->render(frameIndex, out);
        auto apply = [&](ScenePoint& p) {
            if (!p.valid || p.distance <= 0) return;
            const double k = ref_ / p.distance;
            p.intensity = clampIntensity(i0_ * k * k);
        };
        for (ScenePoint& p : out.first) apply(p);
        if (out.hasSecond)
            for (ScenePoint& p : out.second) apply(p);
    }

private:
    ScenePtr inner_;
    double i0_, ref_;
};

class FlickerScene : public Scene {
public:
    FlickerScene(ScenePtr inner, double p, double lo, double hi, std::uint32_t seed)
        : inner_(std::move(inner)), p_(p), lo_(lo), hi_(hi), seed_(seed) {}
    void render(std::uint64_t frameIndex, SceneFrame& out) const override {
        inner_->render(frameIndex, out);
        std::mt19937 rng = frameRng(seed_, frameIndex);
        std::uniform_real_distribution<double> coin(0.0, 1.0);
        std::uniform_real_distribution<double> range(lo_, hi_);
        for (int r = 0; r < kSceneRows; ++r)
            for (int c = 0; c < kSceneCols; ++c) {
                ScenePoint& pt = out.at(r, c);
                if (!pt.valid) continue;
                if (coin(rng) < p_) pt = pointOnRay(r, c, range(rng), pt.intensity);
            }
    }

private:
    ScenePtr inner_;
    double p_, lo_, hi_;
    std::uint32_t seed_;
};

class FlyingPixelScene : public Scene {
public:
    FlyingPixelScene(ScenePtr inner, double jump) : inner_(std::move(inner)), jump_(jump) {}
    void render(std::uint64_t frameIndex, SceneFrame& out) const override {
        inner_->render(frameIndex, out);
        const std::vector<ScenePoint> src = out.first;
        auto at = [&](int r, int c) -> const ScenePoint& { return src[static_cast<std::size_t>(r) * kSceneCols + c]; };
        auto edge = [&](int r, int c, int r2, int c2) {
            const ScenePoint& a = at(r, c);
            const ScenePoint& b = at(r2, c2);
            if (!a.valid || !b.valid || std::fabs(a.distance - b.distance) <= jump_) return;
            // The far pixel of the pair sees a mix of both surfaces.
            const bool aFar = a.distance > b.distance;
            const int fr = aFar ? r : r2, fc = aFar ? c : c2;
            const ScenePoint& far = aFar ? a : b;
            out.at(fr, fc) = pointOnRay(fr, fc, 0.5 * (a.distance + b.distance), far.intensity);
        };
        for (int r = 0; r < kSceneRows; ++r)
            for (int c = 0; c < kSceneCols; ++c) {
                if (c + 1 < kSceneCols) edge(r, c, r, c + 1);
                if (r + 1 < kSceneRows) edge(r, c, r + 1, c);
            }
    }

private:
    ScenePtr inner_;
    double jump_;
};

class SecondEchoScene : public Scene {
public:
    SecondEchoScene(ScenePtr inner, double extra) : inner_(std::move(inner)), extra_(extra) {}
    void render(std::uint64_t frameIndex, SceneFrame& out) const override {
        inner_->render(frameIndex, out);
        out.hasSecond = true;
        for (int r = 0; r < kSceneRows; ++r)
            for (int c = 0; c < kSceneCols; ++c) {
                const ScenePoint& p = out.at(r, c);
                out.secondAt(r, c) = p.valid ? pointOnRay(r, c, p.distance + extra_, static_cast<std::uint8_t>(p.intensity / 2))
                                             : ScenePoint{};
            }
    }

private:
    ScenePtr inner_;
    double extra_;
};

class ApproachingObjectScene : public Scene {
public:
    ApproachingObjectScene(double wall, double size, double start, double speed, double minDistance)
        : wall_(wall), size_(size), start_(start), speed_(speed), min_(minDistance) {}
    void render(std::uint64_t frameIndex, SceneFrame& out) const override {
        out.clear();
        const double d = std::max(min_, start_ - speed_ * static_cast<double>(frameIndex));
        const double h = size_ / 2;
        for (int r = 0; r < kSceneRows; ++r)
            for (int c = 0; c < kSceneCols; ++c) {
                const Ray ray = pixelRay(r, c);
                const double t = rayPlaneRange(ray, 1, 0, 0, d);
                if (t > 0 && std::fabs(t * ray.dy) <= h && std::fabs(t * ray.dz) <= h) {
                    out.at(r, c) = pointOnRay(r, c, t, 200);
                    continue;
                }
                const double tw = rayPlaneRange(ray, 1, 0, 0, wall_);
                if (tw > 0) out.at(r, c) = pointOnRay(r, c, tw, 100);
            }
    }

private:
    double wall_, size_, start_, speed_, min_;
};

}  // namespace

SceneFrame::SceneFrame()
    : first(static_cast<std::size_t>(kSceneRows) * kSceneCols), second(static_cast<std::size_t>(kSceneRows) * kSceneCols) {}

void SceneFrame::clear() {
    std::fill(first.begin(), first.end(), ScenePoint{});
    std::fill(second.begin(), second.end(), ScenePoint{});
    hasSecond = false;
}

Ray pixelRay(int row, int col) {
    const double az = deg2rad(((col + 0.5) / kSceneCols - 0.5) * kHorizontalFovDeg);
    const double el = deg2rad((0.5 - (row + 0.5) / kSceneRows) * kVerticalFovDeg);
    return Ray{std::cos(el) * std::cos(az), std::cos(el) * std::sin(az), std::sin(el)};
}

ScenePoint pointOnRay(int row, int col, double range, std::uint8_t intensity) {
    const Ray r = pixelRay(row, col);
    ScenePoint p;
    p.valid = true;
    p.x = static_cast<float>(r.dx * range);
    p.y = static_cast<float>(r.dy * range);
    p.z = static_cast<float>(r.dz * range);
    p.distance = static_cast<float>(range);
    p.intensity = intensity;
    return p;
}

double rayPlaneRange(const Ray& r, double nx, double ny, double nz, double d) {
    const double denom = nx * r.dx + ny * r.dy + nz * r.dz;
    if (std::fabs(denom) < 1e-12) return kNoHit;
    const double t = d / denom;
    return t > 0 ? t : kNoHit;
}

ScenePtr makeWallScene(double distance, double yawDeg, std::uint8_t intensity) {
    return std::make_shared<WallScene>(distance, yawDeg, intensity);
}
ScenePtr makeBoxScene(double wallDistance, const BoxSpec& box, std::uint8_t wallIntensity) {
    return std::make_shared<BoxScene>(wallDistance, box, wallIntensity);
}
ScenePtr makeRampScene(double floorZ, double rampStart, double slope, double maxRange, std::uint8_t intensity) {
    return std::make_shared<RampScene>(floorZ, rampStart, slope, maxRange, intensity);
}
ScenePtr withRangeNoise(ScenePtr inner, double sigma, std::uint32_t seed) {
    return std::make_shared<NoiseScene>(std::move(inner), sigma, seed);
}
ScenePtr withIntensityFalloff(ScenePtr inner, double i0, double refDistance) {
    return std::make_shared<FalloffScene>(std::move(inner), i0, refDistance);
}
ScenePtr withFlicker(ScenePtr inner, double p, double minRange, double maxRange, std::uint32_t seed) {
    return std::make_shared<FlickerScene>(std::move(inner), p, minRange, maxRange, seed);
}
ScenePtr withFlyingPixels(ScenePtr inner, double jump) {
    return std::make_shared<FlyingPixelScene>(std::move(inner), jump);
}
ScenePtr withSecondEcho(ScenePtr inner, double extraRange) {
    return std::make_shared<SecondEchoScene>(std::move(inner), extraRange);
}
ScenePtr makeApproachingObjectScene(double wallDistance, double size, double startDistance, double speed,
                                    double minDistance) {
    return std::make_shared<ApproachingObjectScene>(wallDistance, size, startDistance, speed, minDistance);
}

}  // namespace orbsim
