// Churn and faults under traffic: hundreds of connect/disconnect cycles
// while datagrams arrive, reception stopped and restarted under load, and
// cameras that vanish in the middle of a frame, of a command exchange and of
// a control-server exchange. Nothing may crash, hang or leak, every frame
// handed out must hold only points that were sent, and a vanished camera
// must leave nothing behind that disturbs the next call or the next camera.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <shared_mutex>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/command.h"
#include "device/device.h"
#include "device/context.h"
#include "platform/net.h"
#include "rgb_sender.h"
#include "stream/frame_flow.h"
#include "stream/packet.h"
#include "stream/reception.h"
#include "support/packet_builder.h"
#include "test_stress_common.h"

namespace {

using namespace orbstress;

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
        cams_.push_back(std::make_unique<orbsim::Camera>(o));
        std::string why;
        EXPECT_TRUE(cams_.back()->start(&why)) << o.deviceIp << ": " << why;
        return *cams_.back();
    }
    std::vector<std::unique_ptr<orbsim::Camera>> cams_;
};

// Collects the first few failures of worker threads for the test thread.
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

std::atomic<int> gCallbackFrames{0};
void countFrame(ZelOrbPointData (*)[ZEL_ORB_FRAME_COLS]) { gCallbackFrames.fetch_add(1); }

// ------------------------------------------------------------------- churn

