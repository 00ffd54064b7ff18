// The TCP connection to a device's control server (port 6501), used for
// network settings and the operating mode. The process has one, owned by the
// library context.
//
// Frame: magic 5A A5 01 06, reserved (2), flag byte, 0x65, 0x9A, command
// (LE u16), payload length N (LE u16), reserved (6), CRC-8 of bytes 0..18,
// CRC-8 of the payload, then N payload bytes. A reply payload starts with a
// 4-byte result (LE u32); the rest is the reply data.
//
// A ControlServerSession owns the connection: a caller holds one for its
// whole connect .. disconnect sequence, so two calls never interleave frames
// on the one socket. Every receive is bounded by the time-out given to
// connect(), so a silent device fails the call instead of blocking it (and,
// for the mode call, every device call of the process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net.h"

namespace orb {

constexpr std::uint16_t kControlServerPort = 6501;
constexpr std::size_t kControlServerHeaderSize = 21;
constexpr std::size_t kControlServerDefaultReceiveSize = 1024;
constexpr std::uint32_t kControlServerRequestedReceiveSize = 8192;

// Control-server commands. The mode frames are sent as fixed texts
// (net_settings.h); their command is kCsCmdModeFrame.
enum ControlServerCommand : std::uint16_t {
    kCsCmdGetReceiveSize = 1,
    kCsCmdSetReceiveSize = 2,
    kCsCmdModeFrame = 0x0100,
    kCsCmdSetNetSettings = 0x0201,
    kCsCmdGetNetSettings = 0x0202,
};

// ControlServerSession::connect results.
constexpr int kControlServerConnected = 0;
constexpr int kControlServerConnectFailed = 2;
// ControlServerSession::exchange results besides the device's own.
constexpr std::uint32_t kControlServerAllAttemptsFailed = 3;
constexpr std::uint32_t kControlServerNotConnected = 4;

// The connection's state; reached only through a session.
class ControlServerConnection {
public:
    ControlServerConnection() = default;
    // Every session closes what it opened; nothing is left for the end.
    ~ControlServerConnection() = default;
    ControlServerConnection(const ControlServerConnection&) = delete;
    ControlServerConnection& operator=(const ControlServerConnection&) = delete;

private:
    friend class ControlServerSession;
    void close();

    std::mutex mutex_;  // held by a session
    net::Socket sock_ = net::kInvalidSocket;
    bool connected_ = false;
    std::size_t receiveSize_ = kControlServerDefaultReceiveSize;
    int timeoutMs_ = 0;
};

class ControlServerSession {
public:
    explicit ControlServerSession(ControlServerConnection& connection);
    // Disconnects a connection the holder left open, so no path leaks it.
    ~ControlServerSession();
    ControlServerSession(const ControlServerSession&) = delete;
    ControlServerSession& operator=(const ControlServerSession&) = delete;

    // Connects to ip:6501 within timeoutMs (a refused or timed-out
    // connection fails), then negotiates the receive size. Returns 0, or 2
    // after printing "connect to ctrl-server error <n>".
    int connect(const char* ip, int timeoutMs);

    // Sends the frame and waits for its reply, up to `attempts` times. A
    // reply whose command or header check is wrong, that is larger than the
    // receive size, shorter than a result, or followed by more bytes than it
    // announced is dropped and the next attempt starts; a receive that times
    // out or finds the connection closed ends the exchange. Returns the
    // reply's result (reply data after it in *replyData, when given), 3 when
    // no attempt succeeded, 4 when not connected.
    std::uint32_t exchange(std::uint16_t command, const std::uint8_t* payload, std::uint16_t n,
                           std::vector<std::uint8_t>* replyData, std::uint16_t attempts);

    // Sends a fixed frame given as hexadecimal text and waits for the exact
    // expected reply (hexadecimal text), up to `attempts` times. True when it
    // arrived.
    bool modeSequence(int attempts, const char* frameHex, const char* expectedReplyHex);

    void disconnect();
    bool isConnected() const;
    std::size_t receiveSize() const;

private:
    void negotiateReceiveSize();

    ControlServerConnection& conn_;
    std::unique_lock<std::mutex> lock_;
};

// A request frame: header with both checks, then the payload.
std::vector<std::uint8_t> buildControlServerFrame(std::uint16_t command, const std::uint8_t* payload,
                                                  std::uint16_t n);

// Hexadecimal text <-> bytes. Decoding fails on an odd length or a character
// other than 0-9, a-f, A-F; encoding writes lowercase.
bool hexDecode(const char* text, std::vector<std::uint8_t>& out);
std::string hexEncode(const std::uint8_t* data, std::size_t n);

}  // namespace orb
