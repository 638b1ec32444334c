// Column shifts of a log-scale table with missing values: which features a
// column's shift rests on, and the median or the density peak of its values
// or of its log-ratios to a reference profile over them.
//
// A value is measured when it is finite. Every column list here is `cols`
// float64 columns of `rows` cells.
#pragma once

#include "kernels/finite.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessera::kernels::shifts {

// How a column's shift is estimated.
enum class estimate {
    median_complete,  // median of its values over the features measured in every column
    ratio_median,     // median of its log-ratios to the reference profile
    ratio_mode,       // density peak of those log-ratios
};

// Fewest measured columns a feature needs to serve a shift: every column for
// median_complete, else ceil(3 * cols / 4) (every column below 4 columns).
std::size_t coverage(estimate method, std::size_t cols);

// used[c] = the features column c's shift rests on: measured in column c and
// in at least coverage(method, cols) columns, and allowed (allowed == nullptr:
// every feature is).
void features_used(const column_list& table, std::size_t rows, const std::uint8_t* allowed,
                   estimate method, std::size_t* used);

// numpy.median of n finite values (reordered in place); NaN when n == 0.
double median(double* values, std::size_t n);

// out[c] = the median of column c's measured values (NaN when it has none).
void measured_medians(const column_list& table, std::size_t rows, double* out);

// Silverman's rule-of-thumb bandwidth of a Gaussian kernel density of n
// sorted values: 0.9 * min(sd, IQR / 1.34) * n^(-1/5), sd with ddof 1 and
// the quartiles as numpy.quantile takes them; the sd alone when the IQR is 0,
// 0 when every value is equal.
double silverman_bandwidth(const double* sorted, std::size_t n);

// The peak of the Gaussian kernel density of n finite values with Silverman's
// bandwidth h (sorts them in place): the highest point of a grid of step h / 4
// from the smallest value (the density summed over the values within 8 h of
// each point), then the zero of the density's slope between that point and
// the neighbour where the density still rises, by safeguarded Newton steps to
// 1e-12 h. The value itself when n is 1 or every value is equal; NaN when
// n == 0.
double density_peak(double* values, std::size_t n);

// Passes of the reference-profile iteration at most; it stops once no shift
// moves by more than shift_tolerance.
constexpr int max_passes = 100;
constexpr double shift_tolerance = 1e-10;

// The centred shift of every column (their mean is 0; subtracting them keeps
// the table's level):
//   median_complete  the median of each column over the features measured in
//                    every column, minus the mean of these medians;
//   ratio_*          each column's median or density peak of x[i][c] - m[i]
//                    over its features, where m[i] is the mean of feature i's
//                    measured values, each less its column's current shift;
//                    from shifts 0, repeated with the new centred shifts
//                    until they settle (at most max_passes passes).
// Features as features_used. Every column must have at least one feature.
// should_stop(context) is asked between passes: true stops the work and
// returns false (shifts then unset). Columns run in parallel.
bool estimate_shifts(const column_list& table, std::size_t rows, const std::uint8_t* allowed,
                     estimate method, double* shifts, bool (*should_stop)(void*) = nullptr,
                     void* context = nullptr);

// out[c][r] = table[c][r] - shifts[c] (missing cells stay as they are).
void apply_shifts(const column_list& table, std::size_t rows, const double* shifts,
                  double* const* out);

}  // namespace tessera::kernels::shifts
