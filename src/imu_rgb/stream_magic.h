// Head and tail magic of nine-axis IMU frames and RGB fragments (read
// little-endian): 55 AA 5A A5 before a frame, AA 55 A5 5A after it. Bytes
// before a head magic are skipped, so a datagram may start with noise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/bytes.h"

namespace orb {

constexpr std::uint32_t kStreamHeadMagic = 0xA55AAA55u;
constexpr std::uint32_t kStreamTailMagic = 0x5AA555AAu;
constexpr std::size_t kNoStreamHead = static_cast<std::size_t>(-1);

// The offset just after the first head magic at or after `from`, or
// kNoStreamHead when fewer than 4 bytes are left before one is found.
inline std::size_t afterStreamHead(const std::uint8_t* data, std::size_t n, std::size_t from) {
    for (std::size_t p = from; p < n && n - p >= 4; ++p)
        if (bytes::readLe32(data + p) == kStreamHeadMagic) return p + 4;
    return kNoStreamHead;
}

}  // namespace orb
