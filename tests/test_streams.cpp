// Guards the streams over loopback against lost, foreign, damaged or stale data, wrong filters and colours, calls that deadlock inside callbacks, and teardown under a stuck callback: point clouds, six- and nine-axis IMU, RGB, host filters and fusion against the simulated camera.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "command_responder.h"
#include "core/device.h"
#include "imu_rgb/imu_rgb_state.h"
#include "imu_rgb/rgb_stream.h"
#include "imu_sender.h"
#include "platform/net.h"
#include "rgb_sender.h"
#include "scene.h"
#include "settings_store.h"
#include "stream/reception.h"
#include "support/harness.h"

namespace {

using namespace orbtest;
constexpr std::uint16_t kPort = 16101;
constexpr const char* kDev = "127.0.0.2";

orbsim::StreamerOptions streamer(const std::string& ip, std::uint16_t sourcePort = 6301) {
    orbsim::StreamerOptions o;
    o.deviceIp = ip;
    o.sourcePort = sourcePort;
    o.hostPort = kPort;
    o.keepFrames = 16;
    o.staticScene = true;  // rendered once: quick under the sanitizers
    return o;
}
orbsim::ScenePtr boxScene() {
    return orbsim::withSecondEcho(orbsim::withIntensityFalloff(orbsim::makeBoxScene(400, orbsim::BoxSpec{}), 200, 200), 40);
}
// Sends frames paced so that the kernel's receive buffer never overflows.
void sendPaced(orbsim::PointCloudStreamer& sim, std::uint64_t from, std::uint64_t count) {
    for (std::uint64_t k = from; k < from + count; ++k) {
        ASSERT_TRUE(sim.sendFrameNow(k));
        std::this_thread::sleep_for(3ms);
    }
}

class Streams : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
    }
    static void TearDownTestSuite() {
        ZelOrbStopReceiveData();
        ZelOrbDeinit();
    }
    void TearDown() override {
        for (const auto& ip : attached_) removeDevice(ip);
        ZelOrbDisconnectAllDevice();
        cam.reset();
    }
    orb::DeviceRecord& attach(const std::string& ip, std::int32_t port = 7000, std::uint8_t mode = 3, bool threads = true) {
        attached_.push_back(ip);
        return addDevice(ip, threads, mode, port);
    }
    // A simulated camera on kDev, connected.
    void connectCamera(orbsim::CameraOptions o) {
        ZelOrbDisconnectDevice(kDev);
        cam.reset();
        o.deviceIp = kDev;
        if (o.pointCloud) o.pointCloud->hostPort = kPort;
        cam = startCamera(o);
        ASSERT_EQ(ZelOrbConnectDevice(kDev, 6301), RC_OK);
    }
    std::unique_ptr<orbsim::Camera> cam;
    std::vector<std::string> attached_;
};

// ------------------------------------------------------------- point clouds

TEST_F(Streams, FramesArriveIntactByPollingCallbackAndMulticast) {
    static std::atomic<int> callbacks{0};
    attach("127.0.0.10");
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame("127.0.0.10", [](ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]) { ++callbacks; }), RC_OK);
    attach("127.0.0.11", 7000, 7);  // dual echo, switched by the device mode
    attach("127.0.0.12");
    auto store = std::make_shared<orbsim::SettingsStore>("127.0.0.11");
    store->setDeviceMode(1);
    auto multicast = streamer("127.0.0.12");
    multicast.multicast = true;
    orbsim::PointCloudStreamer sims[] = {{streamer("127.0.0.10"), boxScene()}, {streamer("127.0.0.11"), boxScene(), store},
                                         {multicast, boxScene()}};
    for (auto& sim : sims) {
        for (std::uint64_t k = 0; k < 3; ++k) ASSERT_TRUE(sim.sendFrameNow(k));
        EXPECT_TRUE(receiveAndCompare(sim.options().deviceIp, *sim.sentFrame(1))) << sim.options().deviceIp;
    }
    EXPECT_EQ(sims[1].sentFrame(1)->dataType, 13);
    EXPECT_TRUE(eventually([] { return callbacks.load() >= 2; }));
}

