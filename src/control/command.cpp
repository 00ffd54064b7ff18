#include "control/command.h"

#include "control/control_endpoint.h"

namespace orb {

RequestBuffer::RequestBuffer(std::uint16_t command, std::uint8_t frameType) : store_(128, 0) {
    store_[4] = frameType;
    store_[6] = static_cast<std::uint8_t>(command >> 8);
    store_[7] = static_cast<std::uint8_t>(command);
}
void RequestBuffer::setPayload(const std::uint8_t*, std::size_t) {}
std::size_t RequestBuffer::size() const { return kCommandFrameOverhead; }
std::uint16_t RequestBuffer::command() const { return static_cast<std::uint16_t>(store_[6] << 8 | store_[7]); }

ReplyBuffer::ReplyBuffer() : store_(128, 0) {}
void ReplyBuffer::append(const std::uint8_t*, std::size_t) {}
void ReplyBuffer::reset() { length_ = 0; }
const std::uint8_t* ReplyBuffer::payload() const { return store_.data() + 14; }
std::size_t ReplyBuffer::payloadLength() const { return 0; }

bool OpenControlSocket(const char*) { return false; }
std::uint8_t CommandExchange(ControlEndpoint&, const RequestBuffer&, ReplyBuffer*) { return 4; }

}  // namespace orb
