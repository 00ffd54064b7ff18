// Connecting, reconnecting and disconnecting devices against the simulated
// camera's command responder on loopback (host 127.0.0.1, devices 127.0.0.2+).
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#endif

#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <chrono>
#include <vector>

#include "command_responder.h"
#include "control/command.h"
#include "core/callback_mark.h"
#include "device/device.h"
#include "device/context.h"
#include "orb_sdk.h"
#include "settings_store.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kHost = "127.0.0.1";
constexpr std::uint16_t kHandshake = 0x0100;
constexpr std::uint16_t kQueryInverted = 0x033E;
constexpr std::uint16_t kQueryRgbEnabled = 0x0328;
constexpr std::uint16_t kQueryRgbRotation = 0x0337;

// A socket's receive time-out in ms (Winsock keeps it as a DWORD, POSIX as a
// timeval); -1 when it cannot be read.
long recvTimeoutMs(orb::net::Socket s) {
#ifdef _WIN32
    DWORD ms = 0;
    int len = sizeof ms;
    const bool ok = ::getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&ms), &len) == 0;
    return ok ? static_cast<long>(ms) : -1;
#else
    timeval tv{};
    socklen_t len = sizeof tv;
    const bool ok = ::getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, &len) == 0;
    return ok ? tv.tv_sec * 1000 + tv.tv_usec / 1000 : -1;  // the kernel rounds up to its tick
#endif
}

void setHostIp(const char* ip) {
    auto& reg = orb::libraryContext().registry;
    std::unique_lock<std::shared_mutex> lock(reg.mutex());
    reg.setHostIp(ip);
}

bool registered(const char* ip) {
    auto& reg = orb::libraryContext().registry;
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    return reg.find(ip) != nullptr;
}

std::size_t registeredCount() {
    auto& reg = orb::libraryContext().registry;
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    return reg.devices().size();
}

// Runs f on the record of ip under the shared registry lock.
template <class F>
void withDevice(const char* ip, F f) {
    auto& reg = orb::libraryContext().registry;
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    orb::DeviceRecord* dev = reg.find(ip);
    ASSERT_NE(dev, nullptr) << ip;
    f(*dev);
}

std::vector<int> commands(const orbsim::CommandResponder& r) {
    std::vector<int> out;
    for (const auto& q : r.requests()) out.push_back(q.command());
    return out;
}

struct SimDevice {
    explicit SimDevice(const char* ip) : store(std::make_shared<orbsim::SettingsStore>(ip)) {
        orbsim::ResponderOptions o;
        o.deviceIp = ip;
        responder = std::make_unique<orbsim::CommandResponder>(store, o);
        std::string err;
        started = responder->start(&err);
        EXPECT_TRUE(started) << err;
    }
    std::shared_ptr<orbsim::SettingsStore> store;
    std::unique_ptr<orbsim::CommandResponder> responder;
    bool started = false;
};

class Lifecycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(ZelOrbInit(), 0);
        setHostIp(kHost);
        ASSERT_TRUE(orb::libraryContext().control.open(kHost));
    }
    static void TearDownTestSuite() {
        orb::libraryContext().control.close();
        EXPECT_EQ(ZelOrbDeinit(), 0);
    }
    void TearDown() override {
        ZelOrbDisconnectAllDevice();
        setHostIp(kHost);
        ASSERT_TRUE(orb::libraryContext().control.open(kHost));
    }
};

