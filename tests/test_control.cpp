// Guards network settings and the device mode over the TCP control server against wrong frames, accepted faulty replies, unconfirmed switches reported as success, interleaved callers and connections left open, against the simulated server on loopback.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "control/control_server.h"
#include "control/net_settings.h"
#include "control_server.h"
#include "core/device.h"
#include "settings_store.h"
#include "support/harness.h"

namespace {

using namespace orbtest;
using orbsim::CsFault;
constexpr const char* kDev = "127.0.0.2";
constexpr const char* kDev2 = "127.0.0.3";

std::unique_ptr<orbsim::Camera> serverCamera(const char* ip, std::uint16_t lidarPort) {
    orbsim::CameraOptions o;
    o.deviceIp = ip;
    o.controlServer = orbsim::ControlServerOptions{};
    auto cam = startCamera(o);
    orbsim::NetSettings n;
    n.lidarIp = ip;
    n.hostIp = kHost;
    n.lidarPort = lidarPort;
    n.hostPort = 6001;
    for (std::size_t i = 0; i < n.extra.size(); ++i) n.extra[i] = static_cast<std::uint8_t>(0xA0 + i);
    cam->store()->setNetSettings(n);
    return cam;
}

class Control : public ::testing::Test {
protected:
    void SetUp() override { cam = serverCamera(kDev, 6301), server = cam->controlServer(); }
    std::unique_ptr<orbsim::Camera> cam;
    orbsim::ControlServer* server = nullptr;
};

TEST_F(Control, SettingsAreReadThenWrittenBackWithTheFurtherBytesOfTheLastRead) {
    ZelOrbNetInfo info{};
    ASSERT_EQ(ZelOrbGetNetInfo(kDev, &info), RC_OK);
    EXPECT_EQ(std::make_tuple(std::string(info.lidar_ip), std::string(info.host_ip), info.lidar_port, info.host_port),
              std::make_tuple(std::string(kDev), std::string(kHost), std::uint16_t{6301}, std::uint16_t{6001}));
    // The connection asked for a receive size of 8192 (the device reported 1024).
    ASSERT_EQ(server->requestsFor(1).size(), 1u);
    EXPECT_EQ(server->requestsFor(2).at(0).payload, (Bytes{0x00, 0x20, 0x00, 0x00}));
    EXPECT_EQ(server->receiveSize(), 8192);

    info.lidar_port = 6001;
    std::strcpy(info.host_ip, "127.0.0.9");
    ASSERT_EQ(ZelOrbSetNetInfo(kDev, &info), RC_OK);
    const auto sets = server->requestsFor(0x0201);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_TRUE(sets[0].headerCrcOk && sets[0].payloadCrcOk);
    Bytes expected = {127, 0, 0, 2, 127, 0, 0, 9, 0x71, 0x17, 0x71, 0x17};
    for (std::uint8_t i = 0; i < 32; ++i) expected.push_back(0xA0 + i);
    EXPECT_EQ(sets[0].payload, expected);
    EXPECT_TRUE(cam->store()->netSettings().hostIp == "127.0.0.9" && cam->store()->netSettings().lidarPort == 6001);

    // A device never read: the further bytes are zeros.
    auto cam2 = serverCamera(kDev2, 6302);
    ASSERT_EQ(ZelOrbSetNetInfo(kDev2, &info), RC_OK);
    const Bytes sent2 = cam2->controlServer()->requestsFor(0x0201).at(0).payload;
    EXPECT_EQ(Bytes(sent2.begin() + 12, sent2.end()), Bytes(32, 0));

    // Concurrent callers on two devices never interleave on the connection.
    auto worker = [](const char* ip, std::uint16_t port, int* ok) {
        for (int i = 0; i < 3; ++i) {
            ZelOrbNetInfo got{};
            *ok += ZelOrbGetNetInfo(ip, &got) == RC_OK && std::strcmp(got.lidar_ip, ip) == 0 && got.lidar_port == port;
        }
    };
    cam2->store()->setNetSettings([] { orbsim::NetSettings n; n.lidarIp = kDev2; n.hostIp = kHost; n.lidarPort = 6302; return n; }());
    int ok1 = 0, ok2 = 0;
    std::thread a(worker, kDev, 6001, &ok1), b(worker, kDev2, 6302, &ok2);
    a.join();
    b.join();
    EXPECT_TRUE(ok1 == 3 && ok2 == 3) << ok1 << " " << ok2;
}

TEST_F(Control, FailedReadsWriteNothingAndBadRecordsAreNeverSent) {
    ZelOrbNetInfo info{};
    std::strcpy(info.lidar_ip, "untouched");
    for (int len : {43, 45}) {
        server->setNetReplyDataLength(len);
        EXPECT_EQ(ZelOrbGetNetInfo(kDev, &info), RC_GET_NET_ADDRESS_FAILED) << len;
    }
    server->setNetReplyDataLength(-1);
    const std::uint64_t before = server->connectionCount();
    ZelOrbNetInfo bad{};
    std::strcpy(bad.lidar_ip, kDev);
    std::strcpy(bad.host_ip, "0.0.0.0");
    EXPECT_EQ(ZelOrbSetNetInfo(kDev, &bad), RC_SET_NET_ADDRESS_FAILED);
    EXPECT_EQ(server->connectionCount(), before) << "refused before connecting";
    testing::internal::CaptureStdout();
    EXPECT_EQ(ZelOrbGetNetInfo("127.0.0.9", &info), RC_GET_NET_ADDRESS_FAILED);  // nothing listens there
    EXPECT_NE(testing::internal::GetCapturedStdout().find("connect to ctrl-server error"), std::string::npos);
    EXPECT_STREQ(info.lidar_ip, "untouched");
}

// Faulty replies through the exchange itself, with a short time-out (the
// calls wait seconds for a silent device).
TEST_F(Control, RepliesAreAcceptedOnlyWhole) {
    orb::ControlServerLock lock;
    Bytes data;
    EXPECT_EQ(orb::ControlServerExchange(lock, 0x0202, nullptr, 0, &data, 2), orb::kControlServerNotConnected);
    server->setFault(CsFault::Silence, 1, 1);  // no answer to the receive-size query: the default stays
    ASSERT_EQ(orb::ControlServerConnect(lock, kDev, 300), orb::kControlServerConnected);
    EXPECT_EQ(orb::ControlServerReceiveSize(lock), orb::kControlServerDefaultReceiveSize);
    struct Case {
        CsFault fault;
        int times;
        std::uint32_t result;
        std::size_t requests;  // frames of the command the device saw
    };
    const Case cases[] = {
        {CsFault::None, 0, 0, 1},
        {CsFault::BadHeaderCrc, 1, 0, 2},    // dropped, the resend is answered
        {CsFault::BadHeaderCrc, -1, 3, 2},   // every attempt dropped
        {CsFault::BadPayloadCrc, 1, 0, 1},   // a reply's payload check is not examined
        {CsFault::SplitSegments, 1, 0, 1},   // reassembled from two segments
        {CsFault::LengthTooShort, 1, 0, 2},  // a trailing byte: rejected, resent
        {CsFault::LengthTooLong, 1, 3, 1},   // waits for a byte that never comes
        {CsFault::Silence, 1, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        server->clearRequests();
        server->setFault(c.fault, c.times, 0x0202);
        data.assign(3, 0xEE);
        EXPECT_EQ(orb::ControlServerExchange(lock, 0x0202, nullptr, 0, &data, 2), c.result);
        EXPECT_EQ(server->requestsFor(0x0202).size(), c.requests);
        EXPECT_TRUE(c.result != 0 || (data.size() == 44u && Bytes(data.begin(), data.begin() + 4) == Bytes{127, 0, 0, 2})) << data.size();
        server->clearFault();
        // Leftovers of a rejected reply never pass for the next one.
        if (c.result != 0) orb::ControlServerExchange(lock, 0x0202, nullptr, 0, &data, 1);
    }
    server->setFault(CsFault::CloseConnection, 1, 0x0202);  // ends the exchange at once
    EXPECT_EQ(orb::ControlServerExchange(lock, 0x0202, nullptr, 0, &data, 2), orb::kControlServerAllAttemptsFailed);
    orb::ControlServerDisconnect(lock);
    EXPECT_FALSE(orb::ControlServerIsConnected(lock));
}

std::uint8_t processingMode() {
    std::uint8_t mode = 0;
    withDevice(kDev, [&](orb::DeviceRecord& d) { mode = d.stream.processingMode.load(); });
    return mode;
}

TEST_F(Control, ModeSwitchesSendTheFixedFramesAndReportUnconfirmedSwitches) {
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 1), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(server->connectionCount(), 0u);
    addDevice(kDev);
    ASSERT_EQ(ZelOrbSetDeviceMode(kDev, 1), RC_OK);
    ASSERT_EQ(ZelOrbSetDeviceMode(kDev, 0), RC_OK);
    const auto modes = server->requestsFor(0x0100);
    ASSERT_EQ(modes.size(), 2u);
    EXPECT_EQ(orb::HexEncode(modes[0].bytes.data(), modes[0].bytes.size()), orb::kModeFrameDualEchoHex);
    EXPECT_EQ(orb::HexEncode(modes[1].bytes.data(), modes[1].bytes.size()), orb::kModeFrameSingleEchoHex);
    EXPECT_EQ(processingMode(), 3);
    const std::uint64_t connections = server->connectionCount();
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 2), RC_OK);  // undefined: connects, sends no frame
    EXPECT_TRUE(server->connectionCount() == connections + 1 && server->requestsFor(0x0100).size() == 2u);

    // A reply with another payload check is not the confirmation: -1 after
    // three frames, the mode stored all the same.
    server->clearRequests();
    server->setFault(CsFault::BadPayloadCrc, -1, 0x0100);
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 1), RC_GENERAL_ERROR);
    EXPECT_EQ(server->requestsFor(0x0100).size(), 3u);
    EXPECT_EQ(processingMode(), 7);
    EXPECT_EQ(cam->store()->deviceMode(), 1);
    server->setFault(CsFault::Silence, -1, 0x0100);  // fails instead of holding the registry lock
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 0), RC_GENERAL_ERROR);
    EXPECT_EQ(processingMode(), 3);
    server->setFault(CsFault::SplitSegments, -1, 0x0100);  // a split confirmation is still one
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 1), RC_OK);
    EXPECT_TRUE(removeDevice(kDev));
}

}  // namespace
