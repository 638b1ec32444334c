// Standalone checks of the SHA-256, permutation-test and row-kind kernels.
//
// Built by CMake with -DTESSERA_KERNEL_TESTS=ON (target kernel_tests) and run
// by ctest; tests/test_native_kernels.py does both.
//
// Expected numbers marked "library" were produced with CPython 3.11, numpy 2.4,
// scipy 1.17, permute 0.2 and cryptorandom 0.4 and printed with float.hex():
//   permute.core.two_sample(np.array(x), np.array(y), reps=..., stat="t",
//                           alternative=..., seed=...)            -> (p, t)
//   scipy.stats.ttest_ind(u, v, equal_var=True)[0]                -> t
//   np.sum(a)                                                     -> sum
//   cryptorandom.cryptorandom.SHA256(20).getrandbits / _randbelow / shuffle
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "checks.hpp"
#include "kernels/permutation.hpp"
#include "kernels/rowkinds.hpp"
#include "kernels/sha256.hpp"

using namespace tessera::kernels;

namespace {

using checks::check;

// Bitwise equality, with every NaN equal to every NaN.
bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b;
}

std::string hex(const sha256::digest_type& d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string fmt(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
void test_sha256_known_answers() {
    struct vec {
        const char* msg;
        const char* digest;
    };
    // FIPS 180-4 examples.
    const vec vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    };
    for (const vec& v : vectors) {
        check(hex(sha256::hash(v.msg, std::strlen(v.msg))) == v.digest,
              std::string("sha256 of \"") + v.msg + "\"");
        // The same message fed one byte at a time.
        sha256 h;
        for (const char* p = v.msg; *p; ++p) h.update(p, 1);
        check(hex(h.digest()) == v.digest, std::string("bytewise sha256 of \"") + v.msg + "\"");
    }
    // One million 'a', fed in uneven chunks that straddle block boundaries.
    sha256 h;
    const std::string chunk(997, 'a');
    std::size_t left = 1000000;
    while (left != 0) {
        const std::size_t n = left < chunk.size() ? left : chunk.size();
        h.update(chunk.data(), n);
        left -= n;
    }
    check(hex(h.digest()) == "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
          "sha256 of a million 'a'");
    check(h.length() == 1000000, "sha256 length");
}

void test_sha256_zero_padding_and_digest_is_non_destructive() {
    // hashlib.sha256(b"20," + b"\0" * n): the generator's hash number n for seed 20.
    // Lengths 63 and 64 put the end of the message on either side of the point
    // where the length field no longer fits in the last block.
    struct vec {
        std::uint64_t zeros;
        const char* digest;
    };
    const vec vectors[] = {
        {0, "b5a7b0349aa9eca619379322bcb103834e7e1af5949e977c363ceaff3593fb2b"},
        {1, "598f2a542b772cb4ade60d3f43589f9162e81e3645cbfd26e617933c18112a5c"},
        {60, "931cf2e456b17a2b33b6876b7673bccddcf257fb6493c4aa05c745144fc6951b"},
        {61, "d425f5001dc5f1d8d9367c2cc7665ea83c0b51b1dc0884e67277802c5f5a5a4a"},
        {125, "08f698cd272dd6be4e2ae4f3324f4eb41365d007b759fa27eeac3284a053a02e"},
    };
    sha256 running;
    running.update("20,");
    std::uint64_t absorbed = 0;
    for (const vec& v : vectors) {
        sha256 fresh;
        fresh.update("20,");
        fresh.update_zeros(v.zeros);
        check(hex(fresh.digest()) == v.digest,
              "sha256 of \"20,\" + " + std::to_string(v.zeros) + " zeros");
        // Appending one zero at a time after taking digests along the way.
        while (absorbed < v.zeros) {
            (void)running.digest();
            running.update_zeros(1);
            ++absorbed;
        }
        check(hex(running.digest()) == v.digest,
              "incremental sha256 of \"20,\" + " + std::to_string(v.zeros) + " zeros");
    }
    // update_zeros agrees with update on explicit zero bytes for every tail length.
    const std::vector<std::uint8_t> zeros(200, 0);
    bool all = true;
    for (std::size_t n = 0; n < 200; ++n) {
        sha256 a, b;
        a.update("xy");
        b.update("xy");
        a.update_zeros(n);
        b.update(zeros.data(), n);
        all = all && a.digest() == b.digest();
    }
    check(all, "update_zeros matches update with zero bytes");
}
void test_bit_stream_matches_cryptorandom() {
    // library: r = SHA256(20); [r.getrandbits(k) for k in ks]; r.counter == 2
    const unsigned ks[] = {3, 5, 64, 1, 63, 7, 13, 32, 64, 64, 2, 0, 40};
    const std::uint64_t expect[] = {0x3, 0x5, 0x7c363ceaff3593fb, 0x1, 0x41a73f0d7aca4f4b,
                                    0x3, 0x1962, 0x9379322b, 0x5a7b0349aa9eca61,
                                    0x617933c18112a5cb, 0x2, 0x0, 0xd9172ff49b};
    sha256_bit_stream s("20");
    bool all = true;
    for (std::size_t i = 0; i < sizeof ks / sizeof ks[0]; ++i)
        all = all && s.bits(ks[i]) == expect[i];
    check(all, "getrandbits sequence, seed 20");
    check(s.hashes_used() == 2, "getrandbits hash count");

    // library: r = SHA256(20); [r._randbelow(n) for n in ns]; r.counter == 1
    const std::uint64_t ns[] = {1, 2, 3, 8, 40, 4294967296ull, 9223372036854775813ull,
                                18446744073709551615ull, 17};
    const std::uint64_t below[] = {0, 1, 1, 6, 9, 2044067435, 9086845216838089782ull,
                                   4004582687481496398ull, 16};
    sha256_bit_stream r("20");
    all = true;
    for (std::size_t i = 0; i < sizeof ns / sizeof ns[0]; ++i)
        all = all && r.below(ns[i]) == below[i];
    check(all, "randbelow sequence, seed 20");
    check(r.hashes_used() == 1, "randbelow hash count");
}

void test_shuffle_matches_random_shuffle() {
    // library: r = SHA256(20); rr = list(range(40)); r.shuffle(rr); r.counter == 2
    const std::uint32_t once[40] = {1,  38, 35, 28, 5,  32, 27, 15, 29, 2,  19, 20, 21, 0,
                                    30, 4,  7,  10, 22, 6,  34, 18, 26, 17, 11, 25, 12, 8,
                                    37, 16, 13, 14, 39, 33, 9,  23, 31, 3,  24, 36};
    std::vector<std::uint32_t> idx(40);
    std::iota(idx.begin(), idx.end(), 0u);
    sha256_bit_stream s("20");
    python_shuffle(idx.data(), idx.size(), s);
    check(std::equal(idx.begin(), idx.end(), once), "shuffle of range(40), seed 20");
    check(s.hashes_used() == 2, "shuffle of range(40) hash count");

    // library: rr = list(range(10)) shuffled three times in place, counter 1
    const std::uint32_t thrice[10] = {9, 6, 5, 8, 7, 0, 4, 2, 1, 3};
    std::vector<std::uint32_t> small(10);
    std::iota(small.begin(), small.end(), 0u);
    sha256_bit_stream t("20");
    for (int i = 0; i < 3; ++i) python_shuffle(small.data(), small.size(), t);
    check(std::equal(small.begin(), small.end(), thrice), "range(10) shuffled three times");
    check(t.hashes_used() == 1, "three shuffles of 10 hash count");
}
// Exactly representable test data, reproducible in Python with the same formulas.
double wide_value(std::size_t i) {  // math.ldexp(i*7919 % 1000 - 500, i*37 % 61 - 30)
    return std::ldexp(static_cast<double>(static_cast<long>((i * 7919) % 1000) - 500),
                      static_cast<int>((i * 37) % 61) - 30);
}
double offset_value(std::size_t i) {  // (i*7919 % 1000) / 1000.0 + 1e6
    return static_cast<double>((i * 7919) % 1000) / 1000.0 + 1e6;
}
double seventh_value(std::size_t i) {  // (i*7919 % 1000) / 7.0
    return static_cast<double>((i * 7919) % 1000) / 7.0;
}

std::vector<double> series(int family, std::size_t n, std::size_t offset) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t k = i + offset;
        v[i] = family == 0 ? wide_value(k) : family == 1 ? offset_value(k) : seventh_value(k);
    }
    return v;
}

