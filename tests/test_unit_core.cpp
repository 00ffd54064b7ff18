// Return-code texts, IPv4 validation, command frame buffers and reply chain
// validation: no network.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/command.h"
#include "core/ipv4.h"
#include "device/context.h"
#include "core/return_codes.h"
#include "orb_sdk.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(ReturnCodes, LibraryCodeTexts) {
    const struct {
        int32_t code;
        const char* text;
    } cases[] = {
        {-2000, "Local port is null"},
        {-1999, "Invalid target IP or port"},
        {-1998, "Port binding failed"},
        {-1997, "Handshake failed"},
        {-1996, "Failed to open file"},
        {-1995, "Failed to read file"},
        {-1994, "Failed to close socket"},
        {-1993, "Failed to initialize socket"},
        {-1992, "Failed to get data"},
        {-1991, "Function registration failed"},
        {-1990, "Failed to set network address"},
        {-1989, "Failed to get network address"},
        {-1988, "Device not found"},
        {-1987, "Parameter out of bounds"},
        {-1986, "Multicast initialization failed"},
        {-1985, "Failed to start RGB data reception"},
        {-1984, "Failed to get RGB data"},
        {-1983, "Failed to start IMU data reception"},
        {-1982, "Failed to get IMU data"},
        {-1, "General error"},
        {0, "OK"},
        {1, "Device already exists"},
        {-1981, "Unknown error code"},
        {-2001, "Failed to write file"},
        {-2004, "Unknown error code"},
        {2, "Unknown error code"},
        {36, "Unknown error code"},
        {INT32_MIN, "Unknown error code"},
    };
    for (const auto& c : cases) EXPECT_STREQ(ZelOrbReturnCodeToString(c.code), c.text) << c.code;
}

TEST(ReturnCodes, StatusCodeTexts) {
    const struct {
        int32_t code;
        const char* text;
    } cases[] = {
        {0, "Execution successful."},
        {3, "The command is undefined.The device does not yet have the ability to process this command."},
        {4, "The command structure is incorrect."},
        {5, "Parameter settings are out of range."},
        {6, "The file length is incorrect."},
        {7, "File MD5 verification failed."},
        {8, "The action is invalid and has been calibrated. Please cancel the calibration first and then "
            "recalibrate."},
        {11, "The security calibration area is invalid, and the number of valid point clouds within its area is "
             "below the threshold. Please choose a more suitable area again."},
        {32, "Execution timeout."},
        {34, "The resource has not been initialized."},
        {35, "The device is not turned on."},
        {36, "The device handle is not in the search list."},
        {37, "File opening failed."},
        {38, "The current device is not supported."},
        {39, "Protocol version mismatch."},
        {40, "The incoming data buffer is out of memory."},
        {41, "Type error means that the type does not exist."},
        {42, "Type input error."},
        {43, "Thread exit timeout."},
        {44, "The data type that needs to be read does not match the data type being transmitted, so the data "
             "type cannot be read."},
        {45, "The ZelGetFrameReady function was not called or the call failed."},
        {47, "The size of the incoming data does not match."},
        {49, "The index value does not exist, please pass in the correct index value."},
        {255, " Undefined error."},
    };
    for (const auto& c : cases) EXPECT_STREQ(ZelGetReturnCodeDescriptor(c.code), c.text) << c.code;
    for (int32_t code : {1, 2, 9, 10, 12, 31, 46, 50, 249, 251, 254, 256, 1000, -1, -4, INT32_MIN})
        EXPECT_STREQ(ZelGetReturnCodeDescriptor(code), "The return code exceeds the predetermined range.") << code;
}

