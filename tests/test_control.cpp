// Network settings, device mode and the control-server connection against
// the simulated control server on loopback (devices 127.0.0.2 and 127.0.0.3).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/control_server.h"
#include "control/net_settings.h"
#include "control_server.h"
#include "device/device.h"
#include "device/context.h"
#include "orb_sdk.h"
#include "settings_store.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using orbsim::CsFault;

constexpr const char* kDev = "127.0.0.2";
constexpr const char* kDev2 = "127.0.0.3";
constexpr int kShortTimeoutMs = 300;

std::string hex(const Bytes& b) { return orb::hexEncode(b.data(), b.size()); }

orbsim::NetSettings settings(const std::string& lidar, std::uint16_t lport, std::uint16_t hport) {
    orbsim::NetSettings n;
    n.lidarIp = lidar;
    n.hostIp = "127.0.0.1";
    n.lidarPort = lport;
    n.hostPort = hport;
    for (std::size_t i = 0; i < n.extra.size(); ++i) n.extra[i] = static_cast<std::uint8_t>(0xA0 + i);
    return n;
}

// A device record in the registry without threads or sockets: all the mode
// call needs.
class RegisteredDevice {
public:
    explicit RegisteredDevice(const std::string& ip) : ip_(ip) {
        std::unique_lock<std::shared_mutex> lk(orb::libraryContext().registry.mutex());
        orb::libraryContext().registry.devices().emplace(ip, std::make_unique<orb::DeviceRecord>(ip, 6301));
    }
    ~RegisteredDevice() {
        std::unique_lock<std::shared_mutex> lk(orb::libraryContext().registry.mutex());
        orb::libraryContext().registry.devices().erase(ip_);
    }
    std::uint8_t processingMode() {
        std::shared_lock<std::shared_mutex> lk(orb::libraryContext().registry.mutex());
        return orb::libraryContext().registry.find(ip_)->stream.processingMode.load();
    }

private:
    std::string ip_;
};

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        orb::libraryContext().netSettingsExtras.forgetAll();
        store_ = std::make_shared<orbsim::SettingsStore>(kDev);
        store_->setNetSettings(settings(kDev, 6301, 6001));
        orbsim::ControlServerOptions opt;
        opt.deviceIp = kDev;
        server_ = std::make_unique<orbsim::ControlServer>(store_, opt);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
    }

    std::shared_ptr<orbsim::SettingsStore> store_;
    std::unique_ptr<orbsim::ControlServer> server_;
};

TEST_F(ControlTest, GetThenSetNetInfoRoundTrip) {
    ZelOrbNetInfo info{};
    ASSERT_EQ(ZelOrbGetNetInfo(kDev, &info), RC_OK);
    EXPECT_STREQ(info.lidar_ip, kDev);
    EXPECT_STREQ(info.host_ip, "127.0.0.1");
    EXPECT_EQ(info.lidar_port, 6301);
    EXPECT_EQ(info.host_port, 6001);

    // The connection negotiated a receive size of 8192 (device reported 1024).
    ASSERT_EQ(server_->requestsFor(1).size(), 1u);
    const auto setSize = server_->requestsFor(2);
    ASSERT_EQ(setSize.size(), 1u);
    EXPECT_EQ(setSize[0].payload, (Bytes{0x00, 0x20, 0x00, 0x00}));
    EXPECT_EQ(server_->receiveSize(), 8192);

    info.lidar_port = 6001;
    std::strcpy(info.host_ip, "127.0.0.9");
    ASSERT_EQ(ZelOrbSetNetInfo(kDev, &info), RC_OK);
    const auto sets = server_->requestsFor(0x0201);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_TRUE(sets[0].headerCrcOk);
    EXPECT_TRUE(sets[0].payloadCrcOk);
    Bytes expected = {127, 0, 0, 2, 127, 0, 0, 9, 0x71, 0x17, 0x71, 0x17};
    const auto extra = settings(kDev, 0, 0).extra;  // carried over from the last read
    expected.insert(expected.end(), extra.begin(), extra.end());
    EXPECT_EQ(sets[0].payload, expected);
    EXPECT_EQ(store_->netSettings().hostIp, "127.0.0.9");
    EXPECT_EQ(store_->netSettings().lidarPort, 6001);

    // Without an earlier read of that device the further settings are zeros.
    orb::libraryContext().netSettingsExtras.forgetAll();
    server_->clearRequests();
    ASSERT_EQ(ZelOrbSetNetInfo(kDev, &info), RC_OK);
    const auto again = server_->requestsFor(0x0201);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(Bytes(again[0].payload.begin() + 12, again[0].payload.end()), Bytes(32, 0));
}