TEST_F(Lifecycle, HandshakeAnnouncesHostAndDataPortThenQueriesCacheTheirValues) {
    SimDevice sim("127.0.0.2");
    sim.store->setPayload(kQueryInverted, {1});
    sim.store->setPayload(kQueryRgbEnabled, {1, 0x00, 0x10, 0x00, 0x20});
    sim.store->setPayload(kQueryRgbRotation, {2});

    ASSERT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_OK);
    EXPECT_EQ(commands(*sim.responder), (std::vector<int>{kHandshake, kQueryInverted, kQueryRgbEnabled, kQueryRgbRotation}));

    std::uint16_t dataPort = 0;
    withDevice("127.0.0.2", [&](orb::DeviceRecord& d) {
        dataPort = d.ctrl.localData.port;
        EXPECT_EQ(d.ctrl.localImu.port, dataPort + 1);
        EXPECT_EQ((dataPort - 50661) % 10, 0);
        EXPECT_LE(dataPort, 50661 + 200);
        EXPECT_TRUE(d.stream.inverted.load());
        EXPECT_EQ(d.stream.axisSign.load(), -1);
        EXPECT_EQ(d.ctrl.rgbEnabled.load(), 1);
        EXPECT_EQ(d.ctrl.rgbRotation.load(), 2);
        EXPECT_EQ(d.stream.dataSourcePort.load(), 6301);

        // Data socket non-blocking, IMU socket with 10 ms time-outs, both on the host IP.
        orb::net::Endpoint local;
        ASSERT_TRUE(orb::net::localEndpoint(d.ctrl.dataSocket, local));
        EXPECT_EQ(orb::net::formatIPv4(local.addr), kHost);
        EXPECT_EQ(local.port, dataPort);
#ifndef _WIN32  // Winsock cannot tell whether a socket is non-blocking
        EXPECT_NE(::fcntl(d.ctrl.dataSocket, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_EQ(::fcntl(d.ctrl.imuSocket, F_GETFL) & O_NONBLOCK, 0);
#endif
        ASSERT_TRUE(orb::net::localEndpoint(d.ctrl.imuSocket, local));
        EXPECT_EQ(local.port, dataPort + 1);
        const long ms = recvTimeoutMs(d.ctrl.imuSocket);
        EXPECT_GE(ms, 10);
        EXPECT_LE(ms, 20);
    });

    // The handshake frame, byte for byte: host 127.0.0.1 in network order and
    // the data port big-endian.
    const auto hs = sim.responder->requestsFor(kHandshake);
    ASSERT_EQ(hs.size(), 1u);
    const Bytes expect = {0xA5, 0x5A, 0xAA, 0x55, 0x3F, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01,
                          0x00, 0x06, 127,  0,    0,    1,    static_cast<std::uint8_t>(dataPort >> 8),
                          static_cast<std::uint8_t>(dataPort), 0x5A, 0xA5, 0x55, 0xAA};
    EXPECT_EQ(hs[0].bytes, expect);
    EXPECT_EQ(orb::net::formatIPv4(hs[0].from.addr), kHost);
    EXPECT_EQ(hs[0].from.port, 50660);
    const auto h = sim.store->handshake();
    EXPECT_TRUE(h.received);
    EXPECT_EQ(h.hostIp, kHost);
    EXPECT_EQ(h.dataPort, dataPort);
}

TEST_F(Lifecycle, FailedQueriesKeepOrClearTheirCachedValues) {
    SimDevice sim("127.0.0.2");
    sim.store->setPayload(kQueryInverted, {0});
    sim.store->setPayload(kQueryRgbEnabled, {1, 0, 0, 0, 0});
    sim.store->setPayload(kQueryRgbRotation, {3});
    ASSERT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_OK);

    // Now the device refuses all three queries: the inverted flag and the
    // rotation keep their values, RGB enabled falls back to 0.
    sim.store->setPayload(kQueryInverted, {1});
    orbsim::Fault refuse;
    refuse.status = 3;
    sim.responder->setFault(kQueryInverted, refuse);
    sim.responder->setFault(kQueryRgbEnabled, refuse);
    sim.responder->setFault(kQueryRgbRotation, refuse);
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_DEVICE_EXISTS);
    withDevice("127.0.0.2", [](orb::DeviceRecord& d) {
        EXPECT_FALSE(d.stream.inverted.load());
        EXPECT_EQ(d.stream.axisSign.load(), 1);
        EXPECT_EQ(d.ctrl.rgbEnabled.load(), 0);
        EXPECT_EQ(d.ctrl.rgbRotation.load(), 3);
    });

    // An empty payload is no answer either.
    sim.responder->clearFaults();
    orbsim::Fault empty;
    empty.payload = Bytes{};
    sim.responder->setFault(kQueryInverted, empty);
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_DEVICE_EXISTS);
    withDevice("127.0.0.2", [](orb::DeviceRecord& d) { EXPECT_FALSE(d.stream.inverted.load()); });
}

TEST_F(Lifecycle, ReconnectReturnsOneAndUpdatesTheSourcePort) {
    SimDevice sim("127.0.0.2");
    ASSERT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_OK);
    const orb::DeviceRecord* first = nullptr;
    withDevice("127.0.0.2", [&](orb::DeviceRecord& d) { first = &d; });
    sim.responder->clearRequests();

    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 7100), RC_DEVICE_EXISTS);
    EXPECT_EQ(registeredCount(), 1u);
    withDevice("127.0.0.2", [&](orb::DeviceRecord& d) {
        EXPECT_EQ(&d, first);  // the same record, not a new one
        EXPECT_EQ(d.stream.dataSourcePort.load(), 7100);
        EXPECT_TRUE(d.stream.running.load());
    });
    EXPECT_EQ(commands(*sim.responder), (std::vector<int>{kHandshake, kQueryInverted, kQueryRgbEnabled, kQueryRgbRotation}));

    // A refused handshake on a known device: -1, no queries, port still updated.
    sim.responder->clearRequests();
    orbsim::Fault refuse;
    refuse.status = 5;
    sim.responder->setFault(kHandshake, refuse);
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 7200), RC_GENERAL_ERROR);
    EXPECT_EQ(commands(*sim.responder), (std::vector<int>{kHandshake}));
    withDevice("127.0.0.2", [](orb::DeviceRecord& d) { EXPECT_EQ(d.stream.dataSourcePort.load(), 7200); });
    EXPECT_TRUE(registered("127.0.0.2"));
}

