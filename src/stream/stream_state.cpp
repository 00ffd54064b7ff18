#include "stream/stream_state.h"

#include <chrono>
#include <cstdio>
#include <exception>

#include "core/device.h"
#include "stream/packet.h"

namespace orb {

namespace {

constexpr auto kIdlePause = std::chrono::milliseconds(2);

void packetThreadMain(DeviceRecord* dev) {
    StreamState& st = dev->stream;
    while (st.running.load()) {
        PacketSlot* slot = st.packetQueue.peek();
        if (!slot) {
            std::this_thread::sleep_for(kIdlePause);
            continue;
        }
        try {
            handlePacket(*dev, slot->bytes, slot->length);
        } catch (const std::exception&) {
            // Out of memory while collecting: lose this frame, keep streaming.
            if (st.collecting) st.collecting->clear();
        }
        st.packetQueue.release();
    }
    st.collecting.reset();  // the frame being collected is never published
    st.packetThreadActive.store(false);
}

void frameThreadMain(DeviceRecord* dev) {
    StreamState& st = dev->stream;
    while (st.running.load()) {
        PacketListPtr list;
        if (!st.frameQueue.tryPop(list)) {
            std::this_thread::sleep_for(kIdlePause);
            continue;
        }
        if (!list) continue;
        try {
            processFrame(*dev, *list);
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

}  // namespace

StreamState::StreamState(const std::string& ip, std::int32_t sourcePort) : deviceIp(ip), dataSourcePort(sourcePort) {}

StreamState::~StreamState() {
    running.store(false);
    joinThread(packetThread);
    joinThread(frameThread);
    if (packetThread.joinable()) packetThread.detach();
    if (frameThread.joinable()) frameThread.detach();
}

void StartDeviceThreads(DeviceRecord& dev) {
    StreamState& st = dev.stream;
    st.running.store(true);
    // A thread that ended after an earlier stop is collected before a new one starts.
    if (!st.packetThreadActive.load()) {
        joinThread(st.packetThread);
        st.packetThreadActive.store(true);
        try {
            // A lambda keeps the thread's state type local (and unexported).
            st.packetThread = std::thread([&dev] { packetThreadMain(&dev); });
        } catch (...) {
            st.packetThreadActive.store(false);
            throw;
        }
    }
    if (!st.frameThreadActive.load()) {
        joinThread(st.frameThread);
        st.frameThreadActive.store(true);
        try {
            st.frameThread = std::thread([&dev] { frameThreadMain(&dev); });
        } catch (...) {
            st.frameThreadActive.store(false);
            throw;
        }
    }
}

void SignalDeviceThreadsStop(DeviceRecord& dev) {
    dev.stream.running.store(false);
    dev.stream.frameReady.store(false);
    dev.stream.dualEchoReady.store(false);
}

void WaitDeviceThreadsStopped(DeviceRecord& dev) {
    joinThread(dev.stream.packetThread);
    joinThread(dev.stream.frameThread);
}

}  // namespace orb
