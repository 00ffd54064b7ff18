// Cost of the filter pipeline per frame. Each stage configuration is timed
// side by side with the projection-only pass (every stage off) on the same
// frames, alternating pass by pass, and reported as ratios to it, of thread
// CPU time (ratio_cpu) and of wall time (ratio_wall).
// The whole per-frame chain is reported as the share of one core it takes at
// 20 frames per second.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <random>
#include <vector>

#include "OrbFiltersALG.h"
#include "filters/filter_settings.h"

namespace {

constexpr int kRows = 150;
constexpr int kCols = 360;
constexpr int kPoints = kRows * kCols;
constexpr int kFrames = 16;

// A wall at 300 with a box at 150 in front of it, range noise and a few
// dropouts, seen through a 120 x 45 degree grid of rays.
std::vector<std::vector<float>> MakeFrames() {
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.0f, 1.5f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<std::vector<float>> frames(kFrames, std::vector<float>(kPoints * 3));
    for (int f = 0; f < kFrames; ++f) {
        for (int r = 0; r < kRows; ++r) {
            for (int c = 0; c < kCols; ++c) {
                const float yaw = (c - kCols / 2 + 0.5f) * (120.0f / kCols) * 3.14159265f / 180.0f;
                const float pitch = (kRows / 2 - r - 0.5f) * (45.0f / kRows) * 3.14159265f / 180.0f;
                const float dx = std::cos(pitch) * std::cos(yaw);
                const float dy = std::cos(pitch) * std::sin(yaw);
                const float dz = std::sin(pitch);
                const bool box = c > 150 + f && c < 210 + f && r > 50 && r < 100;
                float range = (box ? 150.0f : 300.0f) / dx + noise(rng);
                if (unit(rng) < 0.01f) range = 0.0f;
                float* p = &frames[f][3 * (r * kCols + c)];
                p[0] = range * dx;
                p[1] = range * dy;
                p[2] = range * dz;
            }
        }
    }
    return frames;
}

const std::vector<std::vector<float>>& Frames() {
    static const std::vector<std::vector<float>> frames = MakeFrames();
    return frames;
}

// Seconds of this thread's CPU time: unlike wall time it does not count the
// time the thread waits for a core on a loaded machine. (The pass runs on
// the calling thread only.)
double ThreadCpuSeconds() {
#ifdef CLOCK_THREAD_CPUTIME_ID
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
#else
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
#endif
}

enum Stages : int { kSpatial = 1, kTimeMedian = 2, kFlying = 4 };

void Configure(OrbFiltersALG& f, int stages) {
    f.SetSpatialFilter((stages & kSpatial) != 0, 5);
    f.SetTimeMedianFilter((stages & kTimeMedian) != 0, 9, 100);
    f.SetFlyPixeFilter((stages & kFlying) != 0, 300);
}

void BM_FilteringBuffer(benchmark::State& state) {
    const int stages = static_cast<int>(state.range(0));
    OrbFiltersALG configured;
    OrbFiltersALG projection;
    Configure(configured, stages);
    Configure(projection, 0);
    std::vector<float> out(kPoints * 3);
    const auto& frames = Frames();
    // Fill the time-median ring so every timed pass runs the whole stage.
    for (int i = 0; i < 9; ++i) configured.filtering(const_cast<float*>(frames[i % kFrames].data()), out.data());
    using Clock = std::chrono::steady_clock;
    double configuredWall = 0;
    double projectionWall = 0;
    double configuredCpu = 0;
    double projectionCpu = 0;
    std::size_t i = 0;
    for (auto _ : state) {
        float* in = const_cast<float*>(frames[i++ % kFrames].data());
        const auto t0 = Clock::now();
        const double c0 = ThreadCpuSeconds();
        projection.filtering(in, out.data());
        const auto t1 = Clock::now();
        const double c1 = ThreadCpuSeconds();
        configured.filtering(in, out.data());
        const auto t2 = Clock::now();
        const double c2 = ThreadCpuSeconds();
        benchmark::DoNotOptimize(out.data());
        projectionWall += std::chrono::duration<double>(t1 - t0).count();
        const double own = std::chrono::duration<double>(t2 - t1).count();
        configuredWall += own;
        projectionCpu += c1 - c0;
        configuredCpu += c2 - c1;
        state.SetIterationTime(own);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ratio_wall"] = configuredWall / projectionWall;
    state.counters["ratio_cpu"] = configuredCpu / projectionCpu;
    state.counters["cpu_us"] = 1e6 * configuredCpu / n;
    state.counters["projection_cpu_us"] = 1e6 * projectionCpu / n;
}
BENCHMARK(BM_FilteringBuffer)
    ->ArgName("stages")
    ->Arg(0)
    ->Arg(kSpatial)
    ->Arg(kTimeMedian)
    ->Arg(kFlying)
    ->Arg(kSpatial | kTimeMedian | kFlying)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The whole chain as the frame thread runs it: compensation, the intensity
// table and all three stages, frame form.
void BM_FrameChain(benchmark::State& state) {
    orb::FilterSettings settings;
    settings.compensationEnable = true;
    settings.distanceOffset = 3;
    settings.intensityFilterEnable = true;
    Configure(settings.pipeline, kSpatial | kTimeMedian | kFlying);
    std::vector<std::vector<ZelOrbPointData>> frames(kFrames, std::vector<ZelOrbPointData>(kPoints));
    for (int f = 0; f < kFrames; ++f) {
        for (int p = 0; p < kPoints; ++p) {
            ZelOrbPointData& d = frames[f][p];
            d.x = Frames()[f][3 * p];
            d.y = Frames()[f][3 * p + 1];
            d.z = Frames()[f][3 * p + 2];
            d.intensity = 50;
        }
    }
    std::vector<ZelOrbPointData> work(kPoints);
    std::size_t i = 0;
    double wall = 0;
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        work = frames[i++ % kFrames];  // the frame thread restores each frame too
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = ThreadCpuSeconds();
        orb::runFrameChain(settings, work.data());
        cpu += ThreadCpuSeconds() - c0;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        benchmark::DoNotOptimize(work.data());
    }
    // Seconds of work per second of stream: the share of one core.
    const double n = static_cast<double>(state.iterations());
    state.counters["core_share_20fps_cpu"] = 20.0 * cpu / n;
    state.counters["core_share_20fps_wall"] = 20.0 * wall / n;
}
BENCHMARK(BM_FrameChain)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
