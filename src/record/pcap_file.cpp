#include "record/pcap_file.h"

#include <algorithm>
#include <cstring>

#include "core/bytes.h"

namespace orb::record {

namespace {

constexpr std::uint8_t kIpv4VersionIhl = 0x45;  // version 4, five 32-bit words
constexpr std::uint8_t kIpTtl = 64;
constexpr std::uint8_t kIpProtocolUdp = 17;

// Offsets inside the file header, the record header and the IPv4 and UDP headers.
constexpr std::size_t kAtMagic = 0, kAtVersionMajor = 4, kAtVersionMinor = 6, kAtTimeZone = 8, kAtAccuracy = 12,
                      kAtSnapLength = 16, kAtLinkType = 20;
constexpr std::size_t kAtSeconds = 0, kAtMicroseconds = 4, kAtCapturedLength = 8, kAtWireLength = 12;
constexpr std::size_t kAtIpVersion = 0, kAtIpTos = 1, kAtIpLength = 2, kAtIpId = 4, kAtIpFragment = 6, kAtIpTtl = 8,
                      kAtIpProtocol = 9, kAtIpChecksum = 10, kAtIpSource = 12, kAtIpDestination = 16;
constexpr std::size_t kAtUdpSource = 0, kAtUdpDestination = 2, kAtUdpLength = 4, kAtUdpChecksum = 6;

// Endpoint addresses are kept in network order: their bytes go out as stored.
void writeAddress(std::uint8_t* p, std::uint32_t netOrder) { std::memcpy(p, &netOrder, sizeof netOrder); }

std::uint16_t ipChecksum(const std::uint8_t* h, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += bytes::readBe16(h + i);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

}  // namespace

void encodePcapFileHeader(std::uint8_t (&out)[kPcapFileHeaderBytes]) {
    bytes::writeLe32(out + kAtMagic, kPcapMagicMicroseconds);
    bytes::writeLe16(out + kAtVersionMajor, kPcapVersionMajor);
    bytes::writeLe16(out + kAtVersionMinor, kPcapVersionMinor);
    bytes::writeLe32(out + kAtTimeZone, 0);
    bytes::writeLe32(out + kAtAccuracy, 0);
    bytes::writeLe32(out + kAtSnapLength, kPcapSnapLength);
    bytes::writeLe32(out + kAtLinkType, kPcapLinkTypeRawIp);
}

std::size_t encodePacketHeader(const DatagramMeta& d, std::uint16_t ipId, std::uint8_t (&out)[kPacketHeaderBytes]) {
    const std::size_t payload = std::min(d.length, kMaxUdpPayload);
    const auto ipLength = static_cast<std::uint16_t>(kIpv4HeaderBytes + kUdpHeaderBytes + payload);
    const std::int64_t us = std::max<std::int64_t>(d.timeUs, 0);

    std::uint8_t* rec = out;
    bytes::writeLe32(rec + kAtSeconds, static_cast<std::uint32_t>(us / 1000000));
    bytes::writeLe32(rec + kAtMicroseconds, static_cast<std::uint32_t>(us % 1000000));
    bytes::writeLe32(rec + kAtCapturedLength, ipLength);
    bytes::writeLe32(rec + kAtWireLength, ipLength);

    std::uint8_t* ip = out + kPcapRecordHeaderBytes;
    ip[kAtIpVersion] = kIpv4VersionIhl;
    ip[kAtIpTos] = 0;
    bytes::writeBe16(ip + kAtIpLength, ipLength);
    bytes::writeBe16(ip + kAtIpId, ipId);
    bytes::writeBe16(ip + kAtIpFragment, 0);  // no fragmentation
    ip[kAtIpTtl] = kIpTtl;
    ip[kAtIpProtocol] = kIpProtocolUdp;
    bytes::writeBe16(ip + kAtIpChecksum, 0);
    writeAddress(ip + kAtIpSource, d.from.addr);
    writeAddress(ip + kAtIpDestination, d.to.addr);
    bytes::writeBe16(ip + kAtIpChecksum, ipChecksum(ip, kIpv4HeaderBytes));

    std::uint8_t* udp = ip + kIpv4HeaderBytes;
    bytes::writeBe16(udp + kAtUdpSource, d.from.port);
    bytes::writeBe16(udp + kAtUdpDestination, d.to.port);
    bytes::writeBe16(udp + kAtUdpLength, static_cast<std::uint16_t>(kUdpHeaderBytes + payload));
    bytes::writeBe16(udp + kAtUdpChecksum, 0);  // none, which IPv4 allows
    return payload;
}

}  // namespace orb::record
