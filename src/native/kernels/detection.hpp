// Exact tests of detection (whether a feature was measured in each sample)
// between groups of samples, and the hurdle answer that joins them with a
// test of the measured intensities.
//
// A feature's detection is a 2 x G table: measured[g] of sizes[g] samples of
// group g measured it. Given its margins (the group sizes and the total
// measured), the table follows the multivariate hypergeometric law when the
// samples are exchangeable, whatever each feature's chance of being measured:
// the tests here are exact at every sample size, so their p-values are never
// below what the data support. The price is granularity: with few samples no
// table is rare enough (3 against 3: no p-value below 0.1).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessera::kernels::detection {

// Tables whose probability is within this relative distance of the observed
// one count as equally probable, as R's fisher.test allows for rounding.
constexpr double tie_tolerance = 1e-7;

// The law of the table probability is laid out group by group, tables of
// equal probability merged; a design that needs more partial tables than
// this at a step (many groups of different sizes: 10 groups of 10 samples
// need about a million) has no exact test here.
constexpr std::size_t max_partial_tables = std::size_t{1} << 21;

// The p-value of the Freeman-Halton test of the table (Fisher's exact test
// when there are two groups): the total probability, given the margins, of
// the tables no more probable than the observed one. Group sizes are
// positive; 1 when every sample or none measured the feature; NaN past
// max_partial_tables.
double exact_p(const std::int64_t* sizes, const std::int64_t* measured, std::size_t groups);

// The smallest p-value exact_p can give for these group sizes and `total`
// samples measured: that of the least probable table with these margins.
double least_p(const std::int64_t* sizes, std::size_t groups, std::int64_t total);

// exact_p and least_p of every row, where counts[g][r] is the number of
// samples of group g that measured row r, from one law for all rows; NaN for
// both where every sample or none did (no table to test), and for every row
// past max_partial_tables. should_stop(context) is asked at each group of
// the law; true stops the work and returns false (outputs then unset).
bool exact_tests(const std::int64_t* const* counts, const std::int64_t* sizes,
                 std::size_t groups, std::size_t rows, double* p, double* least,
                 bool (*should_stop)(void*) = nullptr, void* context = nullptr);

// What a feature's hurdle answer rests on.
enum evidence : std::uint8_t { none = 0, intensity = 1, detection = 2, both = 3 };

// The evidence of each row: the intensity test where it gave a p-value, the
// detection test where its margins let it reach `level` (least_p <= level),
// both where both. A detection test that cannot reach the level is left out
// whatever its outcome: it could not decide a call at that level, and as the
// rule looks only at the margins, which say nothing about a difference
// between the groups, leaving it out biases nothing and keeps it out of the
// family of tests (Tarone 1990; Gilbert 2005). statistic[r] is Fisher's
// combination of the two p-values, -2 (log p_intensity + log p_detection),
// chi-square with 4 df under the null, where both; NaN elsewhere.
void choose_evidence(const double* intensity_p, const double* detection_p, const double* least,
                     double level, std::size_t rows, std::uint8_t* evidence, double* statistic);

// answer[r]: the intensity p-value, the detection p-value, or `combined`
// (the chi-square tail of the statistic), as the evidence says; NaN for none.
void hurdle_answers(const std::uint8_t* evidence, const double* intensity_p,
                    const double* detection_p, const double* combined, std::size_t rows,
                    double* answer);

}  // namespace tessera::kernels::detection
