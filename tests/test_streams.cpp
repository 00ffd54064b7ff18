// Guards the streams against lost, foreign, damaged or stale data, wrong colours, callback deadlocks, stuck teardown.

#include <opencv2/core.hpp>

#include "command_responder.h"
#include "device/context.h"
#include "device/device.h"
#include "imu_rgb/imu_rgb_state.h"
#include "imu_rgb/rgb_stream.h"
#include "imu_sender.h"
#include "rgb_sender.h"
#include "scene.h"
#include "settings_store.h"
#include "stream/frame_flow.h"
#include "stream/packet.h"
#include "stream/reception.h"
#include "support/harness.h"
#include "support/packet_builder.h"
#include "support/thread_launch_seam.h"

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
// A wall at 400 with a box at 200 to 260 before it, intensity falling with distance.
orbsim::ScenePtr boxScene() {
    return orbsim::withIntensityFalloff(orbsim::makeBoxScene(400, orbsim::BoxSpec{}), 200, 200);
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
    static void TearDownTestSuite() { ZelOrbStopReceiveData(), ZelOrbDeinit(); }
    void TearDown() override {
        for (const auto& ip : attached_) removeDevice(ip);
        ZelOrbDisconnectAllDevice();
        cam.reset();
    }
    orb::DeviceRecord& attach(const std::string& ip, std::int32_t port = 7000, std::uint8_t mode = 3, bool run = true) {
        return attached_.push_back(ip), addDevice(ip, run, mode, port);
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

TEST_F(Streams, FramesArriveIntactInEveryTypeFormatAndModeByPollingCallbackAndMulticast) {
    static std::atomic<int> callbacks{0};
    struct Combo {
        std::uint8_t dataType, format, mode;
        bool inverted;
    };
    const Combo combos[] = {{1, 10, 3, false}, {1, 4, 3, false},  {1, 8, 3, false},   {1, 22, 3, false},
                            {1, 10, 3, true},  {1, 22, 3, true},  {12, 10, 4, false}, {14, 10, 8, false},
                            {14, 10, 8, true}, {13, 10, 7, false}, {13, 10, 5, true}};
    const auto scene = orbsim::withSecondEcho(boxScene(), 40);
    for (std::size_t i = 0; i < std::size(combos); ++i) {
        const Combo& c = combos[i];
        const std::string ip = "127.0.0." + std::to_string(10 + i);
        SCOPED_TRACE(testing::Message() << "type " << int(c.dataType) << " format " << int(c.format) << " mode "
                                        << int(c.mode) << (c.inverted ? " inverted" : ""));
        orb::DeviceRecord& dev = attach(ip, 7000, c.mode);
        dev.stream.inverted = c.inverted;
        dev.stream.axisSign = c.inverted ? -1 : 1;
        auto onFrame = [](ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]) { ++callbacks; };
        ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip.c_str(), onFrame), RC_OK);
        auto o = streamer(ip);
        o.dataType = c.dataType, o.pointFormat = c.format, o.multicast = i == 0;
        orbsim::PointCloudStreamer sim(o, scene);
        for (std::uint64_t k = 0; k < 3; ++k) ASSERT_TRUE(sim.sendFrameNow(k));
        EXPECT_TRUE(receiveAndCompare(ip, *sim.sentFrame(1), c.inverted));
    }
    EXPECT_TRUE(eventually([] { return callbacks.load() >= 10; })) << "dual echo frames are not called back";
}

