// UDP command frames and the command exchange with a device's port 50660.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orb {

struct ControlEndpoint;

constexpr std::uint16_t kCommandPort = 50660;
constexpr std::uint8_t kFrameTypeCommand = 0x3F;
constexpr std::uint8_t kFrameTypeDiscovery = 0x03;
constexpr std::size_t kCommandFrameOverhead = 18;  // header 14 + tail 4

// A request frame, built for one call.
class RequestBuffer {
public:
    explicit RequestBuffer(std::uint16_t command, std::uint8_t frameType = kFrameTypeCommand);
    void setPayload(const std::uint8_t* data, std::size_t n);
    const std::uint8_t* data() const { return store_.data(); }
    std::size_t size() const;  // payload length + 18
    std::uint16_t command() const;

private:
    std::vector<std::uint8_t> store_;
};

// Accumulated reply bytes. After a successful exchange it holds the validated
// chain; payload() is the payload of its first frame.
class ReplyBuffer {
public:
    ReplyBuffer();
    void append(const std::uint8_t* d, std::size_t n);
    void reset();
    const std::uint8_t* data() const { return store_.data(); }
    std::size_t length() const { return length_; }
    const std::uint8_t* payload() const;
    std::size_t payloadLength() const;

private:
    std::vector<std::uint8_t> store_;
    std::size_t length_ = 0;
};

// Opens (or reopens) the process-wide control socket on hostIp:50660.
bool OpenControlSocket(const char* hostIp);
// One command exchange (up to three attempts); 0, the device status 3..255,
// 33 (control socket not open) or 4 (no valid reply). Serialised process-wide.
std::uint8_t CommandExchange(ControlEndpoint& ep, const RequestBuffer& req, ReplyBuffer* reply);

}  // namespace orb
