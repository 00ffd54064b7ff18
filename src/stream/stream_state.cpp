#include "stream/stream_state.h"

#include <chrono>
#include <exception>

#include "stream/frame_flow.h"

namespace orb {

namespace {

// The longest a stream thread sleeps without a wakeup: a safety net only,
// every queue push and every stop wakes it.
constexpr auto kIdleWait = std::chrono::milliseconds(100);

void packetThreadMain(StreamState& st) {
    while (st.running.load()) {
        PacketSlot* slot = st.packetQueue.peek();
        if (!slot) {
            st.packetWake.wait(kIdleWait, [&st] { return st.packetQueue.peek() || !st.running.load(); });
            continue;
        }
        try {
            handlePacket(st, slot->bytes, slot->length);
        } catch (const std::exception&) {
            // Out of memory while collecting: lose this frame, keep streaming.
            if (st.collecting) st.collecting->clear();
        }
        st.packetQueue.release();
    }
    st.collecting.reset();  // the frame being collected is never published
    st.packetThreadActive.store(false);
}

void frameThreadMain(StreamState& st) {
    while (st.running.load()) {
        PacketListPtr list;
        if (!st.frameQueue.tryPop(list)) {
            st.frameWake.wait(kIdleWait, [&st] { return st.frameQueue.peek() || !st.running.load(); });
            continue;
        }
        if (!list) continue;
        try {
            processFrame(st, *list);
        } catch (const std::exception&) {
            // A frame that cannot be processed is lost; the thread goes on.
        }
        list->clear();
        st.recycleQueue.tryPush(std::move(list));  // a full recycle queue frees the list
    }
    st.frameThreadActive.store(false);
}

// Joins a thread that is not the caller.
void joinThread(std::thread& t) {
    if (t.joinable() && t.get_id() != std::this_thread::get_id()) t.join();
}

// A thread that ended after an earlier stop is collected before a new one starts.
void startUnlessActive(std::thread& thread, std::atomic<bool>& active, void (*body)(StreamState&), StreamState& st) {
    if (active.load()) return;
    joinThread(thread);
    active.store(true);
    try {
        // A lambda keeps the thread's state type local (and unexported).
        thread = std::thread([body, &st] { body(st); });
    } catch (...) {
        active.store(false);
        throw;
    }
}

}  // namespace

void StreamStats::reset() {
    for (std::atomic<std::uint64_t>* c :
         {&datagrams, &bytes, &datagramsQueued, &datagramsDroppedQueueFull, &droppedWrongPort, &droppedLength,
          &droppedMagic, &droppedDataType, &droppedVersion, &packetsTruncated, &packetsOverFrameCap, &framesCompleted,
          &framesDroppedQueueFull, &framesOverFrameCap, &framesMissingPackets, &framesPublished, &sixAxisPackets,
          &sixAxisDelivered})
        c->store(0, std::memory_order_relaxed);
}

StreamState::StreamState(const std::string& ip, std::int32_t sourcePort) : deviceIp(ip), dataSourcePort(sourcePort) {}

StreamState::~StreamState() {
    running.store(false);
    joinThread(packetThread);
    joinThread(frameThread);
    if (packetThread.joinable()) packetThread.detach();
    if (frameThread.joinable()) frameThread.detach();
}

void startStreamThreads(StreamState& st) {
    st.running.store(true);
    startUnlessActive(st.packetThread, st.packetThreadActive, packetThreadMain, st);
    startUnlessActive(st.frameThread, st.frameThreadActive, frameThreadMain, st);
}

void signalStreamThreadsStop(StreamState& st) {
    st.running.store(false);
    st.frameReady.store(false);
    st.dualEchoReady.store(false);
    st.packetWake.notify();
    st.frameWake.notify();
}

void waitStreamThreadsStopped(StreamState& st) {
    joinThread(st.packetThread);
    joinThread(st.frameThread);
}

}  // namespace orb
