// A capture of a camera on another network (Ethernet link, made from the
// simulator's encoders) replayed on loopback: the library connects to the
// replayed camera, gets the captured settings, and decodes every frame, the
// IMU sample and the RGB image the capture holds.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "capture_writer.h"
#include "imu_sender.h"
#include "orb_sdk.h"
#include "replay.h"
#include "rgb_sender.h"
#include "support/stream_harness.h"

namespace {

using namespace orbsim;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kCamera = "192.168.7.20";
constexpr const char* kHost = "192.168.7.1";
constexpr std::int64_t kStart = 1700000000000000000;
constexpr std::int64_t kMs = 1000000;
constexpr int kFrames = 4;  // the last one stays open: no later packet closes it

std::mutex gMutex;
std::map<std::uint64_t, orbtest::Frame> gDelivered;  // by tag

void onFrame(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    std::lock_guard<std::mutex> lk(gMutex);
    gDelivered[frame[0][0].tag].assign(&frame[0][0], &frame[0][0] + ZEL_ORB_FRAME_POINTS);
}

template <class Pred>
bool eventually(Pred pred) {
    for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (pred()) return true;
    return false;
}

TEST(Replay, ACaptureReplaysThroughTheLibraryFrameForFrame) {
    std::vector<CaptureRecord> recs;
    auto add = [&](std::int64_t t, std::uint16_t sport, std::uint16_t dport, const Bytes& payload) {
        recs.push_back({t, linkFrame(link::kEthernet, ipv4Udp(kCamera, sport, kHost, dport, payload)), 0});
    };
    wire::CommandFrame serial;
    serial.command = cmd::kGetSerialNumber;
    serial.payload = Bytes{'C', 'A', 'P', 'T', 'U', 'R', 'E', 'D', '4', '2'};
    add(kStart, 50660, 50660, wire::encodeFrame(serial));
    const ScenePtr scene = makeWallScene(300, 15);
    SceneFrame render;
    std::vector<SentFrame> expected;
    for (int f = 0; f < kFrames; ++f) {
        scene->render(static_cast<std::uint64_t>(f), render);
        EncodedFrame enc = encodeFrame(render, 1, 10, static_cast<std::uint64_t>(f), 1000 + f);
        for (std::size_t p = 0; p < enc.packets.size(); ++p)
            add(kStart + (f + 1) * 50 * kMs + static_cast<std::int64_t>(p) * 20000, 6301, 6001, enc.packets[p]);
        expected.push_back(enc.expected);
    }
    add(kStart + 120 * kMs, 40001, 50662, encodeImuFrame(imuSampleFor(7)));
    const auto fragments = fragmentFrame(encodeJpeg(makeTestPattern()), kRgbJpeg, 5, 5, 50, 60000);
    for (const auto& frag : fragments) add(kStart + 130 * kMs, 40000, 50661, frag);
    const std::string path = ::testing::TempDir() + "orb_replay_" + std::to_string(::getpid()) + ".pcap";
    ASSERT_TRUE(writeCaptureFile(path, classicPcap(link::kEthernet, recs)));

    ReplayOptions o;
    o.path = path;
    o.speed = 0.25;  // frames 200 ms apart: time to register the callback after connecting
    Replay replay(o);
    std::string err;
    ASSERT_TRUE(replay.load(&err)) << err;
    const ReplaySummary& s = replay.summary();
    ASSERT_EQ(s.cameras.size(), 1u) << s.text(path);
    EXPECT_EQ(s.cameras[0].replayIp, "127.0.0.2");
    EXPECT_EQ(s.cameras[0].imu, 1u);
    EXPECT_EQ(s.cameras[0].rgb, fragments.size());
    EXPECT_EQ(s.cameras[0].settings, 1u);
    ASSERT_TRUE(replay.start(&err)) << err;

    ASSERT_EQ(ZelOrbInit(), 0);
    ASSERT_EQ(ZelOrbStartReceiveData("127.0.0.1", 6001), RC_OK);
    ASSERT_EQ(ZelOrbConnectDevice("127.0.0.2", s.cameras[0].sourcePort), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame("127.0.0.2", onFrame), RC_OK);
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream("127.0.0.2"), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream("127.0.0.2"), RC_OK);
    std::uint8_t text[32] = {};
    EXPECT_EQ(ZelOrbGetDeviceSerialNumber("127.0.0.2", text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "CAPTURED42");

    ZelOrb9AxisImuData imu{};
    EXPECT_TRUE(eventually([&] { return ZelOrbGet9AxisImu("127.0.0.2", &imu) == RC_OK; }));
    EXPECT_EQ(imu.seconds, imuSampleFor(7).seconds);
    EXPECT_EQ(imu.microseconds, imuSampleFor(7).microseconds);
    ZelOrbRgbData rgb{};
    EXPECT_TRUE(eventually([&] { return ZelOrbGetRgb("127.0.0.2", &rgb) == RC_OK; }));
    const std::uint64_t frameId = rgb.frame_id;  // packed record: copy out, bind no reference
    const std::uint32_t width = rgb.width;
    EXPECT_EQ(frameId, 5u);
    EXPECT_EQ(width, 1600u);

    ASSERT_TRUE(replay.waitFinished(10000));
    EXPECT_TRUE(eventually([] {
        std::lock_guard<std::mutex> lk(gMutex);
        return gDelivered.size() >= kFrames - 1;
    }));
    {
        std::lock_guard<std::mutex> lk(gMutex);
        for (int f = 0; f < kFrames - 1; ++f) {
            ASSERT_TRUE(gDelivered.count(static_cast<std::uint64_t>(f))) << "frame " << f;
            EXPECT_TRUE(orbtest::framesAgree(gDelivered[static_cast<std::uint64_t>(f)], expected[f])) << "frame " << f;
        }
    }
    const ReplayCounts c = replay.counts();
    EXPECT_EQ(c.pointCloud, s.cameras[0].pointCloud);
    EXPECT_EQ(c.unsent, 0u);
    EXPECT_EQ(c.passes, 1u);

    ZelOrbDisconnectDevice("127.0.0.2");
    ZelOrbStopReceiveData();
    ZelOrbDeinit();
    replay.stop();
    std::filesystem::remove(path);
}

}  // namespace