void test_numpy_sum_order() {
    // library: np.sum(series) for both families. The lengths cover the plain
    // loop (< 8), one block of 8 accumulators (<= 128) and the recursive split.
    struct vec {
        int family;
        std::size_t n;
        double sum;
    };
    const vec vectors[] = {
        {0, 1, -0x1.f400000000000p-22},  {0, 7, 0x1.010ed8b00a8fep+28},
        {0, 8, 0x1.010ed8b0022fep+28},   {0, 9, -0x1.4ef1274ffdd02p+28},
        {0, 15, 0x1.aa04b6bfb162bp+32},  {0, 16, 0x1.aa04b6bfb163dp+32},
        {0, 17, 0x1.aa1e36bfb163dp+32},  {0, 127, 0x1.bf0ad2d29a82fp+38},
        {0, 128, 0x1.bf0ad2d29a830p+38}, {0, 129, 0x1.bf0ad6f29a830p+38},
        {0, 255, 0x1.3253a8f3db040p+40}, {0, 256, 0x1.3253a41bdb040p+40},
        {0, 300, 0x1.96f944b43b446p+40}, {1, 1, 0x1.e848000000000p+19},
        {1, 7, 0x1.ab3f11322d0e6p+22},   {1, 8, 0x1.e84812ed91687p+22},
        {1, 9, 0x1.12a88a2b020c4p+23},   {1, 15, 0x1.c9c38efd70a3dp+23},
        {1, 16, 0x1.e848108f5c28fp+23},  {1, 17, 0x1.036648fbe76c9p+24},
        {1, 127, 0x1.e4777fbad0e56p+26}, {1, 128, 0x1.e8480fe872b02p+26},
        {1, 129, 0x1.ec18a010e5604p+26}, {1, 255, 0x1.e65fc7fa147aep+27},
        {1, 256, 0x1.e84810051eb85p+27}, {1, 300, 0x1.1e1a396266666p+28},
    };
    for (const vec& v : vectors) {
        const std::vector<double> a = series(v.family, v.n, 0);
        const double got = numpy_sum(a.data(), a.size());
        check(same(got, v.sum), "numpy_sum family " + std::to_string(v.family) + " n=" +
                                    std::to_string(v.n) + ": " + fmt(got) + " vs " + fmt(v.sum));
    }
    check(same(numpy_sum(nullptr, 0), 0.0), "numpy_sum of nothing");
    // library: np.sum(np.full(8, -0.0)) is +0.0; the eight accumulators alone would give -0.0.
    const double negative_zeros[8] = {-0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0};
    check(!std::signbit(numpy_sum(negative_zeros, 8)), "numpy_sum starts from +0.0");
}

