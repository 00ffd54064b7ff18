// Control-server frames, CRC-8, network-settings payloads, announcements and
// discovery replies, checked without any network traffic. The simulator's
// encoders are an independent implementation, so agreement is a real check.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "announcer.h"
#include "control/control_server.h"
#include "control/crc8.h"
#include "control/discovery.h"
#include "control/net_settings.h"
#include "control_server.h"
#include "wire_sim.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hex(const Bytes& b) { return orb::hexEncode(b.data(), b.size()); }

Bytes fromText(const char* s) { return Bytes(s, s + std::strlen(s)); }

// An announcement with arbitrary entries, checks computed by the simulator's CRC.
struct Entry {
    std::string key;
    Bytes value;
};
Bytes announcement(const std::vector<Entry>& entries, int countOverride = -1) {
    Bytes b = {0x5A, 0xA5, 0x01, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00,
               static_cast<std::uint8_t>(countOverride >= 0 ? countOverride : static_cast<int>(entries.size()))};
    for (const auto& e : entries) {
        b.insert(b.end(), {0, 0, 0, static_cast<std::uint8_t>(e.value.size())});
        std::string key = e.key;
        key.resize(8, '\0');
        b.insert(b.end(), key.begin(), key.end());
        b.insert(b.end(), e.value.begin(), e.value.end());
    }
    b[6] = orbsim::crc8(b.data(), 6);
    b[7] = orbsim::crc8(b.data() + 8, b.size() - 8);
    return b;
}

TEST(ControlCrc8, KnownValuesAndAgreementWithSimulator) {
    const Bytes abc = fromText("abc");
    EXPECT_EQ(orb::crc8(abc.data(), abc.size()), 0xA9);
    EXPECT_EQ(orbsim::crc8(abc.data(), abc.size()), 0xA9);
    EXPECT_EQ(orb::crc8(nullptr, 0), 0);

    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        Bytes data(static_cast<std::size_t>(rng() % 300));
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(orb::crc8(data.data(), data.size()), orbsim::crc8(data.data(), data.size()));
    }
}

TEST(ControlServerFrame, ModeFramesAreTheFixedTexts) {
    const Bytes one = {0x01, 0x00, 0x00, 0x00};
    const Bytes nine = {0x09, 0x00, 0x00, 0x00};
    const Bytes f1 = orb::buildControlServerFrame(0x0100, one.data(), 4);
    ASSERT_EQ(f1.size(), 25u);
    EXPECT_EQ(f1[19], 0x30);  // header check
    EXPECT_EQ(f1[20], 0x9B);  // payload check
    EXPECT_EQ(hex(f1), orb::kModeFrameSingleEchoHex);
    EXPECT_EQ(hex(orb::buildControlServerFrame(0x0100, nine.data(), 4)), orb::kModeFrameDualEchoHex);

    // The simulator's own encoder produces the same request and the expected confirmation.
    orbsim::cs::Frame req;
    req.command = 0x0100;
    req.payload = one;
    EXPECT_EQ(hex(orbsim::cs::encode(req)), orb::kModeFrameSingleEchoHex);
    orbsim::cs::Frame confirm;
    confirm.flag = 0;
    confirm.byte13 = 1;
    confirm.command = 0x0100;
    confirm.payload = {0, 0, 0, 0};
    EXPECT_EQ(hex(orbsim::cs::encode(confirm)), orb::kModeReplyHex);
}

TEST(ControlServerFrame, EmptyPayloadAndLittleEndianFields) {
    const Bytes f = orb::buildControlServerFrame(0x0202, nullptr, 0);
    ASSERT_EQ(f.size(), 21u);
    EXPECT_EQ(f[9], 0x02);
    EXPECT_EQ(f[10], 0x02);
    EXPECT_EQ(f[11], 0x00);
    EXPECT_EQ(f[20], 0x00);  // no payload: check 0
    EXPECT_EQ(f, orbsim::cs::encode(orbsim::cs::Frame{1, 0, 0x0202, {}}));
}

