#include "kernels/moderated.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "kernels/parallel.hpp"
#include "kernels/special.hpp"

namespace tessera::kernels::moderated {

namespace {

namespace sp = tessera::kernels::special;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// Rows per task of the per-feature loops.
constexpr std::size_t block_rows = 512;

template <class Body>
void for_row_blocks(std::size_t rows, const Body& body) {
    const std::size_t blocks = (rows + block_rows - 1) / block_rows;
    parallel_for(blocks, [&](std::size_t b) {
        const std::size_t end = std::min(rows, (b + 1) * block_rows);
        for (std::size_t r = b * block_rows; r < end; ++r) body(r);
    });
}

// Sum in extended precision, as R's sum() of doubles accumulates.
double long_sum(const double* v, std::size_t n) {
    long double s = 0;
    for (std::size_t i = 0; i < n; ++i) s += v[i];
    return static_cast<double>(s);
}

// R's mean(): an extended-precision sum, then a second pass that corrects it.
double r_mean(const double* v, std::size_t n) {
    long double s = 0;
    for (std::size_t i = 0; i < n; ++i) s += v[i];
    s /= n;
    if (std::isfinite(static_cast<double>(s))) {
        long double t = 0;
        for (std::size_t i = 0; i < n; ++i) t += v[i] - s;
        s += t / n;
    }
    return static_cast<double>(s);
}

double r_mean(const std::vector<double>& v) { return r_mean(v.data(), v.size()); }

// R's median (the mean of the two middle values for an even count).
double r_median(std::vector<double> v) {
    const std::size_t n = v.size();
    if (n == 0) return nan;
    const std::size_t half = (n - 1) / 2;
    std::nth_element(v.begin(), v.begin() + half, v.end());
    const double lo = v[half];
    if (n % 2 == 1) return lo;
    const double hi = *std::min_element(v.begin() + half + 1, v.end());
    return static_cast<double>(((long double)lo + hi) / 2);
}

// R's quantile(type = 7) of sorted values: (1 - h) x[lo] + h x[hi].
double quantile7(const std::vector<double>& sorted, double prob) {
    const double index = (sorted.size() - 1) * prob;
    const std::size_t lo = static_cast<std::size_t>(std::floor(index));
    const std::size_t hi = static_cast<std::size_t>(std::ceil(index));
    double q = sorted[lo];
    const double h = index - lo;
    if (index > lo && sorted[hi] != q) q = (1 - h) * q + h * sorted[hi];
    return q;
}

// Ranks 1..n with ties averaged (R's rank()).
std::vector<double> average_ranks(const std::vector<double>& v) {
    const std::size_t n = v.size();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
    std::vector<double> rank(n);
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i;
        while (j + 1 < n && v[order[j + 1]] == v[order[i]]) ++j;
        const double r = (i + j) / 2.0 + 1.0;
        for (std::size_t m = i; m <= j; ++m) rank[order[m]] = r;
        i = j + 1;
    }
    return rank;
}

// Indices ordering v increasingly, ties in input order (R's order()).
std::vector<std::size_t> stable_order(const std::vector<double>& v) {
    std::vector<std::size_t> order(v.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return v[a] < v[b]; });
    return order;
}

// Natural cubic splines with the given knots (boundary knots first and last),
// the space of R's splines::ns(x, df, intercept = TRUE). The fitted values of a
// least-squares fit do not depend on the basis, so this one is the
// truncated-power form on x scaled to [0, 1] by the boundary knots, which is
// well conditioned for the at most four knots used and linear beyond them.
struct natural_spline {
    std::vector<double> knots;  // scaled to [0, 1]
    double lo = 0, span = 1;

    natural_spline(const std::vector<double>& raw) : lo(raw.front()), span(raw.back() - raw.front()) {
        for (double k : raw) knots.push_back((k - lo) / span);
    }

    std::size_t size() const { return knots.size(); }