TEST_F(Streams, DatagramsAreRoutedBySourceAddressAndPortOnly) {
    orb::DeviceRecord& dev = attach("127.0.0.5", 7001);
    const auto before = orb::libraryContext().reception.stats();
    orbsim::PointCloudStreamer wrongPort(streamer("127.0.0.5", 7002), boxScene());
    orbsim::PointCloudStreamer unknown(streamer("127.0.0.6", 7001), boxScene());
    ASSERT_TRUE(wrongPort.sendFrameNow(0) && unknown.sendFrameNow(0));
    const std::uint64_t n = wrongPort.packetsSent();
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.droppedWrongPort.load() == n; }));
    EXPECT_TRUE(eventually([&] { return orb::libraryContext().reception.stats().unknownSource - before.unknownSource >= n; }));
    EXPECT_EQ(dev.stream.stats.datagramsQueued.load(), 0u);
    // The device's own source port and 6301 are both accepted; a new port at once.
    orbsim::PointCloudStreamer own(streamer("127.0.0.5", 7001), boxScene());
    orbsim::PointCloudStreamer always(streamer("127.0.0.5", 6301), boxScene());
    ASSERT_TRUE(own.sendFrameNow(0) && always.sendFrameNow(1));
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.datagramsQueued.load() == 2 * n; }));
    dev.stream.dataSourcePort = 7002;
    ASSERT_TRUE(wrongPort.sendFrameNow(2));
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.datagramsQueued.load() == 3 * n; }));
    ASSERT_TRUE(own.sendRaw(Bytes(1500, 0x5A)));  // oversized: dropped and counted
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.droppedLength.load() == 1; }));
}

// Each fault the simulator logs lands in exactly the counter it predicts,
// through the public statistics call; the points that arrived intact decode.
TEST_F(Streams, StatisticsCountEveryFaultTheSimulatorLogs) {
    using Faults = orbsim::FaultOptions;
    struct Run {
        const char* ip;
        void (*set)(Faults&);
    };
    const Run runs[] = {
        {"127.0.0.8", [](Faults& f) { f.loss = 0.05, f.duplicate = 0.05; }},
        {"127.0.0.9", [](Faults& f) { f.truncate = 0.05; }},
        {"127.0.0.10", [](Faults& f) { f.badMagic = 0.03, f.badVersion = 0.03; }},
        {"127.0.0.11", [](Faults& f) { f.reorder = 0.02; }},
    };
    constexpr std::uint64_t kFrames = 5;  // the last one stays open: nothing closes it
    for (const Run& run : runs) {
        SCOPED_TRACE(run.ip);
        attach(run.ip);
        auto o = streamer(run.ip);
        run.set(o.faults);
        o.faults.seed = 99;
        orbsim::PointCloudStreamer sim(o, boxScene());
        sendPaced(sim, 0, kFrames);
        ASSERT_TRUE(sim.sendRaw(std::vector<std::uint8_t>(1500, 0x5A)));          // too long
        ASSERT_TRUE(sim.sendRaw(std::vector<std::uint8_t>{0x5A, 0xA5, 1, 1}));  // too short
        ZelOrbStreamStatistics want{};
        want.datagrams = sim.packetsSent() + 2;
        want.dropped_length = 2;
        want.frames_completed = kFrames - 1;
        for (std::uint64_t k = 0; k < kFrames; ++k) {
            const auto sent = sim.sentFrame(k);
            ASSERT_TRUE(sent);
            const auto& fates = sent->packetFates;
            bool keptBefore = false, lostSince = false, gap = false;
            for (std::uint8_t fate : fates) {
                if (fate & orbsim::kFateTruncated) ++want.truncated;  // or too short: summed below
                if (fate & orbsim::kFateBadMagic) ++want.dropped_bad_magic;
                else if (fate & orbsim::kFateBadVersion) ++want.dropped_bad_version;
                if (fate & orbsim::kFateReordered) ++want.frames_completed;  // twice per swap, halved below
                if (fate & orbsim::kFateLost) {
                    lostSince = keptBefore;
                } else {
                    gap = gap || lostSince;
                    keptBefore = true;
                }
            }
            if (gap && k + 1 < kFrames) ++want.frames_missing_packets;
        }
        want.frames_completed = kFrames - 1 + (want.frames_completed - (kFrames - 1)) / 2;
        ZelOrbStreamStatistics got{};
        auto settled = [&] {
            got = {};
            got.size = sizeof got;
            EXPECT_EQ(ZelOrbGetStreamStatistics(run.ip, &got), RC_OK);
            // The packet thread counts after the reception: wait for the last of it.
            return got.datagrams == want.datagrams && got.frames_published == want.frames_completed &&
                   got.dropped_length + got.truncated == want.dropped_length + want.truncated &&
                   got.dropped_bad_magic + got.dropped_bad_version == want.dropped_bad_magic + want.dropped_bad_version;
        };
        EXPECT_TRUE(eventually(settled));
        EXPECT_EQ(got.size, sizeof got);
        EXPECT_EQ(got.datagrams, want.datagrams);
        EXPECT_EQ(got.dropped_queue_full + got.dropped_wrong_port + got.dropped_bad_data_type, 0u);
        EXPECT_EQ(got.dropped_length + got.truncated, want.dropped_length + want.truncated);
        EXPECT_EQ(got.dropped_bad_magic, want.dropped_bad_magic);
        EXPECT_EQ(got.dropped_bad_version, want.dropped_bad_version);
        EXPECT_EQ(got.frames_completed, want.frames_completed);
        EXPECT_EQ(got.frames_dropped_queue_full, 0u);
        // Gaps are predicted where packets were lost only (a dropped packet
        // leaves one too, and a swap splits a frame at one).
        if (o.faults.loss > 0) {
            EXPECT_EQ(got.frames_missing_packets, want.frames_missing_packets);
        }
        if (o.faults.reorder == 0) {
            EXPECT_TRUE(receiveAndCompare(run.ip, *sim.sentFrame(kFrames - 2), false));
        }
        EXPECT_GT(got.receive_buffer_bytes, 0);
        ASSERT_EQ(ZelOrbResetStreamStatistics(run.ip), RC_OK);
        ASSERT_EQ(ZelOrbGetStreamStatistics(run.ip, &got), RC_OK);
        EXPECT_EQ(got.datagrams + got.frames_completed + got.dropped_length + got.unknown_source_datagrams, 0u);
    }
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
    const auto& stats = a.stream.stats;
    ASSERT_TRUE(eventually([&] {
        return stats.datagramsQueued.load() + stats.datagramsDroppedQueueFull.load() == simA.packetsSent();
    }));
    EXPECT_EQ(stats.datagramsQueued.load(), 5110u);
    startDeviceThreads("127.0.0.20");
    // 5,110 datagrams are 28 whole frames of 180, holding A's points only.
    ASSERT_TRUE(eventually([&] { return stats.framesPublished.load() == 28; }));
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
        EXPECT_EQ(checkFrame(got, [&](std::uint64_t i) { return sim.sentFrame(i); }, sim.framesSent()).error, "");
    }
    EXPECT_GE(frames, 4);
    EXPECT_GT(dev.stream.stats.droppedMagic.load() + dev.stream.stats.droppedVersion.load(), 0u);
    EXPECT_GT(dev.stream.stats.packetsTruncated.load(), 0u);
}

