// Per-row work on the measured (finite) values of groups of columns: counts,
// compaction into dense samples, and the statistics the differential tests
// compute on them with the operations numpy and scipy perform on one row.
//
// A value is measured when it is finite: NaN and +-inf are left out of every
// count, sample and statistic here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessera::kernels {

// Some columns of one table, each `rows` float64 values long.
struct column_list {
    const double* const* columns = nullptr;
    std::size_t size = 0;
};

// counts[r] = number of finite values of row r among the columns.
void count_finite(const column_list& cols, std::size_t rows, std::int64_t* counts);

// Copies the finite values of row r to out, in column order; returns how many.
std::size_t gather_finite(const column_list& cols, std::size_t row, double* out);

// numpy.mean(x) - numpy.mean(y) for x, y the finite values of each row in a
// and b; NaN when either has none.
void mean_differences(const column_list& a, const column_list& b, std::size_t rows, double* out);

// scipy.stats.ttest_ind(x, y, equal_var=!welch) on the finite values of each
// row whose `tested` flag is set: its statistic and the degrees of freedom
// scipy gives the t distribution. Rows not tested get NaN for both. Rows are
// spread over the cores.
void t_tests(const column_list& a, const column_list& b, std::size_t rows,
             const std::uint8_t* tested, bool welch, double* t, double* df);

// How the groups' counts of a row are combined against a minimum.
enum class valid_rule {
    each,  // every group has at least the minimum
    any,   // at least one group has
    all,   // the groups together have
};

// keep[r] = 1 when row r passes: counts[g][r] is the count of group g.
void rows_with_valid(const std::int64_t* const* counts, std::size_t groups, std::size_t rows,
                     std::int64_t minimum, valid_rule rule, std::uint8_t* keep);

// Rows that share one key (see batch_rows), in row order.
struct row_batch {
    std::vector<std::int64_t> key;
    std::vector<std::size_t> rows;
};

// The rows whose `tested` flag is set, grouped by key: row r's key is
// (keys[0][r], ..., keys[width - 1][r]). Batches come in increasing key order.
std::vector<row_batch> batch_rows(const std::int64_t* const* keys, std::size_t width,
                                  std::size_t rows, const std::uint8_t* tested);

// The shape a two-sample rank test sees in each tested row: the number of
// finite values in a and in b, and whether two of them tie (1) or not (0).
void rank_shapes(const column_list& a, const column_list& b, std::size_t rows,
                 const std::uint8_t* tested, std::int64_t* na, std::int64_t* nb,
                 std::int64_t* tied);

// out[rows[k]] = values[k] for k < count.
void scatter(const double* values, const std::size_t* rows, std::size_t count, double* out);

// The finite values of the listed rows of each group side by side, one row
// of `out` per listed row: every listed row must hold sizes[g] finite values
// in group g. out has count x (sizes[0] + ... + sizes[groups - 1]) cells.
void gather_samples(const column_list* groups, const std::size_t* sizes, std::size_t group_count,
                    const std::size_t* rows, std::size_t count, double* out);

// Every column of the groups, in order, laid out row by row: out[r * width + c]
// is row r of the c-th column (width: the columns of all groups). Missing
// cells are copied as they are.
void interleave(const column_list* groups, std::size_t group_count, std::size_t rows, double* out);

// True when all finite values of row r across the groups are equal (or
// there are none).
bool all_equal(const column_list* groups, std::size_t group_count, std::size_t row);

// numpy.mean(v) and numpy.std(v, ddof=1) of the finite values of one column
// of n cells, and how many there are; scratch holds n values.
std::size_t finite_mean_std(const double* column, std::size_t n, double* scratch, double& mean,
                            double& std);

// The normal distribution a downshifted column's missing cells are drawn
// from: mean m - shift * s, standard deviation width * s.
void downshift(double m, double s, double shift, double width, double& loc, double& scale);

// Copies a column of n cells to out and fills its NaN cells, in row order,
// with fill[0], fill[1], ... (one value each when `each`, else fill[0] for
// all); marks them in filled (1 filled, 0 not). Returns the number filled.
std::size_t fill_missing(const double* column, std::size_t n, const double* fill, bool each,
                         double* out, std::uint8_t* filled);

// Copies the finite cells of a column of n cells to out, in row order; returns how many.
std::size_t copy_finite(const double* column, std::size_t n, double* out);

// Number of NaN cells of a column of n cells.
std::size_t count_nan(const double* column, std::size_t n);

// int64 values as float64, as numpy converts them.
void int_to_double(const std::int64_t* in, std::size_t n, double* out);

}  // namespace tessera::kernels