TEST_F(ControlTest, NetInfoFailures) {
    ZelOrbNetInfo info{};
    std::strcpy(info.lidar_ip, "untouched");
    for (int len : {43, 45}) {
        server_->setNetReplyDataLength(len);
        EXPECT_EQ(ZelOrbGetNetInfo(kDev, &info), RC_GET_NET_ADDRESS_FAILED) << len;
        EXPECT_STREQ(info.lidar_ip, "untouched");
    }
    server_->setNetReplyDataLength(-1);

    const std::uint64_t before = server_->connectionCount();
    ZelOrbNetInfo bad{};
    std::strcpy(bad.lidar_ip, kDev);
    std::strcpy(bad.host_ip, "0.0.0.0");
    EXPECT_EQ(ZelOrbSetNetInfo(kDev, &bad), RC_SET_NET_ADDRESS_FAILED);
    EXPECT_EQ(server_->connectionCount(), before);  // refused before connecting
    EXPECT_TRUE(server_->requestsFor(0x0201).empty());

    EXPECT_EQ(ZelOrbGetNetInfo(nullptr, &info), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbGetNetInfo(kDev, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetNetInfo(kDev, nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbSetDeviceMode(nullptr, 0), RC_INVALID_TARGET);

    testing::internal::CaptureStdout();
    EXPECT_EQ(ZelOrbGetNetInfo("127.0.0.9", &info), RC_GET_NET_ADDRESS_FAILED);  // nothing listens there
    EXPECT_NE(testing::internal::GetCapturedStdout().find("connect to ctrl-server error"), std::string::npos);
    EXPECT_STREQ(info.lidar_ip, "untouched");
}

// Faults in replies, seen through the internal exchange with a short time-out.
TEST_F(ControlTest, ExchangeAcceptanceRules) {
    orb::ControlServerSession lock(orb::libraryContext().controlServer);
    Bytes data;
    EXPECT_EQ(lock.exchange(0x0202, nullptr, 0, &data, 2), orb::kControlServerNotConnected);
    ASSERT_EQ(lock.connect(kDev, kShortTimeoutMs), orb::kControlServerConnected);
    EXPECT_EQ(lock.receiveSize(), 8192u);

    struct Case {
        CsFault fault;
        int times;
        std::uint32_t result;
        std::size_t requests;  // frames of command 514 the device saw
    };
    const Case cases[] = {
        {CsFault::None, 0, 0, 1},
        {CsFault::BadHeaderCrc, 1, 0, 2},    // dropped, the resend is answered
        {CsFault::BadHeaderCrc, -1, 3, 2},   // every attempt dropped
        {CsFault::BadPayloadCrc, 1, 0, 1},   // the payload check of a reply is not examined
        {CsFault::SplitSegments, 1, 0, 1},   // reassembled from two segments
        {CsFault::LengthTooShort, 1, 0, 2},  // trailing byte: rejected, resent
        {CsFault::LengthTooLong, 1, 3, 1},   // waits for a byte that never comes
        {CsFault::Silence, 1, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        server_->clearRequests();
        server_->setFault(c.fault, c.times, 0x0202);
        data.assign(3, 0xEE);
        EXPECT_EQ(lock.exchange(0x0202, nullptr, 0, &data, 2), c.result);
        EXPECT_EQ(server_->requestsFor(0x0202).size(), c.requests);
        if (c.result == 0) {
            ASSERT_EQ(data.size(), 44u);
            EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{127, 0, 0, 2}));
        }
        server_->clearFault();
        // Leftovers of a rejected reply never pass for the next one.
        if (c.result != 0) lock.exchange(0x0202, nullptr, 0, &data, 1);
    }

    // A closed connection ends the exchange at once.
    server_->setFault(CsFault::CloseConnection, 1, 0x0202);
    EXPECT_EQ(lock.exchange(0x0202, nullptr, 0, &data, 2), orb::kControlServerAllAttemptsFailed);
    lock.disconnect();
    EXPECT_FALSE(lock.isConnected());
}

TEST_F(ControlTest, FailedNegotiationKeepsDefaultReceiveSize) {
    server_->setFault(CsFault::Silence, 1, 1);
    orb::ControlServerSession lock(orb::libraryContext().controlServer);
    ASSERT_EQ(lock.connect(kDev, kShortTimeoutMs), orb::kControlServerConnected);
    EXPECT_EQ(lock.receiveSize(), orb::kControlServerDefaultReceiveSize);
    Bytes data;
    EXPECT_EQ(lock.exchange(0x0202, nullptr, 0, &data, 2), 0u);
    EXPECT_EQ(data.size(), 44u);
}

TEST_F(ControlTest, DeviceModeFramesAndProcessingMode) {
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 1), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(server_->connectionCount(), 0u);

    RegisteredDevice dev(kDev);
    ASSERT_EQ(ZelOrbSetDeviceMode(kDev, 1), RC_OK);
    auto modes = server_->requestsFor(0x0100);
    ASSERT_EQ(modes.size(), 1u);
    EXPECT_EQ(hex(modes[0].bytes), orb::kModeFrameDualEchoHex);  // payload 09 00 00 00
    EXPECT_EQ(dev.processingMode(), 7);
    EXPECT_EQ(store_->deviceMode(), 1);

    ASSERT_EQ(ZelOrbSetDeviceMode(kDev, 0), RC_OK);
    modes = server_->requestsFor(0x0100);
    ASSERT_EQ(modes.size(), 2u);
    EXPECT_EQ(hex(modes[1].bytes), orb::kModeFrameSingleEchoHex);
    EXPECT_EQ(dev.processingMode(), 3);
    EXPECT_EQ(store_->deviceMode(), 0);

    // Undefined mode: connects, sends no mode frame.
    const std::uint64_t connections = server_->connectionCount();
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 2), RC_OK);
    EXPECT_EQ(server_->connectionCount(), connections + 1);
    EXPECT_EQ(server_->requestsFor(0x0100).size(), 2u);
    EXPECT_EQ(dev.processingMode(), 3);
}