// Packets repeating positions (a datagram delivered twice, a faulty camera) in
// both halves of a frame: the two decode workers must not write the same
// points at once; every point comes out whole, from the later packet.
TEST_F(Streams, PacketsRepeatingPositionsEndAsTheLaterPacket) {
    orb::DeviceRecord& dev = attach("127.0.0.99", 7000, 3, false);
    constexpr int kPackets = 10, kRecords = 140;  // 35 rows of 4 columns each
    auto feed = [&](const Bytes& b) { orb::handlePacket(dev.stream, b.data(), b.size()); };
    for (std::uint16_t n = 1; n <= 2 * kPackets; ++n) {  // numbers 11..20 repeat 1..10 with other values
        const std::uint16_t column = 4 * ((n - 1) % kPackets);
        feed(PacketBuilder(1, 2, n, 0, column, kRecords, 1, 7).fill10(kRecords, n > kPackets ? 3000 : 100).bytes());
    }
    feed(PacketBuilder(1, 2, 0, 100, 0, 4, 1, 8).fill10(4, 10).bytes());
    orb::PacketListPtr list;
    ASSERT_TRUE(dev.stream.frameQueue.tryPop(list) && list->packets.size() == 2u * kPackets);
    Frame f = newFrame();
    for (int round = 0; round < 20; ++round) {
        orb::processFrame(dev.stream, *list);
        ASSERT_EQ(ZelOrbGetPointCloud("127.0.0.99", rows(f)), RC_OK);
        for (int r = 0; r < 35; ++r)
            for (int c = 0; c < 4 * kPackets; ++c) {
                const ZelOrbPointData& p = f[r * ZEL_ORB_FRAME_COLS + c];
                const int i = r * 4 + c % 4;
                ASSERT_TRUE(p.distance == 3000.0f + i && p.x == orb::coordFromInt(3000 + i, 1.0f)) << r << "," << c;
            }
    }
}

