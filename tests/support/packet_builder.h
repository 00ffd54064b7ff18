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
        d_[0] = 0x5A;
        d_[1] = 0xA5;
        d_[3] = dataType;
        put16(7, number);
        d_[11] = tag;
        put16(12, startCol);
        put16(14, startRow);
        put16(16, countA);
        d_[18] = selector;
        d_[19] = countB;
        for (int i = 0; i < 8; ++i) d_[37 + i] = static_cast<std::uint8_t>(timestamp >> (8 * i));
    }

    PacketBuilder& rec4(std::uint16_t dist, std::uint8_t intensity) {
        add16(dist);
        d_.push_back(intensity);
        d_.push_back(0);
        return *this;
    }
    PacketBuilder& rec8(std::int16_t x, std::int16_t y, std::int16_t z, std::uint8_t intensity) {
        add16(static_cast<std::uint16_t>(x));
        add16(static_cast<std::uint16_t>(y));
        add16(static_cast<std::uint16_t>(z));
        d_.push_back(intensity);
        d_.push_back(0);
        return *this;
    }
    PacketBuilder& rec10(std::uint16_t dist, std::int16_t x, std::int16_t y, std::int16_t z, std::uint8_t intensity) {
        add16(dist);
        add16(static_cast<std::uint16_t>(x));
        add16(static_cast<std::uint16_t>(y));
        add16(static_cast<std::uint16_t>(z));
        d_.push_back(intensity);
        d_.push_back(0);
        return *this;
    }
    PacketBuilder& rec22(std::uint16_t dist, float x, float y, float z, std::uint8_t intensity) {
        add16(dist);
        addf(x);
        addf(y);
        addf(z);
        d_.push_back(intensity);
        for (int i = 0; i < 7; ++i) d_.push_back(0);
        return *this;
    }
    // n records of format 10 whose distance is base + i (x likewise).
    PacketBuilder& fill10(int n, std::uint16_t base) {
        for (int i = 0; i < n; ++i)
            rec10(static_cast<std::uint16_t>(base + i), static_cast<std::int16_t>(base + i), 0, 0, 1);
        return *this;
    }
    PacketBuilder& set(std::size_t offset, std::uint8_t value) {
        d_[offset] = value;
        return *this;
    }

    const std::vector<std::uint8_t>& bytes() const { return d_; }
    const std::uint8_t* data() const { return d_.data(); }
    std::size_t size() const { return d_.size(); }

private:
    void put16(std::size_t o, std::uint16_t v) {
        d_[o] = static_cast<std::uint8_t>(v);
        d_[o + 1] = static_cast<std::uint8_t>(v >> 8);
    }
    void add16(std::uint16_t v) {
        d_.push_back(static_cast<std::uint8_t>(v));
        d_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void addf(float f) {
        std::uint32_t u;
        std::memcpy(&u, &f, 4);
        for (int i = 0; i < 4; ++i) d_.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
    }
    std::vector<std::uint8_t> d_;
};

}  // namespace orbtest
