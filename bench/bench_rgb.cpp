// a. RGB processing per frame (decode, rotation, undistortion, publication)
//    against the bare OpenCV calls it needs (imdecode + cvtColor + flip +
//    remap with maps built once).
//    Run: build/bench/bench_rgb
//    Each iteration runs the bare calls and then the library on the same
//    frame, timed by the thread's CPU clock with OpenCV on one thread, so the
//    ratio of the medians holds on a busy machine too.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "imu_rgb/rgb_stream.h"
#include "rgb_sender.h"
#include "settings_store.h"

namespace {

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

struct Inputs {
    orbsim::wire::Bytes jpeg, nv12;
    float intr[10] = {};
    cv::Mat map1, map2;
    Inputs() {
        const cv::Mat pattern = orbsim::makeTestPattern();
        jpeg = orbsim::encodeJpeg(pattern);
        nv12 = orbsim::encodeNv12(pattern);
        orbsim::SettingsStore store("127.0.0.2");
        const auto in = store.intrinsics();
        for (std::size_t i = 0; i < 10 && i < in.size(); ++i) intr[i] = static_cast<float>(in[i]);
        cv::Matx33f K(intr[0], 0, intr[2], 0, intr[1], intr[3], 0, 0, 1);
        cv::Vec4f D(intr[4], intr[5], intr[6], intr[7]);
        cv::fisheye::initUndistortRectifyMap(K, D, cv::Mat::eye(3, 3, CV_64F), K, cv::Size(1600, 1200), CV_16SC2,
                                             map1, map2);
    }
};

const Inputs& inputs() {
    static const Inputs in;
    return in;
}

struct Ratio {
    double bareMs = 0, libraryMs = 0;
};
Ratio gJpeg, gNv12;

void Run(benchmark::State& st, std::uint8_t format, Ratio& result) {
    const Inputs& in = inputs();
    const orbsim::wire::Bytes& bytes = format == orb::kRgbFormatJpeg ? in.jpeg : in.nv12;
    // Bare: outputs reused across frames, the leanest use of the same calls.
    cv::Mat img, out;
    auto bare = [&] {
        if (format == orb::kRgbFormatJpeg) {
            cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<std::uint8_t*>(bytes.data())),
                         cv::IMREAD_COLOR, &img);
            cv::cvtColor(img, img, cv::COLOR_BGR2RGB);
        } else {
            cv::cvtColor(cv::Mat(1800, 1600, CV_8UC1, const_cast<std::uint8_t*>(bytes.data())), img,
                         cv::COLOR_YUV2RGB_NV12);
        }
        cv::flip(img, img, -1);
        cv::remap(img, out, in.map1, in.map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
        benchmark::DoNotOptimize(out.data);
    };
    orb::RgbShared s;
    std::memcpy(s.intrinsics, in.intr, sizeof in.intr);
    s.undistort = true;
    orb::RgbFrame frame;
    frame.header.bytes[3] = format;
    frame.bytes = bytes;
    std::lock_guard<std::mutex> lk(s.inputMutex);
    auto library = [&] {
        if (!orb::processRgbFrame(s, frame, 1, nullptr)) st.SkipWithError("frame dropped");
        benchmark::DoNotOptimize(s.record.data);
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
    result.bareMs = median(tb);
    result.libraryMs = median(tl);
    st.counters["bare_ms"] = result.bareMs;
    st.counters["library_ms"] = result.libraryMs;
    st.counters["ratio"] = result.bareMs > 0 ? result.libraryMs / result.bareMs : 0;
}

void Jpeg(benchmark::State& st) { Run(st, orb::kRgbFormatJpeg, gJpeg); }
void Nv12(benchmark::State& st) { Run(st, orb::kRgbFormatNv12, gNv12); }
BENCHMARK(Jpeg)->Unit(benchmark::kMillisecond)->Iterations(60);
BENCHMARK(Nv12)->Unit(benchmark::kMillisecond)->Iterations(60);

}  // namespace

int main(int argc, char** argv) {
    cv::setNumThreads(1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("a. RGB processing per frame, median thread CPU time (target ratio <= 1.2)\n");
    for (auto [name, r] : {std::pair{"JPEG", gJpeg}, std::pair{"NV12", gNv12}})
        if (r.bareMs > 0)
            std::printf("   %s: bare %.2f ms, library %.2f ms, ratio %.2f\n", name, r.bareMs, r.libraryMs,
                        r.libraryMs / r.bareMs);
    benchmark::Shutdown();
    return 0;
}