std::atomic<int> gFrames{0};
std::atomic<int> gInside[12];
void refusingFrameCallback(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) {
    if (gFrames++ != 0) return;
    // Calls that take the registry exclusively could wait for a thread that
    // waits for the mutex this callback runs under: refused, for any device;
    // so are the device's own frame calls, which need that mutex.
    const double d[] = {1.0};
    static Frame a = newFrame(), b = newFrame();
    gInside[8] = ZelOrbGetPointCloud(kDev, rows(a));
    gInside[9] = ZelOrbGetDualEchoPointCloud(kDev, rows(a), rows(b));
    gInside[10] = ZelOrbRegisterCallbackUpdateFrame(kDev, refusingFrameCallback);
    gInside[11] = ZelOrbRegisterCallbackUpdate6AxisImuData(kDev, [](ZelOrb6AxisImuData) {});
    gInside[0] = ZelOrbDisconnectDevice(kDev);
    gInside[1] = ZelOrbDisconnectDevice("127.0.0.3");
    gInside[2] = ZelOrbConnectDevice("127.0.0.3", 6301);
    gInside[3] = ZelOrbSetSpatialFilter(kDev, true, 5);
    gInside[4] = ZelOrbSetTimeMedianFilter(kDev, true, 5, 100);
    gInside[5] = ZelOrbSetFlyingFilter(kDev, true, 300);
    gInside[6] = ZelOrbSetIntensityFiltering(kDev, true, d, d, 1);
    gInside[7] = ZelOrbSetDeviceMode(kDev, 0);
}

TEST_F(Streams, AConnectedCameraStreamsUntilDisconnectedAndItsCallbackCannotTakeTheRegistry) {
    orbsim::CameraOptions o;
    o.pointCloud = streamer(kDev);
    o.pointCloud->frameRate = 50;
    o.pointCloud->sixAxisRate = 100;
    o.scene = boxScene();
    connectCamera(o);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(kDev, refusingFrameCallback), RC_OK);
    EXPECT_TRUE(eventually([] { return gFrames.load() >= 3; }));
    for (auto& r : gInside) EXPECT_EQ(r.load(), RC_GENERAL_ERROR);
    EXPECT_EQ(ZelOrbSetDistanceFiltering(kDev, false, 0, 100), RC_OK) << "calls sharing the registry go through";
    EXPECT_EQ(ZelOrbDisconnectDevice(kDev), RC_OK);
    const int after = gFrames.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(gFrames.load(), after);
}

// ---------------------------------------------------------------- nine-axis

std::atomic<int> gImuCalls{0}, gImuNested{0};
void countingImuCallback(ZelOrb9AxisImuData d) {
    // No library lock is held: polling and registering work; stopping or
    // starting would wait for this very thread.
    ZelOrb9AxisImuData tmp{};
    const bool ok = ZelOrbGet9AxisImu(kDev, &tmp) == RC_OK && tmp.seconds == d.seconds &&
                    ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, countingImuCallback) == RC_OK &&
                    ZelOrbStopDevice9AxisImuStream(kDev) == RC_GENERAL_ERROR &&
                    ZelOrbStartDevice9AxisImuStream(kDev) == RC_GENERAL_ERROR;
    gImuNested = ok ? 1 : -1;
    ++gImuCalls;
}

