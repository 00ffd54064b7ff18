// Point-cloud reception on loopback: the simulator streams to the library's
// point-cloud socket (host 127.0.0.1), devices on 127.0.0.2 and up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/device.h"
#include "device/context.h"
#include "orb_sdk.h"
#include "platform/net.h"
#include "pointcloud_streamer.h"
#include "scene.h"
#include "settings_store.h"
#include "stream/reception.h"
#include "support/stream_harness.h"

namespace {

using namespace std::chrono_literals;
using orbtest::Frame;

constexpr const char* kHost = "127.0.0.1";
constexpr std::uint16_t kPort = 16101;

orbsim::StreamerOptions options(const std::string& deviceIp, std::uint16_t sourcePort = 6301) {
    orbsim::StreamerOptions o;
    o.deviceIp = deviceIp;
    o.sourcePort = sourcePort;
    o.hostIp = kHost;
    o.hostPort = kPort;
    o.keepFrames = 16;
    o.staticScene = true;  // rendered once: keeps the tests quick under the sanitizers
    return o;
}

orbsim::ScenePtr boxScene() {
    return orbsim::withSecondEcho(orbsim::withIntensityFalloff(orbsim::makeBoxScene(400, orbsim::BoxSpec{}), 200, 200), 40);
}

// Waits (bounded) until pred holds.
template <class P>
bool eventually(P pred, std::chrono::milliseconds timeout = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Polls until a frame whose first grid point carries the timestamp of sent
// frame index arrives (older frames may come first), then compares.
::testing::AssertionResult receiveAndCompare(const std::string& ip, const orbsim::SentFrame& sent, bool dual,
                                             std::chrono::milliseconds timeout = 3000ms) {
    Frame first, second;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const bool ok = dual ? orbtest::pollDualFrame(ip, first, second, 50ms) : orbtest::pollFrame(ip, first, 50ms);
        if (!ok) continue;
        if (first[orbtest::landingIndex(sent, 0, 0, false, dual)].timestamp != sent.timestamp) continue;
        return orbtest::framesAgree(first, sent, false, 1, dual ? &second : nullptr);
    }
    return ::testing::AssertionFailure() << "frame " << sent.index << " never arrived";
}

class Reception : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZelOrbInit(), 0);
        ZelOrbStopReceiveData();
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
    }
    void TearDown() override {
        for (const auto& ip : attached_) orbtest::detachStreamDevice(ip);
        ZelOrbStopReceiveData();
    }
    orb::DeviceRecord& attach(const std::string& ip, std::int32_t port = 7000, std::uint8_t mode = 3) {
        attached_.push_back(ip);
        return orbtest::attachStreamDevice(ip, port, mode);
    }
    std::vector<std::string> attached_;
};

TEST(ReceptionCalls, StartAndStopResults) {
    ZelOrbStopReceiveData();
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);
    EXPECT_EQ(ZelOrbStartReceiveData(nullptr, kPort), RC_INVALID_TARGET);
    // Port 0 leaves a new, unbound socket that a stop closes.
    EXPECT_EQ(ZelOrbStartReceiveData(kHost, 0), RC_LOCAL_PORT_NULL);
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_OK);
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);
    EXPECT_EQ(ZelOrbStartReceiveData(kHost, 70000), RC_PORT_BIND_FAILED);
    // A port held by another socket: bind fails and reception is not running.
    orb::net::Socket other = orb::net::udpSocket();
    ASSERT_TRUE(orb::net::bindTo(other, "0.0.0.0", kPort));
    EXPECT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_PORT_BIND_FAILED);
    EXPECT_FALSE(orb::libraryContext().reception.threadRunning());
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);
    orb::net::closeSocket(other);
    // Then it works, and it records the host IP.
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
    EXPECT_TRUE(orb::libraryContext().reception.threadRunning());
    {
        auto& reg = orb::libraryContext().registry;
        std::shared_lock<std::shared_mutex> lock(reg.mutex());
        EXPECT_EQ(reg.hostIp(), kHost);
    }
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_OK);
    EXPECT_FALSE(orb::libraryContext().reception.threadRunning());
}

