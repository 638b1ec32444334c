// numpy's float64 summation order, and the sample moments built on it, for
// many rows at once: each of B lanes holds one row (one sample), and every
// lane goes through the operations one sample alone would, so it rounds
// exactly as that sample does. B = 1 is the one-sample case.
#pragma once

#include <cstddef>

namespace tessera::kernels {

// B float64 values, one per row.
template <std::size_t B>
struct lanes {
    double v[B];

    double operator[](std::size_t b) const { return v[b]; }
};

// numpy's pairwise summation of terms lo, ..., lo + n - 1 into res, lane by
// lane; cell(i, b) is term i of lane b. Below 8 terms a plain left-to-right
// loop from 0.0; up to 128 terms eight interleaved accumulators combined as
// ((r0+r1)+(r2+r3))+((r4+r5)+(r6+r7)) and then the leftover terms one by one;
// above that, split at half rounded down to a multiple of 8.
template <std::size_t B, class Cell>
void pairwise(const Cell& cell, std::size_t lo, std::size_t n, lanes<B>& res) {
    if (n < 8) {
        for (std::size_t b = 0; b < B; ++b) res.v[b] = 0.0;
        for (std::size_t i = lo; i < lo + n; ++i)
            for (std::size_t b = 0; b < B; ++b) res.v[b] = res.v[b] + cell(i, b);
        return;
    }
    if (n <= 128) {
        lanes<B> r[8];
        for (std::size_t j = 0; j < 8; ++j)
            for (std::size_t b = 0; b < B; ++b) r[j].v[b] = cell(lo + j, b);
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (std::size_t j = 0; j < 8; ++j)
                for (std::size_t b = 0; b < B; ++b) r[j].v[b] = r[j].v[b] + cell(lo + i + j, b);
        for (std::size_t b = 0; b < B; ++b)
            res.v[b] = ((r[0].v[b] + r[1].v[b]) + (r[2].v[b] + r[3].v[b])) +
                       ((r[4].v[b] + r[5].v[b]) + (r[6].v[b] + r[7].v[b]));
        for (; i < n; ++i)
            for (std::size_t b = 0; b < B; ++b) res.v[b] = res.v[b] + cell(lo + i, b);
        return;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    lanes<B> right;
    pairwise(cell, lo, n2, res);
    pairwise(cell, lo + n2, n - n2, right);
    for (std::size_t b = 0; b < B; ++b) res.v[b] = res.v[b] + right.v[b];
}

// numpy.add.reduce: the identity 0.0 plus the pairwise sum.
template <std::size_t B, class Cell>
lanes<B> reduce_sum(const Cell& cell, std::size_t n) {
    lanes<B> sum;
    pairwise(cell, 0, n, sum);
    for (std::size_t b = 0; b < B; ++b) sum.v[b] = 0.0 + sum.v[b];
    return sum;
}

// A sample's mean and scipy's ddof=1 variance (before ttest_ind's n == 1 override).
template <class V>
struct moments_of {
    V mean;
    V var;
};

// numpy.mean and scipy.stats._stats_py._var(a, ddof=1) of n terms in each
// lane: the mean of squared deviations from the mean, times n / (n - 1)
// (computed in double, so n == 1 gives inf).
template <std::size_t B, class Cell>
moments_of<lanes<B>> mean_and_var(const Cell& cell, std::size_t n) {
    const double count = static_cast<double>(n);
    moments_of<lanes<B>> m;
    m.mean = reduce_sum<B>(cell, n);
    for (std::size_t b = 0; b < B; ++b) m.mean.v[b] = m.mean.v[b] / count;
    m.var = reduce_sum<B>(
        [&](std::size_t i, std::size_t b) {
            const double d = cell(i, b) - m.mean.v[b];
            return d * d;
        },
        n);
    const double ratio = count / (count - 1.0);
    for (std::size_t b = 0; b < B; ++b) m.var.v[b] = (m.var.v[b] / count) * ratio;
    return m;
}

// The one-sample forms: get(i) is term i.
template <class Get>
double reduce_sum(const Get& get, std::size_t n) {
    return reduce_sum<1>([&](std::size_t i, std::size_t) { return get(i); }, n)[0];
}

template <class Get>
moments_of<double> mean_and_var(const Get& get, std::size_t n) {
    const moments_of<lanes<1>> m =
        mean_and_var<1>([&](std::size_t i, std::size_t) { return get(i); }, n);
    return {m.mean[0], m.var[0]};
}

}  // namespace tessera::kernels
