#include "stream/packet.h"

#include <cmath>
#include <limits>

#include "core/bytes.h"
#include "core/diagnostics.h"

namespace orb {

namespace {

// Where the header fields sit.
enum HeaderOffset : std::size_t {
    kAtDataType = 3,
    kAtVersionMinor = 6,
    kAtPacketNumber = 7,  // u16
    kAtSixAxisKind = 8,   // six-axis packets: 1 or 2
    kAtTag = 11,
    kAtStartColumn = 12,  // u16
    kAtStartRow = 14,     // u16
    kAtCountA = 16,       // u16
    kAtSelector = 18,     // record format selector
    kAtCountB = 19,
    kAtTimestamp = 37,  // u64
};

constexpr std::uint32_t kLastRow = ZEL_ORB_FRAME_ROWS - 1;
constexpr std::uint32_t kLastCol = ZEL_ORB_FRAME_COLS - 1;
// Half-height data types fill the upper half of the rows.
constexpr std::uint32_t kLastHalfRow = ZEL_ORB_FRAME_ROWS / 2 - 1;
// The narrow data type also fills only the left half of the columns.
constexpr std::uint32_t kLastHalfCol = ZEL_ORB_FRAME_COLS / 2 - 1;

}  // namespace

// Raw value v to a coordinate: q = v / 10 in float, then q * 2 times the
// sign in double, stored as float. Doubling and a sign of +-1 are exact, so
// only the rounding of the quotient matters, and a float division costs more
// than the rest of the point. In double, v * 0.1 rounds to the same float as
// v / 10 for integers below 2^24 and for floats whose quotient is normal: the
// double's error (2^-53 relative) is far below the distance from v / 10 to
// the nearest float rounding boundary (about 2^-28 relative at least, when
// v / 10 is not itself a float). 0.2 * sign = 2 * sign * 0.1 exactly, so one
// product does all. Tiny floats, whose quotient is subnormal and may sit on a
// tie, take the division.
float coordFromInt(std::int32_t v, float sign) {
    return static_cast<float>(static_cast<double>(v) * (0.2 * static_cast<double>(sign)));
}
float coordFromFloat(float v, float sign) {
    constexpr float kSmallest = std::numeric_limits<float>::min() * 16.0f;  // v / 10 stays normal above it
    if (!(std::fabs(v) >= kSmallest)) return static_cast<float>(static_cast<double>(v / 10.0f) * 2.0 * sign);
    return static_cast<float>(static_cast<double>(v) * (0.2 * static_cast<double>(sign)));
}

namespace {

inline std::int16_t readLeSigned16(const std::uint8_t* p) { return static_cast<std::int16_t>(bytes::readLe16(p)); }

// Where record i of a packet lands; false once it falls outside the frame,
// which ends the packet.
template <int T>
inline bool position(std::uint32_t i, std::uint32_t r0, std::uint32_t c0, std::uint32_t& row, std::uint32_t& col,
                     std::uint32_t& echo) {
    echo = 0;
    if constexpr (T == kTypeFull) {
        row = r0 + i / 4;
        col = c0 + i % 4;
        return row <= kLastRow && col <= kLastCol;
    } else if constexpr (T == kTypeHalfNarrow) {
        row = r0 / 2 + i / 2;
        col = c0 / 2 + i % 2;
        return row <= kLastHalfRow && col <= kLastHalfCol;
    } else if constexpr (T == kTypeDualEcho) {
        row = r0 / 2 + i / 8;
        col = c0 + (i / 2) % 4;
        echo = i % 2;
        return row <= kLastHalfRow && col <= kLastCol;
    } else {
        row = r0 / 2 + i / 4;
        col = c0 + i % 4;
        return row <= kLastHalfRow && col <= kLastCol;
    }
}

// Writes every field of the point in place: building it elsewhere and
// copying it costs a store-forwarding stall per point.
template <int F>
inline void fill(const std::uint8_t* rec, float sign, ZelOrbPointData& p) {
    if constexpr (F == 4) {
        p.distance = static_cast<float>(bytes::readLe16(rec));
        p.intensity = rec[2];
        p.x = 0.0f;
        p.y = 0.0f;
        p.z = 0.0f;
    } else if constexpr (F == 8) {
        // This format carries no axis sign.
        p.distance = 0.0f;
        p.intensity = rec[6];
        p.x = coordFromInt(readLeSigned16(rec), 1.0f);
        p.y = coordFromInt(readLeSigned16(rec + 2), 1.0f);
        p.z = coordFromInt(readLeSigned16(rec + 4), 1.0f);
    } else if constexpr (F == 10) {
        p.distance = static_cast<float>(bytes::readLe16(rec));
        p.intensity = rec[8];
        p.x = coordFromInt(readLeSigned16(rec + 2), 1.0f);
        p.y = coordFromInt(readLeSigned16(rec + 4), sign);
        p.z = coordFromInt(readLeSigned16(rec + 6), sign);
    } else {
        p.distance = static_cast<float>(bytes::readLe16(rec));
        p.intensity = rec[14];
        p.x = coordFromFloat(bytes::readLeFloat(rec + 2), 1.0f);
        p.y = coordFromFloat(bytes::readLeFloat(rec + 6), sign);
        p.z = coordFromFloat(bytes::readLeFloat(rec + 10), sign);
    }
}

template <int T, int F>
void decodeRecords(const std::uint8_t* packet, std::uint32_t records, const DecodeTarget& t) {
    const std::uint32_t c0 = bytes::readLe16(packet + kAtStartColumn);
    const std::uint32_t r0 = bytes::readLe16(packet + kAtStartRow);
    const std::uint64_t tag = packet[kAtTag];
    const std::uint64_t timestamp = bytes::readLe64(packet + kAtTimestamp);
    const float sign = static_cast<float>(t.axisSign);
    const bool dual = T == kTypeDualEcho && isDualEchoMode(t.mode);
    const bool inverted = t.inverted;
    const bool window = t.filters->distanceFilterEnable.load(std::memory_order_relaxed);
    const FilterSettings& filters = *t.filters;
    ZelOrbPointData* const first = t.first;
    ZelOrbPointData* const second = t.second;
    const std::uint8_t* rec = packet + kPacketHeaderSize;
    for (std::uint32_t i = 0; i < records; ++i, rec += F) {
        std::uint32_t row, col, echo;
        if (!position<T>(i, r0, c0, row, col, echo)) return;
        // The frame of a device reporting itself inverted is turned by 180 degrees.
        const std::uint32_t at = (!dual && inverted) ? (kLastRow - row) * ZEL_ORB_FRAME_COLS + (kLastCol - col)
                                                     : row * ZEL_ORB_FRAME_COLS + col;
        if (at < t.from || at >= t.to) continue;  // another worker's share
        ZelOrbPointData& p = (dual && echo ? second : first)[at];
        p.row = static_cast<std::uint16_t>(row);
        p.column = static_cast<std::uint16_t>(col);
        fill<F>(rec, sign, p);
        p.timestamp = timestamp;
        p.tag = tag;
        if (window) applyDistanceWindow(filters, p);
    }
}

template <int T>
void decodeType(const std::uint8_t* packet, const PacketRef& ref, const DecodeTarget& t) {
    switch (ref.format) {
    case 4: decodeRecords<T, 4>(packet, ref.records, t); break;
    case 8: decodeRecords<T, 8>(packet, ref.records, t); break;
    case 10: decodeRecords<T, 10>(packet, ref.records, t); break;
    case 22: decodeRecords<T, 22>(packet, ref.records, t); break;
    default: break;
    }
}

}  // namespace

std::uint8_t pointFormatFor(std::uint8_t dataType, std::uint8_t selector) {
    if (dataType == kTypeFull) {
        switch (selector) {
        case 0: return 4;
        case 1: return 8;
        case 2: return 10;
        case 5: return 22;
        default: return 0;
        }
    }
    if (dataType == kTypeHalfNarrow || dataType == kTypeDualEcho || dataType == kTypeHalf) return 10;
    return 0;
}

bool isDualEchoMode(std::uint8_t mode) { return mode == kModeDualEchoA || mode == kModeDualEchoB || mode == kModeDualEcho; }

bool typeSuitsMode(std::uint8_t dataType, std::uint8_t mode) {
    switch (mode) {
    case kModeFull: return dataType == kTypeFull;
    case kModeHalfNarrow: return dataType == kTypeHalfNarrow;
    case kModeDualEchoA:
    case kModeDualEchoB:
    case kModeDualEcho: return dataType == kTypeDualEcho;
    case kModeHalf: return dataType == kTypeHalf;
    default: return false;
    }
}

bool needsPromptHandling(const std::uint8_t* d, std::size_t len, std::uint16_t& previousNumber) {
    if (len < kAtPacketNumber + 2 || bytes::readLe16(d) != kPacketMagic) return false;
    if (d[kAtDataType] == kTypeSixAxis) return true;
    const std::uint16_t n = bytes::readLe16(d + kAtPacketNumber);
    const bool drop = n < previousNumber;
    previousNumber = n;
    return drop;
}

PacketKind inspectPacket(const std::uint8_t* d, std::size_t len, PacketInfo& info) {
    if (len < 4) return PacketKind::BadLength;
    if (bytes::readLe16(d) != kPacketMagic) return PacketKind::BadMagic;
    const std::uint8_t t = d[kAtDataType];
    if (t == kTypeSixAxis) {
        if (len < kSixAxisPacketSize) return PacketKind::BadLength;
        if (d[kAtSixAxisKind] != 1 && d[kAtSixAxisKind] != 2) return PacketKind::BadDataType;
        info.dataType = t;
        return PacketKind::SixAxis;
    }
    if (t != kTypeFull && t != kTypeHalfNarrow && t != kTypeDualEcho && t != kTypeHalf) return PacketKind::BadDataType;
    if (len < kPacketHeaderSize) return PacketKind::BadLength;
    if (d[kAtVersionMinor] != 0) {
        printDiagnostic(DiagnosticStream::Out, "version_minor is %d ,unsupported\n", d[kAtVersionMinor]);
        return PacketKind::BadVersion;
    }
    const std::uint8_t format = pointFormatFor(t, d[kAtSelector]);
    if (format == 0) {
        printDiagnostic(DiagnosticStream::Out, "data type %d is invalid\n", d[kAtSelector]);
        return PacketKind::BadDataType;
    }
    const std::uint32_t announced = static_cast<std::uint32_t>(bytes::readLe16(d + kAtCountA)) * d[kAtCountB];
    const std::uint32_t held = static_cast<std::uint32_t>((len - kPacketHeaderSize) / format);
    info.dataType = t;
    info.format = format;
    info.packetNumber = bytes::readLe16(d + kAtPacketNumber);
    info.records = announced < held ? announced : held;
    info.truncated = held < announced;
    return PacketKind::Frame;
}

void decodePacket(const std::uint8_t* packet, const PacketRef& ref, const DecodeTarget& t) {
    if (!typeSuitsMode(ref.dataType, t.mode)) return;  // collected, but not stored in this mode
    switch (ref.dataType) {
    case kTypeFull: decodeType<kTypeFull>(packet, ref, t); break;
    case kTypeHalfNarrow: decodeType<kTypeHalfNarrow>(packet, ref, t); break;
    case kTypeDualEcho: decodeType<kTypeDualEcho>(packet, ref, t); break;
    case kTypeHalf: decodeType<kTypeHalf>(packet, ref, t); break;
    default: break;
    }
}

}  // namespace orb
