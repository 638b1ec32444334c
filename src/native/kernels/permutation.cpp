#include "kernels/permutation.hpp"

#include "kernels/pairwise.hpp"
#include "kernels/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <vector>

#include "kernels/exact_rounding.hpp"

namespace tessera::kernels {

using moments = moments_of<double>;

namespace {

inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

inline unsigned bit_length(std::uint64_t n) {
#if defined(__GNUC__) || defined(__clang__)
    return n == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(n));
#else
    unsigned k = 0;
    for (; n != 0; n >>= 1) ++k;
    return k;
#endif
}

// mean_and_var of a[0..n).
moments mean_and_var(const double* a, std::size_t n) {
    return kernels::mean_and_var([a](std::size_t i) { return a[i]; }, n);
}

}  // namespace

sha256_bit_stream::sha256_bit_stream(std::string_view seed) noexcept {
    state_.update(seed);
    state_.update(",", 1);
}

std::uint64_t sha256_bit_stream::next_word() noexcept {
    if (word_index_ == 4) {
        const sha256::digest_type d = state_.digest();
        state_.update_zeros(1);
        ++counter_;
        // The digest is one big-endian integer; words_[0] holds its lowest 64 bits.
        for (int w = 0; w < 4; ++w) words_[w] = load_be64(d.data() + 8 * (3 - w));
        word_index_ = 0;
    }
    return words_[word_index_++];
}

std::uint64_t sha256_bit_stream::bits(unsigned k) noexcept {
    if (k <= pending_bits_) {
        const std::uint64_t v = k == 64 ? pending_ : pending_ & ((std::uint64_t{1} << k) - 1);
        pending_ = k == 64 ? 0 : pending_ >> k;
        pending_bits_ -= k;
        return v;
    }
    // Take every pending bit and the rest from the next word (1 <= need <= 64).
    const unsigned have = pending_bits_;
    const unsigned need = k - have;
    const std::uint64_t w = next_word();
    const std::uint64_t top = need == 64 ? w : w & ((std::uint64_t{1} << need) - 1);
    const std::uint64_t v = pending_ | (top << have);
    pending_ = need == 64 ? 0 : w >> need;
    pending_bits_ = 64 - need;
    return v;
}

std::uint64_t sha256_bit_stream::below(std::uint64_t n) noexcept {
    if (n == 0) return 0;  // outside the contract; CPython would loop forever here
    // bit_length(n), not bit_length(n - 1): a power of two wastes a bit, as CPython does.
    const unsigned k = bit_length(n);
    std::uint64_t r = bits(k);
    while (r >= n) r = bits(k);
    return r;
}

void python_shuffle(std::uint32_t* idx, std::size_t n, sha256_bit_stream& bits) noexcept {
    for (std::size_t i = n; i-- > 1;) {
        const std::size_t j = static_cast<std::size_t>(bits.below(i + 1));
        std::swap(idx[i], idx[j]);
    }
}

double numpy_sum(const double* a, std::size_t n) noexcept {
    return reduce_sum([a](std::size_t i) { return a[i]; }, n);
}

double numpy_mean(const double* a, std::size_t n) noexcept {
    return numpy_sum(a, n) / static_cast<double>(n);
}

double pooled_t_statistic(moments ma, std::size_t na, moments mb, std::size_t nb) noexcept {
    // scipy answers an empty sample with NaN (and a SmallSampleWarning).
    if (na == 0 || nb == 0) return std::numeric_limits<double>::quiet_NaN();
    // _equal_var_ttest_denom: a single observation contributes no variance
    // (its ddof=1 variance is 0 * inf = NaN before this override).
    if (na == 1) ma.var = 0.0;
    if (nb == 1) mb.var = 0.0;
    const double n1 = static_cast<double>(na);
    const double n2 = static_cast<double>(nb);
    const double df = static_cast<double>(na + nb) - 2.0;
    const double svar = ((n1 - 1.0) * ma.var + (n2 - 1.0) * mb.var) / df;
    const double denom = std::sqrt(svar * (1.0 / n1 + 1.0 / n2));
    return (ma.mean - mb.mean) / denom;
}

