#include "kernels/duplicate_correlation.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "kernels/least_squares.hpp"
#include "kernels/parallel.hpp"
#include "kernels/summaries.hpp"

namespace tessera::kernels::duplicate_correlation {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// sqrt(a^2 + b^2): the plain formula, std::hypot (a sixth of the QL
// iteration's time) only where the squares would overflow or vanish
inline double pythag(double a, double b) {
    const double s = a * a + b * b;
    return s > 1e-290 && s < 1e290 ? std::sqrt(s) : std::hypot(a, b);
}

// Eigenvalues of the symmetric m x m matrix a (row-major, destroyed) and
// the projections of b on their eigenvectors (b is overwritten): Householder
// tridiagonalisation, then the implicit QL iteration, the rotations applied
// to the projections instead of to an eigenvector matrix. False when the
// iteration does not converge.
bool eigen_projected(std::vector<double>& a, std::size_t m, std::vector<double>& b,
                     std::vector<double>& values) {
    std::vector<double> v(m), q(m);
    for (std::size_t k = 0; k + 2 < m; ++k) {
        const std::size_t len = m - k - 1;
        double norm = 0;
        for (std::size_t i = 0; i < len; ++i) norm += a[(k + 1 + i) * m + k] * a[(k + 1 + i) * m + k];
        norm = std::sqrt(norm);
        if (norm == 0) continue;
        const double x0 = a[(k + 1) * m + k];
        const double alpha = x0 > 0 ? -norm : norm;
        for (std::size_t i = 0; i < len; ++i) v[i] = a[(k + 1 + i) * m + k];
        v[0] -= alpha;
        double vv = 0;
        for (std::size_t i = 0; i < len; ++i) vv += v[i] * v[i];
        if (vv == 0) continue;
        const double beta = 2 / vv;
        // q = beta A v - (beta^2 v'Av / 2) v on the trailing block; A -= v q' + q v'
        double vav = 0;
        for (std::size_t i = 0; i < len; ++i) {
            double s = 0;
            for (std::size_t j = 0; j < len; ++j) s += a[(k + 1 + i) * m + k + 1 + j] * v[j];
            q[i] = beta * s;
            vav += v[i] * q[i];
        }
        const double half = beta * vav / 2;
        for (std::size_t i = 0; i < len; ++i) q[i] -= half * v[i];
        for (std::size_t i = 0; i < len; ++i)
            for (std::size_t j = 0; j < len; ++j)
                a[(k + 1 + i) * m + k + 1 + j] -= v[i] * q[j] + q[i] * v[j];
        a[(k + 1) * m + k] = a[k * m + k + 1] = alpha;
        for (std::size_t i = 1; i < len; ++i) a[(k + 1 + i) * m + k] = a[k * m + k + 1 + i] = 0;
        double vb = 0;
        for (std::size_t i = 0; i < len; ++i) vb += v[i] * b[k + 1 + i];
        for (std::size_t i = 0; i < len; ++i) b[k + 1 + i] -= beta * vb * v[i];
    }
    std::vector<double> d(m), e(m, 0.0);
    for (std::size_t i = 0; i < m; ++i) d[i] = a[i * m + i];
    for (std::size_t i = 0; i + 1 < m; ++i) e[i] = a[(i + 1) * m + i];
    const double eps = std::numeric_limits<double>::epsilon();
    const long n = static_cast<long>(m);
    for (long l = 0; l < n; ++l) {
        int iter = 0;
        long mm;
        do {
            for (mm = l; mm < n - 1; ++mm) {
                const double dd = std::fabs(d[mm]) + std::fabs(d[mm + 1]);
                if (std::fabs(e[mm]) <= eps * dd) break;
            }
            if (mm != l) {
                if (iter++ == 60) return false;
                double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
                double r = pythag(g, 1.0);
                g = d[mm] - d[l] + e[l] / (g + std::copysign(r, g));
                double s = 1.0, c = 1.0, p = 0.0;
                long i;
                for (i = mm - 1; i >= l; --i) {
                    double f = s * e[i];
                    const double bb = c * e[i];
                    e[i + 1] = (r = pythag(f, g));
                    if (r == 0.0) {
                        d[i + 1] -= p;
                        e[mm] = 0.0;
                        break;
                    }
                    s = f / r;
                    c = g / r;
                    g = d[i + 1] - p;
                    r = (d[i] - g) * s + 2.0 * c * bb;
                    d[i + 1] = g + (p = s * r);
                    g = c * r - bb;
                    f = b[i + 1];
                    b[i + 1] = s * b[i] + c * f;
                    b[i] = c * b[i] - s * f;
                }
                if (r == 0.0 && i >= l) continue;
                d[l] -= p;
                e[l] = g;
                e[mm] = 0.0;
            }
        } while (mm != l);
    }
    values = d;
    return true;
}

// The observations of the gamma GLM, grouped: those sharing a value of d
// enter the fit through their count and sum only.
struct gamma_data {
    std::vector<double> d, count, sum, log_sum;
};

// The deviance of glmgam.fit (up to the observations' split inside a
// group, which no comparison of the iteration sees).
double deviance(const gamma_data& g, const double* beta) {
    double dev = 0;
    for (std::size_t j = 0; j < g.d.size(); ++j) {
        const double mu = beta[0] + beta[1] * g.d[j];
        if (mu < 0) return std::numeric_limits<double>::infinity();
    }
    for (std::size_t j = 0; j < g.d.size(); ++j) {
        const double mu = beta[0] + beta[1] * g.d[j];
        const double mean = g.sum[j] / g.count[j];
        if (mean < 1e-15 && mu < 1e-15) continue;  // glmgam.fit leaves these out
        dev += (g.sum[j] - g.count[j] * mu) / mu - (g.log_sum[j] - g.count[j] * std::log(mu));
    }
    return 2 * dev;
}

// statmod's glmgam.fit from coef.start, identity link, Levenberg damping;
// false where it stops with an error.
bool glmgam_fit(const gamma_data& g, double* beta, double tol, int maxit) {
    const std::size_t m = g.d.size();
    auto max_mu = [&](const double* b) {
        double top = -std::numeric_limits<double>::infinity();
        for (std::size_t j = 0; j < m; ++j) top = std::max(top, b[0] + b[1] * g.d[j]);
        return top;
    };
    for (std::size_t j = 0; j < m; ++j)
        if (beta[0] + beta[1] * g.d[j] < 0) return false;  // negative starting values
    double dev = deviance(g, beta);
    double lambda = 0;
    for (int iter = 1;; ++iter) {
        double vmax = 0;
        std::vector<double> v(m);
        for (std::size_t j = 0; j < m; ++j) {
            const double mu = beta[0] + beta[1] * g.d[j];
            v[j] = mu * mu;
            vmax = std::max(vmax, v[j]);
        }
        double xvx[3] = {0, 0, 0}, dl[2] = {0, 0};
        for (std::size_t j = 0; j < m; ++j) {
            v[j] = std::max(v[j], vmax / 1e3);
            const double mu = beta[0] + beta[1] * g.d[j];
            xvx[0] += g.count[j] / v[j];
            xvx[1] += g.count[j] * g.d[j] / v[j];
            xvx[2] += g.count[j] * g.d[j] * g.d[j] / v[j];
            const double r = (g.sum[j] - g.count[j] * mu) / v[j];
            dl[0] += r;
            dl[1] += g.d[j] * r;
        }
        const double maxinfo = std::max(xvx[0], xvx[2]);
        if (iter == 1) lambda = std::fabs((xvx[0] + xvx[2]) / 2) / 2;
        const double old[2] = {beta[0], beta[1]};
        const double devold = dev;
        int lev = 0;
        double dbeta[2] = {0, 0};
        for (;;) {
            ++lev;
            // chol(XVX + lambda I), then the two triangular solves
            const double a11 = xvx[0] + lambda, a12 = xvx[1], a22 = xvx[2] + lambda;
            if (!(a11 > 0)) return false;
            const double r11 = std::sqrt(a11), r12 = a12 / r11;
            const double r22sq = a22 - r12 * r12;
            if (!(r22sq > 0)) return false;
            const double r22 = std::sqrt(r22sq);
            const double z1 = dl[0] / r11, z2 = (dl[1] - r12 * z1) / r22;
            dbeta[1] = z2 / r22;
            dbeta[0] = (z1 - r12 * dbeta[1]) / r11;
            beta[0] = old[0] + dbeta[0];
            beta[1] = old[1] + dbeta[1];
            dev = deviance(g, beta);
            if (dev <= devold || dev / max_mu(beta) < 1e-15) break;
            if (lambda / maxinfo > 1e15) {
                beta[0] = old[0];
                beta[1] = old[1];
                break;
            }
            lambda *= 2;
        }
        if (lambda / maxinfo > 1e15) break;
        if (lev == 1) lambda /= 10;
        if (dl[0] * dbeta[0] + dl[1] * dbeta[1] < tol || dev / max_mu(beta) < 1e-15) break;
        if (iter > maxit) break;
    }
    return std::isfinite(beta[0]) && std::isfinite(beta[1]);
}

}  // namespace

