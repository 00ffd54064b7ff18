// The classic capture file the recorder writes: a 24-byte file header, then
// per datagram a 16-byte record header and a synthesized IPv4 + UDP header in
// front of the payload. Link type "raw IP", so readers need no link layer.
// Every field is written little-endian except the IP and UDP headers, which
// are in network order as on the wire.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/net.h"

namespace orb::record {

constexpr std::uint32_t kPcapMagicMicroseconds = 0xA1B2C3D4;
constexpr std::uint16_t kPcapVersionMajor = 2;
constexpr std::uint16_t kPcapVersionMinor = 4;
constexpr std::uint32_t kPcapLinkTypeRawIp = 101;
constexpr std::size_t kPcapFileHeaderBytes = 24;
constexpr std::size_t kPcapRecordHeaderBytes = 16;
constexpr std::size_t kIpv4HeaderBytes = 20;
constexpr std::size_t kUdpHeaderBytes = 8;
constexpr std::size_t kPacketHeaderBytes = kPcapRecordHeaderBytes + kIpv4HeaderBytes + kUdpHeaderBytes;
// The largest UDP payload an IPv4 packet can carry; the snap length covers it.
constexpr std::size_t kMaxUdpPayload = 65535 - kIpv4HeaderBytes - kUdpHeaderBytes;
constexpr std::uint32_t kPcapSnapLength = 65535;

struct DatagramMeta {
    net::Endpoint from;
    net::Endpoint to;
    std::int64_t timeUs = 0;  // arrival, microseconds since 1970
    std::size_t length = 0;   // payload bytes
};

void encodePcapFileHeader(std::uint8_t (&out)[kPcapFileHeaderBytes]);

// Record header, IPv4 header (identification ipId) and UDP header of one
// datagram. Returns the payload bytes that follow them in the record, which
// is the datagram's length, capped at kMaxUdpPayload.
std::size_t encodePacketHeader(const DatagramMeta& d, std::uint16_t ipId, std::uint8_t (&out)[kPacketHeaderBytes]);

}  // namespace orb::record
