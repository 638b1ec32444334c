#include "kernels/oneway.hpp"

#include "kernels/permutation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

namespace tessera::kernels {
namespace {

// x ** 2. on a numpy scalar: the C library's pow, which the compiler would
// otherwise replace by x * x.
double scalar_square(double x) {
    static volatile double two = 2.0;
    return std::pow(x, two);
}

// numpy's all(diff(values) == 0): true for fewer than two values.
bool constant(const double* values, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i)
        if (!(values[i] - values[i - 1] == 0.0)) return false;
    return true;
}

}  // namespace

void oneway_centre(const double* pooled, std::size_t n, std::size_t rows, double* centred,
                   double* offsets) {
    for (std::size_t r = 0; r < rows; ++r) {
        const double* row = pooled + r * n;
        const double offset = numpy_mean(row, n);
        offsets[r] = offset;
        for (std::size_t i = 0; i < n; ++i) centred[r * n + i] = row[i] - offset;
    }
}

double oneway_statistic(const oneway_sums& row, const std::size_t* sizes, std::size_t groups,
                        std::size_t n) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t largest = groups ? *std::max_element(sizes, sizes + groups) : 0;
    // NaN propagates; one value per group is too small
    if (row.missing || largest < 2) return nan;
    const double between_df = static_cast<double>(groups) - 1.0;
    const double within_df = static_cast<double>(n) - static_cast<double>(groups);
    const double normalized_ss = scalar_square(row.centred_sum) / static_cast<double>(n);
    const double total_ss = row.dot - normalized_ss;
    double between_ss = 0.0;
    for (std::size_t g = 0; g < groups; ++g)
        between_ss = between_ss + scalar_square(row.group_sums[g]) / static_cast<double>(sizes[g]);
    between_ss = between_ss - normalized_ss;
    const double within_ss = total_ss - between_ss;
    double value = (between_ss / between_df) / (within_ss / within_df);
    if (row.every_group_constant) value = std::numeric_limits<double>::infinity();
    if (row.all_constant) value = nan;
    return value;
}

void oneway_f(const double* pooled, const std::size_t* sizes, std::size_t groups,
              std::size_t rows, const double* offsets, const double* centred, const double* dots,
              double* f) {
    const std::size_t n = std::accumulate(sizes, sizes + groups, std::size_t{0});
    std::size_t largest = 0;
    for (std::size_t g = 0; g < groups; ++g) largest = std::max(largest, sizes[g]);
    std::vector<double> shifted(largest), group_sums(groups);
    for (std::size_t r = 0; r < rows; ++r) {
        const double* row = pooled + r * n;
        oneway_sums sums{};
        for (std::size_t i = 0; i < n; ++i) sums.missing = sums.missing || std::isnan(row[i]);
        if (sums.missing || largest < 2) {
            f[r] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        sums.centred_sum = numpy_sum(centred + r * n, n);
        sums.dot = dots[r];
        sums.every_group_constant = true;
        const double* sample = row;
        for (std::size_t g = 0; g < groups; ++g) {
            for (std::size_t i = 0; i < sizes[g]; ++i) shifted[i] = sample[i] - offsets[r];
            group_sums[g] = numpy_sum(shifted.data(), sizes[g]);
            sums.every_group_constant = sums.every_group_constant && constant(sample, sizes[g]);
            sample += sizes[g];
        }
        sums.group_sums = group_sums.data();
        sums.all_constant = constant(row, n);
        f[r] = oneway_statistic(sums, sizes, groups, n);
    }
}

}  // namespace tessera::kernels