TEST_F(Streams, DatagramsAreRoutedBySourceAddressAndPortOnly) {
    orb::DeviceRecord& dev = attach("127.0.0.5", 7001);
    const auto before = orb::receptionStats();
    orbsim::PointCloudStreamer wrongPort(streamer("127.0.0.5", 7002), boxScene()), unknown(streamer("127.0.0.6", 7001), boxScene());
    ASSERT_TRUE(wrongPort.sendFrameNow(0) && unknown.sendFrameNow(0));
    const std::uint64_t n = wrongPort.packetsSent();
    EXPECT_TRUE(eventually([&] { return orb::receptionStats().wrongPort - before.wrongPort >= n; }));
    EXPECT_TRUE(eventually([&] { return orb::receptionStats().unknownSource - before.unknownSource >= n; }));
    EXPECT_EQ(dev.stream.stats.datagramsQueued.load(), 0u);
    // The device's own source port and 6301 are both accepted; a new port at once.
    orbsim::PointCloudStreamer own(streamer("127.0.0.5", 7001), boxScene()), always(streamer("127.0.0.5", 6301), boxScene());
    ASSERT_TRUE(own.sendFrameNow(0) && always.sendFrameNow(1));
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.datagramsQueued.load() == 2 * n; }));
    dev.stream.dataSourcePort = 7002;
    ASSERT_TRUE(wrongPort.sendFrameNow(2));
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.datagramsQueued.load() == 3 * n; }));
    // Oversized datagrams are dropped and counted.
    ASSERT_TRUE(own.sendRaw(Bytes(1500, 0x5A)));
    EXPECT_TRUE(eventually([&] { return orb::receptionStats().oversized == before.oversized + 1; }));
}

TEST_F(Streams, ReceptionStopsRestartsAndMovesToANewPort) {
    ZelOrbStopReceiveData();
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);
    EXPECT_EQ(ZelOrbStartReceiveData(kHost, 0), RC_LOCAL_PORT_NULL);  // leaves an unbound socket a stop closes
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_OK);
    const orb::net::Socket other = orb::net::udpSocket();  // a port held elsewhere
    ASSERT_TRUE(orb::net::bindTo(other, "0.0.0.0", kPort));
    EXPECT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_PORT_BIND_FAILED);
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);
    orb::net::closeSocket(other);

    orb::DeviceRecord& dev = attach("127.0.0.7");
    orbsim::PointCloudStreamer sim(streamer("127.0.0.7"), boxScene());
    ASSERT_TRUE(sim.sendFrameNow(0));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(dev.stream.stats.datagramsQueued.load(), 0u) << "stopped: nothing received";
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
    ASSERT_TRUE(sim.sendFrameNow(1));
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.datagramsQueued.load() == sim.packetsSent() / 2; }));
    // A second start while receiving moves to the new port.
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort + 1), RC_OK);
    auto o = streamer("127.0.0.7");
    o.hostPort = kPort + 1;
    orbsim::PointCloudStreamer moved(o, boxScene());
    for (std::uint64_t k = 10; k < 13; ++k) ASSERT_TRUE(moved.sendFrameNow(k));
    EXPECT_TRUE(receiveAndCompare("127.0.0.7", *moved.sentFrame(11)));
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
}

TEST_F(Streams, AStalledDeviceQueuesItsOwnDatagramsOnlyAndDropsTheRest) {
    // A's threads do not run: its datagrams wait while B streams thousands.
    orb::DeviceRecord& a = attach("127.0.0.20", 7000, 3, false);
    orb::DeviceRecord& b = attach("127.0.0.21");
    auto oa = streamer("127.0.0.20");
    oa.pointFormat = 4;  // 180 datagrams a frame
    orbsim::PointCloudStreamer simA(oa, orbsim::makeWallScene(300, 10, 77)), simB(streamer("127.0.0.21"), boxScene());
    sendPaced(simA, 0, 3);
    ASSERT_TRUE(eventually([&] { return a.stream.stats.datagramsQueued.load() == simA.packetsSent(); }));
    sendPaced(simB, 0, 12);
    EXPECT_TRUE(eventually([&] { return b.stream.stats.framesPublished.load() >= 11; }));
    sendPaced(simA, 3, 30);  // A overflows: 5,110 wait, the rest is counted
    ASSERT_TRUE(eventually([&] {
        return a.stream.stats.datagramsQueued.load() + a.stream.stats.datagramsDroppedQueueFull.load() == simA.packetsSent();
    }));
    EXPECT_EQ(a.stream.stats.datagramsQueued.load(), 5110u);
    startDeviceThreads("127.0.0.20");
    // 5,110 datagrams are 28 whole frames of 180, holding A's points only.
    ASSERT_TRUE(eventually([&] { return a.stream.stats.framesPublished.load() == 28; }));
    Frame got;
    ASSERT_TRUE(pollFrame("127.0.0.20", got, 1s));
    EXPECT_TRUE(framesAgree(got, *simA.sentFrame(27)));
}

