#include "columnwise.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessera::kernels {

double nan_median(const double* in, std::size_t n, double* scratch, bool& huge_middle) {
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isnan(in[i])) scratch[m++] = in[i];
    huge_middle = false;
    if (m == 0) return std::numeric_limits<double>::quiet_NaN();
    const std::size_t half = m / 2;
    std::nth_element(scratch, scratch + half, scratch + m);
    const double upper = scratch[half];
    if (m % 2) {
        huge_middle = std::fabs(upper) > std::numeric_limits<double>::max() / 2;
        return 0.0 + upper;
    }
    // the largest of the lower half is the other middle value
    const double lower = *std::max_element(scratch, scratch + half);
    return ((0.0 + lower) + upper) / 2.0;
}

void add_present(const double* in, std::size_t n, std::int64_t* counts) {
    for (std::size_t i = 0; i < n; ++i) counts[i] += !std::isnan(in[i]);
}

void add_present_all(std::size_t n, std::int64_t* counts) {
    for (std::size_t i = 0; i < n; ++i) counts[i] += 1;
}

void keep_measured(const std::int64_t* counts, std::size_t n, std::int64_t width,
                   double threshold, bool* keep) {
    const double w = static_cast<double>(width);
    for (std::size_t i = 0; i < n; ++i) keep[i] = static_cast<double>(counts[i]) / w >= threshold;
}

}  // namespace tessera::kernels
