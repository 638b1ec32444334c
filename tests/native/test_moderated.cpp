// Standalone checks of the special functions and the moderated-test kernels.
//
// Build and run from the repository root (one command line):
//   g++ -std=c++17 -O2 -ffp-contract=off -pthread -Isrc/native tests/native/test_moderated.cpp
//       src/native/kernels/*.cpp -o /tmp/test_moderated
//   /tmp/test_moderated
//
// Expected numbers marked "scipy" are scipy.special 1.17 values printed with
// float.hex(); "mpmath" ones were computed with 50 digits. Those marked "R" come
// from R 4.2.2 with limma 3.54.1 (and statmod 1.5.0 for robust = TRUE), printed
// with sprintf("%a"): on the table `small` below (columns A A A B B B C C),
//   fit <- contrasts.fit(lmFit(small[, c(1:3, 7:8)], model.matrix(~0 + g)), cbind(c(1, -1)))
//   eBayes(fit, trend = ..., robust = ...)
// for A - C, and eBayes(contrasts.fit(lmFit(small, ...), A - C and B - C)) for F.
// The "modern" variant replaces limma's prior estimate by the likelihood one of
// limma >= 3.61.8, as tests/reference/limma/make_reference.R restates it.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "checks.hpp"
#include "kernels/moderated.hpp"
#include "kernels/special.hpp"

using namespace tessera::kernels;