TEST_F(Streams, NineAxisSamplesArriveOnceThroughRestartsAndReconnects) {
    orbsim::CameraOptions o;
    o.imuRateHz = 0.0;
    connectCamera(o);
    orbsim::ImuSender& sender = *cam->imu();
    ZelOrb9AxisImuData out{};
    // Sends s and polls until it arrives; earlier samples are passed over.
    auto roundTrip = [&](const orbsim::ImuSample& s) {
        return sender.sendSample(s) && eventually([&] {
                   return ZelOrbGet9AxisImu(kDev, &out) == RC_OK && out.seconds == s.seconds &&
                          out.microseconds == s.microseconds;
               });
    };
    EXPECT_EQ(ZelOrbStopDevice9AxisImuStream(kDev), RC_OK) << "never started";
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    orbsim::ImuSample s = orbsim::imuSampleFor(1234);
    s.seconds = 0x0000123456789ABCull;
    ASSERT_TRUE(roundTrip(s));
    EXPECT_EQ(std::memcmp(out.axis, s.axisBits, sizeof out.axis), 0);
    out.seconds = 5;  // taken once; a failed call leaves the record alone
    EXPECT_TRUE(ZelOrbGet9AxisImu(kDev, &out) == RC_IMU_GET_FAILED && out.seconds == 5u);
    // A restart replaces the running thread; a reconnect moves it to the new sockets.
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    ASSERT_TRUE(roundTrip(orbsim::imuSampleFor(2)));
    const std::uint16_t oldPort = cam->store()->handshake().dataPort;
    ASSERT_TRUE(ZelOrbConnectDevice(kDev, 6301) == RC_DEVICE_EXISTS && cam->store()->handshake().dataPort != oldPort);
    ASSERT_TRUE(roundTrip(orbsim::imuSampleFor(3))) << "samples to the new IMU port arrive";
    ASSERT_EQ(ZelOrbStopDevice9AxisImuStream(kDev), RC_OK);
    sender.sendSample(orbsim::imuSampleFor(4));
    EXPECT_EQ(ZelOrbGet9AxisImu(kDev, &out), RC_IMU_GET_FAILED) << "stopped: nothing received";

    // The callback gets every sample; a null registration keeps it; a new one replaces it.
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, countingImuCallback), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    for (int i = 0; i < 20; ++i) sender.sendSample(orbsim::imuSampleFor(i));
    EXPECT_TRUE(eventually([] { return gImuCalls.load() >= 20 && gImuNested.load() == 1; }));
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, [](ZelOrb9AxisImuData) {}), RC_OK);
    const int before = gImuCalls.load();
    for (int i = 0; i < 5; ++i) sender.sendSample(orbsim::imuSampleFor(i));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(gImuCalls.load(), before);
}

// ---------------------------------------------------------------------- RGB

bool near(const std::uint8_t* p, const cv::Vec3b& b, int tol = 10) {
    return std::abs(p[0] - b[0]) <= tol && std::abs(p[1] - b[1]) <= tol && std::abs(p[2] - b[2]) <= tol;
}
const std::uint8_t* pixel(const ZelOrbRgbData& r, int row, int col) { return r.data + (row * 1600 + col) * 3; }

std::atomic<int> gRgbCalls{0}, gRgbNested{0};
void countingRgbCallback(ZelOrbRgbData d) {
    // No library lock is held: the image can be taken and settings changed;
    // stopping or restarting would wait for this very thread.
    ZelOrbRgbData tmp{};
    const bool ok = ZelOrbGetRgb(kDev, &tmp) == RC_OK && tmp.frame_id == d.frame_id && d.size == 5760000u &&
                    ZelOrbRegisterCallbackUpdateRgb(kDev, countingRgbCallback) == RC_OK &&
                    ZelOrbSetRgbUndistortion(kDev, false) == RC_OK &&
                    ZelOrbStopDeviceRgbStream(kDev) == RC_GENERAL_ERROR &&
                    ZelOrbStartDeviceRgbStream(kDev) == RC_GENERAL_ERROR;
    gRgbNested = ok ? 1 : -1;
    ++gRgbCalls;
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
        ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    }
    bool sendAndGet(std::uint32_t id, ZelOrbRgbData& out) {
        return cam->rgb()->sendFrame(id) && eventually([&] { return ZelOrbGetRgb(kDev, &out) == RC_OK; });
    }
};

