#include "stream/reception.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/command.h"
#include "core/api_guard.h"
#include "core/device.h"
#include "core/registry.h"
#include "orb_sdk.h"
#include "platform/net.h"

namespace orb {

namespace {

constexpr int kBatch = 64;
// One byte more than a datagram may have, so an oversized one is seen as such.
constexpr std::size_t kStagingStride = kMaxDatagram + 1;
constexpr int kRequestedRecvBuffer = 0x40000000;

struct Reception {
    Reception() : staging(kBatch * kStagingStride) {}
    ~Reception() {
        receiveActive.store(false);
        if (thread.joinable()) thread.join();
        std::lock_guard<std::mutex> lock(sockMutex);
        if (sock != net::kInvalidSocket) net::closeSocket(sock);
    }

    std::mutex apiMutex;   // serialises start and stop
    std::mutex sockMutex;  // the handle against a receive in progress: a closed
                           // descriptor number must never be read after reuse
    net::Socket sock = net::kInvalidSocket;
    std::atomic<bool> receiveActive{false};
    std::atomic<bool> threadActive{false};
    std::thread thread;
    std::vector<std::uint8_t> staging;  // the reception thread's receive area, kept for the process

    std::atomic<std::uint64_t> datagrams{0}, oversized{0}, unknownSource{0}, wrongPort{0};
};

Reception& reception() {
    // The registry must outlive the reception thread that reads it.
    Registry::get();
    static Reception r;
    return r;
}

// Allocated when the library is loaded, as the receive area is.
const bool kReceptionReady = (reception(), true);

void route(Reception& r, const std::uint8_t* data, int len, const net::Endpoint& from, const std::string& sourceText) {
    if (len <= 0) return;
    if (static_cast<std::size_t>(len) > kMaxDatagram) {
        r.oversized.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Registry& reg = Registry::get();
    std::shared_lock<std::shared_mutex> lock(reg.mutex());
    DeviceRecord* dev = reg.find(sourceText);
    if (!dev) {
        r.unknownSource.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    StreamState& st = dev->stream;
    if (from.port != st.dataSourcePort.load(std::memory_order_relaxed) && from.port != kAlwaysAcceptedSourcePort) {
        r.wrongPort.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    PacketSlot* slot = st.packetQueue.reserve();
    if (!slot) {
        st.stats.datagramsDroppedQueueFull.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    slot->length = static_cast<std::uint16_t>(len);
    std::memcpy(slot->bytes, data, static_cast<std::size_t>(len));
    st.packetQueue.commit();
    st.stats.datagramsQueued.fetch_add(1, std::memory_order_relaxed);
}

void receptionMain(Reception* r) {
    std::uint8_t* bufs[kBatch];
    for (int i = 0; i < kBatch; ++i) bufs[i] = r->staging.data() + static_cast<std::size_t>(i) * kStagingStride;
    int lens[kBatch];
    net::Endpoint froms[kBatch];
    std::uint32_t lastAddr = 0;
    std::string lastText;
    while (r->receiveActive.load()) {
        int n;
        {
            std::lock_guard<std::mutex> lock(r->sockMutex);
            n = net::recvBatch(r->sock, bufs, kStagingStride, lens, froms, kBatch);
        }
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        r->datagrams.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
        for (int i = 0; i < n; ++i) {
            if (lastText.empty() || froms[i].addr != lastAddr) {
                lastAddr = froms[i].addr;
                lastText = net::formatIPv4(lastAddr);
            }
            route(*r, bufs[i], lens[i], froms[i], lastText);
        }
    }
    r->threadActive.store(false);
}

void joinFinished(Reception& r) {
    if (r.thread.joinable() && r.thread.get_id() != std::this_thread::get_id()) r.thread.join();
}

// Caller holds apiMutex.
std::int32_t stopLocked(Reception& r) {
    {
        std::lock_guard<std::mutex> lock(r.sockMutex);
        if (r.sock == net::kInvalidSocket || !net::closeSocket(r.sock)) return RC_SOCKET_CLOSE_FAILED;
        r.sock = net::kInvalidSocket;
    }
    r.receiveActive.store(false);
    joinFinished(r);  // the thread sees the flag within about 1 ms
    return RC_OK;
}

std::int32_t startLocked(Reception& r, const char* hostIp, std::int32_t port) {
    {
        std::lock_guard<std::mutex> lock(r.sockMutex);
        if (r.sock != net::kInvalidSocket) net::closeSocket(r.sock);
        r.sock = net::kInvalidSocket;
    }
    const net::Socket s = net::udpSocket();
    if (s == net::kInvalidSocket) return RC_SOCKET_INIT_FAILED;
    net::setNonBlocking(s, true);
    {
        std::lock_guard<std::mutex> lock(r.sockMutex);
        r.sock = s;
    }
    if (port == 0) return RC_LOCAL_PORT_NULL;

    if (!net::setRecvBuffer(s, kRequestedRecvBuffer)) std::printf("socket option  SO_RCVBUF not support\n");
    const bool portInRange = port > 0 && port <= 0xFFFF;
    if (!portInRange || !net::bindTo(s, "0.0.0.0", static_cast<std::uint16_t>(port))) {
        const std::string err = portInRange ? net::lastErrorText() : std::string("port out of range");
        stopLocked(r);
        std::fprintf(stderr, "bind error!: %s\n", err.c_str());
        return RC_PORT_BIND_FAILED;
    }
    if (!net::joinMulticast(s, kPointCloudGroup, hostIp)) {
        net::leaveMulticast(s, kPointCloudGroup, hostIp);
        std::printf("IP_ADD_MEMBERSHIP failed!\n");
    }
    {
        Registry& reg = Registry::get();
        std::unique_lock<std::shared_mutex> lock(reg.mutex());
        reg.setHostIp(hostIp);
    }
    r.receiveActive.store(true);
    if (!r.threadActive.load()) {
        joinFinished(r);
        r.threadActive.store(true);
        try {
            r.thread = std::thread(receptionMain, &r);
        } catch (...) {
            r.threadActive.store(false);
            r.receiveActive.store(false);
            throw;
        }
    }
    if (!OpenControlSocket(hostIp)) {
        std::printf("Control socket %s\n", net::lastErrorText().c_str());
        return RC_GENERAL_ERROR;
    }
    return RC_OK;
}

}  // namespace

ReceptionStats receptionStats() {
    Reception& r = reception();
    ReceptionStats s;
    s.datagrams = r.datagrams.load();
    s.oversized = r.oversized.load();
    s.unknownSource = r.unknownSource.load();
    s.wrongPort = r.wrongPort.load();
    return s;
}

bool receptionThreadRunning() { return reception().threadActive.load(); }

}  // namespace orb

extern "C" {

ORB_API std::int32_t ZelOrbStartReceiveData(const char* host_ip, std::int32_t port) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        if (!host_ip) return RC_INVALID_TARGET;  // the host IP is needed for the membership and the control socket
        orb::Reception& r = orb::reception();
        std::lock_guard<std::mutex> lock(r.apiMutex);
        return orb::startLocked(r, host_ip, port);
    });
}

ORB_API std::int32_t ZelOrbStopReceiveData(void) {
    return orb::apiGuard<std::int32_t>(RC_GENERAL_ERROR, [&]() -> std::int32_t {
        orb::Reception& r = orb::reception();
        std::lock_guard<std::mutex> lock(r.apiMutex);
        return orb::stopLocked(r);
    });
}

}  // extern "C"
