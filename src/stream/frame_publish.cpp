// Frame thread: decodes a complete frame into the working frame,
// then it is published (single echo: through the per-frame filter chain, to
// polling and the frame callback; dual echo: both echoes to polling).
#include <cstring>
#include <mutex>

#include "core/callback_mark.h"
#include "filters/filter_settings.h"
#include "stream/frame_flow.h"
#include "stream/packet.h"

namespace orb {

namespace {

void copyFrame(FrameBuffer& to, const FrameBuffer& from) { std::memcpy(to.data(), from.data(), kFrameBytes); }

// One pass on the frame thread, in packet order, so that a position sent
// twice keeps the later packet's point. A second worker (per frame or kept
// per device) was measured slower on two cores: see bench_stream_decode.
void decodeFrame(const PacketList& list, const DecodeTarget& target) {
    for (const PacketRef& ref : list.packets) decodePacket(list.bytes.data() + ref.offset, ref, target);
}

void publishDualEcho(StreamState& st) {
    std::lock_guard<std::mutex> lock(st.streamMutex);
    if (st.running.load()) st.dualEchoReady.store(true);
    copyFrame(st.publishedFrame, st.workingFrame);
    copyFrame(st.publishedSecondEcho, st.workingSecondEcho);
}

void publishSingleEcho(StreamState& st) {
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
    runFrameChain(st.filters, st.workingFrame.data());
    {
        std::lock_guard<std::mutex> lock(st.streamMutex);
        if (st.running.load()) st.frameReady.store(true);
        copyFrame(st.publishedFrame, st.workingFrame);
    }
    {
        std::lock_guard<std::mutex> lock(st.streamMutex);
        if (st.frameCallback) {
            CallbackMark mark(st.deviceIp.c_str(), CallbackKind::Frame);
            st.frameCallback(reinterpret_cast<ZelOrbPointData(*)[ZEL_ORB_FRAME_COLS]>(st.workingFrame.data()));
        }
    }
}

}  // namespace

void processFrame(StreamState& st, const PacketList& list) {
    if (list.packets.empty()) return;

    DecodeTarget target;
    target.mode = st.processingMode.load(std::memory_order_relaxed);
    target.axisSign = st.axisSign.load(std::memory_order_relaxed);
    target.inverted = st.inverted.load(std::memory_order_relaxed);
    target.filters = &st.filters;
    target.first = st.workingFrame.data();
    target.second = st.workingSecondEcho.data();
    decodeFrame(list, target);

    if (isDualEchoMode(target.mode))
        publishDualEcho(st);
    else
        publishSingleEcho(st);
    st.stats.framesPublished.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace orb
