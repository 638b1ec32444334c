#include "kernels/finite.hpp"

#include "kernels/parallel.hpp"
#include "kernels/permutation.hpp"
#include "kernels/rowkinds.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "kernels/exact_rounding.hpp"

namespace tessera::kernels {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Rows handed to one task of a parallel loop: enough to amortise the task.
constexpr std::size_t chunk_rows = 512;

}  // namespace

void count_finite(const column_list& cols, std::size_t rows, std::int64_t* counts) {
    std::fill(counts, counts + rows, std::int64_t{0});
    for (std::size_t c = 0; c < cols.size; ++c) {
        const double* column = cols.columns[c];
        for (std::size_t r = 0; r < rows; ++r) counts[r] += std::isfinite(column[r]) ? 1 : 0;
    }
}

std::size_t gather_finite(const column_list& cols, std::size_t row, double* out) {
    std::size_t n = 0;
    for (std::size_t c = 0; c < cols.size; ++c) {
        const double v = cols.columns[c][row];
        if (std::isfinite(v)) out[n++] = v;
    }
    return n;
}

void mean_differences(const column_list& a, const column_list& b, std::size_t rows, double* out) {
    std::vector<double> x(a.size), y(b.size);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t nx = gather_finite(a, r, x.data());
        const std::size_t ny = gather_finite(b, r, y.data());
        // numpy.mean of an empty sample is NaN (0.0 / 0)
        out[r] = numpy_mean(x.data(), nx) - numpy_mean(y.data(), ny);
    }
}

void t_tests(const column_list& a, const column_list& b, std::size_t rows,
             const std::uint8_t* tested, bool welch, double* t, double* df) {
    const std::size_t chunks = (rows + chunk_rows - 1) / chunk_rows;
    parallel_for(chunks, [&](std::size_t chunk) {
        std::vector<double> x(a.size), y(b.size);
        const std::size_t end = std::min(rows, (chunk + 1) * chunk_rows);
        for (std::size_t r = chunk * chunk_rows; r < end; ++r) {
            if (!tested[r]) {
                t[r] = df[r] = nan;
                continue;
            }
            const std::size_t nx = gather_finite(a, r, x.data());
            const std::size_t ny = gather_finite(b, r, y.data());
            if (welch) {
                t[r] = welch_t_statistic(x.data(), nx, y.data(), ny, df[r]);
            } else {
                t[r] = pooled_t_statistic(x.data(), nx, y.data(), ny);
                df[r] = static_cast<double>(nx + ny) - 2.0;
            }
        }
    });
}

void rows_with_valid(const std::int64_t* const* counts, std::size_t groups, std::size_t rows,
                     std::int64_t minimum, valid_rule rule, std::uint8_t* keep) {
    for (std::size_t r = 0; r < rows; ++r) {
        bool every = true, some = false;
        std::int64_t total = 0;
        for (std::size_t g = 0; g < groups; ++g) {
            const bool enough = counts[g][r] >= minimum;
            every = every && enough;
            some = some || enough;
            total += counts[g][r];
        }
        keep[r] = rule == valid_rule::each ? every : rule == valid_rule::any ? some : total >= minimum;
    }
}

std::vector<row_batch> batch_rows(const std::int64_t* const* keys, std::size_t width,
                                  std::size_t rows, const std::uint8_t* tested) {
    std::vector<std::size_t> order;
    for (std::size_t r = 0; r < rows; ++r)
        if (tested[r]) order.push_back(r);
    auto before = [&](std::size_t p, std::size_t q) {
        for (std::size_t w = 0; w < width; ++w)
            if (keys[w][p] != keys[w][q]) return keys[w][p] < keys[w][q];
        return false;
    };
    // a stable sort keeps each batch in row order
    std::stable_sort(order.begin(), order.end(), before);
    std::vector<row_batch> batches;
    for (std::size_t r : order) {
        if (batches.empty() || before(batches.back().rows.front(), r)) {
            row_batch batch;
            for (std::size_t w = 0; w < width; ++w) batch.key.push_back(keys[w][r]);
            batches.push_back(std::move(batch));
        }
        batches.back().rows.push_back(r);
    }
    return batches;
}

