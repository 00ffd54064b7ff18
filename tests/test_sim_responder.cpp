// The simulated camera's command channel, driven with raw frames from a plain
// UDP socket on loopback (no library code involved).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "camera.h"
#include "command_responder.h"
#include "wire_sim.h"

namespace {

using orbsim::CommandResponder;
using orbsim::Fault;
using orbsim::SettingsStore;
using orbsim::wire::Bytes;
using orbsim::wire::CommandFrame;
namespace cmd = orbsim::cmd;
namespace net = orb::net;

constexpr const char* kDeviceIp = "127.0.0.2";

class Client {
public:
    Client() {
        sock_ = net::udpSocket();
        net::bindTo(sock_, "127.0.0.1", 0);
        net::localEndpoint(sock_, local_);
    }
    ~Client() { net::closeSocket(sock_); }

    void send(const Bytes& b, const char* ip = kDeviceIp) {
        net::sendTo(sock_, b.data(), b.size(), net::makeEndpoint(ip, orbsim::kCommandPort));
    }
    void send(std::uint16_t command, Bytes payload = {}) {
        CommandFrame f;
        f.command = command;
        f.payload = std::move(payload);
        send(orbsim::wire::encodeFrame(f));
    }
    // One datagram, or empty after timeoutMs.
    Bytes receive(int timeoutMs = 1000, net::Endpoint* from = nullptr) {
        if (!net::waitReadable(sock_, timeoutMs)) return {};
        Bytes b(65535);
        int n = net::recvFrom(sock_, b.data(), b.size(), from);
        b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return b;
    }
    CommandFrame exchange(std::uint16_t command, Bytes payload = {}) {
        send(command, std::move(payload));
        CommandFrame f;
        f.command = 0xFFFF;
        Bytes b = receive();
        EXPECT_EQ(orbsim::wire::decodeFrame(b, f), orbsim::wire::DecodeResult::Ok) << "command " << command;
        return f;
    }
    const net::Endpoint& local() const { return local_; }

private:
    net::Socket sock_;
    net::Endpoint local_;
};

class SimResponder : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_shared<SettingsStore>(kDeviceIp);
        orbsim::ResponderOptions o;
        o.deviceIp = kDeviceIp;
        responder = std::make_unique<CommandResponder>(store, o);
        std::string err;
        ASSERT_TRUE(responder->start(&err)) << err;
    }
    std::shared_ptr<SettingsStore> store;
    std::unique_ptr<CommandResponder> responder;
    Client client;
};

Bytes be16(std::initializer_list<std::uint16_t> v) {
    Bytes b;
    for (auto x : v) orbsim::wire::putU16BE(b, x);
    return b;
}

TEST_F(SimResponder, HandshakeIsRecordedByteExactAndStored) {
    // host 127.0.0.1, data port 50661
    Bytes payload = {127, 0, 0, 1, 0xC5, 0xE5};
    auto reply = client.exchange(cmd::kHandshake, payload);
    EXPECT_EQ(reply.command, cmd::kHandshake);
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.count, 1);

    auto hs = store->handshake();
    EXPECT_TRUE(hs.received);
    EXPECT_EQ(hs.hostIp, "127.0.0.1");
    EXPECT_EQ(hs.dataPort, 50661);

    auto recs = responder->requests();
    ASSERT_EQ(recs.size(), 1u);
    const Bytes expected = {0xA5, 0x5A, 0xAA, 0x55, 0x3F, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01,
                            0x00, 0x06, 127,  0,    0,    1,    0xC5, 0xE5, 0x5A, 0xA5, 0x55, 0xAA};
    EXPECT_EQ(recs[0].bytes, expected);
    EXPECT_EQ(recs[0].from.port, client.local().port);
    EXPECT_EQ(recs[0].command(), cmd::kHandshake);
    responder->clearRequests();
    EXPECT_TRUE(responder->requests().empty());
}

