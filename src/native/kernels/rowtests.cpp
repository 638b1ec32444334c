#include "kernels/rowtests.hpp"

#include "kernels/oneway.hpp"
#include "kernels/pairwise.hpp"
#include "kernels/parallel.hpp"
#include "kernels/permutation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "kernels/exact_rounding.hpp"

namespace tessera::kernels {

namespace {

// Rows computed together, one per lane.
constexpr std::size_t width = 32;
using block = lanes<width>;

// Rows handed to one task of a parallel loop: enough to amortise the task.
constexpr std::size_t chunk_rows = 1024;

// `width` consecutive rows of some columns: cell(c, b) is column c's cell
// in row first + b. The table's last rows, fewer than `width`, are copied
// into a zero-padded block of their own.
class row_block {
public:
    row_block(const column_list& cols, std::size_t first, std::size_t count) : cols_(cols.columns) {
        first_ = first;
        if (count == width) return;
        padded_.assign(cols.size * width, 0.0);
        pointers_.resize(cols.size);
        for (std::size_t c = 0; c < cols.size; ++c) {
            for (std::size_t b = 0; b < count; ++b) padded_[c * width + b] = cols.columns[c][first + b];
            pointers_[c] = padded_.data() + c * width;
        }
        cols_ = pointers_.data();
        first_ = 0;
    }
    double operator()(std::size_t c, std::size_t b) const { return cols_[c][first_ + b]; }

private:
    const double* const* cols_;
    std::size_t first_;
    std::vector<double> padded_;
    std::vector<const double*> pointers_;
};

// Cells (rows x columns) below which a loop stays on the calling thread:
// about a millisecond of work, less than starting a thread and waiting for
// it may cost on a busy machine.
constexpr std::size_t parallel_cells = std::size_t{1} << 20;

// task(first, count) for consecutive ranges of at most `width` rows of
// `columns` values each, the ranges spread over the cores for a large table.
template <class Task>
void row_blocks(std::size_t rows, std::size_t columns, const Task& task) {
    const auto chunk = [&](std::size_t c) {
        const std::size_t end = std::min(rows, (c + 1) * chunk_rows);
        for (std::size_t first = c * chunk_rows; first < end; first += width)
            task(first, std::min(width, end - first));
    };
    const std::size_t chunks = (rows + chunk_rows - 1) / chunk_rows;
    if (rows * columns < parallel_cells) {
        for (std::size_t c = 0; c < chunks; ++c) chunk(c);
        return;
    }
    parallel_for(chunks, chunk);
}

// Lane b of block moments, as one sample's moments.
moments_of<double> lane(const moments_of<block>& m, std::size_t b) { return {m.mean[b], m.var[b]}; }

}  // namespace

void gather_row(const column_list& cols, std::size_t row, double* out) {
    for (std::size_t c = 0; c < cols.size; ++c) out[c] = cols.columns[c][row];
}

void t_test_rows(const column_list& a, const column_list& b, std::size_t rows, bool welch,
                 double* t, double* df, double* minus_abs_t) {
    const std::size_t nx = a.size, ny = b.size;
    row_blocks(rows, a.size + b.size, [&](std::size_t first, std::size_t count) {
        const moments_of<block> x = mean_and_var<width>(row_block(a, first, count), nx);
        const moments_of<block> y = mean_and_var<width>(row_block(b, first, count), ny);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t r = first + i;
            if (welch) {
                t[r] = welch_t_statistic(lane(x, i), nx, lane(y, i), ny, df[r]);
            } else {
                t[r] = pooled_t_statistic(lane(x, i), nx, lane(y, i), ny);
                df[r] = static_cast<double>(nx + ny) - 2.0;
            }
            minus_abs_t[r] = -std::fabs(t[r]);
        }
    });
}

void paired_t_rows(const column_list& a, const column_list& b, std::size_t rows, double* t,
                   double* df, double* minus_abs_t) {
    const std::size_t n = a.size;
    row_blocks(rows, 2 * n, [&](std::size_t first, std::size_t count) {
        const row_block x(a, first, count), y(b, first, count);
        const moments_of<block> d = mean_and_var<width>(
            [&](std::size_t c, std::size_t i) { return x(c, i) - y(c, i); }, n);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t r = first + i;
            t[r] = one_sample_t_statistic(lane(d, i), n);
            df[r] = static_cast<double>(n) - 1.0;
            minus_abs_t[r] = -std::fabs(t[r]);
        }
    });
}

void paired_means(const column_list& a, const column_list& b, std::size_t pairs,
                  std::size_t rows, double* out) {
    row_blocks(rows, 2 * pairs, [&](std::size_t first, std::size_t count) {
        const row_block x(a, first, count), y(b, first, count);
        const block sum = reduce_sum<width>(
            [&](std::size_t c, std::size_t i) { return x(c, i) - y(c, i); }, pairs);
        for (std::size_t i = 0; i < count; ++i) out[first + i] = sum[i] / static_cast<double>(pairs);
    });
}

void paired_means(const std::int64_t* const* a, const std::int64_t* const* b, std::size_t pairs,
                  std::size_t rows, double* out) {
    row_blocks(rows, 2 * pairs, [&](std::size_t first, std::size_t count) {
        // each difference in int64, wrapping as numpy's int64 scalars do (in
        // unsigned arithmetic: no signed overflow), then as float64
        std::vector<double> d(pairs * width, 0.0);
        for (std::size_t c = 0; c < pairs; ++c)
            for (std::size_t i = 0; i < count; ++i)
                d[c * width + i] = static_cast<double>(static_cast<std::int64_t>(
                    static_cast<std::uint64_t>(a[c][first + i]) -
                    static_cast<std::uint64_t>(b[c][first + i])));
        const block sum = reduce_sum<width>(
            [&](std::size_t c, std::size_t i) { return d[c * width + i]; }, pairs);
        for (std::size_t i = 0; i < count; ++i) out[first + i] = sum[i] / static_cast<double>(pairs);
    });
}