TEST_F(StressFaults, ConnectDisconnectChurnWhileDatagramsArrive) {
    constexpr int kDevices = 4;
    constexpr int kCyclesPerDevice = 75;
    // Bounded in time. A connection costs a sanitized build many times more
    // (its buffers are megabytes), so there fewer cycles are asked for.
    const auto deadline = Clock::now() + (kSanitized ? 20s : 40s);
    const int minimumCycles = kSanitized ? 10 : 200;  // sanitized connects are slow; the point is churn, not a rate
    for (int k = 0; k < kDevices; ++k) camera(streamingCamera(k, kPort, 10.0));

    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0}, framesChecked{0};
    Failures failures;
    auto verify = [&](int k, const Frame& f) {
        const FrameCheck c = checkFrame(f, *cams_[k]);
        if (!c.error.empty()) failures.add(deviceIp(k) + ": " + c.error);
        if (c.points) framesChecked.fetch_add(1);
    };

    std::vector<std::thread> threads;
    for (int k = 0; k < kDevices; ++k) {
        threads.emplace_back([&, k] {
            const std::string ip = deviceIp(k);
            Frame f(ZEL_ORB_FRAME_POINTS);
            for (int i = 0; i < kCyclesPerDevice && Clock::now() < deadline; ++i) {
                const std::int32_t rc = ZelOrbConnectDevice(ip.c_str(), 6301);
                if (rc != RC_OK) {
                    failures.add("connect " + ip + " gave " + std::to_string(rc));
                    break;
                }
                if (i % 2 == 0 && ZelOrbRegisterCallbackUpdateFrame(ip.c_str(), countFrame) != RC_OK)
                    failures.add("callback on " + ip);
                // Now and then stay until a frame has come, so frames flow during the churn.
                if (i % 25 == 0 && eventually([&] { return ZelOrbGetPointCloud(ip.c_str(), rows(f)) == RC_OK; }, 2s))
                    verify(k, f);
                if (ZelOrbDisconnectDevice(ip.c_str()) != RC_OK) failures.add("disconnect " + ip);
                cycles.fetch_add(1);
            }
        });
    }
    // A poller over all the addresses, present or not.
    threads.emplace_back([&] {
        Frame f(ZEL_ORB_FRAME_POINTS);
        for (int i = 0; !stop.load(); ++i) {
            const int k = i % kDevices;
            const std::int32_t rc = ZelOrbGetPointCloud(deviceIp(k).c_str(), rows(f));
            if (rc == RC_OK) verify(k, f);
            else if (rc != RC_GET_DATA_FAILED && rc != RC_DEVICE_NOT_FOUND) failures.add("poll gave " + std::to_string(rc));
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int k = 0; k < kDevices; ++k) threads[static_cast<std::size_t>(k)].join();
    stop.store(true);
    threads.back().join();

    failures.report();
    std::printf("%d connect/disconnect cycles, %d frames checked, %d frame callbacks\n", cycles.load(),
                framesChecked.load(), gCallbackFrames.load());
    EXPECT_GE(cycles.load(), minimumCycles);
    EXPECT_GT(framesChecked.load(), 0);
    {
        auto& reg = orb::libraryContext().registry;
        std::shared_lock<std::shared_mutex> lk(reg.mutex());
        EXPECT_TRUE(reg.devices().empty());
    }
    // Reception kept running through it all: a fresh connection still gets frames.
    ASSERT_EQ(ZelOrbConnectDevice(deviceIp(0).c_str(), 6301), RC_OK);
    Frame f(ZEL_ORB_FRAME_POINTS);
    ASSERT_TRUE(eventually([&] { return ZelOrbGetPointCloud(deviceIp(0).c_str(), rows(f)) == RC_OK; }, 5s));
    const FrameCheck c = checkFrame(f, *cams_[0]);
    EXPECT_TRUE(c.error.empty()) << c.error;
}

// -------------------------------------------------- reception stop / restart

TEST_F(StressFaults, ReceptionStopsAndRestartsUnderLoad) {
    constexpr int kDevices = 4;
    for (int k = 0; k < kDevices; ++k) {
        camera(streamingCamera(k, kPort, 10.0));
        ASSERT_EQ(ZelOrbConnectDevice(deviceIp(k).c_str(), 6301), RC_OK);
    }
    std::atomic<bool> stop{false};
    Failures failures;
    std::atomic<int> framesChecked{0}, configCalls{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        Frame f(ZEL_ORB_FRAME_POINTS);
        for (int i = 0; !stop.load(); ++i) {
            const int k = i % kDevices;
            if (ZelOrbGetPointCloud(deviceIp(k).c_str(), rows(f)) != RC_OK) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            const FrameCheck c = checkFrame(f, *cams_[k]);
            if (!c.error.empty()) failures.add(deviceIp(k) + ": " + c.error);
            framesChecked.fetch_add(1);
        }
    });
    // Restarting also reopens the control socket: exchanges in between must not notice.
    threads.emplace_back([&] {
        for (int i = 0; !stop.load(); ++i) {
            std::int32_t mode = -1;
            const std::int32_t rc = ZelGetTriggerMode(deviceIp(i % kDevices).c_str(), &mode);
            if (rc != 0) failures.add("trigger mode during restarts gave " + std::to_string(rc));
            configCalls.fetch_add(1);
        }
    });
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(ZelOrbStopReceiveData(), RC_OK) << i;
        EXPECT_EQ(ZelOrbStopReceiveData(), RC_SOCKET_CLOSE_FAILED);
        std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK) << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (i % 5) * 10));
    }
    // After the last restart every camera's newest frames come through.
    std::map<int, std::uint64_t> sentBefore;
    for (int k = 0; k < kDevices; ++k) sentBefore[k] = cams_[k]->pointCloud()->framesSent();
    stop.store(true);
    for (auto& t : threads) t.join();
    for (int k = 0; k < kDevices; ++k) {
        Frame f(ZEL_ORB_FRAME_POINTS);
        FrameCheck c;
        const bool fresh = eventually(
            [&] {
                if (ZelOrbGetPointCloud(deviceIp(k).c_str(), rows(f)) != RC_OK) return false;
                c = checkFrame(f, *cams_[k]);
                return !c.error.empty() || c.newest > sentBefore[k];
            },
            5s);
        ZelOrbStreamStatistics st{};
        st.size = sizeof st;
        ZelOrbGetStreamStatistics(deviceIp(k).c_str(), &st);
        EXPECT_TRUE(fresh) << deviceIp(k) << ": newest " << c.newest << " sent " << sentBefore[k] << " completed "
                           << st.frames_completed << " published " << st.frames_published << " queue full "
                           << st.frames_dropped_queue_full << " datagrams " << st.datagrams;
        EXPECT_TRUE(c.error.empty()) << c.error;
    }
    failures.report();
    EXPECT_TRUE(orb::libraryContext().reception.threadRunning());
    EXPECT_GT(framesChecked.load(), 0);
    EXPECT_GT(configCalls.load(), 0);
}