    void basis(double x, double* row) const {
        const double u = (x - lo) / span;
        const std::size_t last = knots.size() - 1;
        auto cube = [](double v) { return v > 0 ? v * v * v : 0.0; };
        auto d = [&](std::size_t j) {
            return (cube(u - knots[j]) - cube(u - knots[last])) / (knots[last] - knots[j]);
        };
        row[0] = 1.0;
        row[1] = u;
        for (std::size_t j = 0; j + 2 < knots.size(); ++j) row[2 + j] = d(j) - d(last - 1);
    }
};

// Least squares of y on the n x p matrix a (column-major) by Householder QR:
// coefficients (0 for columns dependent on earlier ones, as R's lm.fit leaves
// them out), fitted values, and the mean square of the effects beyond the
// rank (the residual variance of R's lm.fit).
struct least_squares {
    std::vector<double> coef, fitted;
    double residual_variance = nan;
};

least_squares householder_fit(std::vector<double> a, std::vector<double> y, std::size_t n, std::size_t p) {
    least_squares out;
    std::vector<double> original = a;
    std::vector<std::size_t> used;  // columns kept, in order
    std::vector<double> diag;
    std::size_t rank = 0;
    for (std::size_t j = 0; j < p && rank < n; ++j) {
        double* col = &a[j * n];
        double norm0 = 0;
        for (std::size_t i = 0; i < n; ++i) norm0 += original[j * n + i] * original[j * n + i];
        double norm = 0;
        for (std::size_t i = rank; i < n; ++i) norm += col[i] * col[i];
        norm = std::sqrt(norm);
        // a column (nearly) in the span of the previous ones is left out, as
        // LINPACK's dqrdc2 does with its 1e-7 tolerance
        if (!(norm > 1e-7 * std::sqrt(norm0))) continue;
        const double alpha = col[rank] > 0 ? -norm : norm;
        std::vector<double> v(col + rank, col + n);
        v[0] -= alpha;
        double vv = 0;
        for (double e : v) vv += e * e;
        auto reflect = [&](double* target) {
            double s = 0;
            for (std::size_t i = 0; i < v.size(); ++i) s += v[i] * target[rank + i];
            s = 2 * s / vv;
            for (std::size_t i = 0; i < v.size(); ++i) target[rank + i] -= s * v[i];
        };
        for (std::size_t m = j; m < p; ++m) reflect(&a[m * n]);
        reflect(y.data());
        used.push_back(j);
        diag.push_back(a[j * n + rank]);
        ++rank;
    }
    // y now holds the effects Q'y; solve R b = (Q'y)[0:rank]
    std::vector<double> b(rank);
    for (std::size_t r = rank; r-- > 0;) {
        double s = y[r];
        for (std::size_t m = r + 1; m < rank; ++m) s -= a[used[m] * n + r] * b[m];
        b[r] = s / a[used[r] * n + r];
    }
    out.coef.assign(p, 0.0);
    for (std::size_t r = 0; r < rank; ++r) out.coef[used[r]] = b[r];
    out.fitted.assign(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0;
        for (std::size_t j = 0; j < p; ++j) s += original[j * n + i] * out.coef[j];
        out.fitted[i] = s;
    }
    if (n > rank) {
        std::vector<double> squares(y.begin() + rank, y.end());
        for (double& e : squares) e *= e;
        out.residual_variance = r_mean(squares);
    }
    return out;
}

