// Standalone checks of the kernels that test many rows at once
// (kernels/rowtests.hpp): each row's numbers must be, bit for bit, those of
// the one-sample kernels on that row alone, for every row count (partial
// blocks of rows, several tasks) and group size (every branch of numpy's
// pairwise sum), with NaN and infinities among the values.
//
// Built by CMake with -DTESSERA_KERNEL_TESTS=ON (target kernel_tests) and run
// by ctest; tests/test_native_kernels.py does both.
//
// Expected numbers marked "library" were produced with numpy 2.4 and scipy
// 1.17 and printed with float.hex().
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "checks.hpp"
#include "kernels/oneway.hpp"
#include "kernels/pairwise.hpp"
#include "kernels/permutation.hpp"
#include "kernels/rowtests.hpp"

using namespace tessera::kernels;

namespace {

using checks::check;

// Bitwise equality (the sign of zero too), with every NaN equal to every NaN.
bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

// A table of `columns` columns of `rows` values: normal values of varied
// scale, with some NaN, infinities, repeated values and negative zeros.
struct table {
    std::vector<std::vector<double>> values;
    std::vector<const double*> pointers;

    table(std::size_t columns, std::size_t rows, unsigned seed) {
        std::mt19937_64 rng(seed);
        std::normal_distribution<double> normal(24.0, 2.0);
        std::uniform_real_distribution<double> uniform;
        values.assign(columns, std::vector<double>(rows));
        for (auto& column : values) {
            for (double& v : column) {
                const double u = uniform(rng);
                v = u < 0.02 ? nan : u < 0.025 ? inf : u < 0.03 ? -inf : u < 0.1 ? std::round(normal(rng))
                    : u < 0.11 ? -0.0 : normal(rng) * (u < 0.5 ? 1.0 : 1e6);
            }
        }
        for (auto& column : values) pointers.push_back(column.data());
    }
    column_list slice(std::size_t first, std::size_t count) const {
        return {pointers.data() + first, count};
    }
    std::vector<double> row(const column_list& cols, std::size_t r) const {
        std::vector<double> out(cols.size);
        gather_row(cols, r, out.data());
        return out;
    }
};

// 4100 rows of the largest groups are enough cells for the loops to go parallel
const std::size_t row_counts[] = {1, 31, 32, 33, 1025, 2100, 4100};
const std::size_t group_sizes[] = {2, 3, 7, 8, 9, 16, 17, 130};

void test_t_tests_row_by_row() {
    for (std::size_t rows : row_counts) {
        for (std::size_t size : group_sizes) {
            const table t(2 * size + 1, rows, static_cast<unsigned>(rows * 1000 + size));
            const column_list a = t.slice(0, size), b = t.slice(size, size + 1);
            std::vector<double> stat(rows), df(rows), minus_abs(rows);
            for (bool welch : {false, true}) {
                t_test_rows(a, b, rows, welch, stat.data(), df.data(), minus_abs.data());
                bool ok = true;
                for (std::size_t r = 0; r < rows; ++r) {
                    const std::vector<double> x = t.row(a, r), y = t.row(b, r);
                    double expected_df = static_cast<double>(2 * size + 1) - 2.0;
                    const double expected =
                        welch ? welch_t_statistic(x.data(), size, y.data(), size + 1, expected_df)
                              : pooled_t_statistic(x.data(), size, y.data(), size + 1);
                    ok = ok && same(stat[r], expected) && same(df[r], expected_df) &&
                         same(minus_abs[r], -std::fabs(expected));
                }
                check(ok, std::string(welch ? "Welch" : "pooled") + " rows=" + std::to_string(rows) +
                              " size=" + std::to_string(size));
            }
            paired_t_rows(a, t.slice(size, size), rows, stat.data(), df.data(), minus_abs.data());
            bool ok = true;
            for (std::size_t r = 0; r < rows; ++r) {
                const std::vector<double> x = t.row(a, r), y = t.row(t.slice(size, size), r);
                std::vector<double> d(size);
                for (std::size_t i = 0; i < size; ++i) d[i] = x[i] - y[i];
                const double expected = one_sample_t_statistic(
                    mean_and_var([&](std::size_t i) { return d[i]; }, size), size);
                ok = ok && same(stat[r], expected) && same(df[r], static_cast<double>(size) - 1.0);
            }
            check(ok, "paired rows=" + std::to_string(rows) + " size=" + std::to_string(size));
        }
    }
}

void test_known_answers() {
    // library: ttest_1samp(a - b, 0) of the samples below, statistic and df
    const double a[] = {1.5, -2.25, 3.0, 0.125, 7.0, -1.0, 2.5, 4.75, 0.5, -3.5};
    const double b[] = {0.5, 1.25, -2.0, 3.125, 1.0, 2.0, -0.5, 1.75, 2.5, 0.25};
    std::vector<const double*> xs, ys;
    for (std::size_t i = 0; i < 10; ++i) {
        xs.push_back(a + i);
        ys.push_back(b + i);
    }
    double t = 0, df = 0, minus_abs = 0;
    paired_t_rows({xs.data(), 10}, {ys.data(), 10}, 1, &t, &df, &minus_abs);
    check(same(t, 0x1.d9140b99785afp-3) && df == 9.0, "paired t of ten pairs");
    paired_t_rows({xs.data(), 3}, {ys.data(), 3}, 1, &t, &df, &minus_abs);
    check(same(t, 0x1.5b9178aa38c0cp-2) && df == 2.0, "paired t of three pairs");
}

void test_paired_means() {
    for (std::size_t rows : row_counts) {
        for (std::size_t size : group_sizes) {
            const table t(2 * size, rows, static_cast<unsigned>(rows + size));
            std::vector<double> out(rows);
            paired_means(t.slice(0, size), t.slice(size, size), size, rows, out.data());
            bool ok = true;
            for (std::size_t r = 0; r < rows; ++r) {
                std::vector<double> d(size);
                for (std::size_t i = 0; i < size; ++i) d[i] = t.values[i][r] - t.values[size + i][r];
                ok = ok && same(out[r], numpy_mean(d.data(), size));
            }
            check(ok, "paired means rows=" + std::to_string(rows) + " size=" + std::to_string(size));
        }
    }
    // int64 differences wrap as numpy's int64 scalars do: max - (-1) is min
    const std::int64_t high[] = {std::numeric_limits<std::int64_t>::max(), 7};
    const std::int64_t low[] = {-1, 9};
    const std::int64_t* a[] = {high, high + 1};
    const std::int64_t* b[] = {low, low + 1};
    double mean = 0;
    paired_means(a, b, 2, 1, &mean);
    check(same(mean, (-0x1p63 + -2.0) / 2.0), "int64 paired means wrap around");
}

void test_row_means() {
    for (std::size_t rows : row_counts) {
        for (std::size_t size : group_sizes) {
            const table t(size, rows, static_cast<unsigned>(7 * rows + size));
            const column_list cols = t.slice(0, size);
            std::vector<double> sequential(rows), pairwise(rows);
            row_means(cols, rows, row_sum::sequential, sequential.data());
            row_means(cols, rows, row_sum::pairwise, pairwise.data());
            bool ok = true;
            for (std::size_t r = 0; r < rows; ++r) {
                // pandas: NaN filled with 0.0, summed from 0.0, over the count of the rest
                std::vector<double> filled = t.row(cols, r);
                double sum = 0.0, count = 0.0;
                for (double& v : filled) {
                    count += std::isnan(v) ? 0.0 : 1.0;
                    v = std::isnan(v) ? 0.0 : v;
                    sum = sum + v;
                }
                ok = ok && same(sequential[r], count > 0.0 ? sum / count : nan) &&
                     same(pairwise[r], count > 0.0 ? numpy_sum(filled.data(), size) / count : nan);
            }
            check(ok, "row means rows=" + std::to_string(rows) + " size=" + std::to_string(size));
        }
    }
    const double all_missing[] = {nan, nan};
    const double* columns[] = {all_missing, all_missing + 1};
    double mean = 0;
    row_means({columns, 2}, 1, row_sum::sequential, &mean);
    check(std::isnan(mean), "the mean of a row without a value is NaN");
    check(any_nan({columns, 2}, 1) && !any_nan({columns, 0}, 1), "any_nan");
}

void test_oneway_rows_match_pooled_rows() {
    const std::size_t sizes[][3] = {{2, 3, 4}, {8, 8, 8}, {1, 1, 1}, {9, 1, 17}};
    for (std::size_t rows : row_counts) {
        for (const auto& group_size : sizes) {
            const std::size_t n = group_size[0] + group_size[1] + group_size[2];
            table t(n, rows, static_cast<unsigned>(rows * 3 + n));
            // constant groups and constant rows, which f_oneway answers with inf and NaN
            for (std::size_t c = 0; c < group_size[0]; ++c) t.values[c][0] = 5.0;
            if (rows > 1)
                for (std::size_t c = 0; c < n; ++c) t.values[c][1] = 3.0;
            std::vector<column_list> groups;
            for (std::size_t g = 0, start = 0; g < 3; start += group_size[g++])
                groups.push_back(t.slice(start, group_size[g]));
            std::vector<double> centred(rows * n), offsets(rows), dots(rows), f(rows);
            oneway_centre_rows(groups.data(), 3, rows, centred.data(), offsets.data());
            // the pooled rows through the one-row kernels
            std::vector<double> pooled(rows * n), pooled_centred(rows * n), pooled_offsets(rows), expected(rows);
            for (std::size_t r = 0; r < rows; ++r)
                for (std::size_t c = 0; c < n; ++c) pooled[r * n + c] = t.values[c][r];
            oneway_centre(pooled.data(), n, rows, pooled_centred.data(), pooled_offsets.data());
            bool ok = true;
            for (std::size_t i = 0; i < rows * n; ++i) ok = ok && same(centred[i], pooled_centred[i]);
            for (std::size_t r = 0; r < rows; ++r) {
                ok = ok && same(offsets[r], pooled_offsets[r]);
                double dot = 0.0;
                for (std::size_t c = 0; c < n; ++c) dot += centred[r * n + c] * centred[r * n + c];
                dots[r] = dot;
            }
            check(ok, "one-way centring rows=" + std::to_string(rows) + " n=" + std::to_string(n));
            oneway_f_rows(groups.data(), 3, rows, offsets.data(), dots.data(), f.data());
            oneway_f(pooled.data(), group_size, 3, rows, pooled_offsets.data(),
                     pooled_centred.data(), dots.data(), expected.data());
            ok = true;
            for (std::size_t r = 0; r < rows; ++r) ok = ok && same(f[r], expected[r]);
            check(ok, "one-way F rows=" + std::to_string(rows) + " n=" + std::to_string(n));
        }
    }
}

// pow_square against the C library's pow itself: on squares near halfway
// between two doubles (about one in a thousand of random values) pow rounds
// differently from x * x, and pow_square must follow it there too.
void test_pow_square() {
    static volatile double two = 2.0;
    std::mt19937_64 rng(11);
    std::size_t mismatches = 0, differ_from_product = 0;
    for (std::size_t i = 0; i < 2000000; ++i) {
        // a random mantissa and sign in binades from 2**-520 to 2**519
        std::uint64_t bits = rng() & 0x800FFFFFFFFFFFFFull;
        bits |= static_cast<std::uint64_t>(1023 - 520 + i % 1040) << 52;
        double x;
        std::memcpy(&x, &bits, sizeof x);
        const double expected = std::pow(x, static_cast<double>(two));
        mismatches += !same(pow_square(x), expected);
        differ_from_product += expected != x * x;
    }
    for (double x : {0.0, -0.0, nan, inf, -inf, 1.0, -3.0, 1e-160, 1e160, 5e-324, 1.7e308})
        mismatches += !same(pow_square(x), std::pow(x, static_cast<double>(two)));
    check(mismatches == 0, "pow_square is pow(x, 2.0): " + std::to_string(mismatches) + " differ");
    // the values reach the cases where pow is not x * x
    check(differ_from_product > 100, "pow(x, 2.0) differs from x * x on some values");
}

}  // namespace

int main() {
    test_t_tests_row_by_row();
    test_known_answers();
    test_paired_means();
    test_row_means();
    test_oneway_rows_match_pooled_rows();
    test_pow_square();
    return checks::report();
}
