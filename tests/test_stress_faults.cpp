// Guards against crashes, hangs, leaks and foreign or stale points under churn and faults: connect/disconnect cycles and reception restarts under traffic, and cameras vanishing mid-frame, mid-exchange and mid-control-server exchange.
// A vanished camera must leave nothing behind that disturbs the next call or the next camera.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <mutex>

#include "command_responder.h"
#include "control_server.h"
#include "platform/net.h"
#include "rgb_sender.h"
#include "settings_store.h"
#include "support/harness.h"

namespace {

using namespace orbtest;
constexpr std::uint16_t kPort = 16711;

class StressFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
    }
    void TearDown() override {
        ZelOrbDisconnectAllDevice();
        ZelOrbStopReceiveData();
        cams_.clear();
        ZelOrbDeinit();
    }
    orbsim::Camera& camera(const orbsim::CameraOptions& o) {
        cams_.push_back(startCamera(o));
        return *cams_.back();
    }
    orbsim::Camera& plainCamera(int k, bool controlServer = false) {
        orbsim::CameraOptions o;
        o.deviceIp = deviceIp(k);
        if (controlServer) o.controlServer = orbsim::ControlServerOptions{};
        return camera(o);
    }
    std::vector<std::unique_ptr<orbsim::Camera>> cams_;
};

// The first few failures of worker threads, for the test thread.
class Failures {
public:
    void add(const std::string& e) {
        std::lock_guard<std::mutex> lk(m_);
        if (list_.size() < 10) list_.push_back(e);
    }
    void report() {
        std::lock_guard<std::mutex> lk(m_);
        for (const auto& e : list_) ADD_FAILURE() << e;
    }

private:
    std::mutex m_;
    std::vector<std::string> list_;
};

