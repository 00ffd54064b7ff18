#include "control/control_server.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "control/crc8.h"
#include "core/bytes.h"
#include "core/deadline.h"
#include "core/diagnostics.h"
#include "core/ipv4.h"

namespace orb {

namespace {

constexpr int kShortSendPauseMs = 100;
constexpr int kDisconnectPauseMs = 100;
constexpr int kModeSendPauseMs = 100;
constexpr std::size_t kModeReceiveSize = 1024;
// Leftovers of a rejected reply are read until the stream stays quiet this long.
constexpr int kDrainQuietMs = 20;
// Smallest frame that carries a result.
constexpr std::size_t kSmallestReply = kControlServerHeaderSize + 4;
// Offsets inside a frame's header.
constexpr std::size_t kAtFlag = 6;
constexpr std::size_t kAtCommand = 9;
constexpr std::size_t kAtLength = 11;
constexpr std::size_t kAtHeaderCheck = 19;
constexpr std::size_t kAtPayloadCheck = 20;
constexpr std::uint8_t kFrameMagic[] = {0x5A, 0xA5, 0x01, 0x06};
constexpr std::uint8_t kFrameMarker[] = {0x65, 0x9A};  // bytes 7 and 8

void pauseMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

enum class ReadResult { Ok, TimedOut, Closed };

ReadResult readExact(net::Socket s, std::uint8_t* buf, std::size_t n, SteadyClock::time_point deadline) {
    std::size_t got = 0;
    while (got < n) {
        const int left = msUntil(deadline);
        if (left <= 0 || !net::waitReadable(s, left)) return ReadResult::TimedOut;
        const int r = net::recv(s, buf + got, n - got);
        if (r <= 0) return ReadResult::Closed;
        got += static_cast<std::size_t>(r);
    }
    return ReadResult::Ok;
}

// Discards the rest of a rejected reply so it cannot be taken for the next one.
void drain(net::Socket s, SteadyClock::time_point deadline) {
    std::uint8_t scratch[1024];
    for (;;) {
        const int left = std::min(kDrainQuietMs, msUntil(deadline));
        if (left <= 0 || !net::waitReadable(s, left)) return;
        if (net::recv(s, scratch, sizeof scratch) <= 0) return;
    }
}

}  // namespace

// --- the connection ------------------------------------------------------------

void ControlServerConnection::close() {
    connected_ = false;
    if (sock_ != net::kInvalidSocket) net::closeSocket(sock_);
    sock_ = net::kInvalidSocket;
}

// --- a session -----------------------------------------------------------------

ControlServerSession::ControlServerSession(ControlServerConnection& connection)
    : conn_(connection), lock_(connection.mutex_) {}

ControlServerSession::~ControlServerSession() {
    if (conn_.sock_ != net::kInvalidSocket) disconnect();
}

int ControlServerSession::connect(const char* ip, int timeoutMs) {
    if (conn_.sock_ != net::kInvalidSocket) conn_.close();  // a stale connection is never reused

    std::uint32_t addr = 0;
    // 0.0.0.0 would reach this host's own port 6501, not a device.
    if (!isValidIPv4(ip) || !net::parseIPv4(ip, addr) || addr == 0) {
        printDiagnostic(DiagnosticStream::Out, "connect to ctrl-server error %d\n", -1);
        return kControlServerConnectFailed;
    }
    conn_.sock_ = net::tcpSocket();
    int err = conn_.sock_ == net::kInvalidSocket ? net::lastError() : 0;
    if (err == 0) err = net::connectWithTimeout(conn_.sock_, net::Endpoint{addr, kControlServerPort}, timeoutMs);
    if (conn_.sock_ == net::kInvalidSocket || err != 0) {
        printDiagnostic(DiagnosticStream::Out, "connect to ctrl-server error %d\n", err);
        conn_.close();
        return kControlServerConnectFailed;
    }
    net::setSendTimeoutMs(conn_.sock_, timeoutMs);
    conn_.timeoutMs_ = timeoutMs;
    conn_.connected_ = true;
    negotiateReceiveSize();
    return kControlServerConnected;
}

void ControlServerSession::negotiateReceiveSize() {
    // A failed negotiation keeps the default instead of receiving into nothing.
    conn_.receiveSize_ = kControlServerDefaultReceiveSize;
    std::vector<std::uint8_t> data;
    if (exchange(kCsCmdGetReceiveSize, nullptr, 0, &data, 2) != 0 || data.size() < 4) return;
    auto size = static_cast<std::int32_t>(bytes::readLe32(data.data()));
    if (size < static_cast<std::int32_t>(kControlServerRequestedReceiveSize)) {
        std::uint8_t payload[4];
        bytes::writeLe32(payload, kControlServerRequestedReceiveSize);
        if (exchange(kCsCmdSetReceiveSize, payload, sizeof payload, nullptr, 2) == 0)
            size = static_cast<std::int32_t>(kControlServerRequestedReceiveSize);
    }
    if (size >= static_cast<std::int32_t>(kSmallestReply)) conn_.receiveSize_ = static_cast<std::size_t>(size);
}

std::uint32_t ControlServerSession::exchange(std::uint16_t command, const std::uint8_t* payload, std::uint16_t n,
                                             std::vector<std::uint8_t>* replyData, std::uint16_t attempts) {
    if (!conn_.connected_) return kControlServerNotConnected;
    if (replyData) replyData->clear();
    const std::vector<std::uint8_t> frame = buildControlServerFrame(command, payload, n);
    const net::Socket s = conn_.sock_;

    for (std::uint16_t attempt = 0; attempt < attempts; ++attempt) {
        if (net::send(s, frame.data(), frame.size()) != static_cast<int>(frame.size())) {
            pauseMs(kShortSendPauseMs);
            continue;
        }
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(conn_.timeoutMs_);
        std::uint8_t header[kControlServerHeaderSize];
        if (readExact(s, header, sizeof header, deadline) != ReadResult::Ok) break;

        const std::size_t length = bytes::readLe16(header + kAtLength);
        const bool headerOk = bytes::readLe16(header + kAtCommand) == command &&
                              crc8(header, kAtHeaderCheck) == header[kAtHeaderCheck];
        if (!headerOk || length < 4 || kControlServerHeaderSize + length > conn_.receiveSize_) {
            drain(s, deadline);
            continue;
        }
        std::vector<std::uint8_t> body(length);
        if (readExact(s, body.data(), length, deadline) != ReadResult::Ok) break;
        if (net::waitReadable(s, 0)) {  // more than it announced: its length is wrong
            drain(s, deadline);
            continue;
        }
        // The payload check of a reply is not examined.
        if (replyData && length > 4) replyData->assign(body.begin() + 4, body.end());
        return bytes::readLe32(body.data());
    }
    return kControlServerAllAttemptsFailed;
}

bool ControlServerSession::modeSequence(int attempts, const char* frameHex, const char* expectedReplyHex) {
    if (!conn_.connected_ || conn_.sock_ == net::kInvalidSocket) {
        printDiagnostic(DiagnosticStream::Out, "socktcp is invalid\n");
        return false;
    }
    std::vector<std::uint8_t> frame;
    if (!frameHex || !expectedReplyHex || !hexDecode(frameHex, frame)) return false;
    const net::Socket s = conn_.sock_;

    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int sent = net::send(s, frame.data(), frame.size());
        pauseMs(kModeSendPauseMs);
        if (sent != static_cast<int>(frame.size())) continue;

        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(conn_.timeoutMs_);
        std::vector<std::uint8_t> reply(kControlServerHeaderSize);
        if (readExact(s, reply.data(), reply.size(), deadline) != ReadResult::Ok) return false;
        const std::size_t length = bytes::readLe16(reply.data() + kAtLength);
        if (kControlServerHeaderSize + length > kModeReceiveSize) {
            drain(s, deadline);
            continue;
        }
        reply.resize(kControlServerHeaderSize + length);
        if (readExact(s, reply.data() + kControlServerHeaderSize, length, deadline) != ReadResult::Ok) return false;
        if (net::waitReadable(s, 0)) {
            drain(s, deadline);
            continue;
        }
        if (hexEncode(reply.data(), reply.size()) == expectedReplyHex) return true;
    }
    return false;
}

