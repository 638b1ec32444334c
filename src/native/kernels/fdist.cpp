#include "kernels/fdist.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "kernels/least_squares.hpp"
#include "kernels/parallel.hpp"
#include "kernels/smoothing.hpp"
#include "kernels/special.hpp"
#include "kernels/summaries.hpp"

namespace tessera::kernels::moderated {

namespace {

namespace sp = tessera::kernels::special;
using namespace tessera::kernels::summaries;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Mean and variance of log F(df1, df2) Winsorised at the lower tail
// probability `lower` and the upper one `upper`: 128-point Gauss-Legendre over
// the middle part, after the change of variable F/(1 + F) that maps it to a
// finite interval.
struct winsorized {
    std::vector<double> nodes, weights;
    double lower, upper;

    winsorized(double lower_tail, double upper_tail)
        : nodes(128), weights(128), lower(lower_tail), upper(upper_tail) {
        sp::gauss_legendre_unit(128, nodes.data(), weights.data());
    }

    void moments(double df1, double df2, double& mean, double& var) const {
        const double fq[2] = {sp::f_quantile(lower, df1, df2, false, false),
                              sp::f_quantile(1 - upper, df1, df2, false, false)};
        const double zq[2] = {std::log(fq[0]), std::log(fq[1])};
        const double q[2] = {fq[0] / (1 + fq[0]), fq[1] / (1 + fq[1])};
        const double q21 = q[1] - q[0];
        const std::size_t n = nodes.size();
        std::vector<double> znodes(n), wf(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double node = q[0] + q21 * nodes[i];
            const double fnode = node / (1 - node);
            znodes[i] = std::log(fnode);
            wf[i] = weights[i] * (sp::f_density(fnode, df1, df2) / ((1 - node) * (1 - node)));
        }
        long double s = 0;
        for (std::size_t i = 0; i < n; ++i) s += wf[i] * znodes[i];
        mean = q21 * static_cast<double>(s) +
               static_cast<double>((long double)(zq[0] * lower) + zq[1] * upper);
        s = 0;
        for (std::size_t i = 0; i < n; ++i) s += wf[i] * ((znodes[i] - mean) * (znodes[i] - mean));
        var = q21 * static_cast<double>(s) +
              static_cast<double>((long double)((zq[0] - mean) * (zq[0] - mean) * lower) +
                                  (zq[1] - mean) * (zq[1] - mean) * upper);
    }
};

// fit_f_dist_robust for features that all have a finite x and df1 > 1e-6.
bool robust_core(std::vector<double> x, std::vector<double> df1, const double* covariate,
                 double wl, double wu, std::vector<double>& scale, double& df2_out,
                 std::vector<double>& shrunk) {
    const std::size_t n = x.size();
    scale.assign(n, nan);
    shrunk.assign(n, nan);
    df2_out = nan;
    if (n < 2) return false;
    if (n == 2) {
        double df2;
        const bool done = fit_f_dist(x.data(), df1.data(), n, covariate, scale.data(), &df2);
        df2_out = df2;
        shrunk.assign(n, df2);
        return done;
    }
    const double m = r_median(x);
    if (!(m > 0)) return false;
    for (double& v : x)
        if (v < m * 1e-12) v = m * 1e-12;
    std::vector<double> scale0(n);
    double df20;
    if (!fit_f_dist(x.data(), df1.data(), n, covariate, scale0.data(), &df20)) return false;
    if (wl < 1.0 / n && wu < 1.0 / n) {
        scale = scale0;
        df2_out = df20;
        shrunk.assign(n, df20);
        return true;
    }
    // features with fewer df are moved to the largest df1 at equal tail probability
    const double df1max = *std::max_element(df1.begin(), df1.end());
    for_row_blocks(n, [&](std::size_t i) {
        if (!(df1[i] < df1max - 1e-14)) return;
        const double s = scale0[i];
        const double f = x[i] / s;
        const double pupper = sp::f_cdf(f, df1[i], df20, true, true);
        const double plower = sp::f_cdf(f, df1[i], df20, false, true);
        const double g = pupper < plower ? sp::f_quantile(pupper, df1max, df20, true, true)
                                         : sp::f_quantile(plower, df1max, df20, false, true);
        x[i] = g * s;
    });
    const double d1 = df1max;
    std::vector<double> z(n), ztrend(n), zresid(n);
    for (std::size_t i = 0; i < n; ++i) z[i] = std::log(x[i]);
    if (covariate == nullptr) {
        // R's mean(z, trim = wu)
        std::vector<double> sorted = z;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t lo = static_cast<std::size_t>(std::floor(n * wu));
        const double trimmed = r_mean(sorted.data() + lo, n - 2 * lo);
        std::fill(ztrend.begin(), ztrend.end(), trimmed);
    } else {
        ztrend = smoothing::lowess_trend(z, std::vector<double>(covariate, covariate + n), 0.4);
    }
    for (std::size_t i = 0; i < n; ++i) zresid[i] = z[i] - ztrend[i];
    std::vector<double> sorted = zresid;
    std::sort(sorted.begin(), sorted.end());
    const double zq_lo = quantile7(sorted, wl), zq_hi = quantile7(sorted, 1 - wu);
    std::vector<double> zwins(n);
    for (std::size_t i = 0; i < n; ++i) zwins[i] = std::min(std::max(zresid[i], zq_lo), zq_hi);
    const double zwmean = r_mean(zwins);
    std::vector<double> dev(n);
    for (std::size_t i = 0; i < n; ++i) dev[i] = (zwins[i] - zwmean) * (zwins[i] - zwmean);
    const double zwvar = r_mean(dev) * n / (n - 1);
    const winsorized wins(wl, wu);
    double mean_inf, var_inf;
    wins.moments(d1, inf, mean_inf, var_inf);
    const double funval_inf = std::log(zwvar / var_inf);
    if (funval_inf <= 0) {
        // log x varies no more than sampling explains: infinite prior df,
        // shrunk for the features the chi-square tail marks as outliers
        std::vector<double> fstat(n), tailp(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double ztc = ztrend[i] + zwmean - mean_inf;
            scale[i] = std::exp(ztc);
            fstat[i] = std::exp(z[i] - ztc);
        }
        for_row_blocks(n, [&](std::size_t i) { tailp[i] = sp::chisq_upper(fstat[i] * d1, d1); });
        const std::vector<double> r = average_ranks(fstat);
        shrunk.assign(n, inf);
        bool any = false;
        for (std::size_t i = 0; i < n; ++i) {
            const double prob_not = std::min(tailp[i] / ((n - r[i] + 0.5) / n), 1.0);
            if (prob_not < 1) {
                shrunk[i] = prob_not * (n * d1);
                any = true;
            }
        }
        if (any) {
            const std::vector<std::size_t> o = stable_order(tailp);
            double running = -inf;
            for (std::size_t i : o) shrunk[i] = running = std::max(running, shrunk[i]);
        }
        df2_out = inf;
        return true;
    }
    if (std::isinf(df20)) {
        scale = scale0;
        df2_out = df20;
        shrunk.assign(n, df20);
        return true;
    }
    auto fun = [&](double v) {
        double mean, var;
        wins.moments(d1, v / (1 - v), mean, var);
        return std::log(zwvar / var);
    };
    const double rbx = df20 / (1 + df20);
    const double funval_low = fun(rbx);
    double df2;
    if (funval_low >= 0) {
        df2 = df20;
    } else {
        const double root = sp::brent_root(fun, rbx, 1.0, funval_low, funval_inf, 1e-8);
        df2 = root / (1 - root);
    }
    double mean2, var2;
    wins.moments(d1, df2, mean2, var2);
    std::vector<double> fstat(n), log_tailp(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double ztc = ztrend[i] + zwmean - mean2;
        scale[i] = std::exp(ztc);
        fstat[i] = std::exp(z[i] - ztc);
    }
    for_row_blocks(n, [&](std::size_t i) { log_tailp[i] = sp::f_cdf(fstat[i], d1, df2, true, true); });
    const std::vector<double> r = average_ranks(fstat);
    std::vector<double> log_prob_not(n);
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        log_prob_not[i] = std::min(log_tailp[i] - (std::log(n - r[i] + 0.5) - std::log(static_cast<double>(n))), 0.0);
        if (log_prob_not[i] < 0) any = true;
    }
    df2_out = df2;
    if (!any) {
        shrunk.assign(n, df2);
        return true;
    }
    const double min_log_tailp = *std::min_element(log_tailp.begin(), log_tailp.end());
    if (min_log_tailp == -inf) {
        for (std::size_t i = 0; i < n; ++i) shrunk[i] = std::exp(log_prob_not[i]) * df2;
    } else {
        // the df that puts the largest F at the median of its distribution
        double outlier = std::log(0.5) / min_log_tailp * df2;
        const double fmax = *std::max_element(fstat.begin(), fstat.end());
        outlier = std::log(0.5) / sp::f_cdf(fmax, d1, outlier, true, true) * outlier;
        for (std::size_t i = 0; i < n; ++i)
            shrunk[i] = std::exp(log_prob_not[i]) * df2 + (-std::expm1(log_prob_not[i])) * outlier;
    }
    // monotone in the tail probability: a running mean floor, then cummax
    const std::vector<std::size_t> o = stable_order(log_tailp);
    std::vector<double> ordered(n), running(n);
    long double cum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ordered[i] = shrunk[o[i]];
        cum += ordered[i];
        running[i] = static_cast<double>(cum) / (i + 1);
    }
    const std::size_t imin = std::min_element(running.begin(), running.end()) - running.begin();
    for (std::size_t i = 0; i <= imin; ++i) ordered[i] = running[imin];
    double top = -inf;
    for (std::size_t i = 0; i < n; ++i) shrunk[o[i]] = top = std::max(top, ordered[i]);
    return true;
}

}  // namespace

