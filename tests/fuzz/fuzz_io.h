// The framing of fuzz inputs: a sequential reader over the input (reads past
// its end give zeros and empty byte runs) and the writer the seed generator
// uses to produce inputs of the same shape.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orbfuzz {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t n) : p_(data), n_(n) {}
    bool empty() const { return pos_ >= n_; }
    std::size_t left() const { return n_ - pos_; }
    std::uint8_t u8() { return pos_ < n_ ? p_[pos_++] : 0; }
    std::uint16_t u16() {
        const std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32() {
        const std::uint32_t lo = u16();
        return lo | (static_cast<std::uint32_t>(u16()) << 16);
    }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, left());
        std::vector<std::uint8_t> out(p_ + pos_, p_ + pos_ + n);
        pos_ += n;
        return out;
    }
    // A run preceded by its 16-bit length.
    std::vector<std::uint8_t> run() { return bytes(u16()); }
    std::vector<std::uint8_t> rest() { return bytes(left()); }

private:
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

class Writer {
public:
    Writer& u8(std::uint8_t v) {
        out_.push_back(v);
        return *this;
    }
    Writer& u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        return u8(static_cast<std::uint8_t>(v >> 8));
    }
    Writer& u32(std::uint32_t v) {
        u16(static_cast<std::uint16_t>(v));
        return u16(static_cast<std::uint16_t>(v >> 16));
    }
    Writer& bytes(const std::vector<std::uint8_t>& b) {
        out_.insert(out_.end(), b.begin(), b.end());
        return *this;
    }
    Writer& run(const std::vector<std::uint8_t>& b) {
        u16(static_cast<std::uint16_t>(b.size()));
        return bytes(b);
    }
    const std::vector<std::uint8_t>& data() const { return out_; }

private:
    std::vector<std::uint8_t> out_;
};

}  // namespace orbfuzz