TEST(ControlServerFrame, HexText) {
    Bytes out;
    EXPECT_TRUE(orb::hexDecode("00aBfF", out));
    EXPECT_EQ(out, (Bytes{0x00, 0xAB, 0xFF}));
    EXPECT_FALSE(orb::hexDecode("0g", out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(orb::hexDecode("abc", out));  // odd length
    EXPECT_FALSE(orb::hexDecode(nullptr, out));
    EXPECT_EQ(orb::hexEncode(Bytes{0x5A, 0x0F}.data(), 2), "5a0f");
}

ZelOrbNetInfo netInfo(const char* lidar, const char* host, std::uint16_t lport, std::uint16_t hport) {
    ZelOrbNetInfo n{};
    std::strncpy(n.lidar_ip, lidar, sizeof n.lidar_ip - 1);
    std::strncpy(n.host_ip, host, sizeof n.host_ip - 1);
    n.lidar_port = lport;
    n.host_port = hport;
    return n;
}

TEST(NetSettingsPayload, EncodeAddressesPortsAndExtra) {
    std::uint8_t out[orb::kNetSettingsSize];
    ASSERT_TRUE(orb::encodeNetSettings(netInfo("192.168.1.10", "192.168.1.2", 6001, 6002), nullptr, out));
    const Bytes head(out, out + 12);
    EXPECT_EQ(head, (Bytes{192, 168, 1, 10, 192, 168, 1, 2, 0x71, 0x17, 0x72, 0x17}));
    EXPECT_EQ(Bytes(out + 12, out + 44), Bytes(32, 0));

    std::uint8_t extra[orb::kNetSettingsExtraSize];
    for (std::size_t i = 0; i < sizeof extra; ++i) extra[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(orb::encodeNetSettings(netInfo("10.0.0.1", "10.0.0.2", 1, 2), extra, out));
    EXPECT_EQ(Bytes(out + 12, out + 44), Bytes(extra, extra + 32));

    // The simulator decodes what the library encodes into the same settings.
    orbsim::NetSettings sim;
    sim.lidarIp = "192.168.1.10";
    sim.hostIp = "192.168.1.2";
    sim.lidarPort = 6001;
    sim.hostPort = 6002;
    ZelOrbNetInfo back{};
    const Bytes wire = orbsim::cs::encodeNetSettings(sim);
    ASSERT_TRUE(orb::decodeNetSettings(wire.data(), wire.size(), back));
    EXPECT_STREQ(back.lidar_ip, "192.168.1.10");
    EXPECT_STREQ(back.host_ip, "192.168.1.2");
    EXPECT_EQ(back.lidar_port, 6001);
    EXPECT_EQ(back.host_port, 6002);
}

TEST(NetSettingsPayload, RejectedInputs) {
    std::uint8_t out[orb::kNetSettingsSize];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_FALSE(orb::encodeNetSettings(netInfo("192.168.1.10", "0.0.0.0", 1, 2), nullptr, out));
    EXPECT_FALSE(orb::encodeNetSettings(netInfo("0.0.0.0", "192.168.1.2", 1, 2), nullptr, out));
    EXPECT_FALSE(orb::encodeNetSettings(netInfo("camera", "192.168.1.2", 1, 2), nullptr, out));
    EXPECT_FALSE(orb::encodeNetSettings(netInfo("192.168.1", "192.168.1.2", 1, 2), nullptr, out));
    EXPECT_EQ(out[0], 0xEE);  // nothing written on failure

    // A field without its NUL is read no further than 35 characters.
    ZelOrbNetInfo unterminated = netInfo("x", "192.168.1.2", 1, 2);
    std::memset(unterminated.lidar_ip, '1', sizeof unterminated.lidar_ip);
    EXPECT_FALSE(orb::encodeNetSettings(unterminated, nullptr, out));

    const Bytes wire(44, 1);
    ZelOrbNetInfo info = netInfo("1.2.3.4", "5.6.7.8", 9, 10);
    EXPECT_FALSE(orb::decodeNetSettings(wire.data(), 43, info));
    Bytes longer = wire;
    longer.push_back(0);
    EXPECT_FALSE(orb::decodeNetSettings(longer.data(), longer.size(), info));
    EXPECT_STREQ(info.lidar_ip, "1.2.3.4");  // untouched
    EXPECT_TRUE(orb::decodeNetSettings(wire.data(), wire.size(), info));
    EXPECT_STREQ(info.lidar_ip, "1.1.1.1");
    EXPECT_EQ(info.lidar_port, 0x0101);
}

TEST(Announcement, SimulatorAnnouncementParses) {
    orbsim::NetSettings n;
    n.lidarIp = "192.168.1.10";
    n.hostIp = "192.168.1.2";
    n.lidarPort = 6301;
    n.hostPort = 6001;
    const Bytes d = orbsim::Announcer::encode(n);
    ZelOrbNetInfo info{};
    ASSERT_TRUE(orb::parseAnnouncement(d.data(), d.size(), info));
    EXPECT_STREQ(info.lidar_ip, "192.168.1.10");
    EXPECT_STREQ(info.host_ip, "192.168.1.2");
    EXPECT_EQ(info.lidar_port, 6301);
    EXPECT_EQ(info.host_port, 6001);

    for (std::size_t i : {0u, 3u, 6u, 7u, 20u}) {
        Bytes bad = d;
        bad[i] ^= 0x01;
        EXPECT_FALSE(orb::parseAnnouncement(bad.data(), bad.size(), info)) << "byte " << i;
    }
    EXPECT_FALSE(orb::parseAnnouncement(d.data(), 9, info));
}

TEST(Announcement, EntriesPortsAndMissingKeys) {
    ZelOrbNetInfo info{};
    // "port" 71 17 is 6001; a one-byte "lport" is zero-extended; other keys skipped.
    Bytes d = announcement({{"color", fromText("blue")},
                            {"port", {0x71, 0x17}},
                            {"lport", {0x05}},
                            {"module", fromText("10.1.2.3")}});
    ASSERT_TRUE(orb::parseAnnouncement(d.data(), d.size(), info));
    EXPECT_EQ(info.host_port, 6001);
    EXPECT_EQ(info.lidar_port, 5);
    EXPECT_STREQ(info.lidar_ip, "10.1.2.3");
    EXPECT_STREQ(info.host_ip, "");  // absent key: empty

    // Text longer than a field keeps 39 characters.
    d = announcement({{"server", Bytes(60, 'a')}});
    ASSERT_TRUE(orb::parseAnnouncement(d.data(), d.size(), info));
    EXPECT_EQ(std::strlen(info.host_ip), 39u);
}

TEST(Announcement, EntriesNeverReadPastTheDatagram) {
    ZelOrbNetInfo info{};
    // Count claims more entries than present: the parse ends at the datagram's end.
    Bytes d = announcement({{"module", fromText("10.1.2.3")}}, 200);
    ASSERT_TRUE(orb::parseAnnouncement(d.data(), d.size(), info));
    EXPECT_STREQ(info.lidar_ip, "10.1.2.3");

    // Last entry's value runs past the end: earlier entries kept, it is not read.
    d = announcement({{"module", fromText("10.1.2.3")}, {"server", fromText("10.1.2.4")}});
    d[d.size() - 8 - 12 + 3] = 200;  // length byte of the last entry
    d[7] = orbsim::crc8(d.data() + 8, d.size() - 8);
    ASSERT_TRUE(orb::parseAnnouncement(d.data(), d.size(), info));
    EXPECT_STREQ(info.lidar_ip, "10.1.2.3");
    EXPECT_STREQ(info.host_ip, "");

    // Entry header cut short.
    d = announcement({{"module", fromText("10.1.2.3")}});
    d.resize(10 + 6);
    d[7] = orbsim::crc8(d.data() + 8, d.size() - 8);
    ASSERT_TRUE(orb::parseAnnouncement(d.data(), d.size(), info));
    EXPECT_STREQ(info.lidar_ip, "");
}

TEST(DiscoveryReply, RequestBytesAndReplyChecks) {
    EXPECT_EQ(hex(orb::buildDiscoveryRequest()), "a55aaa55030000030001000100005aa555aa");

    orbsim::wire::CommandFrame f;
    f.type = 3;
    f.command = 3;
    f.status = 1;
    Bytes ok = orbsim::wire::encodeFrame(f);
    EXPECT_TRUE(orb::isDiscoveryReply(ok.data(), ok.size()));
    f.status = 0;  // status 0 is not an answer
    Bytes zero = orbsim::wire::encodeFrame(f);
    EXPECT_FALSE(orb::isDiscoveryReply(zero.data(), zero.size()));
    f.status = 1;
    f.command = 4;
    Bytes other = orbsim::wire::encodeFrame(f);
    EXPECT_FALSE(orb::isDiscoveryReply(other.data(), other.size()));
    EXPECT_FALSE(orb::isDiscoveryReply(ok.data(), ok.size() - 1));  // tail magic cut
    EXPECT_FALSE(orb::isDiscoveryReply(nullptr, 0));
}

}  // namespace