TEST_F(Reception, FramesArriveByPollingAndCallback) {
    static std::atomic<int> callbacks{0};
    struct Cb {
        static void onFrame(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) { ++callbacks; }
    };
    const std::string ip = "127.0.0.2";
    attach(ip);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip.c_str(), Cb::onFrame), RC_OK);
    orbsim::PointCloudStreamer sim(options(ip), boxScene());
    callbacks = 0;
    for (std::uint64_t k = 0; k < 3; ++k) ASSERT_TRUE(sim.sendFrameNow(k));
    auto sent = sim.sentFrame(1);
    ASSERT_TRUE(sent);
    EXPECT_TRUE(receiveAndCompare(ip, *sent, false));
    EXPECT_TRUE(eventually([] { return callbacks.load() >= 2; }));
}

TEST_F(Reception, EveryDataTypeAndFormatOverTheNetwork) {
    struct Case {
        std::uint8_t dataType, format, mode;
        int deviceMode;
    };
    const Case cases[] = {{1, 4, 3, 0}, {1, 8, 3, 0}, {1, 22, 3, 0}, {12, 10, 4, 0}, {14, 10, 8, 0}, {13, 10, 7, 1}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.dataType) << " format " << int(c.format));
        const std::string ip = "127.0.0." + std::to_string(10 + n++);
        attach(ip, 7000, c.mode);
        auto store = std::make_shared<orbsim::SettingsStore>(ip);
        store->setDeviceMode(c.deviceMode);
        auto o = options(ip);
        o.dataType = c.dataType == 13 ? 1 : c.dataType;  // the device mode switches to dual echo
        o.pointFormat = c.format;
        orbsim::PointCloudStreamer sim(o, boxScene(), store);
        for (std::uint64_t k = 0; k < 3; ++k) ASSERT_TRUE(sim.sendFrameNow(k));
        auto sent = sim.sentFrame(1);
        ASSERT_TRUE(sent);
        EXPECT_EQ(sent->dataType, c.dataType);
        EXPECT_TRUE(receiveAndCompare(ip, *sent, c.dataType == 13));
    }
}

TEST_F(Reception, StreamingThreadAtAFrameRateWithSixAxisPackets) {
    static std::atomic<int> sixAxis{0};
    struct Cb {
        static void onImu(ZelOrb6AxisImuData d) {
            if (d.check == 1) ++sixAxis;
        }
    };
    const std::string ip = "127.0.0.3";
    orb::DeviceRecord& dev = attach(ip);
    {
        std::lock_guard<std::mutex> lock(dev.stream.streamMutex);
        dev.stream.sixAxisCallback = Cb::onImu;
    }
    auto o = options(ip);
    o.frameRate = 50;
    o.sixAxisRate = 400;
    o.maxFrames = 10;
    orbsim::PointCloudStreamer sim(o, orbsim::withRangeNoise(orbsim::makeWallScene(500, 20), 2.0));
    sixAxis = 0;
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(sim.waitFramesSent(10, 5000ms));
    sim.stop();
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.framesPublished.load() >= 9; }));
    EXPECT_TRUE(eventually([&] { return sixAxis.load() >= static_cast<int>(sim.sixAxisSent()) - 5 && sixAxis > 0; }));
    EXPECT_EQ(dev.stream.stats.datagramsDroppedQueueFull.load(), 0u);
}

TEST_F(Reception, MulticastFramesArrive) {
    const std::string ip = "127.0.0.4";
    attach(ip);
    auto o = options(ip);
    o.multicast = true;
    orbsim::PointCloudStreamer sim(o, boxScene());
    std::string err;
    for (std::uint64_t k = 0; k < 3; ++k) ASSERT_TRUE(sim.sendFrameNow(k, &err)) << err;
    auto sent = sim.sentFrame(1);
    ASSERT_TRUE(sent);
    EXPECT_TRUE(receiveAndCompare(ip, *sent, false));
}