void test_pooled_t_statistic() {
    // library: ttest_ind(a, b, equal_var=True)[0] with a = series(family, na, 0),
    // b = series(family, nb, 333). Sizes of 1 use the zero-variance override;
    // (1, 1) has no degrees of freedom.
    struct vec {
        int family;
        std::size_t na, nb;
        double t;
    };
    const vec vectors[] = {
        {0, 1, 1, nan},
        {0, 1, 6, 0x1.82e64098fad4cp-2},
        {0, 6, 1, 0x1.0b281748902dbp+12},
        {0, 7, 9, 0x1.c068da5feae02p-1},
        {0, 8, 8, 0x1.000cce1676e83p+0},
        {0, 20, 20, 0x1.01b2e80feea32p+0},
        {0, 50, 45, 0x1.ef8149fa8bd2cp-1},
        {0, 129, 200, 0x1.9095fc15294bbp+0},
        {0, 150, 90, 0x1.77cb71337ef0fp+0},
        {1, 1, 1, nan},
        {1, 1, 6, -0x1.d90cd96ccf931p+0},
        {1, 6, 1, 0x1.b237f6b98c2b7p+0},
        {1, 7, 9, 0x1.364695f413d59p-3},
        {1, 8, 8, -0x1.7f06e04b00d65p-3},
        {1, 20, 20, -0x1.28696ea5f0c49p-2},
        {1, 50, 45, -0x1.32cf76a283044p-1},
        {1, 129, 200, 0x1.4d36916089046p-6},
        {1, 150, 90, -0x1.a8033b3090246p-3},
        {2, 1, 1, nan},
        {2, 1, 6, -0x1.d90cd96afef07p+0},
        {2, 6, 1, 0x1.b237f6b93072dp+0},
        {2, 7, 9, 0x1.364695d10fd4bp-3},
        {2, 8, 8, -0x1.7f06e04a8dce4p-3},
        {2, 20, 20, -0x1.28696ebb1f351p-2},
        {2, 50, 45, -0x1.32cf76c4e69aap-1},
        {2, 129, 200, 0x1.4d3692d2bd08dp-6},
        {2, 150, 90, -0x1.a80339f560985p-3},
    };
    for (const vec& v : vectors) {
        const std::vector<double> a = series(v.family, v.na, 0);
        const std::vector<double> b = series(v.family, v.nb, 333);
        const double got = pooled_t_statistic(a.data(), a.size(), b.data(), b.size());
        check(same(got, v.t), "t family " + std::to_string(v.family) + " " +
                                  std::to_string(v.na) + " vs " + std::to_string(v.nb) + ": " +
                                  fmt(got) + " vs " + fmt(v.t));
    }
    const double one[] = {1.0}, ones[] = {1.0, 1.0, 1.0}, twos[] = {2.0, 2.0};
    check(std::isnan(pooled_t_statistic(nullptr, 0, one, 1)), "t with an empty sample is NaN");
    check(std::isnan(pooled_t_statistic(ones, 3, ones, 2)), "t of identical constants is NaN");
    check(same(pooled_t_statistic(ones, 3, twos, 2), -inf), "t of distinct constants is -inf");
    const double with_inf[] = {inf, 1.0};
    check(std::isnan(pooled_t_statistic(with_inf, 2, twos, 2)),
          "inf among several values gives NaN");
    check(same(pooled_t_statistic(with_inf, 1, twos, 2), inf), "a lone inf gives inf");
}
struct e2e_case {
    const char* name;
    std::vector<double> x, y;
    double t, p;
};