TEST(ReturnCodes, DetailedReturnInfoFormats) {
    char buf[64];
    EXPECT_EQ(ZelOrbGetDetailedReturnInfo(-1988, buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "Error [-1988]: Device not found");
    EXPECT_EQ(ZelOrbGetDetailedReturnInfo(0, buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "[0] OK");
    ZelOrbGetDetailedReturnInfo(36, buf, sizeof buf);  // always the library table
    EXPECT_STREQ(buf, "[36] Unknown error code");
    ZelOrbGetDetailedReturnInfo(-1, buf, sizeof buf);
    EXPECT_STREQ(buf, "Error [-1]: General error");

    // Truncated to size - 1 characters, still terminated, nothing written past size.
    char small[12];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(ZelOrbGetDetailedReturnInfo(-1988, small, 8), small);
    EXPECT_STREQ(small, "Error [");
    EXPECT_EQ(small[8], 'x');
    ZelOrbGetDetailedReturnInfo(-1988, small, 1);
    EXPECT_STREQ(small, "");

    EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(0, nullptr, 64), "Buffer is null or too small");
    small[0] = 'q';
    EXPECT_STREQ(ZelOrbGetDetailedReturnInfo(0, small, 0), "Buffer is null or too small");
    EXPECT_EQ(small[0], 'q');
}

TEST(ReturnCodes, DetailMessageIsEmptyUntilSetAndReadersNeverSeeATornText) {
    // The only test in this program that stores the detail message.
    for (int32_t code : {33, 48, 250}) EXPECT_STREQ(ZelGetReturnCodeDescriptor(code), "") << code;

    const std::string full = "The number of parameters exceeds the range.";
    std::atomic<bool> go{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 20000; ++i) {
            const char* t = ZelGetReturnCodeDescriptor(250);
            const std::string s = t;
            if (!(s.empty() || s == full)) ++bad;
        }
    });
    go = true;
    for (int i = 0; i < 1000; ++i) orb::setDetailMessageParamsExceeded();
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    for (int32_t code : {33, 48, 250}) EXPECT_EQ(ZelGetReturnCodeDescriptor(code), full) << code;
    // A pointer handed out earlier stays valid after another store.
    const char* held = ZelGetReturnCodeDescriptor(48);
    orb::setDetailMessageParamsExceeded();
    EXPECT_EQ(std::string(held), full);
}

TEST(IPv4, ValidationTable) {
    const struct {
        const char* text;
        bool ok;
    } cases[] = {
        {"0.0.0.0", true},
        {"127.0.0.2", true},
        {"255.255.255.255", true},
        {"192.168.1.10", true},
        {"10.0.0.1", true},
        {"", false},
        {"1.2.3", false},             // three fields
        {"1.2.3.4.5", false},         // five fields
        {"1..2.3", false},            // empty field (too short anyway)
        {"11..22.33", false},         // empty field
        {".1.2.3", false},
        {"1.2.3.", false},
        {"10.20.30.", false},
        {"256.1.1.1", false},         // above 255
        {"1.1.1.300", false},
        {"01.2.3.4", false},          // leading zero
        {"1.2.3.00", false},
        {"10.0.0.010", false},
        {"1.2.3.a", false},           // non-digit
        {"1.2.3.-4", false},
        {"1.2.3.+4", false},
        {" 1.2.3.4", false},
        {"1.2.3.4 ", false},
        {"1.2.3.4\n", false},
        {"1234.1.1.1", false},
        {"100.100.100.1000", false},  // 16 characters
        {"100.100.100.100.", false},
        {"1.2.3.4.", false},
    };
    for (const auto& c : cases) EXPECT_EQ(orb::isValidIPv4(c.text), c.ok) << '"' << c.text << '"';
    EXPECT_FALSE(orb::isValidIPv4(nullptr));
}

TEST(IPv4, ConnectRefusesInvalidTargetsWithoutCreatingAnything) {
    for (const char* ip : {"", "1.2.3", "01.2.3.4", "1.2.3.256", "a.b.c.d", "1.2.3.4.5", "100.100.100.1000"})
        EXPECT_EQ(ZelOrbConnectDevice(ip, 6301), RC_INVALID_TARGET) << ip;
    EXPECT_EQ(ZelOrbConnectDevice(nullptr, 6301), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbConnectDevice("127.0.0.2", 0), RC_INVALID_TARGET);
    auto& reg = orb::libraryContext().registry;
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    EXPECT_TRUE(reg.devices().empty());
}

