#include "stream/reception.h"

#include <chrono>
#include <cstring>

#include "core/diagnostics.h"
#include "orb_sdk.h"
#include "stream/packet.h"

namespace orb {

namespace {

constexpr int kBatch = 64;
// One byte more than a datagram may have, so an oversized one is seen as such.
constexpr std::size_t kStagingStride = kMaxDatagram + 1;
constexpr int kRequestedRecvBuffer = 0x40000000;
constexpr int kIdleWaitMs = 10;
// After a partial batch the next datagrams are usually close behind: a short
// pause lets them gather, so a busy stream costs one call per batch instead
// of a wake-up per datagram, and delays a frame by at most this much.
constexpr auto kGatherPause = std::chrono::microseconds(200);
constexpr std::uint32_t kWakeEvery = 64;

}  // namespace

Reception::Reception(StreamDirectory& directory, record::Recorder& recorder)
    : directory_(directory), recorder_(recorder), staging_(kBatch * kStagingStride) {}

Reception::~Reception() {
    receiveActive_.store(false);
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(sockMutex_);
    if (sock_ != net::kInvalidSocket) net::closeSocket(sock_);
}

StreamState* Reception::route(const std::uint8_t* data, int len, const net::Endpoint& from,
                              const std::string& sourceText) {
    if (len <= 0) return nullptr;
    StreamState* st = directory_.findStream(sourceText);
    if (!st) {
        unknownSource_.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    StreamStats& stats = st->stats;
    stats.datagrams.fetch_add(1, std::memory_order_relaxed);
    stats.bytes.fetch_add(static_cast<std::uint64_t>(len), std::memory_order_relaxed);
    if (static_cast<std::size_t>(len) > kMaxDatagram) {
        stats.droppedLength.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    if (from.port != st->dataSourcePort.load(std::memory_order_relaxed) && from.port != kAlwaysAcceptedSourcePort) {
        stats.droppedWrongPort.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    PacketSlot* slot = st->packetQueue.reserve();
    if (!slot) {
        stats.datagramsDroppedQueueFull.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    slot->length = static_cast<std::uint16_t>(len);
    std::memcpy(slot->bytes, data, static_cast<std::size_t>(len));
    st->packetQueue.commit();
    stats.datagramsQueued.fetch_add(1, std::memory_order_relaxed);
    // Waking the packet thread for every datagram costs more than handling
    // it: wake it when a frame closes or a six-axis record waits, and every
    // kWakeEvery datagrams so that the queue never fills.
    const bool prompt = needsPromptHandling(data, static_cast<std::size_t>(len), st->routedPacketNumber);
    if (!prompt && ++st->queuedSinceWake < kWakeEvery) return nullptr;
    st->queuedSinceWake = 0;
    return st;
}

void Reception::run() {
    std::uint8_t* bufs[kBatch];
    for (int i = 0; i < kBatch; ++i) bufs[i] = staging_.data() + static_cast<std::size_t>(i) * kStagingStride;
    int lens[kBatch];
    net::Endpoint froms[kBatch];
    net::Endpoint local;
    StreamState* fed[kBatch];
    std::uint32_t lastAddr = 0;
    std::string lastText;
    while (receiveActive_.load()) {
        int n;
        {
            std::lock_guard<std::mutex> lock(sockMutex_);
            n = net::recvBatch(sock_, bufs, kStagingStride, lens, froms, kBatch);
            // Nothing waiting: sleep in the kernel until a datagram comes. The
            // wait is short because a stop or reopen waits for this mutex.
            if (n == 0 && net::waitReadable(sock_, kIdleWaitMs))
                n = net::recvBatch(sock_, bufs, kStagingStride, lens, froms, kBatch);
            local = local_;
        }
        if (n < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no socket: do not spin
            continue;
        }
        if (n == 0) continue;
        const bool partial = n < kBatch;
        datagrams_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
        for (int i = 0; i < n; ++i)
            if (lens[i] > 0) recorder_.capture(froms[i], local, bufs[i], static_cast<std::size_t>(lens[i]));
        int fedCount = 0;
        {
            // One shared lock per batch: registry changes are quick, and
            // the streams found stay alive until it is released.
            std::shared_lock<std::shared_mutex> lock(directory_.mutex());
            for (int i = 0; i < n; ++i) {
                if (lastText.empty() || froms[i].addr != lastAddr) {
                    lastAddr = froms[i].addr;
                    lastText = net::formatIPv4(lastAddr);
                }
                StreamState* st = route(bufs[i], lens[i], froms[i], lastText);
                if (st && (fedCount == 0 || fed[fedCount - 1] != st)) fed[fedCount++] = st;
            }
            // Each packet thread is woken once per batch (a repeat is harmless).
            for (int i = 0; i < fedCount; ++i) fed[i]->packetWake.notify();
        }
        if (partial) std::this_thread::sleep_for(kGatherPause);
    }
    threadActive_.store(false);
}

void Reception::joinFinished() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::int32_t Reception::stop() {
    {
        std::lock_guard<std::mutex> lock(sockMutex_);
        if (sock_ == net::kInvalidSocket || !net::closeSocket(sock_)) return RC_SOCKET_CLOSE_FAILED;
        sock_ = net::kInvalidSocket;
    }
    receiveActive_.store(false);
    joinFinished();  // the thread sees the flag within about 1 ms
    return RC_OK;
}

std::int32_t Reception::open(const char* hostIp, std::int32_t port) {
    {
        std::lock_guard<std::mutex> lock(sockMutex_);
        if (sock_ != net::kInvalidSocket) net::closeSocket(sock_);
        sock_ = net::kInvalidSocket;
    }
    const net::Socket s = net::udpSocket();
    if (s == net::kInvalidSocket) return RC_SOCKET_INIT_FAILED;
    net::setNonBlocking(s, true);
    {
        std::lock_guard<std::mutex> lock(sockMutex_);
        sock_ = s;
        local_ = net::makeEndpoint(hostIp ? hostIp : "", static_cast<std::uint16_t>(port));
    }
    if (port == 0) return RC_LOCAL_PORT_NULL;

    if (!net::setRecvBuffer(s, kRequestedRecvBuffer))
        printDiagnostic(DiagnosticStream::Out, "socket option  SO_RCVBUF not support\n");
    grantedRecvBuffer_.store(net::recvBufferSize(s), std::memory_order_relaxed);
    const bool portInRange = port > 0 && port <= 0xFFFF;
    if (!portInRange || !net::bindTo(s, "0.0.0.0", static_cast<std::uint16_t>(port))) {
        const std::string err = portInRange ? net::lastErrorText() : std::string("port out of range");
        stop();
        printDiagnostic(DiagnosticStream::Err, "bind error!: %s\n", err.c_str());
        return RC_PORT_BIND_FAILED;
    }
    if (!net::joinMulticast(s, kPointCloudGroup, hostIp)) {
        net::leaveMulticast(s, kPointCloudGroup, hostIp);
        printDiagnostic(DiagnosticStream::Out, "IP_ADD_MEMBERSHIP failed!\n");
    }
    return RC_OK;
}

void Reception::startThread() {
    receiveActive_.store(true);
    if (threadActive_.load()) return;
    joinFinished();
    threadActive_.store(true);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        threadActive_.store(false);
        receiveActive_.store(false);
        throw;
    }
}

void Reception::resetUnknownSource() { unknownSource_.store(0, std::memory_order_relaxed); }

ReceptionStats Reception::stats() const {
    ReceptionStats s;
    s.datagrams = datagrams_.load();
    s.unknownSource = unknownSource_.load();
    s.grantedRecvBuffer = grantedRecvBuffer_.load();
    return s;
}

}  // namespace orb
