#include "control/command.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "control/control_endpoint.h"
#include "core/bytes.h"
#include "core/deadline.h"

namespace orb {

namespace {

constexpr std::size_t kInitialCapacity = 128;
constexpr int kControlRecvBuffer = 0x40000000;
// Offsets inside a command frame.
constexpr std::size_t kAtFrameType = 4;
constexpr std::size_t kAtStatus = 5;
constexpr std::size_t kAtCommand = 6;
constexpr std::size_t kAtFrameCount = 8;
constexpr std::size_t kAtReserved = 10;
constexpr std::size_t kAtPayloadLength = 12;

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

// --- RequestBuffer -----------------------------------------------------------

RequestBuffer::RequestBuffer(std::uint16_t command, std::uint8_t frameType) : store_(kInitialCapacity, 0) {
    bytes::writeLe32(&store_[0], kHeadMagic);
    store_[kAtFrameType] = frameType;
    store_[kAtStatus] = 0;
    bytes::writeBe16(&store_[kAtCommand], command);
    bytes::writeBe16(&store_[kAtFrameCount], 1);
    bytes::writeBe16(&store_[kAtReserved], 1);
    bytes::writeBe16(&store_[kAtPayloadLength], 0);
    bytes::writeLe32(&store_[kCommandHeaderSize], kTailMagic);
}

bool RequestBuffer::setPayload(const std::uint8_t* data, std::size_t n) {
    if (n > kMaxRequestPayload || (n > 0 && !data)) return false;
    if (n + kCommandFrameOverhead > store_.size()) {
        std::vector<std::uint8_t> bigger(n + kCommandFrameOverhead, 0);
        std::copy(store_.begin(), store_.begin() + 16, bigger.begin());
        store_.swap(bigger);
    }
    bytes::writeBe16(&store_[kAtPayloadLength], static_cast<std::uint16_t>(n));
    if (n > 0) std::memcpy(&store_[kCommandHeaderSize], data, n);
    bytes::writeLe32(&store_[kCommandHeaderSize + n], kTailMagic);
    return true;
}

std::size_t RequestBuffer::payloadLength() const { return bytes::readBe16(&store_[kAtPayloadLength]); }
std::size_t RequestBuffer::size() const { return payloadLength() + kCommandFrameOverhead; }
std::uint16_t RequestBuffer::command() const { return bytes::readBe16(&store_[kAtCommand]); }

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
    const std::size_t n = bytes::readBe16(&store_[kAtPayloadLength]);
    return n + kCommandFrameOverhead <= length_ ? n : 0;
}

const std::uint8_t* ReplyBuffer::payload() const { return store_.data() + kCommandHeaderSize; }

// --- chain validation ----------------------------------------------------------

bool validateReplyChain(const std::uint8_t* data, std::size_t length, std::uint16_t command) {
    if (!data || length < kCommandHeaderSize) return false;
    const std::size_t count = bytes::readBe16(data + kAtFrameCount);
    if (count == 0) return false;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (total + kCommandHeaderSize > length) return false;
        const std::uint8_t* f = data + total;
        const std::size_t n = bytes::readBe16(f + kAtPayloadLength);
        total += n + kCommandFrameOverhead;
        if (total > length) return false;
        if (bytes::readBe16(f + kAtCommand) != command) return false;
        if (bytes::readLe32(f) != kHeadMagic) return false;
        if (bytes::readLe32(f + kCommandHeaderSize + n) != kTailMagic) return false;
    }
    return true;
}

// --- sockets -----------------------------------------------------------------

net::Socket openUdpSocket(const net::Endpoint& local, int timeoutMs) {
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

// --- the control channel -------------------------------------------------------

ControlChannel::ControlChannel(record::Recorder& recorder) : recorder_(recorder) {}

bool ControlChannel::open(const char* hostIp) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_ != net::kInvalidSocket) {
        net::closeSocket(socket_);
        socket_ = net::kInvalidSocket;
    }
    std::uint32_t addr = 0;
    local_ = net::Endpoint{0, kCommandPort};
    if (hostIp && net::parseIPv4(hostIp, addr)) {
        local_.addr = addr;
        socket_ = openUdpSocket(local_, kControlTimeoutMs);
    }
    markedNotOpen_ = socket_ == net::kInvalidSocket;
    return !markedNotOpen_;
}

void ControlChannel::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_ != net::kInvalidSocket) net::closeSocket(socket_);
    socket_ = net::kInvalidSocket;
    markedNotOpen_ = false;
}

// Receives one datagram from deviceAddr within timeoutMs, skipping datagrams
// from any other address. Returns the byte count or -1 (time-out or error).
int ControlChannel::receiveFrom(std::uint32_t deviceAddr, int timeoutMs) {
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int left = msUntil(deadline);
        if (left <= 0) return -1;
        if (!net::waitReadable(socket_, left)) return -1;
        net::Endpoint from;
        const int n = receive(from);
        if (n < 0) return -1;
        if (from.addr == deviceAddr) return n;
    }
}

int ControlChannel::receive(net::Endpoint& from) {
    const int n = net::recvFrom(socket_, receiveStore_, sizeof receiveStore_, &from);
    if (n >= 0) recorder_.capture(from, local_, receiveStore_, static_cast<std::size_t>(n));
    return n;
}

// Datagrams still queued from an earlier exchange (a reply that came after
// its time-out) must not answer this one.
void ControlChannel::drainStale() {
    net::Endpoint from;
    for (int i = 0; i < 1024 && net::waitReadable(socket_, 0); ++i) {
        if (receive(from) < 0) break;
    }
}

std::uint8_t ControlChannel::exchange(const net::Endpoint& device, ReplyBuffer& collected, const RequestBuffer& req,
                                      ReplyBuffer* reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reply) reply->reset();
    if (markedNotOpen_) return kStatusControlSocketInvalid;

    const std::uint16_t expected = req.command();
    collected.reset();
    if (socket_ != net::kInvalidSocket) drainStale();

    for (int attempt = 0; attempt < kExchangeAttempts; ++attempt) {
        if (net::sendTo(socket_, req.data(), req.size(), device) < 0) {
            pause(kExchangePauseMs);
            continue;
        }
        const int n = receiveFrom(device.addr, kControlTimeoutMs);
        if (n <= 0) {
            pause(kExchangePauseMs);
            continue;
        }
        collected.append(receiveStore_, static_cast<std::size_t>(n));
        if (collected.length() < 8 || bytes::readLe32(collected.data()) != kHeadMagic ||
            bytes::readBe16(collected.data() + kAtCommand) != expected) {
            collected.reset();  // someone else's reply: ask again at once
            continue;
        }
        if (validateReplyChain(collected.data(), collected.length(), expected)) {
            if (reply) reply->append(collected.data(), collected.length());
            const std::uint8_t status = collected.data()[kAtStatus];
            return status < 3 ? 0 : status;
        }
        pause(kExchangePauseMs);  // part of a chain: keep it and wait for the rest
    }
    return kStatusNoReply;
}

std::uint8_t commandExchange(ControlEndpoint& ep, const RequestBuffer& req, ReplyBuffer* reply) {
    return ep.channel.exchange(ep.deviceControl, ep.reply, req, reply);
}

}  // namespace orb
