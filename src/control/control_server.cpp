#include "control/control_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "control/crc8.h"
#include "core/registry.h"
#include "platform/net.h"

namespace orb {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kShortSendPauseMs = 100;
constexpr int kDisconnectPauseMs = 100;
constexpr int kModeSendPauseMs = 100;
constexpr std::size_t kModeReceiveSize = 1024;
// Leftovers of a rejected reply are read until the stream stays quiet this long.
constexpr int kDrainQuietMs = 20;
// Smallest frame that carries a result.
constexpr std::size_t kSmallestReply = kControlServerHeaderSize + 4;

struct ConnectionState {
    std::mutex mutex;  // held by ControlServerLock
    net::Socket sock = net::kInvalidSocket;
    bool connected = false;
    std::size_t receiveSize = kControlServerDefaultReceiveSize;
    int timeoutMs = 0;
};

ConnectionState& conn() {
    static ConnectionState s;
    return s;
}

void pauseMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return static_cast<int>((left + 999) / 1000);
}

enum class ReadResult { Ok, TimedOut, Closed };

ReadResult readExact(net::Socket s, std::uint8_t* buf, std::size_t n, Clock::time_point deadline) {
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
void drain(net::Socket s, Clock::time_point deadline) {
    std::uint8_t scratch[1024];
    for (;;) {
        const int left = std::min(kDrainQuietMs, msUntil(deadline));
        if (left <= 0 || !net::waitReadable(s, left)) return;
        if (net::recv(s, scratch, sizeof scratch) <= 0) return;
    }
}

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

void closeConnection(ConnectionState& st) {
    st.connected = false;
    if (st.sock != net::kInvalidSocket) net::closeSocket(st.sock);
    st.sock = net::kInvalidSocket;
}

void negotiateReceiveSize(const ControlServerLock& lock, ConnectionState& st) {
    // A failed negotiation keeps the default instead of receiving into nothing.
    st.receiveSize = kControlServerDefaultReceiveSize;
    std::vector<std::uint8_t> data;
    if (ControlServerExchange(lock, kCsCmdGetReceiveSize, nullptr, 0, &data, 2) != 0 || data.size() < 4) return;
    auto size = static_cast<std::int32_t>(le32(data.data()));
    if (size < static_cast<std::int32_t>(kControlServerRequestedReceiveSize)) {
        const std::uint32_t want = kControlServerRequestedReceiveSize;
        const std::uint8_t payload[4] = {static_cast<std::uint8_t>(want), static_cast<std::uint8_t>(want >> 8),
                                         static_cast<std::uint8_t>(want >> 16),
                                         static_cast<std::uint8_t>(want >> 24)};
        if (ControlServerExchange(lock, kCsCmdSetReceiveSize, payload, 4, nullptr, 2) == 0)
            size = static_cast<std::int32_t>(want);
    }
    if (size >= static_cast<std::int32_t>(kSmallestReply)) st.receiveSize = static_cast<std::size_t>(size);
}

}  // namespace

ControlServerLock::ControlServerLock() : lock_(conn().mutex) {}

ControlServerLock::~ControlServerLock() {
    if (conn().sock != net::kInvalidSocket) ControlServerDisconnect(*this);
}

std::vector<std::uint8_t> BuildControlServerFrame(std::uint16_t command, const std::uint8_t* payload,
                                                  std::uint16_t n) {
    std::vector<std::uint8_t> f(kControlServerHeaderSize + n, 0);
    f[0] = 0x5A;
    f[1] = 0xA5;
    f[2] = 0x01;
    f[3] = 0x06;
    f[6] = 1;  // flag byte of requests
    f[7] = 0x65;
    f[8] = 0x9A;
    f[9] = static_cast<std::uint8_t>(command);
    f[10] = static_cast<std::uint8_t>(command >> 8);
    f[11] = static_cast<std::uint8_t>(n);
    f[12] = static_cast<std::uint8_t>(n >> 8);
    f[19] = Crc8(f.data(), 19);
    if (n > 0 && payload) {
        std::copy(payload, payload + n, f.begin() + kControlServerHeaderSize);
        f[20] = Crc8(payload, n);
    }
    return f;
}

