// Guards the command channel and connections against wrong request bytes, misdecoded or foreign replies, outputs written on failure, lost retries and cached values gone stale, against the simulated camera on loopback.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
#include <thread>

#include "command_responder.h"
#include "settings_store.h"
#include "support/harness.h"
#include "wire_sim.h"

namespace {

using namespace orbtest;
constexpr const char* kIp = "127.0.0.2";
constexpr std::uint16_t kPort = 16201;
constexpr std::uint16_t kHandshake = 0x0100, kInverted = 0x033E, kRgbEnabled = 0x0328, kRgbRotation = 0x0337;

Bytes doublesLE(const std::vector<double>& v) {
    Bytes b;
    for (double d : v) orbsim::wire::putF64LE(b, d);
    return b;
}
std::vector<int> commands(const orbsim::CommandResponder& r) {
    std::vector<int> out;
    for (const auto& q : r.requests()) out.push_back(q.command());
    return out;
}

class Commands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(ZelOrbInit(), 0);
        ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);  // also the control socket and the host address
    }
    static void TearDownTestSuite() {
        ZelOrbStopReceiveData();
        ZelOrbDeinit();
    }
    void SetUp() override {
        orbsim::CameraOptions o;
        o.deviceIp = kIp;
        cam = startCamera(o);
    }
    void TearDown() override { ZelOrbDisconnectAllDevice(); }
    void connect() {
        ASSERT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_OK);
        dev().clearRequests();
    }
    orbsim::CommandResponder& dev() { return cam->responder(); }
    orbsim::SettingsStore& store() { return *cam->store(); }
    std::unique_ptr<orbsim::Camera> cam;
};

// Every output any getter writes, filled with a pattern to catch a getter
// that writes when it must not.
struct Outputs {
    Outputs() { fillPattern(this, sizeof *this); }
    bool untouched() const { return holdsPattern(this, sizeof *this); }
    std::int32_t i32, count;
    std::uint32_t a, b, values[4];
    std::uint16_t h1, h2;
    std::uint8_t u8, text[24];
    float floats[12];
    char v1[20], v2[20];
};

struct Getter {
    std::uint16_t command;
    std::size_t need;  // reply bytes it decodes
    std::function<std::int32_t(Outputs&)> call;
};
#define GETTER(command, need, expr) {command, need, [](Outputs& o) -> std::int32_t { return expr; }}
const std::vector<Getter> kGetters = {
    GETTER(0x0304, 1, ZelGetTriggerMode(kIp, &o.i32)), GETTER(0x030D, 1, ZelGetExposureMode(kIp, 1, &o.a)),
    GETTER(0x032B, 1, ZelGetExposureMode(kIp, 2, &o.a)), GETTER(0x0306, 0, ZelGetExposureTime(kIp, 1, o.values, 4, &o.count)),
    GETTER(0x032C, 0, ZelGetExposureTime(kIp, 2, o.values, 4, &o.count)), GETTER(0x032F, 4, ZelGetHardTriggerFilterParams(kIp, &o.a, &o.b)),
    GETTER(0x0332, 2, ZelGetRgbSensorGain(kIp, &o.a)), GETTER(0x0338, 4, ZelOrbGetRgbExposureTimeRange(kIp, &o.h1, &o.h2)),
    GETTER(0x0339, 4, ZelOrbGetRgbGainRange(kIp, &o.h1, &o.h2)), GETTER(0x033D, 1, ZelGetDistanceMeasureConfigure(kIp, &o.u8)),
    GETTER(0x033C, 4, ZelOrbGetCalibrationDistanceOffset(kIp, &o.a)),
    GETTER(0x033B, 4, ZelOrbGetDistanceOffset(kIp, &o.a)),  // library codes: -1 for every failure
    GETTER(0x0300, 1, ZelOrbGetDeviceSerialNumber(kIp, o.text, sizeof o.text)), GETTER(0x030F, 1, ZelOrbGetDeviceType(kIp, o.text, sizeof o.text)),
    GETTER(0x0301, 8, ZelOrbGetDeviceSoftwareVersion(kIp, o.v1, o.v2, sizeof o.v1)), GETTER(0x032A, 32, ZelGetIntrinsicParam(kIp, 2, o.floats)),
    GETTER(0x0329, 96, ZelGetLidarToRgbExtrinsicParam(kIp, o.floats)), GETTER(0x0336, 96, ZelGetLidarToIMUExtrinsicParam(kIp, o.floats)),
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
        SENT(ZelSetHardTriggerFilterParams(kIp, 65535, 65535), 0x0128, {0xFF, 0xFF, 0xFF, 0xFF}),
        SENT(ZelSetRgbSensorGain(kIp, 16), 0x0132, {0x00, 0x10}), SENT(ZelSetRgbSensorGain(kIp, 988), 0x0132, {0x03, 0xDC}),
        SENT(ZelSetDistanceMeasureConfigure(kIp, 7), 0x013D, {0x07}),
        SENT(ZelOrbSetCalibrationDistanceOffset(kIp, 0x01020304), 0x013C, {0x01, 0x02, 0x03, 0x04}),
        SENT(ZelOrbSetDistanceOffset(kIp, 0xA0B0C0D0), 0x013B, {0xA0, 0xB0, 0xC0, 0xD0}),
        SENT(ZelOrbSetDeviceSerialNumber(kIp, "SN-42"), 0x0123, {'S', 'N', '-', '4', '2'}),
        SENT(ZelSetIntrinsicParam(kIp, 2, kIntrinsics), 0x012A, doublesLE(std::vector<double>(kIntrinsics, kIntrinsics + 8))),
        SENT(ZelSetLidarToRgbExtrinsicParam(kIp, kExtrinsics), 0x0129, doublesLE(std::vector<double>(kExtrinsics, kExtrinsics + 12))),
    };
}();