bool fit_f_dist(const double* x_in, const double* df1_in, std::size_t n, const double* covariate_in,
                double* scale, double* df2) {
    std::fill(scale, scale + n, nan);
    *df2 = nan;
    if (n == 0) return false;
    if (n == 1) {
        scale[0] = x_in[0];
        *df2 = 0;
        return true;
    }
    std::vector<double> covariate;
    if (covariate_in != nullptr) {
        covariate.assign(covariate_in, covariate_in + n);
        double lo = inf, hi = -inf;
        for (double c : covariate)
            if (std::isfinite(c)) {
                lo = std::min(lo, c);
                hi = std::max(hi, c);
            }
        for (double& c : covariate) {
            if (lo <= hi) {
                if (c == -inf) c = lo - 1;
                if (c == inf) c = hi + 1;
            } else if (std::isinf(c)) {
                c = c > 0 ? 1.0 : -1.0;
            }
        }
    }
    std::vector<std::size_t> ok;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(df1_in[i]) && df1_in[i] > 1e-15 && std::isfinite(x_in[i]) && x_in[i] > -1e-15 &&
            (covariate.empty() || !std::isnan(covariate[i])))
            ok.push_back(i);
    const std::size_t nok = ok.size();
    if (nok == 0) return false;
    if (nok == 1) {
        std::fill(scale, scale + n, x_in[ok[0]]);
        *df2 = 0;
        return true;
    }
    std::vector<double> x(nok), d1(nok), cov;
    for (std::size_t i = 0; i < nok; ++i) {
        x[i] = x_in[ok[i]];
        d1[i] = df1_in[ok[i]] / 2;
    }
    std::size_t splinedf = 1;
    if (!covariate.empty()) {
        for (std::size_t i : ok) cov.push_back(covariate[i]);
        splinedf = 1 + (nok >= 3) + (nok >= 6) + (nok >= 30);
        std::vector<double> distinct = cov;
        std::sort(distinct.begin(), distinct.end());
        const std::size_t unique = std::unique(distinct.begin(), distinct.end()) - distinct.begin();
        splinedf = std::min(splinedf, unique);
        if (splinedf < 2) {
            std::vector<double> df1(nok);
            for (std::size_t i = 0; i < nok; ++i) df1[i] = df1_in[ok[i]];
            std::vector<double> s(nok);
            if (!fit_f_dist(x.data(), df1.data(), nok, nullptr, s.data(), df2)) return false;
            std::fill(scale, scale + n, s[0]);
            return true;
        }
    }
    for (double& v : x) v = std::max(v, 0.0);
    double m = r_median(x);
    if (m == 0) m = 1;  // more than half the variances are zero
    std::vector<double> e(nok), tri(nok);
    for (std::size_t i = 0; i < nok; ++i) {
        x[i] = std::max(x[i], 1e-5 * m);
        e[i] = std::log(x[i]) - sp::digamma(d1[i]) + std::log(d1[i]);
        tri[i] = sp::trigamma(d1[i]);
    }
    std::vector<double> emean(n, nan);
    double evar;
    if (cov.empty()) {
        const double mean = r_mean(e);
        std::vector<double> dev(nok);
        for (std::size_t i = 0; i < nok; ++i) dev[i] = (e[i] - mean) * (e[i] - mean);
        evar = long_sum(dev.data(), nok) / (nok - 1);
        std::fill(emean.begin(), emean.end(), mean);
    } else {
        std::vector<double> sorted = cov;
        std::sort(sorted.begin(), sorted.end());
        std::vector<double> knots{sorted.front()};
        // interior knots at the quantiles j / (splinedf - 1), as seq(0, 1, length.out) gives them
        const double by = 1.0 / (splinedf - 1);
        for (std::size_t j = 1; j + 1 < splinedf; ++j) knots.push_back(quantile7(sorted, j * by));
        knots.push_back(sorted.back());
        const smoothing::natural_spline spline(knots);
        const std::size_t p = spline.size();
        std::vector<double> a(nok * p), row(p);
        for (std::size_t i = 0; i < nok; ++i) {
            spline.basis(cov[i], row.data());
            for (std::size_t j = 0; j < p; ++j) a[j * nok + i] = row[j];
        }
        const linalg::least_squares fit = linalg::householder_fit(a, e, nok, p);
        evar = fit.residual_variance;
        std::vector<bool> fitted(n, false);
        for (std::size_t i = 0; i < nok; ++i) {
            emean[ok[i]] = fit.fitted[i];
            fitted[ok[i]] = true;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (fitted[i] || std::isnan(covariate[i])) continue;
            spline.basis(covariate[i], row.data());
            double s = 0;
            for (std::size_t j = 0; j < p; ++j) s += row[j] * fit.coef[j];
            emean[i] = s;
        }
    }
    evar = evar - r_mean(tri);
    if (evar > 0) {
        *df2 = 2 * sp::trigamma_inverse(evar);
        const double shift = sp::digamma(*df2 / 2);
        const double log_half_df2 = std::log(*df2 / 2);
        for (std::size_t i = 0; i < n; ++i) scale[i] = std::exp(emean[i] + shift - log_half_df2);
    } else {
        *df2 = inf;
        if (cov.empty()) {
            std::fill(scale, scale + n, r_mean(x));
        } else {
            for (std::size_t i = 0; i < n; ++i) scale[i] = std::exp(emean[i]);
        }
    }
    return true;
}

