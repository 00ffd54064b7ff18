#include "capture_reader.h"

#include <cstdio>
#include <cstring>
#include <string>

#ifdef ORB_SIM_HAVE_PCAP
#include <pcap/pcap.h>
#endif

namespace orbsim {

namespace {

constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kVlanTag = 4;
constexpr std::size_t kSllHeader = 16;
constexpr std::size_t kSllProtocolAt = 14;
constexpr std::size_t kSll2Header = 20;
constexpr std::size_t kNullHeader = 4;
constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeVlan = 0x8100;
constexpr std::uint16_t kEtherTypeQinQ = 0x88A8;
constexpr std::uint32_t kAfInet = 2;

constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::uint8_t kIpProtocolUdp = 17;
constexpr std::uint16_t kIpMoreFragments = 0x2000;
constexpr std::uint16_t kIpFragmentOffset = 0x1FFF;
constexpr std::size_t kUdpHeader = 8;

std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

SkipReason decodeIpv4(const std::uint8_t* ip, std::size_t avail, CapturedDatagram& out) {
    if (avail < 1) return SkipReason::CutShort;
    if ((ip[0] >> 4) != 4) return SkipReason::NotIpv4;
    if (avail < kIpv4MinHeader) return SkipReason::CutShort;
    const std::size_t ihl = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t total = be16(ip + 2);
    if (ihl < kIpv4MinHeader || total < ihl) return SkipReason::Malformed;
    if (be16(ip + 6) & (kIpMoreFragments | kIpFragmentOffset)) return SkipReason::Fragment;
    if (ip[9] != kIpProtocolUdp) return SkipReason::NotUdp;
    if (total < ihl + kUdpHeader) return SkipReason::Malformed;
    // Bytes past the IP packet (Ethernet padding) are not part of it.
    if (avail < total) return SkipReason::CutShort;
    const std::uint8_t* udp = ip + ihl;
    const std::size_t udpLength = be16(udp + 4);
    if (udpLength < kUdpHeader || udpLength > total - ihl) return SkipReason::Malformed;
    if (udpLength == kUdpHeader) return SkipReason::ZeroLength;
    std::memcpy(&out.srcAddr, ip + 12, 4);
    std::memcpy(&out.dstAddr, ip + 16, 4);
    out.srcPort = be16(udp);
    out.dstPort = be16(udp + 2);
    out.data = udp + kUdpHeader;
    out.length = udpLength - kUdpHeader;
    return SkipReason::None;
}

}  // namespace

const char* skipReasonText(SkipReason r) {
    switch (r) {
    case SkipReason::NotIpv4: return "not IPv4";
    case SkipReason::NotUdp: return "not UDP";
    case SkipReason::Fragment: return "IPv4 fragments";
    case SkipReason::CutShort: return "cut short by the snap length";
    case SkipReason::Malformed: return "malformed";
    case SkipReason::ZeroLength: return "zero-length datagrams";
    default: return "";
    }
}

SkipReason decodeCapturedFrame(int linkType, const std::uint8_t* f, std::size_t caplen, CapturedDatagram& out) {
    std::size_t at = 0;
    switch (linkType) {
    case link::kEthernet: {
        if (caplen < kEthernetHeader) return SkipReason::CutShort;
        std::uint16_t type = be16(f + 12);
        at = kEthernetHeader;
        while (type == kEtherTypeVlan || type == kEtherTypeQinQ) {
            if (caplen < at + kVlanTag) return SkipReason::CutShort;
            type = be16(f + at + 2);
            at += kVlanTag;
        }
        if (type != kEtherTypeIpv4) return SkipReason::NotIpv4;
        break;
    }
    case link::kLinuxSll:
        if (caplen < kSllHeader) return SkipReason::CutShort;
        if (be16(f + kSllProtocolAt) != kEtherTypeIpv4) return SkipReason::NotIpv4;
        at = kSllHeader;
        break;
    case link::kLinuxSll2:
        if (caplen < kSll2Header) return SkipReason::CutShort;
        if (be16(f) != kEtherTypeIpv4) return SkipReason::NotIpv4;
        at = kSll2Header;
        break;
    case link::kNull:
    case link::kLoop: {
        // The address family in the byte order of the capturing host (NULL)
        // or in network order (LOOP): accept either.
        if (caplen < kNullHeader) return SkipReason::CutShort;
        const std::uint32_t be = (std::uint32_t{f[0]} << 24) | (std::uint32_t{f[1]} << 16) | (f[2] << 8) | f[3];
        const std::uint32_t le = (std::uint32_t{f[3]} << 24) | (std::uint32_t{f[2]} << 16) | (f[1] << 8) | f[0];
        if (be != kAfInet && le != kAfInet) return SkipReason::NotIpv4;
        at = kNullHeader;
        break;
    }
    case link::kRawIp:
    case link::kRawIpBsd:
    case link::kIpv4:
        break;
    default:
        return SkipReason::NotIpv4;
    }
    return decodeIpv4(f + at, caplen - at, out);
}

CaptureReader::~CaptureReader() {
#ifdef ORB_SIM_HAVE_PCAP
    if (pcap_) pcap_close(static_cast<pcap_t*>(pcap_));
#endif
}

#ifdef ORB_SIM_HAVE_PCAP

bool CaptureReader::finishOpen(void* handle, const char* what, std::string* error) {
    if (!handle) {
        if (error) *error = what;
        return false;
    }
    pcap_ = handle;
    linkType_ = pcap_datalink(static_cast<pcap_t*>(pcap_));
    return true;
}

bool CaptureReader::open(const std::string& path, std::string* error) {
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* p = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, errbuf);
    return finishOpen(p, errbuf, error);
}

