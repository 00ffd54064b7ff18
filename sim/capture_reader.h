// Reads UDP datagrams out of capture files (pcap and pcapng, through libpcap)
// made on Ethernet, Linux cooked (v1 and v2), raw-IP and BSD loopback links.
// Everything that is not a whole IPv4/UDP datagram is skipped and counted by
// reason: other protocols, IPv4 fragments, datagrams cut short by the
// capture's snap length, malformed headers and empty datagrams.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orbsim {

// Link types (DLT_* values as libpcap reports them).
namespace link {
constexpr int kNull = 0;
constexpr int kEthernet = 1;
constexpr int kRawIp = 12;     // DLT_RAW on most systems; 14 on some BSDs
constexpr int kRawIpBsd = 14;
constexpr int kRawIpFile = 101;  // what a file says for raw IP (libpcap maps it to kRawIp)
constexpr int kLoop = 108;
constexpr int kLinuxSll = 113;
constexpr int kIpv4 = 228;
constexpr int kLinuxSll2 = 276;
}  // namespace link

struct CapturedDatagram {
    std::int64_t timeNs = 0;  // capture timestamp, nanoseconds since 1970
    std::uint32_t srcAddr = 0, dstAddr = 0;  // network byte order
    std::uint16_t srcPort = 0, dstPort = 0;  // host byte order
    const std::uint8_t* data = nullptr;      // the UDP payload, valid until the next read
    std::size_t length = 0;
};

enum class SkipReason : int {
    None = -1,
    NotIpv4 = 0,  // another network protocol, or an unknown link layer
    NotUdp,
    Fragment,     // a piece of a fragmented IPv4 packet
    CutShort,     // the record holds less than the datagram (snap length)
    Malformed,    // inconsistent IPv4 or UDP lengths
    ZeroLength,   // a UDP datagram without payload
    Count
};
const char* skipReasonText(SkipReason r);

using SkipCounts = std::array<std::uint64_t, static_cast<std::size_t>(SkipReason::Count)>;

// Decodes one captured frame of the given link type (a DLT_* value).
// caplen: bytes present; the payload pointer of out points into frame.
SkipReason decodeCapturedFrame(int linkType, const std::uint8_t* frame, std::size_t caplen, CapturedDatagram& out);

class CaptureReader {
public:
    CaptureReader() = default;
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // Opens a pcap or pcapng file; false with a message naming the problem.
    bool open(const std::string& path, std::string* error);
    // The same over bytes in memory (which must outlive the reader).
    bool openMemory(const std::uint8_t* data, std::size_t n, std::string* error);

    enum class Result { Datagram, End, Error };
    // The next whole datagram; records that hold none are counted and skipped.
    // Error: the file is damaged from this record on (message in error()).
    Result next(CapturedDatagram& out);

    const std::string& error() const { return error_; }
    std::uint64_t records() const { return records_; }
    const SkipCounts& skipped() const { return skipped_; }
    int linkType() const { return linkType_; }

private:
    bool finishOpen(void* handle, const char* what, std::string* error);

    void* pcap_ = nullptr;  // pcap_t
    int linkType_ = -1;
    std::uint64_t records_ = 0;
    SkipCounts skipped_{};
    std::string error_;
};

}  // namespace orbsim