// Every setter must feed its getter, and a wrong-sized payload must change nothing.
TEST_F(SimResponder, SettersFeedTheirGetters) {
    struct Case {
        std::uint16_t setter;
        Bytes sent;
        std::uint16_t getter;
        Bytes expected;
    };
    Bytes intr = orbsim::wire::doublesLE({1, 2, 3, 4, 5, 6, 7, 8});
    Bytes intrStored = intr;
    intrStored.resize(80, 0);  // the two spare values stay
    Bytes extr = orbsim::wire::doublesLE({1, 0, 0, 0, 1, 0, 0, 0, 1, 10, 20, 30});
    const Case cases[] = {
        {cmd::kSetTriggerMode, {0xFF}, cmd::kGetTriggerMode, {0xFF}},
        {cmd::kSetRgbExposureMode, {1}, cmd::kGetRgbExposureMode, {1}},
        {cmd::kSetRgbExposureTime, be16({1, 1404}), cmd::kGetRgbExposureTime, be16({1, 1404})},
        {cmd::kSetHardTriggerFilter, {0x03, 0xE8, 0x00, 0x32}, cmd::kGetHardTriggerFilter, {0x03, 0xE8, 0x00, 0x32}},
        {cmd::kSetRgbGain, be16({988}), cmd::kGetRgbGain, be16({988})},
        {cmd::kSetDistanceMeasure, {7}, cmd::kGetDistanceMeasure, {7}},
        {cmd::kSetCalibrationOffset, {0xFF, 0xFF, 0xFF, 0xF6}, cmd::kGetCalibrationOffset, {0xFF, 0xFF, 0xFF, 0xF6}},
        {cmd::kSetDistanceOffset, {0, 0, 1, 2}, cmd::kGetDistanceOffset, {0, 0, 1, 2}},
        {cmd::kSetSerialNumber, {'S', 'N', '4', '2'}, cmd::kGetSerialNumber, {'S', 'N', '4', '2'}},
        {cmd::kSetRgbIntrinsics, intr, cmd::kGetRgbIntrinsics, intrStored},
        {cmd::kSetLidarToRgbExtrinsics, extr, cmd::kGetLidarToRgbExtrinsics, extr},
        // The shared LiDAR exposure code: a time list, a lone 0 (mode off), a lone 1000.
        {cmd::kSetLidarExposure, be16({1, 4000}), cmd::kGetLidarExposureTime, be16({1, 4000})},
        {cmd::kSetLidarExposure, be16({0}), cmd::kGetLidarExposureMode, {0}},
        {cmd::kSetLidarExposure, be16({0}), cmd::kGetLidarExposureTime, be16({1, 4000})},
        {cmd::kSetLidarExposure, be16({1000}), cmd::kGetLidarExposureMode, {1}},
        {cmd::kSetLidarExposure, be16({1000}), cmd::kGetLidarExposureTime, be16({1000})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setter);
        auto set = client.exchange(c.setter, c.sent);
        EXPECT_EQ(set.status, 0);
        EXPECT_EQ(set.command, c.setter);
        auto get = client.exchange(c.getter);
        EXPECT_EQ(get.status, 0);
        EXPECT_EQ(get.payload, c.expected);
    }
    EXPECT_FLOAT_EQ(static_cast<float>(store->intrinsics()[3]), 4.0f);

    const Bytes before = store->payload(cmd::kGetRgbGain);
    const std::pair<std::uint16_t, Bytes> wrongSize[] = {
        {cmd::kSetRgbGain, {1}}, {cmd::kSetRgbGain, {}}, {cmd::kSetTriggerMode, {1, 2}},
        {cmd::kSetLidarExposure, {1, 2, 3}}, {cmd::kSetRgbIntrinsics, Bytes(63, 0)}, {cmd::kHandshake, {127, 0, 0, 1}},
    };
    for (const auto& [code, payload] : wrongSize) {
        SCOPED_TRACE(code);
        EXPECT_EQ(client.exchange(code, payload).status, orbsim::status::kStructureIncorrect);
    }
    EXPECT_EQ(store->payload(cmd::kGetRgbGain), before);
}

TEST_F(SimResponder, ActionsDiscoveryAndUnknownCommands) {
    for (std::uint16_t a : {0, 1, 2, 4, 5, 2}) EXPECT_EQ(client.exchange(a).status, 0);
    EXPECT_EQ(responder->actionCount(cmd::kSoftTrigger), 2u);
    EXPECT_EQ(responder->actionCount(cmd::kStart), 1u);

    EXPECT_EQ(client.exchange(0x0999).status, orbsim::status::kCommandUndefined);

    client.send(Bytes{0xA5, 0x5A, 0xAA, 0x55, 0x03, 0x00, 0x00, 0x03, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x5A, 0xA5,
                      0x55, 0xAA});
    CommandFrame d;
    ASSERT_EQ(orbsim::wire::decodeFrame(client.receive(), d), orbsim::wire::DecodeResult::Ok);
    EXPECT_EQ(d.command, 3);
    EXPECT_NE(d.status, 0);

    // Without our head magic the camera stays quiet; a bad tail is a structure error.
    client.send(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18});
    CommandFrame f;
    f.command = cmd::kGetRgbGain;
    Bytes badTail = orbsim::wire::encodeFrame(f);
    badTail.back() = 0;
    client.send(badTail);
    CommandFrame r;
    ASSERT_EQ(orbsim::wire::decodeFrame(client.receive(), r), orbsim::wire::DecodeResult::Ok);
    EXPECT_EQ(r.command, cmd::kGetRgbGain);
    EXPECT_EQ(r.status, orbsim::status::kStructureIncorrect);
    EXPECT_EQ(responder->requests().size(), 10u);
}

