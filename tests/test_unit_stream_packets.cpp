// Packet checks and decoding on packets built byte by byte: positions per data
// type and processing mode, record formats, axis sign and inversion, length
// checks. No threads, no network.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "stream/packet.h"
#include "support/packet_builder.h"

namespace {

using orbtest::PacketBuilder;
using Frame = std::vector<ZelOrbPointData>;
constexpr std::uint8_t kMarkTag = 7;

struct Target {
    Frame first = Frame(ZEL_ORB_FRAME_POINTS);
    Frame second = Frame(ZEL_ORB_FRAME_POINTS);
    orb::FilterSettings filters;

    // Checks and decodes one packet; false when the checks reject it.
    bool decode(const std::vector<std::uint8_t>& bytes, std::uint8_t mode, bool inverted = false, int sign = 1) {
        // An exactly sized copy, so that a read past the end is caught by ASan.
        const std::vector<std::uint8_t> d(bytes);
        orb::PacketInfo info;
        if (orb::inspectPacket(d.data(), d.size(), info) != orb::PacketKind::Frame) return false;
        orb::PacketRef ref{0, static_cast<std::uint16_t>(d.size()), info.dataType, info.format, info.records};
        orb::DecodeTarget t;
        t.mode = mode;
        t.axisSign = sign;
        t.inverted = inverted;
        t.filters = &filters;
        t.first = first.data();
        t.second = second.data();
        orb::decodePacket(d.data(), ref, t);
        return true;
    }
    std::size_t written() const {
        std::size_t n = 0;
        for (const auto& p : first) n += p.tag == kMarkTag;
        for (const auto& p : second) n += p.tag == kMarkTag;
        return n;
    }
    const ZelOrbPointData& at(int echo, int row, int col) const {
        return (echo ? second : first)[static_cast<std::size_t>(row) * 360 + col];
    }
};

struct PositionCase {
    const char* name;
    std::uint8_t type, mode;
    std::uint16_t r0, c0, a;
    std::uint8_t b;
    std::vector<std::tuple<int, int, int, int>> expect;  // record i -> echo, row, col
    std::size_t written;
};

TEST(PacketPositions, PerDataTypeAndMode) {
    const std::vector<PositionCase> cases = {
        {"full frame fills 4 columns per row", 1, 3, 8, 100, 8, 4, {{0, 0, 8, 100}, {3, 0, 8, 103}, {4, 0, 9, 100}, {31, 0, 15, 103}}, 32},
        {"dual echo pairs per column", 13, 7, 16, 40, 2, 8,
         {{0, 0, 8, 40}, {1, 1, 8, 40}, {2, 0, 8, 41}, {3, 1, 8, 41}, {6, 0, 8, 43}, {7, 1, 8, 43}, {8, 0, 9, 40}}, 16},
        {"dual echo in mode 5", 13, 5, 0, 0, 1, 8, {{0, 0, 0, 0}, {7, 1, 0, 3}}, 8},
        {"last row ends the packet", 1, 3, 149, 0, 2, 4, {{0, 0, 149, 0}, {3, 0, 149, 3}}, 4},
        {"last column ends the packet", 1, 3, 0, 358, 1, 4, {{0, 0, 0, 358}, {1, 0, 0, 359}}, 2},
        {"narrow half frame halves rows and columns", 12, 4, 10, 20, 3, 2, {{0, 0, 5, 10}, {1, 0, 5, 11}, {5, 0, 7, 11}}, 6},
        {"narrow half frame bounds", 12, 4, 148, 358, 2, 2, {{0, 0, 74, 179}}, 1},
        {"half frame halves rows only", 14, 8, 10, 20, 2, 4, {{0, 0, 5, 20}, {4, 0, 6, 20}, {7, 0, 6, 23}}, 8},
        {"half frame bounds", 14, 8, 148, 0, 2, 4, {{0, 0, 74, 0}, {3, 0, 74, 3}}, 4},
        {"narrow half frame not stored in mode 3", 12, 3, 0, 0, 2, 2, {}, 0},
        {"dual echo not stored in mode 3", 13, 3, 0, 0, 1, 8, {}, 0},
        {"full frame not stored in mode 7", 1, 7, 0, 0, 1, 4, {}, 0},
        {"nothing stored in mode 0", 1, 0, 0, 0, 1, 4, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Target t;
        PacketBuilder b(c.type, 2, 0, c.r0, c.c0, c.a, c.b, kMarkTag, 42);
        b.fill10(c.a * c.b, 1000);
        ASSERT_TRUE(t.decode(b.bytes(), c.mode));
        EXPECT_EQ(t.written(), c.written);
        for (const auto& [i, echo, row, col] : c.expect) {
            const ZelOrbPointData& p = t.at(echo, row, col);
            EXPECT_EQ(p.distance, 1000.0f + i) << "record " << i;
            EXPECT_EQ(p.row, row);
            EXPECT_EQ(p.column, col);
            EXPECT_EQ(p.timestamp, 42u);
            EXPECT_EQ(p.tag, kMarkTag);
        }
    }
}

TEST(PointFormats, ValuesAxisSignAndConversion) {
    struct Case {
        const char* name;
        std::uint8_t selector;
        PacketBuilder packet;
        int sign;
        float distance, x, y, z;
        std::uint32_t intensity;
    };
    auto hdr = [](std::uint8_t sel) { return PacketBuilder(1, sel, 0, 3, 4, 1, 1, kMarkTag, 9); };
    std::vector<Case> cases = {
        {"format 4: distance and intensity only", 0, hdr(0).rec4(1234, 77), -1, 1234, 0, 0, 0, 77},
        {"format 8: coordinates, no sign, no distance", 1, hdr(1).rec8(50, -25, 7, 9), -1, 0, 10, -5, 7 / 10.0f * 2.0f, 9},
        {"format 10: all, y and z signed", 2, hdr(2).rec10(300, 50, -25, 7, 200), -1, 300, 10, 5, -(7 / 10.0f * 2.0f), 200},
        {"format 10: positive sign", 2, hdr(2).rec10(65535, -32768, 32767, 0, 255), 1, 65535, -32768 / 10.0f * 2.0f,
         32767 / 10.0f * 2.0f, 0, 255},
        {"format 22: floats, y and z signed", 5, hdr(5).rec22(400, 12.5f, -2.5f, 5.0f, 3), -1, 400, 2.5f, 0.5f, -1.0f, 3},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Target t;
        ASSERT_TRUE(t.decode(c.packet.bytes(), 3, false, c.sign));
        const ZelOrbPointData& p = t.at(0, 3, 4);
        EXPECT_EQ(p.distance, c.distance);
        EXPECT_EQ(p.x, c.x);
        EXPECT_EQ(p.y, c.y);
        EXPECT_EQ(p.z, c.z);
        EXPECT_EQ(p.intensity, c.intensity);
        EXPECT_EQ(p.timestamp, 9u);
    }
}

TEST(PointFormats, InvertedFlagRotatesPlacementButKeepsRowAndColumn) {
    struct Case {
        std::uint8_t selector;
        float y;
    };
    // Inverted devices report axis sign -1; format 8 carries no sign.
    for (const Case& c : {Case{2, -10.0f}, Case{1, 10.0f}}) {
        Target t;
        PacketBuilder b(1, c.selector, 0, 0, 0, 1, 1, kMarkTag);
        if (c.selector == 2)
            b.rec10(10, 0, 50, 0, 1);
        else
            b.rec8(0, 50, 0, 1);
        ASSERT_TRUE(t.decode(b.bytes(), 3, true, -1));
        const ZelOrbPointData& p = t.first[149 * 360 + 359];
        EXPECT_EQ(p.tag, kMarkTag);
        EXPECT_EQ(p.row, 0);
        EXPECT_EQ(p.column, 0);
        EXPECT_EQ(p.y, c.y);
        EXPECT_EQ(t.first[0].tag, 0u);
    }
    // Half-height frames rotate into the lower half; dual echo ignores the flag.
    Target half;
    ASSERT_TRUE(half.decode(PacketBuilder(14, 2, 0, 0, 0, 1, 4, kMarkTag).fill10(4, 1).bytes(), 8, true));
    EXPECT_EQ(half.first[149 * 360 + 359].tag, kMarkTag);
    Target dual;
    ASSERT_TRUE(dual.decode(PacketBuilder(13, 2, 0, 0, 0, 1, 8, kMarkTag).fill10(8, 1).bytes(), 7, true));
    EXPECT_EQ(dual.first[0].tag, kMarkTag);
    EXPECT_EQ(dual.second[3].tag, kMarkTag);
}

TEST(PointFormats, DistanceWindowSeamRunsPerPoint) {
    Target t;
    t.filters.distanceFilterEnable = true;  // window (0, 100)
    PacketBuilder b(1, 2, 0, 0, 0, 1, 4, kMarkTag);
    b.rec10(0, 5, 5, 5, 1).rec10(50, 5, 5, 5, 1).rec10(99, 5, 5, 5, 1).rec10(100, 5, 5, 5, 1);
    ASSERT_TRUE(t.decode(b.bytes(), 3));
    const float kept[] = {0, 1, 1, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(t.first[i].x, kept[i]) << i;
        EXPECT_EQ(t.first[i].distance, b.bytes()[45 + 10 * i] | (b.bytes()[46 + 10 * i] << 8)) << "distance stays";
    }
    // Format 8 has distance 0, never above the minimum of 0.
    Target f8;
    f8.filters.distanceFilterEnable = true;
    ASSERT_TRUE(f8.decode(PacketBuilder(1, 1, 0, 0, 0, 1, 1, kMarkTag).rec8(50, 50, 50, 1).bytes(), 3));
    EXPECT_EQ(f8.first[0].x, 0.0f);
    EXPECT_EQ(f8.first[0].tag, kMarkTag);
}

TEST(PacketChecks, RejectedDatagrams) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        orb::PacketKind kind;
    };
    const auto good = PacketBuilder(1, 2, 0, 0, 0, 1, 4).fill10(4, 1).bytes();
    auto with = [&](std::size_t at, std::uint8_t v) {
        auto d = good;
        d[at] = v;
        return d;
    };
    auto cut = [&](std::size_t n) { return std::vector<std::uint8_t>(good.begin(), good.begin() + n); };
    const auto six = PacketBuilder(4, 0, 0, 0, 0, 0, 0).set(8, 1).bytes();
    std::vector<std::uint8_t> sixFull(six);
    sixFull.push_back(0);  // 46 bytes
    const std::vector<Case> cases = {
        {"well formed", good, orb::PacketKind::Frame},
        {"empty", {}, orb::PacketKind::BadLength},
        {"three bytes", cut(3), orb::PacketKind::BadLength},
        {"shorter than the header", cut(44), orb::PacketKind::BadLength},
        {"header only", cut(45), orb::PacketKind::Frame},
        {"wrong magic", with(0, 0x5B), orb::PacketKind::BadMagic},
        {"magic bytes swapped", with(1, 0x5A), orb::PacketKind::BadMagic},
        {"unknown data type", with(3, 7), orb::PacketKind::BadDataType},
        {"version_minor 1", with(6, 1), orb::PacketKind::BadVersion},
        {"selector 3", with(18, 3), orb::PacketKind::BadDataType},
        {"selector ignored for type 14", with(3, 14), orb::PacketKind::Frame},
        {"six-axis of 45 bytes", six, orb::PacketKind::BadLength},
        {"six-axis check byte 1", sixFull, orb::PacketKind::SixAxis},
        {"six-axis check byte 0", [&] { auto d = sixFull; d[8] = 0; return d; }(), orb::PacketKind::BadDataType},
        {"six-axis check byte 3", [&] { auto d = sixFull; d[8] = 3; return d; }(), orb::PacketKind::BadDataType},
        {"six-axis ignores version", [&] { auto d = sixFull; d[6] = 9; d[8] = 2; return d; }(), orb::PacketKind::SixAxis},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> d(c.bytes);
        orb::PacketInfo info;
        EXPECT_EQ(orb::inspectPacket(d.data(), d.size(), info), c.kind);
    }
}

