#include "cellwise.hpp"

#include <cmath>

namespace tessera::kernels {

namespace {

// Natural logarithm with the domain rules of Python's math.log: NaN and +inf
// map to themselves, anything <= 0 (and -inf) has no logarithm.
inline bool checked_log(double x, double& result) {
    if (std::isfinite(x)) {
        if (x > 0.0) {
            result = std::log(x);
            return true;
        }
        return false;
    }
    if (std::isnan(x) || x > 0.0) {
        result = x;
        return true;
    }
    return false;
}

template <class T>
std::size_t log_cells_impl(const T* in, double* out, std::size_t n, std::int64_t base) {
    const double den = std::log(static_cast<double>(base));
    for (std::size_t i = 0; i < n; ++i) {
        double num;
        if (!checked_log(static_cast<double>(in[i]), num)) return i;
        out[i] = num / den;
    }
    return n;
}

}  // namespace

std::size_t log_cells(const double* in, double* out, std::size_t n, std::int64_t base) {
    return log_cells_impl(in, out, n, base);
}

std::size_t log_cells(const std::int64_t* in, double* out, std::size_t n, std::int64_t base) {
    return log_cells_impl(in, out, n, base);
}

std::size_t count_below(const std::int64_t* in, std::size_t n, std::int64_t threshold) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += in[i] < threshold;
    return count;
}

void noise_cells(const double* in, double* out, std::size_t n, std::int64_t threshold,
                 double missing) {
    const double t = static_cast<double>(threshold);
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] < t ? missing : in[i];
}

void noise_cells(const std::int64_t* in, double* out, std::size_t n, std::int64_t threshold,
                 double missing) {
    for (std::size_t i = 0; i < n; ++i)
        out[i] = in[i] < threshold ? missing : static_cast<double>(in[i]);
}

void shift_cells(const double* in, double* out, std::size_t n, double shift) {
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] - shift;
}

void shift_cells(const std::int64_t* in, double* out, std::size_t n, double shift) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(in[i]) - shift;
}

}  // namespace tessera::kernels
