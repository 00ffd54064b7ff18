// Per-pixel median over a stack of depth images by compare-exchange networks
// run on eight pixels at once in vector registers, instead of sorting every
// column.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include <opencv2/core/hal/intrin.hpp>

namespace orb {

namespace detail {

using Pair = std::array<int, 2>;

// Selection network for the middle of 9 inputs (19 compare-exchanges); the
// value at index 4 afterwards is the 5th smallest.
constexpr std::array<Pair, 19> kMedian9 = {{{1, 2}, {4, 5}, {7, 8}, {0, 1}, {3, 4}, {6, 7}, {1, 2},
                                            {4, 5}, {7, 8}, {0, 3}, {5, 8}, {4, 7}, {3, 6}, {1, 4},
                                            {2, 5}, {4, 7}, {4, 2}, {6, 4}, {4, 2}}};

// Odd-even transposition sort: n rounds of neighbour compare-exchanges sort
// any n inputs.
constexpr std::size_t transpositionCount(int n) {
    std::size_t count = 0;
    for (int round = 0; round < n; ++round)
        for (int i = round & 1; i + 1 < n; i += 2) ++count;
    return count;
}

template <int N>
constexpr std::array<Pair, transpositionCount(N)> transpositionPairs() {
    std::array<Pair, transpositionCount(N)> pairs{};
    std::size_t k = 0;
    for (int round = 0; round < N; ++round)
        for (int i = round & 1; i + 1 < N; i += 2) pairs[k++] = Pair{i, i + 1};
    return pairs;
}

template <int N>
struct Network {
    static constexpr auto pairs = transpositionPairs<N>();
};
template <>
struct Network<9> {
    static constexpr auto pairs = kMedian9;
};

inline void compareExchange(cv::v_uint16x8& lo, cv::v_uint16x8& hi) {
    const cv::v_uint16x8 a = lo;
    lo = cv::v_min(a, hi);
    hi = cv::v_max(a, hi);
}

// Unrolled at compile time so the values stay in registers.
template <int N, std::size_t... K>
inline void runNetwork(cv::v_uint16x8* v, std::index_sequence<K...>) {
    (void)v;  // N = 1 has no compare-exchange
    (compareExchange(v[Network<N>::pairs[K][0]], v[Network<N>::pairs[K][1]]), ...);
}

template <int N>
void columnMedianN(const std::uint16_t* const* slots, std::uint16_t* out, std::size_t count) {
    constexpr std::size_t kLanes = cv::v_uint16x8::nlanes;
    constexpr std::size_t kSize = Network<N>::pairs.size();
    std::size_t k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        cv::v_uint16x8 v[N];
        for (int j = 0; j < N; ++j) v[j] = cv::v_load(slots[j] + k);
        runNetwork<N>(v, std::make_index_sequence<kSize>{});
        cv::v_store(out + k, v[N / 2]);
    }
    if (k < count) {  // tail: through a zero-padded vector
        cv::v_uint16x8 v[N];
        for (int j = 0; j < N; ++j) {
            alignas(16) std::uint16_t lane[kLanes] = {};
            for (std::size_t i = k; i < count; ++i) lane[i - k] = slots[j][i];
            v[j] = cv::v_load(lane);
        }
        runNetwork<N>(v, std::make_index_sequence<kSize>{});
        alignas(16) std::uint16_t lane[kLanes];
        cv::v_store(lane, v[N / 2]);
        for (std::size_t i = k; i < count; ++i) out[i] = lane[i - k];
    }
}

}  // namespace detail

// out[k] = element n / 2 of the ascending sort of slots[0][k] .. slots[n-1][k]
// (the upper middle for even n). 1 <= n <= 9.
inline void columnMedian(const std::uint16_t* const* slots, int n, std::uint16_t* out, std::size_t count) {
    switch (n) {
        case 1: detail::columnMedianN<1>(slots, out, count); break;
        case 2: detail::columnMedianN<2>(slots, out, count); break;
        case 3: detail::columnMedianN<3>(slots, out, count); break;
        case 4: detail::columnMedianN<4>(slots, out, count); break;
        case 5: detail::columnMedianN<5>(slots, out, count); break;
        case 6: detail::columnMedianN<6>(slots, out, count); break;
        case 7: detail::columnMedianN<7>(slots, out, count); break;
        case 8: detail::columnMedianN<8>(slots, out, count); break;
        case 9: detail::columnMedianN<9>(slots, out, count); break;
        default: break;
    }
}

}  // namespace orb