// library: two_sample(x, y, reps=10000, stat="t", alternative="two-sided", seed=20).
// Constant data and an inf among several values give a NaN observed statistic,
// which nothing reaches: p = 2 / 10001. Identical groups give t = 0 exactly and
// many permutations tie with it.
const std::vector<e2e_case>& e2e_cases() {
    static const std::vector<e2e_case> cases = {
        {"A",
         {1.329, 1.942, 1.447, -0.673, -1.093, 0.367, 1.161, 0.809, 2.11, 1.051, 0.94, -0.431,
          -0.808, 1.784, 0.349, 1.112, -1.076, -0.136, -0.991, -0.476},
         {0.903, -1.481, -0.534, 0.164, -0.668, -0.252, -0.222, 0.418, -0.431, 0.272, 0.057, 0.425,
          0.225, 1.658, -0.664, 1.199, -0.403, -0.958, 1.211, -0.44},
         0x1.61f2122adce70p+0, 0x1.6fc8b5a3b214ep-3},
        {"ties",
         {1.0, 4.0, 4.0, 2.0, 4.0, 1.0, 0.0, 4.0, 0.0, 1.0, 2.0, 3.0, 0.0, 1.0, 0.0},
         {1.0, 1.0, 4.0, 3.0, 2.0, 4.0, 2.0, 5.0, 2.0, 4.0, 2.0, 3.0},
         -0x1.a8b5da9fe8a05p+0, 0x1.08fc15664303ap-3},
        {"one_const", {2.5, 2.5, 2.5, 2.5, 2.5, 2.5},
         {3.27, 2.71, 1.13, 1.95, 2.6, 1.79, 1.39, 1.23, 1.37},
         0x1.cab50ea955e82p+0, 0x1.610a369ffbe79p-4},
        {"both_const_same", {1.0, 1.0, 1.0, 1.0, 1.0}, {1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0},
         nan, 0x1.a3637230afb37p-13},
        {"both_const_diff", {1.0, 1.0, 1.0, 1.0}, {0.5, 0.5, 0.5, 0.5, 0.5, 0.5},
         inf, 0x1.3a8a95a483c69p-7},
        {"inf", {inf, 1.0, 2.0}, {3.0, 4.0, 5.0, 6.0}, nan, 0x1.a3637230afb37p-13},
        {"single", {5.0}, {1.0, 2.0, 4.0, 3.5, 2.25}, 0x1.db7aa5d59da41p+0, 0x1.b63a69d1df980p-3},
        {"same_multiset", {1.0, 2.0, 3.0, 4.0, 5.5}, {5.5, 4.0, 3.0, 2.0, 1.0},
         0x0.0p+0, 0x1.0000000000000p+0},
    };
    return cases;
}

