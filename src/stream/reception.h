// The process-wide point-cloud socket and its reception thread, which routes
// each datagram by source address to the device's packet queue.
#pragma once

#include <cstdint>

namespace orb {

constexpr std::uint16_t kAlwaysAcceptedSourcePort = 6301;
constexpr const char* kPointCloudGroup = "224.0.0.200";

// Counters of the reception thread; read by tests and benchmarks.
struct ReceptionStats {
    std::uint64_t datagrams = 0;      // received from the socket
    std::uint64_t oversized = 0;      // longer than a datagram may be
    std::uint64_t unknownSource = 0;  // no device registered under the address
    std::uint64_t wrongPort = 0;      // registered address, source port not accepted
};
ReceptionStats receptionStats();
bool receptionThreadRunning();

}  // namespace orb