TEST_F(Reception, SourcePortAndAddressFiltering) {
    const std::string ip = "127.0.0.5";
    orb::DeviceRecord& dev = attach(ip, 7001);
    const auto before = orb::libraryContext().reception.stats();
    orbsim::PointCloudStreamer wrongPort(options(ip, 7002), boxScene());
    ASSERT_TRUE(wrongPort.sendFrameNow(0));
    orbsim::PointCloudStreamer unknown(options("127.0.0.6", 7001), boxScene());
    ASSERT_TRUE(unknown.sendFrameNow(0));
    const std::uint64_t n = wrongPort.packetsSent();
    ZelOrbStreamStatistics st{};
    st.size = sizeof st;
    EXPECT_TRUE(eventually([&] {
        return ZelOrbGetStreamStatistics(ip.c_str(), &st) == RC_OK && st.dropped_wrong_port == n;
    }));
    EXPECT_TRUE(eventually([&] { return orb::libraryContext().reception.stats().unknownSource - before.unknownSource >= n; }));
    EXPECT_EQ(dev.stream.stats.datagramsQueued.load(), 0u);

    // The device's own source port and 6301 are both accepted.
    orbsim::PointCloudStreamer own(options(ip, 7001), boxScene());
    orbsim::PointCloudStreamer always(options(ip, 6301), boxScene());
    ASSERT_TRUE(own.sendFrameNow(0));
    ASSERT_TRUE(always.sendFrameNow(1));
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.datagramsQueued.load() == 2 * n; }));

    // A new data source port takes effect at once.
    dev.stream.dataSourcePort = 7002;
    ASSERT_TRUE(wrongPort.sendFrameNow(2));
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.datagramsQueued.load() == 3 * n; }));
}

TEST_F(Reception, StopRestartAndReplacingTheSocket) {
    const std::string ip = "127.0.0.7";
    orb::DeviceRecord& dev = attach(ip);
    orbsim::PointCloudStreamer sim(options(ip), boxScene());
    ASSERT_TRUE(sim.sendFrameNow(0));
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.datagramsQueued.load() == sim.packetsSent(); }));

    ASSERT_EQ(ZelOrbStopReceiveData(), RC_OK);
    EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);
    const auto queued = dev.stream.stats.datagramsQueued.load();
    ASSERT_TRUE(sim.sendFrameNow(1));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(dev.stream.stats.datagramsQueued.load(), queued);

    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
    ASSERT_TRUE(sim.sendFrameNow(2));
    EXPECT_TRUE(eventually([&] { return dev.stream.stats.datagramsQueued.load() > queued; }));

    // A second start while receiving moves to the new port; the old one is closed.
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort + 1), RC_OK);
    EXPECT_TRUE(orb::libraryContext().reception.threadRunning());
    auto o = options(ip);
    o.hostPort = kPort + 1;
    orbsim::PointCloudStreamer moved(o, boxScene());
    for (std::uint64_t k = 10; k < 13; ++k) ASSERT_TRUE(moved.sendFrameNow(k));
    auto sent = moved.sentFrame(11);
    ASSERT_TRUE(sent);
    EXPECT_TRUE(receiveAndCompare(ip, *sent, false));
}

// Sends frames paced so that the kernel's receive buffer never overflows.
void sendPaced(orbsim::PointCloudStreamer& sim, std::uint64_t from, std::uint64_t count) {
    for (std::uint64_t k = from; k < from + count; ++k) {
        ASSERT_TRUE(sim.sendFrameNow(k));
        std::this_thread::sleep_for(3ms);
    }
}

