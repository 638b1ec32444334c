// Known answers of the column-shift and detection-test kernels: Fisher's
// exact test of small tables (counted by hand from binomial coefficients)
// and density peaks whose place is known by symmetry.
//
// Built by CMake with -DTESSERA_KERNEL_TESTS=ON (target kernel_tests) and run
// by ctest; tests/test_native_kernels.py does both.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "checks.hpp"
#include "kernels/detection.hpp"
#include "kernels/shifts.hpp"

using namespace tessera::kernels;

namespace {

using checks::check;

bool close(double a, double b) { return std::fabs(a - b) <= 1e-12 * std::fabs(b); }

}  // namespace

int main() {
    const std::int64_t three[] = {3, 3}, nine[] = {9, 9}, four[] = {4, 4}, pairs[] = {2, 2, 2};
    const std::int64_t all_or_none[] = {3, 0}, nine_none[] = {9, 0}, both_in_one[] = {2, 0, 0};
    // 3 of 6 measured, all in one group: 2 of the C(6, 3) = 20 ways are as extreme
    check(close(detection::exact_p(three, all_or_none, 2), 0.1), "3 vs 0 of 3 and 3");
    check(close(detection::exact_p(nine, nine_none, 2), 2.0 / 48620.0), "9 vs 0 of 9 and 9");
    check(close(detection::least_p(four, 2, 4), 2.0 / 70.0), "least p of 4 of 8");
    // three pairs, 2 measured: 3 tables of weight 1 and 3 of weight 4 out of C(6, 2) = 15
    check(close(detection::exact_p(pairs, both_in_one, 3), 3.0 / 15.0), "2 of 6 in three pairs");

    std::vector<double> symmetric;
    for (int i = -50; i <= 50; ++i) symmetric.push_back(0.25 + 0.01 * i * std::fabs(i) / 50.0);
    check(std::fabs(shifts::density_peak(symmetric.data(), symmetric.size()) - 0.25) < 1e-12,
          "peak of a sample symmetric about 0.25");
    std::vector<double> even = {4.0, 1.0, 3.0, 2.0};
    check(shifts::median(even.data(), even.size()) == 2.5, "median of 4 values");
    check(shifts::coverage(shifts::estimate::ratio_mode, 6) == 5 &&
              shifts::coverage(shifts::estimate::ratio_median, 3) == 3,
          "profile coverage: three quarters of the columns, rounded up");
    return checks::report();
}
