// Guards against crashes, hangs, races, mixed-up points and dropped data with twenty cameras at 20 frames/s, a
// busy application, connections of other cameras coming and going, and restarts.

// Every point of every frame handed out must be the point its camera sent in the frame the point names.

#include "support/harness.h"

namespace {

using namespace orbtest;

constexpr int kCameras = 20;
constexpr int kFilteredFrom = 15;  // cameras 15..19 get their filters changed
constexpr std::uint16_t kPort = 16701;
// At least kRunTime, and on until every camera had a frame checked, never beyond kMaxRunTime.
const auto kRunTime = 10s;
const auto kMaxRunTime = 30s;
// Twenty cameras' frames are megabytes a second of copies: sanitized builds get fewer.
const double kFrameRate = kThreadSanitized ? 0.5 : kSanitized ? 2.0 : 20.0;
constexpr int kChurned = 4;  // cameras 40..43: connected and disconnected all along

std::atomic<int> gFrameCallbacks{0}, gFrameCallbackBad{0}, gSixAxis{0}, gSixAxisBad{0};

// Runs on a frame thread under its stream mutex: a cheap look at positions.
void onFrame(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    ++gFrameCallbacks;
    for (int r = 0; r < ZEL_ORB_FRAME_ROWS; r += 7)
        for (int c = 0; c < ZEL_ORB_FRAME_COLS; c += 13)
            if (frame[r][c].timestamp != 0 && (frame[r][c].row != r || frame[r][c].column != c)) ++gFrameCallbackBad;
}
void onFrameOther(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) { onFrame(frame); }
void onSixAxis(ZelOrb6AxisImuData d) {
    ++gSixAxis;
    if (d.check != 1 && d.check != 2) ++gSixAxisBad;
}

TEST(StressCameras, TwentyCamerasWhileTheApplicationPollsConfiguresAndFilters) {
    ASSERT_EQ(ZelOrbInit(), 0);
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
    std::vector<std::unique_ptr<orbsim::Camera>> cams;
    for (int k = 0; k < kCameras; ++k) {
        orbsim::CameraOptions o = streamingCamera(k, kPort, kFrameRate, 10);
        if (k < 4) o.pointCloud->sixAxisRate = 25;
        cams.push_back(startCamera(o));
    }
    for (int k = 40; k < 40 + kChurned; ++k) {
        orbsim::CameraOptions o;
        o.deviceIp = deviceIp(k);
        cams.push_back(startCamera(o));
    }
    for (int k = 0; k < kCameras; ++k) ASSERT_EQ(ZelOrbConnectDevice(deviceIp(k).c_str(), 6301), RC_OK) << k;

    std::atomic<bool> stop{false};
    std::array<std::atomic<int>, kCameras> verifiedFrames{};
    std::atomic<std::size_t> verifiedPoints{0};
    std::atomic<int> configOps{0};
    Failures failures;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)  // two pollers, each over every camera
        threads.emplace_back([&, t] {
            Frame f = newFrame();
            for (int i = t; !stop.load(); ++i) {
                const int k = i % kCameras;
                const std::int32_t rc = ZelOrbGetPointCloud(deviceIp(k).c_str(), rows(f));
                if (rc != RC_OK) {
                    if (rc != RC_GET_DATA_FAILED) failures.add("poll " + deviceIp(k) + " gave " + std::to_string(rc));
                    std::this_thread::sleep_for(1ms);
                    continue;
                }
                const FrameCheck c = checkFrame(f, *cams[k], k < kFilteredFrom);
                if (!c.error.empty()) failures.add(deviceIp(k) + ": " + c.error);
                verifiedPoints += c.points;
                if (c.points > 0) ++verifiedFrames[k];
            }
        });
    std::atomic<int> churns{0};
    threads.emplace_back([&] {  // connections of other cameras come and go
        for (int i = 0; !stop.load(); ++i, ++churns) {
            const std::string ip = deviceIp(40 + i % kChurned);
            if (ZelOrbConnectDevice(ip.c_str(), 6301) != RC_OK) failures.add("connect " + ip);
            if (ZelOrbDisconnectDevice(ip.c_str()) != RC_OK) failures.add("disconnect " + ip);
        }
    });
    threads.emplace_back([&] {  // callbacks registered and replaced on every camera
        for (int i = 0; !stop.load(); ++i) {
            const std::string ip = deviceIp(i % kCameras);
            if (ZelOrbRegisterCallbackUpdateFrame(ip.c_str(), i % 2 ? onFrame : onFrameOther) != RC_OK ||
                ZelOrbRegisterCallbackUpdate6AxisImuData(ip.c_str(), onSixAxis) != RC_OK)
                failures.add("callbacks on " + ip);
            std::this_thread::sleep_for(5ms);
        }
    });
    threads.emplace_back([&] {  // filters changed on the last five cameras
        const double d[3] = {2, 5, 9}, in[3] = {1, 2, 3};
        for (int i = 0; !stop.load(); ++i) {
            const std::string ip = deviceIp(kFilteredFrom + i % (kCameras - kFilteredFrom));
            const bool on = (i / 5) % 2 == 0;
            const std::int32_t rc = i % 5 == 0   ? ZelOrbSetDistanceFiltering(ip.c_str(), on, 10, 5000)
                                    : i % 5 == 1 ? ZelOrbSetSpatialFilter(ip.c_str(), on, 3 + 2 * (i % 3))
                                    : i % 5 == 2 ? ZelOrbSetTimeMedianFilter(ip.c_str(), on, 1 + i % 9, 100)
                                    : i % 5 == 3 ? ZelOrbSetFlyingFilter(ip.c_str(), on, 300)
                                                 : ZelOrbSetIntensityFiltering(ip.c_str(), on, d, in, 3);
            if (rc != RC_OK) failures.add("filter change on " + ip + " gave " + std::to_string(rc));
            std::this_thread::sleep_for(3ms);
        }
    });
    // Configuration from two threads, each on its own half of the cameras, so
    // that every value read back is the one the same thread wrote.
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            std::uint8_t serial[64];
            float intrinsics[10];
            for (int i = 0; !stop.load(); ++i) {
                const std::string ip = deviceIp(t * (kCameras / 2) + i % (kCameras / 2));
                const auto mode = static_cast<std::uint8_t>(i % 3);
                std::int32_t got = -1;
                if (ZelSetTriggerMode(ip.c_str(), mode) != 0 || ZelGetTriggerMode(ip.c_str(), &got) != 0 || got != mode)
                    failures.add("trigger mode round trip on " + ip);
                if (ZelOrbGetDeviceSerialNumber(ip.c_str(), serial, sizeof serial) != 0 ||
                    ZelGetIntrinsicParam(ip.c_str(), 2, intrinsics) != 0)
                    failures.add("getters of " + ip);
                ++configOps;
            }
        });

    // Reception restarts meanwhile (the control socket reopens): exchanges must
    // not notice, and every camera's frames must come through afterwards.
    const auto restartsFrom = Clock::now();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(ZelOrbStopReceiveData(), RC_OK) << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
        EXPECT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK) << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (i % 5) * 10));
    }
    const auto restartMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - restartsFrom).count();
    for (auto& v : verifiedFrames) v = 0;
    std::this_thread::sleep_for(kRunTime);
    auto allVerified = [&] {
        return std::all_of(verifiedFrames.begin(), verifiedFrames.end(), [](const auto& v) { return v.load() > 0; });
    };
    eventually(allVerified, kMaxRunTime - kRunTime);
    stop = true;
    for (auto& t : threads) t.join();
    failures.report();
    // No datagram or frame the library received was dropped by its queues.
    // Kernel-side loss (a busy host) shows as gaps: printed, not failed.
    for (int k = 0; k < kCameras; ++k) cams[k]->pointCloud()->stop();
    for (int k = 0; k < kCameras; ++k) {
        ZelOrbStreamStatistics st{};
        st.size = sizeof st;
        EXPECT_TRUE(eventually([&] {
            ZelOrbGetStreamStatistics(deviceIp(k).c_str(), &st);
            return st.frames_published == st.frames_completed;
        }, 5s)) << deviceIp(k);
        EXPECT_EQ(st.dropped_queue_full + st.dropped_wrong_port + st.dropped_length + st.dropped_bad_magic +
                      st.dropped_bad_data_type + st.dropped_bad_version + st.frames_dropped_queue_full +
                      st.frames_packet_overflow,
                  0u)
            << deviceIp(k);
        if (st.frames_missing_packets != 0)
            std::printf("%s: %llu of %llu frames missed packets\n", deviceIp(k).c_str(),
                        static_cast<unsigned long long>(st.frames_missing_packets),
                        static_cast<unsigned long long>(st.frames_completed));
    }
    std::printf("%d churns; ", churns.load());
    std::printf("%zu points verified, %d configuration rounds, %d frame and %d six-axis callbacks, restarts %lld ms\n",
                verifiedPoints.load(), configOps.load(), gFrameCallbacks.load(), gSixAxis.load(),
                static_cast<long long>(restartMs));
    for (int k = 0; k < kCameras; ++k) EXPECT_GE(verifiedFrames[k].load(), 1) << deviceIp(k);
    EXPECT_TRUE(configOps.load() > 2 * kCameras && gFrameCallbacks.load() > 0 && gSixAxis.load() > 0);
    EXPECT_EQ(gFrameCallbackBad.load() + gSixAxisBad.load(), 0);
    EXPECT_EQ(ZelOrbDisconnectAllDevice(), RC_OK);
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_OK);
    cams.clear();
    EXPECT_EQ(ZelOrbDeinit(), 0);
}

}  // namespace