TEST_F(SimResponder, FaultInjection) {
    // Silence once, then the resend is answered.
    Fault silentOnce;
    silentOnce.remaining = 1;
    silentOnce.silent = true;
    responder->setFault(cmd::kGetTriggerMode, silentOnce);
    client.send(cmd::kGetTriggerMode);
    EXPECT_TRUE(client.receive(150).empty());
    EXPECT_EQ(client.exchange(cmd::kGetTriggerMode).status, 0);

    // A chosen status, for every command.
    Fault st;
    st.status = 5;
    responder->setFaultAll(st);
    EXPECT_EQ(client.exchange(cmd::kGetRgbGain).status, 5);
    responder->clearFaults();

    // Another command code first, then the reply.
    Fault wrong;
    wrong.wrongCommandFirst = 0x0305;
    responder->setFault(cmd::kGetTriggerMode, wrong);
    EXPECT_EQ(client.exchange(cmd::kGetTriggerMode).command, 0x0305);
    CommandFrame second;
    ASSERT_EQ(orbsim::wire::decodeFrame(client.receive(), second), orbsim::wire::DecodeResult::Ok);
    EXPECT_EQ(second.command, cmd::kGetTriggerMode);

    // A two-frame chain: first frame now, second frame when the request is repeated.
    Fault split;
    split.splitChain = true;
    split.remaining = 1;
    responder->setFault(cmd::kGetRgbGain, split);
    auto first = client.exchange(cmd::kGetRgbGain);
    EXPECT_EQ(first.count, 2);
    EXPECT_EQ(first.payload, store->payload(cmd::kGetRgbGain));
    auto tail = client.exchange(cmd::kGetRgbGain);
    EXPECT_EQ(tail.count, 2);
    EXPECT_TRUE(tail.payload.empty());

    // Short payload and delay.
    Fault shortDelayed;
    shortDelayed.truncatePayload = 3;
    shortDelayed.delayMs = 50;
    responder->setFault(cmd::kGetRgbIntrinsics, shortDelayed);
    EXPECT_EQ(client.exchange(cmd::kGetRgbIntrinsics).payload.size(), 3u);

    // A stray reply from another address, then the real one from the device.
    Fault stray;
    stray.strayFromIp = "127.0.0.3";
    responder->setFault(cmd::kGetDistanceOffset, stray);
    client.send(cmd::kGetDistanceOffset);
    net::Endpoint from1, from2;
    Bytes a = client.receive(1000, &from1);
    Bytes b = client.receive(1000, &from2);
    EXPECT_EQ(net::formatIPv4(from1.addr), "127.0.0.3");
    EXPECT_EQ(net::formatIPv4(from2.addr), kDeviceIp);
    EXPECT_EQ(from2.port, orbsim::kCommandPort);
    CommandFrame fa, fb;
    ASSERT_EQ(orbsim::wire::decodeFrame(a, fa), orbsim::wire::DecodeResult::Ok);
    ASSERT_EQ(orbsim::wire::decodeFrame(b, fb), orbsim::wire::DecodeResult::Ok);
    EXPECT_EQ(fa.command, fb.command);
    EXPECT_NE(fa.payload, fb.payload);
}

TEST_F(SimResponder, SecondResponderOnTheSameAddressFailsToStart) {
    CommandResponder twin(store, orbsim::ResponderOptions{});
    std::string err;
    EXPECT_FALSE(twin.start(&err));
    EXPECT_FALSE(err.empty());
    responder->stop();
    EXPECT_TRUE(twin.start(&err)) << err;
}

// The default calibration must make fusion meaningful: points ahead of the
// LiDAR land inside the 1600 x 1200 image, the centre line near the centre.
TEST(SimDefaults, CalibrationProjectsPointsAheadIntoTheImage) {
    SettingsStore s(kDeviceIp);
    auto k = s.intrinsics();
    auto e = s.extrinsics();
    ASSERT_EQ(k.size(), 10u);
    ASSERT_EQ(e.size(), 12u);
    auto project = [&](double x, double y, double z, double& u, double& v) {
        double c[3];
        for (int r = 0; r < 3; ++r) c[r] = e[r * 3] * x + e[r * 3 + 1] * y + e[r * 3 + 2] * z + e[9 + r];
        u = k[0] * c[0] / c[2] + k[2];
        v = k[1] * c[1] / c[2] + k[3];
        return c[2];
    };
    double u, v;
    EXPECT_NEAR(project(300, 0, 2, u, v), 300, 1e-9);  // level with the camera
    EXPECT_NEAR(u, 800, 1);
    EXPECT_NEAR(v, 600, 1);
    project(100, 50, 0, u, v);  // y grows with the scan column: right half of the image
    EXPECT_GT(u, 800);
    EXPECT_LT(u, 1600);
    project(100, 0, 40, u, v);  // above: upper half
    EXPECT_GT(v, 0);
    EXPECT_LT(v, 600);
    EXPECT_FALSE(s.serialNumber().empty());
    EXPECT_NE(s.serialNumber(), SettingsStore("127.0.0.3").serialNumber());
}