TEST_F(Rgb, ImagesArriveOnceWithTheirHeaderTheConnectionsRotationAndTheDevicesUndistortion) {
    connectRgb(0, orbsim::kRgbJpeg);
    ZelOrbRgbData rec{};
    ASSERT_TRUE(sendAndGet(17, rec));
    EXPECT_TRUE(rec.frame_id == 17 && rec.seconds == 17 && rec.microseconds == 170 && rec.size == 5760000);
    for (auto [r, c] : {std::pair{100, 100}, {100, 1500}, {1100, 100}, {600, 800}})
        EXPECT_TRUE(near(pixel(rec, r, c), orbsim::testPatternColor(r, c))) << r << "," << c;
    rec.frame_id = 4242;
    EXPECT_TRUE(ZelOrbGetRgb(kDev, &rec) == RC_RGB_GET_FAILED && rec.frame_id == 4242) << "taken once, untouched";
    ASSERT_EQ(ZelOrbStopDeviceRgbStream(kDev), RC_OK);
    ASSERT_TRUE(cam->rgb()->sendFrame(2));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(ZelOrbGetRgb(kDev, &rec), RC_RGB_GET_FAILED) << "stopped: nothing processed";

    connectRgb(1, orbsim::kRgbNv12);  // a 180-degree turn
    EXPECT_TRUE(ZelGetDeviceRgbRotation(kDev));
    ASSERT_TRUE(sendAndGet(3, rec));
    EXPECT_TRUE(near(pixel(rec, 100, 100), orbsim::testPatternColor(1099, 1499)));
    EXPECT_TRUE(near(pixel(rec, 100, 1500), orbsim::testPatternColor(1099, 99)));

    // Undistortion reads the device's intrinsics (its pixels are held to OpenCV's
    // in the unit program); switching off needs no device, switching on needs
    // its answer, and a failed enable leaves it off.
    connectRgb(0, orbsim::kRgbNv12);
    cv::Mat decoded;
    ASSERT_EQ(orb::decodeRgbFrame(orb::kRgbFormatNv12, orbsim::encodeNv12(orbsim::makeTestPattern()), decoded),
              orb::RgbDecode::Image);
    auto plain = [&] { return cv::norm(cv::Mat(1200, 1600, CV_8UC3, rec.data), decoded, cv::NORM_INF) == 0.0; };
    ASSERT_EQ(ZelOrbSetRgbUndistortion(kDev, true), RC_OK);
    ASSERT_TRUE(sendAndGet(5, rec));
    EXPECT_FALSE(plain());
    cam->responder().setFaultAll(fault([](auto& f) { f.silent = true; }));
    EXPECT_EQ(ZelOrbSetRgbUndistortion(kDev, false), RC_OK);
    cam->responder().setFaultAll(fault([](auto& f) { f.status = 5; }));
    EXPECT_EQ(ZelOrbSetRgbUndistortion(kDev, true), RC_GENERAL_ERROR);
    cam->responder().clearFaults();
    ASSERT_TRUE(sendAndGet(6, rec));
    EXPECT_TRUE(plain());

    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, countingRgbCallback), RC_OK);
    EXPECT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, nullptr), RC_CALLBACK_REGISTER_FAILED);
    cam->rgb()->setRate(20.0);
    EXPECT_TRUE(eventually([] { return gRgbCalls.load() >= 5 && gRgbNested.load() == 1; }));
    cam->rgb()->setRate(0.0);
}