bool fit_f_dist_likelihood(const double* x_in, const double* df1_in, std::size_t n, double* scale,
                           double* df2) {
    *scale = nan;
    *df2 = nan;
    std::vector<std::size_t> used;  // features with weight 1
    std::vector<double> informative;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(x_in[i]) || df1_in[i] < 0.01) continue;
        used.push_back(i);
        if (x_in[i] > 0) informative.push_back(x_in[i]);
    }
    if (informative.size() < 2) return false;
    const double floor = 1e-12 * r_median(informative);
    const std::size_t m = used.size();
    // the terms that depend on df1 alone are computed once per distinct df1
    std::vector<double> d1(m), d1x(m), e(m), w(m), levels;
    std::vector<std::size_t> level(m);
    for (std::size_t i = 0; i < m; ++i) {
        const double xpos = std::max(x_in[used[i]], floor);
        d1[i] = df1_in[used[i]] / 2;
        d1x[i] = d1[i] * xpos;
        e[i] = std::log(xpos) + sp::log_minus_digamma(d1[i]);
        w[i] = 1.0 / sp::trigamma(d1[i]);
    }
    // residual dfs take few distinct values: a linear search finds each one's
    // level unless there turn out to be many, and then a sorted table does
    for (std::size_t i = 0; i < m && levels.size() <= 64; ++i) {
        std::size_t l = 0;
        while (l < levels.size() && levels[l] != d1[i]) ++l;
        if (l == levels.size()) levels.push_back(d1[i]);
        level[i] = l;
    }
    if (levels.size() > 64) {
        levels = d1;
        std::sort(levels.begin(), levels.end());
        levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
        for (std::size_t i = 0; i < m; ++i)
            level[i] = std::lower_bound(levels.begin(), levels.end(), d1[i]) - levels.begin();
    }
    long double we = 0, ws = 0;
    for (std::size_t i = 0; i < m; ++i) {
        we += w[i] * e[i];
        ws += w[i];
    }
    const double emean = static_cast<double>(we) / static_cast<double>(ws);
    std::vector<double> b(levels.size()), c(levels.size());
    auto minus_twice_loglik = [&](double p) {
        const double d2 = p / (1 - p);
        const double d2s20 = d2 * std::exp(emean - sp::log_minus_digamma(d2));
        const double log_d2s20 = std::log(d2s20);
        const double lgamma_d2 = sp::log_gamma(d2);
        for (std::size_t l = 0; l < levels.size(); ++l) {
            b[l] = levels[l] * log_d2s20;
            c[l] = sp::log_gamma(levels[l] + d2);
        }
        long double s = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t l = level[i];
            s += ((-(d1[i] + d2) * std::log1p(d1x[i] / d2s20) - b[l]) + c[l]) - lgamma_d2;
        }
        return -2 * static_cast<double>(s);
    };
    const double p = sp::brent_minimize(minus_twice_loglik, 0.5, 0.9998);
    const double d2 = p / (1 - p);
    *scale = std::exp(emean - sp::log_minus_digamma(d2));
    *df2 = 2 * d2;
    return true;
}

