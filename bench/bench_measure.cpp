// Cost of one plane-angle measurement (full search and tracking) on a rendered
// wall, and of one frame rotation next to a plain pass over the coordinates.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "orb_sdk.h"
#include "scene_walls.h"

namespace {

using Frame = std::vector<ZelOrbPointData>;

AngleMeasureParams referenceParams() {
    return AngleMeasureParams{-200, 200, -50, 50, 50, 10, 10, 400, 20, 30, 30.0f, 45.0f, 30.0f};
}

// A few noisy frames of one wall, so that successive calls see new noise.
std::vector<Frame> wallFrames(double yawDeg) {
    const orbsim::ScenePtr scene = orbsim::makeNoisyWallScene(250, yawDeg, 0.5, 0.02);
    std::vector<Frame> frames;
    orbsim::SceneFrame sf;
    for (std::uint64_t i = 0; i < 8; ++i) {
        scene->render(i, sf);
        Frame f(ZEL_ORB_FRAME_POINTS, ZelOrbPointData{});
        for (size_t k = 0; k < f.size(); ++k) {
            if (!sf.first[k].valid) continue;
            f[k].x = std::round(sf.first[k].x * 5.0f) / 5.0f;
            f[k].y = std::round(sf.first[k].y * 5.0f) / 5.0f;
            f[k].z = std::round(sf.first[k].z * 5.0f) / 5.0f;
        }
        frames.push_back(std::move(f));
    }
    return frames;
}

void resetMeasurement() {
    const AngleMeasureParams p = referenceParams();
    if (ZelOrbEnableAngleMeasure(false, &p) == 1) ZelOrbEnableAngleMeasure(false, &p);
    ZelOrbEnableAngleMeasure(true, &p);
}

// A wall at 10 degrees reads below fullSearchAngle: every call fits all slices.
void BM_PlaneAngleFullSearch(benchmark::State& state) {
    const std::vector<Frame> frames = wallFrames(-10);
    resetMeasurement();
    size_t i = 0;
    for (auto _ : state) {
        float angle = 0;
        const AngleResult r = ZelOrbGetPlaneAngle(frames[i++ % frames.size()].data(), &angle);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(angle);
    }
}
BENCHMARK(BM_PlaneAngleFullSearch)->Unit(benchmark::kMicrosecond);

// A wall at 45 degrees: after the first call every call tracks its window.
void BM_PlaneAngleTracking(benchmark::State& state) {
    const std::vector<Frame> frames = wallFrames(45);
    resetMeasurement();
    float angle = 0;
    ZelOrbGetPlaneAngle(frames[0].data(), &angle);
    size_t i = 1;
    for (auto _ : state) {
        const AngleResult r = ZelOrbGetPlaneAngle(frames[i++ % frames.size()].data(), &angle);
        benchmark::DoNotOptimize(r);
        benchmark::DoNotOptimize(angle);
    }
    if (!(std::fabs(angle + 45.0f) < 2.0f)) state.SkipWithError("the wall was not tracked");
}
BENCHMARK(BM_PlaneAngleTracking)->Unit(benchmark::kMicrosecond);

void BM_RotateFrame(benchmark::State& state) {
    Frame frame = wallFrames(0).front();
    const RotateParams p{3.0f, -2.0f, 10.0f, 0.0f, 0.0f, 0.0f};
    for (auto _ : state) {
        benchmark::DoNotOptimize(ZelOrbGetRotatePointcloudData(frame.data(), &p));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RotateFrame)->Unit(benchmark::kMicrosecond);

// The yardstick: read and write every coordinate once.
void BM_PlainCoordinatePass(benchmark::State& state) {
    Frame frame = wallFrames(0).front();
    float offset = 0.25f;
    benchmark::DoNotOptimize(offset);
    for (auto _ : state) {
        for (ZelOrbPointData& p : frame) {
            p.x += offset;
            p.y += offset;
            p.z += offset;
        }
        benchmark::ClobberMemory();
        offset = -offset;
    }
}
BENCHMARK(BM_PlainCoordinatePass)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