void variance_components(const double* y, const double* x, std::size_t n, std::size_t p,
                         const int* block, std::size_t blocks, double& residual, double& between) {
    residual = between = nan;
    std::vector<double> xc(n * p);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < p; ++j) xc[j * n + i] = x[i * p + j];
    const linalg::qr_factor qr(xc.data(), n, p);
    const std::size_t r = qr.rank(), mq = n - r;
    if (mq == 0) return;
    // the residuals of y on X, and the effects beyond the rank
    std::vector<double> e(y, y + n);
    qr.apply_qt(e.data());
    double qyy = 0;
    for (std::size_t i = r; i < n; ++i) qyy += e[i] * e[i];
    std::vector<double> res(n, 0.0);
    std::copy(e.begin() + r, e.end(), res.begin() + r);
    qr.apply_q(res.data());
    // Q1'Z (r x blocks): block sums of the first r columns of Q
    std::vector<double> a(r * blocks, 0.0), col(n), size(blocks, 0.0), zb(blocks, 0.0);
    for (std::size_t k = 0; k < r; ++k) {
        std::fill(col.begin(), col.end(), 0.0);
        col[k] = 1.0;
        qr.apply_q(col.data());
        for (std::size_t i = 0; i < n; ++i) a[k * blocks + block[i]] += col[i];
    }
    for (std::size_t i = 0; i < n; ++i) {
        size[block[i]] += 1;
        zb[block[i]] += res[i];
    }
    // Z'(I - H)Z and Z'(I - H)y: the squared singular values of QtZ and the
    // projections of Qty on its left singular vectors come from its eigenvalues
    std::vector<double> at(blocks * r), gm(blocks * blocks);
    for (std::size_t k = 0; k < r; ++k)
        for (std::size_t b = 0; b < blocks; ++b) at[b * r + k] = a[k * blocks + b];
    for (std::size_t b1 = 0; b1 < blocks; ++b1)
        for (std::size_t b2 = 0; b2 <= b1; ++b2) {
            double s = b1 == b2 ? size[b1] : 0.0;
            const double* x1 = &at[b1 * r];
            const double* x2 = &at[b2 * r];
            for (std::size_t k = 0; k < r; ++k) s -= x1[k] * x2[k];
            gm[b1 * blocks + b2] = gm[b2 * blocks + b1] = s;
        }
    std::vector<double> lambda;
    if (!eigen_projected(gm, blocks, zb, lambda)) return;
    double top = 0;
    for (double l : lambda) top = std::max(top, l);
    gamma_data g;
    double rest = qyy;
    const std::size_t most = std::min(mq, blocks);
    std::vector<std::size_t> order(blocks);
    for (std::size_t j = 0; j < blocks; ++j) order[j] = j;
    std::sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return lambda[i] > lambda[j]; });
    for (std::size_t idx = 0; idx < most; ++idx) {
        const std::size_t j = order[idx];
        // a direction of rounding size belongs to the null space
        if (!(lambda[j] > 1e-10 * top)) break;
        const double dy = zb[j] * zb[j] / lambda[j];
        g.d.push_back(lambda[j]);
        g.count.push_back(1);
        g.sum.push_back(dy);
        g.log_sum.push_back(std::log(dy));
        rest -= dy;
    }
    const std::size_t nonzero = g.d.size();
    const std::size_t zeros = mq - nonzero;
    if (zeros > 0) {
        rest = std::max(rest, 0.0);
        g.d.push_back(0.0);
        g.count.push_back(static_cast<double>(zeros));
        g.sum.push_back(rest);
        g.log_sum.push_back(zeros * std::log(rest / zeros));
    }
    // the least-squares start: dy on (1, d)
    double sn = 0, sd = 0, sdd = 0, sy = 0, sdy = 0;
    for (std::size_t j = 0; j < g.d.size(); ++j) {
        sn += g.count[j];
        sd += g.count[j] * g.d[j];
        sdd += g.count[j] * g.d[j] * g.d[j];
        sy += g.sum[j];
        sdy += g.d[j] * g.sum[j];
    }
    const double mean_d = sd / sn;
    double centred = 0;
    for (std::size_t j = 0; j < g.d.size(); ++j) centred += g.count[j] * (g.d[j] - mean_d) * (g.d[j] - mean_d);
    const double var_d = mq > 1 ? centred / (mq - 1) : nan;
    double beta[2];
    // lm.fit's rank rule on (1, d): d constant leaves its coefficient out
    if (!(std::sqrt(centred) >= 1e-7 * std::sqrt(sdd))) {
        beta[0] = sy / sn;
        beta[1] = nan;
    } else {
        beta[1] = (sdy - sd * sy / sn) / centred;
        beta[0] = (sy - beta[1] * sd) / sn;
    }
    std::size_t big = 0;
    for (std::size_t j = 0; j < nonzero; ++j) big += std::fabs(g.d[j]) > 1e-15;
    if (mq > 2 && big > 1 && var_d > 1e-15) {
        bool fitted_nonnegative = true;
        for (std::size_t j = 0; j < g.d.size(); ++j)
            fitted_nonnegative = fitted_nonnegative && beta[0] + beta[1] * g.d[j] >= 0;
        if (!fitted_nonnegative) {
            beta[0] = sy / mq;
            beta[1] = 0;
        }
        bool all_zero = true;
        for (std::size_t j = 0; j < g.d.size(); ++j) all_zero = all_zero && g.sum[j] == 0;
        if (all_zero) {
            beta[0] = beta[1] = 0;
        } else if (!glmgam_fit(g, beta, 1e-6, 20)) {  // duplicateCorrelation's maxit, glmgam's tol
            return;
        }
    }
    residual = beta[0];
    between = beta[1];
}

