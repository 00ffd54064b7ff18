// CRC-8 of control-server frames and device announcements: polynomial 0x31,
// initial value 0, most significant bit first, no reflection, no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orb {

std::uint8_t crc8(const std::uint8_t* data, std::size_t n);

}  // namespace orb
