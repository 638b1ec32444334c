// Summaries computed as R computes them, where limma's numbers depend on
// the exact steps: sums in extended precision, mean() with its correction
// pass, median, quantile(type = 7), rank() with ties averaged, order().
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <vector>

namespace tessera::kernels::summaries {

// Sum in extended precision, as R's sum() of doubles accumulates.
inline double long_sum(const double* v, std::size_t n) {
    long double s = 0;
    for (std::size_t i = 0; i < n; ++i) s += v[i];
    return static_cast<double>(s);
}

// R's mean(): an extended-precision sum, then a second pass that corrects it.
inline double r_mean(const double* v, std::size_t n) {
    long double s = 0;
    for (std::size_t i = 0; i < n; ++i) s += v[i];
    s /= n;
    if (std::isfinite(static_cast<double>(s))) {
        long double t = 0;
        for (std::size_t i = 0; i < n; ++i) t += v[i] - s;
        s += t / n;
    }
    return static_cast<double>(s);
}

inline double r_mean(const std::vector<double>& v) { return r_mean(v.data(), v.size()); }

// R's median (the mean of the two middle values for an even count).
inline double r_median(std::vector<double> v) {
    const std::size_t n = v.size();
    if (n == 0) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t half = (n - 1) / 2;
    std::nth_element(v.begin(), v.begin() + half, v.end());
    const double lo = v[half];
    if (n % 2 == 1) return lo;
    const double hi = *std::min_element(v.begin() + half + 1, v.end());
    return static_cast<double>(((long double)lo + hi) / 2);
}

// R's quantile(type = 7) of sorted values: (1 - h) x[lo] + h x[hi].
inline double quantile7(const std::vector<double>& sorted, double prob) {
    const double index = (sorted.size() - 1) * prob;
    const std::size_t lo = static_cast<std::size_t>(std::floor(index));
    const std::size_t hi = static_cast<std::size_t>(std::ceil(index));
    double q = sorted[lo];
    const double h = index - lo;
    if (index > lo && sorted[hi] != q) q = (1 - h) * q + h * sorted[hi];
    return q;
}

// Ranks 1..n with ties averaged (R's rank()).
inline std::vector<double> average_ranks(const std::vector<double>& v) {
    const std::size_t n = v.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
    std::vector<double> rank(n);
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i;
        while (j + 1 < n && v[order[j + 1]] == v[order[i]]) ++j;
        const double r = (i + j) / 2.0 + 1.0;
        for (std::size_t m = i; m <= j; ++m) rank[order[m]] = r;
        i = j + 1;
    }
    return rank;
}

// Indices ordering v increasingly, ties in input order (R's order()).
inline std::vector<std::size_t> stable_order(const std::vector<double>& v) {
    std::vector<std::size_t> order(v.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
    return order;
}

}  // namespace tessera::kernels::summaries
