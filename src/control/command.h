// UDP command frames and the command exchange with a device's port 50660.
//
// Frame: head magic A5 5A AA 55, frame type, status, command (BE u16),
// frame count (BE u16), reserved (BE u16), payload length N (BE u16),
// N payload bytes, tail magic 5A A5 55 AA. A reply may chain several frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/net.h"
#include "record/recorder.h"

namespace orb {

struct ControlEndpoint;

constexpr std::uint16_t kCommandPort = 50660;
constexpr std::uint8_t kFrameTypeCommand = 0x3F;
constexpr std::uint8_t kFrameTypeDiscovery = 0x03;
constexpr std::size_t kCommandFrameOverhead = 18;  // header 14 + tail 4
constexpr std::size_t kCommandHeaderSize = 14;
constexpr std::uint32_t kHeadMagic = 0x55AA5AA5u;  // written little-endian: A5 5A AA 55
constexpr std::uint32_t kTailMagic = 0xAA55A55Au;  // written little-endian: 5A A5 55 AA
constexpr int kControlTimeoutMs = 300;
constexpr int kExchangeAttempts = 3;
constexpr int kExchangePauseMs = 50;
constexpr std::size_t kReplyAppendLimit = 52428800;  // appends stop once this much is held
constexpr std::size_t kMaxRequestPayload = 65507 - kCommandFrameOverhead;  // one UDP datagram
constexpr std::size_t kControlReceiveStore = 65535;

// Status codes the exchange produces itself.
constexpr std::uint8_t kStatusNoReply = 4;
constexpr std::uint8_t kStatusControlSocketInvalid = 33;

// A request frame, built for one call.
class RequestBuffer {
public:
    explicit RequestBuffer(std::uint16_t command, std::uint8_t frameType = kFrameTypeCommand);
    // False (nothing changed) when n does not fit one datagram or data is null with n > 0.
    bool setPayload(const std::uint8_t* data, std::size_t n);
    const std::uint8_t* data() const { return store_.data(); }
    std::size_t size() const;  // payload length + 18
    std::uint16_t command() const;
    std::size_t payloadLength() const;

private:
    std::vector<std::uint8_t> store_;
};

// Accumulated reply bytes. After a successful exchange the caller's buffer
// holds the whole validated chain; payload() is the payload of its first frame.
class ReplyBuffer {
public:
    ReplyBuffer();
    // Dropped once more than 52,428,800 bytes are held.
    void append(const std::uint8_t* d, std::size_t n);
    void reset();
    const std::uint8_t* data() const { return store_.data(); }
    std::size_t length() const { return length_; }
    std::size_t capacity() const { return store_.size(); }
    // First frame's payload; length 0 when no complete first frame is held.
    const std::uint8_t* payload() const;
    std::size_t payloadLength() const;

private:
    std::vector<std::uint8_t> store_;
    std::size_t length_ = 0;
};

// True when data holds a complete chain for command: a frame count of at
// least 1, and that many back-to-back frames, each with the command code and
// both magic words.
bool validateReplyChain(const std::uint8_t* data, std::size_t length, std::uint16_t command);

// Opens a UDP socket bound to local: receive buffer 1 GiB, address reuse;
// timeoutMs 0 makes it non-blocking, otherwise receive and send time-outs of
// timeoutMs. On failure closes it and returns kInvalidSocket.
net::Socket openUdpSocket(const net::Endpoint& local, int timeoutMs);

// The one control socket of the process (host IP, port 50660), shared by
// every device. Its mutex serialises the exchanges: two at once on the one
// socket could take each other's replies. Every datagram it receives is
// offered to the recorder.
class ControlChannel {
public:
    explicit ControlChannel(record::Recorder& recorder);
    // Leaves an open socket to the process's end: the channel lives as long
    // as the library, and at exit the socket layer may already be gone.
    ~ControlChannel() = default;
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // Opens (or reopens) the socket on hostIp:50660. On failure the channel
    // is marked not open and exchanges return 33 until the next successful
    // opening.
    bool open(const char* hostIp);
    // Closes the socket and forgets a failed opening (back to the state of a
    // fresh process: no socket, not marked not open).
    void close();

    // One exchange with the device at `device`, accumulating in `collected`;
    // see commandExchange.
    std::uint8_t exchange(const net::Endpoint& device, ReplyBuffer& collected, const RequestBuffer& req,
                          ReplyBuffer* reply);

private:
    int receiveFrom(std::uint32_t deviceAddr, int timeoutMs);
    void drainStale();
    int receive(net::Endpoint& from);

    record::Recorder& recorder_;
    std::mutex mutex_;  // everything below
    net::Socket socket_ = net::kInvalidSocket;
    net::Endpoint local_;
    bool markedNotOpen_ = false;
    std::uint8_t receiveStore_[kControlReceiveStore];
};

// One command exchange on the endpoint's channel (up to three attempts of
// 300 ms); returns 0, the device status 3..255, 33 (control socket not open)
// or 4 (no valid reply). Only datagrams from the device's IP count as
// replies. On a result other than 33 or 4, reply (when given) receives the
// validated chain; otherwise it is left empty.
std::uint8_t commandExchange(ControlEndpoint& ep, const RequestBuffer& req, ReplyBuffer* reply);

}  // namespace orb