double pooled_t_statistic(const double* a, std::size_t na, const double* b,
                          std::size_t nb) noexcept {
    if (na == 0 || nb == 0) return std::numeric_limits<double>::quiet_NaN();
    return pooled_t_statistic(mean_and_var(a, na), na, mean_and_var(b, nb), nb);
}

double pow_square(double x) noexcept {
    // The C library's pow(x, 2.0) is not always x * x: it is within 0.52 ulp
    // of the exact square, so it may round a square lying close to halfway
    // between two doubles the other way. x * x is the exact square rounded
    // to nearest; where the exact square is within 0.4 ulp of it, no other
    // double is within 0.52 ulp and pow gives x * x as well. The rounding
    // error comes exactly from Dekker's product (x split into two 26-bit
    // halves), away from overflow and underflow; pow answers the rest. The
    // exponent is read through a volatile so that the compiler cannot turn
    // pow(x, 2) into x * x.
    static volatile double two = 2.0;
    const double p = x * x;
    const double size = std::fabs(x);
    if (!(size > 0x1p-450 && size < 0x1p+450)) return std::pow(x, static_cast<double>(two));
    const double split = 134217729.0 * x;  // 2**27 + 1
    const double hi = split - (split - x);
    const double lo = x - hi;
    const double error = ((hi * hi - p) + 2.0 * hi * lo) + lo * lo;
    // 2**e for p in [2**e, 2**(e+1)): p with its mantissa cleared
    std::uint64_t bits;
    std::memcpy(&bits, &p, sizeof bits);
    bits &= 0x7FF0000000000000ull;
    double scale;
    std::memcpy(&scale, &bits, sizeof scale);
    // 0.4 ulp of p is 0.4 * 2**(e - 52)
    if (std::fabs(error) < scale * (0.4 * 0x1p-52)) return p;
    return std::pow(x, static_cast<double>(two));
}

double welch_t_statistic(const moments& ma, std::size_t na, const moments& mb, std::size_t nb,
                         double& df) noexcept {
    const double vn1 = ma.var / static_cast<double>(na);
    const double vn2 = mb.var / static_cast<double>(nb);
    // _unequal_var_ttest_denom on numpy scalars: ** is the C library's pow
    df = pow_square(vn1 + vn2) / (pow_square(vn1) / static_cast<double>(na - 1) +
                                  pow_square(vn2) / static_cast<double>(nb - 1));
    if (std::isnan(df)) df = 1.0;
    const double denom = std::sqrt(vn1 + vn2);
    return (ma.mean - mb.mean) / denom;
}

double welch_t_statistic(const double* a, std::size_t na, const double* b, std::size_t nb,
                         double& df) noexcept {
    return welch_t_statistic(mean_and_var(a, na), na, mean_and_var(b, nb), nb, df);
}

double one_sample_t_statistic(const moments& m, std::size_t n) noexcept {
    // the mean less the population mean (a float64 0.0), over sqrt(var / n)
    const double denom = std::sqrt(m.var / static_cast<double>(n));
    return (m.mean - 0.0) / denom;
}

std::string seed_text(std::int64_t seed) { return std::to_string(seed); }