bool CaptureReader::openMemory(const std::uint8_t* data, std::size_t n, std::string* error) {
    if (n == 0) {
        if (error) *error = "empty file";
        return false;
    }
    FILE* f = fmemopen(const_cast<std::uint8_t*>(data), n, "rb");
    if (!f) {
        if (error) *error = "cannot read from memory";
        return false;
    }
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* p = pcap_fopen_offline_with_tstamp_precision(f, PCAP_TSTAMP_PRECISION_NANO, errbuf);
    if (!p) std::fclose(f);  // on success libpcap owns the stream
    return finishOpen(p, errbuf, error);
}

CaptureReader::Result CaptureReader::next(CapturedDatagram& out) {
    if (!pcap_) return Result::End;
    auto* p = static_cast<pcap_t*>(pcap_);
    for (;;) {
        pcap_pkthdr* h = nullptr;
        const u_char* bytes = nullptr;
        const int rc = pcap_next_ex(p, &h, &bytes);
        if (rc == PCAP_ERROR_BREAK) return Result::End;
        if (rc != 1) {
            error_ = "record " + std::to_string(records_ + 1) + ": " + pcap_geterr(p);
            return Result::Error;
        }
        ++records_;
        const SkipReason why = decodeCapturedFrame(linkType_, bytes, h->caplen, out);
        if (why != SkipReason::None) {
            ++skipped_[static_cast<std::size_t>(why)];
            continue;
        }
        out.timeNs = static_cast<std::int64_t>(h->ts.tv_sec) * 1000000000 + h->ts.tv_usec;
        return Result::Datagram;
    }
}

#else  // built without libpcap

bool CaptureReader::finishOpen(void*, const char*, std::string*) { return false; }

bool CaptureReader::open(const std::string&, std::string* error) {
    if (error) *error = "this simulator was built without libpcap and cannot read captures";
    return false;
}

bool CaptureReader::openMemory(const std::uint8_t*, std::size_t, std::string* error) { return open({}, error); }

CaptureReader::Result CaptureReader::next(CapturedDatagram&) { return Result::End; }

#endif

}  // namespace orbsim
