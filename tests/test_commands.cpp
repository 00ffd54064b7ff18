// Guards commands and control server against wrong bytes, misread or foreign replies, lost retries and stale caches.

#include "command_responder.h"
#include "control_server.h"
#include "device/device.h"
#include "settings_store.h"
#include "support/harness.h"
#include "wire_sim.h"

namespace {

using namespace orbtest;
using orbsim::CsFault;
constexpr const char* kIp = "127.0.0.2";
constexpr std::uint16_t kPort = 16201;
constexpr std::uint16_t kHandshake = 0x0100, kInverted = 0x033E, kRgbEnabled = 0x0328, kRgbRotation = 0x0337;

Bytes doublesLE(const std::vector<double>& v) {
    Bytes b;
    for (double d : v) orbsim::wire::putF64LE(b, d);
    return b;
}

class Commands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);  // also the control socket and the host address
    }
    static void TearDownTestSuite() { ZelOrbStopReceiveData(), ZelOrbDeinit(); }
    void SetUp() override {
        orbsim::CameraOptions o;
        o.deviceIp = kIp;
        o.controlServer = orbsim::ControlServerOptions{};
        cam = startCamera(o);
        server = cam->controlServer();
        orbsim::NetSettings n;
        n.lidarIp = kIp, n.hostIp = kHost, n.lidarPort = 6301, n.hostPort = 6001;
        for (std::size_t i = 0; i < n.extra.size(); ++i) n.extra[i] = static_cast<std::uint8_t>(0xA0 + i);
        store().setNetSettings(n);
    }
    void TearDown() override { ZelOrbDisconnectAllDevice(); }
    void connect() {
        ASSERT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_OK);
        dev().clearRequests();
    }
    std::vector<int> commands() {
        std::vector<int> out;
        for (const auto& q : dev().requests()) out.push_back(q.command());
        return out;
    }
    orbsim::CommandResponder& dev() { return cam->responder(); }
    orbsim::SettingsStore& store() { return *cam->store(); }
    std::unique_ptr<orbsim::Camera> cam;
    orbsim::ControlServer* server = nullptr;
};

// Every output any getter writes, filled with a pattern to see what a getter wrote.
struct Outputs {
    Outputs() { fillPattern(this, sizeof *this); }
    std::int32_t i32, count;
    std::uint32_t a, b, values[4];
    std::uint16_t h1, h2;
    std::uint8_t u8, text[24];
    float floats[12];
    char v1[20], v2[20];
};
struct Getter {
    std::uint16_t command;
    std::function<std::int32_t(Outputs&)> call;
};
#define GETTER(command, expr) {command, [](Outputs& o) -> std::int32_t { return expr; }}
const std::vector<Getter> kGetters = {
    GETTER(0x0301, ZelOrbGetDeviceSoftwareVersion(kIp, o.v1, o.v2, sizeof o.v1)),
    GETTER(0x0300, ZelOrbGetDeviceSerialNumber(kIp, o.text, sizeof o.text)),
    GETTER(0x0306, ZelGetExposureTime(kIp, 1, o.values, 4, &o.count)), GETTER(0x030D, ZelGetExposureMode(kIp, 1, &o.a)),
    GETTER(0x032C, ZelGetExposureTime(kIp, 2, o.values, 4, &o.count)), GETTER(0x032B, ZelGetExposureMode(kIp, 2, &o.a)),
    GETTER(0x0338, ZelOrbGetRgbExposureTimeRange(kIp, &o.h1, &o.h2)), GETTER(0x0304, ZelGetTriggerMode(kIp, &o.i32)),
    GETTER(0x030F, ZelOrbGetDeviceType(kIp, o.text, sizeof o.text)), GETTER(0x0332, ZelGetRgbSensorGain(kIp, &o.a)),
    GETTER(0x032F, ZelGetHardTriggerFilterParams(kIp, &o.a, &o.b)),
    GETTER(0x033C, ZelOrbGetCalibrationDistanceOffset(kIp, &o.a)),
    GETTER(0x0329, ZelGetLidarToRgbExtrinsicParam(kIp, o.floats)),
    GETTER(0x0336, ZelGetLidarToIMUExtrinsicParam(kIp, o.floats)),
    GETTER(0x033D, ZelGetDistanceMeasureConfigure(kIp, &o.u8)), GETTER(0x032A, ZelGetIntrinsicParam(kIp, 2, o.floats)),
    GETTER(0x0339, ZelOrbGetRgbGainRange(kIp, &o.h1, &o.h2)),
    GETTER(0x033B, ZelOrbGetDistanceOffset(kIp, &o.a)),  // library codes: -1 for every failure
};