std::atomic<int> gStuck{0};
std::atomic<bool> gRelease{false};
std::atomic<std::int32_t> gStartAfterRelease{0}, gStopAfterRelease{0};
void stuck() {
    ++gStuck;
    for (int i = 0; i < 3000 && !gRelease.load(); ++i) std::this_thread::sleep_for(5ms);
}
void stuckImu(ZelOrb9AxisImuData) {
    stuck();
    // By now the record is gone: both are refused inside the callback without
    // reading it (the sanitized build catches a read).
    gStartAfterRelease = ZelOrbStartDevice9AxisImuStream(kDev);
    gStopAfterRelease = ZelOrbStopDevice9AxisImuStream(kDev);
}

// Callbacks that outlast the stop limit: disconnection returns, and the state
// the threads still use lives until they end. Failing thread starts are reported.
TEST_F(Rgb, TeardownKeepsTheStateOfThreadsStuckInTheirCallbacks) {
    orbsim::CameraOptions o;
    o.imuRateHz = 100.0;
    o.rgb = orbsim::RgbSenderOptions{};
    o.rgb->format = orbsim::kRgbNv12;
    connectCamera(o);
    orbtest::failNextThreadLaunches(1);
    EXPECT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_IMU_START_FAILED);
    orbtest::failNextThreadLaunches(1);
    EXPECT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_RGB_START_FAILED);
    orbtest::failNextThreadLaunches(0);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(kDev, stuckImu), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, [](ZelOrbRgbData) { stuck(); }), RC_OK);
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(kDev), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    std::weak_ptr<orb::ImuShared> imu;
    std::weak_ptr<orb::RgbShared> rgb;
    withDevice(kDev, [&](orb::DeviceRecord& d) { imu = d.imuRgb.imu, rgb = d.imuRgb.rgb; });
    ASSERT_TRUE(eventually([] { return gStuck.load() == 2; }, 5s));
    EXPECT_EQ(ZelOrbDisconnectDevice(kDev), RC_OK) << "returns after the stop limit";
    EXPECT_FALSE(imu.expired() || rgb.expired()) << "the stuck threads still hold their state";
    gRelease = true;
    EXPECT_TRUE(eventually([&] { return imu.expired() && rgb.expired(); }));
    EXPECT_TRUE(gStartAfterRelease.load() == RC_GENERAL_ERROR && gStopAfterRelease.load() == RC_GENERAL_ERROR);
}

// ------------------------------------------------------------------- fusion

std::atomic<int> gFromFrame{0}, gFromRgb{0};
std::int32_t fuse(std::vector<std::uint8_t>& buf, ZelOrbRgbData& out) {
    buf.assign(162000, 0xEE);
    out = ZelOrbRgbData{};
    out.data = buf.data();
    return ZelOrbGetRGBDFusionData(kDev, &out);
}

