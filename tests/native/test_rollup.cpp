// Known answers of the roll-up kernels: the median, MaxLFQ of one protein
// (closed-form, direct and iterative solves, the level rule) and median
// polish. The driver (grouping, top N, sum, repeated cells, Ctrl-C) is
// checked from Python against tests/twin_quant.py.
//
// Built by CMake with -DTESSERA_KERNEL_TESTS=ON and run by ctest;
// tests/test_native_kernels.py does both.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "checks.hpp"
#include "kernels/maxlfq.hpp"
#include "kernels/median.hpp"
#include "kernels/median_polish.hpp"

using namespace tessera::kernels;

namespace {

using checks::check;
const double nan = std::numeric_limits<double>::quiet_NaN();

// Relative closeness, with NaN equal only to NaN.
bool close(double a, double b, double tolerance = 1e-12) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::fabs(a - b) <= tolerance * std::fabs(b);
}

void check_all(const std::vector<double>& got, const std::vector<double>& expected,
               const std::string& what, double tolerance = 1e-12) {
    bool ok = got.size() == expected.size();
    for (std::size_t i = 0; ok && i < got.size(); ++i) ok = close(got[i], expected[i], tolerance);
    check(ok, what);
}

double median_of(std::vector<double> v) { return median_in_place(v.data(), v.size()); }

void test_median() {
    check(median_of({1.0, 4.0}) == 2.5, "median of two values");
    check(median_of({4.0, 1.0, 3.0, 2.0}) == 2.5, "median of four values (the network)");
    check(median_of({9, 2, 13, 4, 8, 1, 12, 6, 5, 11, 3, 10, 7}) == 7.0,
          "median of thirteen values (the network of 16)");
    check(median_of({9, 2, 16, 4, 8, 1, 12, 6, 5, 11, 3, 10, 7, 14, 15, 13}) == 8.5,
          "median of sixteen values");
    std::vector<double> many;
    for (int i = 1; i <= 40; ++i) many.push_back((i * 17) % 41);  // 1..40 shuffled: selection
    check(median_of(many) == 20.5, "median of forty values");
    many.push_back(0.5);
    check(median_of(many) == 20.0, "median of forty-one values");
}

// maxlfq of `features` x `runs` values given feature by feature.
std::vector<double> maxlfq_of(const std::vector<std::vector<double>>& by_feature,
                              std::size_t min_shared = 1, double ridge = 1e-4) {
    const std::size_t features = by_feature.size(), runs = by_feature[0].size();
    std::vector<double> values(features * runs);
    for (std::size_t f = 0; f < features; ++f)
        for (std::size_t j = 0; j < runs; ++j) values[j * features + f] = by_feature[f][j];
    maxlfq_settings s;
    s.min_shared = min_shared;
    s.ridge = ridge;
    maxlfq_workspace ws;
    std::vector<double> out(runs);
    maxlfq(values.data(), features, runs, s, ws, out.data());
    return out;
}

void test_maxlfq() {
    // one feature: its quantities, bit for bit
    const std::vector<double> one = maxlfq_of({{3.0, nan, 0.1}});
    check(one[0] == 3.0 && std::isnan(one[1]) && one[2] == 0.1, "one feature keeps its quantities");
    // consistent ratios: the profile of the most intense feature, whatever the ridge
    for (double ridge : {0.0, 1e-4, 1.0})
        check_all(maxlfq_of({{1, 2, 4}, {2, 4, 8}}, 1, ridge), {2, 4, 8},
                  "consistent ratios sit on the most intense feature, ridge " + std::to_string(ridge));
    // a chain a-b-c: ratios 2 and 1/2, levels weighted by the ratios of each run
    // (1, 2, 1): b = (10 * 20^2 * 40 / 2^2)^(1/4) = 10 sqrt 2
    const double b = 10 * std::sqrt(2.0);
    check_all(maxlfq_of({{10, 5, nan}, {nan, 20, 40}}, 1, 0.0), {2 * b, b, 2 * b},
              "chain of three runs, ridge 0", 1e-12);
    // a run sharing nothing keeps its most intense feature; with min_shared 2 it
    // needs two features of its own
    check_all(maxlfq_of({{7, nan, nan}, {nan, 3, 6}, {5, nan, nan}}), {7, 3, 6},
              "run without ratios");
    check_all(maxlfq_of({{7, nan, nan}, {nan, 3, 6}, {nan, 1, 2}}, 2), {nan, 3, 6},
              "run without ratios and too few features");
    check_all(maxlfq_of({{7, 1, 2}, {nan, 3, 6}}, 2), {nan, 3, 6},
              "min_shared 2 drops the ratios of one shared feature");
    // the median of the ratios 2, 2 and 8 is 2; the level sits between the
    // most intense features 8 and 2: a = 4 sqrt 2, b = 2 sqrt 2
    check_all(maxlfq_of({{2, 1}, {4, 2}, {8, 1}}, 1, 0.0), {4 * std::sqrt(2.0), 2 * std::sqrt(2.0)},
              "median ratio");
    // a chain of 60 runs (feature k in runs k and k + 1) on the profile
    // exp(0.1 j): the iterative solve must find it exactly
    const std::size_t runs = 60;
    std::vector<std::vector<double>> chain(runs - 1, std::vector<double>(runs, nan));
    std::vector<double> profile(runs);
    for (std::size_t j = 0; j < runs; ++j) profile[j] = std::exp(0.1 * static_cast<double>(j));
    for (std::size_t k = 0; k + 1 < runs; ++k) chain[k][k] = profile[k], chain[k][k + 1] = profile[k + 1];
    for (double ridge : {0.0, 1e-4})
        check_all(maxlfq_of(chain, 1, ridge), profile, "chain of 60 runs, ridge " + std::to_string(ridge),
                  1e-9);
    // the same profile through 50 runs that all share one of two features, but
    // one pair of runs shares none: an incomplete graph solved iteratively
    std::vector<std::vector<double>> nearly(2, std::vector<double>(50));
    for (std::size_t j = 0; j < 50; ++j) nearly[0][j] = nearly[1][j] = std::exp(0.05 * static_cast<double>(j));
    nearly[0][0] = nan;
    nearly[1][1] = nan;
    std::vector<double> expected(50);
    for (std::size_t j = 0; j < 50; ++j) expected[j] = std::exp(0.05 * static_cast<double>(j));
    check_all(maxlfq_of(nearly, 1, 1e-4), expected, "nearly complete graph of 50 runs", 1e-9);
}

void test_median_polish() {
    // additive log2 table: the row medians, then the runs' effects on the overall median
    std::vector<double> values = {2, 2048, 4, 4096, 8, 8192};  // run by run, two features
    median_polish_workspace ws;
    std::vector<double> out(3);
    median_polish(values.data(), 2, 3, ws, out.data());
    check_all(out, {64, 128, 256}, "median polish of an additive table");
    std::vector<double> single = {nan, 5.0, 7.0};
    median_polish(single.data(), 1, 3, ws, out.data());
    check(std::isnan(out[0]) && out[1] == 5.0 && out[2] == 7.0, "median polish of one feature");
}

}  // namespace

int main() {
    test_median();
    test_maxlfq();
    test_median_polish();
    return checks::report();
}