const float kIntrinsics[8] = {1500.5f, 1499.25f, 800.0f, -600.125f, 0.5f, -0.25f, 0.0625f, -1e-3f};
const float kExtrinsics[12] = {1, 0, 0, 0, -1, 0, 0, 0, 1, 0.125f, -2.5f, 1e6f};
struct Sent {
    std::function<std::int32_t()> call;
    std::uint16_t command;
    Bytes payload;
};
#define SENT(expr, command, ...) {[]() -> std::int32_t { return expr; }, command, __VA_ARGS__}
const std::vector<Sent> kSends = [] {
    static const std::uint32_t lidarTimes[] = {1, 4000}, rgbTime[] = {1404};
    return std::vector<Sent>{
        SENT(ZelStart(kIp), 0x0000, {}), SENT(ZelStop(kIp), 0x0001, {}), SENT(ZelSoftTrigger(kIp), 0x0002, {}),
        SENT(ZelSaveConfigureInfo(kIp), 0x0004, {}), SENT(ZelRemoveConfigureInfo(kIp), 0x0005, {}),
        SENT(ZelSetTriggerMode(kIp, 0xAB), 0x0101, {0xAB}), SENT(ZelSetExposureMode(kIp, 1, 5), 0x0104, {0x03, 0xE8}),
        SENT(ZelSetExposureMode(kIp, 1, 0), 0x0104, {0x00, 0x00}), SENT(ZelSetExposureMode(kIp, 2, 7), 0x012B, {0x01}),
        SENT(ZelSetExposureTime(kIp, 1, lidarTimes, 2), 0x0104, {0x00, 0x01, 0x0F, 0xA0}),
        SENT(ZelSetExposureTime(kIp, 2, rgbTime, 1), 0x012C, {0x05, 0x7C}),
        SENT(ZelSetHardTriggerFilterParams(kIp, 1000, 50), 0x0128, {0x03, 0xE8, 0x00, 0x32}),
        SENT(ZelSetRgbSensorGain(kIp, 988), 0x0132, {0x03, 0xDC}),
        SENT(ZelSetDistanceMeasureConfigure(kIp, 7), 0x013D, {7}),
        SENT(ZelOrbSetCalibrationDistanceOffset(kIp, 0x01020304), 0x013C, {0x01, 0x02, 0x03, 0x04}),
        SENT(ZelOrbSetDistanceOffset(kIp, 0xA0B0C0D0), 0x013B, {0xA0, 0xB0, 0xC0, 0xD0}),
        SENT(ZelOrbSetDeviceSerialNumber(kIp, "SN-42"), 0x0123, {'S', 'N', '-', '4', '2'}),
        SENT(ZelSetIntrinsicParam(kIp, 2, kIntrinsics), 0x012A, doublesLE({kIntrinsics, kIntrinsics + 8})),
        SENT(ZelSetLidarToRgbExtrinsicParam(kIp, kExtrinsics), 0x0129, doublesLE({kExtrinsics, kExtrinsics + 12})),
    };
}();