TEST(IPv4, DisconnectOfUnknownOrNullDevice) {
    EXPECT_EQ(ZelOrbDisconnectDevice("127.0.0.9"), RC_DEVICE_NOT_FOUND);
    EXPECT_EQ(ZelOrbDisconnectDevice(nullptr), RC_INVALID_TARGET);
    EXPECT_EQ(ZelOrbDisconnectAllDevice(), RC_OK);
}

TEST(RequestBuffer, EmptyRequestIsEighteenBytes) {
    orb::RequestBuffer req(0x0304);
    ASSERT_EQ(req.size(), 18u);
    EXPECT_EQ(Bytes(req.data(), req.data() + req.size()),
              (Bytes{0xA5, 0x5A, 0xAA, 0x55, 0x3F, 0x00, 0x03, 0x04, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x5A, 0xA5,
                     0x55, 0xAA}));
    EXPECT_EQ(req.command(), 0x0304);
    orb::RequestBuffer discovery(3, orb::kFrameTypeDiscovery);
    EXPECT_EQ(discovery.data()[4], 0x03);
}

TEST(RequestBuffer, PayloadsSmallAndLargeAndRefused) {
    orb::RequestBuffer req(0x0104);
    const std::uint8_t two[] = {0x03, 0xE8};
    ASSERT_TRUE(req.setPayload(two, 2));
    EXPECT_EQ(Bytes(req.data(), req.data() + req.size()),
              (Bytes{0xA5, 0x5A, 0xAA, 0x55, 0x3F, 0x00, 0x01, 0x04, 0x00, 0x01, 0x00, 0x01, 0x00, 0x02, 0x03, 0xE8,
                     0x5A, 0xA5, 0x55, 0xAA}));

    // Larger than the initial 128-byte store: the header survives the growth.
    Bytes big(300);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(req.setPayload(big.data(), big.size()));
    ASSERT_EQ(req.size(), 318u);
    const std::uint8_t* d = req.data();
    EXPECT_EQ(Bytes(d, d + 14), (Bytes{0xA5, 0x5A, 0xAA, 0x55, 0x3F, 0x00, 0x01, 0x04, 0x00, 0x01, 0x00, 0x01, 0x01, 0x2C}));
    EXPECT_EQ(Bytes(d + 14, d + 314), big);
    EXPECT_EQ(Bytes(d + 314, d + 318), (Bytes{0x5A, 0xA5, 0x55, 0xAA}));

    // Exactly 110 fits the first store; one more regrows.
    orb::RequestBuffer edge(1);
    Bytes p110(110, 0x42);
    ASSERT_TRUE(edge.setPayload(p110.data(), 110));
    EXPECT_EQ(edge.size(), 128u);
    EXPECT_EQ(edge.data()[127], 0xAA);

    // More than one datagram can carry, or null data, is refused unchanged.
    Bytes huge(orb::kMaxRequestPayload + 1);
    EXPECT_FALSE(req.setPayload(huge.data(), huge.size()));
    EXPECT_FALSE(req.setPayload(nullptr, 4));
    EXPECT_EQ(req.size(), 318u);
    EXPECT_TRUE(req.setPayload(nullptr, 0));
    EXPECT_EQ(req.size(), 18u);
}

Bytes frame(std::uint16_t cmd, std::uint8_t status, const Bytes& payload, std::uint16_t count = 1) {
    Bytes f = {0xA5, 0x5A, 0xAA, 0x55, 0x3F, status,
               static_cast<std::uint8_t>(cmd >> 8), static_cast<std::uint8_t>(cmd),
               static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0x00, 0x01,
               static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size())};
    f.insert(f.end(), payload.begin(), payload.end());
    f.insert(f.end(), {0x5A, 0xA5, 0x55, 0xAA});
    return f;
}

