#include "control/command.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "control/control_endpoint.h"

namespace orb {

namespace {

constexpr std::size_t kInitialCapacity = 128;
constexpr std::size_t kReceiveStore = 65535;
constexpr int kControlRecvBuffer = 0x40000000;

void putU16BE(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

std::uint16_t getU16BE(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void putU32LE(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t getU32LE(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The one control socket of the process. All of it is guarded by
// gExchangeMutex, which also serialises exchanges: every device shares the
// socket, so two exchanges at once could take each other's replies.
std::mutex gExchangeMutex;
net::Socket gControlSocket = net::kInvalidSocket;
bool gControlMarkedNotOpen = false;
std::uint8_t gReceiveStore[kReceiveStore];

// Receives one datagram from deviceAddr within timeoutMs, skipping datagrams
// from any other address. Returns the byte count or -1 (time-out or error).
int receiveFrom(net::Socket s, std::uint32_t deviceAddr, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return -1;
        if (!net::waitReadable(s, static_cast<int>(left))) return -1;
        net::Endpoint from;
        const int n = net::recvFrom(s, gReceiveStore, sizeof gReceiveStore, &from);
        if (n < 0) return -1;
        if (from.addr == deviceAddr) return n;
    }
}

// Datagrams still queued from an earlier exchange (a reply that came after
// its time-out) must not answer this one.
void drainStale(net::Socket s) {
    for (int i = 0; i < 1024 && net::waitReadable(s, 0); ++i) {
        if (net::recvFrom(s, gReceiveStore, sizeof gReceiveStore, nullptr) < 0) break;
    }
}

}  // namespace

// --- RequestBuffer -----------------------------------------------------------

RequestBuffer::RequestBuffer(std::uint16_t command, std::uint8_t frameType) : store_(kInitialCapacity, 0) {
    putU32LE(&store_[0], kHeadMagic);
    store_[4] = frameType;
    store_[5] = 0;
    putU16BE(&store_[6], command);
    putU16BE(&store_[8], 1);
    putU16BE(&store_[10], 1);
    putU16BE(&store_[12], 0);
    putU32LE(&store_[kCommandHeaderSize], kTailMagic);
}

bool RequestBuffer::setPayload(const std::uint8_t* data, std::size_t n) {
    if (n > kMaxRequestPayload || (n > 0 && !data)) return false;
    if (n + kCommandFrameOverhead > store_.size()) {
        std::vector<std::uint8_t> bigger(n + kCommandFrameOverhead, 0);
        std::copy(store_.begin(), store_.begin() + 16, bigger.begin());
        store_.swap(bigger);
    }
    putU16BE(&store_[12], static_cast<std::uint16_t>(n));
    if (n > 0) std::memcpy(&store_[kCommandHeaderSize], data, n);
    putU32LE(&store_[kCommandHeaderSize + n], kTailMagic);
    return true;
}

std::size_t RequestBuffer::payloadLength() const { return getU16BE(&store_[12]); }
std::size_t RequestBuffer::size() const { return payloadLength() + kCommandFrameOverhead; }
std::uint16_t RequestBuffer::command() const { return getU16BE(&store_[6]); }

// --- ReplyBuffer -------------------------------------------------------------

ReplyBuffer::ReplyBuffer() : store_(kInitialCapacity, 0) {}

void ReplyBuffer::append(const std::uint8_t* d, std::size_t n) {
    if (length_ > kReplyAppendLimit || n == 0 || !d) return;
    if (length_ + n > store_.size()) store_.resize(2 * (length_ + n));
    std::memcpy(store_.data() + length_, d, n);
    length_ += n;
}

void ReplyBuffer::reset() {
    length_ = 0;
    if (store_.size() > kInitialCapacity) std::vector<std::uint8_t>(kInitialCapacity, 0).swap(store_);
}

std::size_t ReplyBuffer::payloadLength() const {
    if (length_ < kCommandFrameOverhead) return 0;
    const std::size_t n = getU16BE(&store_[12]);
    return n + kCommandFrameOverhead <= length_ ? n : 0;
}

const std::uint8_t* ReplyBuffer::payload() const { return store_.data() + kCommandHeaderSize; }

// --- chain validation ----------------------------------------------------------

bool ValidateReplyChain(const std::uint8_t* data, std::size_t length, std::uint16_t command) {
    if (!data || length < kCommandHeaderSize) return false;
    const std::size_t count = getU16BE(data + 8);
    if (count == 0) return false;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (total + kCommandHeaderSize > length) return false;
        const std::uint8_t* f = data + total;
        const std::size_t n = getU16BE(f + 12);
        total += n + kCommandFrameOverhead;
        if (total > length) return false;
        if (getU16BE(f + 6) != command) return false;
        if (getU32LE(f) != kHeadMagic) return false;
        if (getU32LE(f + kCommandHeaderSize + n) != kTailMagic) return false;
    }
    return true;
}

// --- sockets -----------------------------------------------------------------

net::Socket OpenUdpSocket(const net::Endpoint& local, int timeoutMs) {
    net::Socket s = net::udpSocket();
    if (s == net::kInvalidSocket) return net::kInvalidSocket;
    bool ok = net::setRecvBuffer(s, kControlRecvBuffer) && net::setOwnAddrReuse(s) && net::bindTo(s, local);
    if (ok) {
        ok = timeoutMs == 0 ? net::setNonBlocking(s, true)
                            : net::setRecvTimeoutMs(s, timeoutMs) && net::setSendTimeoutMs(s, timeoutMs);
    }
    if (!ok) {
        net::closeSocket(s);
        return net::kInvalidSocket;
    }
    return s;
}

bool OpenControlSocket(const char* hostIp) {
    std::lock_guard<std::mutex> lock(gExchangeMutex);
    if (gControlSocket != net::kInvalidSocket) {
        net::closeSocket(gControlSocket);
        gControlSocket = net::kInvalidSocket;
    }
    std::uint32_t addr = 0;
    if (hostIp && net::parseIPv4(hostIp, addr)) {
        gControlSocket = OpenUdpSocket(net::Endpoint{addr, kCommandPort}, kControlTimeoutMs);
    }
    gControlMarkedNotOpen = gControlSocket == net::kInvalidSocket;
    return !gControlMarkedNotOpen;
}

void CloseControlSocket() {
    std::lock_guard<std::mutex> lock(gExchangeMutex);
    if (gControlSocket != net::kInvalidSocket) net::closeSocket(gControlSocket);
    gControlSocket = net::kInvalidSocket;
    gControlMarkedNotOpen = false;
}

// --- exchange ----------------------------------------------------------------

std::uint8_t CommandExchange(ControlEndpoint& ep, const RequestBuffer& req, ReplyBuffer* reply) {
    std::lock_guard<std::mutex> lock(gExchangeMutex);
    if (reply) reply->reset();
    if (gControlMarkedNotOpen) return kStatusControlSocketInvalid;

    const std::uint16_t expected = req.command();
    ReplyBuffer& acc = ep.reply;
    acc.reset();
    const net::Socket s = gControlSocket;
    if (s != net::kInvalidSocket) drainStale(s);

    for (int attempt = 0; attempt < kExchangeAttempts; ++attempt) {
        if (net::sendTo(s, req.data(), req.size(), ep.deviceControl) < 0) {
            pause(kExchangePauseMs);
            continue;
        }
        const int n = receiveFrom(s, ep.deviceControl.addr, kControlTimeoutMs);
        if (n <= 0) {
            pause(kExchangePauseMs);
            continue;
        }
        acc.append(gReceiveStore, static_cast<std::size_t>(n));
        if (acc.length() < 8 || getU32LE(acc.data()) != kHeadMagic || getU16BE(acc.data() + 6) != expected) {
            acc.reset();  // someone else's reply: ask again at once
            continue;
        }
        if (ValidateReplyChain(acc.data(), acc.length(), expected)) {
            if (reply) reply->append(acc.data(), acc.length());
            const std::uint8_t status = acc.data()[5];
            return status < 3 ? 0 : status;
        }
        pause(kExchangePauseMs);  // part of a chain: keep it and wait for the rest
    }
    return kStatusNoReply;
}

}  // namespace orb