// R's lowess (Cleveland's clowess) of y on increasing x: local linear fits
// with tricube weights over the nearest span * n points, robustness
// iterations with bisquare weights, fits only every `delta` in x with
// linear interpolation between.
std::vector<double> lowess(const std::vector<double>& x, const std::vector<double>& y, double span,
                           int iterations, double delta) {
    const std::size_t n = x.size();
    std::vector<double> ys(n), rw(n, 1.0), res(n), w(n);
    if (n < 2) {
        ys = y;
        return ys;
    }
    const std::size_t ns = std::max<std::size_t>(
        2, std::min<std::size_t>(n, static_cast<std::size_t>(span * n + 1e-7)));
    const double range = x[n - 1] - x[0];
    // the fitted value at xs from points nleft..nright (0-based)
    auto fit_at = [&](double xs, std::size_t nleft, std::size_t nright, bool robust, double& out) {
        const double h = std::max(xs - x[nleft], x[nright] - xs);
        const double h9 = 0.999 * h, h1 = 0.001 * h;
        double a = 0.0;
        std::size_t j = nleft;
        for (; j < n; ++j) {
            w[j] = 0.0;
            const double r = std::fabs(x[j] - xs);
            if (r <= h9) {
                if (r <= h1) {
                    w[j] = 1.0;
                } else {
                    const double q = r / h;
                    const double c = 1.0 - q * q * q;
                    w[j] = c * c * c;
                }
                if (robust) w[j] *= rw[j];
                a += w[j];
            } else if (x[j] > xs) {
                break;
            }
        }
        const std::size_t nrt = j - 1;  // rightmost point used (ties included)
        if (a <= 0.0) return false;
        for (j = nleft; j <= nrt; ++j) w[j] /= a;
        if (h > 0.0) {
            a = 0.0;
            for (j = nleft; j <= nrt; ++j) a += w[j] * x[j];
            double b = xs - a;
            double c = 0.0;
            for (j = nleft; j <= nrt; ++j) c += w[j] * (x[j] - a) * (x[j] - a);
            if (std::sqrt(c) > 0.001 * range) {
                b /= c;
                for (j = nleft; j <= nrt; ++j) w[j] *= (b * (x[j] - a) + 1.0);
            }
        }
        double s = 0.0;
        for (j = nleft; j <= nrt; ++j) s += w[j] * y[j];
        out = s;
        return true;
    };
    for (int iter = 1; iter <= iterations + 1; ++iter) {
        std::size_t nleft = 0, nright = ns - 1, i = 0;
        std::ptrdiff_t last = -1;
        for (;;) {
            if (nright < n - 1) {
                const double d1 = x[i] - x[nleft];
                const double d2 = x[nright + 1] - x[i];
                if (d1 > d2) {  // the window moves right while that shrinks it
                    ++nleft;
                    ++nright;
                    continue;
                }
            }
            if (!fit_at(x[i], nleft, nright, iter > 1, ys[i])) ys[i] = y[i];
            if (last < static_cast<std::ptrdiff_t>(i) - 1) {  // interpolate skipped points
                const double denom = x[i] - x[last];
                for (std::size_t j = last + 1; j < i; ++j) {
                    const double alpha = (x[j] - x[last]) / denom;
                    ys[j] = alpha * ys[i] + (1.0 - alpha) * ys[last];
                }
            }
            last = i;
            const double cut = x[last] + delta;
            for (i = last + 1; i < n; ++i) {
                if (x[i] > cut) break;
                if (x[i] == x[last]) {
                    ys[i] = ys[last];
                    last = i;
                }
            }
            i = std::max<std::size_t>(last + 1, i - 1);
            if (last >= static_cast<std::ptrdiff_t>(n) - 1) break;
        }
        for (std::size_t m = 0; m < n; ++m) res[m] = y[m] - ys[m];
        double sc = 0.0;
        for (std::size_t m = 0; m < n; ++m) sc += std::fabs(res[m]);
        sc /= n;
        if (iter > iterations) break;
        std::vector<double> ares(n);
        for (std::size_t m = 0; m < n; ++m) ares[m] = std::fabs(res[m]);
        const std::size_t m1 = n / 2;
        std::nth_element(ares.begin(), ares.begin() + m1, ares.end());
        double cmad;
        if (n % 2 == 0) {
            const double upper = ares[m1];
            const double lower = *std::max_element(ares.begin(), ares.begin() + m1);
            cmad = 3.0 * (upper + lower);
        } else {
            cmad = 6.0 * ares[m1];
        }
        if (cmad < 1e-7 * sc) break;
        const double c9 = 0.999 * cmad, c1 = 0.001 * cmad;
        for (std::size_t m = 0; m < n; ++m) {
            const double r = std::fabs(res[m]);
            if (r <= c1) {
                rw[m] = 1.0;
            } else if (r <= c9) {
                const double q = r / cmad;
                rw[m] = (1.0 - q * q) * (1.0 - q * q);
            } else {
                rw[m] = 0.0;
            }
        }
    }
    return ys;
}

