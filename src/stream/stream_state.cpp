#include "stream/stream_state.h"

#include <chrono>
#include <exception>

#include "stream/frame_flow.h"

namespace orb {

namespace {

constexpr auto kIdlePause = std::chrono::milliseconds(2);

void packetThreadMain(StreamState& st) {
    while (st.running.load()) {
        PacketSlot* slot = st.packetQueue.peek();
        if (!slot) {
            std::this_thread::sleep_for(kIdlePause);
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
            std::this_thread::sleep_for(kIdlePause);
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
}

void waitStreamThreadsStopped(StreamState& st) {
    joinThread(st.packetThread);
    joinThread(st.frameThread);
}

}  // namespace orb