// ------------------------------------------------------- vanishing cameras

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
        const auto n = static_cast<std::size_t>(fraction * static_cast<double>(enc->packets.size()));
        for (std::size_t i = 0; i < n; ++i) {
            const auto& d = enc->packets[i];
            orb::net::sendTo(sock_, d.data(), d.size(), to_);
            if (i % 50 == 49) std::this_thread::sleep_for(1ms);  // stay within the socket buffers
        }
        std::lock_guard<std::mutex> lk(m_);
        sent_[index] = std::shared_ptr<const orbsim::SentFrame>(enc, &enc->expected);
        highest_ = std::max(highest_, index);
    }
    FrameCheck check(const Frame& f) {
        std::lock_guard<std::mutex> lk(m_);
        return checkFrameWith(
            f,
            [&](std::uint64_t i) {
                auto it = sent_.find(i);
                return it == sent_.end() ? nullptr : it->second;
            },
            highest_);
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
    orbsim::CameraOptions o;
    o.deviceIp = deviceIp(0);
    camera(o);
    const std::string ip = deviceIp(0);
    ASSERT_EQ(ZelOrbConnectDevice(ip.c_str(), 6301), RC_OK);
    ManualStreamer cam(0);
    Frame f(ZEL_ORB_FRAME_POINTS);
    auto take = [&](std::chrono::milliseconds t) {
        return eventually([&] { return ZelOrbGetPointCloud(ip.c_str(), rows(f)) == RC_OK; }, t);
    };

    cam.send(1);
    cam.send(2);
    cam.send(3, 0.4);  // vanishes 40 % into frame 3
    ASSERT_TRUE(take(3s));
    FrameCheck c = cam.check(f);
    EXPECT_TRUE(c.error.empty()) << c.error;
    EXPECT_GT(c.points, 0u);
    // Frames 1 and 2 were closed by their successors; nothing else may follow
    // while the camera is silent, least of all the unfinished frame.
    if (c.newest == 1) {
        ASSERT_TRUE(take(1s));
    }
    EXPECT_FALSE(take(400ms));

    // Back without a word: its next frame closes the unfinished one, which
    // comes out holding points of frames 2 and 3 only, each where it was sent.
    cam.send(10);
    cam.send(11, 0.05);
    std::uint64_t newest = 0;
    for (int i = 0; i < 2 && newest < 10 && take(3s); ++i) {
        c = cam.check(f);
        EXPECT_TRUE(c.error.empty()) << c.error;
        newest = c.newest;
    }
    EXPECT_EQ(newest, 10u);

    // Vanishing mid-frame again, then disconnecting, must not wait for the frame.
    cam.send(12, 0.5);
    const auto before = Clock::now();
    EXPECT_EQ(ZelOrbDisconnectDevice(ip.c_str()), RC_OK);
    EXPECT_LT(Clock::now() - before, 5s);
    // A new connection starts clean: its first frame has no point of the old record.
    ASSERT_EQ(ZelOrbConnectDevice(ip.c_str(), 6301), RC_OK);
    cam.send(20);
    cam.send(21);
    ASSERT_TRUE(take(3s));
    c = cam.check(f);
    EXPECT_TRUE(c.error.empty()) << c.error;
    for (const ZelOrbPointData& p : f) ASSERT_TRUE(p.timestamp == 0 || p.timestamp >= 20) << p.timestamp;
}

