#include "client/stream_health.h"

#include <cstdint>
#include <cstdio>

namespace orbclient {

namespace {

// What one full datagram costs the kernel's receive buffer accounting on
// Linux (payload, headers and its buffer's rounding up).
constexpr double kBufferBytesPerDatagram = 2304;

void append(std::string& out, const char* name, std::uint64_t n) {
    if (n == 0) return;
    char part[64];
    std::snprintf(part, sizeof part, "%s%s %llu", out.empty() ? "" : ", ", name, static_cast<unsigned long long>(n));
    out += part;
}

}  // namespace

std::string dropSummary(const ZelOrbStreamStatistics& a, const ZelOrbStreamStatistics& b) {
    std::string datagrams, frames;
    append(datagrams, "queue full", b.dropped_queue_full - a.dropped_queue_full);
    append(datagrams, "wrong port", b.dropped_wrong_port - a.dropped_wrong_port);
    append(datagrams, "length", b.dropped_length - a.dropped_length);
    append(datagrams, "magic", b.dropped_bad_magic - a.dropped_bad_magic);
    append(datagrams, "data type", b.dropped_bad_data_type - a.dropped_bad_data_type);
    append(datagrams, "version", b.dropped_bad_version - a.dropped_bad_version);
    append(frames, "queue full", b.frames_dropped_queue_full - a.frames_dropped_queue_full);
    append(frames, "missing packets", b.frames_missing_packets - a.frames_missing_packets);
    append(frames, "packet overflow", b.frames_packet_overflow - a.frames_packet_overflow);
    if (datagrams.empty() && frames.empty()) return "";
    const std::uint64_t d = (b.dropped_queue_full - a.dropped_queue_full) + (b.dropped_wrong_port - a.dropped_wrong_port) +
                            (b.dropped_length - a.dropped_length) + (b.dropped_bad_magic - a.dropped_bad_magic) +
                            (b.dropped_bad_data_type - a.dropped_bad_data_type) +
                            (b.dropped_bad_version - a.dropped_bad_version);
    char head[64];
    std::snprintf(head, sizeof head, "  dropped: %llu datagrams", static_cast<unsigned long long>(d));
    std::string out = head;
    if (!datagrams.empty()) out += " (" + datagrams + ")";
    if (!frames.empty()) out += ", frames (" + frames + ")";
    return out;
}

std::string receiveBufferWarning(long long granted, double datagramsPerSecond) {
    const double needed = datagramsPerSecond * kBufferBytesPerDatagram;
    if (granted <= 0 || granted >= needed) return "";
    // Round the suggestion up to whole MiB; the library asks for more than
    // any limit, so raising the limit is enough (then restart the client).
    const long long mib = static_cast<long long>(needed / (1 << 20)) + 1;
    char text[320];
    std::snprintf(text, sizeof text,
                  "warning: the receive buffer (%lld KiB) holds less than a second of this camera's %.0f datagrams/s;\n"
                  "  bursts will be lost. Raise the system's limit and restart:\n"
                  "    sudo sysctl -w net.core.rmem_max=%lld\n",
                  granted / 1024, datagramsPerSecond, mib << 20);
    return text;
}

}  // namespace orbclient