TEST(PacketChecks, RecordCountIsCutToTheDatagram) {
    struct Case {
        const char* name;
        std::uint16_t a;
        std::uint8_t b;
        int present;       // whole records in the datagram
        int extraBytes;    // a partial record after them
        std::uint32_t records;
        bool truncated;
    };
    const std::vector<Case> cases = {
        {"exact", 2, 4, 8, 0, 8, false},
        {"partial record dropped", 2, 5, 7, 5, 7, true},
        {"announces fewer than present", 1, 3, 5, 0, 3, false},
        {"announces 16 million", 0xFFFF, 0xFF, 2, 0, 2, true},
        {"announces none", 0, 4, 3, 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PacketBuilder b(1, 2, 0, 0, 0, c.a, c.b, kMarkTag);
        b.fill10(c.present, 1);
        std::vector<std::uint8_t> bytes = b.bytes();
        bytes.resize(bytes.size() + static_cast<std::size_t>(c.extraBytes), 0xEE);
        orb::PacketInfo info;
        ASSERT_EQ(orb::inspectPacket(bytes.data(), bytes.size(), info), orb::PacketKind::Frame);
        EXPECT_EQ(info.records, c.records);
        EXPECT_EQ(info.truncated, c.truncated);
        Target t;
        ASSERT_TRUE(t.decode(bytes, 3));
        EXPECT_EQ(t.written(), c.records);
    }
}

TEST(PacketChecks, FormatCodes) {
    const std::tuple<int, int, int> table[] = {{1, 0, 4}, {1, 1, 8}, {1, 2, 10}, {1, 5, 22}, {1, 3, 0}, {1, 4, 0},
                                               {1, 255, 0}, {12, 9, 10}, {13, 0, 10}, {14, 5, 10}, {4, 0, 0}, {2, 2, 0}};
    for (const auto& [type, sel, fmt] : table)
        EXPECT_EQ(orb::pointFormatFor(static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(sel)), fmt)
            << type << "/" << sel;
}

}  // namespace