TEST_F(Commands, SettersSendExactlyTheirPayloadAndGettersDecodeTheirReplies) {
    connect();
    for (const Sent& s : kSends) {
        dev().clearRequests();
        EXPECT_EQ(s.call(), 0) << s.command;
        ASSERT_EQ(dev().requests().size(), 1u) << s.command;
        EXPECT_EQ(std::make_pair(dev().requests()[0].command(), dev().requests()[0].payload()),
                  std::make_pair(int{s.command}, s.payload));
    }
    EXPECT_EQ(dev().requests().at(0).bytes, commandFrame(0x0129, 0, kSends.back().payload));
    for (const Getter& g : kGetters) {
        dev().clearRequests();
        Outputs o;
        EXPECT_EQ(g.call(o), 0) << g.command;
        EXPECT_EQ(dev().requests().at(0).bytes, commandFrame(g.command, 0)) << "one empty request";
    }
    // Decoding: signed, an odd byte dropped, texts zero-filled to the size
    // given and no further, at most ten of twelve values, doubles beyond float.
    Outputs o;
    store().setPayload(0x0304, {0xFF});
    ASSERT_EQ(ZelGetTriggerMode(kIp, &o.i32), 0);
    store().setPayload(0x0306, {0x00, 0x0A, 0x01, 0x00, 0x0F});
    ASSERT_EQ(ZelGetExposureTime(kIp, 1, o.values, 2, &o.count), 0);
    store().setPayload(0x0301, {1, 2, 3, 4, 10, 11, 12, 13});
    ASSERT_EQ(ZelOrbGetDeviceSoftwareVersion(kIp, o.v1, o.v2, 18), 0);
    EXPECT_TRUE(o.i32 == -1 && o.count == 2 && o.values[0] == 10u && o.values[1] == 256u &&
                holdsPattern(&o.values[2], 8));
    EXPECT_TRUE(std::string(o.v1) == "1.2.3.4" && std::string(o.v2) == "10.11.12.13" && holdsPattern(&o.v1[18], 2));
    store().setPayload(0x032A, doublesLE({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    ASSERT_EQ(ZelGetIntrinsicParam(kIp, 2, o.floats), 0);
    EXPECT_TRUE(o.floats[0] == 1 && o.floats[9] == 10 && holdsPattern(&o.floats[10], 8));
    store().setPayload(0x0336, doublesLE({1e300, -1e300, 0.5, 0, 0, 0, 0, 0, 0, 0, 0, -7.25}));
    ASSERT_EQ(ZelGetLidarToIMUExtrinsicParam(kIp, o.floats), 0);
    EXPECT_TRUE(o.floats[0] == INFINITY && o.floats[1] == -INFINITY && o.floats[11] == -7.25f);
    // Statuses 1 and 2 are success too; others are reported (outputs on failure are fuzzed).
    dev().setSuccessStatus(2);
    EXPECT_EQ(ZelGetIntrinsicParam(kIp, 2, o.floats), 0);
    dev().setFaultAll(fault([](auto& f) { f.status = 42; }));
    for (const Sent& s : kSends) EXPECT_EQ(s.call(), s.command == 0x013B ? -1 : 42) << s.command;
    for (const Getter& g : kGetters) EXPECT_EQ(g.call(o), g.command == 0x033B ? -1 : 42) << g.command;
}

TEST_F(Commands, RetriesChainsAndForeignOrLateRepliesAreHandledByTheExchange) {
    connect();
    store().setPayload(0x0304, {0x7F});
    const std::tuple<const char*, orbsim::Fault, std::int32_t, std::size_t> cases[] = {
        {"a wrong code first", fault([](auto& f) { f.remaining = 1, f.wrongCommandFirst = 0x0305; }), 0, 2},
        {"a split chain", fault([](auto& f) { f.remaining = 1, f.splitChain = true; }), 0, 2},
        {"a reply from another address first", fault([](auto& f) { f.strayFromIp = "127.0.0.3"; }), 0, 1},
        {"only foreign replies", fault([](auto& f) { f.strayFromIp = "127.0.0.3", f.silent = true; }), 4, 3},
        {"status 5", fault([](auto& f) { f.status = 5; }), 5, 1},
    };
    for (const auto& [name, f, expect, requests] : cases) {
        dev().clearFaults();
        dev().clearRequests();
        dev().setFault(0x0304, f);
        std::int32_t mode = 0;
        EXPECT_EQ(ZelGetTriggerMode(kIp, &mode), expect) << name;
        // A resend may reach the device after the first reply settled the exchange.
        dev().waitForRequests(requests, 500);
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(dev().requests().size(), requests) << name;
        EXPECT_TRUE(expect != 0 || mode == 0x7F) << name;
    }
    // Replies that come after the exchange gave up never answer the next one.
    dev().clearFaults();
    dev().setFault(0x0304, fault([](auto& f) { f.remaining = 3, f.delayMs = 1100, f.payload = Bytes{0xAA}; }));
    std::int32_t mode = 0;
    EXPECT_EQ(ZelGetTriggerMode(kIp, &mode), DEV_COMMAND_STRUCTURE_INCORRECT);
    std::this_thread::sleep_for(900ms);  // the late replies are queued now
    ASSERT_EQ(ZelGetTriggerMode(kIp, &mode), 0);
    EXPECT_EQ(mode, 0x7F);

    // A command in flight finishes on the record it holds; the disconnect does not wait for it.
    dev().setFault(0x033C, fault([](auto& f) { f.delayMs = 150; }));  // within the receive time-out
    store().setPayload(0x033C, {0, 0, 0x12, 0x34});
    dev().clearRequests();
    std::int32_t rc = -100;
    std::uint32_t offset = 0;
    std::thread getter([&] { rc = ZelOrbGetCalibrationDistanceOffset(kIp, &offset); });
    ASSERT_TRUE(dev().waitForRequests(1, 2000));
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_OK);
    getter.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(offset, 0x1234u);
}

// ------------------------------------------------------------------ connecting

TEST_F(Commands, HandshakeAnnouncesHostAndDataPortThenQueriesCacheTheirAnswers) {
    store().setPayload(kRgbEnabled, {1, 0x06, 0x40, 0x04, 0xB0});
    store().setPayload(kRgbRotation, {2});
    ASSERT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_OK);
    EXPECT_EQ(commands(), (std::vector<int>{kHandshake, kInverted, kRgbEnabled, kRgbRotation}));
    // Host 127.0.0.1 in network order and the data port big-endian, from the control port.
    const orbsim::HandshakeInfo h = store().handshake();
    EXPECT_TRUE(h.received && h.hostIp == kHost && (h.dataPort - 50661) % 10 == 0) << h.dataPort;
    const Bytes payload = {127, 0, 0, 1, std::uint8_t(h.dataPort >> 8), std::uint8_t(h.dataPort)};
    EXPECT_EQ(dev().requests()[0].bytes, commandFrame(kHandshake, 0, payload));
    EXPECT_EQ(dev().requests()[0].from.port, orbsim::kCommandPort);
    dev().clearRequests();
    EXPECT_TRUE(ZelGetDeviceRgbEnabled(kIp) && ZelGetDeviceRgbRotation(kIp) && dev().requests().empty()) << "cached";
    // Refused queries keep the rotation but clear RGB enabled; an empty payload is no answer.
    for (std::uint16_t q : {kInverted, kRgbEnabled, kRgbRotation}) dev().setFault(q,
        fault([](auto& f) { f.status = 3; }));
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_TRUE(!ZelGetDeviceRgbEnabled(kIp) && ZelGetDeviceRgbRotation(kIp));
    dev().clearFaults();
    store().setPayload(kRgbRotation, {});
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_TRUE(ZelGetDeviceRgbEnabled(kIp) && ZelGetDeviceRgbRotation(kIp));
    // Each setup takes the next of 21 port pairs.
    std::set<std::uint16_t> ports;
    for (int i = 0; i < 21; ++i, ports.insert(store().handshake().dataPort))
        ASSERT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_EQ(ports.size(), 21u);
}

TEST_F(Commands, ADeviceWhoseSetupFailsStaysRegisteredUntilDisconnected) {
    // A refused handshake: -1997 for a new device, -1 for a known one; no queries either way.
    dev().setFault(kHandshake, fault([](auto& f) { f.status = 5; }));
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_HANDSHAKE_FAILED);
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_GENERAL_ERROR);
    EXPECT_EQ(commands(), (std::vector<int>{kHandshake, kHandshake}));
    dev().clearFaults();
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_DEVICE_NOT_FOUND);
    // A handshake sent to 0.0.0.0 reaches the host's own control socket: its own request is no reply.
    EXPECT_EQ(ZelOrbConnectDevice("0.0.0.0", 6301), RC_HANDSHAKE_FAILED);
    EXPECT_EQ(ZelOrbDisconnectDevice("0.0.0.0"), RC_OK);
    // A host address that is not local: reception starts, but the control
    // socket cannot open (commands give 33) and the device sockets cannot bind.
    dev().clearRequests();
    testing::internal::CaptureStdout();
    EXPECT_EQ(ZelOrbStartReceiveData("192.0.2.1", kPort), RC_GENERAL_ERROR);
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_HANDSHAKE_FAILED);
    std::int32_t mode = 0;
    EXPECT_EQ(ZelGetTriggerMode(kIp, &mode), DEV_CONTROL_SOCKET_INVALID);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(dev().requests().empty());
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_EQ(ZelGetTriggerMode(kIp, &mode), 0);
}

