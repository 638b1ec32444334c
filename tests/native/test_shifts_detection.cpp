// Standalone checks of the column-shift and detection-test kernels against
// known answers: Fisher's exact test of small tables (counted by hand from
// binomial coefficients), numpy's median, and density peaks of samples whose
// peak is known by symmetry.
//
// Built by CMake with -DTESSERA_KERNEL_TESTS=ON (target kernel_tests) and run
// by ctest; tests/test_native_kernels.py does both.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kernels/detection.hpp"
#include "kernels/shifts.hpp"

using namespace tessera::kernels;

namespace {

int failed = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        ++failed;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

bool close(double a, double b, double rel = 1e-12) { return std::fabs(a - b) <= rel * std::fabs(b); }

void fisher_tables() {
    const std::int64_t three[] = {3, 3}, nine[] = {9, 9}, four[] = {4, 4};
    const std::int64_t all_or_none[] = {3, 0}, nine_none[] = {9, 0}, one_each[] = {2, 1};
    // 3 of 6 measured, all in one group: 2 of the C(6, 3) = 20 ways are as extreme
    check(close(detection::exact_p(three, all_or_none, 2), 0.1), "3 vs 0 of 3 and 3");
    check(close(detection::exact_p(nine, nine_none, 2), 2.0 / 48620.0), "9 vs 0 of 9 and 9");
    // 2 vs 1: every table is at least as extreme as the middle ones
    check(close(detection::exact_p(three, one_each, 2), 1.0), "2 vs 1 of 3 and 3");
    check(close(detection::least_p(four, 2, 4), 2.0 / 70.0), "least p of 4 of 8");
    check(close(detection::least_p(three, 2, 1), 1.0), "least p of 1 of 6");
    // three groups of 2 with 2 measured: C(2,2) tables (prob 1/15 each, 3 of
    // them) are the least probable; the others have probability 4/15
    const std::int64_t pairs[] = {2, 2, 2}, both_in_one[] = {2, 0, 0};
    check(close(detection::exact_p(pairs, both_in_one, 3), 3.0 / 15.0), "2 of 6 in three pairs");
}

void rows_share_patterns() {
    const std::int64_t sizes[] = {3, 3};
    const std::vector<std::int64_t> a = {3, 0, 2, 3}, b = {0, 3, 1, 3};
    const std::int64_t* counts[] = {a.data(), b.data()};
    std::vector<double> p(4), least(4);
    check(detection::exact_tests(counts, sizes, 2, 4, p.data(), least.data()), "exact_tests runs");
    check(close(p[0], 0.1) && close(p[1], 0.1) && close(p[2], 1.0), "exact_tests p-values");
    check(std::isnan(p[3]) && std::isnan(least[3]), "every sample measured: no test");
}

void medians_and_peaks() {
    std::vector<double> odd = {3.0, -1.0, 2.0}, even = {4.0, 1.0, 3.0, 2.0};
    check(shifts::median(odd.data(), odd.size()) == 2.0, "median of 3");
    check(shifts::median(even.data(), even.size()) == 2.5, "median of 4");
    check(std::isnan(shifts::median(nullptr, 0)), "median of none");
    // a sample symmetric about 0.25: its density peaks there
    std::vector<double> symmetric;
    for (int i = -50; i <= 50; ++i) symmetric.push_back(0.25 + 0.01 * i * std::fabs(i) / 50.0);
    check(std::fabs(shifts::density_peak(symmetric.data(), symmetric.size()) - 0.25) < 1e-12,
          "peak of a symmetric sample");
    std::vector<double> equal(5, 7.5);
    check(shifts::density_peak(equal.data(), equal.size()) == 7.5, "peak of equal values");
    check(shifts::coverage(shifts::estimate::ratio_mode, 6) == 5 &&
              shifts::coverage(shifts::estimate::ratio_median, 3) == 3 &&
              shifts::coverage(shifts::estimate::median_complete, 9) == 9,
          "coverage");
}

}  // namespace

int main() {
    fisher_tables();
    rows_share_patterns();
    medians_and_peaks();
    if (failed) std::printf("%d check(s) failed\n", failed);
    return failed ? 1 : 0;
}