TEST_F(Streams, DamagedAndReorderedDatagramsLeaveOnlyPointsThatWereSent) {
    orb::DeviceRecord& dev = attach("127.0.0.8");
    auto o = streamer("127.0.0.8");
    o.staticScene = false;  // every frame differs, so a point in the wrong frame shows
    o.faults = {0.05, 0.05, 0.03, 0.05, 0.03, 0.03, 99};  // loss, duplicate, reorder, truncate, magic, version
    orbsim::PointCloudStreamer sim(o, orbsim::makeApproachingObjectScene(700, 160, 600, 7, 100));
    int frames = 0;
    for (std::uint64_t k = 0; k < 8; ++k) {
        sendPaced(sim, k, 1);
        Frame got;
        if (!pollFrame("127.0.0.8", got, 300ms)) continue;
        ++frames;
        const FrameCheck c = checkFrame(got, [&](std::uint64_t i) { return sim.sentFrame(i); }, sim.framesSent());
        EXPECT_TRUE(c.error.empty()) << c.error;
    }
    EXPECT_GE(frames, 4);
    EXPECT_GT(dev.stream.stats.packetsIgnored.load(), 0u);
    EXPECT_GT(dev.stream.stats.packetsTruncated.load(), 0u);
}

std::atomic<int> gFrames{0};
std::atomic<int> gInside[8];
void refusingFrameCallback(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) {
    if (gFrames++ != 0) return;
    // Calls that take the registry exclusively could wait for a thread that
    // waits for the mutex this callback runs under: refused, for any device.
    const double d[] = {1.0};
    gInside[0] = ZelOrbDisconnectDevice(kDev);
    gInside[1] = ZelOrbDisconnectDevice("127.0.0.3");
    gInside[2] = ZelOrbConnectDevice("127.0.0.3", 6301);
    gInside[3] = ZelOrbSetSpatialFilter(kDev, true, 5);
    gInside[4] = ZelOrbSetTimeMedianFilter(kDev, true, 5, 100);
    gInside[5] = ZelOrbSetFlyingFilter(kDev, true, 300);
    gInside[6] = ZelOrbSetIntensityFiltering(kDev, true, d, d, 1);
    gInside[7] = ZelOrbSetDeviceMode(kDev, 0);
}

TEST_F(Streams, AConnectedCameraStreamsUntilDisconnectedAndExclusiveCallsAreRefusedInItsCallback) {
    orbsim::CameraOptions o;
    o.pointCloud = streamer(kDev);
    o.pointCloud->frameRate = 50;
    o.scene = boxScene();
    connectCamera(o);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(kDev, refusingFrameCallback), RC_OK);
    EXPECT_TRUE(eventually([] { return gFrames.load() >= 3; }));
    for (auto& r : gInside) EXPECT_EQ(r.load(), RC_GENERAL_ERROR);
    EXPECT_EQ(ZelOrbSetDistanceFiltering(kDev, true, 0, 100), RC_OK) << "calls sharing the registry go through";
    EXPECT_EQ(ZelOrbSetDistanceFiltering(kDev, false, 0, 100), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice(kDev), RC_OK);
    const int after = gFrames.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(gFrames.load(), after);
}

std::atomic<int> gSixCalls{0}, gSixBad{0};
void sixAxisCallback(ZelOrb6AxisImuData d) {
    // Record n carries device time (n + 1) * 1e6 and data bytes n, n + 1, ...
    if (d.check != 1 || static_cast<std::uint8_t>(d.timestamp - 1) != d.data[0] || static_cast<std::uint8_t>(d.data[0] + 25) != d.data[25])
        ++gSixBad;
    if (ZelOrbRegisterCallbackUpdate6AxisImuData(kDev, sixAxisCallback) != RC_GENERAL_ERROR) ++gSixBad;  // under the stream mutex
    ++gSixCalls;
}

TEST_F(Streams, SixAxisRecordsArriveWithTheirDataAndTimestampInMilliseconds) {
    orbsim::CameraOptions o;
    o.pointCloud = streamer(kDev);
    o.pointCloud->frameRate = 5;
    o.pointCloud->sixAxisRate = 200;
    connectCamera(o);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate6AxisImuData(kDev, sixAxisCallback), RC_OK);
    EXPECT_TRUE(eventually([] { return gSixCalls.load() >= 20; }));
    EXPECT_EQ(gSixBad.load(), 0);
}

// ---------------------------------------------------------------- nine-axis