// The first n bytes of b (n negative: all but the last -n).
Bytes head(const Bytes& b, long n) {
    const std::size_t k = n < 0 ? b.size() - static_cast<std::size_t>(-n) : static_cast<std::size_t>(n);
    return Bytes(b.begin(), b.begin() + static_cast<long>(k));
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ReplyChain, Validation) {
    const std::uint16_t c = 0x0306;
    Bytes badTail = frame(c, 0, {1, 2});
    badTail.back() = 0;
    Bytes badHead2 = frame(c, 0, {3}, 2);
    badHead2[0] = 0;
    const struct {
        const char* name;
        Bytes bytes;
        bool ok;
    } cases[] = {
        {"single frame", frame(c, 0, {1, 2}), true},
        {"empty payload", frame(c, 0, {}), true},
        {"trailing bytes beyond the chain", cat(frame(c, 0, {1}), Bytes{9, 9, 9}), true},
        {"two frames", cat(frame(c, 0, {1}, 2), frame(c, 0, {2, 3}, 2)), true},
        {"frame count 0", frame(c, 0, {1}, 0), false},
        {"second frame missing", frame(c, 0, {1}, 2), false},
        {"second frame cut short", cat(frame(c, 0, {1}, 2), Bytes{0xA5, 0x5A, 0xAA, 0x55, 0x3F}), false},
        {"second frame's tail missing", cat(frame(c, 0, {1}, 2), head(frame(c, 0, {5, 6}, 2), -1)), false},
        {"other command in second frame", cat(frame(c, 0, {1}, 2), frame(c + 1, 0, {2}, 2)), false},
        {"bad tail", badTail, false},
        {"bad head in second frame", cat(frame(c, 0, {1}, 2), badHead2), false},
        {"payload length beyond data", head(frame(c, 0, {1, 2, 3}), -2), false},
        {"header only", head(frame(c, 0, {}), 10), false},
        {"nothing", Bytes{}, false},
    };
    for (const auto& k : cases) EXPECT_EQ(orb::validateReplyChain(k.bytes.data(), k.bytes.size(), c), k.ok) << k.name;
    const Bytes one = frame(c, 0, {});
    EXPECT_FALSE(orb::validateReplyChain(one.data(), one.size(), c + 1));
}

TEST(ReplyBuffer, AppendResetAndFirstFramePayload) {
    orb::ReplyBuffer r;
    EXPECT_EQ(r.length(), 0u);
    EXPECT_EQ(r.payloadLength(), 0u);
    const Bytes f1 = frame(0x0301, 0, {1, 2, 3, 4, 10, 11, 12, 13}, 2);
    const Bytes f2 = frame(0x0301, 0, Bytes(200, 0x5C), 2);
    r.append(f1.data(), f1.size());
    r.append(f2.data(), f2.size());
    ASSERT_EQ(r.length(), f1.size() + f2.size());
    EXPECT_EQ(Bytes(r.data(), r.data() + r.length()), cat(f1, f2));
    ASSERT_EQ(r.payloadLength(), 8u);
    EXPECT_EQ(r.payload()[4], 10);
    EXPECT_GT(r.capacity(), 128u);
    r.reset();
    EXPECT_EQ(r.length(), 0u);
    EXPECT_EQ(r.capacity(), 128u);
    // A first frame announcing more payload than is held gives no payload.
    const Bytes cut(f1.begin(), f1.end() - 3);
    r.append(cut.data(), cut.size());
    EXPECT_EQ(r.payloadLength(), 0u);
    r.append(nullptr, 5);
    EXPECT_EQ(r.length(), cut.size());
}

TEST(ReplyBuffer, AppendsStopOnceTheLimitIsExceeded) {
    orb::ReplyBuffer r;
    Bytes block(orb::kReplyAppendLimit / 4, 0x11);
    for (int i = 0; i < 4; ++i) r.append(block.data(), block.size());
    ASSERT_EQ(r.length(), orb::kReplyAppendLimit);
    r.append(block.data(), 1);  // length not above the limit yet: accepted
    ASSERT_EQ(r.length(), orb::kReplyAppendLimit + 1);
    r.append(block.data(), 100);  // now above: dropped
    EXPECT_EQ(r.length(), orb::kReplyAppendLimit + 1);
    r.reset();
    EXPECT_EQ(r.capacity(), 128u);
}

}  // namespace
