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

void closeFrame(StreamState& st) {
    st.stats.framesCompleted.fetch_add(1, std::memory_order_relaxed);
    if (st.frameQueue.tryPush(std::move(st.collecting))) {
        st.collecting = takeList(st);
    } else {
        st.stats.framesDroppedQueueFull.fetch_add(1, std::memory_order_relaxed);
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
    st.stats.sixAxisDelivered.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

void handlePacket(StreamState& st, const std::uint8_t* d, std::size_t len) {
    PacketInfo info;
    switch (inspectPacket(d, len, info)) {
    case PacketKind::Ignored: st.stats.packetsIgnored.fetch_add(1, std::memory_order_relaxed); return;
    case PacketKind::SixAxis: deliverSixAxis(st, d); return;
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

}  // namespace orb
