// b. ZelOrbGetRGBDFusionData per call against one remap of the image plus one
//    3 x 54,000 projection, measured side by side.
//    Run: build/bench/bench_fusion
//    Each iteration runs both on the same inputs, timed by the thread's CPU
//    clock, and the ratio is that of the medians.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "device/device.h"
#include "device/context.h"
#include "imu_rgb/fusion.h"
#include "imu_rgb/imu_rgb_state.h"
#include "imu_rgb/rgb_stream.h"
#include "orb_sdk.h"
#include "rgb_sender.h"
#include "scene.h"
#include "settings_store.h"

namespace {

constexpr const char* kDev = "127.0.0.2";

struct Setup {
    std::shared_ptr<orb::FusionParams> params = std::make_shared<orb::FusionParams>();
    cv::Mat image = orbsim::makeTestPattern();
    cv::Mat points;  // 3 x 54,000 CV_32F
    std::vector<ZelOrbPointData> frame = std::vector<ZelOrbPointData>(ZEL_ORB_FRAME_POINTS);

    Setup() {
        orbsim::SettingsStore store(kDev);
        float intr[10] = {}, extr[12] = {};
        const auto in = store.intrinsics();
        const auto ex = store.extrinsics();
        for (std::size_t i = 0; i < 10 && i < in.size(); ++i) intr[i] = static_cast<float>(in[i]);
        for (std::size_t i = 0; i < 12; ++i) extr[i] = static_cast<float>(ex[i]);
        orb::initFusionState(*params, intr, 1200, 1600, extr);
        orbsim::SceneFrame scene;
        orbsim::makeBoxScene(400.0, orbsim::BoxSpec{})->render(0, scene);
        points.create(3, ZEL_ORB_FRAME_POINTS, CV_32F);
        for (int i = 0; i < ZEL_ORB_FRAME_POINTS; ++i) {
            const auto& p = scene.first[static_cast<std::size_t>(i)];
            frame[i].x = points.at<float>(0, i) = p.valid ? p.x : 0.0f;
            frame[i].y = points.at<float>(1, i) = p.valid ? p.y : 0.0f;
            frame[i].z = points.at<float>(2, i) = p.valid ? p.z : 0.0f;
        }
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

// A registered record without threads or sockets, holding what fusion reads.
void registerDevice() {
    Setup& s = setup();
    auto& reg = orb::libraryContext().registry;
    std::unique_lock<std::shared_mutex> lk(reg.mutex());
    auto dev = std::make_unique<orb::DeviceRecord>(kDev, 6301);
    dev->fusion.params = s.params;
    dev->imuRgb.rgb->fusionSource = std::make_shared<const cv::Mat>(s.image);
    dev->stream.unfilteredFrame = s.frame;
    reg.devices()[kDev] = std::move(dev);
}

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

double gBareMs = 0, gLibraryMs = 0;

void Fusion(benchmark::State& st) {
    Setup& s = setup();
    const cv::Mat M(3, 3, CV_32F, s.params->M);
    const cv::Mat t = cv::repeat(cv::Mat(3, 1, CV_32F, s.params->t), 1, ZEL_ORB_FRAME_POINTS);
    cv::Mat undistorted, projected, u, v;
    auto bare = [&] {
        cv::remap(s.image, undistorted, s.params->map1, s.params->map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                  cv::Scalar());
        cv::gemm(M, s.points, 1.0, t, 1.0, projected);
        cv::divide(projected.row(0), projected.row(2), u);
        cv::divide(projected.row(1), projected.row(2), v);
        benchmark::DoNotOptimize(undistorted.data);
        benchmark::DoNotOptimize(u.data);
        benchmark::DoNotOptimize(v.data);
    };
    std::vector<std::uint8_t> out(orb::kFusionOutputBytes);
    ZelOrbRgbData rec{};
    rec.data = out.data();
    auto library = [&] {
        if (ZelOrbGetRGBDFusionData(kDev, &rec) != RC_OK) st.SkipWithError("fusion failed");
        benchmark::DoNotOptimize(out.data());
    };
    bare();  // warm both
    library();
    std::vector<double> tb, tl;
    for (auto _ : st) {
        const double t0 = threadCpuMs();
        bare();
        const double t1 = threadCpuMs();
        library();
        const double t2 = threadCpuMs();
        tb.push_back(t1 - t0);
        tl.push_back(t2 - t1);
    }
    gBareMs = median(tb);
    gLibraryMs = median(tl);
    st.counters["bare_ms"] = gBareMs;
    st.counters["library_ms"] = gLibraryMs;
    st.counters["ratio"] = gBareMs > 0 ? gLibraryMs / gBareMs : 0;
}

BENCHMARK(Fusion)->Unit(benchmark::kMillisecond)->Iterations(100);

}  // namespace

int main(int argc, char** argv) {
    // One OpenCV thread, timed by the thread's CPU clock: the ratio compares
    // work done, also on a busy machine.
    cv::setNumThreads(1);
    benchmark::Initialize(&argc, argv);
    registerDevice();
    benchmark::RunSpecifiedBenchmarks();
    if (gBareMs > 0)
        std::printf("b. ZelOrbGetRGBDFusionData per call, median thread CPU time: remap + projection %.2f ms, "
                    "library %.2f ms, ratio %.2f (target <= 1.5)\n",
                    gBareMs, gLibraryMs, gLibraryMs / gBareMs);
    ZelOrbDisconnectAllDevice();
    benchmark::Shutdown();
    return 0;
}
