// Builds capture files for tests and fuzz seeds: IPv4/UDP packets, the link
// layers the replay reads, and pcap and pcapng files around them. Written
// apart from the library's recorder, which only writes raw-IP pcap.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture_reader.h"
#include "wire_sim.h"

namespace orbsim {

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeArp = 0x0806;
constexpr std::uint16_t kIpMoreFragments = 0x2000;
constexpr std::uint8_t kIpProtocolUdp = 17;
constexpr std::uint8_t kIpProtocolTcp = 6;

struct CaptureRecord {
    std::int64_t timeNs = 0;
    wire::Bytes frame;         // as captured
    std::size_t wireLength = 0;  // length on the wire; 0: frame.size()
};

// An IPv4 packet carrying one UDP datagram (or, with another protocol, the
// same bytes as that protocol's payload). fragmentField: IPv4 flags and
// fragment offset.
wire::Bytes ipv4Udp(const std::string& src, std::uint16_t srcPort, const std::string& dst, std::uint16_t dstPort,
                    const wire::Bytes& payload, std::uint16_t fragmentField = 0,
                    std::uint8_t protocol = kIpProtocolUdp);
// Puts a network-layer packet behind the link header of linkType (a
// LINKTYPE_* value, link:: constants; raw IP as link::kRawIpFile).
wire::Bytes linkFrame(int linkType, const wire::Bytes& packet, std::uint16_t etherType = kEtherTypeIpv4);

wire::Bytes classicPcap(int linkType, const std::vector<CaptureRecord>& records);
// A pcapng section; with unknownBlock, a block of an unassigned type follows
// the first packet (readers must skip it).
wire::Bytes pcapng(int linkType, const std::vector<CaptureRecord>& records, bool unknownBlock = false);

bool writeCaptureFile(const std::string& path, const wire::Bytes& bytes);

}  // namespace orbsim
