// Guards every wire decoder and encoder, byte by byte, against misplaced or misread fields, reads past a datagram's end and accepted garbage.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>

#include "announcer.h"
#include "control/command.h"
#include "control/control_server.h"
#include "control/crc8.h"
#include "control/discovery.h"
#include "control/net_settings.h"
#include "control_server.h"
#include "imu_rgb/imu_stream.h"
#include "imu_rgb/rgb_stream.h"
#include "imu_sender.h"
#include "rgb_sender.h"
#include "stream/packet.h"
#include "support/harness.h"
#include "support/packet_builder.h"
#include "wire_sim.h"

namespace {

using orbtest::Bytes;
using orbtest::cat;
using orbtest::commandFrame;
using orbtest::Frame;
using orbtest::PacketBuilder;
constexpr std::uint8_t kMark = 7;

// ------------------------------------------------------------ data packets

struct Target {
    Frame first = orbtest::newFrame(), second = orbtest::newFrame();
    orb::FilterSettings filters;

    // Checks and decodes one packet from an exactly sized copy (so ASan sees
    // a read past the end); false when the checks reject it.
    bool decode(const Bytes& bytes, std::uint8_t mode, bool inverted = false, int sign = 1) {
        const Bytes d(bytes);
        orb::PacketInfo info;
        if (orb::inspectPacket(d.data(), d.size(), info) != orb::PacketKind::Frame) return false;
        orb::DecodeTarget t;
        t.mode = mode;
        t.axisSign = sign;
        t.inverted = inverted;
        t.filters = &filters;
        t.first = first.data();
        t.second = second.data();
        orb::decodePacket(d.data(), {0, static_cast<std::uint16_t>(d.size()), info.dataType, info.format, info.records}, t);
        return true;
    }
    std::size_t written() const {
        std::size_t n = 0;
        for (const Frame* f : {&first, &second})
            for (const auto& p : *f) n += p.tag == kMark;
        return n;
    }
    const ZelOrbPointData& at(int echo, int row, int col) const { return (echo ? second : first)[row * 360 + col]; }
};

TEST(DataPacket, PositionsPerDataTypeAndMode) {
    struct Case {
        const char* name;
        std::uint8_t type, mode;
        std::uint16_t r0, c0, a;
        std::uint8_t b;
        std::vector<std::tuple<int, int, int, int>> expect;  // record i -> echo, row, col
        std::size_t written;
    };
    const std::vector<Case> cases = {
        {"full frame: 4 columns per row", 1, 3, 8, 100, 8, 4, {{0, 0, 8, 100}, {3, 0, 8, 103}, {4, 0, 9, 100}, {31, 0, 15, 103}}, 32},
        {"dual echo pairs per column", 13, 7, 16, 40, 2, 8, {{0, 0, 8, 40}, {1, 1, 8, 40}, {6, 0, 8, 43}, {7, 1, 8, 43}, {8, 0, 9, 40}}, 16},
        {"dual echo in mode 5", 13, 5, 0, 0, 1, 8, {{0, 0, 0, 0}, {7, 1, 0, 3}}, 8},
        {"last row ends the packet", 1, 3, 149, 0, 2, 4, {{3, 0, 149, 3}}, 4},
        {"last column ends the packet", 1, 3, 0, 358, 1, 4, {{1, 0, 0, 359}}, 2},
        {"narrow half: rows and columns halved", 12, 4, 10, 20, 3, 2, {{0, 0, 5, 10}, {1, 0, 5, 11}, {5, 0, 7, 11}}, 6},
        {"narrow half bounds", 12, 4, 148, 358, 2, 2, {{0, 0, 74, 179}}, 1},
        {"half: rows halved", 14, 8, 10, 20, 2, 4, {{0, 0, 5, 20}, {4, 0, 6, 20}, {7, 0, 6, 23}}, 8},
        {"half bounds", 14, 8, 148, 0, 2, 4, {{3, 0, 74, 3}}, 4},
        {"narrow half not stored in mode 3", 12, 3, 0, 0, 2, 2, {}, 0},
        {"dual echo not stored in mode 3", 13, 3, 0, 0, 1, 8, {}, 0},
        {"full frame not stored in mode 7", 1, 7, 0, 0, 1, 4, {}, 0},
        {"nothing stored in mode 0", 1, 0, 0, 0, 1, 4, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Target t;
        ASSERT_TRUE(t.decode(PacketBuilder(c.type, 2, 0, c.r0, c.c0, c.a, c.b, kMark, 42).fill10(c.a * c.b, 1000).bytes(), c.mode));
        EXPECT_EQ(t.written(), c.written);
        for (const auto& [i, echo, row, col] : c.expect) {
            const ZelOrbPointData& p = t.at(echo, row, col);
            EXPECT_EQ(p.distance, 1000.0f + i) << "record " << i;
            EXPECT_TRUE(p.row == row && p.column == col && p.timestamp == 42u && p.tag == kMark) << "record " << i;
        }
    }
}

TEST(DataPacket, RecordFormatsAxisSignInversionAndDistanceWindow) {
    struct Case {
        const char* name;
        PacketBuilder packet;
        int sign;
        float distance, x, y, z;
        std::uint32_t intensity;
    };
    auto hdr = [](std::uint8_t sel) { return PacketBuilder(1, sel, 0, 3, 4, 1, 1, kMark, 9); };
    const Case cases[] = {
        {"format 4: distance and intensity", hdr(0).rec4(1234, 77), -1, 1234, 0, 0, 0, 77},
        {"format 8: coordinates, unsigned", hdr(1).rec8(50, -25, 7, 9), -1, 0, 10, -5, 7 / 10.0f * 2.0f, 9},
        {"format 10: y and z signed", hdr(2).rec10(300, 50, -25, 7, 200), -1, 300, 10, 5, -(7 / 10.0f * 2.0f), 200},
        {"format 10: extremes", hdr(2).rec10(65535, -32768, 32767, 0, 255), 1, 65535, -32768 / 10.0f * 2.0f, 32767 / 10.0f * 2.0f, 0, 255},
        {"format 22: floats, y and z signed", hdr(5).rec22(400, 12.5f, -2.5f, 5.0f, 3), -1, 400, 2.5f, 0.5f, -1.0f, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Target t;
        ASSERT_TRUE(t.decode(c.packet.bytes(), 3, false, c.sign));
        const ZelOrbPointData& p = t.at(0, 3, 4);
        EXPECT_EQ(std::make_tuple(p.distance, p.x, p.y, p.z, p.intensity, p.timestamp),
                  std::make_tuple(c.distance, c.x, c.y, c.z, c.intensity, std::uint64_t{9}));
    }
    // Inverted devices (axis sign -1): placement turns by 180 degrees, row and
    // column fields stay; format 8 carries no sign; half frames turn into the
    // lower half; dual echo ignores the flag.
    for (std::uint8_t sel : {2, 1}) {
        Target t;
        PacketBuilder b(1, sel, 0, 0, 0, 1, 1, kMark);
        ASSERT_TRUE(t.decode((sel == 2 ? b.rec10(10, 0, 50, 0, 1) : b.rec8(0, 50, 0, 1)).bytes(), 3, true, -1));
        const ZelOrbPointData& p = t.first[ZEL_ORB_FRAME_POINTS - 1];
        EXPECT_TRUE(p.tag == kMark && p.row == 0 && p.column == 0 && t.first[0].tag == 0);
        EXPECT_EQ(p.y, sel == 2 ? -10.0f : 10.0f);
    }
    Target half, dual;
    ASSERT_TRUE(half.decode(PacketBuilder(14, 2, 0, 0, 0, 1, 4, kMark).fill10(4, 1).bytes(), 8, true));
    EXPECT_EQ(half.first[ZEL_ORB_FRAME_POINTS - 1].tag, kMark);
    ASSERT_TRUE(dual.decode(PacketBuilder(13, 2, 0, 0, 0, 1, 8, kMark).fill10(8, 1).bytes(), 7, true));
    EXPECT_TRUE(dual.first[0].tag == kMark && dual.second[3].tag == kMark);

    // The distance window (0, 100) clears coordinates point by point and keeps
    // the distance; format 8 (distance 0) is never inside it.
    Target w;
    w.filters.distanceFilterEnable = true;
    ASSERT_TRUE(w.decode(PacketBuilder(1, 2, 0, 0, 0, 1, 4, kMark).rec10(0, 5, 5, 5, 1).rec10(50, 5, 5, 5, 1)
                             .rec10(99, 5, 5, 5, 1).rec10(100, 5, 5, 5, 1).bytes(), 3));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(w.first[i].x, i == 1 || i == 2 ? 1.0f : 0.0f) << i;
    EXPECT_EQ(w.first[3].distance, 100.0f);
    Target f8;
    f8.filters.distanceFilterEnable = true;
    ASSERT_TRUE(f8.decode(PacketBuilder(1, 1, 0, 0, 0, 1, 1, kMark).rec8(50, 50, 50, 1).bytes(), 3));
    EXPECT_TRUE(f8.first[0].x == 0.0f && f8.first[0].tag == kMark);
}

TEST(DataPacket, ChecksRejectMalformedDatagramsAndCutRecordCounts) {
    const Bytes good = PacketBuilder(1, 2, 0, 0, 0, 1, 4).fill10(4, 1).bytes();
    auto with = [](Bytes d, std::size_t at, std::uint8_t v) { return d[at] = v, d; };
    const Bytes six = cat(PacketBuilder(4, 0, 0, 0, 0, 0, 0).set(8, 1).bytes(), {0});  // 46 bytes
    const std::pair<Bytes, orb::PacketKind> cases[] = {
        {good, orb::PacketKind::Frame},
        {{}, orb::PacketKind::Ignored},
        {Bytes(good.begin(), good.begin() + 3), orb::PacketKind::Ignored},
        {Bytes(good.begin(), good.begin() + 44), orb::PacketKind::Ignored},
        {Bytes(good.begin(), good.begin() + 45), orb::PacketKind::Frame},
        {with(good, 0, 0x5B), orb::PacketKind::Ignored},   // magic
        {with(good, 1, 0x5A), orb::PacketKind::Ignored},   // magic bytes swapped
        {with(good, 3, 7), orb::PacketKind::Ignored},      // data type
        {with(good, 6, 1), orb::PacketKind::Ignored},      // version
        {with(good, 18, 3), orb::PacketKind::Ignored},     // selector
        {with(good, 3, 14), orb::PacketKind::Frame},       // no selector in type 14
        {Bytes(six.begin(), six.end() - 1), orb::PacketKind::Ignored},
        {six, orb::PacketKind::SixAxis},
        {with(six, 8, 0), orb::PacketKind::Ignored},       // check byte
        {with(six, 8, 3), orb::PacketKind::Ignored},
        {with(with(six, 6, 9), 8, 2), orb::PacketKind::SixAxis},  // version not checked
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Bytes d(cases[i].first);
        orb::PacketInfo info;
        EXPECT_EQ(orb::inspectPacket(d.data(), d.size(), info), cases[i].second) << "case " << i;
    }
    struct Count {
        std::uint16_t a;
        std::uint8_t b;
        int present, extraBytes;  // whole records, then part of one
        std::uint32_t records;
        bool truncated;
    };
    for (const Count& c : {Count{2, 4, 8, 0, 8, false}, Count{2, 5, 7, 5, 7, true}, Count{1, 3, 5, 0, 3, false},
                           Count{0xFFFF, 0xFF, 2, 0, 2, true}, Count{0, 4, 3, 0, 0, false}}) {
        SCOPED_TRACE(c.a * c.b);
        Bytes d = PacketBuilder(1, 2, 0, 0, 0, c.a, c.b, kMark).fill10(c.present, 1).bytes();
        d.resize(d.size() + c.extraBytes, 0xEE);
        orb::PacketInfo info;
        ASSERT_EQ(orb::inspectPacket(d.data(), d.size(), info), orb::PacketKind::Frame);
        EXPECT_EQ(std::make_pair(info.records, info.truncated), std::make_pair(c.records, c.truncated));
        Target t;
        ASSERT_TRUE(t.decode(d, 3));
        EXPECT_EQ(t.written(), c.records);
    }
}

// The fast conversion gives the bits of q = v / 10 in float, then q * 2 * sign
// in double, stored as float.
float referenceCoord(float v, float sign) { return static_cast<float>(double(v / 10.0f) * 2.0 * double(sign)); }
bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); }

TEST(DataPacket, CoordinateConversionKeepsTheBitsOfTheSlowRule) {
    for (int v = -32768; v <= 32767; ++v)
        for (float sign : {1.0f, -1.0f}) ASSERT_TRUE(sameBits(orb::coordFromInt(v, sign), referenceCoord(float(v), sign))) << v;
    std::mt19937 rng(3);
    std::vector<std::uint32_t> patterns = {0, 0x80000000u, 1, 5, 0x007FFFFFu, 0x00800000u, 0x7F7FFFFFu, 0x7F800000u,
                                           0x7FC00000u, 0x3F800000u, 0xC1200000u};
    for (int i = 0; i < 300000; ++i) patterns.push_back(static_cast<std::uint32_t>(rng()));
    for (std::uint32_t u = 0; u < 4096; ++u) patterns.push_back(u * 2049u);  // many subnormals
    for (std::uint32_t u : patterns) {
        float v;
        std::memcpy(&v, &u, sizeof v);
        for (float sign : {1.0f, -1.0f}) ASSERT_TRUE(sameBits(orb::coordFromFloat(v, sign), referenceCoord(v, sign))) << u;
    }
}

// -------------------------------------------------------------- nine-axis IMU

TEST(ImuFrame, ParsedAfterGarbageAndWrongTailsRejected) {
    // Seconds 1, microseconds 2, axis words 1..9.
    Bytes ref = {0x55, 0xAA, 0x5A, 0xA5, 0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0, 0, 0, 0, 0, 0x02, 0, 0, 0};
    for (std::uint8_t i = 1; i <= 9; ++i) ref.insert(ref.end(), {0, 0, 0, i});
    ref.insert(ref.end(), {0xAA, 0x55, 0xA5, 0x5A});
    ASSERT_EQ(ref.size(), orb::kImuFrameBytes);
    for (std::size_t garbage : {0u, 3u}) {
        const Bytes d = cat(Bytes(garbage, 0x61), ref);
        ZelOrb9AxisImuData out{};
        ASSERT_TRUE(orb::ParseImuPacket(d.data(), d.size(), out)) << garbage;
        std::uint32_t axis[9];
        std::memcpy(axis, out.axis, sizeof axis);
        EXPECT_TRUE(out.seconds == 1u && out.microseconds == 2u);
        for (int i = 0; i < 9; ++i) EXPECT_EQ(axis[i], std::uint32_t(i + 1));
    }
    // A frame with a wrong tail, then a good one with all 48 bits of seconds.
    orbsim::ImuSample second = orbsim::imuSampleFor(6);
    second.seconds = 0x0000A1B2C3D4E5F6ull;
    Bytes bad = orbsim::encodeImuFrame(orbsim::imuSampleFor(5));
    bad.back() ^= 0xFF;
    const Bytes d = cat(bad, orbsim::encodeImuFrame(second));
    ZelOrb9AxisImuData out{};
    ASSERT_TRUE(orb::ParseImuPacket(d.data(), d.size(), out));
    EXPECT_TRUE(out.seconds == second.seconds && out.microseconds == second.microseconds);
    EXPECT_EQ(std::memcmp(out.axis, second.axisBits, sizeof out.axis), 0);

    out.seconds = 77;
    const Bytes rejected[] = {Bytes(ref.begin(), ref.end() - 1),                   // one byte short
                              cat(Bytes(5, 0), Bytes(ref.begin(), ref.end() - 4)), // tail pushed past the end
                              Bytes(80, 0x11),                                     // no head
                              [&] { Bytes b = ref; b[56] = 0; return b; }()};      // wrong tail
    for (const Bytes& r : rejected) EXPECT_FALSE(orb::ParseImuPacket(r.data(), r.size(), out));
    EXPECT_FALSE(orb::ParseImuPacket(nullptr, 100, out));
    EXPECT_EQ(out.seconds, 77u) << "a failed parse leaves the output alone";
}

// -------------------------------------------------------------- RGB fragments

Bytes payloadOf(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

struct Feed {
    orb::RgbAssembly state;
    std::vector<orb::RgbFrame> frames;
    void operator()(const Bytes& d) {
        orb::RgbFrame f;
        if (orb::AssembleRgbFragment(d.data(), d.size(), state, f)) frames.push_back(std::move(f));
    }
    void all(const std::vector<Bytes>& ds) {
        for (const Bytes& d : ds) (*this)(d);
    }
};

TEST(RgbFragments, InOrderFrameCarriesTheLastHeaderAndFaultsCompleteNothing) {
    const Bytes frame = payloadOf(250, 3);
    Feed feed;
    for (std::uint16_t i = 1; i <= 3; ++i) {  // distinct times show whose header the frame carries
        orbsim::FragmentHeader h;
        h.total = 3;
        h.index = i;
        h.frameId = 42;
        h.seconds = 99 + i;
        h.microseconds = 199u + i;
        h.word = 0xCAFEF00D;
        Bytes d;
        orbsim::appendFragment(d, h, frame.data() + (i - 1) * 100, std::min<std::size_t>(100, frame.size() - (i - 1) * 100));
        feed(d);
    }
    ASSERT_EQ(feed.frames.size(), 1u);
    const orb::RgbFragmentHeader& h = feed.frames[0].header;
    EXPECT_EQ(feed.frames[0].bytes, frame);
    EXPECT_EQ(std::make_tuple(h.frameId, h.seconds, h.microseconds, h.word, h.index, h.length),
              std::make_tuple(42u, std::uint64_t{102}, 202u, 0xCAFEF00Du, std::uint16_t{3}, 50u));

    // Reordered, a new id mid-frame, a dropped, truncated or wrongly closed
    // fragment: never a frame; the next id starts afresh.
    auto fault = [](auto set) { orbsim::RgbFaults f; set(f); return f; };
    const orbsim::RgbFaults faults[] = {fault([](auto& f) { f.reorder = true; }), fault([](auto& f) { f.changeIdFrom = 2; }),
                                        fault([](auto& f) { f.dropFragment = 2; }), fault([](auto& f) { f.truncateFragment = 3; }),
                                        fault([](auto& f) { f.wrongTailFragment = 1; })};
    Feed broken;
    std::uint32_t id = 9;
    for (const auto& f : faults) broken.all(orbsim::fragmentFrame(payloadOf(300, 1), 0, id += 2, 1, 1, 100, f));
    EXPECT_TRUE(broken.frames.empty());
    broken.all(orbsim::fragmentFrame(payloadOf(300, 1), 0, 100, 1, 1, 100));
    ASSERT_EQ(broken.frames.size(), 1u);
    EXPECT_EQ(broken.frames[0].header.frameId, 100u);

    // Two fragments per datagram after garbage before the head.
    Feed pairs;
    pairs.all(orbsim::fragmentFrame(payloadOf(400, 9), 2, 77, 1, 1, 100, fault([](auto& f) { f.pairs = true; f.garbageBeforeHead = 7; })));
    ASSERT_EQ(pairs.frames.size(), 1u);
    EXPECT_EQ(pairs.frames[0].bytes, payloadOf(400, 9));
    EXPECT_EQ(pairs.frames[0].header.format(), 2u);
}

TEST(RgbFragments, ShortDatagramsAndOversizedFramesAreDropped) {
    // A whole one-fragment frame of 49 bytes is ignored; one byte more is taken.
    Feed feed;
    const auto shortOne = orbsim::fragmentFrame(payloadOf(11, 2), 0, 1, 1, 1, 100);
    ASSERT_EQ(shortOne.at(0).size(), 49u);
    feed.all(shortOne);
    EXPECT_TRUE(feed.frames.empty());
    feed.all(orbsim::fragmentFrame(payloadOf(12, 2), 0, 2, 1, 1, 100));
    EXPECT_EQ(feed.frames.size(), 1u);

    // 300 fragments of 60,000 bytes would make 18 MB: memory stays bounded.
    const Bytes piece = payloadOf(60000, 4);
    std::size_t largest = 0;
    for (std::uint16_t i = 1; i <= 300; ++i) {
        orbsim::FragmentHeader h;
        h.total = 300;
        h.index = i;
        h.frameId = 5;
        Bytes d;
        orbsim::appendFragment(d, h, piece.data(), piece.size());
        feed(d);
        largest = std::max(largest, feed.state.bytes.size());
    }
    EXPECT_EQ(feed.frames.size(), 1u);
    EXPECT_LE(largest, orb::kMaxRgbFrameBytes);
    feed.all(orbsim::fragmentFrame(payloadOf(500, 1), 0, 6, 1, 1, 200));
    EXPECT_EQ(feed.frames.size(), 2u);
}

// ------------------------------------------------------------ command channel

TEST(CommandFrames, RequestsAreByteExactAndGrowOrRefuse) {
    orb::RequestBuffer req(0x0304);
    EXPECT_EQ(Bytes(req.data(), req.data() + req.size()), commandFrame(0x0304, 0));
    EXPECT_EQ(orb::RequestBuffer(3, orb::kFrameTypeDiscovery).data()[4], 0x03);
    const std::uint8_t two[] = {0x03, 0xE8};
    ASSERT_TRUE(req.setPayload(two, 2));
    EXPECT_EQ(Bytes(req.data(), req.data() + req.size()), commandFrame(0x0304, 0, {0x03, 0xE8}));
    // Larger than the first 128-byte store: the header survives the growth.
    Bytes big(300);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(req.setPayload(big.data(), big.size()));
    EXPECT_EQ(Bytes(req.data(), req.data() + req.size()), commandFrame(0x0304, 0, big));
    orb::RequestBuffer edge(1);
    const Bytes p110(110, 0x42);
    ASSERT_TRUE(edge.setPayload(p110.data(), 110));  // exactly fills the first store
    EXPECT_EQ(Bytes(edge.data(), edge.data() + edge.size()), commandFrame(1, 0, p110));
    // More than a datagram carries, or null data, is refused unchanged.
    const Bytes huge(orb::kMaxRequestPayload + 1);
    EXPECT_FALSE(req.setPayload(huge.data(), huge.size()));
    EXPECT_FALSE(req.setPayload(nullptr, 4));
    EXPECT_EQ(req.size(), 318u);
    EXPECT_TRUE(req.setPayload(nullptr, 0));
    EXPECT_EQ(req.size(), 18u);
}

TEST(CommandFrames, ReplyChainsAreValidatedAndAccumulatedWithinTheLimit) {
    const std::uint16_t c = 0x0306;
    auto head = [](const Bytes& b, long n) { return Bytes(b.begin(), n < 0 ? b.end() + n : b.begin() + n); };
    auto with = [](Bytes d, std::size_t at, std::uint8_t v) { return d[at] = v, d; };
    const std::pair<Bytes, bool> cases[] = {
        {commandFrame(c, 0, {1, 2}), true},
        {commandFrame(c, 0), true},
        {cat(commandFrame(c, 0, {1}), {9, 9, 9}), true},  // bytes beyond the chain
        {cat(commandFrame(c, 0, {1}, 2), commandFrame(c, 0, {2, 3}, 2)), true},
        {commandFrame(c, 0, {1}, 0), false},
        {commandFrame(c, 0, {1}, 2), false},  // second frame missing
        {cat(commandFrame(c, 0, {1}, 2), {0xA5, 0x5A, 0xAA, 0x55, 0x3F}), false},
        {cat(commandFrame(c, 0, {1}, 2), head(commandFrame(c, 0, {5, 6}, 2), -1)), false},
        {cat(commandFrame(c, 0, {1}, 2), commandFrame(c + 1, 0, {2}, 2)), false},
        {with(commandFrame(c, 0, {1, 2}), 19, 0), false},  // tail
        {cat(commandFrame(c, 0, {1}, 2), with(commandFrame(c, 0, {3}, 2), 0, 0)), false},
        {head(commandFrame(c, 0, {1, 2, 3}), -2), false},  // payload beyond the data
        {head(commandFrame(c, 0), 10), false},
        {{}, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(orb::ValidateReplyChain(cases[i].first.data(), cases[i].first.size(), c), cases[i].second) << i;
    EXPECT_FALSE(orb::ValidateReplyChain(cases[0].first.data(), cases[0].first.size(), c + 1));

    orb::ReplyBuffer r;
    const Bytes f1 = commandFrame(0x0301, 0, {1, 2, 3, 4, 10, 11, 12, 13}, 2), f2 = commandFrame(0x0301, 0, Bytes(200, 0x5C), 2);
    r.append(f1.data(), f1.size());
    r.append(f2.data(), f2.size());
    EXPECT_EQ(Bytes(r.data(), r.data() + r.length()), cat(f1, f2));
    ASSERT_EQ(r.payloadLength(), 8u);
    EXPECT_EQ(r.payload()[4], 10);
    r.reset();
    EXPECT_EQ(std::make_pair(r.length(), r.capacity()), std::make_pair(std::size_t{0}, std::size_t{128}));
    r.append(f1.data(), f1.size() - 3);  // announces more payload than held
    EXPECT_EQ(r.payloadLength(), 0u);
    r.append(nullptr, 5);
    EXPECT_EQ(r.length(), f1.size() - 3);
    // Appends stop once the length is above the limit.
    r.reset();
    const Bytes block(orb::kReplyAppendLimit / 4, 0x11);
    for (int i = 0; i < 4; ++i) r.append(block.data(), block.size());
    r.append(block.data(), 1);
    r.append(block.data(), 100);
    EXPECT_EQ(r.length(), orb::kReplyAppendLimit + 1);
}

// -------------------------------------- control server, settings, discovery

std::string hex(const Bytes& b) { return orb::HexEncode(b.data(), b.size()); }

TEST(ControlServerFrames, AgreeWithTheSimulatorAndTheFixedModeTexts) {
    const Bytes abc = {'a', 'b', 'c'};
    EXPECT_EQ(orb::Crc8(abc.data(), 3), 0xA9);
    EXPECT_EQ(orb::Crc8(nullptr, 0), 0);
    std::mt19937 rng(7);
    for (int round = 0; round < 50; ++round) {
        Bytes data(rng() % 300);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        ASSERT_EQ(orb::Crc8(data.data(), data.size()), orbsim::crc8(data.data(), data.size()));
    }
    const Bytes one = {1, 0, 0, 0}, nine = {9, 0, 0, 0};
    EXPECT_EQ(hex(orb::BuildControlServerFrame(0x0100, one.data(), 4)), orb::kModeFrameSingleEchoHex);
    EXPECT_EQ(hex(orb::BuildControlServerFrame(0x0100, nine.data(), 4)), orb::kModeFrameDualEchoHex);
    EXPECT_EQ(hex(orbsim::cs::encode(orbsim::cs::Frame{1, 0, 0x0100, one})), orb::kModeFrameSingleEchoHex);
    orbsim::cs::Frame confirm{0, 1, 0x0100, {0, 0, 0, 0}};
    EXPECT_EQ(hex(orbsim::cs::encode(confirm)), orb::kModeReplyHex);
    EXPECT_EQ(orb::BuildControlServerFrame(0x0202, nullptr, 0), orbsim::cs::encode(orbsim::cs::Frame{1, 0, 0x0202, {}}));

    Bytes out;
    EXPECT_TRUE(orb::HexDecode("00aBfF", out));
    EXPECT_EQ(out, (Bytes{0x00, 0xAB, 0xFF}));
    for (const char* bad : {"0g", "abc", static_cast<const char*>(nullptr)}) EXPECT_FALSE(orb::HexDecode(bad, out));
    EXPECT_TRUE(out.empty());
}

ZelOrbNetInfo netInfo(const char* lidar, const char* host, std::uint16_t lport = 1, std::uint16_t hport = 2) {
    ZelOrbNetInfo n{};
    std::strncpy(n.lidar_ip, lidar, sizeof n.lidar_ip - 1);
    std::strncpy(n.host_ip, host, sizeof n.host_ip - 1);
    n.lidar_port = lport;
    n.host_port = hport;
    return n;
}

TEST(NetSettings, EncodedAndDecodedAgainstTheSimulatorAndBadRecordsRefused) {
    std::uint8_t out[orb::kNetSettingsSize];
    ASSERT_TRUE(orb::EncodeNetSettings(netInfo("192.168.1.10", "192.168.1.2", 6001, 6002), nullptr, out));
    EXPECT_EQ(Bytes(out, out + 44), cat({192, 168, 1, 10, 192, 168, 1, 2, 0x71, 0x17, 0x72, 0x17}, Bytes(32, 0)));
    std::uint8_t extra[orb::kNetSettingsExtraSize];
    for (std::size_t i = 0; i < sizeof extra; ++i) extra[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(orb::EncodeNetSettings(netInfo("10.0.0.1", "10.0.0.2"), extra, out));
    EXPECT_EQ(Bytes(out + 12, out + 44), Bytes(extra, extra + 32));

    orbsim::NetSettings sim;
    sim.lidarIp = "192.168.1.10";
    sim.hostIp = "192.168.1.2";
    sim.lidarPort = 6001;
    sim.hostPort = 6002;
    const Bytes wire = orbsim::cs::encodeNetSettings(sim);
    ZelOrbNetInfo back = netInfo("1.2.3.4", "5.6.7.8", 9, 10);
    EXPECT_FALSE(orb::DecodeNetSettings(wire.data(), 43, back));
    const Bytes longer = cat(wire, {0});
    EXPECT_FALSE(orb::DecodeNetSettings(longer.data(), longer.size(), back));
    EXPECT_STREQ(back.lidar_ip, "1.2.3.4");
    ASSERT_TRUE(orb::DecodeNetSettings(wire.data(), wire.size(), back));
    EXPECT_EQ(std::make_tuple(std::string(back.lidar_ip), std::string(back.host_ip), back.lidar_port, back.host_port),
              std::make_tuple(std::string("192.168.1.10"), std::string("192.168.1.2"), std::uint16_t{6001}, std::uint16_t{6002}));

    orbtest::fillPattern(out, sizeof out);
    ZelOrbNetInfo unterminated = netInfo("x", "192.168.1.2");  // read no further than its field
    std::memset(unterminated.lidar_ip, '1', sizeof unterminated.lidar_ip);
    for (const ZelOrbNetInfo& bad : {netInfo("192.168.1.10", "0.0.0.0"), netInfo("0.0.0.0", "192.168.1.2"),
                                     netInfo("camera", "192.168.1.2"), netInfo("192.168.1", "192.168.1.2"), unterminated})
        EXPECT_FALSE(orb::EncodeNetSettings(bad, nullptr, out));
    EXPECT_TRUE(orbtest::holdsPattern(out, sizeof out));
}

struct Entry {
    std::string key;
    Bytes value;
};
// An announcement with arbitrary entries, checks by the simulator's CRC.
Bytes announcement(const std::vector<Entry>& entries, int count = -1) {
    Bytes b = {0x5A, 0xA5, 0x01, 0x09, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(count >= 0 ? count : int(entries.size()))};
    for (const auto& e : entries) {
        std::string key = e.key;
        key.resize(8, '\0');
        b = cat(cat(cat(b, {0, 0, 0, static_cast<std::uint8_t>(e.value.size())}), Bytes(key.begin(), key.end())), e.value);
    }
    b[6] = orbsim::crc8(b.data(), 6);
    b[7] = orbsim::crc8(b.data() + 8, b.size() - 8);
    return b;
}
Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

TEST(Announcements, ParsedEntryByEntryWithinTheDatagram) {
    orbsim::NetSettings n;
    n.lidarIp = "192.168.1.10";
    n.hostIp = "192.168.1.2";
    n.lidarPort = 6301;
    n.hostPort = 6001;
    const Bytes d = orbsim::Announcer::encode(n);
    ZelOrbNetInfo info{};
    ASSERT_TRUE(orb::ParseAnnouncement(d.data(), d.size(), info));
    EXPECT_EQ(std::make_tuple(std::string(info.lidar_ip), std::string(info.host_ip), info.lidar_port, info.host_port),
              std::make_tuple(n.lidarIp, n.hostIp, std::uint16_t{6301}, std::uint16_t{6001}));
    for (std::size_t i : {0u, 3u, 6u, 7u, 20u}) {
        Bytes bad = d;
        bad[i] ^= 0x01;
        EXPECT_FALSE(orb::ParseAnnouncement(bad.data(), bad.size(), info)) << "byte " << i;
    }
    EXPECT_FALSE(orb::ParseAnnouncement(d.data(), 9, info));

    // Ports little-endian (one byte zero-extended), unknown keys skipped, absent ones empty.
    Bytes a = announcement({{"color", text("blue")}, {"port", {0x71, 0x17}}, {"lport", {0x05}}, {"module", text("10.1.2.3")}});
    ASSERT_TRUE(orb::ParseAnnouncement(a.data(), a.size(), info));
    EXPECT_EQ(std::make_tuple(info.host_port, info.lidar_port, std::string(info.lidar_ip), std::string(info.host_ip)),
              std::make_tuple(std::uint16_t{6001}, std::uint16_t{5}, std::string("10.1.2.3"), std::string()));
    a = announcement({{"server", Bytes(60, 'a')}});  // longer than the field: 39 characters kept
    ASSERT_TRUE(orb::ParseAnnouncement(a.data(), a.size(), info));
    EXPECT_EQ(std::strlen(info.host_ip), 39u);
    // A count beyond the entries present, a value running past the end, an
    // entry header cut short: the parse stops at the datagram's end.
    a = announcement({{"module", text("10.1.2.3")}}, 200);
    ASSERT_TRUE(orb::ParseAnnouncement(a.data(), a.size(), info));
    EXPECT_STREQ(info.lidar_ip, "10.1.2.3");
    a = announcement({{"module", text("10.1.2.3")}, {"server", text("10.1.2.4")}});
    a[a.size() - 17] = 200;
    a[7] = orbsim::crc8(a.data() + 8, a.size() - 8);
    ASSERT_TRUE(orb::ParseAnnouncement(a.data(), a.size(), info));
    EXPECT_EQ(std::string(info.lidar_ip) + "/" + info.host_ip, "10.1.2.3/");
    a = announcement({{"module", text("10.1.2.3")}});
    a.resize(16);
    a[7] = orbsim::crc8(a.data() + 8, a.size() - 8);
    ASSERT_TRUE(orb::ParseAnnouncement(a.data(), a.size(), info));
    EXPECT_STREQ(info.lidar_ip, "");
}

TEST(Discovery, RequestBytesAndReplyChecks) {
    EXPECT_EQ(hex(orb::BuildDiscoveryRequest()), "a55aaa55030000030001000100005aa555aa");
    auto reply = [](std::uint8_t status, std::uint16_t command) {
        return orbsim::wire::encodeFrame(orbsim::wire::CommandFrame{3, status, command, 1, 1, {}});
    };
    const Bytes ok = reply(1, 3), zero = reply(0, 3), other = reply(1, 4);
    EXPECT_TRUE(orb::IsDiscoveryReply(ok.data(), ok.size()));
    EXPECT_FALSE(orb::IsDiscoveryReply(zero.data(), zero.size()));  // status 0 is no answer
    EXPECT_FALSE(orb::IsDiscoveryReply(other.data(), other.size()));
    EXPECT_FALSE(orb::IsDiscoveryReply(ok.data(), ok.size() - 1));
    EXPECT_FALSE(orb::IsDiscoveryReply(nullptr, 0));
}

}  // namespace
