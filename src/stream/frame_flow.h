// The two per-device stream threads' work on one item: the packet thread
// sorts each datagram (six-axis delivery, or collection into the frame being
// assembled), the frame thread decodes a complete frame and publishes it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/stream_state.h"

namespace orb {

// Packet thread: handles one datagram of the device (six-axis delivery or
// frame assembly with the frame boundary rule).
void handlePacket(StreamState& st, const std::uint8_t* d, std::size_t len);

// Frame thread: decodes one packet list and publishes it.
void processFrame(StreamState& st, const PacketList& list);

}  // namespace orb