// Components start after the responder in attach order, stop in reverse,
// and a failing one unwinds what already started.
TEST(SimCamera, ComponentsStartInOrderAndUnwindOnFailure) {
    struct Probe {
        std::vector<std::string>* log;
        std::string name;
        bool ok;
        bool start(std::string* err) {
            log->push_back("start " + name);
            if (!ok) *err = "refused";
            return ok;
        }
        void stop() { log->push_back("stop " + name); }
    };
    struct VoidProbe {
        std::vector<std::string>* log;
        void start() { log->push_back("start void"); }
        void stop() { log->push_back("stop void"); }
    };
    std::vector<std::string> log;
    {
        orbsim::Camera cam(orbsim::CameraOptions{});
        cam.attach("a", std::make_unique<Probe>(Probe{&log, "a", true}));
        cam.attach("v", std::make_unique<VoidProbe>(VoidProbe{&log}));
        cam.attach("b", std::make_unique<Probe>(Probe{&log, "b", false}));
        std::string err;
        EXPECT_FALSE(cam.start(&err));
        EXPECT_EQ(err, "b: refused");
        EXPECT_FALSE(cam.running());
        EXPECT_FALSE(cam.responder().running());
        EXPECT_EQ(cam.find<VoidProbe>()->log, &log);
        EXPECT_EQ(cam.find<Client>(), nullptr);
    }
    const std::vector<std::string> expected = {"start a", "start void", "start b", "stop void", "stop a"};
    EXPECT_EQ(log, expected);

    orbsim::Camera cam(orbsim::CameraOptions{});
    ASSERT_TRUE(cam.start());
    Client c;
    EXPECT_EQ(c.exchange(cmd::kGetSerialNumber).payload.size(), cam.store()->serialNumber().size());
    cam.stop();
    cam.stop();
}

// The components a camera builds from its options run on its address and
// follow the handshake.
TEST(SimCamera, BuiltInComponentsFollowTheHandshake) {
    net::Socket data = net::udpSocket(), imu = net::udpSocket(), cloud = net::udpSocket();
    ASSERT_TRUE(net::bindTo(cloud, "127.0.0.1", 0));
    net::Endpoint cloudLocal, dataLocal;
    net::localEndpoint(cloud, cloudLocal);
    // A data port whose successor is free too.
    bool bound = false;
    for (std::uint16_t port = 47100; port < 47200 && !bound; port += 2) {
        if (!net::bindTo(data, "127.0.0.1", port)) continue;
        if (net::bindTo(imu, "127.0.0.1", static_cast<std::uint16_t>(port + 1))) {
            bound = true;
        } else {
            net::closeSocket(data);
            data = net::udpSocket();
        }
    }
    ASSERT_TRUE(bound);
    net::localEndpoint(data, dataLocal);

    orbsim::CameraOptions o;
    o.deviceIp = "127.0.0.3";
    o.controlServer = orbsim::ControlServerOptions{};
    o.imuRateHz = 200.0;
    o.rgb = orbsim::RgbSenderOptions{};
    o.rgb->format = orbsim::kRgbNv12;  // JPEG encoding trips a lock-order report inside libgdal under TSan
    o.pointCloud = orbsim::StreamerOptions{};
    o.pointCloud->hostPort = cloudLocal.port;
    o.pointCloud->frameRate = 10;
    orbsim::Camera cam(o);
    std::string err;
    ASSERT_TRUE(cam.start(&err)) << err;
    ASSERT_NE(cam.controlServer(), nullptr);
    EXPECT_EQ(cam.announcer(), nullptr);

    Bytes hs = {127, 0, 0, 1, static_cast<std::uint8_t>(dataLocal.port >> 8), static_cast<std::uint8_t>(dataLocal.port)};
    Client c;
    c.send(orbsim::wire::encodeFrame(CommandFrame{0x3F, 0, cmd::kHandshake, 1, 1, hs}), "127.0.0.3");
    EXPECT_FALSE(c.receive(2000).empty());

    for (net::Socket s : {cloud, imu, data}) {
        Bytes buf(65535);
        net::Endpoint from;
        ASSERT_TRUE(net::waitReadable(s, 5000));
        EXPECT_GT(net::recvFrom(s, buf.data(), buf.size(), &from), 0);
        EXPECT_EQ(net::formatIPv4(from.addr), "127.0.0.3");
    }
    cam.stop();
    for (net::Socket s : {cloud, imu, data}) net::closeSocket(s);
}

}  // namespace
