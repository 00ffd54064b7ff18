// The process-wide TCP connection to a device's control server (port 6501),
// used for network settings and the operating mode.
//
// Frame: magic 5A A5 01 06, reserved (2), flag byte, 0x65, 0x9A, command
// (LE u16), payload length N (LE u16), reserved (6), CRC-8 of bytes 0..18,
// CRC-8 of the payload, then N payload bytes. A reply payload starts with a
// 4-byte result (LE u32); the rest is the reply data.
//
// Holding a ControlServerLock owns the connection: a caller takes one for
// its whole connect .. disconnect sequence, so two calls never interleave
// frames on the one socket. Every receive is bounded by the time-out given
// to ControlServerConnect, so a silent device fails the call instead of
// blocking it (and, for the mode call, every device call of the process).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace orb {

constexpr std::uint16_t kControlServerPort = 6501;
constexpr std::size_t kControlServerHeaderSize = 21;
constexpr std::size_t kControlServerDefaultReceiveSize = 1024;
constexpr std::uint32_t kControlServerRequestedReceiveSize = 8192;
constexpr std::uint16_t kCsCmdGetReceiveSize = 1;
constexpr std::uint16_t kCsCmdSetReceiveSize = 2;

// ControlServerConnect results.
constexpr int kControlServerConnected = 0;
constexpr int kControlServerConnectFailed = 2;
// ControlServerExchange results besides the device's own.
constexpr std::uint32_t kControlServerAllAttemptsFailed = 3;
constexpr std::uint32_t kControlServerNotConnected = 4;

class ControlServerLock {
public:
    ControlServerLock();
    // Disconnects a connection the holder left open, so no path leaks it.
    ~ControlServerLock();
    ControlServerLock(const ControlServerLock&) = delete;
    ControlServerLock& operator=(const ControlServerLock&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
};

// A request frame: header with both checks, then the payload.
std::vector<std::uint8_t> BuildControlServerFrame(std::uint16_t command, const std::uint8_t* payload,
                                                  std::uint16_t n);

// Connects to ip:6501 within timeoutMs (a refused or timed-out connection
// fails), then negotiates the receive size. Returns 0, or 2 after printing
// "connect to ctrl-server error <n>".
int ControlServerConnect(const ControlServerLock&, const char* ip, int timeoutMs);

// Sends the frame and waits for its reply, up to `attempts` times. A reply
// whose command or header check is wrong, that is larger than the receive
// size, shorter than a result, or followed by more bytes than it announced
// is dropped and the next attempt starts; a receive that times out or finds
// the connection closed ends the exchange. Returns the reply's result (reply
// data after it in *replyData, when given), 3 when no attempt succeeded, 4
// when not connected.
std::uint32_t ControlServerExchange(const ControlServerLock&, std::uint16_t command, const std::uint8_t* payload,
                                    std::uint16_t n, std::vector<std::uint8_t>* replyData, std::uint16_t attempts);

// Sends a fixed frame given as hexadecimal text and waits for the exact
// expected reply (hexadecimal text), up to `attempts` times. True when it
// arrived.
bool ControlServerModeSequence(const ControlServerLock&, int attempts, const char* frameHex,
                               const char* expectedReplyHex);

void ControlServerDisconnect(const ControlServerLock&);

bool ControlServerIsConnected(const ControlServerLock&);
std::size_t ControlServerReceiveSize(const ControlServerLock&);

// Hexadecimal text <-> bytes. Decoding fails on an odd length or a character
// other than 0-9, a-f, A-F; encoding writes lowercase.
bool HexDecode(const char* text, std::vector<std::uint8_t>& out);
std::string HexEncode(const std::uint8_t* data, std::size_t n);

}  // namespace orb
