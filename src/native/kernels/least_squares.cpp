#include "kernels/least_squares.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "kernels/summaries.hpp"

namespace tessera::kernels::linalg {

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
        out.residual_variance = summaries::r_mean(squares);
    }
    return out;
}

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

namespace {

double norm2(const double* x, std::size_t n) {
    // dnrm2's scaled sum of squares: no overflow, and the digits of the reference BLAS
    double scale = 0, ssq = 1;
    for (std::size_t i = 0; i < n; ++i) {
        if (x[i] == 0) continue;
        const double a = std::fabs(x[i]);
        if (scale < a) {
            ssq = 1 + ssq * (scale / a) * (scale / a);
            scale = a;
        } else {
            ssq += (a / scale) * (a / scale);
        }
    }
    return scale * std::sqrt(ssq);
}

double dot(const double* x, const double* y, std::size_t n) {
    double s = 0;
    for (std::size_t i = 0; i < n; ++i) s += x[i] * y[i];
    return s;
}

}  // namespace

qr_factor::qr_factor(const double* a, std::size_t n, std::size_t p, double tol) { factor(a, n, p, tol); }

void qr_factor::factor(const double* a, std::size_t n, std::size_t p, double tol) {
    n_ = n;
    p_ = p;
    qr_.assign(a, a + n * p);
    qraux_.assign(p, 0.0);
    pivot_.resize(p);
    std::iota(pivot_.begin(), pivot_.end(), 0);
    std::vector<double> work1(p), work2(p);
    double* x = qr_.data();
    for (std::size_t j = 0; j < p; ++j) {
        qraux_[j] = norm2(x + j * n, n);
        work1[j] = qraux_[j];
        work2[j] = qraux_[j] == 0 ? 1.0 : qraux_[j];
    }
    const std::size_t lup = std::min(n, p);
    std::size_t k = p + 1;  // 1-based, as in dqrdc2: columns k..p were moved out
    std::vector<double> moved(n);
    for (std::size_t l = 1; l <= lup; ++l) {
        const std::size_t c = l - 1;
        // a column that has become negligible goes to the end
        while (!(l >= k || qraux_[c] >= work2[c] * tol)) {
            std::copy(x + c * n, x + (c + 1) * n, moved.begin());
            std::copy(x + (c + 1) * n, x + p * n, x + c * n);
            std::copy(moved.begin(), moved.end(), x + (p - 1) * n);
            std::rotate(pivot_.begin() + c, pivot_.begin() + c + 1, pivot_.end());
            std::rotate(qraux_.begin() + c, qraux_.begin() + c + 1, qraux_.end());
            std::rotate(work1.begin() + c, work1.begin() + c + 1, work1.end());
            std::rotate(work2.begin() + c, work2.begin() + c + 1, work2.end());
            --k;
        }
        if (l == n) break;
        double* xl = x + c * n;
        double nrmxl = norm2(xl + c, n - c);
        if (nrmxl == 0) continue;
        if (xl[c] != 0) nrmxl = std::copysign(nrmxl, xl[c]);
        const double inv = 1.0 / nrmxl;
        for (std::size_t i = c; i < n; ++i) xl[i] *= inv;
        xl[c] = 1.0 + xl[c];
        for (std::size_t j = c + 1; j < p; ++j) {
            double* xj = x + j * n;
            const double t = -dot(xl + c, xj + c, n - c) / xl[c];
            for (std::size_t i = c; i < n; ++i) xj[i] += t * xl[i];
            if (qraux_[j] == 0) continue;
            double tt = 1.0 - (std::fabs(xj[c]) / qraux_[j]) * (std::fabs(xj[c]) / qraux_[j]);
            tt = std::max(tt, 0.0);
            // Bates' 1999 change: recompute a norm that downdating has worn down
            if (std::fabs(tt) < 1e-6) {
                qraux_[j] = norm2(xj + c + 1, n - c - 1);
                work1[j] = qraux_[j];
            } else {
                qraux_[j] *= std::sqrt(tt);
            }
        }
        qraux_[c] = xl[c];
        xl[c] = -nrmxl;
    }
    rank_ = std::min(k - 1, n);
}

void qr_factor::reflect(std::size_t j, double* y) const {
    if (qraux_[j] == 0) return;
    const double* v = qr_.data() + j * n_;
    // the reflector's leading entry is kept in qraux, as dqrsl reads it
    double s = qraux_[j] * y[j];
    for (std::size_t i = j + 1; i < n_; ++i) s += v[i] * y[i];
    const double t = -s / qraux_[j];
    y[j] += t * qraux_[j];
    for (std::size_t i = j + 1; i < n_; ++i) y[i] += t * v[i];
}

void qr_factor::apply_qt(double* y) const {
    const std::size_t ju = std::min(rank_, n_ == 0 ? 0 : n_ - 1);
    for (std::size_t j = 0; j < ju; ++j) reflect(j, y);
}

void qr_factor::apply_q(double* y) const {
    const std::size_t ju = std::min(rank_, n_ == 0 ? 0 : n_ - 1);
    for (std::size_t j = ju; j-- > 0;) reflect(j, y);
}

void qr_factor::solve(const double* effects, double* coef) const {
    std::vector<double> b(effects, effects + rank_);
    // column-oriented back substitution, as dqrsl
    for (std::size_t jj = rank_; jj-- > 0;) {
        b[jj] /= r(jj, jj);
        const double t = -b[jj];
        for (std::size_t i = 0; i < jj; ++i) b[i] += t * r(i, jj);
    }
    for (std::size_t j = 0; j < p_; ++j) coef[j] = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t j = 0; j < rank_; ++j) coef[pivot_[j]] = b[j];
}