TEST_F(ControlTest, UnconfirmedModeSwitchIsReported) {
    RegisteredDevice dev(kDev);
    // The expected reply with another payload check is not the expected reply.
    server_->setFault(CsFault::BadPayloadCrc, -1, 0x0100);
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 1), RC_GENERAL_ERROR);
    EXPECT_EQ(server_->requestsFor(0x0100).size(), 3u);
    EXPECT_EQ(dev.processingMode(), 7);  // stored all the same

    // A silent device fails the call instead of holding the registry lock.
    server_->clearRequests();
    server_->setFault(CsFault::Silence, -1, 0x0100);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 0), RC_GENERAL_ERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(server_->requestsFor(0x0100).size(), 1u);
    EXPECT_EQ(dev.processingMode(), 3);

    // A split confirmation is still the confirmation.
    server_->setFault(CsFault::SplitSegments, -1, 0x0100);
    EXPECT_EQ(ZelOrbSetDeviceMode(kDev, 1), RC_OK);
}

TEST_F(ControlTest, ConcurrentCallersDoNotInterleave) {
    auto store2 = std::make_shared<orbsim::SettingsStore>(kDev2);
    store2->setNetSettings(settings(kDev2, 6302, 6002));
    orbsim::ControlServerOptions opt;
    opt.deviceIp = kDev2;
    orbsim::ControlServer server2(store2, opt);
    std::string error;
    ASSERT_TRUE(server2.start(&error)) << error;

    auto worker = [](const char* ip, std::uint16_t port, int* ok) {
        for (int i = 0; i < 3; ++i) {
            ZelOrbNetInfo info{};
            if (ZelOrbGetNetInfo(ip, &info) == RC_OK && std::strcmp(info.lidar_ip, ip) == 0 && info.lidar_port == port)
                ++*ok;
        }
    };
    int ok1 = 0, ok2 = 0;
    std::thread a(worker, kDev, 6301, &ok1);
    std::thread b(worker, kDev2, 6302, &ok2);
    a.join();
    b.join();
    EXPECT_EQ(ok1, 3);
    EXPECT_EQ(ok2, 3);
    for (const auto& r : server2.requests()) EXPECT_TRUE(r.headerCrcOk && r.payloadCrcOk);
}

}  // namespace
