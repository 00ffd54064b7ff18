// Byte helpers of the test programs and the fuzz targets (no test framework):
// a fill pattern to see untouched memory, fixed-order reads, and command
// frames written from the byte table, independent of the library's and the
// simulator's encoders.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace orbtest {

using Bytes = std::vector<std::uint8_t>;

inline void fillPattern(void* p, std::size_t n) { std::memset(p, 0xA7, n); }
inline bool holdsPattern(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (b[i] != 0xA7) return false;
    return true;
}

// n bytes from p, least (le) or most (be) significant first.
inline std::uint64_t le(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}
inline std::uint64_t be(const std::uint8_t* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes commandFrame(std::uint16_t command, std::uint8_t status, const Bytes& payload = {},
                          std::uint16_t count = 1) {
    const Bytes head = {0xA5, 0x5A, 0xAA, 0x55, 0x3F, status, static_cast<std::uint8_t>(command >> 8),
                        static_cast<std::uint8_t>(command), static_cast<std::uint8_t>(count >> 8),
                        static_cast<std::uint8_t>(count), 0x00, 0x01, static_cast<std::uint8_t>(payload.size() >> 8),
                        static_cast<std::uint8_t>(payload.size())};
    return cat(cat(head, payload), {0x5A, 0xA5, 0x55, 0xAA});
}

}  // namespace orbtest