namespace {

using checks::check;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

std::string fmt(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

// |result - expected| <= rel * max(|expected|, floor); NaN meets only NaN.
bool close(double result, double expected, double rel, double floor = 0.0) {
    if (std::isnan(result) || std::isnan(expected)) return std::isnan(result) && std::isnan(expected);
    if (result == expected) return true;
    return std::fabs(result - expected) <= rel * std::max(std::fabs(expected), floor);
}

void check_close(double result, double expected, double rel, const std::string& what, double floor = 0.0) {
    check(close(result, expected, rel, floor), what + ": " + fmt(result) + " vs " + fmt(expected));
}

void check_all(const double* result, const double* expected, std::size_t n, double rel,
               const std::string& what, double floor = 0.0) {
    for (std::size_t i = 0; i < n; ++i)
        check_close(result[i], expected[i], rel, what + "[" + std::to_string(i) + "]", floor);
}
void test_gamma_family() {
    struct one {
        double x, value;
    };
    // mpmath
    const one digammas[] = {{0.001, -0x1.f449ac574fcf7p+9}, {0.5, -0x1.f6a897d3214fcp+0},
                            {1.5, 0x1.2aed059bd608ap-5},    {2.5, 0x1.680425af12b5ep-1},
                            {7.3, 0x1.eaf646052b3cap+0},    {123.4, 0x1.33ed8c453d36dp+2},
                            {1e6, 0x1.ba18a88c907d1p+3}};
    // digamma is accurate relative to max(1, |value|): it crosses zero near 1.46
    for (const one& c : digammas)
        check_close(special::digamma(c.x), c.value, 1e-15, "digamma(" + fmt(c.x) + ")", 1.0);
    // scipy polygamma(1, x) and polygamma(2, x)
    const one trigammas[] = {{0.001, 0x1.e848348fa1c6ep+19}, {0.5, 0x1.3bd3cc9be45dfp+2},
                             {1.5, 0x1.de9e64df22ef3p-1},    {7.3, 0x1.2ca3427a86824p-3},
                             {123.4, 0x1.0a9f2e48a782cp-7},  {1e6, 0x1.0c6f82d72bcaap-20}};
    for (const one& c : trigammas)
        check_close(special::trigamma(c.x), c.value, 4e-16, "trigamma(" + fmt(c.x) + ")");
    const one tetragammas[] = {{0.5, -0x1.0d42c0452055cp+4}, {1.5, -0x1.a85808a40aba3p-1},
                               {7.3, -0x1.606ee5225f938p-6}, {123.4, -0x1.15aecac3ba9dfp-14}};
    for (const one& c : tetragammas)
        check_close(special::tetragamma(c.x), c.value, 4e-16, "tetragamma(" + fmt(c.x) + ")");
    check(std::isnan(special::digamma(0.0)) && std::isnan(special::trigamma(-1.0)) &&
              std::isnan(special::digamma(nan)),
          "gamma family: NaN outside x > 0");
    // limma's Newton iteration lands on the root to rounding, and its edges
    for (double x : {1e-5, 0.02, 0.37, 1.0, 4.5, 250.0, 9e6}) {
        const double y = special::trigamma_inverse(x);
        check_close(special::trigamma(y), x, 1e-15, "trigamma(trigamma_inverse(" + fmt(x) + "))");
    }
    check(special::trigamma_inverse(4e7) == 1 / std::sqrt(4e7) && special::trigamma_inverse(1e-7) == 1e7,
          "trigamma_inverse: asymptotic ends");
    // mpmath log(beta(a, b)); large b needs Stirling's series, not a difference of lgammas
    struct two {
        double a, b, value;
    };
    const two lbetas[] = {{0.5, 0.5, 0x1.250d048e7a1bdp+0},
                          {1.5, 2500.0, -0x1.7b6c8dda0a8bdp+3},
                          {12.0, 40.0, -0x1.c4688c5ae2bf0p+4},
                          {2.0, 1e6, -0x1.ba18aaa56f6b4p+4}};
    for (const two& c : lbetas)
        check_close(special::log_beta(c.a, c.b), c.value, 1e-15, "log_beta(" + fmt(c.a) + ", " + fmt(c.b) + ")");
}

void test_distribution_functions() {
    // scipy fdtr and fdtrc: both tails computed directly
    struct fcase {
        double f, df1, df2, lower, upper;
    };
    const fcase fs[] = {{0.3, 4.0, 7.5, 0x1.0afc960bc680ep-3, 0x1.bd40da7d0e5fcp-1},
                        {2.5, 1.0, 3.0, 0x1.9376a4e0fc5c6p-1, 0x1.b2256c7c0e8edp-3},
                        {40.0, 3.0, 12.0, 0x1.ffffcaa9d799dp-1, 0x1.aab143314d354p-20},
                        {0.0001, 5.0, 2.2, 0x1.f6fe7867e4fc7p-31, 0x1.fffffff824062p-1},
                        {1.1, 22.0, 1800.0, 0x1.52cd49574d404p-1, 0x1.5a656d51657f8p-2}};
    for (const fcase& c : fs) {
        const std::string at = "F(" + fmt(c.f) + "; " + fmt(c.df1) + ", " + fmt(c.df2) + ")";
        check_close(special::f_cdf(c.f, c.df1, c.df2, false, false), c.lower, 1e-13, "lower " + at);
        check_close(special::f_cdf(c.f, c.df1, c.df2, true, false), c.upper, 1e-13, "upper " + at);
        // the smaller tail: its log, its quantile, and the density as its slope
        const bool up = c.upper < c.lower;
        const double tail = up ? c.upper : c.lower;
        check_close(special::f_cdf(c.f, c.df1, c.df2, up, true), std::log(tail), 1e-13, "log tail " + at);
        check_close(special::f_quantile(tail, c.df1, c.df2, up, false), c.f, 1e-13, "quantile " + at);
        const double h = 1e-6 * c.f;
        const double slope = (special::f_cdf(c.f + h, c.df1, c.df2, up, false) -
                              special::f_cdf(c.f - h, c.df1, c.df2, up, false)) / (2 * h);
        check_close(special::f_density(c.f, c.df1, c.df2), up ? -slope : slope, 1e-8, "density " + at);
    }
    // scipy fdtri
    struct qcase {
        double p, df1, df2, f;
    };
    const qcase qs[] = {{0.05, 4.0, 6.0, 0x1.4c4c6e9ce6d68p-3},
                        {0.9, 4.0, 6.0, 0x1.97233cd0e0dd1p+1},
                        {0.5, 1.0, 30.0, 0x1.dd57d319016f7p-2},
                        {1e-6, 3.0, 2.5, 0x1.20565a48918f2p-14}};
    for (const qcase& c : qs)
        check_close(special::f_quantile(c.p, c.df1, c.df2, false, false), c.f, 1e-13,
                    "f_quantile(" + fmt(c.p) + ")");
    // scipy chdtrc, and F with infinite df2 is chi-square / df1
    const double chis[][3] = {{0.5, 3.0, 0x1.d678ef6343a36p-1},
                              {12.0, 4.0, 0x1.1c487b2f15a3bp-6},
                              {200.0, 8.0, 0x1.1651a0f597469p-127}};
    for (const auto& c : chis) {
        check_close(special::chisq_upper(c[0], c[1]), c[2], 1e-13, "chisq_upper(" + fmt(c[0]) + ")");
        check_close(special::f_cdf(c[0] / c[1], c[1], inf, true, false), c[2], 1e-13, "F(df2 = inf)");
        check_close(special::f_quantile(c[2], c[1], inf, true, false), c[0] / c[1], 1e-13, "F quantile (df2 = inf)");
    }
    // scipy stdtr(df, -t) and -stdtrit(df, p): upper tails
    const double ts[][3] = {{0.7, 3.0, 0x1.11934eee2d782p-2},
                            {4.2, 9.5, 0x1.0c4ded42efe0ap-10},
                            {25.0, 6.0, 0x1.2183b3f0da377p-23},
                            {3.0, 3000.0, 0x1.64c74991ea269p-10}};
    for (const auto& c : ts) {
        check_close(special::t_cdf(c[0], c[1], true, false), c[2], 1e-13, "t upper tail(" + fmt(c[0]) + ")");
        check_close(special::t_cdf(-c[0], c[1], false, false), c[2], 1e-13, "t lower tail(" + fmt(-c[0]) + ")");
        check_close(special::t_quantile(std::log(c[2]), c[1], true, true), c[0], 1e-13, "t quantile from log p");
    }
    const double tq[][3] = {{0.025, 5.0, 0x1.4908d359dff3ap+1},
                            {1e-08, 12.3, 0x1.95a38ea5cd6c4p+3},
                            {0.4, 2.0, 0x1.279a74590331bp-2},
                            {0.001, 4000.0, 0x1.8bcf89d5835cdp+1}};
    for (const auto& c : tq) {
        check_close(special::t_quantile(c[0], c[1], true, false), c[2], 1e-13, "t_quantile(" + fmt(c[0]) + ")");
        check_close(special::t_quantile(c[0], c[1], false, false), -c[2], 1e-13, "lower t_quantile");
    }
    // far tails stay in the tail: no 1 - cdf underflow to 0 or to log 0
    const double far = special::f_cdf(1e6, 4.0, 10.0, true, true);
    check(std::isfinite(far) && far < -50, "log upper tail of F far out is finite: " + fmt(far));
    check_close(special::f_quantile(far, 4.0, 10.0, true, true), 1e6, 1e-12, "and its quantile");
    check_close(special::t_quantile(special::t_cdf(60.0, 8.0, true, true), 8.0, true, true), 60.0, 1e-12,
                "t quantile far out");
}

void test_gauss_legendre() {
    std::vector<double> nodes(128), weights(128);
    special::gauss_legendre_unit(128, nodes.data(), weights.data());
    // mpmath: roots of P_128 and 2 / ((1 - x^2) P_128'(x)^2), mapped to [0, 1]
    check_close(nodes[0], 0x1.6f3c91495995dp-14, 1e-12, "first node");
    check_close(nodes[64], 0x1.032117a345a16p-1, 1e-15, "middle node");
    check_close(weights[0], 0x1.d735c87246da9p-13, 1e-12, "first weight");
    check_close(weights[64], 0x1.9086b61d1fdf8p-7, 1e-14, "middle weight");
    double sum = 0, moment = 0;
    for (std::size_t i = 0; i < 128; ++i) {
        sum += weights[i];
        moment += weights[i] * std::pow(nodes[i], 9);
    }
    check_close(sum, 1.0, 1e-14, "weights sum to 1");
    check_close(moment, 0.1, 1e-14, "integral of x^9");
}

// R: pts <- c(); f <- function(p) {pts <<- c(pts, p); ((p - 3) * p * p) * p + 2}
// optimize(f, c(0.5, 4)) evaluates f 12 times, then once more at the answer;
// polynomials use only + - * /, so every step repeats R's to the bit.
void test_brent_minimize_follows_r() {
    int evals = 0;
    double first = nan;
    const double x = special::brent_minimize(
        [&](double p) {
            if (evals++ == 0) first = p;
            return ((p - 3) * p * p) * p + 2;
        },
        0.5, 4.0);
    check(x == 0x1.1ffffde01b83ap+1, "optimize's minimiser, to the bit: " + fmt(x));
    check(evals == 12 && first == 0x1.d63dd5f6c27b4p+0, "optimize's evaluations: " + std::to_string(evals));
    // the search of the likelihood prior: d = p / (1 - p) on (1/2, 0.9998)
    evals = 0;
    const double y = special::brent_minimize(
        [&](double p) {
            ++evals;
            const double d = p / (1 - p);
            return (d - 3.7) * (d - 3.7) / (d + 1);
        },
        0.5, 0.9998);
    check(y == 0x1.9310d1609f50bp-1 && evals == 10, "optimize on (1/2, 0.9998): " + fmt(y));
}

// R: uniroot(g, c(2, 3), f.lower = g(2), f.upper = g(3), tol = 1e-8) with
// g <- function(p) (p * p - 2) * p - 5 evaluates g 7 times, then once more at the root.
void test_brent_root_follows_r() {
    int evals = 0;
    auto g = [&](double p) {
        ++evals;
        return (p * p - 2) * p - 5;
    };
    const double lo = g(2.0), hi = g(3.0);
    evals = 0;
    const double x = special::brent_root(g, 2.0, 3.0, lo, hi, 1e-8);
    check(x == 0x1.0c1a43507e3dbp+1 && evals == 7,
          "uniroot's root, to the bit: " + fmt(x) + " after " + std::to_string(evals));
}
const std::size_t rows = 24, cols = 8;
// R: the table `small` (NA as nan); columns A A A B B B C C
const double small[rows * cols] = {
    1.81, 1.03, nan, 1.82, 1.98, 1.44, 1.29, 1.52,
    3.39, 3.89, 3.60, 2.58, 2.53, 3.05, nan, 2.23,
    2.17, 1.72, 1.93, 1.39, 1.73, 1.91, 1.12, 1.41,
    nan, -0.21, -1.15, -1.49, -1.90, nan, nan, nan,
    -2.72, -2.83, -1.26, -3.46, -2.10, -2.05, -1.83, nan,
    -0.24, -0.67, -0.10, 0.18, 0.17, 0.02, 0.18, 0.17,
    1.55, nan, 0.55, 0.92, 1.45, 0.88, 0.93, 1.34,
    0.57, nan, nan, nan, nan, nan, 0.19, nan,
    1.38, 2.32, 2.58, nan, 2.90, 3.58, 3.41, 1.97,
    0.76, 0.77, 0.83, nan, 1.26, 1.29, nan, 1.34,
    2.37, 2.95, 2.78, 0.91, nan, 1.27, 0.97, 1.05,
    0.76, -0.07, nan, -0.92, -0.63, -0.97, -2.37, nan,
    nan, nan, -1.29, -1.75, -1.55, nan, -1.66, nan,
    nan, 2.18, 1.17, 0.76, 1.54, 2.47, 1.74, 2.61,
    -2.41, -2.17, -1.90, 0.37, -0.47, nan, -0.95, -0.02,
    2.97, 4.58, 2.76, 0.46, 0.39, 0.21, 0.80, 1.35,
    nan, -2.72, -2.17, -2.08, nan, -2.38, -2.14, -1.72,
    -1.71, -1.16, -1.32, -1.55, -0.73, 0.03, 0.72, -1.55,
    -0.50, nan, -0.38, -2.12, -1.81, -2.20, -1.70, -1.43,
    -0.08, 0.12, 0.38, -0.87, -1.44, -0.59, -0.96, -1.10,
    0.91, 1.20, 1.35, nan, 0.96, 0.58, 1.55, 1.53,
    -3.03, -3.33, -2.37, -1.59, nan, -2.20, -2.17, -2.17,
    nan, -2.23, -1.87, -0.33, -0.80, -1.08, -0.95, 0.22,
    1.11, 0.96, 0.59, -0.23, 0.32, 0.12, 0.49, 0.65};

// R: fit$coefficients, fit$df.residual and fit$sigma^2 for A - C
const double logfc_expected[24] = {
    0x1.eb851eb851e8p-7, 0x1.658bf258bf25cp+0, 0x1.599999999999ep-1, nan, -0x1.c28f5c28f5c3p-2,
    -0x1.05f92c5f92c6p-1, -0x1.5c28f5c28f5dp-4, 0x1.851eb851eb851p-2, -0x1.317e4b17e4b18p-1,
    -0x1.1b4e81b4e81b6p-1, 0x1.b0a3d70a3d70cp+0, 0x1.5b851eb851eb8p+1, 0x1.7ae147ae147acp-2,
    -0x1.ffffffffffffcp-2, -0x1.acccccccccccep+0, 0x1.2e4b17e4b17e6p+1, -0x1.07ae147ae147cp-1,
    -0x1.f69d0369d036cp-1, 0x1.2p+0, 0x1.2b851eb851eb8p+0, -0x1.8bf258bf258bcp-2,
    -0x1.7ae147ae147b4p-1, -0x1.af5c28f5c28f6p+0, 0x1.4444444444444p-2};
const double df_residual_expected[24] = {
    0x1p+1, 0x1p+1, 0x1.8p+1, 0x1p+0, 0x1p+1, 0x1.8p+1, 0x1p+1, 0x0p+0, 0x1.8p+1, 0x1p+1,
    0x1.8p+1, 0x1p+0, 0x0p+0, 0x1p+1, 0x1.8p+1, 0x1.8p+1, 0x1p+1, 0x1.8p+1, 0x1p+1, 0x1.8p+1,
    0x1.8p+1, 0x1.8p+1, 0x1p+1, 0x1.8p+1};
const double s2_expected[24] = {
    0x1.5295e9e1b0897p-3, 0x1.022f3d9397ae9p-4, 0x1.87b6d1712fa7ep-5, 0x1.c467381d7dbf4p-2,
    0x1.894467381d7ep-1, 0x1.e20217f0581cp-5, 0x1.2b089a0275257p-2, nan, 0x1.38fadb745f355p-1,
    0x1.77bd5f29ea6a1p-10, 0x1.ee402bb0cf852p-5, 0x1.60b780346dc5fp-2, nan,
    0x1.c6e978d4fdf43p-2, 0x1.801a36e2eb1cep-3, 0x1.6c38fadb745f3p-1, 0x1.ea64c2f837b6p-4,
    0x1.d3083ccd8736bp-1, 0x1.6594af4f0d848p-6, 0x1.3d4daffdd0c29p-5, 0x1.11cb7aecee4bp-5,
    0x1.495182a9930b8p-3, 0x1.7f9db22d0e56p-2, 0x1.aa2a81e38292ap-5};

struct two_group_expected {
    const char* variant;
    double t[rows], p_value[rows], lods[rows], s2_prior[rows], df_prior[rows], s2_post[rows],
        df_total[rows];
};

// R: eBayes(fit, ...) for A - C: t, p.value, lods, s2.prior, df.prior, s2.post, df.total
const two_group_expected two_group[] = {
    {"default",
     {
      0x1.3544bb3f99b7dp-5, 0x1.c504b09d40343p+1, 0x1.2b087ae353279p+1, nan,
      -0x1.34869d1a3ff69p-1, -0x1.b955ce921f897p+0, -0x1.7d05c6c9c8183p-3, 0x1.5fdf83c6c0475p-1,
      -0x1.0e72b313d6a74p+0, -0x1.944da16251484p+0, 0x1.6b23c87d1a6d9p+2, 0x1.3c76ba048f2fcp+2,
      0x1.569d004efe963p-1, -0x1.eccea35853b66p-1, -0x1.1c987956be661p+2, 0x1.f73fe632e772p+1,
      -0x1.60e9d9f8afbd9p+0, -0x1.78d511e18bb51p+0, 0x1.c6cadcd3a6222p+1, 0x1.09438e330ebb2p+2,
      -0x1.63a6a844acd7ep+0, -0x1.05ff7dfc8d913p+1, -0x1.b6862000263b9p+1, 0x1.15aa92eff0197p+0},
     {
      0x1.f154f1d55e091p-1, 0x1.1147d17faab26p-6, 0x1.dd67e372ebc7fp-5, nan,
      0x1.25752586b9a2ap-1, 0x1.15c7073d2719fp-3, 0x1.b830c98e81b1ep-1, 0x1.1548721df334ep-1,
      0x1.5383ba77e19d6p-2, 0x1.670bebc1a872dp-3, 0x1.55d5d33573291p-10, 0x1.025a3b6c47775p-7,
      0x1.1a656dfc37977p-1, 0x1.8546c5061f41cp-2, 0x1.1ed45b9f2ca67p-8, 0x1.fba11a152e3dep-8,
      0x1.d052c666883a2p-3, 0x1.885f0880123f7p-3, 0x1.0d4bf2287dd13p-6, 0x1.8eede4455ae3bp-8,
      0x1.b6d00247c514cp-3, 0x1.63624b5f54042p-4, 0x1.34776e94549e5p-6, 0x1.4787b56174944p-2},
     {
      -0x1.a03fb77f252a9p+2, -0x1.687ccb21ac9a5p+1, -0x1.18e03ab580cbep+2, nan,
      -0x1.8a447ddd095d3p+2, -0x1.4dedf5ebf62f9p+2, -0x1.9f019a49d8ac4p+2, -0x1.78f1cb065bd37p+2,
      -0x1.80900bd8a6f18p+2, -0x1.4c65436f9fd69p+2, -0x1.cf8963162285p-2, -0x1.dd72b40eb9b14p+0,
      -0x1.79ced646f4e09p+2, -0x1.806f3bf072dbcp+2, -0x1.b409de4e81554p+0, -0x1.265cca34ea2ecp+1,
      -0x1.640a6cf364e65p+2, -0x1.626fbb28f8fbcp+2, -0x1.7205704af5cb2p+1, -0x1.061b378ee8648p+1,
      -0x1.68dcb87ef8e51p+2, -0x1.3245235350307p+2, -0x1.846433c2b0accp+1, -0x1.7eb631ca1f105p+2},
     {
      0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3,
      0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3,
      0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3,
      0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3,
      0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3,
      0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3, 0x1.3910b72ce9675p-3},
     {
      0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1,
      0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1,
      0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1,
      0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1,
      0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1,
      0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1, 0x1.7da078fb2a777p+1},
     {
      0x1.434fb89384e19p-3, 0x1.de67862793ac1p-4, 0x1.9a53b55574efep-4, 0x1.cdb08010a0988p-3,
      0x1.9978a462677fp-2, 0x1.b0f8707840441p-4, 0x1.ab7d87a80fcbp-3, 0x1.3910b72ce9675p-3,
      0x1.87f94839a0d67p-2, 0x1.791a733f726f6p-4, 0x1.b40a632200381p-4, 0x1.9b9d390cd95ecp-3,
      0x1.3910b72ce9675p-3, 0x1.14541f03e846cp-2, 0x1.5cb1a6284fb54p-3, 0x1.bb6010e6b5911p-2,
      0x1.1dd11da157553p-3, 0x1.114073a1d0855p-1, 0x1.9aa32aed30b1bp-4, 0x1.87aaaa158ea9bp-4,
      0x1.7cc17b44467e3p-4, 0x1.41378fb89b2acp-3, 0x1.ef687a269a71p-3, 0x1.a2f7770efd9d2p-4},
     {
      0x1.3ed03c7d953bcp+2, 0x1.3ed03c7d953bcp+2, 0x1.7ed03c7d953bcp+2, 0x1.fda078fb2a777p+1,
      0x1.3ed03c7d953bcp+2, 0x1.7ed03c7d953bcp+2, 0x1.3ed03c7d953bcp+2, 0x1.7da078fb2a777p+1,
      0x1.7ed03c7d953bcp+2, 0x1.3ed03c7d953bcp+2, 0x1.7ed03c7d953bcp+2, 0x1.fda078fb2a777p+1,
      0x1.7da078fb2a777p+1, 0x1.3ed03c7d953bcp+2, 0x1.7ed03c7d953bcp+2, 0x1.7ed03c7d953bcp+2,
      0x1.3ed03c7d953bcp+2, 0x1.7ed03c7d953bcp+2, 0x1.3ed03c7d953bcp+2, 0x1.7ed03c7d953bcp+2,
      0x1.7ed03c7d953bcp+2, 0x1.7ed03c7d953bcp+2, 0x1.3ed03c7d953bcp+2, 0x1.7ed03c7d953bcp+2}},
    {"modern",
     {
      0x1.3695dbfee2718p-5, 0x1.b51d8ac70810ep+1, 0x1.1bd3cc094b61fp+1, nan,
      -0x1.4ec015af8dcf3p-1, -0x1.a6195b8e3fd98p+0, -0x1.8a2faf0ee48ccp-3, 0x1.6011f00ea0991p-1,
      -0x1.2177e5a42b46cp+0, -0x1.777ec43fc8dcp+0, 0x1.5ba71e74fc93ap+2, 0x1.480b9d1b6cf25p+2,
      0x1.56ce18e5d2442p-1, -0x1.0495f55eb4c2cp+0, -0x1.1fce353e7f2f7p+2, 0x1.0ed653fda08fp+2,
      -0x1.5d09802baa9aap+0, -0x1.98f0a3c13517ep+0, 0x1.ac81816233232p+1, 0x1.f41d835c0a687p+1,
      -0x1.4dd611ab08ce9p+0, -0x1.06ca34149f143p+1, -0x1.cbb3b04287383p+1, 0x1.085636cfacb7cp+0},
     {
      0x1.f1174b2c1db3ap-1, 0x1.93dc7580d63e7p-7, 0x1.e52339586e33dp-5, nan,
      0x1.121f8b5bcbef8p-1, 0x1.1e75522678205p-3, 0x1.b4d32b1ded162p-1, 0x1.0cc267bc9dd42p-1,
      0x1.2baf0b5c93ff7p-2, 0x1.821638842acb2p-3, 0x1.86e47f685f789p-11, 0x1.5f5fed9b5b5c5p-9,
      0x1.121ea8f3af894p-1, 0x1.60efa2571b89cp-2, 0x1.2d64d22166986p-9, 0x1.a87748d1f9823p-9,
      0x1.bd85aeebe34dfp-3, 0x1.3511298a556e6p-3, 0x1.b91c4c67b24b6p-7, 0x1.476be398ad2c2p-8,
      0x1.d7e0680208878p-3, 0x1.37a8aacaafaa2p-4, 0x1.416fab6f22df5p-7, 0x1.559eb9ab59f05p-2},
     {
      -0x1.a0341102084b5p+2, -0x1.583c47d92dae1p+1, -0x1.1ff39ecbb31e7p+2, nan,
      -0x1.88797185b0e69p+2, -0x1.539faf781c338p+2, -0x1.9eec683fc11d1p+2, -0x1.7a04bd90315cap+2,
      -0x1.7c06cc8205adep+2, -0x1.54f5c4f2bc0dp+2, -0x1.3d25c28f6b34p-4, -0x1.0b6f1c0b86688p+0,
      -0x1.7ad8f40b04168p+2, -0x1.7d9f7e15a21f1p+2, -0x1.39056fc917144p+0, -0x1.92985a4e303bcp+0,
      -0x1.65672490f04f7p+2, -0x1.57ffa642f8211p+2, -0x1.6fdf2f33e05b4p+1, -0x1.0207a86af52b8p+1,
      -0x1.6f8793e75402p+2, -0x1.2f5c6f8dbb7a2p+2, -0x1.466f6aab71369p+1, -0x1.828c4849dcfcdp+2},
     {
      0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3,
      0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3,
      0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3,
      0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3,
      0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3,
      0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3, 0x1.38b7112c80e45p-3},
     {
      0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2,
      0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2,
      0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2,
      0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2,
      0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2,
      0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2, 0x1.2547ab383f606p+2},
     {
      0x1.40935375b0652p-3, 0x1.00ec83ac78c1bp-3, 0x1.c778725d3451ap-4, 0x1.a2c6f35bd0487p-3,
      0x1.5bd3f3e48675dp-2, 0x1.d95533b0f69c4p-4, 0x1.8f6a5348866bdp-3, 0x1.38b7112c80e45p-3,
      0x1.56279aff180c7p-2, 0x1.b52f9220709b4p-4, 0x1.dbc1328c72e3p-4, 0x1.7f1031789d9fep-3,
      0x1.38b7112c80e45p-3, 0x1.ee236500e2caap-3, 0x1.54f59745a7a8fp-3, 0x1.7eb3ebca9de82p-2,
      0x1.24335b9af50bfp-3, 0x1.d00e3d51e5e5ap-2, 0x1.ce90417c1d382p-4, 0x1.b8c0128746a79p-4,
      0x1.b024ab0cda10bp-4, 0x1.3f48bf0014dc4p-3, 0x1.c2d04d82c5934p-3, 0x1.ce49314a31ef5p-4},
     {
      0x1.a547ab383f606p+2, 0x1.a547ab383f606p+2, 0x1.e547ab383f606p+2, 0x1.6547ab383f606p+2,
      0x1.a547ab383f606p+2, 0x1.e547ab383f606p+2, 0x1.a547ab383f606p+2, 0x1.2547ab383f606p+2,
      0x1.e547ab383f606p+2, 0x1.a547ab383f606p+2, 0x1.e547ab383f606p+2, 0x1.6547ab383f606p+2,
      0x1.2547ab383f606p+2, 0x1.a547ab383f606p+2, 0x1.e547ab383f606p+2, 0x1.e547ab383f606p+2,
      0x1.a547ab383f606p+2, 0x1.e547ab383f606p+2, 0x1.a547ab383f606p+2, 0x1.e547ab383f606p+2,
      0x1.e547ab383f606p+2, 0x1.e547ab383f606p+2, 0x1.a547ab383f606p+2, 0x1.e547ab383f606p+2}},
    {"trend",
     {
      0x1.56b9c66f1e767p-5, 0x1.7ceb3340f5a5fp+1, 0x1.4fc84a63dd51fp+1, nan,
      -0x1.0e32384115d91p-1, -0x1.f616b809a5f44p+0, -0x1.9f3a6d982766ep-3, 0x1.c09f12750729fp-1,
      -0x1.0f0f22c202d5fp+0, -0x1.01a02d6a9ac6cp+1, 0x1.8360e90b7c26p+2, 0x1.4e221021deb9dp+2,
      0x1.221e74aeea8p-1, -0x1.fd08f638d04dfp-1, -0x1.05b7cd65df5d5p+2, 0x1.f4c57c73e8bb2p+1,
      -0x1.0101e1efd25c6p+0, -0x1.76ffeeb2dee2ap+0, 0x1.c1f6048d4c4e3p+1, 0x1.2b0408f2b2e06p+2,
      -0x1.a3ad0c16115cep+0, -0x1.68e90d3060967p+0, -0x1.a8a8b83079f4bp+1, 0x1.4a2eac97206b6p+0},
     {
      0x1.efc0e61049754p-1, 0x1.019cb9b78940dp-5, 0x1.4623c97f8929ap-5, nan,
      0x1.3db7d1f39766ap-1, 0x1.9196a7f3b1d5fp-4, 0x1.b1e1a4198bd5fp-1, 0x1.c96c1c283283dp-2,
      0x1.52cba0f6dcbf9p-2, 0x1.9ddf5c29d20a6p-4, 0x1.f6a207aa1e3c1p-11, 0x1.b8359c49ac2cdp-8,
      0x1.3907872bcebb8p-1, 0x1.771ff9b7e71bcp-2, 0x1.af73e02db576p-8, 0x1.0782015a15cb8p-7,
      0x1.72c01b3beab39p-2, 0x1.8cf810527a14fp-3, 0x1.1ca211827265cp-6, 0x1.cd9ac4b54cd9fp-9,
      0x1.38e8c9e16f38ep-3, 0x1.ab964a33ebe12p-3, 0x1.5fe0a7f942c78p-6, 0x1.f5f73d29e431ep-3},
     {
      -0x1.a579381b61698p+2, -0x1.c32bf92b53d4bp+1, -0x1.04645ca0f1bf5p+2, nan,
      -0x1.925ec8d143d4p+2, -0x1.3e9f6949a8ad7p+2, -0x1.a3fe622295c99p+2, -0x1.73e3c0aa0605dp+2,
      -0x1.858743a633378p+2, -0x1.2e8539907cabfp+2, -0x1.4c2d3061e65p-3, -0x1.b67dc7b779ed4p+0,
      -0x1.83616141db741p+2, -0x1.8393013acdcf2p+2, -0x1.1703ae1895c6ep+1, -0x1.3217732fa6b8cp+1,
      -0x1.82f74e8f2917dp+2, -0x1.68081d7164c01p+2, -0x1.80198b8a672bdp+1, -0x1.84f09bcaa2cep+0,
      -0x1.59f1eb4218641p+2, -0x1.6c53fe859c38ep+2, -0x1.9d2333aa3cdcap+1, -0x1.75686448e2099p+2},
     {
      0x1.a7e7f868d4f7cp-4, 0x1.e0e0d1fb7e8bcp-3, 0x1.c9d85e4de3bcp-4, 0x1.0dfa3868f3dc2p-3,
      0x1.69bfb82a70103p-2, 0x1.ae1c909b05c71p-4, 0x1.8b761bb041419p-4, 0x1.81312027c9ec7p-4,
      0x1.2a8b95a91682dp-3, 0x1.82618a0c264d9p-4, 0x1.051d23100d141p-3, 0x1.fd66a0a4c172fp-4,
      0x1.b49b7db20ae0ep-3, 0x1.f604b6a10977bp-4, 0x1.b9281d7667e4bp-3, 0x1.41dce69ef5a5cp-3,
      0x1.7187b6bcef5e6p-2, 0x1.427e3464a097fp-3, 0x1.4235117240149p-3, 0x1.cd1c96d772feep-4,
      0x1.9cfda53fadaa8p-4, 0x1.0222834d18007p-1, 0x1.6d7c36027e2f5p-3, 0x1.7d54138fb02cap-4},
     {
      0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1,
      0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1,
      0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1,
      0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1,
      0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1,
      0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1, 0x1.77bcbac79161ep+1},
     {
      0x1.0744c28faa2d3p-3, 0x1.5252c7e3fb347p-3, 0x1.456d2c5f5f8dfp-4, 0x1.af49b609e81f8p-3,
      0x1.0af1579ee7c05p-1, 0x1.4e878c4b500c9p-4, 0x1.67f5b2dccdb58p-3, 0x1.81312027c9ec7p-4,
      0x1.86355a5001e79p-2, 0x1.d05f5a5476dd5p-5, 0x1.7f2e3539688ebp-4, 0x1.713b69060063ap-3,
      0x1.b49b7db20ae0ep-3, 0x1.02fdaed02a5ebp-2, 0x1.9c51bd343210fp-3, 0x1.bfc63ea49e3b3p-2,
      0x1.0d772e13f54d1p-2, 0x1.13edd116f798dp-1, 0x1.a380cb039b133p-4, 0x1.343ca8f5b9016p-4,
      0x1.11715764ceaa1p-4, 0x1.528d694ab6c7fp-2, 0x1.0824941e708ecp-2, 0x1.284a7313a61a3p-4},
     {
      0x1.3bde5d63c8b0fp+2, 0x1.3bde5d63c8b0fp+2, 0x1.7bde5d63c8b0fp+2, 0x1.f7bcbac79161ep+1,
      0x1.3bde5d63c8b0fp+2, 0x1.7bde5d63c8b0fp+2, 0x1.3bde5d63c8b0fp+2, 0x1.77bcbac79161ep+1,
      0x1.7bde5d63c8b0fp+2, 0x1.3bde5d63c8b0fp+2, 0x1.7bde5d63c8b0fp+2, 0x1.f7bcbac79161ep+1,
      0x1.77bcbac79161ep+1, 0x1.3bde5d63c8b0fp+2, 0x1.7bde5d63c8b0fp+2, 0x1.7bde5d63c8b0fp+2,
      0x1.3bde5d63c8b0fp+2, 0x1.7bde5d63c8b0fp+2, 0x1.3bde5d63c8b0fp+2, 0x1.7bde5d63c8b0fp+2,
      0x1.7bde5d63c8b0fp+2, 0x1.7bde5d63c8b0fp+2, 0x1.3bde5d63c8b0fp+2, 0x1.7bde5d63c8b0fp+2}},
    {"robust",
     {
      0x1.2faadc059893p-5, 0x1.b931f146cd891p+1, 0x1.23371e81d052cp+1, nan,
      -0x1.2ead8c0d4ac07p-1, -0x1.ae7acc568f776p+0, -0x1.75f4a474e102ep-3, 0x1.551127372ad3p-1,
      -0x1.0a30ddd0e5a42p+0, -0x1.867f74f23fe06p+0, 0x1.62478d40a80d1p+2, 0x1.351cba06e80dfp+2,
      0x1.4c177049ed10cp-1, -0x1.e39265643026dp-1, -0x1.18ad74e89aff7p+2, 0x1.ef4e25aa7285ap+1,
      -0x1.59764e3dadd8cp+0, -0x1.72dbf60eb511fp+0, 0x1.b8a9eb97c37cdp+1, 0x1.01f4f44c983eep+2,
      -0x1.598a78eaa4f3dp+0, -0x1.01fcea7cd7957p+1, -0x1.ae56dacea92d6p+1, 0x1.0e93813ed085fp+0},
     {
      0x1.f196d921cab5ap-1, 0x1.28278a02489f2p-6, 0x1.01d0b77bd2f2dp-4, nan,
      0x1.29927d4cc1e2bp-1, 0x1.258add8e9f624p-3, 0x1.b9a56e9434556p-1, 0x1.1ad4fe9e88a13p-1,
      0x1.5c0b774d10f1fp-2, 0x1.7f7776646ff7cp-3, 0x1.78198edf82c45p-10, 0x1.3d27f245fa351p-7,
      0x1.1fe19c9ebdd26p-1, 0x1.8f7313a185d06p-2, 0x1.2b7dc24484beep-8, 0x1.225b53fa2b54ep-7,
      0x1.e09063689d9b9p-3, 0x1.983cdaf99b27cp-3, 0x1.297d94de33815p-6, 0x1.bca4fb2777936p-8,
      0x1.cdcd16f315c2ep-3, 0x1.714609d7a38afp-4, 0x1.5f12ad8c8c2e6p-6, 0x1.52ebc592b0539p-2},
     {
      -0x1.9e48ae281be5bp+2, -0x1.71c50d15d483ep+1, -0x1.1c594a11e0946p+2, nan,
      -0x1.88bf2b5112a68p+2, -0x1.4f961dee7883ap+2, -0x1.9d148d1b22562p+2, -0x1.78227c3fb72b4p+2,
      -0x1.7fa2c9dd3d8e5p+2, -0x1.4ebfac8946f97p+2, -0x1.17c50fb50a08p-1, -0x1.036470936a166p+1,
      -0x1.78f2cf3ba3587p+2, -0x1.7f7f3623dab8fp+2, -0x1.bccdf37e40e84p+0, -0x1.328784c29b56ap+1,
      -0x1.645707323f11fp+2, -0x1.625fcaeb682cap+2, -0x1.7dd56509eac5fp+1, -0x1.12f742df48582p+1,
      -0x1.69fa95a3130ebp+2, -0x1.331c0915f71fep+2, -0x1.8f76a77e78c9ap+1, -0x1.7ea02b52039a8p+2},
     {
      0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3,
      0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3,
      0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3,
      0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3,
      0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3,
      0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3, 0x1.4d37a6d5bfeadp-3},
     {
      0x1.84f3e771bf1aap+1, 0x1.84f3e771bf1aap+1, 0x1.84f3e771bf1aap+1, 0x1.6521009226e33p+1,
      0x1.6521009226e33p+1, 0x1.84f3e771bf1aap+1, 0x1.6521009226e33p+1, 0x1.84f3e771bf1aap+1,
      0x1.6521009226e33p+1, 0x1.84f3e771bf1aap+1, 0x1.84f3e771bf1aap+1, 0x1.6521009226e33p+1,
      0x1.84f3e771bf1aap+1, 0x1.6521009226e33p+1, 0x1.84f3e771bf1aap+1, 0x1.6521009226e33p+1,
      0x1.84f3e771bf1aap+1, 0x1.6521009226e33p+1, 0x1.84f3e771bf1aap+1, 0x1.84f3e771bf1aap+1,
      0x1.84f3e771bf1aap+1, 0x1.84f3e771bf1aap+1, 0x1.6521009226e33p+1, 0x1.84f3e771bf1aap+1},
     {
      0x1.4f592298a7199p-3, 0x1.f86381fc39f23p-4, 0x1.b0a74f408c653p-4, 0x1.e40797d24b1ffp-3,
      0x1.a97251deac5ccp-2, 0x1.c71519a868e2p-4, 0x1.bbccdd6b41771p-3, 0x1.4d37a6d5bfeadp-3,
      0x1.949c91a45d437p-2, 0x1.943d00cb4e847p-4, 0x1.ca1f995be93a2p-4, 0x1.af6cf87d0d77bp-3,
      0x1.4d37a6d5bfeadp-3, 0x1.1efbee761cb39p-2, 0x1.667f32e00a442p-3, 0x1.c9b6509cdf686p-2,
      0x1.2a478f09deecp-3, 0x1.1a1fea19229a5p-1, 0x1.b5643553b5636p-4, 0x1.9e2b8aa505878p-4,
      0x1.935cd4fc440fp-4, 0x1.4b47c764b7ef9p-3, 0x1.0137424db53f7p-2, 0x1.b9361a8b8822ap-4},
     {
      0x1.4279f3b8df8d5p+2, 0x1.4279f3b8df8d5p+2, 0x1.8279f3b8df8d5p+2, 0x1.e521009226e33p+1,
      0x1.329080491371ap+2, 0x1.8279f3b8df8d5p+2, 0x1.329080491371ap+2, 0x1.84f3e771bf1aap+1,
      0x1.729080491371ap+2, 0x1.4279f3b8df8d5p+2, 0x1.8279f3b8df8d5p+2, 0x1.e521009226e33p+1,
      0x1.84f3e771bf1aap+1, 0x1.329080491371ap+2, 0x1.8279f3b8df8d5p+2, 0x1.729080491371ap+2,
      0x1.4279f3b8df8d5p+2, 0x1.729080491371ap+2, 0x1.4279f3b8df8d5p+2, 0x1.8279f3b8df8d5p+2,
      0x1.8279f3b8df8d5p+2, 0x1.8279f3b8df8d5p+2, 0x1.329080491371ap+2, 0x1.8279f3b8df8d5p+2}},
    {"trend_robust",
     {
      0x1.69bfb7e1b372cp-5, 0x1.9db01a0ac4e1cp+1, 0x1.2efeeeed40881p+1, nan,
      -0x1.2b18a8cf675cp-1, -0x1.16f8e63d62931p+1, -0x1.ecd614cb5ccabp-3, 0x1.2497f3f815543p+0,
      -0x1.bd4e973ca039dp-1, -0x1.3e2780174ab1bp+1, 0x1.12976c2ccfb9p+2, 0x1.356d2fa0e0cf1p+2,
      0x1.da6cfe3b09c9cp-2, -0x1.f0997684dbe68p-1, -0x1.c0af34b6d70fcp+1, 0x1.da73d0f55a7bdp+1,
      -0x1.087385050d70ap+0, -0x1.75be8aa0feab5p+0, 0x1.1f060c6e7b422p+1, 0x1.1808e918759b4p+2,
      -0x1.a9a3d2d060de9p+0, -0x1.b1d1c437b228p+0, -0x1.7bb69d1be8cd6p+1, 0x1.9392d7ae4f3d9p+0},
     {
      0x1.ee92d5d7dbdecp-1, 0x1.a1829396d2fe5p-7, 0x1.616e3c53e5623p-5, nan,
      0x1.274a743aff6bap-1, 0x1.de6d9581ba647p-5, 0x1.a207ad4823d3cp-1, 0x1.32415562176f3p-2,
      0x1.a2bf66d2bcb8cp-2, 0x1.3fc33fd58237bp-5, 0x1.21024f631d42ap-9, 0x1.4e2410e7ab391p-9,
      0x1.52220e4ea088cp-1, 0x1.73e5a651d4bb5p-2, 0x1.cfb497b77fa8ep-8, 0x1.70d0795b9b235p-8,
      0x1.5517f0c169893p-2, 0x1.7304cc4a8b397p-3, 0x1.d015e7346e921p-5, 0x1.000c9b0fc93e7p-9,
      0x1.0e7628e1df5fap-3, 0x1.0172e99ab3cd9p-3, 0x1.473e5d40b6332p-6, 0x1.37dc21d9d6878p-3},
     {
      -0x1.8ee1174547891p+2, -0x1.53d8eff8f32p+1, -0x1.0098ff63e615ap+2, nan,
      -0x1.7a9f06d5426dbp+2, -0x1.12bbe193e50ccp+2, -0x1.8ced8da977978p+2, -0x1.513e928a423d1p+2,
      -0x1.7b7a2512357d2p+2, -0x1.da4582bca2399p+1, -0x1.2197a34536cacp+0, -0x1.129f15e0464c4p+0,
      -0x1.729b622477aefp+2, -0x1.7009907e7d858p+2, -0x1.223361b9d06fep+1, -0x1.029429d820d14p+1,
      -0x1.6c4231db410bap+2, -0x1.52f7cc06dbfc5p+2, -0x1.09dfdbeec0f2ap+2, -0x1.037c99c9e9264p+0,
      -0x1.420c8a8dd7c6bp+2, -0x1.3f47abf67e969p+2, -0x1.918c2de6958bp+1, -0x1.49711859e419ep+2},
     {
      0x1.8b33800177bd1p-4, 0x1.5692ad631f569p-3, 0x1.fba7543ea118bp-4, 0x1.ebd3c030a00bp-3,
      0x1.2eec081bfae04p-2, 0x1.1ec48d18a3b21p-4, 0x1.f785dede82fd1p-5, 0x1.c4c516c02f42bp-5,
      0x1.13a2a4847063bp-1, 0x1.97e591522898fp-5, 0x1.02ef4d2c3ca6ep-2, 0x1.7a88e047f2365p-3,
      0x1.468a522993bd5p-2, 0x1.95e57c558a1c4p-3, 0x1.477ae6dda8091p-2, 0x1.707bda1f0bef7p-2,
      0x1.2d1ae60e807a9p-2, 0x1.54b5d89f0a6d2p-2, 0x1.54e55850ca2a9p-2, 0x1.c5967fea9f66dp-4,
      0x1.4e26d6ebafc3ap-4, 0x1.0f3a6d15e575cp-2, 0x1.363a0df6de8e6p-2, 0x1.7be6068509fe8p-5},
     {
      0x1.5238942ec8bf1p+2, 0x1.6a5c1d2893434p+2, 0x1.6a5c1d2893434p+2, 0x1.5238942ec8bf1p+2,
      0x1.5238942ec8bf1p+2, 0x1.69d5a30599611p+2, 0x1.5238942ec8bf1p+2, 0x1.6a5c1d2893434p+2,
      0x1.5238942ec8bf1p+2, 0x1.6a5c1d2893434p+2, 0x1.6a5c1d2893434p+2, 0x1.5238942ec8bf1p+2,
      0x1.6a5c1d2893434p+2, 0x1.5238942ec8bf1p+2, 0x1.6a5c1d2893434p+2, 0x1.5238942ec8bf1p+2,
      0x1.6a5c1d2893434p+2, 0x1.5238942ec8bf1p+2, 0x1.6a5c1d2893434p+2, 0x1.6a5c1d2893434p+2,
      0x1.6a5c1d2893434p+2, 0x1.6a5c1d2893434p+2, 0x1.5238942ec8bf1p+2, 0x1.5238942ec8bf1p+2},
     {
      0x1.d89d8e37844cdp-4, 0x1.1ed8f56029e8dp-3, 0x1.8faa102aa429dp-4, 0x1.16c4fcc9904c3p-2,
      0x1.b3b25f6a0aab4p-2, 0x1.0ee7174a2efc4p-4, 0x1.ff097d9a1d3abp-4, 0x1.c4c516c02f42bp-5,
      0x1.212885a5afadap-1, 0x1.307cc18731d9p-5, 0x1.7d4d9b506567fp-3, 0x1.ae8cb836ebae1p-3,
      0x1.468a522993bd5p-2, 0x1.101fd4ececde7p-2, 0x1.18932d20cace1p-2, 0x1.f2d49e24c8bacp-2,
      0x1.fd049861b311ep-3, 0x1.15c92b22ca3dfp-1, 0x1.01bea0c838737p-2, 0x1.5f7026f3bc2f7p-4,
      0x1.09d5662637c25p-4, 0x1.d4a316514ea27p-3, 0x1.4a60297da8a21p-2, 0x1.8ca7116fb09ecp-5},
     {
      0x1.d238942ec8bf1p+2, 0x1.ea5c1d2893434p+2, 0x1.152e0e9449a1ap+3, 0x1.9238942ec8bf1p+2,
      0x1.d238942ec8bf1p+2, 0x1.14ead182ccb08p+3, 0x1.d238942ec8bf1p+2, 0x1.6a5c1d2893434p+2,
      0x1.091c4a17645f8p+3, 0x1.ea5c1d2893434p+2, 0x1.152e0e9449a1ap+3, 0x1.9238942ec8bf1p+2,
      0x1.6a5c1d2893434p+2, 0x1.d238942ec8bf1p+2, 0x1.152e0e9449a1ap+3, 0x1.091c4a17645f8p+3,
      0x1.ea5c1d2893434p+2, 0x1.091c4a17645f8p+3, 0x1.ea5c1d2893434p+2, 0x1.152e0e9449a1ap+3,
      0x1.152e0e9449a1ap+3, 0x1.152e0e9449a1ap+3, 0x1.d238942ec8bf1p+2, 0x1.091c4a17645f8p+3}}};

// R: F, F.p.value and t of A - C and B - C, eBayes on all three groups
const double f_expected[24] = {
    0x1.d847078ceac88p-1, 0x1.3142292b19288p+3, 0x1.e4f9614bb78fcp+1, nan,
    0x1.9f5998216fba6p-2, 0x1.ce600993ea5b9p+1, 0x1.78604cd922578p-6, nan,
    0x1.4c1466192e9ffp+1, 0x1.a191e31ff4b8ap+1, 0x1.06e4ae372ffecp+5, 0x1.46ee7ea83ed0ap+4,
    0x1.4d4cb4fa745b7p-1, 0x1.1924030dd7412p-1, 0x1.3daa7e38f2904p+4, 0x1.80ca1ea2da582p+4,
    0x1.5b2e48be2b465p+0, 0x1.271705e25c5b6p+0, 0x1.d55c46291c2cp+4, 0x1.83e0ca68fcbeep+3,
    0x1.1eb3318f12dfcp+2, 0x1.6392be09e37f3p+2, 0x1.16aa90b2d5f0ap+3, 0x1.ab8189027c209p+2};
const double f_p_expected[24] = {
    0x1.c577c80090a28p-2, 0x1.68e2a2f5e93dcp-7, 0x1.256277233d546p-4, nan,
    0x1.5d266c80f1527p-1, 0x1.40fdb6b2fadaap-4, 0x1.f46961bf63da7p-1, nan,
    0x1.2c41986e631b9p-3, 0x1.d2816e51affbp-4, 0x1.6d84daeb2df15p-12, 0x1.4cee8858486edp-9,
    0x1.2537daf9e6a4p-1, 0x1.33f31c35ec65bp-1, 0x1.9473cb8b56b79p-10, 0x1.026371ffa9b54p-11,
    0x1.51e4ff605f86fp-2, 0x1.75afac1ea1754p-2, 0x1.0165df6d761fep-11, 0x1.1385e513456f5p-8,
    0x1.ddd951c2a4e33p-5, 0x1.369c2d9d4914fp-5, 0x1.c2f7d4eb356c3p-7, 0x1.559c4ec66896dp-6};
const double t_avsc_expected[24] = {
    0x1.6d562a70d1c32p-5, 0x1.0ae68e89c97e5p+2, 0x1.6053c3c3e1b39p+1, nan,
    -0x1.1f04201f34e65p-1, -0x1.23e93a3b57262p+1, -0x1.b580564cb1fddp-3, 0x1.b07576562b5d2p-1,
    -0x1.1af9b7cf14a54p+0, -0x1.16ed41ddf0dd2p+1, 0x1.a9dbbd4e29904p+2, 0x1.99215d8dfa4e9p+2,
    0x1.dc216d70e6abep-1, -0x1.98661c3c6355bp-1, -0x1.16a434c5a5817p+2, 0x1.25dddc536b551p+2,
    -0x1.a582e5461466ap+0, -0x1.71d5d57286c98p+0, 0x1.2649f74c9f182p+2, 0x1.044b005ec7e64p+2,
    -0x1.a4b313ea0223dp+0, -0x1.14aaafdeaa226p+1, -0x1.e7816a31b0964p+1, 0x1.427e208af828bp+0};
const double t_bvsc_expected[24] = {
    0x1.1cde758175839p+0, 0x1.768d7a6f7dbdap+0, 0x1.adc08ff868a29p+0, nan,
    -0x1.ccf71c51266ap-1, -0x1.d79f2b3703361p-3, -0x1.235068d85248dp-3, nan,
    0x1.dc3b87689a46cp-1, -0x1.ee4404825c6c4p-3, 0x1.2670d09ac5993p-2, 0x1.e91741a550b8ap+1,
    0x1.db7e16277829cp-6, -0x1.05b76933ae869p+0, 0x1.083c0788fba04p+0, -0x1.673181a6d2528p+0,
    -0x1.eb14c585d7251p-1, -0x1.f8d5a77d78f78p-2, -0x1.1223e1c8a3fddp+1, 0x1.c2e0bb5a83d3p-3,
    -0x1.7e639588fd03dp+1, 0x1.776db5f0aaa0ep-1, -0x1.d72d406a3c432p-1, -0x1.fd32f003d8abfp+0};
const double df_prior_three = 0x1.576130e38bca2p+1, s2_prior_three = 0x1.9e859d7480ee7p-4;

using moderated::fit_buffers;

moderated::fit_input two_group_input(const std::string& variant) {
    static const int group[cols] = {0, 0, 0, -1, -1, -1, 1, 1};  // B left out
    moderated::fit_input in;
    in.values = small;
    in.rows = rows;
    in.cols = cols;
    in.group = group;
    in.groups = 2;
    in.method = variant == "modern" ? moderated::estimate::automatic : moderated::estimate::classic;
    in.trend = variant.find("trend") != std::string::npos;
    in.robust = variant.find("robust") != std::string::npos;
    return in;
}

// Tolerances as for the reference tables: the prior-dependent columns of trend
// and robust fits 1e-8; of the likelihood fit, whose d0 is as exact as its
// minimiser's rounding, 1e-9.
void test_two_groups_match_limma() {
    for (const two_group_expected& e : two_group) {
        const std::string v = e.variant;
        fit_buffers b(rows, 1);
        const auto st = moderated::moderated_fit(two_group_input(v), b.out);
        check(st == moderated::ok, v + ": status " + std::to_string(st));
        const double prior_tol = v == "default" ? 1e-12 : v == "modern" ? 1e-9 : 1e-8;
        check(b.out.f_df1 == 1 && b.out.df_pooled == 53, v + ": F df1 and pooled df");
        for (std::size_t r = 0; r < rows; ++r) {
            const std::string at = v + " row " + std::to_string(r);
            check(std::isnan(logfc_expected[r]) ? std::isnan(b.logfc[r])
                                                : std::fabs(b.logfc[r] - logfc_expected[r]) <= 1e-12,
                  at + " logFC");
            check(b.df_residual[r] == df_residual_expected[r], at + " df.residual");
            check_close(b.s2[r], s2_expected[r], 1e-12, at + " s2");
            check_close(b.t[r], e.t[r], std::max(1e-12, prior_tol), at + " t", 1.0);
            check_close(b.s2_prior[r], e.s2_prior[r], prior_tol, at + " s2.prior");
            check_close(b.df_prior[r], e.df_prior[r], prior_tol, at + " df.prior");
            check_close(b.s2_post[r], e.s2_post[r], prior_tol, at + " s2.post");
            check_close(b.df_total[r], e.df_total[r], prior_tol, at + " df.total");
            const double p = 2 * special::t_cdf(-std::fabs(b.t[r]), b.df_total[r], false, false);
            check_close(p, e.p_value[r], std::max(1e-10, prior_tol), at + " P.Value");
            check_close(b.f[r], b.t[r] * b.t[r], 1e-15, at + " F = t^2");
        }
        // the p-values only preselect the features B is estimated from
        std::vector<double> p(rows), lods(rows), lods_alone(rows);
        for (std::size_t r = 0; r < rows; ++r)
            p[r] = 2 * special::t_cdf(-std::fabs(b.t[r]), b.df_total[r], false, false);
        double var_prior, var_prior_alone;
        moderated::moderated_lods(b.out, rows, 1, p.data(), lods.data(), &var_prior);
        moderated::moderated_lods(b.out, rows, 1, nullptr, lods_alone.data(), &var_prior_alone);
        check_all(lods.data(), e.lods, rows, std::max(1e-9, prior_tol), v + " B");
        check_all(lods_alone.data(), lods.data(), rows, 0.0, v + " B without p-values");
        check(var_prior == var_prior_alone, v + ": var.prior without p-values");
    }
}

void test_three_groups_match_limma() {
    static const int group[cols] = {0, 0, 0, 1, 1, 1, 2, 2};
    moderated::fit_input in;
    in.values = small;
    in.rows = rows;
    in.cols = cols;
    in.group = group;
    in.groups = 3;
    in.method = moderated::estimate::classic;
    fit_buffers b(rows, 2);
    check(moderated::moderated_fit(in, b.out) == moderated::ok, "three groups: status");
    check(b.out.f_df1 == 2, "three groups: F df1");
    check_close(b.out.prior.df_prior, df_prior_three, 1e-12, "three groups: df.prior");
    check_close(b.out.prior.s2_prior, s2_prior_three, 1e-12, "three groups: s2.prior");
    for (std::size_t r = 0; r < rows; ++r) {
        const std::string at = "three groups row " + std::to_string(r);
        check_close(b.t[2 * r], t_avsc_expected[r], 1e-12, at + " t A - C", 1.0);
        check_close(b.t[2 * r + 1], t_bvsc_expected[r], 1e-12, at + " t B - C", 1.0);
        check_close(b.f[r], f_expected[r], 1e-12, at + " F", 1.0);
        // F's denominator df is not capped at the pooled df as df.total is
        check(b.f_df2[r] == b.df_prior[r] + b.df_residual[r], at + " F df2");
        check_close(special::f_cdf(b.f[r], 2, b.f_df2[r], true, false), f_p_expected[r], 1e-10, at + " F p");
    }
}

void test_statuses() {
    // the likelihood estimate with unequal dfs has no trend or robust form here
    for (const char* v : {"trend", "robust"}) {
        moderated::fit_input in = two_group_input(v);
        in.method = moderated::estimate::automatic;
        fit_buffers b(rows, 1);
        check(moderated::moderated_fit(in, b.out) == moderated::not_built, std::string("not built: ") + v);
    }
    // one value per group: no residual df anywhere
    const double one[] = {1.0, nan, 2.0, nan, 3.0, nan, nan, 0.5};
    const int group[] = {0, 0, 1, 1};
    moderated::fit_input in;
    in.values = one;
    in.rows = 2;
    in.cols = 4;
    in.group = group;
    in.groups = 2;
    fit_buffers b(2, 1);
    check(moderated::moderated_fit(in, b.out) == moderated::no_residual_df, "no residual df");
}

void test_infinite_prior_df() {
    // every feature has the same residual variance: the log variances vary less
    // than sampling alone would make them, so the prior df is infinite
    const std::size_t n = 40;
    std::vector<double> values(n * 5);
    for (std::size_t r = 0; r < n; ++r) {
        const double m = 0.1 * r, d = 0.01 * (r % 7);
        const double row[5] = {m - 1, m, m + 1, m + d - 1, m + d + 1};
        for (std::size_t c = 0; c < 5; ++c) values[r * 5 + c] = row[c];
    }
    const int group[] = {0, 0, 0, 1, 1};
    moderated::fit_input in;
    in.values = values.data();
    in.rows = n;
    in.cols = 5;
    in.group = group;
    in.groups = 2;
    for (bool robust : {false, true}) {
        in.robust = robust;
        in.method = moderated::estimate::classic;
        fit_buffers b(n, 1);
        const std::string v = robust ? "robust" : "classic";
        check(moderated::moderated_fit(in, b.out) == moderated::ok, v + ": status");
        check(std::isinf(b.out.prior.df2) && std::isinf(b.f_df2[0]), v + ": infinite prior df");
        bool limits = true;
        std::vector<double> lods(n);
        double var_prior;
        moderated::moderated_lods(b.out, n, 1, nullptr, lods.data(), &var_prior);
        for (std::size_t r = 0; r < n; ++r)
            limits = limits && b.s2_post[r] == b.s2_prior[r] && b.df_total[r] == b.out.df_pooled &&
                     std::isfinite(b.t[r]) && std::isfinite(lods[r]);
        check(limits, v + ": posterior = prior, df.total = pooled df, finite t and B");
    }
}

}  // namespace

int main() {
    test_gamma_family();
    test_distribution_functions();
    test_gauss_legendre();
    test_brent_minimize_follows_r();
    test_brent_root_follows_r();
    test_two_groups_match_limma();
    test_three_groups_match_limma();
    test_statuses();
    test_infinite_prior_df();
    return checks::report();
}