namespace {

// The decoder's fast conversion must give the bits of the written rule:
// q = v / 10 in float, q * 2 and the sign in double, stored as float.
float referenceCoord(float v, float sign) {
    const float q = v / 10.0f;
    return static_cast<float>(static_cast<double>(q) * 2.0 * static_cast<double>(sign));
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); }

TEST(CoordinateConversion, MatchesTheRuleForEveryInt16) {
    for (int v = -32768; v <= 32767; ++v)
        for (float sign : {1.0f, -1.0f})
            ASSERT_TRUE(sameBits(orb::coordFromInt(v, sign), referenceCoord(static_cast<float>(v), sign))) << v;
}

TEST(CoordinateConversion, MatchesTheRuleForFloats) {
    std::mt19937 rng(3);
    std::vector<std::uint32_t> patterns = {0x00000000u, 0x80000000u, 0x00000001u, 0x00000005u, 0x0000000Fu,
                                           0x007FFFFFu, 0x00800000u, 0x7F7FFFFFu, 0x7F800000u, 0x7FC00000u,
                                           0x3F800000u, 0x41200000u, 0xC1200000u};
    for (int i = 0; i < 2000000; ++i) patterns.push_back(static_cast<std::uint32_t>(rng()));
    for (std::uint32_t u = 0; u < 4096; ++u) patterns.push_back(u * 2049u);  // many subnormals
    for (std::uint32_t u : patterns) {
        float v;
        std::memcpy(&v, &u, sizeof v);
        for (float sign : {1.0f, -1.0f})
            ASSERT_TRUE(sameBits(orb::coordFromFloat(v, sign), referenceCoord(v, sign))) << std::hex << u;
    }
}

}  // namespace
