// Two-sample permutation t test, reproducing bit for bit
//     permute.core.two_sample(x, y, reps=reps, stat="t", alternative=alt, seed=seed)
// (as verified with permute 0.2, cryptorandom 0.4, scipy 1.17, numpy 2.4, CPython 3.11).
//
// Every repetition recomputes the statistic with the same floating-point
// operations in the same order as the library (numpy's pairwise summation,
// scipy's variance and pooled-denominator formulas), so each permutation's
// statistic is bit-identical to the library's and no >= / <= comparison with
// the observed statistic can come out differently.
//
// Build without -ffast-math and with -ffp-contract=off: a fused multiply-add
// in place of a separate multiply and add changes the rounding.
//
// Everything here is reentrant: no global mutable state, no locks, no Python;
// independent calls may run concurrently on different threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kernels/pairwise.hpp"
#include "kernels/sha256.hpp"

namespace tessera::kernels {

// Random bits of cryptorandom's SHA256 generator. Hash number c (from 0) is
// SHA-256 of the seed's text, a comma, and c zero bytes; each hash is read as a
// 256-bit big-endian integer and its bits are handed out least significant
// first, hash after hash, exactly as SHA256.getrandbits does.
class sha256_bit_stream {
public:
    // Generator keyed by the seed's text (Python's str(seed), e.g. "20").
    explicit sha256_bit_stream(std::string_view seed) noexcept;

    // Next k bits (0 <= k <= 64) as an integer; the first bit is the lowest.
    std::uint64_t bits(unsigned k) noexcept;

    // Uniform integer in [0, n), n >= 1, as random.Random._randbelow_with_getrandbits:
    // draw bit_length(n) bits, redraw while the value is >= n. below(0) returns 0.
    std::uint64_t below(std::uint64_t n) noexcept;

    // Hashes computed so far (the generator's counter).
    std::uint64_t hashes_used() const noexcept { return counter_; }

private:
    std::uint64_t next_word() noexcept;

