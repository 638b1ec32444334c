// The median of a few values: the roll-ups take one per pair of runs, so
// counts up to 16 are sorted in registers by networks of comparisons whose
// jumps do not depend on the values, and larger ones selected likewise.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>

namespace tessera::kernels {

// The median of v[0..n) (n >= 1, no NaN): the middle value, or the mean of
// the two middle values. May reorder v.
namespace median_detail {

// Sorts n values held in a local array (kept in registers once the loops are
// unrolled) by odd-even transposition: n rounds of compare-exchanges.
template <std::size_t n>
inline double sorted_middle(const double* v) {
    double a[n];
    for (std::size_t i = 0; i < n; ++i) a[i] = v[i];
    for (std::size_t round = 0; round < n; ++round) {
        for (std::size_t i = round % 2; i + 1 < n; i += 2) {
            const double low = std::min(a[i], a[i + 1]);
            a[i + 1] = std::max(a[i], a[i + 1]);
            a[i] = low;
        }
    }
    return n % 2 ? a[n / 2] : 0.5 * (a[n / 2 - 1] + a[n / 2]);
}

// The middle of n (9 to 16) values, sorted in a local array padded with the
// largest double by Batcher's odd-even merge network for 16 inputs (63
// compare-exchanges, none of them a jump).
inline double padded_middle16(const double* v, std::size_t n) {
    static constexpr unsigned char network[63][2] = {
        {0, 1},   {2, 3},   {0, 2},   {1, 3},   {1, 2},   {4, 5},   {6, 7},   {4, 6},
        {5, 7},   {5, 6},   {0, 4},   {2, 6},   {2, 4},   {1, 5},   {3, 7},   {3, 5},
        {1, 2},   {3, 4},   {5, 6},   {8, 9},   {10, 11}, {8, 10},  {9, 11},  {9, 10},
        {12, 13}, {14, 15}, {12, 14}, {13, 15}, {13, 14}, {8, 12},  {10, 14}, {10, 12},
        {9, 13},  {11, 15}, {11, 13}, {9, 10},  {11, 12}, {13, 14}, {0, 8},   {4, 12},
        {4, 8},   {2, 10},  {6, 14},  {6, 10},  {2, 4},   {6, 8},   {10, 12}, {1, 9},
        {5, 13},  {5, 9},   {3, 11},  {7, 15},  {7, 11},  {3, 5},   {7, 9},   {11, 13},
        {1, 2},   {3, 4},   {5, 6},   {7, 8},   {9, 10},  {11, 12}, {13, 14}};
    double a[16];
    for (std::size_t i = 0; i < 16; ++i) a[i] = i < n ? v[i] : std::numeric_limits<double>::max();
    for (const auto& p : network) {
        const double low = std::min(a[p[0]], a[p[1]]);
        a[p[1]] = std::max(a[p[0]], a[p[1]]);
        a[p[0]] = low;
    }
    return n % 2 ? a[n / 2] : 0.5 * (a[n / 2 - 1] + a[n / 2]);
}

// The k-th smallest of v[0..n) (k < n), moved to v[k] with every smaller
// index holding a value no larger: quickselect on the median of three, with
// a partition that swaps every value and moves its boundary by the outcome
// of the comparison instead of jumping on it.
inline double select(double* v, std::size_t n, std::size_t k) {
    std::size_t lo = 0, hi = n;
    while (hi - lo > 8) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const double a = v[lo], b = v[mid], c = v[hi - 1];
        const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        std::size_t below = lo;
        for (std::size_t i = lo; i < hi; ++i) {
            const double t = v[i];
            v[i] = v[below];
            v[below] = t;
            below += t < pivot;
        }
        if (k < below) {
            hi = below;
        } else if (below > lo) {
            lo = below;
        } else {
            // the pivot is the smallest value: set its copies aside
            std::size_t equal = lo;
            for (std::size_t i = lo; i < hi; ++i) {
                const double t = v[i];
                v[i] = v[equal];
                v[equal] = t;
                equal += t <= pivot;
            }
            if (k < equal) return pivot;
            lo = equal;
        }
    }
    // at most 8 left: sorted by the network, padded with the largest value
    double a[8];
    const std::size_t left = hi - lo;
    for (std::size_t i = 0; i < 8; ++i) a[i] = i < left ? v[lo + i] : std::numeric_limits<double>::max();
    for (std::size_t round = 0; round < 8; ++round) {
        for (std::size_t i = round % 2; i + 1 < 8; i += 2) {
            const double low = std::min(a[i], a[i + 1]);
            a[i + 1] = std::max(a[i], a[i + 1]);
            a[i] = low;
        }
    }
    for (std::size_t i = 0; i < left; ++i) v[lo + i] = a[i];
    return v[k];
}

}  // namespace median_detail

// The median of v[0..n) (n >= 1, no NaN): the middle value, or the mean of
// the two middle values. May reorder v.
inline double median_in_place(double* v, std::size_t n) {
    using median_detail::sorted_middle;
    switch (n) {
        case 1: return v[0];
        case 2: return 0.5 * (v[0] + v[1]);
        case 3: return sorted_middle<3>(v);
        case 4: return sorted_middle<4>(v);
        case 5: return sorted_middle<5>(v);
        case 6: return sorted_middle<6>(v);
        case 7: return sorted_middle<7>(v);
        case 8: return sorted_middle<8>(v);
        default: break;
    }
    if (n <= 16) return median_detail::padded_middle16(v, n);
    const std::size_t half = n / 2;
    const double upper = median_detail::select(v, n, half);
    if (n % 2) return upper;
    // the largest of the lower half is the other middle value
    return 0.5 * (*std::max_element(v, v + half) + upper);
}

}  // namespace tessera::kernels