namespace {

// The groups' columns one after another.
struct pooled_columns {
    std::vector<const double*> columns;
    std::vector<std::size_t> sizes;

    pooled_columns(const column_list* groups, std::size_t group_count) {
        for (std::size_t g = 0; g < group_count; ++g) {
            columns.insert(columns.end(), groups[g].columns, groups[g].columns + groups[g].size);
            sizes.push_back(groups[g].size);
        }
    }
    column_list list() const { return {columns.data(), columns.size()}; }
};

}  // namespace

void oneway_centre_rows(const column_list* groups, std::size_t group_count, std::size_t rows,
                        double* centred, double* offsets) {
    const pooled_columns pooled(groups, group_count);
    const std::size_t n = pooled.columns.size();
    row_blocks(rows, n, [&](std::size_t first, std::size_t count) {
        const row_block x(pooled.list(), first, count);
        const block sum = reduce_sum<width>(x, n);
        for (std::size_t i = 0; i < count; ++i) offsets[first + i] = sum[i] / static_cast<double>(n);
        for (std::size_t i = 0; i < count; ++i)
            for (std::size_t c = 0; c < n; ++c)
                centred[(first + i) * n + c] = x(c, i) - offsets[first + i];
    });
}

void oneway_f_rows(const column_list* groups, std::size_t group_count, std::size_t rows,
                   const double* offsets, const double* dots, double* f) {
    const pooled_columns pooled(groups, group_count);
    const std::size_t n = pooled.columns.size();
    row_blocks(rows, n, [&](std::size_t first, std::size_t count) {
        const row_block x(pooled.list(), first, count);
        block offset;
        for (std::size_t i = 0; i < width; ++i) offset.v[i] = i < count ? offsets[first + i] : 0.0;
        // the centred values, each recomputed as oneway_centre_rows computed it
        const auto centred_from = [&](std::size_t start) {
            return [&, start](std::size_t c, std::size_t i) { return x(start + c, i) - offset[i]; };
        };
        const block centred_sum = reduce_sum<width>(centred_from(0), n);
        std::vector<block> group_sums(group_count);
        // flags as 0/1 lanes, combined without branches
        bool missing[width] = {}, every_group_constant[width], all_constant[width];
        for (std::size_t i = 0; i < width; ++i) every_group_constant[i] = all_constant[i] = true;
        for (std::size_t c = 0; c < n; ++c)
            for (std::size_t i = 0; i < width; ++i) missing[i] = missing[i] | std::isnan(x(c, i));
        // numpy's all(diff(values) == 0), within each group and over the row
        for (std::size_t g = 0, start = 0; g < group_count; start += pooled.sizes[g++]) {
            group_sums[g] = reduce_sum<width>(centred_from(start), pooled.sizes[g]);
            for (std::size_t c = start + 1; c < start + pooled.sizes[g]; ++c)
                for (std::size_t i = 0; i < width; ++i)
                    every_group_constant[i] = every_group_constant[i] & (x(c, i) - x(c - 1, i) == 0.0);
        }
        for (std::size_t c = 1; c < n; ++c)
            for (std::size_t i = 0; i < width; ++i)
                all_constant[i] = all_constant[i] & (x(c, i) - x(c - 1, i) == 0.0);
        std::vector<double> sums(group_count);
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t g = 0; g < group_count; ++g) sums[g] = group_sums[g][i];
            const oneway_sums row{missing[i], centred_sum[i], dots[first + i], sums.data(),
                                  every_group_constant[i], all_constant[i]};
            f[first + i] = oneway_statistic(row, pooled.sizes.data(), group_count, n);
        }
    });
}

bool any_nan(const column_list& cols, std::size_t rows) {
    for (std::size_t c = 0; c < cols.size; ++c)
        for (std::size_t r = 0; r < rows; ++r)
            if (std::isnan(cols.columns[c][r])) return true;
    return false;
}

void row_means(const column_list& cols, std::size_t rows, row_sum order, double* out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    row_blocks(rows, cols.size, [&](std::size_t first, std::size_t count) {
        const row_block values(cols, first, count);
        // pandas adds a NaN as 0.0 and counts the values that are not NaN
        const auto value = [&](std::size_t c, std::size_t i) {
            const double v = values(c, i);
            return std::isnan(v) ? 0.0 : v;
        };
        block sum, measured;
        for (std::size_t i = 0; i < width; ++i) sum.v[i] = measured.v[i] = 0.0;
        if (order == row_sum::pairwise) {
            sum = reduce_sum<width>(value, cols.size);
        } else {
            for (std::size_t c = 0; c < cols.size; ++c)
                for (std::size_t i = 0; i < width; ++i) sum.v[i] = sum.v[i] + value(c, i);
        }
        for (std::size_t c = 0; c < cols.size; ++c)
            for (std::size_t i = 0; i < width; ++i) measured.v[i] += std::isnan(values(c, i)) ? 0.0 : 1.0;
        for (std::size_t i = 0; i < count; ++i)
            out[first + i] = measured[i] > 0.0 ? sum[i] / measured[i] : nan;
    });
}

}  // namespace tessera::kernels