// limma's loessFit without weights: lowess of y on x with 3 robustness
// iterations, returned in the input order.
std::vector<double> lowess_trend(const std::vector<double>& y, const std::vector<double>& x, double span) {
    const std::size_t n = y.size();
    std::vector<std::size_t> order = stable_order(x);
    std::vector<double> xs(n), yv(n);
    for (std::size_t i = 0; i < n; ++i) {
        xs[i] = x[order[i]];
        yv[i] = y[order[i]];
    }
    std::vector<double> fitted(n);
    if (span < 1.0 / n) return y;
    const std::vector<double> fs = lowess(xs, yv, span, 3, 0.01 * (xs[n - 1] - xs[0]));
    for (std::size_t i = 0; i < n; ++i) fitted[order[i]] = fs[i];
    return fitted;
}

// R's approx(x, y, xout, rule = 2, ties = mean) at one point.
struct interpolator {
    std::vector<double> ux, uy;

    interpolator(const std::vector<double>& x, const std::vector<double>& y) {
        std::vector<std::size_t> order = stable_order(x);
        for (std::size_t i = 0; i < order.size();) {
            std::size_t j = i;
            std::vector<double> tied;
            while (j < order.size() && x[order[j]] == x[order[i]]) tied.push_back(y[order[j++]]);
            ux.push_back(x[order[i]]);
            uy.push_back(r_mean(tied));
            i = j;
        }
    }

    double operator()(double v) const {
        if (std::isnan(v)) return nan;
        const std::size_t last = ux.size() - 1;
        if (v <= ux[0]) return uy[0];
        if (v >= ux[last]) return uy[last];
        std::size_t i = 0, j = last;
        while (i < j - 1) {
            const std::size_t ij = (i + j) / 2;
            if (v < ux[ij])
                j = ij;
            else
                i = ij;
        }
        if (v == ux[j]) return uy[j];
        if (v == ux[i]) return uy[i];
        return uy[i] + (uy[j] - uy[i]) * ((v - ux[i]) / (ux[j] - ux[i]));
    }
};

// Cyclic Jacobi eigen-decomposition of a small symmetric matrix (k x k,
// row-major): eigenvalues decreasing, eigenvectors in the columns of vectors.
void symmetric_eigen(std::vector<double> a, std::size_t k, std::vector<double>& values,
                     std::vector<double>& vectors) {
    std::vector<double> v(k * k, 0.0);
    for (std::size_t i = 0; i < k; ++i) v[i * k + i] = 1.0;
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0;
        for (std::size_t p = 0; p < k; ++p)
            for (std::size_t q = p + 1; q < k; ++q) off += a[p * k + q] * a[p * k + q];
        if (off == 0.0) break;
        for (std::size_t p = 0; p < k; ++p) {
            for (std::size_t q = p + 1; q < k; ++q) {
                const double apq = a[p * k + q];
                if (apq == 0.0) continue;
                const double theta = (a[q * k + q] - a[p * k + p]) / (2 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
                const double c = 1 / std::sqrt(t * t + 1), s = t * c;
                for (std::size_t r = 0; r < k; ++r) {  // columns p, q
                    const double arp = a[r * k + p], arq = a[r * k + q];
                    a[r * k + p] = c * arp - s * arq;
                    a[r * k + q] = s * arp + c * arq;
                }
                for (std::size_t r = 0; r < k; ++r) {  // rows p, q
                    const double apr = a[p * k + r], aqr = a[q * k + r];
                    a[p * k + r] = c * apr - s * aqr;
                    a[q * k + r] = s * apr + c * aqr;
                }
                for (std::size_t r = 0; r < k; ++r) {
                    const double vrp = v[r * k + p], vrq = v[r * k + q];
                    v[r * k + p] = c * vrp - s * vrq;
                    v[r * k + q] = s * vrp + c * vrq;
                }
            }
        }
    }
    std::vector<std::size_t> order(k);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return a[x * k + x] > a[y * k + y]; });
    values.resize(k);
    vectors.assign(k * k, 0.0);
    for (std::size_t j = 0; j < k; ++j) {
        values[j] = a[order[j] * k + order[j]];
        for (std::size_t r = 0; r < k; ++r) vectors[r * k + j] = v[r * k + order[j]];
    }
}

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
        ztrend = lowess_trend(z, std::vector<double>(covariate, covariate + n), 0.4);
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

