#include "kernels/smoothing.hpp"

#include <algorithm>
#include <cmath>

namespace tessera::kernels::smoothing {

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


std::vector<double> lowess_trend(const std::vector<double>& y, const std::vector<double>& x, double span) {
    const std::size_t n = y.size();
    std::vector<std::size_t> order = summaries::stable_order(x);
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

}  // namespace tessera::kernels::smoothing