TEST_F(StressFaults, RgbCameraVanishingMidFrameStopsCleanly) {
    orbsim::CameraOptions o;
    o.deviceIp = deviceIp(0);
    orbsim::Camera& cam = camera(o);
    const std::string ip = deviceIp(0);
    ASSERT_EQ(ZelOrbConnectDevice(ip.c_str(), 6301), RC_OK);
    ASSERT_EQ(ZelOrbStartDeviceRgbStream(ip.c_str()), RC_OK);
    const orbsim::HandshakeInfo hs = cam.store()->handshake();
    ASSERT_TRUE(hs.received);

    orbsim::wire::Bytes frame(30000);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(i);
    const auto datagrams = orbsim::fragmentFrame(frame, orbsim::kRgbNv12, 5, 1, 2, 4000);
    const orb::net::Socket s = orb::net::udpSocket();
    ASSERT_TRUE(orb::net::bindTo(s, ip.c_str(), 0));
    const orb::net::Endpoint to = orb::net::makeEndpoint(hs.hostIp.c_str(), hs.dataPort);
    for (std::size_t i = 0; i + 2 < datagrams.size(); ++i)
        orb::net::sendTo(s, datagrams[i].data(), datagrams[i].size(), to);
    orb::net::closeSocket(s);

    ZelOrbRgbData img{};
    EXPECT_EQ(ZelOrbGetRgb(ip.c_str(), &img), RC_RGB_GET_FAILED);  // the frame never completed
    const std::uint8_t* data = img.data;  // the record is packed: no reference to its fields
    EXPECT_EQ(data, nullptr);
    const auto before = Clock::now();
    EXPECT_EQ(ZelOrbStopDeviceRgbStream(ip.c_str()), RC_OK);
    EXPECT_LT(Clock::now() - before, 3s);
    EXPECT_EQ(ZelOrbDisconnectDevice(ip.c_str()), RC_OK);
}

TEST_F(StressFaults, CameraVanishingMidExchangeFailsOnlyThatCall) {
    orbsim::CameraOptions a, b;
    a.deviceIp = deviceIp(0);
    b.deviceIp = deviceIp(1);
    orbsim::Camera& camA = camera(a);
    camera(b);
    const std::string ipA = deviceIp(0), ipB = deviceIp(1);
    ASSERT_EQ(ZelOrbConnectDevice(ipA.c_str(), 6301), RC_OK);
    ASSERT_EQ(ZelOrbConnectDevice(ipB.c_str(), 6301), RC_OK);
    ASSERT_EQ(ZelSetTriggerMode(ipB.c_str(), 2), 0);

    // Answers still pending when the camera goes: the whole reply, or the
    // second frame of a two-frame chain (its first frame came at once, every
    // resend goes unanswered). The pending parts are due long after the
    // exchange has given up, so the camera always vanishes before them.
    struct Case {
        const char* name;
        bool split;
    };
    const Case cases[] = {{"reply pending", false}, {"half a chain sent", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        orbsim::Fault pending;
        pending.delayMs = 5000;
        if (c.split) {
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
            const std::int32_t rc = ZelGetTriggerMode(ipA.c_str(), &mode);
            return std::make_pair(rc, mode);
        });
        ASSERT_TRUE(camA.responder().waitForRequests(1, 2000));
        std::this_thread::sleep_for(50ms);
        camA.stop();  // vanishes
        ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
        const auto [rc, mode] = call.get();
        EXPECT_EQ(rc, orb::kStatusNoReply);
        EXPECT_EQ(mode, 77);  // nothing written
        // The next exchange, with another camera, is not disturbed by the leftovers.
        std::int32_t modeB = -1;
        EXPECT_EQ(ZelGetTriggerMode(ipB.c_str(), &modeB), 0);
        EXPECT_EQ(modeB, 2);
        // The camera comes back and answers again.
        camA.responder().clearFaults();
        camA.responder().clearRequests();
        std::string why;
        ASSERT_TRUE(camA.start(&why)) << why;
        std::int32_t modeA = -1;
        EXPECT_EQ(ZelGetTriggerMode(ipA.c_str(), &modeA), 0);
    }
}

