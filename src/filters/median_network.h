// Per-pixel median over a stack of depth images by compare-exchange networks
// run on whole runs of pixels at once, so the compiler can vectorise each
// compare-exchange (min/max over a run) instead of sorting every column.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace orb {

namespace detail {

constexpr std::size_t kMedianRun = 512;

inline void CompareExchange(std::uint16_t* __restrict lo, std::uint16_t* __restrict hi) {
    for (std::size_t k = 0; k < kMedianRun; ++k) {
        const std::uint16_t a = lo[k];
        const std::uint16_t b = hi[k];
        lo[k] = a < b ? a : b;
        hi[k] = a < b ? b : a;
    }
}

// Selection network for the middle of 9 inputs (19 compare-exchanges); the
// value at index 4 afterwards is the 5th smallest.
inline void Median9(std::uint16_t (*p)[kMedianRun]) {
    static constexpr int kPairs[19][2] = {{1, 2}, {4, 5}, {7, 8}, {0, 1}, {3, 4}, {6, 7}, {1, 2},
                                          {4, 5}, {7, 8}, {0, 3}, {5, 8}, {4, 7}, {3, 6}, {1, 4},
                                          {2, 5}, {4, 7}, {4, 2}, {6, 4}, {4, 2}};
    for (const auto& pr : kPairs) CompareExchange(p[pr[0]], p[pr[1]]);
}

// Odd-even transposition sort: n rounds of neighbour compare-exchanges sort
// any n inputs.
inline void TranspositionSort(std::uint16_t (*p)[kMedianRun], int n) {
    for (int round = 0; round < n; ++round)
        for (int i = round & 1; i + 1 < n; i += 2) CompareExchange(p[i], p[i + 1]);
}

}  // namespace detail

// out[k] = element n / 2 of the ascending sort of slots[0][k] .. slots[n-1][k]
// (the upper middle for even n). 1 <= n <= 9.
inline void ColumnMedian(const std::uint16_t* const* slots, int n, std::uint16_t* out, std::size_t count) {
    using detail::kMedianRun;
    alignas(64) std::uint16_t buf[9][kMedianRun];
    for (std::size_t start = 0; start < count; start += kMedianRun) {
        const std::size_t len = std::min(kMedianRun, count - start);
        for (int j = 0; j < n; ++j) {
            std::copy(slots[j] + start, slots[j] + start + len, buf[j]);
            std::fill(buf[j] + len, buf[j] + kMedianRun, std::uint16_t{0});
        }
        if (n == 9)
            detail::Median9(buf);
        else
            detail::TranspositionSort(buf, n);
        std::copy(buf[n / 2], buf[n / 2] + len, out + start);
    }
}

}  // namespace orb