int ControlServerConnect(const ControlServerLock& lock, const char* ip, int timeoutMs) {
    ConnectionState& st = conn();
    if (st.sock != net::kInvalidSocket) closeConnection(st);  // a stale connection is never reused

    std::uint32_t addr = 0;
    // 0.0.0.0 would reach this host's own port 6501, not a device.
    if (!IsValidIPv4(ip) || !net::parseIPv4(ip, addr) || addr == 0) {
        std::printf("connect to ctrl-server error %d\n", -1);
        return kControlServerConnectFailed;
    }
    st.sock = net::tcpSocket();
    int err = st.sock == net::kInvalidSocket ? net::lastError() : 0;
    if (err == 0) {
        net::Endpoint to;
        to.addr = addr;
        to.port = kControlServerPort;
        err = net::connectWithTimeout(st.sock, to, timeoutMs);
    }
    if (st.sock == net::kInvalidSocket || err != 0) {
        std::printf("connect to ctrl-server error %d\n", err);
        closeConnection(st);
        return kControlServerConnectFailed;
    }
    net::setSendTimeoutMs(st.sock, timeoutMs);
    st.timeoutMs = timeoutMs;
    st.connected = true;
    negotiateReceiveSize(lock, st);
    return kControlServerConnected;
}

std::uint32_t ControlServerExchange(const ControlServerLock&, std::uint16_t command, const std::uint8_t* payload,
                                    std::uint16_t n, std::vector<std::uint8_t>* replyData, std::uint16_t attempts) {
    ConnectionState& st = conn();
    if (!st.connected) return kControlServerNotConnected;
    if (replyData) replyData->clear();
    const std::vector<std::uint8_t> frame = BuildControlServerFrame(command, payload, n);

    for (std::uint16_t attempt = 0; attempt < attempts; ++attempt) {
        if (net::send(st.sock, frame.data(), frame.size()) != static_cast<int>(frame.size())) {
            pauseMs(kShortSendPauseMs);
            continue;
        }
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(st.timeoutMs);
        std::uint8_t header[kControlServerHeaderSize];
        if (readExact(st.sock, header, sizeof header, deadline) != ReadResult::Ok) break;

        const std::size_t length = le16(header + 11);
        const bool headerOk = le16(header + 9) == command && Crc8(header, 19) == header[19];
        if (!headerOk || length < 4 || kControlServerHeaderSize + length > st.receiveSize) {
            drain(st.sock, deadline);
            continue;
        }
        std::vector<std::uint8_t> body(length);
        if (readExact(st.sock, body.data(), length, deadline) != ReadResult::Ok) break;
        if (net::waitReadable(st.sock, 0)) {  // more than it announced: its length is wrong
            drain(st.sock, deadline);
            continue;
        }
        // The payload check of a reply is not examined.
        if (replyData && length > 4) replyData->assign(body.begin() + 4, body.end());
        return le32(body.data());
    }
    return kControlServerAllAttemptsFailed;
}

bool ControlServerModeSequence(const ControlServerLock&, int attempts, const char* frameHex,
                               const char* expectedReplyHex) {
    ConnectionState& st = conn();
    if (!st.connected || st.sock == net::kInvalidSocket) {
        std::printf("socktcp is invalid\n");
        return false;
    }
    std::vector<std::uint8_t> frame;
    if (!frameHex || !expectedReplyHex || !HexDecode(frameHex, frame)) return false;

    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int sent = net::send(st.sock, frame.data(), frame.size());
        pauseMs(kModeSendPauseMs);
        if (sent != static_cast<int>(frame.size())) continue;

        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(st.timeoutMs);
        std::vector<std::uint8_t> reply(kControlServerHeaderSize);
        if (readExact(st.sock, reply.data(), reply.size(), deadline) != ReadResult::Ok) return false;
        const std::size_t length = le16(reply.data() + 11);
        if (kControlServerHeaderSize + length > kModeReceiveSize) {
            drain(st.sock, deadline);
            continue;
        }
        reply.resize(kControlServerHeaderSize + length);
        if (readExact(st.sock, reply.data() + kControlServerHeaderSize, length, deadline) != ReadResult::Ok)
            return false;
        if (net::waitReadable(st.sock, 0)) {
            drain(st.sock, deadline);
            continue;
        }
        if (HexEncode(reply.data(), reply.size()) == expectedReplyHex) return true;
    }
    return false;
}

void ControlServerDisconnect(const ControlServerLock&) {
    closeConnection(conn());
    pauseMs(kDisconnectPauseMs);
}

bool ControlServerIsConnected(const ControlServerLock&) { return conn().connected; }

std::size_t ControlServerReceiveSize(const ControlServerLock&) { return conn().receiveSize; }

bool HexDecode(const char* text, std::vector<std::uint8_t>& out) {
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

std::string HexEncode(const std::uint8_t* data, std::size_t n) {
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