TEST_F(Reception, StalledPacketThreadHolds5110DatagramsAndNoForeignOnes) {
    // Device A is registered without threads: its datagrams wait in its queue
    // while B and C stream more than 20,000 datagrams.
    const std::string a = "127.0.0.20", b = "127.0.0.21", c = "127.0.0.22";
    auto rec = std::make_unique<orb::DeviceRecord>(a, 7000);
    orb::DeviceRecord& devA = *rec;
    {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        reg.devices()[a] = std::move(rec);
    }
    attached_.push_back(a);
    orb::DeviceRecord& devB = attach(b);
    attach(c);

    auto oa = options(a);
    oa.pointFormat = 4;  // 180 datagrams a frame
    orbsim::PointCloudStreamer simA(oa, orbsim::makeWallScene(300, 10, 77));
    sendPaced(simA, 0, 3);
    ASSERT_TRUE(eventually([&] { return devA.stream.stats.datagramsQueued.load() == simA.packetsSent(); }));

    orbsim::PointCloudStreamer simB(options(b), boxScene());
    orbsim::PointCloudStreamer simC(options(c), orbsim::makeRampScene(-80, 300, 0.3));
    sendPaced(simB, 0, 24);
    sendPaced(simC, 0, 24);
    EXPECT_GT(simB.packetsSent() + simC.packetsSent(), 20000u);
    EXPECT_TRUE(eventually([&] { return devB.stream.stats.framesPublished.load() >= 23; }));

    // Now A overflows: 5,110 datagrams wait, the rest is dropped and counted.
    sendPaced(simA, 3, 30);
    ASSERT_TRUE(eventually([&] {
        return devA.stream.stats.datagramsQueued.load() + devA.stream.stats.datagramsDroppedQueueFull.load() ==
               simA.packetsSent();
    }));
    EXPECT_EQ(devA.stream.stats.datagramsQueued.load(), 5110u);

    // A's threads start: its frames hold A's points only.
    {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        orb::startStreamThreads(devA.stream);
    }
    // 5,110 = 28 whole frames of 180 and part of a 29th, which never closes.
    ASSERT_TRUE(eventually([&] { return devA.stream.stats.framesPublished.load() == 28; }));
    auto sent = simA.sentFrame(27);
    ASSERT_TRUE(sent);
    Frame got;
    ASSERT_TRUE(orbtest::pollFrame(a, got, 1000ms));
    EXPECT_TRUE(orbtest::framesAgree(got, *sent));
    // B is unaffected.
    sendPaced(simB, 24, 3);
    auto sentB = simB.sentFrame(25);
    ASSERT_TRUE(sentB);
    EXPECT_TRUE(receiveAndCompare(b, *sentB, false));
}

// Each fault the simulator logs lands in exactly the counter it predicts,
// through the public statistics call; the points that arrived intact decode.
TEST_F(Reception, StatisticsCountEveryFaultTheSimulatorLogs) {
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
        auto o = options(run.ip);
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

TEST_F(Reception, DisconnectWhileStreamingWithACallback) {
    static std::atomic<int> frames{0};
    struct Cb {
        static void onFrame(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) { ++frames; }
    };
    for (int round = 0; round < 3; ++round) {
        const std::string ip = "127.0.0.30";
        orb::DeviceRecord& dev = orbtest::attachStreamDevice(ip, 7000);
        ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip.c_str(), Cb::onFrame), RC_OK);
        auto o = options(ip);
        o.frameRate = 200;
        orbsim::PointCloudStreamer sim(o, boxScene());
        ASSERT_TRUE(sim.start());
        EXPECT_TRUE(eventually([&] { return dev.stream.stats.framesPublished.load() >= 2; }));
        EXPECT_TRUE(orbtest::detachStreamDevice(ip));
        sim.stop();
    }
    EXPECT_GE(frames.load(), 6);
}

}  // namespace

#include "camera.h"

namespace {

std::atomic<int> gConnectedFrames{0};
std::atomic<int> gDisconnectInside{1};
const char* gConnectedIp = "127.0.0.40";
void onConnectedFrame(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) {
    if (gConnectedFrames++ == 0) gDisconnectInside = ZelOrbDisconnectDevice(gConnectedIp);
}

TEST_F(Reception, ConnectedCameraStreamsUntilDisconnected) {
    orbsim::CameraOptions co;
    co.deviceIp = gConnectedIp;
    orbsim::Camera cam(co);
    auto o = options(gConnectedIp);
    o.frameRate = 50;
    auto& sim = cam.attach("pointcloud", std::make_unique<orbsim::PointCloudStreamer>(o, boxScene(), cam.store()));
    std::string err;
    ASSERT_TRUE(cam.start(&err)) << err;
    ASSERT_EQ(ZelOrbConnectDevice(gConnectedIp, 6301), RC_OK);
    gConnectedFrames = 0;
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(gConnectedIp, onConnectedFrame), RC_OK);
    EXPECT_TRUE(eventually([] { return gConnectedFrames.load() >= 3; }));
    // Disconnecting from inside the device's own frame callback is refused.
    EXPECT_EQ(gDisconnectInside.load(), RC_GENERAL_ERROR);
    EXPECT_GT(sim.framesSent(), 0u);
    EXPECT_EQ(ZelOrbDisconnectDevice(gConnectedIp), RC_OK);
    const int after = gConnectedFrames.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(gConnectedFrames.load(), after);
    cam.stop();
}

}  // namespace
