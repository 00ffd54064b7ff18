// Shared by the fuzz targets and the seed generator (with the headers they
// need): a sequential reader over the input (reads past its end give zeros
// and empty byte runs), the writer that makes inputs of the same shape, and
// the check that aborts on a failed property so that libFuzzer keeps the input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "support/bytes.h"

#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace orbfuzz {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t n) : p_(data), n_(n) {}
    bool empty() const { return pos_ >= n_; }
    std::uint8_t u8() { return pos_ < n_ ? p_[pos_++] : 0; }
    std::uint16_t u16() {
        const std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | u8() << 8);
    }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, n_ - std::min(pos_, n_));
        pos_ += n;
        return std::vector<std::uint8_t>(p_ + pos_ - n, p_ + pos_);
    }
    std::vector<std::uint8_t> run() { return bytes(u16()); }  // a run preceded by its 16-bit length
    std::vector<std::uint8_t> rest() { return bytes(n_); }

private:
    const std::uint8_t* p_;
    std::size_t n_, pos_ = 0;
};

class Writer {
public:
    Writer& u8(std::uint8_t v) { return out_.push_back(v), *this; }
    Writer& u16(std::uint16_t v) { return u8(static_cast<std::uint8_t>(v)).u8(static_cast<std::uint8_t>(v >> 8)); }
    Writer& bytes(const std::vector<std::uint8_t>& b) { return out_.insert(out_.end(), b.begin(), b.end()), *this; }
    Writer& run(const std::vector<std::uint8_t>& b) { return u16(static_cast<std::uint16_t>(b.size())).bytes(b); }
    const std::vector<std::uint8_t>& data() const { return out_; }

private:
    std::vector<std::uint8_t> out_;
};

}  // namespace orbfuzz
