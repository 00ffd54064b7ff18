#include "stream/packet.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <cstring>
#include <functional>
#include <system_error>
#include <thread>

#include "core/callback_guard.h"
#include "core/device.h"

namespace orb {

namespace {

inline std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::int16_t les16(const std::uint8_t* p) { return static_cast<std::int16_t>(le16(p)); }
inline std::uint64_t le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
inline float lef32(const std::uint8_t* p) {
    const std::uint32_t u = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                            (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

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

// Where record i of a packet lands; false once it falls outside the frame,
// which ends the packet.
template <int T>
inline bool position(std::uint32_t i, std::uint32_t r0, std::uint32_t c0, std::uint32_t& row, std::uint32_t& col,
                     std::uint32_t& echo) {
    echo = 0;
    if constexpr (T == kTypeFull) {
        row = r0 + i / 4;
        col = c0 + i % 4;
        return row <= 149 && col <= 359;
    } else if constexpr (T == kTypeHalfNarrow) {
        row = r0 / 2 + i / 2;
        col = c0 / 2 + i % 2;
        return row <= 74 && col <= 179;
    } else if constexpr (T == kTypeDualEcho) {
        row = r0 / 2 + i / 8;
        col = c0 + (i / 2) % 4;
        echo = i % 2;
        return row <= 74 && col <= 359;
    } else {
        row = r0 / 2 + i / 4;
        col = c0 + i % 4;
        return row <= 74 && col <= 359;
    }
}

// Writes every field of the point in place: building it elsewhere and
// copying it costs a store-forwarding stall per point.
template <int F>
inline void fill(const std::uint8_t* rec, float sign, ZelOrbPointData& p) {
    if constexpr (F == 4) {
        p.distance = static_cast<float>(le16(rec));
        p.intensity = rec[2];
        p.x = 0.0f;
        p.y = 0.0f;
        p.z = 0.0f;
    } else if constexpr (F == 8) {
        // This format carries no axis sign.
        p.distance = 0.0f;
        p.intensity = rec[6];
        p.x = coordFromInt(les16(rec), 1.0f);
        p.y = coordFromInt(les16(rec + 2), 1.0f);
        p.z = coordFromInt(les16(rec + 4), 1.0f);
    } else if constexpr (F == 10) {
        p.distance = static_cast<float>(le16(rec));
        p.intensity = rec[8];
        p.x = coordFromInt(les16(rec + 2), 1.0f);
        p.y = coordFromInt(les16(rec + 4), sign);
        p.z = coordFromInt(les16(rec + 6), sign);
    } else {
        p.distance = static_cast<float>(le16(rec));
        p.intensity = rec[14];
        p.x = coordFromFloat(lef32(rec + 2), 1.0f);
        p.y = coordFromFloat(lef32(rec + 6), sign);
        p.z = coordFromFloat(lef32(rec + 10), sign);
    }
}

template <int T, int F>
void decodeRecords(const std::uint8_t* packet, std::uint32_t records, const DecodeTarget& t) {
    const std::uint32_t c0 = le16(packet + 12);
    const std::uint32_t r0 = le16(packet + 14);
    const std::uint64_t tag = packet[11];
    const std::uint64_t timestamp = le64(packet + 37);
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
        const std::uint32_t at = (!dual && inverted) ? (149 - row) * ZEL_ORB_FRAME_COLS + (359 - col)
                                                     : row * ZEL_ORB_FRAME_COLS + col;
        if (at < t.from || at >= t.to) continue;  // another worker's share
        ZelOrbPointData& p = (dual && echo ? second : first)[at];
        p.row = static_cast<std::uint16_t>(row);
        p.column = static_cast<std::uint16_t>(col);
        fill<F>(rec, sign, p);
        p.timestamp = timestamp;
        p.tag = tag;
        if (window) ApplyDistanceWindow(filters, p);
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

PacketListPtr takeList(StreamState& st) {
    PacketListPtr list;
    if (st.recycleQueue.tryPop(list) && list) {
        list->clear();
        return list;
    }
    return std::make_unique<PacketList>();
}

void closeFrame(StreamState& st) {
    st.stats.framesCompleted.fetch_add(1, std::memory_order_relaxed);
    if (st.frameQueue.tryPush(std::move(st.collecting))) {
        st.collecting = takeList(st);
    } else {
        st.stats.framesDroppedQueueFull.fetch_add(1, std::memory_order_relaxed);
        st.collecting->clear();
    }
}

void deliverSixAxis(DeviceRecord& dev, const std::uint8_t* d) {
    StreamState& st = dev.stream;
    ZelOrb6AxisImuData rec;
    static_assert(sizeof rec == 40, "six-axis record is bytes 6..45");
    std::memcpy(&rec, d + 6, sizeof rec);
    rec.timestamp = le64(d + 12) / 1000000u;
    std::lock_guard<std::mutex> lock(st.streamMutex);
    if (!st.sixAxisCallback) return;
    CallbackScope scope(&dev);
    st.sixAxisCallback(rec);
    st.stats.sixAxisDelivered.fetch_add(1, std::memory_order_relaxed);
}

void copyFrame(FrameBuffer& to, const FrameBuffer& from) { std::memcpy(to.data(), from.data(), kFrameBytes); }

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

bool isDualEchoMode(std::uint8_t mode) { return mode == 5 || mode == 6 || mode == 7; }

bool typeSuitsMode(std::uint8_t dataType, std::uint8_t mode) {
    switch (mode) {
    case 3: return dataType == kTypeFull;
    case 4: return dataType == kTypeHalfNarrow;
    case 5:
    case 6:
    case 7: return dataType == kTypeDualEcho;
    case 8: return dataType == kTypeHalf;
    default: return false;
    }
}

PacketKind inspectPacket(const std::uint8_t* d, std::size_t len, PacketInfo& info) {
    if (len < 4 || le16(d) != kPacketMagic) return PacketKind::Ignored;
    const std::uint8_t t = d[3];
    if (t == kTypeSixAxis) {
        if (len < kSixAxisPacketSize || (d[8] != 1 && d[8] != 2)) return PacketKind::Ignored;
        info.dataType = t;
        return PacketKind::SixAxis;
    }
    if (t != kTypeFull && t != kTypeHalfNarrow && t != kTypeDualEcho && t != kTypeHalf) return PacketKind::Ignored;
    if (len < kPacketHeaderSize) return PacketKind::Ignored;
    if (d[6] != 0) {
        std::printf("version_minor is %d ,unsupported\n", d[6]);
        return PacketKind::Ignored;
    }
    const std::uint8_t format = pointFormatFor(t, d[18]);
    if (format == 0) {
        std::printf("data type %d is invalid\n", d[18]);
        return PacketKind::Ignored;
    }
    const std::uint32_t announced = static_cast<std::uint32_t>(le16(d + 16)) * d[19];
    const std::uint32_t held = static_cast<std::uint32_t>((len - kPacketHeaderSize) / format);
    info.dataType = t;
    info.format = format;
    info.packetNumber = le16(d + 7);
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

void handlePacket(DeviceRecord& dev, const std::uint8_t* d, std::size_t len) {
    StreamState& st = dev.stream;
    PacketInfo info;
    switch (inspectPacket(d, len, info)) {
    case PacketKind::Ignored: st.stats.packetsIgnored.fetch_add(1, std::memory_order_relaxed); return;
    case PacketKind::SixAxis: deliverSixAxis(dev, d); return;
    case PacketKind::Frame: break;
    }
    st.pointFormatCode.store(info.format, std::memory_order_relaxed);
    if (info.truncated) st.stats.packetsTruncated.fetch_add(1, std::memory_order_relaxed);
    if (!st.collecting) st.collecting = takeList(st);
    if (info.packetNumber < st.previousPacketNumber && !st.collecting->packets.empty()) closeFrame(st);
    st.previousPacketNumber = info.packetNumber;

    PacketList& list = *st.collecting;
    if (list.packets.size() >= kMaxPacketsPerFrame) {
        st.stats.packetsOverFrameCap.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const std::size_t offset = list.bytes.size();
    list.bytes.insert(list.bytes.end(), d, d + len);
    list.packets.push_back(PacketRef{static_cast<std::uint32_t>(offset), static_cast<std::uint16_t>(len), info.dataType,
                                     info.format, info.records});
}

void processFrame(DeviceRecord& dev, const PacketList& list) {
    StreamState& st = dev.stream;
    const std::size_t n = list.packets.size();
    if (n == 0) return;

    DecodeTarget target;
    target.mode = st.processingMode.load(std::memory_order_relaxed);
    target.axisSign = st.axisSign.load(std::memory_order_relaxed);
    target.inverted = st.inverted.load(std::memory_order_relaxed);
    target.filters = &st.filters;
    target.first = st.workingFrame.data();
    target.second = st.workingSecondEcho.data();

    // Two workers, each reading every packet in order but writing only its
    // own half of the positions: packets that repeat a position (a datagram
    // delivered twice, a faulty sender) never have two writers, and the later
    // packet wins, as in one pass.
    auto work = [&list](const DecodeTarget& t) noexcept {
        for (const PacketRef& ref : list.packets) decodePacket(list.bytes.data() + ref.offset, ref, t);
    };
    if (n > 1) {
        DecodeTarget lower = target;
        DecodeTarget upper = target;
        lower.to = upper.from = static_cast<std::uint32_t>(kFramePoints / 2);
        std::thread worker;
        try {
            worker = std::thread(work, std::cref(lower));
        } catch (const std::system_error&) {
            work(lower);  // no thread to be had: decode both halves here
        }
        work(upper);
        if (worker.joinable()) worker.join();
    } else {
        work(target);
    }

    if (isDualEchoMode(target.mode)) {
        std::lock_guard<std::mutex> lock(st.streamMutex);
        if (st.running.load()) st.dualEchoReady.store(true);
        copyFrame(st.publishedFrame, st.workingFrame);
        copyFrame(st.publishedSecondEcho, st.workingSecondEcho);
    } else {
        {
            std::lock_guard<std::mutex> lock(st.streamMutex);
            copyFrame(st.unfilteredFrame, st.workingFrame);
        }
        // The chain (and the callback) may change the working frame; positions
        // the next frame does not refill must keep the decoded, unfiltered
        // point, or compensation would be applied twice. Restored on every
        // way out, also when the chain or the callback throws. Only this
        // thread writes the unfiltered frame, so reading it needs no lock.
        struct RestoreWorking {
            StreamState& st;
            ~RestoreWorking() { copyFrame(st.workingFrame, st.unfilteredFrame); }
        } restore{st};
        RunFrameChain(st.filters, st.workingFrame.data());
        {
            std::lock_guard<std::mutex> lock(st.streamMutex);
            if (st.running.load()) st.frameReady.store(true);
            copyFrame(st.publishedFrame, st.workingFrame);
        }
        {
            std::lock_guard<std::mutex> lock(st.streamMutex);
            if (st.frameCallback) {
                CallbackScope scope(&dev);
                st.frameCallback(reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(st.workingFrame.data()));
            }
        }
    }
    st.stats.framesPublished.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace orb