TEST_F(Commands, SettersAndActionsSendExactlyTheirPayloadAndGettersAnEmptyRequest) {
    connect();
    for (const Sent& s : kSends) {
        dev().clearRequests();
        EXPECT_EQ(s.call(), 0) << s.command;
        const auto r = dev().requests();
        ASSERT_EQ(r.size(), 1u) << s.command;
        EXPECT_EQ(std::make_pair(r[0].command(), r[0].payload()), std::make_pair(int{s.command}, s.payload));
    }
    dev().clearRequests();
    ASSERT_EQ(ZelSoftTrigger(kIp), 0);
    EXPECT_EQ(dev().requests().at(0).bytes, commandFrame(0x0002, 0));
    for (const Getter& g : kGetters) {
        dev().clearRequests();
        Outputs o;
        EXPECT_EQ(g.call(o), 0) << g.command;
        const auto r = dev().requests();
        ASSERT_EQ(r.size(), 1u) << g.command;
        EXPECT_TRUE(r[0].command() == g.command && r[0].payload().empty()) << g.command;
    }
}

TEST_F(Commands, GettersDecodeTheirRepliesAndWriteOnlyWhatFits) {
    connect();
    struct Case {
        std::uint16_t command;
        Bytes reply;
        std::function<void(Outputs&)> check;  // calls the getter on fresh outputs
    };
    const Case cases[] = {
        {0x0304, {0xFF}, [](Outputs& o) { ASSERT_EQ(ZelGetTriggerMode(kIp, &o.i32), 0); EXPECT_EQ(o.i32, -1); }},  // signed
        {0x032B, {0x07}, [](Outputs& o) { ASSERT_EQ(ZelGetExposureMode(kIp, 2, &o.a), 0); EXPECT_EQ(o.a, 1u); }},  // a flag
        {0x0306, {0x00, 0x0A, 0x01, 0x00, 0x0F}, [](Outputs& o) {  // an odd byte is dropped
             ASSERT_EQ(ZelGetExposureTime(kIp, 1, o.values, 2, &o.count), 0);
             EXPECT_TRUE(o.count == 2 && o.values[0] == 10u && o.values[1] == 256u && holdsPattern(&o.values[2], 8));
         }},
        {0x032F, {0x03, 0xE8, 0x00, 0x32}, [](Outputs& o) {
             ASSERT_EQ(ZelGetHardTriggerFilterParams(kIp, &o.a, &o.b), 0);
             EXPECT_TRUE(o.a == 1000u && o.b == 50u);
         }},
        {0x0339, {0x03, 0xDC, 0x00, 0x10}, [](Outputs& o) {  // the range comes maximum first
             ASSERT_EQ(ZelOrbGetRgbGainRange(kIp, &o.h1, &o.h2), 0);
             EXPECT_TRUE(o.h1 == 16u && o.h2 == 988u);
         }},
        {0x033C, {0x81, 0x02, 0x03, 0x04, 0xEE}, [](Outputs& o) {
             ASSERT_EQ(ZelOrbGetCalibrationDistanceOffset(kIp, &o.a), 0);
             EXPECT_EQ(o.a, 0x81020304u);
         }},
        {0x0301, {1, 2, 3, 4, 10, 11, 12, 13}, [](Outputs& o) {  // zero-filled to the size given, not beyond
             ASSERT_EQ(ZelOrbGetDeviceSoftwareVersion(kIp, o.v1, o.v2, 18), 0);
             EXPECT_TRUE(std::string(o.v1) == "1.2.3.4" && std::string(o.v2) == "10.11.12.13" && o.v1[17] == 0 && holdsPattern(&o.v1[18], 2));
         }},
        {0x032A, doublesLE({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), [](Outputs& o) {  // at most ten values
             ASSERT_EQ(ZelGetIntrinsicParam(kIp, 2, o.floats), 0);
             for (int i = 0; i < 10; ++i) EXPECT_EQ(o.floats[i], float(i + 1));
             EXPECT_TRUE(holdsPattern(&o.floats[10], 8));
         }},
        {0x032A, doublesLE({1, 2, 3, 4, 5}), [](Outputs& o) {  // the spare values zeroed
             ASSERT_EQ(ZelGetIntrinsicParam(kIp, 2, o.floats), 0);
             EXPECT_TRUE(o.floats[4] == 5.0f && o.floats[5] == 0 && o.floats[9] == 0);
         }},
        {0x0336, doublesLE({1e300, -1e300, 0.5, 0, 0, 0, 0, 0, 0, 0, 0, -7.25}), [](Outputs& o) {
             ASSERT_EQ(ZelGetLidarToIMUExtrinsicParam(kIp, o.floats), 0);
             EXPECT_TRUE(o.floats[0] == INFINITY && o.floats[1] == -INFINITY && o.floats[2] == 0.5f && o.floats[11] == -7.25f);
         }},
        {0x032C, {0x00, 0x01, 0x02, 0x00, 0x05, 0x7C}, [](Outputs& o) {  // three values need a capacity of three
             EXPECT_EQ(ZelGetExposureTime(kIp, 2, o.values, 2, &o.count), DEV_BUFFER_OUT_OF_MEMORY);
             EXPECT_TRUE(o.untouched());
             ASSERT_EQ(ZelGetExposureTime(kIp, 2, o.values, 3, &o.count), 0);
             EXPECT_TRUE(o.count == 3 && o.values[0] == 1u && o.values[1] == 512u && o.values[2] == 1404u);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        store().setPayload(c.command, c.reply);
        Outputs o;
        c.check(o);
    }
    // Texts need room for their NUL; an empty text is no answer.
    for (const auto& [command, getter] : {std::pair{0x0300, ZelOrbGetDeviceSerialNumber}, {0x030F, ZelOrbGetDeviceType}}) {
        store().setPayload(command, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});
        Outputs o;
        EXPECT_EQ(getter(kIp, o.text, 8), DEV_BUFFER_OUT_OF_MEMORY);
        EXPECT_TRUE(o.untouched());
        ASSERT_EQ(getter(kIp, o.text, 10), 0);
        EXPECT_TRUE(std::string(reinterpret_cast<char*>(o.text)) == "ABCDEFGH" && o.text[9] == 0 && holdsPattern(&o.text[10], 1));
        store().setPayload(command, {});
        Outputs empty;
        EXPECT_EQ(getter(kIp, empty.text, 8), DEV_DATA_SIZE_MISMATCH);
        EXPECT_TRUE(empty.untouched());
    }
}

TEST_F(Commands, ShortRepliesStatusesAndSilenceFailWithoutWriting) {
    connect();
    for (const Getter& g : kGetters) {
        if (g.need == 0) continue;  // the exposure lists decode any length
        store().setPayload(g.command, Bytes(g.need - 1, 0x11));
        Outputs o;
        EXPECT_EQ(g.call(o), g.command == 0x033B ? std::int32_t{RC_GENERAL_ERROR} : std::int32_t{DEV_DATA_SIZE_MISMATCH}) << g.command;
        EXPECT_TRUE(o.untouched()) << g.command;
    }
    store().loadDefaults();
    orbsim::Fault status;
    status.status = 42;
    dev().setFaultAll(status);
    for (const Getter& g : kGetters) {
        Outputs o;
        EXPECT_EQ(g.call(o), g.command == 0x033B ? RC_GENERAL_ERROR : 42) << g.command;
        EXPECT_TRUE(o.untouched()) << g.command;
    }
    for (const Sent& s : kSends) EXPECT_EQ(s.call(), s.command == 0x013B ? RC_GENERAL_ERROR : 42) << s.command;
    dev().clearFaults();
    dev().setSuccessStatus(2);  // 1 and 2 are success too
    store().setPayload(0x0332, {0x00, 0x40});
    Outputs o;
    ASSERT_EQ(ZelGetRgbSensorGain(kIp, &o.a), 0);
    EXPECT_EQ(o.a, 64u);
    orbsim::Fault silent;
    silent.silent = true;
    dev().setFault(0x0304, silent);
    dev().clearRequests();
    EXPECT_EQ(ZelGetTriggerMode(kIp, &o.i32), DEV_COMMAND_STRUCTURE_INCORRECT);  // no reply after three attempts
    EXPECT_EQ(dev().requests().size(), 3u);
    EXPECT_TRUE(holdsPattern(&o.i32, sizeof o.i32));
}

TEST_F(Commands, RetriesChainsAndForeignRepliesAreHandledByTheExchange) {
    connect();
    store().setPayload(0x0304, {0x7F});
    auto fault = [](auto set) { orbsim::Fault f; set(f); return f; };
    struct Case {
        const char* name;
        orbsim::Fault fault;
        std::int32_t expect;
        std::size_t requests;
    };
    const Case cases[] = {
        {"a wrong code first: asked again at once", fault([](auto& f) { f.remaining = 1; f.wrongCommandFirst = 0x0305; }), 0, 2},
        {"a split chain: the rest asked for", fault([](auto& f) { f.remaining = 1; f.splitChain = true; }), 0, 2},
        {"a reply from another address first", fault([](auto& f) { f.strayFromIp = "127.0.0.3"; }), 0, 1},
        {"only a reply from another address", fault([](auto& f) { f.strayFromIp = "127.0.0.3"; f.silent = true; }), 4, 3},
        {"status 5", fault([](auto& f) { f.status = 5; }), 5, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dev().clearFaults();
        dev().clearRequests();
        dev().setFault(0x0304, c.fault);
        std::int32_t mode = 0;
        EXPECT_EQ(ZelGetTriggerMode(kIp, &mode), c.expect);
        // A resend may reach the device after the first reply settled the exchange.
        dev().waitForRequests(c.requests, 500);
        std::this_thread::sleep_for(30ms);
        EXPECT_EQ(dev().requests().size(), c.requests);
        EXPECT_TRUE(c.expect != 0 || mode == 0x7F) << mode;
    }
    // Replies to every attempt that come after the exchange gave up never
    // answer the next exchange of the same command.
    dev().clearFaults();
    dev().setFault(0x0304, fault([](auto& f) { f.remaining = 3; f.delayMs = 1100; f.payload = Bytes{0xAA}; }));
    std::int32_t mode = 0;
    EXPECT_EQ(ZelGetTriggerMode(kIp, &mode), DEV_COMMAND_STRUCTURE_INCORRECT);
    std::this_thread::sleep_for(900ms);  // the late replies are queued now
    ASSERT_EQ(ZelGetTriggerMode(kIp, &mode), 0);
    EXPECT_EQ(mode, 0x7F);
}

TEST_F(Commands, DisconnectWaitsForACommandInFlight) {
    connect();
    orbsim::Fault slow;
    slow.delayMs = 150;  // within the exchange's receive time-out
    dev().setFault(0x033C, slow);
    store().setPayload(0x033C, {0, 0, 0x12, 0x34});
    std::int32_t rc = -100;
    std::uint32_t offset = 0;
    std::thread getter([&] { rc = ZelOrbGetCalibrationDistanceOffset(kIp, &offset); });
    ASSERT_TRUE(dev().waitForRequests(1, 2000));
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_OK);
    EXPECT_EQ(offset, 0x1234u) << "written under the shared lock the disconnect waited for";
    getter.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(ZelOrbGetCalibrationDistanceOffset(kIp, &offset), DEV_HANDLE_NOT_IN_LIST);
}

// ------------------------------------------------------------------ connecting

TEST_F(Commands, HandshakeAnnouncesHostAndDataPortThenQueriesCacheTheirAnswers) {
    store().setPayload(kInverted, {1});
    store().setPayload(kRgbEnabled, {1, 0x06, 0x40, 0x04, 0xB0});
    store().setPayload(kRgbRotation, {2});
    ASSERT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_OK);
    EXPECT_EQ(commands(dev()), (std::vector<int>{kHandshake, kInverted, kRgbEnabled, kRgbRotation}));
    // Host 127.0.0.1 in network order and the data port big-endian, from the control port.
    const orbsim::HandshakeInfo h = store().handshake();
    EXPECT_TRUE(h.received && h.hostIp == kHost && (h.dataPort - 50661) % 10 == 0 && h.dataPort <= 50661 + 200) << h.dataPort;
    const auto hs = dev().requestsFor(kHandshake);
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(hs[0].bytes, commandFrame(kHandshake, 0, {127, 0, 0, 1, std::uint8_t(h.dataPort >> 8), std::uint8_t(h.dataPort)}));
    EXPECT_EQ(hs[0].from.port, orbsim::kCommandPort);
    dev().clearRequests();
    EXPECT_TRUE(ZelGetDeviceRgbEnabled(kIp) && ZelGetDeviceRgbRotation(kIp));
    EXPECT_TRUE(dev().requests().empty()) << "cached at connection";

    // Refused queries keep the rotation but clear RGB enabled; an empty
    // payload is no answer either.
    orbsim::Fault refuse;
    refuse.status = 3;
    for (std::uint16_t q : {kInverted, kRgbEnabled, kRgbRotation}) dev().setFault(q, refuse);
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_TRUE(!ZelGetDeviceRgbEnabled(kIp) && ZelGetDeviceRgbRotation(kIp));
    dev().clearFaults();
    store().setPayload(kRgbRotation, {});
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_TRUE(ZelGetDeviceRgbEnabled(kIp) && ZelGetDeviceRgbRotation(kIp));
    store().setPayload(kRgbEnabled, {0});
    store().setPayload(kRgbRotation, {0});
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_FALSE(ZelGetDeviceRgbEnabled(kIp) || ZelGetDeviceRgbRotation(kIp));
}

TEST_F(Commands, ReconnectingKeepsTheRecordAndCyclesThroughTwentyOnePortPairs) {
    connect();
    std::vector<std::uint16_t> ports{store().handshake().dataPort};
    for (int i = 1; i < 22; ++i) {
        ASSERT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS) << "setup " << i + 1;
        ports.push_back(store().handshake().dataPort);
    }
    EXPECT_EQ(std::set<std::uint16_t>(ports.begin(), ports.begin() + 21).size(), 21u);
    EXPECT_EQ(ports[21], ports[0]);
    // A refused handshake on a known device: -1 and no queries.
    orbsim::Fault refuse;
    refuse.status = 5;
    dev().setFault(kHandshake, refuse);
    dev().clearRequests();
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 7200), RC_GENERAL_ERROR);
    EXPECT_EQ(commands(dev()), std::vector<int>{kHandshake});
    // Disconnecting twice; disconnecting all; a fresh record afterwards.
    dev().clearFaults();
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectAllDevice(), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_DEVICE_NOT_FOUND);
}

TEST_F(Commands, ANewDeviceWhoseSetupFailsStaysRegisteredUntilDisconnected) {
    // A refused handshake: registered, -1997, no queries; a later connect retries.
    orbsim::Fault refuse;
    refuse.status = 5;
    dev().setFault(kHandshake, refuse);
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_HANDSHAKE_FAILED);
    EXPECT_EQ(commands(dev()), std::vector<int>{kHandshake});
    dev().clearFaults();
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_EQ(ZelOrbDisconnectDevice(kIp), RC_OK);
    // A handshake sent to 0.0.0.0 reaches the host's own control socket: its
    // own request is no reply.
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
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_GENERAL_ERROR);  // known now
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(dev().requests().empty());
    ASSERT_EQ(ZelOrbStartReceiveData(kHost, kPort), RC_OK);
    EXPECT_EQ(ZelOrbConnectDevice(kIp, 6301), RC_DEVICE_EXISTS);
    EXPECT_EQ(ZelGetTriggerMode(kIp, &mode), 0);
}

}  // namespace
