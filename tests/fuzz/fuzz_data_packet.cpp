// Data packets of a device, as its packet thread sees them one after another:
// header checks, frame assembly with the packet-number boundary, then the
// frame thread's decoding into the working frame and publication.
//
// Input: one configuration byte (processing mode, inversion, distance
// window), the window bounds, then datagrams as length-prefixed runs.

#include "device/device.h"
#include "fuzz_io.h"
#include "stream/frame_flow.h"
#include "stream/packet.h"

namespace {

constexpr std::uint8_t kModes[] = {3, 4, 5, 6, 7, 8};
constexpr int kFramesPerInput = 4;  // decoding a frame touches 2 MB: keep inputs quick

orb::DeviceRecord& device() {
    static orb::DeviceRecord dev("127.0.0.2", 6301);
    return dev;
}

void sixAxis(ZelOrb6AxisImuData) {}

// Every point the decoder wrote sits at the position its row and column name.
void checkPositions(const orb::FrameBuffer& frame, bool inverted, bool dual) {
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const ZelOrbPointData& p = frame[i];
        FUZZ_CHECK(p.row < ZEL_ORB_FRAME_ROWS && p.column < ZEL_ORB_FRAME_COLS);
        if (p.row == 0 && p.column == 0 && p.timestamp == 0 && p.tag == 0) continue;  // never written
        std::size_t at = static_cast<std::size_t>(p.row) * ZEL_ORB_FRAME_COLS + p.column;
        if (inverted && !dual) at = orb::kFramePoints - 1 - at;
        FUZZ_CHECK(at == i);
    }
}

void process(orb::DeviceRecord& dev, const orb::PacketList& list, int& frames) {
    if (frames >= kFramesPerInput || list.packets.empty()) return;
    auto& st = dev.stream;
    if (frames++ == 0) {
        // Points left by an earlier input were placed under other settings.
        std::memset(st.workingFrame.data(), 0, orb::kFrameBytes);
        std::memset(st.workingSecondEcho.data(), 0, orb::kFrameBytes);
    }
    for (const orb::PacketRef& ref : list.packets) {
        FUZZ_CHECK(ref.offset + ref.length <= list.bytes.size());
        FUZZ_CHECK(orb::kPacketHeaderSize + std::size_t{ref.records} * ref.format <= ref.length);
    }
    orb::processFrame(dev.stream, list);
    const bool dual = orb::isDualEchoMode(st.processingMode.load());
    checkPositions(st.publishedFrame, st.inverted.load(), dual);
    if (dual) checkPositions(st.publishedSecondEcho, false, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orb::DeviceRecord& dev = device();
    orb::StreamState& st = dev.stream;
    orbfuzz::Reader in(data, size);

    const std::uint8_t config = in.u8();
    st.processingMode.store(kModes[config % 6]);
    const bool inverted = (config & 0x08) != 0;
    st.inverted.store(inverted);
    st.axisSign.store(inverted ? -1 : 1);
    st.filters.distanceFilterEnable.store((config & 0x10) != 0);
    st.filters.distanceMin.store(in.u16());
    st.filters.distanceMax.store(in.u16());
    st.running.store(true);
    {
        std::lock_guard<std::mutex> lk(st.streamMutex);
        st.sixAxisCallback = (config & 0x20) ? sixAxis : nullptr;
    }
    // Each input starts like a fresh packet thread.
    st.collecting.reset();
    st.previousPacketNumber = 0;
    orb::PacketListPtr spent;
    while (st.frameQueue.tryPop(spent)) {
    }

    int frames = 0;
    for (int i = 0; i < 4096 && !in.empty(); ++i) {
        std::vector<std::uint8_t> d = in.run();
        if (d.size() > orb::kMaxDatagram) d.resize(orb::kMaxDatagram);  // reception drops longer ones
        orb::handlePacket(dev.stream, d.data(), d.size());
        orb::PacketListPtr list;
        while (st.frameQueue.tryPop(list)) {
            if (list) process(dev, *list, frames);
        }
    }
    if (st.collecting) process(dev, *st.collecting, frames);
    return 0;
}
