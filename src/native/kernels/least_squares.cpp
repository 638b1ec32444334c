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

}  // namespace tessera::kernels::linalg
