#include "kernels/array_weights.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kernels/least_squares.hpp"
#include "kernels/parallel.hpp"

namespace tessera::kernels::array_weights {

namespace {

// limma's prior of the weights: as many pseudo-features at weight 1
constexpr double prior_n = 10;

// Solves a x = b for a symmetric positive-definite m x m matrix a
// (row-major; only its upper triangle is read); b becomes x, work is
// scratch. The Cholesky factor U (U'U = a) is taken on the upper triangle
// with b as an extra column, so that U'z = b is solved on the way; then
// U x = z. Pivots come four at a time and the rows below take all four in
// one pass, two rows together: every inner loop runs along a row with no sum
// to carry, so that it vectorises.
void solve_spd(const std::vector<double>& a, std::vector<double>& work, std::vector<double>& b,
               std::size_t m) {
    const std::size_t s = m + 1;  // row stride: b is column m
    work.resize(m * s);
    double* u = work.data();
    for (std::size_t i = 0; i < m; ++i) {
        std::copy(a.begin() + i * m + i, a.begin() + (i + 1) * m, u + i * s + i);
        u[i * s + m] = b[i];
    }
    // row j of U from what is left of it: its pivot's root, the rest divided by it
    auto finish = [&](std::size_t j) {
        double* r = u + j * s;
        r[j] = std::sqrt(r[j]);
        const double inv = 1 / r[j];
        for (std::size_t c = j + 1; c <= m; ++c) r[c] *= inv;
    };
    // row i less row j of U times its entry in column i
    auto eliminate = [&](std::size_t j, std::size_t i) {
        const double* r = u + j * s;
        double* ri = u + i * s;
        const double f = r[i];
        for (std::size_t c = i; c <= m; ++c) ri[c] -= f * r[c];
    };
    std::size_t k = 0;
    for (; k + 4 <= m; k += 4) {
        for (std::size_t j = k; j < k + 4; ++j) {
            finish(j);
            for (std::size_t i = j + 1; i < k + 4; ++i) eliminate(j, i);
        }
        const double *u0 = u + k * s, *u1 = u0 + s, *u2 = u1 + s, *u3 = u2 + s;
        std::size_t i = k + 4;
        for (; i + 2 <= m; i += 2) {
            double* ri = u + i * s;
            double* rn = ri + s;
            const double a0 = u0[i], a1 = u1[i], a2 = u2[i], a3 = u3[i];
            const double b0 = u0[i + 1], b1 = u1[i + 1], b2 = u2[i + 1], b3 = u3[i + 1];
            ri[i] -= (a0 * u0[i] + a1 * u1[i]) + (a2 * u2[i] + a3 * u3[i]);
            for (std::size_t c = i + 1; c <= m; ++c) {
                ri[c] -= (a0 * u0[c] + a1 * u1[c]) + (a2 * u2[c] + a3 * u3[c]);
                rn[c] -= (b0 * u0[c] + b1 * u1[c]) + (b2 * u2[c] + b3 * u3[c]);
            }
        }
        if (i < m) {
            double* ri = u + i * s;
            const double a0 = u0[i], a1 = u1[i], a2 = u2[i], a3 = u3[i];
            for (std::size_t c = i; c <= m; ++c)
                ri[c] -= (a0 * u0[c] + a1 * u1[c]) + (a2 * u2[c] + a3 * u3[c]);
        }
    }
    for (; k < m; ++k) {
        finish(k);
        for (std::size_t i = k + 1; i < m; ++i) eliminate(k, i);
    }
    // U x = z, column by column of U
    for (std::size_t i = 0; i < m; ++i) b[i] = u[i * s + m];
    for (std::size_t i = m; i-- > 0;) {
        b[i] /= u[i * s + i];
        const double v = b[i];
        for (std::size_t r = 0; r < i; ++r) b[r] -= u[r * s + i] * v;
    }
}

// The weighted least-squares fit of one feature on its measured samples:
// residuals y - Xb, 1 - leverage, and the residual variance (mean square of
// the effects beyond the rank), as lm.wfit and hat() give them.
struct weighted_fit {
    std::vector<double> residual, one_minus_hat;
    double s2 = 0;
    std::size_t df = 0;
};

// The fit by QR, as lm.wfit (for designs the Gram route refuses).
void fit_by_qr(const std::vector<double>& x, const std::vector<double>& wy,
               const std::vector<double>& root, std::size_t k, std::size_t p, weighted_fit& out) {
    const linalg::qr_factor qr(x.data(), k, p);
    const std::size_t rank = qr.rank();
    out.df = k - rank;
    std::vector<double> effects = wy;
    qr.apply_qt(effects.data());
    long double ss = 0;
    for (std::size_t i = rank; i < k; ++i) ss += static_cast<long double>(effects[i]) * effects[i];
    out.s2 = out.df > 0 ? static_cast<double>(ss / out.df) : 0.0;
    // the residuals Q (0, effects beyond the rank), unweighted
    std::vector<double> r(k, 0.0);
    std::copy(effects.begin() + rank, effects.end(), r.begin() + rank);
    qr.apply_q(r.data());
    for (std::size_t i = 0; i < k; ++i) out.residual[i] = r[i] / root[i];
    // leverages: row sums of squares of the first rank columns of Q
    std::vector<double> lev(k, 0.0), e(k);
    for (std::size_t j = 0; j < rank; ++j) {
        std::fill(e.begin(), e.end(), 0.0);
        e[j] = 1.0;
        qr.apply_q(e.data());
        for (std::size_t i = 0; i < k; ++i) lev[i] += e[i] * e[i];
    }
    for (std::size_t i = 0; i < k; ++i) out.one_minus_hat[i] = 1 - lev[i];
}

void fit_one(const double* y, const std::vector<std::size_t>& obs, const double* design,
             std::size_t p, const std::vector<double>& w, weighted_fit& out) {
    const std::size_t k = obs.size();
    thread_local std::vector<double> x, xr, wy, root, gram, c, b, delta, kept_row;
    thread_local linalg::gram_factor gf;
    x.resize(k * p);
    xr.resize(k * p);
    wy.resize(k);
    root.resize(k);
    out.residual.resize(k);
    out.one_minus_hat.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
        root[i] = std::sqrt(w[obs[i]]);
        wy[i] = y[obs[i]] * root[i];
        for (std::size_t j = 0; j < p; ++j) xr[i * p + j] = design[obs[i] * p + j] * root[i];
    }
    // one triangle of X'WX, mirrored
    gram.assign(p * p, 0.0);
    for (std::size_t i = 0; i < k; ++i) {
        const double* row = &xr[i * p];
        for (std::size_t a = 0; a < p; ++a)
            for (std::size_t bb = 0; bb <= a; ++bb) gram[a * p + bb] += row[a] * row[bb];
    }
    for (std::size_t a = 0; a < p; ++a)
        for (std::size_t bb = 0; bb < a; ++bb) gram[bb * p + a] = gram[a * p + bb];
    if (!gf.factor(gram.data(), p)) {
        for (std::size_t i = 0; i < k; ++i)
            for (std::size_t j = 0; j < p; ++j) x[j * k + i] = xr[i * p + j];
        fit_by_qr(x, wy, root, k, p, out);
        return;
    }
    const std::vector<std::size_t>& kept = gf.kept();
    const std::size_t rank = kept.size();
    out.df = k - rank;
    c.assign(rank, 0.0);
    b.resize(rank);
    delta.resize(rank);
    kept_row.resize(rank);
    // normal equations, one refinement from the residuals, as lm_fit
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j < rank; ++j) c[j] += xr[i * p + kept[j]] * wy[i];
    gf.solve(c.data(), b.data());
    std::fill(c.begin(), c.end(), 0.0);
    for (std::size_t i = 0; i < k; ++i) {
        double fitted = 0;
        for (std::size_t j = 0; j < rank; ++j) fitted += xr[i * p + kept[j]] * b[j];
        const double e = wy[i] - fitted;
        out.residual[i] = e;
        for (std::size_t j = 0; j < rank; ++j) c[j] += xr[i * p + kept[j]] * e;
    }
    gf.solve(c.data(), delta.data());
    long double ss = 0;
    for (std::size_t i = 0; i < k; ++i) {
        double fitted = 0;
        for (std::size_t j = 0; j < rank; ++j) {
            kept_row[j] = xr[i * p + kept[j]];
            fitted += kept_row[j] * delta[j];
        }
        const double e = out.residual[i] - fitted;
        ss += static_cast<long double>(e) * e;
        out.residual[i] = e / root[i];
        out.one_minus_hat[i] = 1 - gf.leverage(kept_row.data());
    }
    out.s2 = out.df > 0 ? static_cast<double>(ss / out.df) : 0.0;
}

