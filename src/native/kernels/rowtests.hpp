// Per-row tests and means of a table's groups on every value of a row, NaN
// included (a NaN gives the row's statistic NaN), with the floating-point
// operations of the one-row library call: scipy's t tests, numpy's mean of
// a row's differences, pandas' mean of a row. Rows are spread over the cores.
#pragma once

#include "kernels/finite.hpp"

#include <cstddef>
#include <cstdint>

namespace tessera::kernels {

// Copies row r of every column, in column order, to out.
void gather_row(const column_list& cols, std::size_t row, double* out);

// scipy.stats.ttest_ind(x, y, equal_var=!welch) of every row, x its values in
// a and y in b (two or more each): the statistic, the degrees of freedom of
// its t distribution, and -|t|, the argument of the two-sided p-value
// 2 * stdtr(df, -|t|).
void t_test_rows(const column_list& a, const column_list& b, std::size_t rows, bool welch,
                 double* t, double* df, double* minus_abs_t);

// scipy.stats.ttest_1samp(x - y, 0) of every row (a and b of the same two or
// more columns), the same three outputs.
void paired_t_rows(const column_list& a, const column_list& b, std::size_t rows, double* t,
                   double* df, double* minus_abs_t);

// numpy.mean of each row's differences x[i] - y[i] for the first `pairs`
// columns of a and of b.
void paired_means(const column_list& a, const column_list& b, std::size_t pairs,
                  std::size_t rows, double* out);

// The same on int64 columns: each difference is taken in int64, wrapping on
// overflow as numpy's int64 scalars do, and the mean of those taken in float64.
void paired_means(const std::int64_t* const* a, const std::int64_t* const* b, std::size_t pairs,
                  std::size_t rows, double* out);

// scipy.stats.f_oneway of every row on the groups' columns side by side
// (the pooled row), in two steps around the dot products of the centred rows,
// which the caller takes from numpy: first each row's mean (offsets) and the
// row less its mean (centred: rows x the columns of all groups, row-major),
// then the statistic from the offsets and dots (see oneway_f).
void oneway_centre_rows(const column_list* groups, std::size_t group_count, std::size_t rows,
                        double* centred, double* offsets);
void oneway_f_rows(const column_list* groups, std::size_t group_count, std::size_t rows,
                   const double* offsets, const double* dots, double* f);

// The order in which pandas' DataFrame.mean(axis=1) adds up a row of a
// float64 block: column after column, or numpy's pairwise sum when the row's
// values lie side by side in memory (no NaN in the block: a NaN makes pandas
// fill a C-ordered copy).
enum class row_sum { sequential, pairwise };

// True when a value of the columns is NaN (+-inf is not).
bool any_nan(const column_list& cols, std::size_t rows);

// pandas' mean of every row over the columns, NaN left out: 0.0 plus the
// row's values in `order`, a NaN added as 0.0, divided by the number of
// values that are not NaN; NaN for a row without any.
void row_means(const column_list& cols, std::size_t rows, row_sum order, double* out);

}  // namespace tessera::kernels
