// Record and replay, checked with tools from outside the project: a simulated
// camera run is recorded by the library (and captured by tcpdump on the
// loopback of a network namespace the test makes), tshark reads the
// recording, and both files replay through the library to the frames it
// delivered live.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "camera.h"
#include "orb_sdk.h"
#include "replay.h"
#include "support/netns.h"
#include "support/harness.h"

extern char** environ;

namespace {

using orbtest::Frame;
using PortCounts = std::map<std::uint16_t, std::uint64_t>;
namespace fs = std::filesystem;

constexpr const char* kCameraIp = "127.0.0.2";
constexpr std::uint64_t kFrames = 10;
constexpr const char* kSerial = "RECORDED77";

// What the library delivered through its callbacks.
std::mutex gMutex;
std::vector<Frame> gFrames;
std::uint64_t gImuSamples = 0;

void onFrame(ZelOrbPointData (*frame)[ZEL_ORB_FRAME_COLS]) {
    std::lock_guard<std::mutex> lk(gMutex);
    gFrames.emplace_back(&frame[0][0], &frame[0][0] + ZEL_ORB_FRAME_POINTS);
}
void onImu(ZelOrb9AxisImuData) {
    std::lock_guard<std::mutex> lk(gMutex);
    ++gImuSamples;
}
std::pair<std::vector<Frame>, std::uint64_t> takeDelivered() {
    std::lock_guard<std::mutex> lk(gMutex);
    auto out = std::make_pair(std::move(gFrames), gImuSamples);
    gFrames.clear();
    gImuSamples = 0;
    return out;
}

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Connects a camera with the frame and IMU callbacks and its IMU and RGB streams on.
void connectWithStreams(const char* ip, int sourcePort) {
    ASSERT_EQ(ZelOrbConnectDevice(ip, sourcePort), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdateFrame(ip, onFrame), RC_OK);
    ASSERT_EQ(ZelOrbRegisterCallbackUpdate9AxisImuData(ip, onImu), RC_OK);
    ASSERT_EQ(ZelOrbStartDevice9AxisImuStream(ip), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(ip), RC_OK);
}

bool haveTool(const char* name) { return orbtest::shell(std::string("command -v ") + name); }

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "orb_record_" + std::to_string(::getpid()) + "_" + name;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// tcpdump on this thread's loopback (a spawned child keeps the thread's network
// namespace), until stop().
class Tcpdump {
public:
    bool start(const std::string& file) {
        log_ = file + ".log";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        // Root is kept (-Z root) so the file can be written wherever the test writes.
        // In immediate mode every ring slot takes the snap length: a short one
        // and a large ring leave room for thousands of packets on a busy host.
        const char* argv[] = {"tcpdump", "-i",  "lo",     "-n", "--immediate-mode", "-U", "-s", "65600", "-B",
                              "131072",  "-Z", "root", "-w", file.c_str(),       "udp", nullptr};
        const int rc = posix_spawnp(&pid_, "tcpdump", &fa, nullptr, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) return false;
        for (int i = 0; i < 500; ++i, pause(10))
            if (readFile(log_).find("listening on") != std::string::npos) return true;
        return false;
    }
    std::string stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        return readFile(log_);
    }
    ~Tcpdump() { stop(); }

private:
    pid_t pid_ = -1;
    std::string log_;
};

// Points compared bit for bit; the message names the first difference.
::testing::AssertionResult sameFrames(const std::vector<Frame>& live, const std::vector<Frame>& replayed) {
    if (live.size() != replayed.size())
        return ::testing::AssertionFailure() << live.size() << " frames live, " << replayed.size() << " replayed";
    for (std::size_t f = 0; f < live.size(); ++f)
        for (std::size_t p = 0; p < ZEL_ORB_FRAME_POINTS; ++p)
            if (std::memcmp(&live[f][p], &replayed[f][p], sizeof(ZelOrbPointData)) != 0)
                return ::testing::AssertionFailure() << "frame " << f << " differs first at point " << p;
    return ::testing::AssertionSuccess();
}