outcome estimate(const double* values, std::size_t rows, const double* design, std::size_t n,
                 std::size_t p, const int* block, std::size_t blocks, const double* weights,
                 bool (*cancel)(void*), void* context) {
    outcome out;
    std::vector<double> sizes(blocks, 0.0);
    for (std::size_t i = 0; i < n; ++i) sizes[block[i]] += 1;
    const double largest = *std::max_element(sizes.begin(), sizes.end());
    if (largest == 1) {
        out.warning = "blocks all of size 1: the within-block correlation is set to 0";
        return out;
    }
    {
        // is the block a combination of the design's columns? (limma's 1e-8)
        std::vector<double> xc(n * p);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < p; ++j) xc[j * n + i] = design[i * p + j];
        const linalg::qr_factor qr(xc.data(), n, p);
        double worst = 0;
        std::vector<double> col(n);
        for (std::size_t b = 1; b < blocks; ++b) {
            for (std::size_t i = 0; i < n; ++i) col[i] = block[i] == static_cast<int>(b) ? 1.0 : 0.0;
            qr.apply_qt(col.data());
            for (std::size_t i = qr.rank(); i < n; ++i) worst = std::max(worst, std::fabs(col[i]));
        }
        if (worst < 1e-8) {
            out.warning = "the block is already in the design matrix: the within-block correlation "
                          "is set to 0";
            return out;
        }
    }
    std::vector<double> rho(rows, nan);
    std::atomic<bool> stopped{false};
    const std::size_t chunks = (rows + block_rows - 1) / block_rows;
    parallel_for(chunks, [&](std::size_t c) {
        if (stopped.load(std::memory_order_relaxed)) return;
        if (cancel && cancel(context)) {
            stopped = true;
            return;
        }
        std::vector<double> y, x;
        std::vector<int> level, remap(blocks);
        for (std::size_t r = c * block_rows; r < std::min(rows, (c + 1) * block_rows); ++r) {
            const double* row = values + r * n;
            y.clear();
            x.clear();
            level.clear();
            std::fill(remap.begin(), remap.end(), -1);
            int present = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (!std::isfinite(row[i])) continue;
                const double root = weights ? std::sqrt(weights[i]) : 1.0;
                y.push_back(weights ? row[i] * root : row[i]);
                for (std::size_t j = 0; j < p; ++j) x.push_back(weights ? design[i * p + j] * root : design[i * p + j]);
                int& lv = remap[block[i]];
                if (lv < 0) lv = present++;
                level.push_back(lv);
            }
            const std::size_t nobs = y.size();
            const std::size_t nb = static_cast<std::size_t>(present);
            // duplicateCorrelation's conditions for a feature to be fitted
            if (!(nobs > p + 2 && nb > 1 && nb + 1 < nobs)) continue;
            double s1, s2;
            variance_components(y.data(), x.data(), nobs, p, level.data(), nb, s1, s2);
            if (!std::isnan(s1)) rho[r] = s2 / (s1 + s2);
        }
    });
    if (stopped) return out;
    const double rhomax = 0.99, rhomin = 1 / (1 - largest) + 0.01;
    double lowest = 0, highest = 0;
    for (double v : rho)
        if (!std::isnan(v)) {
            lowest = std::min(lowest, v);
            highest = std::max(highest, v);
        }
    out.atanh_correlations.resize(rows);
    std::vector<double> kept;
    for (std::size_t r = 0; r < rows; ++r) {
        double v = rho[r];
        if (lowest < rhomin && v < rhomin) v = rhomin;
        if (highest > rhomax && v > rhomax) v = rhomax;
        out.atanh_correlations[r] = std::atanh(v);
        if (!std::isnan(v)) kept.push_back(out.atanh_correlations[r]);
    }
    if (kept.empty()) {
        out.consensus = nan;
        return out;
    }
    // mean(arho, trim = 0.15, na.rm = TRUE)
    std::sort(kept.begin(), kept.end());
    const std::size_t lo = static_cast<std::size_t>(std::floor(kept.size() * 0.15));
    out.consensus = std::tanh(summaries::r_mean(kept.data() + lo, kept.size() - 2 * lo));
    return out;
}

}  // namespace tessera::kernels::duplicate_correlation