// ----------------------------------------------------------- control server

TEST_F(Commands, NetworkSettingsAreTakenFromWholeRepliesAndWrittenBackWithTheLastReadsFurtherBytes) {
    ZelOrbNetInfo info{};
    ASSERT_EQ(ZelOrbGetNetInfo(kIp, &info), RC_OK);
    EXPECT_EQ(std::make_tuple(std::string(info.lidar_ip), std::string(info.host_ip), info.lidar_port, info.host_port),
              std::make_tuple(std::string(kIp), std::string(kHost), std::uint16_t{6301}, std::uint16_t{6001}));
    EXPECT_EQ(server->requestsFor(2).at(0).payload, (Bytes{0x00, 0x20, 0x00, 0x00})) << "asks for 8192 bytes";
    info.lidar_port = 6001;
    std::strcpy(info.host_ip, "127.0.0.9");
    ASSERT_EQ(ZelOrbSetNetInfo(kIp, &info), RC_OK);
    Bytes expected = {127, 0, 0, 2, 127, 0, 0, 9, 0x71, 0x17, 0x71, 0x17};
    for (std::uint8_t i = 0; i < 32; ++i) expected.push_back(0xA0 + i);
    EXPECT_EQ(server->requestsFor(0x0201).at(0).payload, expected);
    EXPECT_TRUE(store().netSettings().hostIp == "127.0.0.9" && store().netSettings().lidarPort == 6001);
    orbsim::CameraOptions o;  // a device never read: the further bytes are zeros
    o.deviceIp = "127.0.0.3";
    o.controlServer = orbsim::ControlServerOptions{};
    auto cam2 = startCamera(o);
    ASSERT_EQ(ZelOrbSetNetInfo("127.0.0.3", &info), RC_OK);
    const Bytes sent2 = cam2->controlServer()->requestsFor(0x0201).at(0).payload;
    EXPECT_EQ(Bytes(sent2.begin() + 12, sent2.end()), Bytes(32, 0));

    // A bad header check or a trailing byte: dropped and asked again; a split
    // reply is reassembled; the payload check of a reply is not examined; a
    // reply of the wrong size is no reply. Failed reads write nothing.
    const std::tuple<CsFault, int, int, std::int32_t, std::size_t> cases[] = {
        {CsFault::BadHeaderCrc, 1, -1, RC_OK, 2}, {CsFault::LengthTooShort, 1, -1, RC_OK, 2},
        {CsFault::SplitSegments, 1, -1, RC_OK, 1}, {CsFault::BadPayloadCrc, 1, -1, RC_OK, 1},
        {CsFault::BadHeaderCrc, -1, -1, RC_GET_NET_ADDRESS_FAILED, 2},
        {CsFault::None, 0, 43, RC_GET_NET_ADDRESS_FAILED, 1}, {CsFault::None, 0, 45, RC_GET_NET_ADDRESS_FAILED, 1}};
    for (const auto& [f, times, length, rc, requests] : cases) {
        server->clearRequests();
        server->setFault(f, times, 0x0202);
        server->setNetReplyDataLength(length);
        std::strcpy(info.lidar_ip, "untouched");
        EXPECT_EQ(ZelOrbGetNetInfo(kIp, &info), rc) << static_cast<int>(f) << " " << length;
        EXPECT_EQ(server->requestsFor(0x0202).size(), requests) << static_cast<int>(f);
        EXPECT_EQ(std::string(info.lidar_ip), rc == RC_OK ? kIp : "untouched");
        server->clearFault();
    }
    server->setNetReplyDataLength(-1);
    const std::uint64_t before = server->connectionCount();
    std::strcpy(info.lidar_ip, "0.0.0.0");
    EXPECT_EQ(ZelOrbSetNetInfo(kIp, &info), RC_SET_NET_ADDRESS_FAILED);
    EXPECT_EQ(server->connectionCount(), before) << "refused before connecting";
    testing::internal::CaptureStdout();
    EXPECT_EQ(ZelOrbGetNetInfo("127.0.0.9", &info), RC_GET_NET_ADDRESS_FAILED);  // nothing listens there
    EXPECT_NE(testing::internal::GetCapturedStdout().find("connect to ctrl-server error"), std::string::npos);
}