    sha256 state_;              // seed text, comma, and counter_ zero bytes absorbed
    std::uint64_t counter_ = 0;
    std::uint64_t words_[4] = {0, 0, 0, 0};  // current hash, least significant word first
    unsigned word_index_ = 4;                // next unread word of words_; 4 = exhausted
    std::uint64_t pending_ = 0;              // bits taken from a word but not handed out yet
    unsigned pending_bits_ = 0;
};

// Shuffles idx[0..n) in place as random.Random.shuffle does: for i from n-1
// down to 1, swap idx[i] with idx[below(i + 1)].
void python_shuffle(std::uint32_t* idx, std::size_t n, sha256_bit_stream& bits) noexcept;

// Sum of a[0..n) in numpy's float64 order (0.0 plus the pairwise sum).
double numpy_sum(const double* a, std::size_t n) noexcept;

// Mean of a[0..n) as numpy.mean computes it (the sum divided by n).
double numpy_mean(const double* a, std::size_t n) noexcept;

// scipy.stats.ttest_ind(a, b, equal_var=True).statistic, operation for operation;
// NaN when either sample is empty. The second form takes the samples' moments
// (mean_and_var in pairwise.hpp) and sizes.
double pooled_t_statistic(const double* a, std::size_t na, const double* b,
                          std::size_t nb) noexcept;
double pooled_t_statistic(moments_of<double> a, std::size_t na, moments_of<double> b,
                          std::size_t nb) noexcept;

// scipy.stats.ttest_ind(a, b, equal_var=False).statistic for one feature, and
// the Welch-Satterthwaite degrees of freedom scipy passes to the t
// distribution (1 where they are undefined). na, nb >= 2.
double welch_t_statistic(const double* a, std::size_t na, const double* b, std::size_t nb,
                         double& df) noexcept;
double welch_t_statistic(const moments_of<double>& a, std::size_t na, const moments_of<double>& b,
                         std::size_t nb, double& df) noexcept;

// pow(x, 2.0) of the C library, as numpy's x ** 2 on a float64 scalar gives
// it, mostly without calling pow.
double pow_square(double x) noexcept;

// scipy.stats.ttest_1samp(a, 0).statistic from the moments of a sample of n
// >= 2 values, operation for operation.
double one_sample_t_statistic(const moments_of<double>& a, std::size_t n) noexcept;

// The repetitions and seed of the package's permutation test (its
// hypothesis_test and the per-feature tests that call it).
constexpr std::size_t default_reps = 10000;
constexpr std::int64_t default_seed = 20;

// Which tail(s) the p-value counts.
enum class alternative : int { two_sided = 0, greater = 1, less = 2 };

// How a permutation test run ended.
enum class run_status : int { ok = 0, cancelled = 1, invalid_argument = 2, out_of_memory = 3 };

// Optional cancellation hook: should_stop(context) is called before the first
// repetition and then every `interval` repetitions; returning true aborts the run.
struct cancel_hook {
    bool (*should_stop)(void* context) = nullptr;
    void* context = nullptr;
    std::size_t interval = 256;
};

// Repetitions between two cancellation checks for a pooled sample of n
// values: about 2**18 values shuffled in between (milliseconds, whatever
// the sample size), and at most 1024 repetitions.
inline std::size_t cancel_interval(std::size_t n) noexcept {
    const std::size_t reps = n == 0 ? 1024 : (std::size_t{1} << 18) / n;
    return reps < 1 ? 1 : (reps > 1024 ? 1024 : reps);
}

// Result of permutation_t_test.
struct two_sample_result {
    run_status status = run_status::ok;
    double t_observed = 0.0;         // statistic of x against y
    double p_value = 0.0;            // NaN unless status == ok
    std::uint64_t hits_greater = 0;  // repetitions whose statistic is >= t_observed
    std::uint64_t hits_less = 0;     // repetitions whose statistic is <= t_observed
    std::uint64_t reps_done = 0;     // repetitions completed (== reps when ok)
};

// Python's str() of an integer seed: the text the generator is keyed by.
std::string seed_text(std::int64_t seed);

// permute.core.two_sample(x, y, reps, stat="t", alternative, seed) with plus1=True.
// t_observed is pooled_t_statistic(x, y). Each repetition shuffles the row order
// of the pooled sample x ++ y again, in place (the shuffles accumulate), and
// takes the first nx rows against the rest. A NaN statistic counts in neither
// tail, so a NaN t_observed gives the two-sided p 2 / (reps + 1); +-inf compare
// as ordinary values. Per tail p = hits / (reps + 1) + 1 / (reps + 1); two-sided
// p = 2 * min(0.5, upper, lower). The seed is the text Python's str() gives the
// library's seed argument ("20" for 20, "20.0" for 20.0).
// Writes each repetition's statistic to distribution[0..reps) when it is not null.
two_sample_result permutation_t_test(const double* x, std::size_t nx, const double* y,
                                     std::size_t ny, std::size_t reps,
                                     std::string_view seed,
                                     alternative alt = alternative::two_sided,
                                     const cancel_hook& cancel = {},
                                     double* distribution = nullptr) noexcept;

// The same with an integer seed (keyed by its decimal text, as str(seed)).
two_sample_result permutation_t_test(const double* x, std::size_t nx, const double* y,
                                     std::size_t ny, std::size_t reps, std::int64_t seed,
                                     alternative alt = alternative::two_sided,
                                     const cancel_hook& cancel = {},
                                     double* distribution = nullptr) noexcept;

// The package's permutation test (default_reps, default_seed, two-sided) of
// every row, x = xs[r*nx .. r*nx+nx) against y likewise, spread over the
// cores. A NaN pooled t gives NaN for both values without permuting (no
// permutation can be compared with it). Returns ok, or the status of a row
// that stopped the work (cancelled, out of memory, a row the kernel does not
// take); t and p are then incomplete.
run_status permutation_rows(const double* xs, std::size_t nx, const double* ys, std::size_t ny,
                            std::size_t rows, const cancel_hook& cancel, double* t,
                            double* p);

}  // namespace tessera::kernels