void fit_groups(const double* values, std::size_t rows, std::size_t cols, const int* group,
                std::size_t groups, double* coef, double* count, double* s2,
                double* df_residual, double* amean) {
    const std::size_t blocks = (rows + block_rows - 1) / block_rows;
    parallel_for(blocks, [&](std::size_t b) {
        std::vector<double> sum(groups), n(groups);
        const std::size_t end = std::min(rows, (b + 1) * block_rows);
        for (std::size_t r = b * block_rows; r < end; ++r) {
            const double* row = values + r * cols;
            std::fill(sum.begin(), sum.end(), 0.0);
            std::fill(n.begin(), n.end(), 0.0);
            double total = 0, total_n = 0;
            // missing cells add zeros: no branch on the data, whose gaps fall at random
            for (std::size_t c = 0; c < cols; ++c) {
                const int g = group[c];
                if (g < 0) continue;
                const bool finite = std::isfinite(row[c]);
                const double v = finite ? row[c] : 0.0;
                sum[g] += v;
                n[g] += finite;
                total += v;
                total_n += finite;
            }
            double present = 0;
            double* m = coef + r * groups;
            for (std::size_t g = 0; g < groups; ++g) {
                m[g] = n[g] > 0 ? sum[g] / n[g] : nan;
                count[r * groups + g] = n[g];
                if (n[g] > 0) present += 1;
            }
            double rss = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const int g = group[c];
                if (g < 0) continue;
                const double d = std::isfinite(row[c]) ? row[c] - m[g] : 0.0;
                rss += d * d;
            }
            const double df = total_n - present;
            df_residual[r] = df;
            s2[r] = df > 0 ? rss / df : nan;
            amean[r] = total_n > 0 ? total / total_n : nan;
        }
    });
}

void fit_contrasts(const double* coef, const double* count, std::size_t rows,
                   std::size_t groups, const double* contrasts, std::size_t k,
                   double* estimate, double* stdev_unscaled) {
    for_row_blocks(rows, [&](std::size_t r) {
        for (std::size_t j = 0; j < k; ++j) {
            double est = 0, var = 0;
            bool missing = false;
            for (std::size_t g = 0; g < groups; ++g) {
                const double c = contrasts[g * k + j];
                const double n = count[r * groups + g];
                if (n > 0) {
                    // limma's unscaled sd of a group mean, sqrt(1/n), squared again
                    const double sd = std::sqrt(1.0 / n);
                    est += coef[r * groups + g] * c;
                    var += sd * sd * (c * c);
                } else if (c != 0) {
                    missing = true;
                }
            }
            estimate[r * k + j] = missing ? nan : est;
            stdev_unscaled[r * k + j] = missing ? nan : std::sqrt(var);
        }
    });
}

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
        const natural_spline spline(knots);
        const std::size_t p = spline.size();
        std::vector<double> a(nok * p), row(p);
        for (std::size_t i = 0; i < nok; ++i) {
            spline.basis(cov[i], row.data());
            for (std::size_t j = 0; j < p; ++j) a[j * nok + i] = row[j];
        }
        const least_squares fit = householder_fit(a, e, nok, p);
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
            const interpolator at(cs, log_scale);
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