TEST_F(Lifecycle, SetupsOneAndTwentyTwoUseTheSamePorts) {
    SimDevice sim("127.0.0.2");
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < 22; ++i) {
        const int rc = ZelOrbConnectDevice("127.0.0.2", 6301);
        ASSERT_EQ(rc, i == 0 ? RC_OK : RC_DEVICE_EXISTS) << "setup " << i + 1;
        ports.push_back(sim.store->handshake().dataPort);
    }
    const std::set<std::uint16_t> distinct(ports.begin(), ports.begin() + 21);
    EXPECT_EQ(distinct.size(), 21u);
    for (std::uint16_t p : distinct) {
        EXPECT_EQ((p - 50661) % 10, 0) << p;
        EXPECT_LE(p, 50661 + 200) << p;
    }
    EXPECT_EQ(ports[21], ports[0]);
}

TEST_F(Lifecycle, DisconnectTwiceGivesZeroThenNotFound) {
    SimDevice a("127.0.0.2");
    SimDevice b("127.0.0.3");
    ASSERT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_OK);
    ASSERT_EQ(ZelOrbConnectDevice("127.0.0.3", 6301), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice("127.0.0.2"), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice("127.0.0.2"), RC_DEVICE_NOT_FOUND);
    EXPECT_TRUE(registered("127.0.0.3"));
    EXPECT_EQ(ZelOrbDisconnectAllDevice(), RC_OK);
    EXPECT_EQ(registeredCount(), 0u);
    EXPECT_EQ(ZelOrbDisconnectAllDevice(), RC_OK);
    // Connecting again after a disconnect creates a fresh record.
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_OK);
}

TEST_F(Lifecycle, ConnectAndDisconnectFromInsideACallbackAreRefused) {
    SimDevice sim("127.0.0.2");
    ASSERT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_OK);
    ASSERT_EQ(ZelOrbConnectDevice("127.0.0.3", 6301), RC_HANDSHAKE_FAILED);  // nobody answers there
    withDevice("127.0.0.2", [](orb::DeviceRecord&) {});
    const orb::DeviceRecord* dev = nullptr;
    withDevice("127.0.0.2", [&](orb::DeviceRecord& d) { dev = &d; });
    {
        orb::CallbackMark inCallback(dev->ip.c_str(), orb::CallbackKind::Frame);
        EXPECT_EQ(ZelOrbDisconnectDevice("127.0.0.2"), RC_GENERAL_ERROR);
        EXPECT_TRUE(registered("127.0.0.2"));
        // Nor another device: its exclusive registry lock could wait for a
        // thread that waits for the mutex this callback runs under.
        EXPECT_EQ(ZelOrbDisconnectDevice("127.0.0.3"), RC_GENERAL_ERROR);
        EXPECT_EQ(ZelOrbConnectDevice("127.0.0.3", 6301), RC_GENERAL_ERROR);
        EXPECT_TRUE(registered("127.0.0.3"));
        // The same holds for every call that takes the registry exclusively;
        // calls that share it go through.
        const double d[] = {1.0};
        EXPECT_EQ(ZelOrbSetSpatialFilter("127.0.0.3", true, 5), RC_GENERAL_ERROR);
        EXPECT_EQ(ZelOrbSetTimeMedianFilter("127.0.0.3", true, 5, 100), RC_GENERAL_ERROR);
        EXPECT_EQ(ZelOrbSetFlyingFilter("127.0.0.3", true, 300), RC_GENERAL_ERROR);
        EXPECT_EQ(ZelOrbSetIntensityFiltering("127.0.0.3", true, d, d, 1), RC_GENERAL_ERROR);
        EXPECT_EQ(ZelOrbSetDeviceMode("127.0.0.3", 0), RC_GENERAL_ERROR);
        EXPECT_EQ(ZelOrbSetDistanceFiltering("127.0.0.3", true, 0, 100), RC_OK);
    }
    EXPECT_EQ(ZelOrbSetSpatialFilter("127.0.0.3", false, 5), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice("127.0.0.3"), RC_OK);
    EXPECT_EQ(ZelOrbDisconnectDevice("127.0.0.2"), RC_OK);
}