std::atomic<int> gImuCalls{0}, gImuNested{0};
void countingImuCallback(ZelOrb9AxisImuData d) {
    // No library lock is held: polling and registering work; stopping or
    // starting would wait for this very thread.
    ZelOrb9AxisImuData tmp{};
    const bool ok = ZelOrbGet9AxisImu(kDev, &tmp) == RC_OK && tmp.seconds == d.seconds &&
                    ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, countingImuCallback) == RC_OK &&
                    ZelOrbStopDevice9AxisImuStream(kDev) == RC_GENERAL_ERROR && ZelOrbStartDevice9AxisImuStream(kDev) == RC_GENERAL_ERROR;
    gImuNested = ok ? 1 : -1;
    ++gImuCalls;
}

TEST_F(Streams, NineAxisSamplesArriveOnceThroughRestartsAndReconnects) {
    orbsim::CameraOptions o;
    o.imuRateHz = 0.0;
    connectCamera(o);
    orbsim::ImuSender& sender = *cam->imu();
    // Sends s and polls until it arrives; earlier samples are passed over.
    auto roundTrip = [&](const orbsim::ImuSample& s, ZelOrb9AxisImuData& out) {
        if (!sender.sendSample(s)) return false;
        for (int i = 0; i < 100; ++i)
            if (ZelOrbGet9AxisImu(kDev, &out) == RC_OK && out.seconds == s.seconds && out.microseconds == s.microseconds) return true;
        return false;
    };
    EXPECT_EQ(ZelOrbStopDevice9AxisImuStream(kDev), RC_OK) << "never started";
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    orbsim::ImuSample s = orbsim::imuSampleFor(1234);
    s.seconds = 0x0000123456789ABCull;
    ZelOrb9AxisImuData out{};
    ASSERT_TRUE(roundTrip(s, out));
    EXPECT_EQ(std::memcmp(out.axis, s.axisBits, sizeof out.axis), 0);
    // Taken once; bad datagrams publish nothing and leave the record alone.
    const Bytes frame = orbsim::encodeImuFrame(s);
    sender.sendRaw(Bytes(frame.begin(), frame.begin() + 57));
    sender.sendRaw(cat(Bytes(frame.begin(), frame.end() - 1), {0}));
    ZelOrb9AxisImuData again{};
    again.seconds = 5;
    EXPECT_EQ(ZelOrbGet9AxisImu(kDev, &again), RC_IMU_GET_FAILED);
    EXPECT_EQ(again.seconds, 5u);
    // A restart replaces the running thread; a reconnect moves it to the new sockets.
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    ASSERT_TRUE(roundTrip(orbsim::imuSampleFor(2), out));
    const std::uint16_t oldPort = cam->store()->handshake().dataPort;
    ASSERT_EQ(ZelOrbConnectDevice(kDev, 6301), RC_DEVICE_EXISTS);
    ASSERT_NE(cam->store()->handshake().dataPort, oldPort);
    ASSERT_TRUE(roundTrip(orbsim::imuSampleFor(3), out)) << "samples to the new IMU port arrive";
    ASSERT_EQ(ZelOrbStopDevice9AxisImuStream(kDev), RC_OK);
    sender.sendSample(orbsim::imuSampleFor(4));
    EXPECT_EQ(ZelOrbGet9AxisImu(kDev, &out), RC_IMU_GET_FAILED) << "stopped: nothing received";

    // The callback gets every sample; a null registration keeps it; a new one replaces it.
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, countingImuCallback), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    sender.setRate(500.0);
    EXPECT_TRUE(eventually([] { return gImuCalls.load() >= 20; }));
    sender.setRate(0.0);
    EXPECT_EQ(gImuNested.load(), 1);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, [](ZelOrb9AxisImuData) {}), RC_OK);
    const int before = gImuCalls.load();
    for (int i = 0; i < 5; ++i) sender.sendSample(orbsim::imuSampleFor(i));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(gImuCalls.load(), before);
}

// ---------------------------------------------------------------------- RGB

cv::Vec3b pixel(const ZelOrbRgbData& r, int row, int col) {
    const std::uint8_t* p = r.data + (std::size_t(row) * 1600 + col) * 3;
    return {p[0], p[1], p[2]};
}
bool near(const cv::Vec3b& a, const cv::Vec3b& b, int tol = 10) {
    return std::abs(a[0] - b[0]) <= tol && std::abs(a[1] - b[1]) <= tol && std::abs(a[2] - b[2]) <= tol;
}

