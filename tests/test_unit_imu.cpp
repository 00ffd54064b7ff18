// Nine-axis frame parsing and the stream-thread stop routine (no network).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "imu_rgb/imu_rgb_state.h"
#include "imu_rgb/imu_stream.h"
#include "imu_sender.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The reference frame written out byte by byte: seconds 1, microseconds 2,
// axis words 1..9.
Bytes referenceFrame() {
    Bytes b = {0x55, 0xAA, 0x5A, 0xA5, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0, 0, 0, 0, 0, 0x02, 0, 0, 0};
    for (std::uint8_t i = 1; i <= 9; ++i) b.insert(b.end(), {0, 0, 0, i});
    b.insert(b.end(), {0xAA, 0x55, 0xA5, 0x5A});
    return b;
}

std::uint32_t bitsOf(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

TEST(ImuParse, ReferenceFrameWithAndWithoutLeadingGarbage) {
    const Bytes frame = referenceFrame();
    ASSERT_EQ(frame.size(), orb::kImuFrameBytes);
    for (std::size_t garbage : {0u, 3u}) {
        Bytes d(garbage, 0x61);
        d.insert(d.end(), frame.begin(), frame.end());
        ZelOrb9AxisImuData out{};
        ASSERT_TRUE(orb::parseImuPacket(d.data(), d.size(), out)) << garbage;
        EXPECT_EQ(out.seconds, 1u);
        EXPECT_EQ(out.microseconds, 2u);
        for (int i = 0; i < 9; ++i) EXPECT_EQ(bitsOf(out.axis[i]), static_cast<std::uint32_t>(i + 1));
    }
}

TEST(ImuParse, WrongTailThenGoodFrameYieldsTheSecond) {
    orbsim::ImuSample first = orbsim::imuSampleFor(5);
    orbsim::ImuSample second = orbsim::imuSampleFor(6);
    second.seconds = 0x0000A1B2C3D4E5F6ull;  // all 48 bits in use
    Bytes d = orbsim::encodeImuFrame(first);
    d.back() ^= 0xFF;
    const Bytes good = orbsim::encodeImuFrame(second);
    d.insert(d.end(), good.begin(), good.end());
    ZelOrb9AxisImuData out{};
    ASSERT_TRUE(orb::parseImuPacket(d.data(), d.size(), out));
    EXPECT_EQ(out.seconds, 0x0000A1B2C3D4E5F6ull);
    EXPECT_EQ(out.microseconds, second.microseconds);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(bitsOf(out.axis[i]), second.axisBits[i]);
}

TEST(ImuParse, RejectsShortTruncatedHeadlessAndBadTail) {
    const Bytes frame = referenceFrame();
    ZelOrb9AxisImuData out{};
    out.seconds = 77;
    // 57 bytes starting with the head magic.
    EXPECT_FALSE(orb::parseImuPacket(frame.data(), 57, out));
    // Garbage that pushes the tail past the end of the datagram.
    Bytes shifted(5, 0x00);
    shifted.insert(shifted.end(), frame.begin(), frame.end() - 4);
    EXPECT_FALSE(orb::parseImuPacket(shifted.data(), shifted.size(), out));
    // No head magic anywhere.
    Bytes noHead(80, 0x11);
    EXPECT_FALSE(orb::parseImuPacket(noHead.data(), noHead.size(), out));
    // Only frame has a wrong tail.
    Bytes badTail = frame;
    badTail[56] = 0;
    EXPECT_FALSE(orb::parseImuPacket(badTail.data(), badTail.size(), out));
    EXPECT_FALSE(orb::parseImuPacket(nullptr, 100, out));
    EXPECT_EQ(out.seconds, 77u) << "a failed parse leaves the output alone";
}

TEST(StopStreamThread, NeverStartedEndsAtOnce) {
    orb::ThreadFlags flags;
    EXPECT_TRUE(orb::stopStreamThread(flags, std::chrono::milliseconds(0)));
    EXPECT_FALSE(flags.run.load());
}

TEST(StopStreamThread, WaitsForTheExitFlagAndGivesUpAtTheLimit) {
    orb::ThreadFlags flags;
    flags.run = true;
    flags.exit = false;
    std::thread worker([&] {
        while (flags.run.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        flags.exit = true;
    });
    EXPECT_TRUE(orb::stopStreamThread(flags));
    worker.join();

    orb::ThreadFlags stuck;
    stuck.run = true;
    stuck.exit = false;
    EXPECT_FALSE(orb::stopStreamThread(stuck, std::chrono::milliseconds(120)));
    EXPECT_FALSE(stuck.run.load());
}

}  // namespace