void test_permutation_matches_library() {
    for (const e2e_case& c : e2e_cases()) {
        const two_sample_result r = permutation_t_test(c.x.data(), c.x.size(), c.y.data(),
                                                       c.y.size(), 10000, std::int64_t{20});
        check(r.status == run_status::ok && r.reps_done == 10000, std::string(c.name) + ": status");
        check(same(r.t_observed, c.t),
              std::string(c.name) + ": t " + fmt(r.t_observed) + " vs " + fmt(c.t));
        check(same(r.p_value, c.p),
              std::string(c.name) + ": p " + fmt(r.p_value) + " vs " + fmt(c.p));
    }
}

// library: two_sample(x, y, reps=500, stat="t", alternative=alt, seed=seed) on case A,
// with integer seeds 12345 and -7 and the string seed "abc".
struct alt_case {
    const char* label;
    const char* seed;
    alternative alt;
    double p;
};

const std::vector<alt_case>& alt_cases() {
    static const std::vector<alt_case> cases = {
        {"greater/12345", "12345", alternative::greater, 0x1.98c84dab2d7a2p-4},
        {"greater/abc", "abc", alternative::greater, 0x1.b97c2aec12653p-4},
        {"greater/-7", "-7", alternative::greater, 0x1.804167ba81c9dp-4},
        {"less/12345", "12345", alternative::less, 0x1.cdec9534a1782p-1},
        {"less/abc", "abc", alternative::less, 0x1.c9d6198c84dacp-1},
        {"less/-7", "-7", alternative::less, 0x1.d0fd71f2b6ee2p-1},
        {"two-sided/12345", "12345", alternative::two_sided, 0x1.98c84dab2d7a2p-3},
        {"two-sided/abc", "abc", alternative::two_sided, 0x1.b97c2aec12653p-3},
        {"two-sided/-7", "-7", alternative::two_sided, 0x1.804167ba81c9dp-3},
    };
    return cases;
}

void test_alternatives_and_seeds() {
    const e2e_case& a = e2e_cases().front();
    for (const alt_case& c : alt_cases()) {
        const two_sample_result r = permutation_t_test(a.x.data(), a.x.size(), a.y.data(),
                                                       a.y.size(), 500, c.seed, c.alt);
        check(r.status == run_status::ok, std::string("alternative case ") + c.label + ": status");
        check(same(r.t_observed, a.t), std::string("alternative case ") + c.label + ": t");
        check(same(r.p_value, c.p), std::string("alternative case ") + c.label + ": p " +
                                        fmt(r.p_value) + " vs " + fmt(c.p));
    }
    // An integer seed is keyed by its decimal text.
    const two_sample_result by_int = permutation_t_test(a.x.data(), a.x.size(), a.y.data(),
                                                        a.y.size(), 300, std::int64_t{-7});
    const two_sample_result by_text =
        permutation_t_test(a.x.data(), a.x.size(), a.y.data(), a.y.size(), 300, "-7");
    check(same(by_int.p_value, by_text.p_value) && by_int.hits_greater == by_text.hits_greater,
          "integer seed equals its text");
    check(seed_text(-7) == "-7" && seed_text(20) == "20", "seed_text");
}

void test_distribution_and_counts_agree() {
    const e2e_case& a = e2e_cases().front();
    const std::size_t reps = 2000;
    std::vector<double> dist(reps, nan);
    const two_sample_result r =
        permutation_t_test(a.x.data(), a.x.size(), a.y.data(), a.y.size(), reps, "20",
                           alternative::two_sided, {}, dist.data());
    std::uint64_t ge = 0, le = 0;
    for (double t : dist) {
        ge += t >= r.t_observed;
        le += t <= r.t_observed;
    }
    check(ge == r.hits_greater && le == r.hits_less, "hits agree with the returned distribution");
    // The first repetitions of a longer run are the same permutations.
    std::vector<double> longer(reps + 500, nan);
    permutation_t_test(a.x.data(), a.x.size(), a.y.data(), a.y.size(), reps + 500, "20",
                       alternative::two_sided, {}, longer.data());
    check(std::equal(dist.begin(), dist.end(), longer.begin()),
          "runs share a prefix of permutations");

    // A NaN observed statistic counts nothing: p = 2 / (reps + 1).
    const double c[] = {3.0, 3.0, 3.0};
    const two_sample_result z = permutation_t_test(c, 2, c, 1, 10000, std::int64_t{20});
    check(z.hits_greater == 0 && z.hits_less == 0 && same(z.p_value, 2.0 / 10001.0),
          "NaN observed statistic");
    const two_sample_result none = permutation_t_test(c, 3, c, 3, 0, std::int64_t{20});
    check(none.status == run_status::ok && same(none.p_value, 1.0), "zero repetitions give p = 1");
}