class Rgb : public Streams {
protected:
    // The rotation code is read at connection.
    void connectRgb(std::uint8_t rotation, std::uint8_t format) {
        orbsim::CameraOptions o;
        o.rgb = orbsim::RgbSenderOptions{};
        o.rgb->rateHz = 0;
        o.rgb->format = format;
        o.rgb->maxPayload = 8000;  // several fragments even for the flat JPEG pattern
        connectCamera(o);
        cam->store()->setPayload(0x0337, {rotation});
        ASSERT_EQ(ZelOrbConnectDevice(kDev, 6301), RC_DEVICE_EXISTS);
    }
    bool sendAndGet(std::uint32_t id, ZelOrbRgbData& out) {
        if (!cam->rgb()->sendFrame(id)) return false;
        for (int i = 0; i < 15; ++i)
            if (ZelOrbGetRgb(kDev, &out) == RC_OK) return true;
        return false;
    }
};

TEST_F(Rgb, ImagesArriveOnceWithTheirHeaderAndTheConnectionsRotation) {
    connectRgb(0, orbsim::kRgbJpeg);
    EXPECT_EQ(ZelOrbStopDeviceRgbStream(kDev), RC_OK) << "never started";
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    ZelOrbRgbData rec{};
    ASSERT_TRUE(sendAndGet(17, rec));
    EXPECT_EQ(std::make_tuple(+rec.frame_id, +rec.seconds, +rec.microseconds, +rec.width, +rec.height, +rec.channels, +rec.size),
              std::make_tuple(17u, std::uint64_t{17}, 170u, 1600u, 1200u, 3u, std::uint64_t{5760000}));
    for (auto [r, c] : {std::pair{100, 100}, {100, 1500}, {1100, 100}, {600, 800}})
        EXPECT_TRUE(near(pixel(rec, r, c), orbsim::testPatternColor(r, c))) << r << "," << c;
    ZelOrbRgbData again{};
    again.frame_id = 4242;
    EXPECT_EQ(ZelOrbGetRgb(kDev, &again), RC_RGB_GET_FAILED);
    EXPECT_EQ(+again.frame_id, 4242u) << "record untouched";
    ASSERT_EQ(ZelOrbStopDeviceRgbStream(kDev), RC_OK);
    ASSERT_TRUE(cam->rgb()->sendFrame(2));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ZelOrbGetRgb(kDev, &rec), RC_RGB_GET_FAILED) << "stopped: nothing processed";

    connectRgb(1, orbsim::kRgbNv12);  // a 180-degree turn
    EXPECT_TRUE(ZelGetDeviceRgbRotation(kDev));
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    ASSERT_TRUE(sendAndGet(3, rec));
    EXPECT_TRUE(near(pixel(rec, 100, 100), orbsim::testPatternColor(1099, 1499)));
    EXPECT_TRUE(near(pixel(rec, 100, 1500), orbsim::testPatternColor(1099, 99)));
}

std::atomic<int> gRgbCalls{0}, gRgbNested{0};
void countingRgbCallback(ZelOrbRgbData d) {
    // No library lock is held: the image can be taken and settings changed;
    // stopping or restarting would wait for this very thread.
    ZelOrbRgbData tmp{};
    const bool ok = ZelOrbGetRgb(kDev, &tmp) == RC_OK && tmp.frame_id == d.frame_id && d.size == 5760000u &&
                    ZelOrbRegisterCallbackUpdateRgb(kDev, countingRgbCallback) == RC_OK &&
                    ZelOrbSetRgbUndistortion(kDev, false) == RC_OK && ZelOrbStopDeviceRgbStream(kDev) == RC_GENERAL_ERROR &&
                    ZelOrbStartDeviceRgbStream(kDev) == RC_GENERAL_ERROR;
    gRgbNested = ok ? 1 : -1;
    ++gRgbCalls;
}

