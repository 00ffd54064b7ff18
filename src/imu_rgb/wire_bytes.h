// Byte-order readers for the IMU and RGB wire formats. Callers bounds-check.
#pragma once

#include <cstdint>

namespace orb::wire {

inline std::uint16_t be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
inline std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
inline std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
// 48-bit little-endian seconds as a u32 and a u16.
inline std::uint64_t le48(const std::uint8_t* p) { return le32(p) + (std::uint64_t{le16(p + 4)} << 32); }

// Head and tail magic of nine-axis frames and RGB fragments, read little-endian.
constexpr std::uint32_t kStreamHeadMagic = 0xA55AAA55u;
constexpr std::uint32_t kStreamTailMagic = 0x5AA555AAu;

}  // namespace orb::wire