status squeeze_var(const double* s2, const double* df, std::size_t n,
                   const prior_options& options, double* s2_prior, double* df_prior,
                   double* s2_post, prior_summary* summary) {
    prior_summary info;
    info.s2_prior = info.df_prior = info.df2 = nan;
    if (summary != nullptr) *summary = info;
    if (n == 0) return prior_not_estimable;
    if (n == 1) {
        s2_prior[0] = s2_post[0] = s2[0];
        df_prior[0] = 0;
        info.s2_prior = s2[0];
        info.df_prior = info.df2 = 0;
        if (summary != nullptr) *summary = info;
        return ok;
    }
    // a variance without df (NaN or not) counts as 0, which the fits ignore
    std::vector<double> var(s2, s2 + n);
    double dmin = inf, dmax = -inf;
    for (std::size_t i = 0; i < n; ++i) {
        if (df[i] == 0) var[i] = 0;
        if (df[i] > 0) {
            dmin = std::min(dmin, df[i]);
            dmax = std::max(dmax, df[i]);
        }
    }
    if (!(dmax > 0)) return no_residual_df;
    const bool classic = options.method == estimate::classic || dmin == dmax;
    info.likelihood = !classic;
    if (!classic && (options.robust || options.covariate != nullptr)) return not_built;
    bool done;
    if (classic && options.robust) {
        done = fit_f_dist_robust(var.data(), df, n, options.covariate, options.winsor_lower,
                                 options.winsor_upper, s2_prior, &info.df2, df_prior);
    } else if (classic) {
        done = fit_f_dist(var.data(), df, n, options.covariate, s2_prior, &info.df2);
        std::fill(df_prior, df_prior + n, info.df2);
    } else {
        double scale;
        done = fit_f_dist_likelihood(var.data(), df, n, &scale, &info.df2);
        std::fill(s2_prior, s2_prior + n, scale);
        std::fill(df_prior, df_prior + n, info.df2);
    }
    if (!done) return prior_not_estimable;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isnan(df_prior[i])) return prior_not_estimable;
    // the canonical posterior, or the prior itself where its df is infinite
    for_row_blocks(n, [&](std::size_t i) {
        s2_post[i] = std::isfinite(df_prior[i])
                         ? (df[i] * var[i] + df_prior[i] * s2_prior[i]) / (df[i] + df_prior[i])
                         : s2_prior[i];
    });
    info.s2_prior = s2_prior[0];
    info.df_prior = df_prior[0];
    for (std::size_t i = 1; i < n; ++i) {
        if (!(s2_prior[i] == info.s2_prior)) info.s2_prior = nan;
        if (!(df_prior[i] == info.df_prior)) info.df_prior = nan;
    }
    if (summary != nullptr) *summary = info;
    return ok;
}

void moderated_t(const double* estimate, const double* stdev_unscaled, std::size_t rows,
                 std::size_t k, const double* s2_post, const double* df_residual,
                 const double* df_prior, double df_pooled, double* t, double* df_total) {
    for_row_blocks(rows, [&](std::size_t r) {
        const double root = std::sqrt(s2_post[r]);
        for (std::size_t j = 0; j < k; ++j) t[r * k + j] = estimate[r * k + j] / stdev_unscaled[r * k + j] / root;
        const double total = df_residual[r] + df_prior[r];
        df_total[r] = std::isnan(total) ? nan : std::min(total, df_pooled);
    });
}

std::size_t f_projection(const double* group_size, std::size_t groups, const double* contrasts,
                         std::size_t k, double* projection) {
    // covariance of the contrasts under the design, as contrasts.fit forms it
    // from the Cholesky factor diag(sqrt(1/n)) of the group means' covariance
    std::vector<double> cov(k * k, 0.0);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = 0; b < k; ++b) {
            double s = 0;
            for (std::size_t g = 0; g < groups; ++g) {
                const double root = std::sqrt(1.0 / group_size[g]);
                s += (root * contrasts[g * k + a]) * (root * contrasts[g * k + b]);
            }
            cov[a * k + b] = s;
        }
    std::vector<double> is(k);
    for (std::size_t a = 0; a < k; ++a) {
        double d = cov[a * k + a];
        if (d == 0) d = 1;
        is[a] = std::sqrt(1 / d);
    }
    std::vector<double> cor(k * k);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = 0; b < k; ++b) cor[a * k + b] = a == b ? 1.0 : is[a] * cov[a * k + b] * is[b];
    std::vector<double> values, vectors;
    symmetric_eigen(cor, k, values, vectors);
    std::size_t rank = 0;
    for (std::size_t j = 0; j < k; ++j)
        if (values[j] / values[0] > 1e-8) ++rank;
    std::fill(projection, projection + k * k, 0.0);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t j = 0; j < rank; ++j)
            projection[a * k + j] = vectors[a * k + j] * (1 / std::sqrt(values[j])) / std::sqrt(static_cast<double>(rank));
    return rank;
}