TEST_F(Rgb, UndistortionUsesTheDevicesIntrinsicsAndCallbacksRunAtTheSendersRate) {
    connectRgb(0, orbsim::kRgbNv12);
    const float intr[10] = {700, 705, 790, 610, 0.05f, 0.01f, -0.002f, 0.0005f, 0, 0};
    cam->store()->setIntrinsics(std::vector<double>(intr, intr + 10));
    ASSERT_EQ(ZelOrbSetRgbUndistortion(kDev, true), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    ZelOrbRgbData rec{};
    ASSERT_TRUE(sendAndGet(5, rec));
    cv::Mat decoded, m1, m2, want;
    ASSERT_EQ(orb::DecodeRgbFrame(orb::kRgbFormatNv12, orbsim::encodeNv12(orbsim::makeTestPattern()), decoded), orb::RgbDecode::Image);
    const cv::Matx33f K(intr[0], 0, intr[2], 0, intr[1], intr[3], 0, 0, 1);
    cv::fisheye::initUndistortRectifyMap(K, cv::Vec4f(intr[4], intr[5], intr[6], intr[7]), cv::Mat::eye(3, 3, CV_64F), K,
                                         decoded.size(), CV_16SC2, m1, m2);
    cv::remap(decoded, want, m1, m2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    EXPECT_EQ(cv::norm(cv::Mat(1200, 1600, CV_8UC3, rec.data), want, cv::NORM_INF), 0.0);
    // Switching off needs no device; switching on needs its answer, and a
    // failed enable leaves undistortion off.
    orbsim::Fault silent;
    silent.silent = true;
    cam->responder().setFaultAll(silent);
    EXPECT_EQ(ZelOrbSetRgbUndistortion(kDev, false), RC_OK);
    orbsim::Fault refused;
    refused.status = 5;
    cam->responder().setFaultAll(refused);
    EXPECT_EQ(ZelOrbSetRgbUndistortion(kDev, true), RC_GENERAL_ERROR);
    cam->responder().clearFaults();
    ASSERT_TRUE(sendAndGet(6, rec));
    EXPECT_EQ(cv::norm(cv::Mat(1200, 1600, CV_8UC3, rec.data), decoded, cv::NORM_INF), 0.0);

    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, countingRgbCallback), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    cam->rgb()->setRate(20.0);
    EXPECT_TRUE(eventually([] { return gRgbCalls.load() >= 5; }));
    cam->rgb()->setRate(0.0);
    EXPECT_EQ(gRgbNested.load(), 1);
}

std::atomic<int> gStuck{0};
std::atomic<bool> gRelease{false};
void stuck() {
    ++gStuck;
    for (int i = 0; i < 3000 && !gRelease.load(); ++i) std::this_thread::sleep_for(5ms);
}

// Callbacks that outlast the 2 s stop limit: disconnection returns, and the
// state the threads still use lives until they end. Failing thread starts
// are reported.
TEST_F(Rgb, TeardownKeepsTheStateOfThreadsStuckInTheirCallbacks) {
    orbsim::CameraOptions o;
    o.imuRateHz = 100.0;
    o.rgb = orbsim::RgbSenderOptions{};
    o.rgb->format = orbsim::kRgbNv12;
    o.rgb->rateHz = 10;
    connectCamera(o);
    orb::testhooks::FailNextThreadLaunches(1);
    EXPECT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_IMU_START_FAILED);
    orb::testhooks::FailNextThreadLaunches(1);
    EXPECT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_RGB_START_FAILED);
    orb::testhooks::FailNextThreadLaunches(0);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, [](ZelOrb9AxisImuData) { stuck(); }), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, [](ZelOrbRgbData) { stuck(); }), RC_OK);
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    std::weak_ptr<orb::ImuShared> imu;
    std::weak_ptr<orb::RgbShared> rgb;
    withDevice(kDev, [&](orb::DeviceRecord& d) { imu = d.ctrl.imuRgb.imu, rgb = d.ctrl.imuRgb.rgb; });
    ASSERT_TRUE(eventually([] { return gStuck.load() == 2; }, 5s));
    EXPECT_EQ(ZelOrbDisconnectDevice(kDev), RC_OK) << "returns after the stop limit";
    EXPECT_FALSE(imu.expired() || rgb.expired()) << "the stuck threads still hold their state";
    gRelease = true;
    EXPECT_TRUE(eventually([&] { return imu.expired() && rgb.expired(); }));
}

// ------------------------------------------------------------------- fusion

class Fusion : public Streams {
protected:
    void SetUp() override {
        orbsim::CameraOptions o;
        o.pointCloud = streamer(kDev);
        o.pointCloud->frameRate = 10;
        o.scene = orbsim::makeWallScene(1000.0, 0.0);
        o.rgb = orbsim::RgbSenderOptions{};
        o.rgb->rateHz = 10;
        o.rgb->format = orbsim::kRgbNv12;
        connectCamera(o);
    }
};

std::atomic<int> gFromFrame{0}, gFromRgb{0};

