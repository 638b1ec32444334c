// Standalone checks of the kernels on measured (finite) values.
//
// Built by CMake with -DTESSERA_KERNEL_TESTS=ON (target kernel_tests) and run
// by ctest; tests/test_native_kernels.py does both.
//
// Expected numbers marked "library" were produced with numpy 2.4 and scipy
// 1.17 and printed with float.hex(), on the finite values f of the samples:
//   np.mean(f), np.std(f, ddof=1)
//   scipy.stats.ttest_ind(xf, yf, equal_var=...)   -> statistic, df
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "checks.hpp"
#include "kernels/finite.hpp"

using namespace tessera::kernels;

namespace {

using checks::check;

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

void test_counts_and_gathering() {
    const double a[] = {1.0, nan, inf, 4.0};
    const double b[] = {nan, 2.0, 3.0, -inf};
    const double* columns[] = {a, b};
    const column_list both{columns, 2};
    std::int64_t counts[4];
    count_finite(both, 4, counts);
    check(counts[0] == 1 && counts[1] == 1 && counts[2] == 1 && counts[3] == 1, "count_finite");
    double out[2] = {0, 0};
    check(gather_finite(both, 2, out) == 1 && out[0] == 3.0, "gather_finite skips +-inf and NaN");
    check(copy_finite(a, 4, out) == 2 && out[0] == 1.0 && out[1] == 4.0, "copy_finite");
    check(count_nan(b, 4) == 1, "count_nan counts NaN only");
}

void test_rules_and_batches() {
    const std::int64_t g0[] = {2, 0, 3, 1};
    const std::int64_t g1[] = {2, 3, 1, 1};
    const std::int64_t* counts[] = {g0, g1};
    std::uint8_t keep[4];
    rows_with_valid(counts, 2, 4, 2, valid_rule::each, keep);
    check(keep[0] && !keep[1] && !keep[2] && !keep[3], "each");
    rows_with_valid(counts, 2, 4, 2, valid_rule::any, keep);
    check(keep[0] && keep[1] && keep[2] && !keep[3], "any");
    rows_with_valid(counts, 2, 4, 3, valid_rule::all, keep);
    check(keep[0] && keep[1] && keep[2] && !keep[3], "all: the groups together");

    const std::int64_t k0[] = {3, 2, 3, 2, 3};
    const std::int64_t k1[] = {1, 5, 1, 5, 0};
    const std::int64_t* keys[] = {k0, k1};
    const std::uint8_t tested[] = {1, 1, 1, 0, 1};
    const std::vector<row_batch> batches = batch_rows(keys, 2, 5, tested);
    check(batches.size() == 3, "three distinct keys among the tested rows");
    check(batches.size() == 3 && batches[0].key == std::vector<std::int64_t>{2, 5} &&
              batches[0].rows == std::vector<std::size_t>{1},
          "batches in key order, untested rows left out");
    check(batches.size() == 3 && batches[2].rows == std::vector<std::size_t>{0, 2},
          "a batch keeps row order");
}

void test_samples_and_shapes() {
    const double a[] = {1.0, nan, 5.0};
    const double b[] = {2.0, 7.0, nan};
    const double c[] = {0.0, -0.0, 9.0};
    const double* ab[] = {a, b};
    const double* cc[] = {c};
    const column_list groups[] = {{ab, 2}, {cc, 1}};
    const std::size_t sizes[] = {2, 1};
    const std::size_t rows[] = {0};
    double out[3];
    gather_samples(groups, sizes, 2, rows, 1, out);
    check(out[0] == 1.0 && out[1] == 2.0 && out[2] == 0.0, "gather_samples puts groups side by side");

    const std::uint8_t tested[] = {1, 1, 0};
    std::int64_t na[3], nb[3], tied[3];
    rank_shapes(groups[0], groups[1], 3, tested, na, nb, tied);
    check(na[0] == 2 && nb[0] == 1 && tied[0] == 0, "no tie in row 0");
    check(na[1] == 1 && nb[1] == 1 && tied[1] == 0, "row 1: 7 against -0.0");
    const double d[] = {0.0, 1.0};
    const double e[] = {-0.0, 2.0};
    const double* dd[] = {d};
    const double* ee[] = {e};
    rank_shapes({dd, 1}, {ee, 1}, 1, tested, na, nb, tied);
    check(tied[0] == 1, "0.0 and -0.0 tie");
    check(all_equal(groups, 2, 1) == false && all_equal(groups + 1, 1, 0), "all_equal");
}

void test_statistics() {
    // library: np.mean / np.std(ddof=1) of the 9 finite values
    const double column[] = {1.5, nan, 2.25, inf, -0.5, 3.0, 1e-3, 7.25, -inf, 0.1, 11.0, 4.5};
    double scratch[12], mean = 0, std = 0;
    check(finite_mean_std(column, 12, scratch, mean, std) == 9, "nine finite values");
    check(mean == 0x1.9de181ef29300p+1, "numpy mean of the finite values");
    check(std == 0x1.e803e9b27a4b8p+1, "numpy std (ddof=1) of the finite values");
    double loc = 0, scale = 0;
    downshift(10.0, 2.0, 1.8, 0.3, loc, scale);
    check(loc == 10.0 - 1.8 * 2.0 && scale == 0.3 * 2.0, "downshift");

    // library: ttest_ind([1, 2, 4], [3, 5, 7.5, 2], equal_var=...)
    const double y0[] = {3.0}, y1[] = {inf}, y2[] = {5.0}, y3[] = {7.5}, y4[] = {2.0};
    const double* ys[] = {y0, y1, y2, y3, y4};
    // one row: x's four cells are the columns of group a
    const double xa[] = {1.0}, xb[] = {2.0}, xc[] = {4.0}, xd[] = {nan};
    const double* xcols[] = {xa, xb, xc, xd};
    const std::uint8_t tested[] = {1};
    double t = 0, df = 0;
    t_tests({xcols, 4}, {ys, 5}, 1, tested, true, &t, &df);
    check(t == -0x1.5c4f622774516p+0 && df == 0x1.3c135e99ea23bp+2, "Welch t and df");
    t_tests({xcols, 4}, {ys, 5}, 1, tested, false, &t, &df);
    check(t == -0x1.43a5be2817607p+0 && df == 5.0, "Student t and df");
    const std::uint8_t untested[] = {0};
    t_tests({xcols, 4}, {ys, 5}, 1, untested, true, &t, &df);
    check(std::isnan(t) && std::isnan(df), "an untested row gets NaN");
    double fc = 0;
    mean_differences({xcols, 4}, {ys, 5}, 1, &fc);
    check(fc == -0x1.0555555555555p+1, "difference of the numpy means");
}

void test_filling() {
    const double column[] = {1.0, nan, inf, nan};
    const double draws[] = {7.0, 8.0};
    double out[4];
    std::uint8_t filled[4];
    check(fill_missing(column, 4, draws, true, out, filled) == 2, "two cells filled");
    check(out[1] == 7.0 && out[3] == 8.0 && out[2] == inf && filled[1] && !filled[2],
          "draws go to the NaN cells in row order, inf stays");
    fill_missing(column, 4, draws, false, out, filled);
    check(out[1] == 7.0 && out[3] == 7.0, "one value for every NaN cell");
}

}  // namespace

int main() {
    test_counts_and_gathering();
    test_rules_and_batches();
    test_samples_and_shapes();
    test_statistics();
    test_filling();
    return checks::report();
}
