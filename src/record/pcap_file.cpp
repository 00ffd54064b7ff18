#include "record/pcap_file.h"

#include <algorithm>

namespace orb::record {

namespace {

constexpr std::uint8_t kIpv4VersionIhl = 0x45;  // version 4, five 32-bit words
constexpr std::uint8_t kIpTtl = 64;
constexpr std::uint8_t kIpProtocolUdp = 17;

void le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void be16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
// Endpoint addresses are kept in network order: their bytes go out as stored.
void addr(std::uint8_t* p, std::uint32_t netOrder) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&netOrder);
    std::copy(b, b + 4, p);
}

std::uint16_t ipChecksum(const std::uint8_t* h, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>((h[i] << 8) | h[i + 1]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

}  // namespace

void EncodePcapFileHeader(std::uint8_t (&out)[kPcapFileHeaderBytes]) {
    le32(out, kPcapMagicMicroseconds);
    le16(out + 4, kPcapVersionMajor);
    le16(out + 6, kPcapVersionMinor);
    le32(out + 8, 0);   // time zone offset
    le32(out + 12, 0);  // timestamp accuracy
    le32(out + 16, kPcapSnapLength);
    le32(out + 20, kPcapLinkTypeRawIp);
}

std::size_t EncodePacketHeader(const DatagramMeta& d, std::uint16_t ipId, std::uint8_t (&out)[kPacketHeaderBytes]) {
    const std::size_t payload = std::min(d.length, kMaxUdpPayload);
    const auto ipLength = static_cast<std::uint16_t>(kIpv4HeaderBytes + kUdpHeaderBytes + payload);
    const std::int64_t us = std::max<std::int64_t>(d.timeUs, 0);

    std::uint8_t* rec = out;
    le32(rec, static_cast<std::uint32_t>(us / 1000000));
    le32(rec + 4, static_cast<std::uint32_t>(us % 1000000));
    le32(rec + 8, ipLength);
    le32(rec + 12, ipLength);

    std::uint8_t* ip = out + kPcapRecordHeaderBytes;
    ip[0] = kIpv4VersionIhl;
    ip[1] = 0;
    be16(ip + 2, ipLength);
    be16(ip + 4, ipId);
    be16(ip + 6, 0);  // no fragmentation
    ip[8] = kIpTtl;
    ip[9] = kIpProtocolUdp;
    be16(ip + 10, 0);
    addr(ip + 12, d.from.addr);
    addr(ip + 16, d.to.addr);
    be16(ip + 10, ipChecksum(ip, kIpv4HeaderBytes));

    std::uint8_t* udp = ip + kIpv4HeaderBytes;
    be16(udp, d.from.port);
    be16(udp + 2, d.to.port);
    be16(udp + 4, static_cast<std::uint16_t>(kUdpHeaderBytes + payload));
    be16(udp + 6, 0);  // no checksum, allowed over IPv4
    return payload;
}

}  // namespace orb::record