TEST_F(Fusion, WallPointsTakeThePatternColoursWhereTheyProject) {
    std::vector<std::uint8_t> buf(162000, 0xEE);
    ZelOrbRgbData out{};
    out.data = buf.data();
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kDev, &out), RC_GET_DATA_FAILED) << "not initialised";
    ASSERT_EQ(ZelOrbInitRGBDFusionParam(kDev), RC_OK);
    EXPECT_EQ(ZelOrbGetRGBDFusionData(kDev, &out), RC_RGB_GET_FAILED) << "no image yet";
    EXPECT_TRUE(+out.size == 0 && buf[0] == 0xEE && buf[161999] == 0xEE);
    // A failed re-initialisation keeps the parameters in force.
    orbsim::Fault refused;
    refused.status = 5;
    cam->responder().setFault(0x0329, refused);
    EXPECT_EQ(ZelOrbInitRGBDFusionParam(kDev), RC_GENERAL_ERROR);
    cam->responder().clearFaults();

    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    Frame frame;
    ZelOrbRgbData rgb{};
    ASSERT_TRUE(pollFrame(kDev, frame, 3s));
    ASSERT_TRUE(eventually([&] { return ZelOrbGetRgb(kDev, &rgb) == RC_OK; }));
    ASSERT_EQ(ZelOrbGetRGBDFusionData(kDev, &out), RC_OK);  // colours the newest frame of the same static wall
    EXPECT_EQ(std::make_tuple(+out.width, +out.height, +out.channels, +out.size), std::make_tuple(360u, 150u, 3u, std::uint64_t{162000}));
    // Direction classes of wall points whose pattern colour is certain.
    const cv::Vec3b want[3] = {orbsim::testPatternColor(600, 800), orbsim::testPatternColor(100, 100), orbsim::testPatternColor(1100, 1500)};
    int counted[3] = {}, matched[3] = {};
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const ZelOrbPointData& p = frame[i];
        if (!(p.x > 0)) continue;
        const float h = p.y / p.x, v = p.z / p.x;
        const int k = std::fabs(h) < 0.05f && std::fabs(v) < 0.05f ? 0 : h < -0.6f && v > 0.25f ? 1 : h > 0.6f && v < -0.25f ? 2 : -1;
        if (k < 0) continue;
        ++counted[k];
        matched[k] += near(cv::Vec3b(buf[3 * i], buf[3 * i + 1], buf[3 * i + 2]), want[k]);
    }
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(counted[k] > 20 && matched[k] >= counted[k] * 9 / 10) << k << ": " << matched[k] << "/" << counted[k];

    // A frame callback holds the stream mutex fusion needs: refused there; the
    // RGB callback holds no lock fusion takes: fusion works from it.
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(kDev, [](ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]) {
                  static std::vector<std::uint8_t> b(162000);
                  ZelOrbRgbData o{};
                  o.data = b.data();
                  gFromFrame = ZelOrbGetRGBDFusionData(kDev, &o) == RC_GENERAL_ERROR ? 1 : -1;
              }), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, [](ZelOrbRgbData) {
                  std::vector<std::uint8_t> b(162000);
                  ZelOrbRgbData o{};
                  o.data = b.data();
                  gFromRgb = ZelOrbGetRGBDFusionData(kDev, &o) == RC_OK ? 1 : -1;
              }), RC_OK);
    EXPECT_TRUE(eventually([] { return gFromFrame.load() != 0 && gFromRgb.load() == 1; }));
    EXPECT_EQ(gFromFrame.load(), 1);
}

// ------------------------------------------------------------ host filters

Bytes be32(std::uint32_t v) { return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)}; }
bool empty(const ZelOrbPointData& p) { return p.x == 0 && p.y == 0 && p.z == 0; }