void qr_factor::inverse(double* out) const {
    const std::size_t k = rank_;
    // R^-1 (upper triangular), then R^-1 R^-T, as LAPACK's dtrtri and dlauum
    std::vector<double> inv(k * k, 0.0);  // column-major
    for (std::size_t j = 0; j < k; ++j) {
        inv[j * k + j] = 1.0 / r(j, j);
        for (std::size_t i = j; i-- > 0;) {
            double s = 0;
            for (std::size_t m = i + 1; m <= j; ++m) s += r(i, m) * inv[j * k + m];
            inv[j * k + i] = -s / r(i, i);
        }
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::fill(out, out + p_ * p_, nan);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = 0; b < k; ++b) {
            double s = 0;
            for (std::size_t m = std::max(a, b); m < k; ++m) s += inv[m * k + a] * inv[m * k + b];
            out[pivot_[a] * p_ + pivot_[b]] = s;
        }
}

void qr_factor::inverse_diagonal(double* out) const {
    std::vector<double> full(p_ * p_);
    inverse(full.data());
    for (std::size_t j = 0; j < p_; ++j) out[j] = full[j * p_ + j];
}

bool gram_factor::factor(const double* g, std::size_t p) {
    kept_.clear();
    scale_.clear();
    l_.resize(p * p);  // rank x rank once the rank is known; p x p meanwhile
    reciprocal_.resize(p);
    std::vector<double>& full_scale = full_scale_;
    full_scale.resize(p);
    for (std::size_t j = 0; j < p; ++j) full_scale[j] = g[j * p + j] > 0 ? 1 / std::sqrt(g[j * p + j]) : 0.0;
    for (std::size_t j = 0; j < p; ++j) {
        if (full_scale[j] == 0) continue;  // a column of zeros: dqrdc2 moves it out
        const std::size_t r = kept_.size();
        // the scaled column against the kept ones
        double* row = &l_[r * p];
        for (std::size_t a = 0; a < r; ++a) {
            double s = g[j * p + kept_[a]] * full_scale[j] * full_scale[kept_[a]];
            for (std::size_t k = 0; k < a; ++k) s -= row[k] * l_[a * p + k];
            row[a] = s * reciprocal_[a];
        }
        double d = 1.0;
        for (std::size_t k = 0; k < r; ++k) d -= row[k] * row[k];
        // dqrdc2 leaves out a column whose unexplained length is below 1e-7
        // of its own, d < 1e-14; d below 1e-15 is that beyond rounding, and
        // d below 1e-4 is refused: undecided, or ill-conditioned for this route
        if (d < 1e-15) continue;
        if (d < 1e-4) return false;
        row[r] = std::sqrt(d);
        reciprocal_[r] = 1 / row[r];
        kept_.push_back(j);
        scale_.push_back(full_scale[j]);
    }
    // L^-1 (lower, rank x rank), row by row from the rows of L; every use
    // of the factor is a product with it, which needs no division
    const std::size_t r = kept_.size();
    inverse_.assign(r * r, 0.0);
    for (std::size_t i = 0; i < r; ++i) {
        const double* li = &l_[i * p];
        double* vi = &inverse_[i * r];
        // row i of L^-1: (e_i - sum over k < i of l_ik row k of L^-1) / l_ii
        for (std::size_t k = 0; k < i; ++k) {
            const double* vk = &inverse_[k * r];
            for (std::size_t c = 0; c <= k; ++c) vi[c] -= li[k] * vk[c];
        }
        vi[i] = 1.0;
        for (std::size_t c = 0; c <= i; ++c) vi[c] *= reciprocal_[i];
    }
    reciprocal_.resize(r);
    return true;
}

void gram_factor::solve(const double* c, double* b) const {
    const std::size_t r = kept_.size();
    const double* v = inverse_.data();
    // z = L^-1 (s c) into b, then b = s L^-T z in place: b[i] needs z[k >= i] only
    for (std::size_t i = 0; i < r; ++i) {
        double z = 0;
        const double* vi = v + i * r;
        for (std::size_t k = 0; k <= i; ++k) z += vi[k] * (c[k] * scale_[k]);
        b[i] = z;
    }
    for (std::size_t i = 0; i < r; ++i) {
        double x = 0;
        for (std::size_t k = i; k < r; ++k) x += v[k * r + i] * b[k];
        b[i] = x * scale_[i];
    }
}

double gram_factor::leverage(const double* x) const {
    const std::size_t r = kept_.size();
    const double* v = inverse_.data();
    // |L^-1 (s x)|^2
    double total = 0;
    for (std::size_t i = 0; i < r; ++i) {
        double s = 0;
        const double* vi = v + i * r;
        for (std::size_t k = 0; k <= i; ++k) s += vi[k] * (x[k] * scale_[k]);
        total += s * s;
    }
    return total;
}

void gram_factor::inverse_diagonal(double* out) const {
    const std::size_t r = kept_.size();
    // (L L')^-1 diagonal: the squared norms of the columns of L^-1
    for (std::size_t j = 0; j < r; ++j) {
        double s = 0;
        for (std::size_t i = j; i < r; ++i) s += inverse_[i * r + j] * inverse_[i * r + j];
        out[j] = s * scale_[j] * scale_[j];
    }
}

}  // namespace tessera::kernels::linalg