struct stop_after {
    int calls = 0;
    int limit = 0;
};

void test_cancellation() {
    const e2e_case& a = e2e_cases().front();
    stop_after state{0, 3};
    cancel_hook hook;
    hook.should_stop = [](void* ctx) {
        auto* s = static_cast<stop_after*>(ctx);
        return ++s->calls > s->limit;
    };
    hook.context = &state;
    hook.interval = 100;
    const two_sample_result r = permutation_t_test(a.x.data(), a.x.size(), a.y.data(), a.y.size(),
                                                   10000, "20", alternative::two_sided, hook);
    check(r.status == run_status::cancelled, "cancelled status");
    check(r.reps_done == 300 && std::isnan(r.p_value), "cancelled after three intervals");

    stop_after never{0, 1 << 30};
    hook.context = &never;
    const two_sample_result full =
        permutation_t_test(a.x.data(), a.x.size(), a.y.data(), a.y.size(), 10000, "20",
                           alternative::two_sided, hook);
    check(full.status == run_status::ok && same(full.p_value, a.p) && never.calls == 100,
          "a hook that never stops is polled every interval and changes nothing");
}

void test_invalid_arguments() {
    const double v[] = {1.0, 2.0};
    check(permutation_t_test(nullptr, 2, v, 2, 10, "20").status == run_status::invalid_argument,
          "null data with a nonzero size");
    check(permutation_t_test(v, 2, v, 2, 10, "20", static_cast<alternative>(7)).status ==
              run_status::invalid_argument,
          "unknown alternative");
}

void test_concurrent_runs_are_independent() {
    const std::vector<e2e_case>& cases = e2e_cases();
    std::vector<two_sample_result> results(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            const e2e_case& c = cases[i % cases.size()];
            results[i] = permutation_t_test(c.x.data(), c.x.size(), c.y.data(), c.y.size(), 10000,
                                            std::int64_t{20});
        });
    }
    for (std::thread& t : threads) t.join();
    bool all = true;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const e2e_case& c = cases[i % cases.size()];
        all = all && same(results[i].p_value, c.p) && same(results[i].t_observed, c.t);
    }
    check(all, "eight concurrent runs reproduce their single-threaded results");
}

}  // namespace

void test_row_kinds() {
    using tessera::kernels::row_kind;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // two samples of 2 and 1 values per row
    const double xs[] = {1, 2, 1, 2, 0.0, 1, inf, 1, 1, nan};
    const double ys[] = {3, 2, -0.0, inf, 2};
    row_kind kinds[5];
    tessera::kernels::two_sample_kinds(xs, 2, ys, 1, 5, kinds);
    check(kinds[0] == row_kind::distinct, "two samples without ties");
    check(kinds[1] == row_kind::tied, "tie across the samples");
    check(kinds[2] == row_kind::tied, "0.0 and -0.0 tie");
    check(kinds[3] == row_kind::tied, "infinities tie");
    check(kinds[4] == row_kind::missing, "NaN makes a row missing");

    // paired samples of 3 values: d = x - y
    const double px[] = {5, 1, 2, 5, 1, 3, 4, 1, 2, inf, 1, 2, 1, nan, 2};
    const double py[] = {1, 2, 4, 1, 1, 9, 1, 2, 3, inf, 0, 0, 0, 0, 0};
    row_kind paired[5];
    tessera::kernels::paired_kinds(px, py, 3, 5, paired);
    check(paired[0] == row_kind::distinct, "|d| = 4, 1, 2 distinct");
    check(paired[1] == row_kind::tied, "a zero difference");
    check(paired[2] == row_kind::tied, "|d| ties between signs (3, -1, -1)");
    check(paired[3] == row_kind::nonfinite, "inf - inf");
    check(paired[4] == row_kind::missing, "NaN before anything else");
}

int main() {
    test_sha256_known_answers();
    test_sha256_zero_padding_and_digest_is_non_destructive();
    test_bit_stream_matches_cryptorandom();
    test_shuffle_matches_random_shuffle();
    test_numpy_sum_order();
    test_pooled_t_statistic();
    test_permutation_matches_library();
    test_alternatives_and_seeds();
    test_distribution_and_counts_agree();
    test_cancellation();
    test_invalid_arguments();
    test_concurrent_runs_are_independent();
    test_row_kinds();
    return checks::report();
}