TEST_F(Streams, HostFiltersActOnTheFramesOfAConnectedCamera) {
    // A wall at 400 with a box at 200 to 260 before it, intensity falling with
    // distance: every filter has points on both sides of its bounds.
    orbsim::CameraOptions o;
    connectCamera(o);
    orbsim::PointCloudStreamer sim(streamer(kDev), orbsim::withIntensityFalloff(orbsim::makeBoxScene(400, orbsim::BoxSpec{}), 200, 200));
    std::uint64_t next = 0;
    // Sends two frames (the second closes the first) and waits for the first.
    auto deliver = [&](Frame& got) -> std::shared_ptr<const orbsim::SentFrame> {
        const std::uint64_t k = next;
        next += 2;
        if (!sim.sendFrameNow(k) || !sim.sendFrameNow(k + 1)) return nullptr;
        const auto sent = sim.sentFrame(k);
        const bool ok = eventually([&] { return pollFrame(kDev, got, 50ms) && got[0].timestamp == sent->timestamp; });
        return ok ? sent : nullptr;
    };
    Frame got;
    struct Filter {
        std::function<void()> set;
        std::function<bool(const orbsim::ExpectedPoint&)> cleared;
    };
    const double dist[] = {5.0, 3.0}, inten[] = {45.0, 150.0};  // unsorted: (3.0, 150), (5.0, 45)
    const Filter filters[] = {
        {[] { ASSERT_EQ(ZelOrbSetDistanceFiltering(kDev, true, 300, 450), RC_OK); },
         [](const orbsim::ExpectedPoint& e) { return e.distance >= 450 || e.distance <= 300; }},
        {[&] {
             ASSERT_EQ(ZelOrbSetDistanceFiltering(kDev, false, 300, 450), RC_OK);
             ASSERT_EQ(ZelOrbSetIntensityFiltering(kDev, true, dist, inten, 2), RC_OK);
         },
         [](const orbsim::ExpectedPoint& e) {
             const double r = std::sqrt(double(e.x) * e.x + double(e.y) * e.y + double(e.z) * e.z);
             return (r < 300 && e.intensity < 150) || (r >= 300 && r < 500 && e.intensity < 45);
         }},
    };
    for (const Filter& f : filters) {
        f.set();
        const auto sent = deliver(got);
        ASSERT_TRUE(sent);
        int cleared = 0;
        for (const auto& e : sent->first) {
            const ZelOrbPointData& p = got[e.row * 360 + e.column];
            ASSERT_EQ(p.distance, e.distance);
            ASSERT_TRUE(f.cleared(e) ? empty(p) : std::fabs(p.x - e.x) < 1e-3f) << e.row << "," << e.column;
            cleared += f.cleared(e);
        }
        EXPECT_TRUE(cleared > 1000 && cleared < 53000) << cleared;
    }
    // An empty table: a message for every frame, frames unchanged.
    ASSERT_EQ(ZelOrbSetIntensityFiltering(kDev, true, nullptr, nullptr, 0), RC_OK);
    testing::internal::CaptureStdout();
    auto sent = deliver(got);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Distance and intensity thresholds must have the same size\n"), std::string::npos);
    ASSERT_TRUE(sent);
    EXPECT_TRUE(framesAgree(got, *sent));
    ASSERT_EQ(ZelOrbSetIntensityFiltering(kDev, false, nullptr, nullptr, 0), RC_OK);

    // Compensation adds the sum of the two offsets read from the device (7 - 3).
    cam->store()->setPayload(0x033B, be32(7));
    cam->store()->setPayload(0x033C, be32(0xFFFFFFFDu));
    ASSERT_EQ(ZelOrbSetDistanceCompensationEnabled(kDev, true), RC_OK);
    ASSERT_TRUE(sent = deliver(got));
    for (const auto& e : sent->first) {
        const ZelOrbPointData& p = got[e.row * 360 + e.column];
        ASSERT_NEAR(p.x, e.x + 4.0f, 1e-3) << e.row << "," << e.column;
        ASSERT_FLOAT_EQ(p.distance, std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z));
    }
    // A failed read of either offset leaves compensation as it was.
    cam->store()->setPayload(0x033B, be32(100));
    orbsim::Fault refused;
    refused.status = 5;
    for (std::uint16_t failing : {0x033C, 0x033B}) {
        cam->responder().setFault(failing, refused);
        EXPECT_EQ(ZelOrbSetDistanceCompensationEnabled(kDev, true), RC_GENERAL_ERROR);
        cam->responder().clearFaults();
    }
    ASSERT_TRUE(sent = deliver(got));
    EXPECT_NEAR(got[20000].x, sent->first[20000].x + 4.0f, 1e-3);
    ASSERT_EQ(ZelOrbSetDistanceCompensationEnabled(kDev, false), RC_OK);

    // The pipeline stages: every point went through the depth image.
    EXPECT_EQ(ZelOrbSetSpatialFilter(kDev, true, 3), RC_OK);
    EXPECT_EQ(ZelOrbSetTimeMedianFilter(kDev, true, 3, 100), RC_OK);
    EXPECT_EQ(ZelOrbSetFlyingFilter(kDev, true, 300), RC_OK);
    for (int k = 0; k < 4; ++k) ASSERT_TRUE(sent = deliver(got));
    int nonEmpty = 0;
    for (const auto& e : sent->first) {
        const ZelOrbPointData& p = got[e.row * 360 + e.column];
        EXPECT_EQ(p.distance, e.distance);
        ASSERT_TRUE(empty(p) || std::fabs(p.x * 10 - std::round(p.x * 10)) < 1e-2f) << e.row << "," << e.column;
        nonEmpty += !empty(p);
    }
    EXPECT_GT(nonEmpty, 40000);
}

}  // namespace