TEST_F(Commands, ModeSwitchesSendTheFixedFramesAndReportUnconfirmedSwitches) {
    EXPECT_EQ(ZelOrbSetDeviceMode(kIp, 1), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(server->connectionCount(), 0u);
    orb::DeviceRecord& rec = addDevice(kIp);
    ASSERT_EQ(ZelOrbSetDeviceMode(kIp, 1), RC_OK);
    ASSERT_EQ(ZelOrbSetDeviceMode(kIp, 0), RC_OK);
    const auto modes = server->requestsFor(0x0100);
    ASSERT_EQ(modes.size(), 2u);
    EXPECT_EQ(modes[0].bytes, orbsim::cs::encode(orbsim::cs::Frame{1, 0, 0x0100, {9, 0, 0, 0}}));
    EXPECT_EQ(modes[1].bytes, orbsim::cs::encode(orbsim::cs::Frame{1, 0, 0x0100, {1, 0, 0, 0}}));
    EXPECT_EQ(rec.stream.processingMode.load(), 3);
    const std::uint64_t connections = server->connectionCount();
    EXPECT_EQ(ZelOrbSetDeviceMode(kIp, 2), RC_OK);  // undefined: connects, sends no frame
    EXPECT_TRUE(server->connectionCount() == connections + 1 && server->requestsFor(0x0100).size() == 2u);
    // A reply with another payload check is not the confirmation: -1 after
    // three frames, the mode stored all the same.
    server->clearRequests();
    server->setFault(CsFault::BadPayloadCrc, -1, 0x0100);
    EXPECT_EQ(ZelOrbSetDeviceMode(kIp, 1), RC_GENERAL_ERROR);
    EXPECT_EQ(server->requestsFor(0x0100).size(), 3u);
    EXPECT_TRUE(rec.stream.processingMode.load() == 7 && store().deviceMode() == 1);
    server->setFault(CsFault::Silence, -1, 0x0100);  // fails instead of holding the registry lock
    EXPECT_EQ(ZelOrbSetDeviceMode(kIp, 0), RC_GENERAL_ERROR);
    EXPECT_EQ(rec.stream.processingMode.load(), 3);
    server->setFault(CsFault::SplitSegments, -1, 0x0100);  // a split confirmation is still one
    EXPECT_EQ(ZelOrbSetDeviceMode(kIp, 1), RC_OK);
    EXPECT_TRUE(removeDevice(kIp));
}

}  // namespace