// One live run, shared by the checks: the camera streams kFrames frames with
// six-axis records, nine-axis IMU and RGB to the library, which records them.
class RecordReplay : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (orbtest::namespacesUnavailableReason().empty()) ns_ = std::make_unique<orbtest::NetNamespace>("rec");
        recording_ = tempPath("library.pcap");
        tcpdumpFile_ = tempPath("tcpdump.pcap");
        inside([] { liveRun(); });
    }
    static void TearDownTestSuite() {
        fs::remove(recording_);
        fs::remove(tcpdumpFile_);
        fs::remove(tcpdumpFile_ + ".log");
        ns_.reset();
    }

    // In the test's own namespace when it could make one, else where it runs.
    static void inside(const std::function<void()>& fn) {
        if (ns_) {
            ASSERT_TRUE(ns_->run(fn));
        } else {
            fn();
        }
    }

    static void liveRun() {
        std::unique_ptr<Tcpdump> tcpdump;
        if (ns_ && haveTool("tcpdump")) {
            tcpdump = std::make_unique<Tcpdump>();
            if (!tcpdump->start(tcpdumpFile_)) tcpdumpLog_ = "tcpdump did not start: " + tcpdump->stop();
        }
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData("127.0.0.1", 6001), RC_OK);
        ASSERT_EQ(ZelOrbStartRecording(recording_.c_str()), RC_OK);
        EXPECT_EQ(ZelOrbStartRecording(recording_.c_str()), RC_RECORDING_ALREADY_STARTED);

        orbsim::CameraOptions co;
        co.deviceIp = kCameraIp;
        orbsim::Camera cam(co);
        cam.store()->setPayload(orbsim::cmd::kGetSerialNumber, {kSerial, kSerial + std::strlen(kSerial)});
        std::string err;
        ASSERT_TRUE(cam.start(&err)) << err;
        ASSERT_NO_FATAL_FAILURE(connectWithStreams(kCameraIp, 6301));
        std::uint8_t serial[32] = {};
        ASSERT_EQ(ZelOrbGetDeviceSerialNumber(kCameraIp, serial, sizeof serial), 0);

        // The senders start once the library listens, so that it receives all they send.
        auto& imu = cam.attach("nine-axis IMU", std::make_unique<orbsim::ImuSender>(cam.store(), 200.0));
        auto& rgb = cam.attach("RGB", std::make_unique<orbsim::RgbSender>(cam.store()));
        orbsim::StreamerOptions so;
        so.deviceIp = kCameraIp;
        so.frameRate = 10;
        so.maxFrames = kFrames;
        so.sixAxisRate = 20;
        auto& streamer = cam.attach("point cloud", std::make_unique<orbsim::PointCloudStreamer>(
                                                       so, orbsim::makeWallScene(300, 20), cam.store()));
        EXPECT_TRUE(streamer.waitFramesSent(kFrames, std::chrono::seconds(10)));
        streamer.stop();
        imu.stop();
        rgb.stop();
        pause(300);  // what is under way reaches the library
        sent_ = cam.store()->sentByPort();
        ASSERT_EQ(ZelOrbStopRecording(), RC_OK);
        if (tcpdump && tcpdumpLog_.empty()) tcpdumpLog_ = tcpdump->stop();

        ZelOrbStopDevice9AxisImuStream(kCameraIp);
        ZelOrbStopDeviceRgbStream(kCameraIp);
        ZelOrbDisconnectDevice(kCameraIp);
        ZelOrbStopReceiveData();
        cam.stop();
        std::tie(live_, liveImu_) = takeDelivered();
        ASSERT_GE(live_.size(), kFrames - 1);
    }

    // Replays a capture (camera as replayIp) through the library; the frames
    // and IMU samples it delivered.
    static void replay(const std::string& path, const std::string& replayIp) {
        orbsim::ReplayOptions o;
        o.path = path;
        o.speed = 0.5;  // room to register the callbacks after connecting
        o.cameras[kCameraIp] = replayIp;
        orbsim::Replay r(o);
        std::string err;
        ASSERT_TRUE(r.load(&err)) << err;
        ASSERT_EQ(r.summary().cameras.size(), 1u) << r.summary().text(path);
        ASSERT_TRUE(r.start(&err)) << err;
        const char* ip = replayIp.c_str();
        ASSERT_EQ(ZelOrbStartReceiveData("127.0.0.1", 6001), RC_OK);
        ASSERT_NO_FATAL_FAILURE(connectWithStreams(ip, r.summary().cameras[0].sourcePort));
        std::uint8_t serial[32] = {};
        EXPECT_EQ(ZelOrbGetDeviceSerialNumber(ip, serial, sizeof serial), 0);
        EXPECT_STREQ(reinterpret_cast<char*>(serial), kSerial);  // from the captured reply
        EXPECT_TRUE(r.waitFinished(20000));
        pause(300);
        ZelOrbRgbData image{};
        EXPECT_EQ(ZelOrbGetRgb(ip, &image), RC_OK);
        EXPECT_EQ(r.counts().unsent, 0u);
        ZelOrbStopDevice9AxisImuStream(ip);
        ZelOrbStopDeviceRgbStream(ip);
        ZelOrbDisconnectDevice(ip);
        ZelOrbStopReceiveData();
        r.stop();
        const auto [frames, imu] = takeDelivered();
        EXPECT_TRUE(sameFrames(live_, frames));
        EXPECT_EQ(imu, liveImu_);
    }

    static std::unique_ptr<orbtest::NetNamespace> ns_;
    static std::string recording_, tcpdumpFile_, tcpdumpLog_;
    static PortCounts sent_;
    static std::vector<Frame> live_;
    static std::uint64_t liveImu_;
};