TEST_F(Lifecycle, NewDeviceWhoseSetupFailsStaysRegisteredWithHandshakeFailed) {
    SimDevice sim("127.0.0.2");

    // No control socket yet: the three sends fail, no query goes out.
    orb::libraryContext().control.close();
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_HANDSHAKE_FAILED);
    EXPECT_TRUE(registered("127.0.0.2"));
    EXPECT_TRUE(sim.responder->requests().empty());
    withDevice("127.0.0.2", [](orb::DeviceRecord& d) {
        EXPECT_TRUE(d.stream.running.load());
        EXPECT_EQ(d.ctrl.rgbEnabled.load(), 0);
        EXPECT_EQ(d.stream.axisSign.load(), 1);
    });
    // Once the control socket exists a later connect retries and reports 1.
    ASSERT_TRUE(orb::libraryContext().control.open(kHost));
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_DEVICE_EXISTS);
    EXPECT_TRUE(sim.store->handshake().received);
    EXPECT_EQ(ZelOrbDisconnectDevice("127.0.0.2"), RC_OK);

    // A refused handshake.
    orbsim::Fault refuse;
    refuse.status = 5;
    sim.responder->setFault(kHandshake, refuse);
    sim.responder->clearRequests();
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_HANDSHAKE_FAILED);
    EXPECT_EQ(commands(*sim.responder), (std::vector<int>{kHandshake}));
    EXPECT_TRUE(registered("127.0.0.2"));
    EXPECT_EQ(ZelOrbDisconnectDevice("127.0.0.2"), RC_OK);

    // Sockets that cannot be bound (the host IP is no local address): nothing is sent.
    sim.responder->clearFaults();
    sim.responder->clearRequests();
    setHostIp("192.0.2.1");
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_HANDSHAKE_FAILED);
    EXPECT_TRUE(sim.responder->requests().empty());
    EXPECT_TRUE(registered("127.0.0.2"));
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 6301), RC_GENERAL_ERROR);  // known device now
}

TEST_F(Lifecycle, ConnectingTheAnyAddressDoesNotAnswerItself) {
    // A handshake sent to 0.0.0.0 reaches the host's own control socket; its
    // own request must not count as the device's reply.
    EXPECT_EQ(ZelOrbConnectDevice("0.0.0.0", 6301), RC_HANDSHAKE_FAILED);
    EXPECT_TRUE(registered("0.0.0.0"));
}

TEST_F(Lifecycle, NullAndInvalidArgumentsAreRefusedBeforeAnyTraffic) {
    SimDevice sim("127.0.0.2");
    EXPECT_EQ(ZelOrbConnectDevice(nullptr, 6301), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 0), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.02", 6301), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbDisconnectDevice(nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(registeredCount(), 0u);
    EXPECT_TRUE(sim.responder->requests().empty());
}

// The simulator's own fault injection, seen through the exchange.
class ExchangeAgainstSimulator : public Lifecycle {};

TEST_F(ExchangeAgainstSimulator, FaultsAreRecoveredOrReported) {
    SimDevice sim("127.0.0.2");
    orb::ControlEndpoint ep(orb::libraryContext().control);
    ep.deviceControl = orb::net::makeEndpoint("127.0.0.2", 50660);
    sim.store->setPayload(0x0304, {0x7F});

    struct Case {
        const char* name;
        orbsim::Fault fault;
        std::uint8_t expect;
        std::size_t requests;
    };
    orbsim::Fault wrongFirst;
    wrongFirst.remaining = 1;
    wrongFirst.wrongCommandFirst = 0x0305;
    orbsim::Fault split;
    split.remaining = 1;
    split.splitChain = true;
    orbsim::Fault statusTwo;
    statusTwo.status = 2;
    orbsim::Fault statusFive;
    statusFive.status = 5;
    orbsim::Fault stray;
    stray.strayFromIp = "127.0.0.3";
    const Case cases[] = {
        {"wrong code first", wrongFirst, 0, 2}, {"split chain", split, 0, 2}, {"status 2", statusTwo, 0, 1},
        {"status 5", statusFive, 5, 1},         {"stray reply", stray, 0, 1},
    };
    for (const Case& c : cases) {
        sim.responder->clearFaults();
        sim.responder->clearRequests();
        sim.responder->setFault(0x0304, c.fault);
        orb::ReplyBuffer reply;
        EXPECT_EQ(orb::commandExchange(ep, orb::RequestBuffer(0x0304), &reply), c.expect) << c.name;
        // A resend may reach the device after the first reply already settled the exchange.
        sim.responder->waitForRequests(c.requests, 500);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(sim.responder->requests().size(), c.requests) << c.name;
        if (c.expect == 0) {
            ASSERT_EQ(reply.payloadLength(), 1u) << c.name;
            EXPECT_EQ(reply.payload()[0], 0x7F) << c.name;
        }
    }
}

}  // namespace
