// Guards every wire decoder, byte by byte, against misplaced or misread fields, over-reads and accepted garbage.

#include "announcer.h"
#include "control/command.h"
#include "control/crc8.h"
#include "control/discovery.h"
#include "imu_rgb/imu_stream.h"
#include "imu_rgb/rgb_stream.h"
#include "imu_sender.h"
#include "rgb_sender.h"
#include "stream/packet.h"
#include "support/harness.h"
#include "support/packet_builder.h"

namespace {

using namespace orbtest;
constexpr std::uint8_t kMark = 7;
Bytes with(Bytes d, std::size_t at, std::uint8_t v) { return d[at] = v, d; }
Bytes head(const Bytes& b, long n) { return Bytes(b.begin(), n < 0 ? b.end() + n : b.begin() + n); }

// ------------------------------------------------------------ data packets

struct Target {
    Frame first = newFrame(), second = newFrame();
    orb::FilterSettings filters;
    // Checks and decodes one packet from an exactly sized copy (so ASan sees a
    // read past the end); false when the checks reject it.
    bool decode(const Bytes& bytes, std::uint8_t mode, bool inverted = false, int sign = 1) {
        const Bytes d(bytes);
        orb::PacketInfo info;
        if (orb::inspectPacket(d.data(), d.size(), info) != orb::PacketKind::Frame) return false;
        orb::DecodeTarget t;
        t.mode = mode, t.axisSign = sign, t.inverted = inverted, t.filters = &filters;
        t.first = first.data(), t.second = second.data();
        orb::decodePacket(d.data(), {0, std::uint16_t(d.size()), info.dataType, info.format, info.records}, t);
        return true;
    }
    std::size_t written() const {
        return std::count_if(first.begin(), first.end(), [](auto& p) { return p.tag == kMark; }) +
               std::count_if(second.begin(), second.end(), [](auto& p) { return p.tag == kMark; });
    }
};

TEST(DataPacket, RecordsLandWhereTheirTypeAndTheModePlaceThem) {
    struct Case {
        std::uint8_t type, mode;
        std::uint16_t r0, c0, a;
        std::uint8_t b;
        std::vector<std::tuple<int, int, int, int>> expect;  // record i -> echo, row, col
        std::size_t written;
    };
    const Case cases[] = {
        {1, 3, 8, 100, 8, 4, {{0, 0, 8, 100}, {3, 0, 8, 103}, {4, 0, 9, 100}, {31, 0, 15, 103}}, 32},
        {13, 7, 16, 40, 2, 8, {{0, 0, 8, 40}, {1, 1, 8, 40}, {6, 0, 8, 43}, {7, 1, 8, 43}, {8, 0, 9, 40}}, 16},
        {13, 5, 0, 0, 1, 8, {{0, 0, 0, 0}, {7, 1, 0, 3}}, 8},
        {1, 3, 149, 0, 2, 4, {{3, 0, 149, 3}}, 4},   // the last row ends the packet
        {1, 3, 0, 358, 1, 4, {{1, 0, 0, 359}}, 2},   // the last column too
        {12, 4, 10, 20, 3, 2, {{0, 0, 5, 10}, {1, 0, 5, 11}, {5, 0, 7, 11}}, 6},  // rows and columns halved
        {12, 4, 148, 358, 2, 2, {{0, 0, 74, 179}}, 1},
        {14, 8, 10, 20, 2, 4, {{0, 0, 5, 20}, {4, 0, 6, 20}, {7, 0, 6, 23}}, 8},  // rows halved
        {14, 8, 148, 0, 2, 4, {{3, 0, 74, 3}}, 4},
        {12, 3, 0, 0, 2, 2, {}, 0}, {13, 3, 0, 0, 1, 8, {}, 0}, {1, 7, 0, 0, 1, 4, {}, 0}, {1, 0, 0, 0, 1, 4, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " mode " << int(c.mode) << " at " << c.r0);
        Target t;
        const PacketBuilder b = PacketBuilder(c.type, 2, 0, c.r0, c.c0, c.a, c.b, kMark, 42).fill10(c.a * c.b, 1000);
        ASSERT_TRUE(t.decode(b.bytes(), c.mode));
        EXPECT_EQ(t.written(), c.written);
        for (const auto& [i, echo, row, col] : c.expect) {
            const ZelOrbPointData& p = (echo ? t.second : t.first)[row * 360 + col];
            EXPECT_TRUE(p.distance == 1000.0f + i && p.row == row && p.column == col && p.timestamp == 42u) << i;
        }
    }
}

TEST(DataPacket, FormatsSignsInversionAndTheDistanceWindowApplyPerPoint) {
    struct Case {
        int format, selector, sign;
        float x, y, z, distance, wantX, wantY, wantZ;
    };
    const Case cases[] = {
        {4, 0, -1, 5, 5, 5, 1234, 0, 0, 0},                    // distance and intensity only
        {8, 1, -1, 50, -25, 7, 0, 10, -5, 7 / 10.0f * 2.0f},   // coordinates, never signed, no distance
        {10, 2, -1, 50, -25, 7, 300, 10, 5, -(7 / 10.0f * 2.0f)},  // y and z take the axis sign
        {10, 2, 1, -32768, 32767, 0, 65535, -32768 / 10.0f * 2.0f, 32767 / 10.0f * 2.0f, 0},
        {22, 5, -1, 12.5f, -2.5f, 5, 400, 2.5f, 0.5f, -1.0f},
    };
    for (const Case& c : cases) {
        Target t;
        PacketBuilder b(1, c.selector, 0, 3, 4, 1, 1, kMark, 9);
        ASSERT_TRUE(t.decode(b.rec(c.format, c.distance, c.x, c.y, c.z, 7).bytes(), 3, false, c.sign));
        const ZelOrbPointData& p = t.first[3 * 360 + 4];
        EXPECT_EQ(std::make_tuple(p.distance, p.x, p.y, p.z, p.intensity, p.timestamp),
                  std::make_tuple(c.distance, c.wantX, c.wantY, c.wantZ, 7u, std::uint64_t{9})) << c.format;
    }
    // Inverted devices: placement turns by 180 degrees, row and column stay;
    // half frames turn into the lower half; dual echo ignores the flag.
    for (int format : {10, 8}) {
        Target t;
        PacketBuilder b(1, format == 10 ? 2 : 1, 0, 0, 0, 1, 1, kMark);
        ASSERT_TRUE(t.decode(b.rec(format, 10, 0, 50, 0, 1).bytes(), 3, true, -1));
        const ZelOrbPointData& p = t.first[ZEL_ORB_FRAME_POINTS - 1];
        EXPECT_TRUE(p.tag == kMark && p.row == 0 && p.column == 0 && t.first[0].tag == 0);
        EXPECT_EQ(p.y, format == 10 ? -10.0f : 10.0f);
    }
    Target half, dual;
    ASSERT_TRUE(half.decode(PacketBuilder(14, 2, 0, 0, 0, 1, 4, kMark).fill10(4, 1).bytes(), 8, true));
    EXPECT_EQ(half.first[ZEL_ORB_FRAME_POINTS - 1].tag, kMark);
    ASSERT_TRUE(dual.decode(PacketBuilder(13, 2, 0, 0, 0, 1, 8, kMark).fill10(8, 1).bytes(), 7, true));
    EXPECT_TRUE(dual.first[0].tag == kMark && dual.second[3].tag == kMark);
    // The window (0, 100) clears coordinates and keeps the distance; format 8
    // (distance 0) is never inside it.
    Target w;
    w.filters.distanceFilterEnable = true;
    PacketBuilder b(1, 2, 0, 0, 0, 1, 4, kMark);
    for (std::uint16_t d : {0, 50, 99, 100}) b.rec(10, d, 5, 5, 5, 1);
    ASSERT_TRUE(w.decode(b.bytes(), 3));
    EXPECT_EQ(std::vector<float>({w.first[0].x, w.first[1].x, w.first[2].x, w.first[3].x, w.first[3].distance}),
              std::vector<float>({0, 1, 1, 0, 100}));
    ASSERT_TRUE(w.decode(PacketBuilder(1, 1, 0, 1, 0, 1, 1, kMark).rec(8, 0, 50, 50, 50, 1).bytes(), 3));
    EXPECT_TRUE(w.first[360].x == 0.0f && w.first[360].tag == kMark);
}

TEST(DataPacket, ChecksRejectMalformedDatagramsAndCutRecordCounts) {
    const Bytes good = PacketBuilder(1, 2, 0, 0, 0, 1, 4).fill10(4, 1).bytes();
    const Bytes six = cat(PacketBuilder(4, 0, 0, 0, 0, 0, 0).set(8, 1).bytes(), {0});  // 46 bytes
    using K = orb::PacketKind;
    const std::pair<Bytes, K> cases[] = {
        {good, K::Frame}, {{}, K::BadLength}, {head(good, 3), K::BadLength}, {head(good, 44), K::BadLength},
        {head(good, 45), K::Frame}, {with(good, 0, 0x5B), K::BadMagic}, {with(good, 1, 0x5A), K::BadMagic},
        {with(good, 3, 7), K::BadDataType} /* type */, {with(good, 6, 1), K::BadVersion} /* version */,
        {with(good, 18, 3), K::BadDataType} /* selector */, {with(good, 3, 14), K::Frame} /* none in type 14 */,
        {head(six, -1), K::BadLength}, {six, K::SixAxis}, {with(six, 8, 0), K::BadDataType} /* check byte */,
        {with(six, 8, 3), K::BadDataType}, {with(with(six, 6, 9), 8, 2), K::SixAxis} /* version not checked */,
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

// The fast conversion gives the bits of q = v / 10 in float, then q * 2 * sign in double, stored as float.
float referenceCoord(float v, float sign) { return static_cast<float>(double(v / 10.0f) * 2.0 * double(sign)); }
bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); }

TEST(DataPacket, FastCoordinateConversionGivesTheBitsOfPlainArithmetic) {
    for (int v = -32768; v <= 32767; ++v)
        for (float s : {1.0f, -1.0f}) ASSERT_TRUE(sameBits(orb::coordFromInt(v, s), referenceCoord(float(v), s))) << v;
    std::mt19937 rng(3);
    std::vector<std::uint32_t> patterns = {0, 0x80000000u, 1, 0x007FFFFFu, 0x7F7FFFFFu, 0x7F800000u, 0x7FC00000u};
    for (int i = 0; i < 300000; ++i) patterns.push_back(static_cast<std::uint32_t>(rng()));
    for (std::uint32_t u = 0; u < 4096; ++u) patterns.push_back(u * 2049u);  // many subnormals
    for (std::uint32_t u : patterns) {
        float v;
        std::memcpy(&v, &u, sizeof v);
        for (float s : {1.0f, -1.0f}) ASSERT_TRUE(sameBits(orb::coordFromFloat(v, s), referenceCoord(v, s))) << u;
    }
}

// ----------------------------------------------------------- IMU, RGB fragments

// Nine-axis IMU frames are fuzzed against a transcription of their walk.

Bytes payloadOf(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}
struct Feed {
    orb::RgbAssembly state;
    std::vector<orb::RgbFrame> frames;
    void operator()(const std::vector<Bytes>& ds) {
        for (const Bytes& d : ds) {
            orb::RgbFrame f;
            if (orb::assembleRgbFragment(d.data(), d.size(), state, f)) frames.push_back(std::move(f));
        }
    }
};
Bytes fragment(std::uint16_t total, std::uint16_t index, std::uint32_t id, const Bytes& payload) {
    orbsim::FragmentHeader h;
    h.total = total, h.index = index, h.frameId = id, h.seconds = 99u + index, h.microseconds = 199u + index;
    Bytes d;
    orbsim::appendFragment(d, h, payload.data(), payload.size());
    return d;
}

TEST(RgbFragments, WholeFramesCarryTheLastHeaderAndBrokenOnesNothing) {
    const Bytes frame = payloadOf(250, 3);
    Feed feed;  // distinct times per fragment show whose header the frame carries
    feed({fragment(3, 1, 42, head(frame, 100)), fragment(3, 2, 42, Bytes(frame.begin() + 100, frame.begin() + 200)),
          fragment(3, 3, 42, Bytes(frame.begin() + 200, frame.end()))});
    ASSERT_EQ(feed.frames.size(), 1u);
    const orb::RgbFragmentHeader& h = feed.frames[0].header;
    EXPECT_EQ(feed.frames[0].bytes, frame);
    EXPECT_EQ(std::make_tuple(h.frameId, h.seconds, h.microseconds, h.index, h.length),
              std::make_tuple(42u, std::uint64_t{102}, 202u, std::uint16_t{3}, 50u));
    // (Reordered, dropped, truncated and foreign fragments are fuzzed against a reference.)
    // A datagram without a head, and a whole frame in 49 bytes, are ignored; one byte more is taken.
    feed({Bytes(60, 0x11)});
    feed(orbsim::fragmentFrame(payloadOf(11, 2), 0, 1, 1, 1, 100));
    feed(orbsim::fragmentFrame(payloadOf(12, 2), 0, 2, 1, 1, 100));
    EXPECT_EQ(feed.frames.size(), 2u);
    // 300 fragments of 60,000 bytes would make 18 MB: memory stays bounded.
    const Bytes piece = payloadOf(60000, 4);
    std::size_t largest = 0;
    for (std::uint16_t i = 1; i <= 300; ++i, largest = std::max(largest, feed.state.bytes.size()))
        feed({fragment(300, i, 5, piece)});
    EXPECT_LE(largest, orb::kMaxRgbFrameBytes);
    feed(orbsim::fragmentFrame(payloadOf(500, 1), 0, 6, 1, 1, 200));
    EXPECT_EQ(feed.frames.size(), 3u);
}

// ------------------------------------------------------------ command channel

TEST(CommandFrames, RequestsAreByteExactAndGrowOrRefuse) {
    orb::RequestBuffer req(0x0304);
    auto bytes = [](const orb::RequestBuffer& r) { return Bytes(r.data(), r.data() + r.size()); };
    EXPECT_EQ(bytes(req), commandFrame(0x0304, 0));
    EXPECT_EQ(orb::RequestBuffer(3, orb::kFrameTypeDiscovery).data()[4], 0x03);
    Bytes big(300);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    for (const Bytes& p : {Bytes{0x03, 0xE8}, Bytes(110, 0x42) /* fills the first store */, big /* grows */}) {
        ASSERT_TRUE(req.setPayload(p.data(), p.size()));
        EXPECT_EQ(bytes(req), commandFrame(0x0304, 0, p));
    }
    const Bytes huge(orb::kMaxRequestPayload + 1);  // more than a datagram carries, or null data: refused
    EXPECT_FALSE(req.setPayload(huge.data(), huge.size()) || req.setPayload(nullptr, 4));
    EXPECT_EQ(bytes(req), commandFrame(0x0304, 0, big));
    EXPECT_TRUE(req.setPayload(nullptr, 0) && req.size() == 18u);
}

// Reply chains are fuzzed for their validation rules; the buffer that
// accumulates them keeps the first frame's payload and stays bounded.
TEST(CommandFrames, RepliesAccumulateWithinTheLimit) {
    orb::ReplyBuffer r;
    const Bytes f1 = commandFrame(0x0301, 0, {1, 2, 3, 4, 10, 11, 12, 13}, 2);
    const Bytes f2 = commandFrame(0x0301, 0, Bytes(200), 2);
    r.append(f1.data(), f1.size());
    r.append(f2.data(), f2.size());
    EXPECT_EQ(Bytes(r.data(), r.data() + r.length()), cat(f1, f2));
    EXPECT_TRUE(r.payloadLength() == 8u && r.payload()[4] == 10);
    r.reset();
    EXPECT_TRUE(r.length() == 0 && r.capacity() == 128);
    r.append(f1.data(), f1.size() - 3);  // announces more payload than held
    r.append(nullptr, 5);
    EXPECT_TRUE(r.payloadLength() == 0 && r.length() == f1.size() - 3);
    r.reset();
    const Bytes block(orb::kReplyAppendLimit / 4, 0x11);  // appends stop once the length is above the limit
    for (std::size_t n : {block.size(), block.size(), block.size(), block.size(), std::size_t{1}, std::size_t{100}})
        r.append(block.data(), n);
    EXPECT_EQ(r.length(), orb::kReplyAppendLimit + 1);
}

// -------------------------------------- control server, settings, discovery

// Network settings, mode frames, announcements and discovery replies are held
// to the simulator in the loopback and namespace programs (where the header
// check must agree with the simulator's), and fuzzed; here the check's variant.
TEST(ControlServerFrames, CrcIsTheExpectedVariant) {
    const Bytes abc = {'a', 'b', 'c'};
    EXPECT_TRUE(orb::crc8(abc.data(), 3) == 0xA9 && orb::crc8(nullptr, 0) == 0);
}

}  // namespace
