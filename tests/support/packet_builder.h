// Data packets built byte by byte for the decoder tests, independent of the
// simulator's encoder.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace orbtest {

class PacketBuilder {
public:
    // Header of a point packet; records are appended afterwards.
    PacketBuilder(std::uint8_t dataType, std::uint8_t selector, std::uint16_t number, std::uint16_t startRow,
                  std::uint16_t startCol, std::uint16_t countA, std::uint8_t countB, std::uint8_t tag = 0,
                  std::uint64_t timestamp = 0)
        : d_(45, 0) {
        d_[0] = 0x5A, d_[1] = 0xA5, d_[3] = dataType, d_[11] = tag, d_[18] = selector, d_[19] = countB;
        put(7, number, 2), put(12, startCol, 2), put(14, startRow, 2), put(16, countA, 2), put(37, timestamp, 8);
    }
    // One record of the given size (4, 8, 10 or 22 bytes): what the format carries of distance, x, y, z and
    // intensity (coordinates as 16-bit integers, or floats in format 22), zero-padded.
    PacketBuilder& rec(int format, std::uint16_t dist, float x, float y, float z, std::uint8_t intensity) {
        if (format != 8) add(dist, 2);
        if (format == 22) {
            for (float f : {x, y, z}) {
                std::uint32_t u;
                std::memcpy(&u, &f, 4);
                add(u, 4);
            }
        } else if (format != 4) {
            for (float f : {x, y, z}) add(static_cast<std::uint16_t>(static_cast<std::int16_t>(f)), 2);
        }
        d_.push_back(intensity);
        d_.resize(d_.size() + (format == 22 ? 7 : 1), 0);
        return *this;
    }
    // n records of format 10 whose distance and x are base + i.
    PacketBuilder& fill10(int n, int base) {
        for (int i = 0; i < n; ++i) rec(10, static_cast<std::uint16_t>(base + i), float(base + i), 0, 0, 1);
        return *this;
    }
    PacketBuilder& set(std::size_t offset, std::uint8_t value) {
        d_[offset] = value;
        return *this;
    }
    const std::vector<std::uint8_t>& bytes() const { return d_; }

private:
    void put(std::size_t o, std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) d_[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    void add(std::uint64_t v, int n) {
        d_.resize(d_.size() + n);
        put(d_.size() - n, v, n);
    }
    std::vector<std::uint8_t> d_;
};

}  // namespace orbtest
