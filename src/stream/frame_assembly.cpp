// Packet thread: six-axis records go to their callback at once; frame
// packets are collected until the packet number drops, which closes the frame
// and hands it to the frame thread.
#include <cstring>
#include <memory>
#include <mutex>

#include "core/bytes.h"
#include "core/callback_mark.h"
#include "stream/frame_flow.h"
#include "stream/packet.h"

namespace orb {

namespace {

PacketListPtr takeList(StreamState& st) {
    PacketListPtr list;
    if (st.recycleQueue.tryPop(list) && list) {
        list->clear();
        return list;
    }
    return std::make_unique<PacketList>();
}

void bump(std::atomic<std::uint64_t>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

void closeFrame(StreamState& st) {
    bump(st.stats.framesCompleted);
    if (st.collectingHasGap) bump(st.stats.framesMissingPackets);
    if (st.collectingOverCap) bump(st.stats.framesOverFrameCap);
    st.collectingHasGap = st.collectingOverCap = false;
    if (st.frameQueue.tryPush(std::move(st.collecting))) {
        st.frameWake.notify();
        st.collecting = takeList(st);
    } else {
        bump(st.stats.framesDroppedQueueFull);
        st.collecting->clear();
    }
}

void deliverSixAxis(StreamState& st, const std::uint8_t* d) {
    ZelOrb6AxisImuData rec;
    static_assert(sizeof rec == kSixAxisPacketSize - kSixAxisRecordOffset, "six-axis record is bytes 6..45");
    std::memcpy(&rec, d + kSixAxisRecordOffset, sizeof rec);
    rec.timestamp = bytes::readLe64(d + kSixAxisTimeOffset) / 1000000u;
    std::lock_guard<std::mutex> lock(st.streamMutex);
    if (!st.sixAxisCallback) return;
    CallbackMark mark(st.deviceIp.c_str(), CallbackKind::SixAxis);
    st.sixAxisCallback(rec);
    bump(st.stats.sixAxisDelivered);
}

}  // namespace

void handlePacket(StreamState& st, const std::uint8_t* d, std::size_t len) {
    PacketInfo info;
    StreamStats& stats = st.stats;
    switch (inspectPacket(d, len, info)) {
    case PacketKind::BadLength: bump(stats.droppedLength); return;
    case PacketKind::BadMagic: bump(stats.droppedMagic); return;
    case PacketKind::BadDataType: bump(stats.droppedDataType); return;
    case PacketKind::BadVersion: bump(stats.droppedVersion); return;
    case PacketKind::SixAxis:
        bump(stats.sixAxisPackets);
        deliverSixAxis(st, d);
        return;
    case PacketKind::Frame: break;
    }
    st.pointFormatCode.store(info.format, std::memory_order_relaxed);
    if (info.truncated) bump(stats.packetsTruncated);
    if (!st.collecting) st.collecting = takeList(st);
    if (info.packetNumber < st.previousPacketNumber && !st.collecting->packets.empty()) closeFrame(st);
    else if (!st.collecting->packets.empty() && info.packetNumber > st.previousPacketNumber + 1)
        st.collectingHasGap = true;
    st.previousPacketNumber = info.packetNumber;

    PacketList& list = *st.collecting;
    if (list.packets.size() >= kMaxPacketsPerFrame) {
        bump(stats.packetsOverFrameCap);
        st.collectingOverCap = true;
        return;
    }
    const std::size_t offset = list.bytes.size();
    list.bytes.insert(list.bytes.end(), d, d + len);
    list.packets.push_back(PacketRef{static_cast<std::uint32_t>(offset), static_cast<std::uint16_t>(len), info.dataType,
                                     info.format, info.records});
}

}  // namespace orb
