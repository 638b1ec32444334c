#include "kernels/shifts.hpp"

#include "kernels/columnwise.hpp"
#include "kernels/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessera::kernels::shifts {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The density is summed over the values within this many bandwidths of a
// grid point: a value further away adds less than exp(-32) of its peak.
constexpr double kernel_reach = 8.0;

// The peak is refined until a step moves it by less than this share of the
// bandwidth: far below any difference a shift could make, well above rounding.
constexpr double peak_tolerance = 1e-12;

// numpy.quantile(sorted, q) with its default linear interpolation.
double quantile(const double* sorted, std::size_t n, double q) {
    const double position = q * static_cast<double>(n - 1);
    const auto below = static_cast<std::size_t>(std::floor(position));
    if (below + 1 >= n) return sorted[n - 1];
    const double fraction = position - static_cast<double>(below);
    return sorted[below] + fraction * (sorted[below + 1] - sorted[below]);
}

// The density's first and second derivatives at x, up to the factors
// 1 / (n h^2 sqrt(2 pi)) and 1 / (n h^3 sqrt(2 pi)): sum -u e and
// sum (u^2 - 1) e over the values, with u = (x - v) / h and e = exp(-u^2 / 2).
void slopes(const double* values, std::size_t n, double h, double x, double& first,
            double& second) {
    first = second = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double u = (x - values[i]) / h;
        const double e = std::exp(-0.5 * u * u);
        first -= u * e;
        second += (u * u - 1.0) * e;
    }
}

// The zero of the density's slope in [a, b], where the slope falls from
// positive at a to negative at b: Newton steps, bisecting whenever a step
// would leave the bracket or the density is not concave there.
double slope_zero(const double* values, std::size_t n, double h, double a, double b) {
    double x = 0.5 * (a + b);
    for (int step = 0; step < 200; ++step) {
        double first = 0, second = 0;
        slopes(values, n, h, x, first, second);
        if (first == 0.0) return x;
        if (first > 0.0)
            a = x;
        else
            b = x;
        double next = second < 0.0 ? x - h * first / second : a;
        if (!(next > a && next < b)) next = 0.5 * (a + b);
        const double moved = std::fabs(next - x);
        x = next;
        if (moved <= peak_tolerance * h || b - a <= peak_tolerance * h) break;
    }
    return x;
}

// The slope of the density at x (its sign is all the bracket needs).
double slope(const double* values, std::size_t n, double h, double x) {
    double first = 0, second = 0;
    slopes(values, n, h, x, first, second);
    return first;
}

// The peak near grid point g, between its neighbours a and b: the zero of
// the slope on the side where the density still rises.
double refine(const double* values, std::size_t n, double h, double a, double g, double b) {
    const double at_g = slope(values, n, h, g);
    if (at_g > 0.0 && g < b && slope(values, n, h, b) < 0.0) return slope_zero(values, n, h, g, b);
    if (at_g < 0.0 && a < g && slope(values, n, h, a) > 0.0) return slope_zero(values, n, h, a, g);
    return g;
}

// Column c's log-ratios x[i][c] - profile[i] over its features.
std::size_t column_ratios(const column_list& table, std::size_t rows, std::size_t c,
                          const std::uint8_t* serves, const double* profile, double* out) {
    const double* column = table.columns[c];
    std::size_t n = 0;
    for (std::size_t r = 0; r < rows; ++r)
        if (serves[r] && std::isfinite(column[r])) out[n++] = column[r] - profile[r];
    return n;
}

// The features measured in enough columns (and allowed).
std::vector<std::uint8_t> serving(const column_list& table, std::size_t rows,
                                  const std::uint8_t* allowed, estimate method) {
    const std::size_t need = coverage(method, table.size);
    std::vector<std::int64_t> counts(rows);
    count_finite(table, rows, counts.data());
    std::vector<std::uint8_t> serves(rows);
    for (std::size_t r = 0; r < rows; ++r)
        serves[r] = (!allowed || allowed[r]) && static_cast<std::size_t>(counts[r]) >= need;
    return serves;
}

// Subtracts the mean of the shifts from each.
void centre(double* shifts, std::size_t n) {
    double total = 0.0;
    for (std::size_t c = 0; c < n; ++c) total += shifts[c];
    const double mean = total / static_cast<double>(n);
    for (std::size_t c = 0; c < n; ++c) shifts[c] -= mean;
}

}  // namespace

std::size_t coverage(estimate method, std::size_t cols) {
    if (method == estimate::median_complete) return cols;
    return cols - cols / 4;  // ceil(3 * cols / 4)
}

void features_used(const column_list& table, std::size_t rows, const std::uint8_t* allowed,
                   estimate method, std::size_t* used) {
    const std::vector<std::uint8_t> serves = serving(table, rows, allowed, method);
    for (std::size_t c = 0; c < table.size; ++c) {
        used[c] = 0;
        for (std::size_t r = 0; r < rows; ++r)
            used[c] += serves[r] && std::isfinite(table.columns[c][r]);
    }
}

double median(double* values, std::size_t n) {
    // in place: nan_median's write index never passes its read index
    bool huge_middle = false;
    return nan_median(values, n, values, huge_middle);
}