void rank_shapes(const column_list& a, const column_list& b, std::size_t rows,
                 const std::uint8_t* tested, std::int64_t* na, std::int64_t* nb,
                 std::int64_t* tied) {
    std::vector<double> pooled(a.size + b.size);
    for (std::size_t r = 0; r < rows; ++r) {
        if (!tested[r]) {
            na[r] = nb[r] = tied[r] = 0;
            continue;
        }
        const std::size_t nx = gather_finite(a, r, pooled.data());
        const std::size_t ny = gather_finite(b, r, pooled.data() + nx);
        na[r] = static_cast<std::int64_t>(nx);
        nb[r] = static_cast<std::int64_t>(ny);
        tied[r] = has_ties(pooled.data(), nx + ny);
    }
}

void scatter(const double* values, const std::size_t* rows, std::size_t count, double* out) {
    for (std::size_t k = 0; k < count; ++k) out[rows[k]] = values[k];
}

void gather_samples(const column_list* groups, const std::size_t* sizes, std::size_t group_count,
                    const std::size_t* rows, std::size_t count, double* out) {
    const std::size_t width = std::accumulate(sizes, sizes + group_count, std::size_t{0});
    for (std::size_t k = 0; k < count; ++k) {
        double* sample = out + k * width;
        for (std::size_t g = 0; g < group_count; ++g) {
            gather_finite(groups[g], rows[k], sample);
            sample += sizes[g];
        }
    }
}

void interleave(const column_list* groups, std::size_t group_count, std::size_t rows, double* out) {
    std::size_t width = 0;
    for (std::size_t g = 0; g < group_count; ++g) width += groups[g].size;
    // blocks of rows, so that each block's slice of a column stays in cache
    constexpr std::size_t block = 256;
    for (std::size_t first = 0; first < rows; first += block) {
        const std::size_t end = std::min(rows, first + block);
        std::size_t c = 0;
        for (std::size_t g = 0; g < group_count; ++g) {
            for (std::size_t j = 0; j < groups[g].size; ++j, ++c) {
                const double* column = groups[g].columns[j];
                for (std::size_t r = first; r < end; ++r) out[r * width + c] = column[r];
            }
        }
    }
}

bool all_equal(const column_list* groups, std::size_t group_count, std::size_t row) {
    bool seen = false;
    double first = 0.0;
    for (std::size_t g = 0; g < group_count; ++g) {
        for (std::size_t c = 0; c < groups[g].size; ++c) {
            const double v = groups[g].columns[c][row];
            if (!std::isfinite(v)) continue;
            if (seen && v != first) return false;
            seen = true;
            first = v;
        }
    }
    return true;
}

std::size_t finite_mean_std(const double* column, std::size_t n, double* scratch, double& mean,
                            double& std) {
    const std::size_t count = copy_finite(column, n, scratch);
    // numpy's _var: the mean from the pairwise sum, the squared deviations
    // summed pairwise, divided by n - ddof, then the square root
    mean = numpy_mean(scratch, count);
    for (std::size_t i = 0; i < count; ++i) {
        const double d = scratch[i] - mean;
        scratch[i] = d * d;
    }
    std = std::sqrt(numpy_sum(scratch, count) / (static_cast<double>(count) - 1.0));
    return count;
}

void downshift(double m, double s, double shift, double width, double& loc, double& scale) {
    loc = m - shift * s;
    scale = width * s;
}

std::size_t fill_missing(const double* column, std::size_t n, const double* fill, bool each,
                         double* out, std::uint8_t* filled) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool missing = std::isnan(column[i]);
        out[i] = missing ? fill[each ? used : 0] : column[i];
        filled[i] = missing;
        used += missing;
    }
    return used;
}

std::size_t copy_finite(const double* column, std::size_t n, double* out) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(column[i])) out[count++] = column[i];
    return count;
}

std::size_t count_nan(const double* column, std::size_t n) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += std::isnan(column[i]);
    return count;
}

void int_to_double(const std::int64_t* in, std::size_t n, double* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(in[i]);
}

}  // namespace tessera::kernels