two_sample_result permutation_t_test(const double* x, std::size_t nx, const double* y,
                                     std::size_t ny, std::size_t reps, std::string_view seed,
                                     alternative alt, const cancel_hook& cancel,
                                     double* distribution) noexcept {
    two_sample_result res;
    res.p_value = std::numeric_limits<double>::quiet_NaN();
    const std::size_t n = nx + ny;
    // Indices are 32-bit; counts and reps + 1 must stay exact in a double.
    if (n < nx || n > std::numeric_limits<std::uint32_t>::max() ||
        reps >= (std::size_t{1} << 52) || (x == nullptr && nx != 0) ||
        (y == nullptr && ny != 0) ||
        (alt != alternative::two_sided && alt != alternative::greater &&
         alt != alternative::less)) {
        res.status = run_status::invalid_argument;
        return res;
    }
    res.t_observed = pooled_t_statistic(x, nx, y, ny);

    try {
        // The library permutes rows of the pooled sample through a list of row
        // numbers that is shuffled again, in place, at every repetition.
        std::vector<double> pooled(n);
        std::copy(x, x + nx, pooled.begin());
        std::copy(y, y + ny, pooled.begin() + static_cast<std::ptrdiff_t>(nx));
        std::vector<std::uint32_t> rows(n);
        std::iota(rows.begin(), rows.end(), std::uint32_t{0});
        std::vector<double> drawn(n);
        sha256_bit_stream bits(seed);

        // A NaN observed statistic compares false with everything: no hits,
        // whatever the permutations give, so they need not be drawn.
        const bool skip = std::isnan(res.t_observed) && distribution == nullptr;
        const std::size_t interval = cancel.interval == 0 ? 1 : cancel.interval;
        for (std::size_t rep = 0; rep < reps && !skip; ++rep) {
            if (cancel.should_stop != nullptr && rep % interval == 0 &&
                cancel.should_stop(cancel.context)) {
                res.status = run_status::cancelled;
                return res;
            }
            python_shuffle(rows.data(), n, bits);
            for (std::size_t i = 0; i < n; ++i) drawn[i] = pooled[rows[i]];
            const double t = pooled_t_statistic(drawn.data(), nx, drawn.data() + nx, ny);
            if (distribution != nullptr) distribution[rep] = t;
            res.hits_greater += t >= res.t_observed;
            res.hits_less += t <= res.t_observed;
            res.reps_done = rep + 1;
        }
        if (skip) res.reps_done = reps;
    } catch (const std::bad_alloc&) {
        res.status = run_status::out_of_memory;
        return res;
    }

    // p = hits / (reps + 1) + 1 / (reps + 1) for one tail, and
    // 2 * min(0.5, upper, lower) for both, in the library's order of operations.
    const double total = static_cast<double>(reps) + 1.0;
    const double plus_one = 1.0 / total;
    const double upper = static_cast<double>(res.hits_greater) / total + plus_one;
    const double lower = static_cast<double>(res.hits_less) / total + plus_one;
    switch (alt) {
        case alternative::greater: res.p_value = upper; break;
        case alternative::less: res.p_value = lower; break;
        default: res.p_value = 2.0 * std::min(0.5, std::min(upper, lower)); break;
    }
    return res;
}

two_sample_result permutation_t_test(const double* x, std::size_t nx, const double* y,
                                     std::size_t ny, std::size_t reps, std::int64_t seed,
                                     alternative alt, const cancel_hook& cancel,
                                     double* distribution) noexcept {
    // Python's str(int) is the plain decimal form; formatted without allocating.
    char text[24];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, seed);
    return permutation_t_test(x, nx, y, ny, reps,
                              std::string_view(text, static_cast<std::size_t>(end.ptr - text)),
                              alt, cancel, distribution);
}

run_status permutation_rows(const double* xs, std::size_t nx, const double* ys, std::size_t ny,
                            std::size_t rows, const cancel_hook& cancel, double* t,
                            double* p) {
    std::atomic<int> stopped{static_cast<int>(run_status::ok)};
    parallel_for(rows, [&](std::size_t r) {
        if (stopped.load() != static_cast<int>(run_status::ok)) return;
        const double* x = xs + r * nx;
        const double* y = ys + r * ny;
        t[r] = p[r] = pooled_t_statistic(x, nx, y, ny);
        if (std::isnan(t[r])) return;
        const two_sample_result res = permutation_t_test(x, nx, y, ny, default_reps,
                                                         default_seed, alternative::two_sided,
                                                         cancel);
        if (res.status != run_status::ok) {
            int ok = static_cast<int>(run_status::ok);
            stopped.compare_exchange_strong(ok, static_cast<int>(res.status));
            return;
        }
        t[r] = res.t_observed;
        p[r] = res.p_value;
    });
    return static_cast<run_status>(stopped.load());
}

}  // namespace tessera::kernels