void measured_medians(const column_list& table, std::size_t rows, double* out) {
    std::vector<double> scratch(rows);
    for (std::size_t c = 0; c < table.size; ++c)
        out[c] = median(scratch.data(), copy_finite(table.columns[c], rows, scratch.data()));
}

double silverman_bandwidth(const double* sorted, std::size_t n) {
    if (n < 2) return 0.0;
    double mean = 0.0;
    for (std::size_t i = 0; i < n; ++i) mean += sorted[i];
    mean /= static_cast<double>(n);
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) squares += (sorted[i] - mean) * (sorted[i] - mean);
    const double sd = std::sqrt(squares / static_cast<double>(n - 1));
    const double iqr = quantile(sorted, n, 0.75) - quantile(sorted, n, 0.25);
    const double spread = iqr > 0.0 ? std::min(sd, iqr / 1.34) : sd;
    return 0.9 * spread * std::pow(static_cast<double>(n), -0.2);
}

double density_peak(double* values, std::size_t n) {
    if (n == 0) return nan;
    std::sort(values, values + n);
    const double h = silverman_bandwidth(values, n);
    if (!(h > 0.0)) return values[0];
    const double low = values[0], step = h / 4.0;
    // The density at the grid points k (x = low + k step) that some value
    // reaches, each value adding to the points within its reach. Values come
    // in order, so the points a value reaches beyond the last one kept are
    // new, and the kept ones it reaches are the last ones: the grid is stored
    // as it grows, at most (2 reach + 1) points a value, however wide the range.
    const auto reach = static_cast<std::ptrdiff_t>(std::ceil(kernel_reach * 4.0));
    std::vector<std::ptrdiff_t> points;
    std::vector<double> density;
    // Along the grid u grows by 1/4, so exp(-u^2 / 2) changes by a factor
    // exp(-u / 4 - 1/32) that itself shrinks by exp(-1/16) a step: two
    // exponentials a value instead of one a point.
    const double shrink = std::exp(-0.0625);
    for (std::size_t i = 0; i < n; ++i) {
        const auto nearest = static_cast<std::ptrdiff_t>(std::lround((values[i] - low) / step));
        const std::ptrdiff_t from = std::max<std::ptrdiff_t>(0, nearest - reach);
        const double u = (low + static_cast<double>(from) * step - values[i]) / h;
        double weight = std::exp(-0.5 * u * u), factor = std::exp(-0.25 * u - 0.03125);
        for (std::ptrdiff_t k = from; k <= nearest + reach; ++k) {
            if (points.empty() || k > points.back()) {
                points.push_back(k);
                density.push_back(0.0);
            }
            density[density.size() - 1 - static_cast<std::size_t>(points.back() - k)] += weight;
            weight *= factor;
            factor *= shrink;
        }
    }
    const auto top = static_cast<std::size_t>(std::max_element(density.begin(), density.end()) -
                                              density.begin());
    auto point = [&](std::ptrdiff_t k) { return low + static_cast<double>(k) * step; };
    const std::ptrdiff_t k = points[top];
    return refine(values, n, h, point(std::max<std::ptrdiff_t>(0, k - 1)), point(k),
                  point(k + 1));
}

bool estimate_shifts(const column_list& table, std::size_t rows, const std::uint8_t* allowed,
                     estimate method, double* shifts, bool (*should_stop)(void*),
                     void* context) {
    const std::size_t cols = table.size;
    const std::vector<std::uint8_t> serves = serving(table, rows, allowed, method);
    auto stopped = [&] { return should_stop && should_stop(context); };
    if (method == estimate::median_complete) {
        const std::vector<double> zero(rows, 0.0);
        parallel_for(cols, [&](std::size_t c) {
            std::vector<double> values(rows);
            shifts[c] = median(values.data(),
                               column_ratios(table, rows, c, serves.data(), zero.data(),
                                             values.data()));
        });
        centre(shifts, cols);
        return !stopped();
    }
    std::vector<double> current(cols, 0.0), profile(rows, nan);
    for (int pass = 0; pass < max_passes; ++pass) {
        if (stopped()) return false;
        for (std::size_t r = 0; r < rows; ++r) {
            if (!serves[r]) continue;
            double total = 0.0;
            std::size_t n = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const double v = table.columns[c][r];
                if (!std::isfinite(v)) continue;
                total += v - current[c];
                ++n;
            }
            profile[r] = total / static_cast<double>(n);
        }
        parallel_for(cols, [&](std::size_t c) {
            std::vector<double> ratios(rows);
            const std::size_t n = column_ratios(table, rows, c, serves.data(), profile.data(),
                                                ratios.data());
            shifts[c] = method == estimate::ratio_mode ? density_peak(ratios.data(), n)
                                                       : median(ratios.data(), n);
        });
        centre(shifts, cols);
        double moved = 0.0;
        for (std::size_t c = 0; c < cols; ++c)
            moved = std::max(moved, std::fabs(shifts[c] - current[c]));
        std::copy(shifts, shifts + cols, current.begin());
        if (moved <= shift_tolerance) break;
    }
    return true;
}

void apply_shifts(const column_list& table, std::size_t rows, const double* shifts,
                  double* const* out) {
    parallel_for(table.size, [&](std::size_t c) {
        const double* column = table.columns[c];
        for (std::size_t r = 0; r < rows; ++r) out[c][r] = column[r] - shifts[c];
    });
}

}  // namespace tessera::kernels::shifts