// contr.sum's weights: gam gives exp(-gam_j) for the first n - 1 samples
// and exp(sum gam) for the last.
void weights_of(const std::vector<double>& gam, std::vector<double>& w) {
    const std::size_t m = gam.size();
    double total = 0;
    for (std::size_t j = 0; j < m; ++j) {
        w[j] = std::exp(-gam[j]);
        total += gam[j];
    }
    w[m] = std::exp(total);
}

// The prior information prior.n * crossprod(contr.sum): prior.n (I + J).
std::vector<double> prior_information(std::size_t m) {
    std::vector<double> info(m * m, prior_n);
    for (std::size_t j = 0; j < m; ++j) info[j * m + j] = 2 * prior_n;
    return info;
}

std::vector<double> gene_by_gene(const double* values, std::size_t rows, const double* design,
                                 std::size_t n, std::size_t p, bool (*cancel)(void*), void* context) {
    const std::size_t m = n - 1;
    std::vector<double> gam(m, 0.0), aw(n, 1.0), info2 = prior_information(m);
    std::vector<double> d(n), h1(n), a, step(m), g(m);
    std::vector<std::size_t> obs;
    weighted_fit f;
    for (std::size_t r = 0; r < rows; ++r) {
        if (cancel && r % 256 == 0 && cancel(context)) break;
        const double* y = values + r * n;
        obs.clear();
        for (std::size_t c = 0; c < n; ++c)
            if (std::isfinite(y[c])) obs.push_back(c);
        const bool gaps = obs.size() < n;
        if (gaps && obs.size() <= 2) continue;
        fit_one(y, obs, design, p, aw, f);
        if (gaps && f.df < 2) continue;
        if (f.s2 < 1e-15) continue;
        std::fill(d.begin(), d.end(), 0.0);
        std::fill(h1.begin(), h1.end(), 0.0);
        for (std::size_t i = 0; i < obs.size(); ++i) {
            d[obs[i]] = aw[obs[i]] * f.residual[i] * f.residual[i];
            h1[obs[i]] = f.one_minus_hat[i];
        }
        // info2 += Z2' (diag(h1) - h1 h1' / sum(h1)) Z2 for Z2 = contr.sum(n),
        // on the upper triangle, all that solve_spd reads
        double total = 0;
        for (double h : h1) total += h;
        const double last = h1[m];
        for (std::size_t j = 0; j < m; ++j) g[j] = h1[j] - last;
        for (std::size_t i = 0; i < m; ++i) {
            // (info[-1, 1] / info[1, 1]) %*% info[1, -1]
            const double gi = g[i] / total;
            double* row = &info2[i * m];
            for (std::size_t j = i; j < m; ++j) row[j] += last - gi * g[j];
            row[i] += h1[i];
        }
        const double z_last = d[m] / f.s2 - h1[m];
        for (std::size_t j = 0; j < m; ++j) step[j] = (d[j] / f.s2 - h1[j]) - z_last;
        solve_spd(info2, a, step, m);
        for (std::size_t j = 0; j < m; ++j) gam[j] += step[j];
        weights_of(gam, aw);
    }
    return aw;
}