TEST_F(StressFaults, ConnectDisconnectChurnWhileDatagramsArrive) {
    constexpr int kDevices = 4, kCyclesPerDevice = 25;
    const auto deadline = Clock::now() + 30s;  // a sanitized connection costs many times more
    for (int k = 0; k < kDevices; ++k) camera(streamingCamera(k, kPort, 10.0));
    static std::atomic<int> callbackFrames{0};
    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0}, framesChecked{0};
    Failures failures;
    auto verify = [&](int k, const Frame& f) {
        const FrameCheck c = checkFrame(f, *cams_[k]);
        if (!c.error.empty()) failures.add(deviceIp(k) + ": " + c.error);
        framesChecked += c.points > 0;
    };
    std::vector<std::thread> threads;
    for (int k = 0; k < kDevices; ++k)
        threads.emplace_back([&, k] {
            const std::string ip = deviceIp(k);
            Frame f = newFrame();
            for (int i = 0; i < kCyclesPerDevice && Clock::now() < deadline; ++i, ++cycles) {
                const std::int32_t rc = ZelOrbConnectDevice(ip.c_str(), 6301);
                if (rc != RC_OK) return failures.add("connect " + ip + " gave " + std::to_string(rc));
                if (i % 2 == 0 && ZelOrbRegisterCallbackUpdateFrame(ip.c_str(), [](ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]) { ++callbackFrames; }) != RC_OK)
                    failures.add("callback on " + ip);
                // Now and then stay until a frame has come, so frames flow during the churn.
                if (i % 8 == 0 && eventually([&] { return ZelOrbGetPointCloud(ip.c_str(), rows(f)) == RC_OK; }, 2s)) verify(k, f);
                if (ZelOrbDisconnectDevice(ip.c_str()) != RC_OK) failures.add("disconnect " + ip);
            }
        });
    threads.emplace_back([&] {  // a poller over all the addresses, present or not
        Frame f = newFrame();
        for (int i = 0; !stop.load(); ++i) {
            const std::int32_t rc = ZelOrbGetPointCloud(deviceIp(i % kDevices).c_str(), rows(f));
            if (rc == RC_OK) verify(i % kDevices, f);
            else if (rc != RC_GET_DATA_FAILED && rc != RC_DEVICE_NOT_FOUND) failures.add("poll gave " + std::to_string(rc));
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int k = 0; k < kDevices; ++k) threads[k].join();
    stop = true;
    threads.back().join();
    failures.report();
    std::printf("%d connect/disconnect cycles, %d frames checked, %d frame callbacks\n", cycles.load(), framesChecked.load(),
                callbackFrames.load());
    EXPECT_GE(cycles.load(), kDevices);
    EXPECT_GT(framesChecked.load(), 0);
    for (int k = 0; k < kDevices; ++k) EXPECT_FALSE(withDevice(deviceIp(k), [](orb::DeviceRecord&) {})) << k;
    // Reception kept running through it all: a fresh connection still gets frames.
    ASSERT_EQ(ZelOrbConnectDevice(deviceIp(0).c_str(), 6301), RC_OK);
    Frame f;
    ASSERT_TRUE(pollFrame(deviceIp(0), f, 5s));
    EXPECT_EQ(checkFrame(f, *cams_[0]).error, "");
}

TEST_F(StressFaults, ReceptionStopsAndRestartsUnderLoad) {
    constexpr int kDevices = 4;
    for (int k = 0; k < kDevices; ++k) {
        camera(streamingCamera(k, kPort, 10.0));
        ASSERT_EQ(ZelOrbConnectDevice(deviceIp(k).c_str(), 6301), RC_OK);
    }
    std::atomic<bool> stop{false};
    Failures failures;
    std::atomic<int> framesChecked{0}, configCalls{0};
    std::thread poller([&] {
        Frame f = newFrame();
        for (int i = 0; !stop.load(); ++i) {
            if (ZelOrbGetPointCloud(deviceIp(i % kDevices).c_str(), rows(f)) != RC_OK) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            const FrameCheck c = checkFrame(f, *cams_[i % kDevices]);
            if (!c.error.empty()) failures.add(deviceIp(i % kDevices) + ": " + c.error);
            ++framesChecked;
        }
    });
    std::thread configurer([&] {  // restarting reopens the control socket: exchanges must not notice
        for (int i = 0; !stop.load(); ++i, ++configCalls) {
            std::int32_t mode = -1;
            const std::int32_t rc = ZelGetTriggerMode(deviceIp(i % kDevices).c_str(), &mode);
            if (rc != 0) failures.add("trigger mode during restarts gave " + std::to_string(rc));
        }
    });
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(ZelOrbStopReceiveData(), RC_OK) << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK) << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (i % 5) * 10));
    }
    std::map<int, std::uint64_t> sentBefore;
    for (int k = 0; k < kDevices; ++k) sentBefore[k] = cams_[k]->pointCloud()->framesSent();
    stop = true;
    poller.join();
    configurer.join();
    for (int k = 0; k < kDevices; ++k) {  // after the last restart every camera's newest frames come through
        Frame f = newFrame();
        FrameCheck c;
        EXPECT_TRUE(eventually([&] {
            if (ZelOrbGetPointCloud(deviceIp(k).c_str(), rows(f)) != RC_OK) return false;
            c = checkFrame(f, *cams_[k]);
            return !c.error.empty() || c.newest > sentBefore[k];
        }, 5s)) << deviceIp(k);
        EXPECT_EQ(c.error, "");
    }
    failures.report();
    EXPECT_TRUE(framesChecked.load() > 0 && configCalls.load() > 0);
}

// Sends data packets as camera k would (from its address, port 6301), and
// keeps what it sent for the frame check.
class ManualStreamer {
public:
    explicit ManualStreamer(int k) : scene_(streamingCamera(k, kPort, 1.0).scene) {
        sock_ = orb::net::udpSocket();
        orb::net::setReuseAddr(sock_);
        EXPECT_TRUE(orb::net::bindTo(sock_, deviceIp(k).c_str(), 6301));
        to_ = orb::net::makeEndpoint(kHost, kPort);
    }
    ~ManualStreamer() { orb::net::closeSocket(sock_); }
    // Sends the first `fraction` of frame index's packets.
    void send(std::uint64_t index, double fraction = 1.0) {
        orbsim::SceneFrame render;
        scene_->render(index, render);
        auto enc = std::make_shared<orbsim::EncodedFrame>(orbsim::encodeFrame(render, 1, 10, index, index));
        for (std::size_t i = 0; i < static_cast<std::size_t>(fraction * enc->packets.size()); ++i) {
            orb::net::sendTo(sock_, enc->packets[i].data(), enc->packets[i].size(), to_);
            if (i % 50 == 49) std::this_thread::sleep_for(1ms);  // stay within the socket buffers
        }
        std::lock_guard<std::mutex> lk(m_);
        sent_[index] = std::shared_ptr<const orbsim::SentFrame>(enc, &enc->expected);
        highest_ = std::max(highest_, index);
    }
    FrameCheck check(const Frame& f) {
        std::lock_guard<std::mutex> lk(m_);
        return checkFrame(f, [&](std::uint64_t i) { return sent_.count(i) ? sent_[i] : nullptr; }, highest_);
    }

private:
    orbsim::ScenePtr scene_;
    orb::net::Socket sock_;
    orb::net::Endpoint to_;
    std::mutex m_;
    std::map<std::uint64_t, std::shared_ptr<const orbsim::SentFrame>> sent_;
    std::uint64_t highest_ = 0;
};

