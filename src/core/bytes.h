// Reading and writing integers and IEEE-754 values at a byte pointer, in
// either byte order. Every wire decoder and encoder of the library goes
// through these, so a field's byte order is stated once, at its use. Callers
// check the bounds; nothing here does.
#pragma once

#include <cstdint>
#include <cstring>

namespace orb::bytes {

inline std::uint16_t readLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t readLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
// 48-bit little-endian value (a u32 and a u16 above it).
inline std::uint64_t readLe48(const std::uint8_t* p) { return readLe32(p) + (std::uint64_t{readLe16(p + 4)} << 32); }
inline std::uint64_t readLe64(const std::uint8_t* p) { return readLe32(p) | (std::uint64_t{readLe32(p + 4)} << 32); }
inline std::uint16_t readBe16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
inline std::uint32_t readBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline float floatFromBits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline double doubleFromBits(std::uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
inline float readLeFloat(const std::uint8_t* p) { return floatFromBits(readLe32(p)); }
inline double readLeDouble(const std::uint8_t* p) { return doubleFromBits(readLe64(p)); }

inline void writeLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void writeLe32(std::uint8_t* p, std::uint32_t v) {
    writeLe16(p, static_cast<std::uint16_t>(v));
    writeLe16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void writeLe64(std::uint8_t* p, std::uint64_t v) {
    writeLe32(p, static_cast<std::uint32_t>(v));
    writeLe32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
inline void writeBe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void writeBe32(std::uint8_t* p, std::uint32_t v) {
    writeBe16(p, static_cast<std::uint16_t>(v >> 16));
    writeBe16(p + 2, static_cast<std::uint16_t>(v));
}
inline void writeLeDouble(std::uint8_t* p, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    writeLe64(p, bits);
}

}  // namespace orb::bytes