void moderated_f(const double* t, std::size_t rows, std::size_t k, const double* projection,
                 std::size_t rank, double* f) {
    for_row_blocks(rows, [&](std::size_t r) {
        const double* tr = t + r * k;
        double s = 0;
        for (std::size_t j = 0; j < rank; ++j) {
            double u = 0;
            for (std::size_t a = 0; a < k; ++a) u += tr[a] * projection[a * k + j];
            s += u * u;
        }
        f[r] = s;  // NaN propagates from any NaN t
    });
}

double mixture_var_prior(const double* t, const double* stdev_unscaled, const double* df_total,
                         const double* p_value, std::size_t rows, std::size_t k,
                         std::size_t col, double proportion, double lim_lower,
                         double lim_upper) {
    std::vector<std::size_t> valid;
    double maxdf = -inf;
    for (std::size_t r = 0; r < rows; ++r)
        if (!std::isnan(t[r * k + col])) {
            valid.push_back(r);
            maxdf = std::max(maxdf, df_total[r]);
        }
    const std::size_t ngenes = valid.size();
    const double ntarget_real = std::ceil(proportion / 2 * ngenes);
    if (ntarget_real < 1) return nan;
    const std::size_t ntarget = static_cast<std::size_t>(ntarget_real);
    const double p = std::max(ntarget_real / ngenes, proportion);
    // candidates for the ntarget largest t once moved to maxdf: all of them,
    // or those whose p-value is within rounding of the ntarget-th smallest
    std::vector<std::size_t> candidates;
    if (p_value != nullptr) {
        std::vector<double> ps(ngenes);
        for (std::size_t i = 0; i < ngenes; ++i) ps[i] = p_value[valid[i] * k + col];
        std::nth_element(ps.begin(), ps.begin() + (ntarget - 1), ps.end());
        const double cut = ps[ntarget - 1] * (1 + 1e-6) + 1e-300;
        for (std::size_t r : valid)
            if (!(p_value[r * k + col] > cut)) candidates.push_back(r);
    }
    if (candidates.size() < ntarget) candidates = valid;
    std::vector<double> moved(candidates.size());
    for_row_blocks(candidates.size(), [&](std::size_t i) {
        const std::size_t r = candidates[i];
        const double a = std::fabs(t[r * k + col]);
        if (df_total[r] < maxdf) {
            const double log_tail = sp::t_cdf(a, df_total[r], true, true);
            moved[i] = sp::t_quantile(log_tail, maxdf, true, true);
        } else {
            moved[i] = a;
        }
    });
    std::vector<std::size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return moved[a] > moved[b]; });
    std::vector<double> v0(ntarget);
    for (std::size_t i = 0; i < ntarget; ++i) {
        const double tstat = moved[order[i]];
        const double su = stdev_unscaled[candidates[order[i]] * k + col];
        const double v1 = su * su;
        const double p0 = 2 * sp::t_cdf(tstat, maxdf, true, false);
        const double ptarget = ((i + 1 - 0.5) / ngenes - (1 - p) * p0) / p;
        double v = 0;
        if (ptarget > p0) {
            const double qtarget = sp::t_quantile(ptarget / 2, maxdf, true, false);
            v = v1 * ((tstat / qtarget) * (tstat / qtarget) - 1);
        }
        v0[i] = std::min(std::max(v, lim_lower), lim_upper);
    }
    return r_mean(v0);
}