TEST_F(StressFaults, CameraVanishingMidControlServerExchangeFailsOnlyThatCall) {
    orbsim::CameraOptions a, b;
    a.deviceIp = deviceIp(0);
    b.deviceIp = deviceIp(1);
    a.controlServer = orbsim::ControlServerOptions{};
    b.controlServer = orbsim::ControlServerOptions{};
    orbsim::Camera& camA = camera(a);
    orbsim::Camera& camB = camera(b);
    const std::string ipA = deviceIp(0), ipB = deviceIp(1);
    orbsim::NetSettings net;
    net.lidarIp = ipB;
    net.hostIp = kHost;
    camB.store()->setNetSettings(net);
    ASSERT_EQ(ZelOrbConnectDevice(ipA.c_str(), 6301), RC_OK);

    // Each leaves the call waiting on the connection (or failing at once)
    // when the camera goes.
    const orbsim::CsFault faults[] = {orbsim::CsFault::Silence, orbsim::CsFault::LengthTooLong,
                                      orbsim::CsFault::CloseConnection};
    for (orbsim::CsFault fault : faults) {
        SCOPED_TRACE(static_cast<int>(fault));
        camA.controlServer()->setFault(fault, -1, 0x0202);
        auto call = std::async(std::launch::async, [&] {
            ZelOrbNetInfo info;
            std::memset(&info, 0xA7, sizeof info);
            const std::int32_t rc = ZelOrbGetNetInfo(ipA.c_str(), &info);
            return std::make_pair(rc, static_cast<unsigned char>(info.lidar_ip[0]));
        });
        std::this_thread::sleep_for(150ms);
        camA.stop();  // vanishes with the connection open
        ASSERT_EQ(call.wait_for(8s), std::future_status::ready);
        const auto [rc, firstByte] = call.get();
        EXPECT_EQ(rc, RC_GET_NET_ADDRESS_FAILED);
        EXPECT_EQ(firstByte, 0xA7);
        // The connection lock and socket were given back: another camera answers.
        ZelOrbNetInfo infoB{};
        EXPECT_EQ(ZelOrbGetNetInfo(ipB.c_str(), &infoB), RC_OK);
        EXPECT_STREQ(infoB.lidar_ip, ipB.c_str());
        // And the mode call on the vanished camera fails without hanging.
        EXPECT_EQ(ZelOrbSetDeviceMode(ipA.c_str(), 0), RC_GENERAL_ERROR);
        camA.controlServer()->clearFault();
        std::string why;
        ASSERT_TRUE(camA.start(&why)) << why;
    }
}

// ------------------------------------------------- slow calls, other cameras

// While one thread connects an absent camera, one sets the mode of a camera
// whose control server never answers and one disconnects and reconnects a
// third, every datagram of a streaming camera is routed and every frame the
// simulator sent is completed and published.
TEST_F(StressFaults, SlowCallsOnOtherCamerasCostAStreamingCameraNothing) {
    orbsim::CameraOptions streaming = streamingCamera(0, kPort, kSanitized ? 5 : 20);
    orbsim::StreamerOptions so = *streaming.pointCloud;
    streaming.pointCloud.reset();  // started below, once the device is registered
    so.deviceIp = deviceIp(0);
    so.keepFrames = 0;
    camera(streaming);
    orbsim::CameraOptions mute;
    mute.deviceIp = deviceIp(1);
    mute.controlServer = orbsim::ControlServerOptions{};
    orbsim::Camera& muteCam = camera(mute);
    orbsim::CameraOptions churn;
    churn.deviceIp = deviceIp(2);
    camera(churn);
    const std::string ipS = deviceIp(0), ipM = deviceIp(1), ipC = deviceIp(2), absent = deviceIp(40);
    for (const std::string& ip : {ipS, ipM, ipC}) ASSERT_EQ(ZelOrbConnectDevice(ip.c_str(), 6301), RC_OK) << ip;
    muteCam.controlServer()->setFault(orbsim::CsFault::Silence);

    orbsim::PointCloudStreamer sim(so, streaming.scene);
    ASSERT_TRUE(sim.start());
    Failures failures;
    auto expect = [&](const char* what, std::int32_t got, std::int32_t want) {
        if (got != want) failures.add(std::string(what) + " gave " + std::to_string(got));
    };
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        // A new record whose setup fails stays registered; setting it up again fails plainly.
        expect("connect absent", ZelOrbConnectDevice(absent.c_str(), 6301), RC_HANDSHAKE_FAILED);
        expect("connect absent again", ZelOrbConnectDevice(absent.c_str(), 6301), RC_GENERAL_ERROR);
        expect("disconnect absent", ZelOrbDisconnectDevice(absent.c_str()), RC_OK);
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 2; ++i) expect("mode of mute", ZelOrbSetDeviceMode(ipM.c_str(), 0), RC_GENERAL_ERROR);
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 5; ++i) {
            expect("disconnect", ZelOrbDisconnectDevice(ipC.c_str()), RC_OK);
            expect("reconnect", ZelOrbConnectDevice(ipC.c_str(), 6301), RC_OK);
        }
    });
    for (auto& t : threads) t.join();
    failures.report();
    sim.stop();

    ZelOrbStreamStatistics st{};
    auto settled = [&] {
        st = {};
        st.size = sizeof st;
        return ZelOrbGetStreamStatistics(ipS.c_str(), &st) == RC_OK && st.datagrams == sim.packetsSent() &&
               st.frames_published + 1 >= sim.framesSent();
    };
    EXPECT_TRUE(eventually(settled, 10s));
    EXPECT_GE(sim.framesSent(), 5u);  // the slow calls last seconds
    EXPECT_EQ(st.datagrams, sim.packetsSent());
    EXPECT_EQ(st.dropped_queue_full + st.dropped_length + st.frames_dropped_queue_full + st.frames_missing_packets, 0u);
    // The last frame stays open: no later packet closes it.
    EXPECT_EQ(st.frames_completed, sim.framesSent() - 1);
    EXPECT_EQ(st.frames_published, st.frames_completed);
}