bool fit_f_dist_robust(const double* x, const double* df1, std::size_t n,
                       const double* covariate, double winsor_lower, double winsor_upper,
                       double* scale, double* df2, double* df2_shrunk) {
    std::fill(scale, scale + n, nan);
    std::fill(df2_shrunk, df2_shrunk + n, nan);
    *df2 = nan;
    std::vector<std::size_t> ok;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isnan(x[i]) && std::isfinite(df1[i]) && df1[i] > 1e-6) ok.push_back(i);
    std::vector<double> xs(ok.size()), ds(ok.size()), cs;
    for (std::size_t i = 0; i < ok.size(); ++i) {
        xs[i] = x[ok[i]];
        ds[i] = df1[ok[i]];
        if (covariate != nullptr) cs.push_back(covariate[ok[i]]);
    }
    std::vector<double> sub_scale, sub_shrunk;
    double sub_df2;
    // features without residual df take the fitted df2, and the scale the
    // trend interpolates (linearly in log scale) at their covariate
    const bool done = robust_core(xs, ds, cs.empty() ? nullptr : cs.data(), winsor_lower,
                                  winsor_upper, sub_scale, sub_df2, sub_shrunk);
    if (!done) return false;
    *df2 = sub_df2;
    std::fill(df2_shrunk, df2_shrunk + n, sub_df2);
    for (std::size_t i = 0; i < ok.size(); ++i) {
        df2_shrunk[ok[i]] = sub_shrunk[i];
        scale[ok[i]] = sub_scale[i];
    }
    if (ok.size() < n) {
        if (covariate == nullptr) {
            std::fill(scale, scale + n, sub_scale[0]);
        } else {
            std::vector<double> log_scale(ok.size());
            for (std::size_t i = 0; i < ok.size(); ++i) log_scale[i] = std::log(sub_scale[i]);
            const smoothing::interpolator at(cs, log_scale);
            std::size_t j = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (j < ok.size() && ok[j] == i) {
                    ++j;
                    continue;
                }
                scale[i] = std::exp(at(covariate[i]));
            }
        }
    }
    return true;
}

}  // namespace tessera::kernels::moderated
