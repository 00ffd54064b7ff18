#include "capture_writer.h"

#include <fstream>

#include "platform/net.h"

namespace orbsim {

namespace {

using wire::Bytes;

constexpr std::uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr std::uint32_t kSnapLength = 262144;
constexpr std::uint32_t kNgSectionHeader = 0x0A0D0D0A;
constexpr std::uint32_t kNgByteOrderMagic = 0x1A2B3C4D;
constexpr std::uint32_t kNgInterfaceDescription = 1;
constexpr std::uint32_t kNgEnhancedPacket = 6;
constexpr std::uint32_t kNgUnassignedType = 0x0BADBEEF;
constexpr std::uint16_t kSllHostToHost = 0;  // packet type "to us"
constexpr std::uint16_t kArpHardwareEther = 1;

void putAddr(Bytes& b, const std::string& ip) {
    const std::uint32_t a = orb::net::makeEndpoint(ip.c_str(), 0).addr;
    const auto* p = reinterpret_cast<const std::uint8_t*>(&a);
    b.insert(b.end(), p, p + 4);
}

void pad4(Bytes& b) {
    while (b.size() % 4) b.push_back(0);
}

// A pcapng block: type, total length, body (padded), total length again.
void block(Bytes& out, std::uint32_t type, const Bytes& body) {
    Bytes padded = body;
    pad4(padded);
    const auto total = static_cast<std::uint32_t>(12 + padded.size());
    wire::putU32LE(out, type);
    wire::putU32LE(out, total);
    out.insert(out.end(), padded.begin(), padded.end());
    wire::putU32LE(out, total);
}

}  // namespace

Bytes ipv4Udp(const std::string& src, std::uint16_t srcPort, const std::string& dst, std::uint16_t dstPort,
              const Bytes& payload, std::uint16_t fragmentField, std::uint8_t protocol) {
    Bytes b;
    b.push_back(0x45);
    b.push_back(0);
    wire::putU16BE(b, static_cast<std::uint16_t>(28 + payload.size()));
    wire::putU16BE(b, 1);  // identification
    wire::putU16BE(b, fragmentField);
    b.push_back(64);
    b.push_back(protocol);
    wire::putU16BE(b, 0);  // checksum: readers do not check it
    putAddr(b, src);
    putAddr(b, dst);
    wire::putU16BE(b, srcPort);
    wire::putU16BE(b, dstPort);
    wire::putU16BE(b, static_cast<std::uint16_t>(8 + payload.size()));
    wire::putU16BE(b, 0);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes linkFrame(int linkType, const Bytes& packet, std::uint16_t etherType) {
    Bytes b;
    switch (linkType) {
    case link::kEthernet:
        b.assign(12, 0x02);  // destination and source MAC
        wire::putU16BE(b, etherType);
        break;
    case link::kLinuxSll:
        wire::putU16BE(b, kSllHostToHost);
        wire::putU16BE(b, kArpHardwareEther);
        wire::putU16BE(b, 6);
        b.insert(b.end(), 8, 0x02);
        wire::putU16BE(b, etherType);
        break;
    case link::kLinuxSll2:
        wire::putU16BE(b, etherType);
        wire::putU16BE(b, 0);
        wire::putU32BE(b, 1);  // interface index
        wire::putU16BE(b, kArpHardwareEther);
        b.push_back(static_cast<std::uint8_t>(kSllHostToHost));
        b.push_back(6);
        b.insert(b.end(), 8, 0x02);
        break;
    case link::kNull:
        wire::putU32LE(b, etherType == kEtherTypeIpv4 ? 2 : 0x1234);  // AF_INET
        break;
    default:  // raw IP
        break;
    }
    b.insert(b.end(), packet.begin(), packet.end());
    return b;
}

Bytes classicPcap(int linkType, const std::vector<CaptureRecord>& records) {
    Bytes b;
    wire::putU32LE(b, kPcapMagic);
    wire::putU16LE(b, 2);
    wire::putU16LE(b, 4);
    wire::putU32LE(b, 0);
    wire::putU32LE(b, 0);
    wire::putU32LE(b, kSnapLength);
    wire::putU32LE(b, static_cast<std::uint32_t>(linkType));
    for (const auto& r : records) {
        wire::putU32LE(b, static_cast<std::uint32_t>(r.timeNs / 1000000000));
        wire::putU32LE(b, static_cast<std::uint32_t>(r.timeNs % 1000000000 / 1000));
        wire::putU32LE(b, static_cast<std::uint32_t>(r.frame.size()));
        wire::putU32LE(b, static_cast<std::uint32_t>(r.wireLength ? r.wireLength : r.frame.size()));
        b.insert(b.end(), r.frame.begin(), r.frame.end());
    }
    return b;
}

Bytes pcapng(int linkType, const std::vector<CaptureRecord>& records, bool unknownBlock) {
    Bytes out, body;
    wire::putU32LE(body, kNgByteOrderMagic);
    wire::putU16LE(body, 1);
    wire::putU16LE(body, 0);
    for (int i = 0; i < 8; ++i) body.push_back(0xFF);  // section length unknown
    block(out, kNgSectionHeader, body);
    body.clear();
    wire::putU16LE(body, static_cast<std::uint16_t>(linkType));
    wire::putU16LE(body, 0);
    wire::putU32LE(body, kSnapLength);  // default resolution: microseconds
    block(out, kNgInterfaceDescription, body);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        const auto us = static_cast<std::uint64_t>(r.timeNs / 1000);
        body.clear();
        wire::putU32LE(body, 0);  // interface
        wire::putU32LE(body, static_cast<std::uint32_t>(us >> 32));
        wire::putU32LE(body, static_cast<std::uint32_t>(us));
        wire::putU32LE(body, static_cast<std::uint32_t>(r.frame.size()));
        wire::putU32LE(body, static_cast<std::uint32_t>(r.wireLength ? r.wireLength : r.frame.size()));
        body.insert(body.end(), r.frame.begin(), r.frame.end());
        block(out, kNgEnhancedPacket, body);
        if (unknownBlock && i == 0) block(out, kNgUnassignedType, Bytes{'s', 'k', 'i', 'p', ' ', 'm', 'e'});
    }
    return out;
}

bool writeCaptureFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

}  // namespace orbsim