void ControlServerSession::disconnect() {
    conn_.close();
    pauseMs(kDisconnectPauseMs);
}

bool ControlServerSession::isConnected() const { return conn_.connected_; }

std::size_t ControlServerSession::receiveSize() const { return conn_.receiveSize_; }

// --- frames and hexadecimal text ---------------------------------------------

std::vector<std::uint8_t> buildControlServerFrame(std::uint16_t command, const std::uint8_t* payload,
                                                  std::uint16_t n) {
    std::vector<std::uint8_t> f(kControlServerHeaderSize + n, 0);
    std::copy(std::begin(kFrameMagic), std::end(kFrameMagic), f.begin());
    f[kAtFlag] = 1;  // flag byte of requests
    std::copy(std::begin(kFrameMarker), std::end(kFrameMarker), f.begin() + kAtFlag + 1);
    bytes::writeLe16(&f[kAtCommand], command);
    bytes::writeLe16(&f[kAtLength], n);
    f[kAtHeaderCheck] = crc8(f.data(), kAtHeaderCheck);
    if (n > 0 && payload) {
        std::copy(payload, payload + n, f.begin() + kControlServerHeaderSize);
        f[kAtPayloadCheck] = crc8(payload, n);
    }
    return f;
}

bool hexDecode(const char* text, std::vector<std::uint8_t>& out) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    out.clear();
    if (!text) return false;
    for (std::size_t i = 0; text[i] != '\0'; i += 2) {
        const int hi = digit(text[i]);
        const int lo = text[i + 1] == '\0' ? -1 : digit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            out.clear();
            return false;
        }
        out.push_back(static_cast<std::uint8_t>((hi << 4) | lo));
    }
    return true;
}

std::string hexEncode(const std::uint8_t* data, std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(kDigits[data[i] >> 4]);
        s.push_back(kDigits[data[i] & 0x0F]);
    }
    return s;
}

}  // namespace orb