TEST_F(StressFaults, CameraVanishingMidFrameLeavesOnlySentPoints) {
    plainCamera(0);
    const std::string ip = deviceIp(0);
    ASSERT_EQ(ZelOrbConnectDevice(ip.c_str(), 6301), RC_OK);
    ManualStreamer cam(0);
    Frame f;
    cam.send(1);
    cam.send(2);
    cam.send(3, 0.4);  // vanishes 40 % into frame 3
    ASSERT_TRUE(pollFrame(ip, f, 3s));
    FrameCheck c = cam.check(f);
    EXPECT_TRUE(c.error.empty() && c.points > 0) << c.error;
    // Frames 1 and 2 were closed by their successors; nothing else may follow
    // while the camera is silent, least of all the unfinished frame.
    ASSERT_TRUE(c.newest != 1 || pollFrame(ip, f, 1s));
    EXPECT_FALSE(pollFrame(ip, f, 400ms));
    // Back without a word: its next frame closes the unfinished one, which
    // holds points of frames 2 and 3 only, each where it was sent.
    cam.send(10);
    cam.send(11, 0.05);
    std::uint64_t newest = 0;
    for (int i = 0; i < 2 && newest < 10 && pollFrame(ip, f, 3s); ++i) {
        c = cam.check(f);
        EXPECT_EQ(c.error, "");
        newest = c.newest;
    }
    EXPECT_EQ(newest, 10u);
    // Vanishing mid-frame again, then disconnecting, must not wait for the frame;
    // a new connection starts clean.
    cam.send(12, 0.5);
    EXPECT_EQ(ZelOrbDisconnectDevice(ip.c_str()), RC_OK);
    ASSERT_EQ(ZelOrbConnectDevice(ip.c_str(), 6301), RC_OK);
    cam.send(20);
    cam.send(21);
    ASSERT_TRUE(pollFrame(ip, f, 3s));
    EXPECT_EQ(cam.check(f).error, "");
    for (const ZelOrbPointData& p : f) ASSERT_TRUE(p.timestamp == 0 || p.timestamp >= 20) << p.timestamp;

    // An RGB camera vanishing mid-frame: no image, and its stream still stops.
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(ip.c_str()), RC_OK);
    const orbsim::HandshakeInfo hs = cams_[0]->store()->handshake();
    Bytes frame(30000);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i);
    const auto datagrams = orbsim::fragmentFrame(frame, orbsim::kRgbNv12, 5, 1, 2, 4000);
    const orb::net::Socket s = orb::net::udpSocket();
    ASSERT_TRUE(orb::net::bindTo(s, ip.c_str(), 0));
    for (std::size_t i = 0; i + 2 < datagrams.size(); ++i)
        orb::net::sendTo(s, datagrams[i].data(), datagrams[i].size(), orb::net::makeEndpoint(hs.hostIp.c_str(), hs.dataPort));
    orb::net::closeSocket(s);
    ZelOrbRgbData img{};
    EXPECT_EQ(ZelOrbGetRgb(ip.c_str(), &img), RC_RGB_GET_FAILED);
    EXPECT_EQ(+img.data, nullptr);
    EXPECT_EQ(ZelOrbStopDeviceRgbStream(ip.c_str()), RC_OK);
}