TEST_F(Streams, FusionColoursWallPointsWithThePatternWhereTheyProject) {
    orbsim::CameraOptions o;
    o.pointCloud = streamer(kDev);
    o.pointCloud->frameRate = 10;
    o.scene = orbsim::makeWallScene(1000.0, 0.0);
    o.rgb = orbsim::RgbSenderOptions{};
    o.rgb->format = orbsim::kRgbNv12;
    connectCamera(o);
    std::vector<std::uint8_t> buf;
    ZelOrbRgbData out;
    EXPECT_EQ(fuse(buf, out), RC_GET_DATA_FAILED) << "not initialised";
    ASSERT_EQ(ZelOrbInitRGBDFusionParam(kDev), RC_OK);
    EXPECT_EQ(fuse(buf, out), RC_RGB_GET_FAILED) << "no image yet";
    EXPECT_TRUE(out.size == 0 && buf[0] == 0xEE && buf.back() == 0xEE);
    cam->responder().setFault(0x0329, fault([](auto& f) { f.status = 5; }));
    EXPECT_EQ(ZelOrbInitRGBDFusionParam(kDev), RC_GENERAL_ERROR) << "and the parameters in force stay";
    cam->responder().clearFaults();

    ASSERT_EQ(ZelOrbStartDeviceRgbStream(kDev), RC_OK);
    Frame frame;
    ZelOrbRgbData rgb{};
    ASSERT_TRUE(pollFrame(kDev, frame, 3s) && eventually([&] { return ZelOrbGetRgb(kDev, &rgb) == RC_OK; }));
    ASSERT_EQ(fuse(buf, out), RC_OK);  // the newest frame of the same static wall
    EXPECT_TRUE(out.width == 360 && out.height == 150 && out.channels == 3 && out.size == 162000);
    // Directions whose pattern colour is certain: straight ahead, up-left, down-right.
    const cv::Vec3b want[3] = {orbsim::testPatternColor(600, 800), orbsim::testPatternColor(100, 100),
                               orbsim::testPatternColor(1100, 1500)};
    int counted[3] = {}, matched[3] = {};
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const float h = frame[i].y / frame[i].x, v = frame[i].z / frame[i].x;
        const int k = !(frame[i].x > 0) ? -1 : std::fabs(h) < 0.05f && std::fabs(v) < 0.05f ? 0
                    : h < -0.6f && v > 0.25f ? 1 : h > 0.6f && v < -0.25f ? 2 : -1;
        if (k >= 0) ++counted[k], matched[k] += near(&buf[3 * i], want[k]);
    }
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(counted[k] > 20 && matched[k] >= counted[k] * 9 / 10) << k;

    // A frame callback holds the stream mutex fusion needs: refused there; the
    // RGB callback holds no lock fusion takes: fusion works from it.
    auto fromFrame = [](ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]) {
        std::vector<std::uint8_t> b;
        ZelOrbRgbData r;
        gFromFrame = fuse(b, r) == RC_GENERAL_ERROR ? 1 : -1;
    };
    auto fromRgb = [](ZelOrbRgbData) {
        std::vector<std::uint8_t> b;
        ZelOrbRgbData r;
        gFromRgb = fuse(b, r) == RC_OK ? 1 : -1;
    };
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(kDev, fromFrame), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateRgb(kDev, fromRgb), RC_OK);
    EXPECT_TRUE(eventually([] { return gFromFrame.load() != 0 && gFromRgb.load() == 1; }));
    EXPECT_EQ(gFromFrame.load(), 1);
}

// ------------------------------------------------------------- host filters

// The window, the intensity table and the pipeline run on frames in the unit
// and stress programs; the compensation's offsets come from the device.
TEST_F(Streams, CompensationAddsBothOffsetsReadFromTheDeviceAndAFailedReadChangesNothing) {
    connectCamera(orbsim::CameraOptions{});
    orbsim::PointCloudStreamer sim(streamer(kDev), boxScene());
    cam->store()->setPayload(0x033B, {0, 0, 0, 7});
    cam->store()->setPayload(0x033C, {0xFF, 0xFF, 0xFF, 0xFD});  // -3
    ASSERT_EQ(ZelOrbSetDistanceCompensationEnabled(kDev, true), RC_OK);
    cam->store()->setPayload(0x033B, {0, 0, 0, 100});
    for (std::uint16_t failing : {0x033C, 0x033B}) {
        cam->responder().setFault(failing, fault([](auto& f) { f.status = 5; }));
        EXPECT_EQ(ZelOrbSetDistanceCompensationEnabled(kDev, true), RC_GENERAL_ERROR);
        cam->responder().clearFaults();
    }
    ASSERT_TRUE(sim.sendFrameNow(0) && sim.sendFrameNow(1));
    Frame got;
    ASSERT_TRUE(pollFrame(kDev, got, 3s));
    for (const auto& e : sim.sentFrame(0)->first) {
        const ZelOrbPointData& p = got[e.row * 360 + e.column];
        ASSERT_TRUE(std::fabs(p.x - e.x - 4) < 1e-3f && std::fabs(p.distance - std::hypot(p.x, p.y, p.z)) < 1e-2f)
            << e.row << "," << e.column;
    }
    EXPECT_EQ(ZelOrbSetDistanceCompensationEnabled(kDev, false), RC_OK);
}

}  // namespace