// ---------------------------------------------------- duplicated datagrams

// A network may deliver a datagram twice, and a faulty camera may send two
// packets for the same positions. When such packets fall into different
// halves of a frame, the two decode workers must not write the same points
// at once (a data race, points mixed from both packets): every point comes
// out whole, from the later packet, as a single pass would leave it.
TEST(StressFaultsNoNetwork, PacketsRepeatingPositionsAcrossTheDecodeHalves) {
    const char* ip = "127.0.0.99";
    {
        auto& reg = orb::libraryContext().registry;
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        reg.devices()[ip] = std::make_unique<orb::DeviceRecord>(ip, 6301);
        reg.find(ip)->stream.running = true;
    }
    orb::DeviceRecord* dev = nullptr;
    {
        auto& reg = orb::libraryContext().registry;
        std::shared_lock<std::shared_mutex> lock(reg.mutex());
        dev = reg.find(ip);
    }
    // Ten packets over rows 0..34, columns 0..39 (base 100), then the same
    // positions again with other values (base 3000): the list splits in the middle.
    constexpr int kPackets = 10;
    constexpr int kRecords = 140;  // 35 rows of 4 columns
    std::uint16_t number = 1;
    for (int copy = 0; copy < 2; ++copy) {
        for (int p = 0; p < kPackets; ++p) {
            orbtest::PacketBuilder b(1, 2, number++, 0, static_cast<std::uint16_t>(4 * p), kRecords, 1, 7, 42);
            b.fill10(kRecords, static_cast<std::uint16_t>(copy ? 3000 : 100));
            orb::handlePacket(dev->stream, b.data(), b.size());
        }
    }
    orbtest::PacketBuilder next(1, 2, 0, 100, 0, 4, 1, 8, 43);  // a lower number closes the frame
    next.fill10(4, 10);
    orb::handlePacket(dev->stream, next.data(), next.size());
    orb::PacketListPtr list;
    ASSERT_TRUE(dev->stream.frameQueue.tryPop(list));
    ASSERT_EQ(list->packets.size(), 2u * kPackets);
    for (int round = 0; round < 20; ++round) {
        orb::processFrame(dev->stream, *list);
        Frame f(ZEL_ORB_FRAME_POINTS);
        ASSERT_EQ(ZelOrbGetPointCloud(ip, rows(f)), RC_OK);
        for (int r = 0; r < 35; ++r)
            for (int c = 0; c < 4 * kPackets; ++c) {
                const ZelOrbPointData& p = f[static_cast<std::size_t>(r) * ZEL_ORB_FRAME_COLS + c];
                const int i = r * 4 + c % 4;  // record index within its packet
                ASSERT_EQ(p.distance, 3000.0f + i) << "row " << r << " col " << c;
                ASSERT_EQ(p.x, orb::coordFromInt(3000 + i, 1.0f)) << "row " << r << " col " << c;
                ASSERT_EQ(p.timestamp, 42u);
            }
    }
    auto& reg = orb::libraryContext().registry;
    std::unique_lock<std::shared_mutex> lock(reg.mutex());
    reg.devices().erase(ip);
}

}  // namespace