TEST_F(StressFaults, CameraVanishingMidExchangeFailsOnlyThatCall) {
    orbsim::Camera& camA = plainCamera(0);
    plainCamera(1);
    const std::string ipA = deviceIp(0), ipB = deviceIp(1);
    ASSERT_EQ(ZelOrbConnectDevice(ipA.c_str(), 6301), RC_OK);
    ASSERT_EQ(ZelOrbConnectDevice(ipB.c_str(), 6301), RC_OK);
    ASSERT_EQ(ZelSetTriggerMode(ipB.c_str(), 2), 0);
    // Answers still pending when the camera goes: the whole reply, or the
    // second frame of a two-frame chain. They are due long after the exchange
    // gave up, so the camera always vanishes before them.
    for (const bool split : {false, true}) {
        orbsim::Fault pending;
        pending.delayMs = 5000;
        if (split) {
            orbsim::Fault half;
            half.remaining = 1;
            half.splitChain = true;
            half.splitSecondDelayMs = 5000;
            camA.responder().setFault(0x0304, half);
            pending = orbsim::Fault{};
            pending.silent = true;
        }
        camA.responder().setFaultAll(pending);
        auto call = std::async(std::launch::async, [&] {
            std::int32_t mode = 77;
            return std::make_pair(ZelGetTriggerMode(ipA.c_str(), &mode), mode);
        });
        ASSERT_TRUE(camA.responder().waitForRequests(1, 2000));
        std::this_thread::sleep_for(50ms);
        camA.stop();  // vanishes
        ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(call.get(), std::make_pair(std::int32_t{DEV_COMMAND_STRUCTURE_INCORRECT}, std::int32_t{77})) << split;
        std::int32_t mode = -1;  // the next exchange, with another camera, is not disturbed
        EXPECT_EQ(ZelGetTriggerMode(ipB.c_str(), &mode), 0);
        EXPECT_EQ(mode, 2);
        camA.responder().clearFaults();  // back, and answering again
        camA.responder().clearRequests();
        std::string why;
        ASSERT_TRUE(camA.start(&why)) << why;
        EXPECT_EQ(ZelGetTriggerMode(ipA.c_str(), &mode), 0);
    }
}

TEST_F(StressFaults, CameraVanishingMidControlServerExchangeFailsOnlyThatCall) {
    orbsim::Camera& camA = plainCamera(0, true);
    orbsim::Camera& camB = plainCamera(1, true);
    const std::string ipA = deviceIp(0), ipB = deviceIp(1);
    orbsim::NetSettings net;
    net.lidarIp = ipB;
    net.hostIp = kHost;
    camB.store()->setNetSettings(net);
    ASSERT_EQ(ZelOrbConnectDevice(ipA.c_str(), 6301), RC_OK);
    // Each leaves the call waiting on the connection (or failing at once) when the camera goes.
    for (orbsim::CsFault fault : {orbsim::CsFault::Silence, orbsim::CsFault::LengthTooLong, orbsim::CsFault::CloseConnection}) {
        SCOPED_TRACE(static_cast<int>(fault));
        camA.controlServer()->setFault(fault, -1, 0x0202);
        auto call = std::async(std::launch::async, [&] {
            ZelOrbNetInfo info;
            fillPattern(&info, sizeof info);
            const std::int32_t rc = ZelOrbGetNetInfo(ipA.c_str(), &info);
            return std::make_pair(rc, holdsPattern(&info, sizeof info));
        });
        std::this_thread::sleep_for(150ms);
        testing::internal::CaptureStdout();
        camA.stop();  // vanishes with the connection open
        ASSERT_EQ(call.wait_for(8s), std::future_status::ready);
        EXPECT_EQ(call.get(), std::make_pair(std::int32_t{RC_GET_NET_ADDRESS_FAILED}, true));
        ZelOrbNetInfo infoB{};  // the connection lock and socket were given back
        EXPECT_EQ(ZelOrbGetNetInfo(ipB.c_str(), &infoB), RC_OK);
        EXPECT_EQ(std::string(infoB.lidar_ip), ipB);
        EXPECT_EQ(ZelOrbSetDeviceMode(ipA.c_str(), 0), RC_GENERAL_ERROR) << "fails without hanging";
        testing::internal::GetCapturedStdout();
        camA.controlServer()->clearFault();
        std::string why;
        ASSERT_TRUE(camA.start(&why)) << why;
    }
}

}  // namespace