std::unique_ptr<orbtest::NetNamespace> RecordReplay::ns_;
std::string RecordReplay::recording_, RecordReplay::tcpdumpFile_, RecordReplay::tcpdumpLog_;
PortCounts RecordReplay::sent_;
std::vector<Frame> RecordReplay::live_;
std::uint64_t RecordReplay::liveImu_ = 0;

TEST_F(RecordReplay, TsharkCountsPerPortWhatTheSimulatorSent) {
    if (!haveTool("tshark")) GTEST_SKIP() << "tshark is not installed (apt-get install tshark)";
    ASSERT_EQ(sent_.size(), 4u);  // point cloud, RGB, IMU, command replies
    const std::string cmd = "tshark -n -r " + recording_ + " -T fields -e udp.dstport 2>/dev/null";
    PortCounts read;
    std::unique_ptr<FILE, int (*)(FILE*)> out(::popen(cmd.c_str(), "r"), ::pclose);
    ASSERT_TRUE(out);
    unsigned port = 0;
    while (std::fscanf(out.get(), "%u", &port) == 1) ++read[static_cast<std::uint16_t>(port)];
    EXPECT_EQ(read, sent_);
}

TEST_F(RecordReplay, TheRecordingReplaysToTheLiveFrames) { inside([] { replay(recording_, kCameraIp); }); }

TEST_F(RecordReplay, ATcpdumpCaptureOfLoopbackReplaysToTheLiveFrames) {
    if (!ns_) GTEST_SKIP() << "needs a network namespace of its own: " << orbtest::namespacesUnavailableReason();
    if (!haveTool("tcpdump")) GTEST_SKIP() << "tcpdump is not installed (apt-get install tcpdump)";
    ASSERT_TRUE(fs::exists(tcpdumpFile_)) << tcpdumpLog_;
    EXPECT_NE(tcpdumpLog_.find("\n0 packets dropped by kernel"), std::string::npos) << tcpdumpLog_;
    inside([] { replay(tcpdumpFile_, "127.0.0.7"); });
}

}  // namespace