std::vector<double> reml(const double* values, std::size_t rows, const double* design,
                         std::size_t n, std::size_t p, bool (*cancel)(void*), void* context) {
    const std::size_t m = n - 1;
    // the tolerance and iteration limit arrayWeights passes
    const double tol = 1e-5;
    const int maxiter = 50;
    std::vector<double> w(n, 1.0), gam(m, 0.0);
    std::vector<std::size_t> genes;
    std::vector<double> s2(rows), residual(rows * n);
    double convcrit_last = std::numeric_limits<double>::infinity();
    std::vector<double> hat(n), info(n * n), info2(m * m), z(n), dl(m);
    for (int iter = 1;; ++iter) {
        if (cancel && cancel(context)) break;
        std::vector<double> x(n * p);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < p; ++j) x[j * n + i] = design[i * p + j] * std::sqrt(w[i]);
        const linalg::qr_factor qr(x.data(), n, p);
        const std::size_t rank = qr.rank();
        for_row_blocks(rows, [&](std::size_t r) {
            std::vector<double> e(n), res(n, 0.0);
            for (std::size_t i = 0; i < n; ++i) e[i] = values[r * n + i] * std::sqrt(w[i]);
            qr.apply_qt(e.data());
            long double ss = 0;
            for (std::size_t i = rank; i < n; ++i) ss += static_cast<long double>(e[i]) * e[i];
            s2[r] = static_cast<double>(ss / (n - rank));
            std::copy(e.begin() + rank, e.end(), res.begin() + rank);
            qr.apply_q(res.data());
            for (std::size_t i = 0; i < n; ++i) residual[r * n + i] = res[i] / std::sqrt(w[i]);
        });
        if (iter == 1) {
            // features without variance are left out for good
            for (std::size_t r = 0; r < rows; ++r)
                if (s2[r] >= 1e-15) genes.push_back(r);
            if (genes.size() < 2) return std::vector<double>(n, 1.0);
        }
        const double ngenes = static_cast<double>(genes.size());
        // Q's first p columns and their products, as the REML information needs them
        std::vector<double> q(n * p, 0.0), col(n);
        for (std::size_t j = 0; j < p; ++j) {
            std::fill(col.begin(), col.end(), 0.0);
            col[j] = 1.0;
            qr.apply_q(col.data());
            for (std::size_t i = 0; i < n; ++i) q[i * p + j] = col[i];
        }
        std::vector<double> q2;  // n x p(p+1)/2
        const std::size_t p2 = p * (p + 1) / 2;
        q2.assign(n * p2, 0.0);
        std::size_t j0 = 0;
        for (std::size_t k = 0; k < p; ++k) {
            for (std::size_t j = 0; j < p - k; ++j)
                for (std::size_t i = 0; i < n; ++i) q2[i * p2 + j0 + j] = q[i * p + j] * q[i * p + k + j];
            j0 += p - k;
        }
        for (std::size_t i = 0; i < n; ++i) {
            double h = 0;
            for (std::size_t j = 0; j < p; ++j) h += q2[i * p2 + j];
            hat[i] = h;
            for (std::size_t j = p; j < p2; ++j) q2[i * p2 + j] *= std::sqrt(2.0);
        }
        // info = Z' diag(1 - 2h) Z + crossprod(crossprod(Q2, Z)), Z = [1, contr.sum(n)]
        std::vector<double> zmat(n * n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            zmat[i * n] = 1.0;
            if (i < m) zmat[i * n + 1 + i] = 1.0;
            else
                for (std::size_t j = 0; j < m; ++j) zmat[i * n + 1 + j] = -1.0;
        }
        std::vector<double> q2z(p2 * n, 0.0);
        for (std::size_t a = 0; a < p2; ++a)
            for (std::size_t b = 0; b < n; ++b) {
                double s = 0;
                for (std::size_t i = 0; i < n; ++i) s += q2[i * p2 + a] * zmat[i * n + b];
                q2z[a * n + b] = s;
            }
        for (std::size_t a = 0; a < n; ++a)
            for (std::size_t b = 0; b < n; ++b) {
                double s = 0;
                for (std::size_t i = 0; i < n; ++i) s += zmat[i * n + a] * (1 - 2 * hat[i]) * zmat[i * n + b];
                double t = 0;
                for (std::size_t c = 0; c < p2; ++c) t += q2z[c * n + a] * q2z[c * n + b];
                info[a * n + b] = s + t;
            }
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = 0; b < m; ++b)
                info2[a * m + b] = ngenes * (info[(a + 1) * n + b + 1] -
                                             info[(a + 1) * n] / info[0] * info[b + 1]) +
                                   prior_n * (a == b ? 2.0 : 1.0);
        for (std::size_t i = 0; i < n; ++i) {
            long double s = 0;
            for (std::size_t g : genes) s += w[i] * residual[g * n + i] * residual[g * n + i] / s2[g];
            z[i] = ngenes * (static_cast<double>(s / ngenes) - (1 - hat[i])) + prior_n * (w[i] - 1);
        }
        for (std::size_t j = 0; j < m; ++j) dl[j] = z[j] - z[m];
        std::vector<double> a, step = dl;
        solve_spd(info2, a, step, m);
        double convcrit = 0;
        for (std::size_t j = 0; j < m; ++j) convcrit += dl[j] * step[j];
        convcrit = convcrit / static_cast<double>(m) / (ngenes + prior_n);
        // limma stops, warning, when the criterion stops falling
        if (std::isnan(convcrit) || convcrit >= convcrit_last) break;
        convcrit_last = convcrit;
        for (std::size_t j = 0; j < m; ++j) gam[j] += step[j];
        weights_of(gam, w);
        if (convcrit < tol || iter == maxiter) break;
    }
    return w;
}

}  // namespace

std::vector<double> estimate(const double* values, std::size_t rows, const double* design,
                             std::size_t n, std::size_t p, bool (*cancel)(void*), void* context) {
    if (rows < 2 || n < p + 2) return std::vector<double>(n, 1.0);
    bool gaps = false;
    for (std::size_t i = 0; i < rows * n && !gaps; ++i) gaps = !std::isfinite(values[i]);
    return gaps ? gene_by_gene(values, rows, design, n, p, cancel, context)
                : reml(values, rows, design, n, p, cancel, context);
}

}  // namespace tessera::kernels::array_weights