status moderated_fit(const fit_input& in, fit_output& out) {
    const std::size_t rows = in.rows, groups = in.groups;
    if (groups < 2) return too_few_groups;
    const std::size_t k = groups - 1;
    std::vector<double> coef(rows * groups), count(rows * groups);
    fit_groups(in.values, rows, in.cols, in.group, groups, coef.data(), count.data(), out.s2,
               out.df_residual, out.amean);
    std::vector<double> contrasts(groups * k, 0.0);
    for (std::size_t j = 0; j < k; ++j) {
        contrasts[j * k + j] = 1.0;
        contrasts[(groups - 1) * k + j] = -1.0;
    }
    fit_contrasts(coef.data(), count.data(), rows, groups, contrasts.data(), k, out.logfc,
                  out.stdev_unscaled);
    bool any_df = false, any_finite = false;
    for (std::size_t r = 0; r < rows; ++r) {
        any_df = any_df || out.df_residual[r] > 0;
        any_finite = any_finite || std::isfinite(out.s2[r]);
    }
    if (!any_df) return no_residual_df;
    if (!any_finite) return no_finite_variance;
    out.df_pooled = long_sum(out.df_residual, rows);
    prior_options options;
    options.method = in.method;
    options.robust = in.robust;
    options.covariate = in.trend ? out.amean : nullptr;
    options.winsor_lower = in.winsor_lower;
    options.winsor_upper = in.winsor_upper;
    const status st = squeeze_var(out.s2, out.df_residual, rows, options, out.s2_prior,
                                  out.df_prior, out.s2_post, &out.prior);
    if (st != ok) return st;
    moderated_t(out.logfc, out.stdev_unscaled, rows, k, out.s2_post, out.df_residual,
                out.df_prior, out.df_pooled, out.t, out.df_total);
    std::vector<double> size(groups, 0.0), projection(k * k);
    for (std::size_t c = 0; c < in.cols; ++c)
        if (in.group[c] >= 0) size[in.group[c]] += 1;
    out.f_df1 = f_projection(size.data(), groups, contrasts.data(), k, projection.data());
    moderated_f(out.t, rows, k, projection.data(), out.f_df1, out.f);
    for (std::size_t r = 0; r < rows; ++r) out.f_df2[r] = out.df_prior[r] + out.df_residual[r];
    return ok;
}

void moderated_lods(const fit_output& fit, std::size_t rows, std::size_t k,
                    const double* p_value, double* lods, double* var_prior,
                    double proportion, double stdev_lower, double stdev_upper) {
    std::vector<double> finite_prior;
    for (std::size_t r = 0; r < rows; ++r)
        if (std::isfinite(fit.s2_prior[r])) finite_prior.push_back(fit.s2_prior[r]);
    const double median = r_median(finite_prior);
    const double lim_lower = stdev_lower * stdev_lower / median;
    const double lim_upper = stdev_upper * stdev_upper / median;
    for (std::size_t j = 0; j < k; ++j) {
        var_prior[j] = mixture_var_prior(fit.t, fit.stdev_unscaled, fit.df_total, p_value, rows, k,
                                         j, proportion, lim_lower, lim_upper);
        if (std::isnan(var_prior[j])) var_prior[j] = 1 / fit.s2_prior[0];
    }
    const double log_prior_odds = std::log(proportion / (1 - proportion));
    for_row_blocks(rows, [&](std::size_t r) {
        const double dft = fit.df_total[r];
        const bool infinite = fit.df_prior[r] > 1e6;
        for (std::size_t j = 0; j < k; ++j) {
            const double su2 = fit.stdev_unscaled[r * k + j] * fit.stdev_unscaled[r * k + j];
            const double ratio = (su2 + var_prior[j]) / su2;
            const double t2 = fit.t[r * k + j] * fit.t[r * k + j];
            // with an infinite prior df the t are normal: the limit of the kernel
            const double kernel = infinite ? t2 * (1 - 1 / ratio) / 2
                                           : (1 + dft) / 2 * std::log((t2 + dft) / (t2 / ratio + dft));
            lods[r * k + j] = log_prior_odds - std::log(ratio) / 2 + kernel;
        }
    });
}

}  // namespace tessera::kernels::moderated
