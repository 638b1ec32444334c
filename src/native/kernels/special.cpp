#include "kernels/special.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessera::kernels::special {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double ln_sqrt_2pi = 0.918938533204672741780329736406;
constexpr double ln_half = -0.693147180559945309417232121458;

// Stirling's correction log Gamma(x) - ((x - 1/2) log x - x + log sqrt(2 pi)), x >= 10.
double stirling_correction(double x) {
    const double f = 1.0 / (x * x);
    return (1.0 / x) *
           (1.0 / 12 -
            f * (1.0 / 360 -
                 f * (1.0 / 1260 -
                      f * (1.0 / 1680 -
                           f * (1.0 / 1188 -
                                f * (691.0 / 360360 - f * (1.0 / 156 - f * (3617.0 / 122400))))))));
}

// log(1 - exp(v)) for v <= 0, without cancellation at either end.
double log1mexp(double v) { return v > ln_half ? std::log(-std::expm1(v)) : std::log1p(-std::exp(v)); }

// Converts a probability given as (p, log_p) to its log.
double as_log(double p, bool log_p) { return log_p ? p : std::log(p); }

// Continued fraction of I_x(a, b) * a * B(a, b) / (x^a y^b) (modified Lentz);
// converges fast for x < (a + 1) / (a + b + 2).
double beta_fraction(double a, double b, double x) {
    const double tiny = 1e-300;
    const double qab = a + b, qap = a + 1.0, qam = a - 1.0;
    double c = 1.0;
    double d = 1.0 - qab * x / qap;
    if (std::fabs(d) < tiny) d = tiny;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m <= 100000; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < tiny) d = tiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        h *= d * c;
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < tiny) d = tiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1.0 / d;
        const double del = d * c;
        h *= del;
        if (std::fabs(del - 1.0) <= 2 * eps) break;
    }
    return h;
}

// Splits the log-odds theta = log(x / y) into x and y = 1 - x, both accurate.
void from_log_odds(double theta, double& x, double& y) {
    if (theta >= 0) {
        const double e = std::exp(-theta);
        x = 1.0 / (1.0 + e);
        y = e / (1.0 + e);
    } else {
        const double e = std::exp(theta);
        x = e / (1.0 + e);
        y = 1.0 / (1.0 + e);
    }
}

// Solves h(theta) = 0 for an increasing h by Newton's method safeguarded by a
// bracket (bisection once both ends are known, doubling steps before). step(theta,
// h, slope) evaluates h and its derivative. Newton converges quadratically, so
// stopping when a step is below 1e-10 leaves an error far below rounding.
template <class Eval>
double solve_increasing(double theta, const Eval& eval) {
    double lo = -inf, hi = inf;
    for (int iter = 0; iter < 400; ++iter) {
        double h, slope;
        eval(theta, h, slope);
        if (h == 0) return theta;
        if (std::isnan(h)) return nan;
        if (h < 0)
            lo = theta;
        else
            hi = theta;
        double next = theta - h / slope;
        const bool newton_ok = std::isfinite(next) && next > lo && next < hi;
        if (!newton_ok) {
            if (std::isfinite(lo) && std::isfinite(hi))
                next = 0.5 * (lo + hi);
            else if (std::isfinite(lo))
                next = lo + std::max(1.0, 2 * std::fabs(lo));
            else
                next = hi - std::max(1.0, 2 * std::fabs(hi));
        }
        const double step = next - theta;
        theta = next;
        if (newton_ok && std::fabs(step) <= 1e-10 * std::max(1.0, std::fabs(theta))) break;
        if (std::isfinite(lo) && std::isfinite(hi) && hi - lo <= 4 * eps * std::max(1.0, std::fabs(theta)))
            break;
    }
    return theta;
}

}  // namespace

double digamma(double x) {
    if (!(x > 0)) return nan;
    if (std::isinf(x)) return inf;
    // psi(x) = psi(x + k) - sum 1/(x + j); the terms are added smallest first
    double shifts[16];
    int n = 0;
    while (x < 10) {
        shifts[n++] = 1.0 / x;
        x += 1.0;
    }
    const double f = 1.0 / (x * x);
    const double series =
        f * (-1.0 / 12 +
             f * (1.0 / 120 +
                  f * (-1.0 / 252 +
                       f * (1.0 / 240 +
                            f * (-1.0 / 132 +
                                 f * (691.0 / 32760 + f * (-1.0 / 12 + f * (3617.0 / 8160))))))));
    double shift = 0.0;
    for (int i = n; i-- > 0;) shift += shifts[i];
    return (std::log(x) - 0.5 / x + series) - shift;
}

double trigamma(double x) {
    if (!(x > 0)) return nan;
    if (std::isinf(x)) return 0.0;
    double shifts[16];
    int n = 0;
    while (x < 10) {
        shifts[n++] = 1.0 / (x * x);
        x += 1.0;
    }
    const double f = 1.0 / (x * x);
    const double series =
        (1.0 / 6 -
         f * (1.0 / 30 -
              f * (1.0 / 42 -
                   f * (1.0 / 30 -
                        f * (5.0 / 66 - f * (691.0 / 2730 - f * (7.0 / 6 - f * (3617.0 / 510))))))));
    double value = 1.0 / x + 0.5 * f + series * f / x;
    for (int i = n; i-- > 0;) value += shifts[i];
    return value;
}

double tetragamma(double x) {
    if (!(x > 0)) return nan;
    if (std::isinf(x)) return 0.0;
    double shifts[20];
    int n = 0;
    while (x < 15) {
        shifts[n++] = 2.0 / (x * x * x);
        x += 1.0;
    }
    const double f = 1.0 / (x * x);
    const double series =
        (0.5 -
         f * (1.0 / 6 -
              f * (1.0 / 6 -
                   f * (3.0 / 10 -
                        f * (5.0 / 6 - f * (691.0 / 210 - f * (35.0 / 2 - f * (3617.0 / 30))))))));
    double value = -f - f / x - series * f * f;
    for (int i = n; i-- > 0;) value -= shifts[i];
    return value;
}

double log_minus_digamma(double x) { return std::log(x) - digamma(x); }

double log_gamma(double x) {
    if (!(x > 0)) return x == 0 ? inf : nan;
    if (x < 10) return std::log(std::tgamma(x));
    return (x - 0.5) * std::log(x) - x + ln_sqrt_2pi + stirling_correction(x);
}

double trigamma_inverse(double x) {
    if (std::isnan(x) || x < 0) return nan;
    if (x > 1e7) return 1.0 / std::sqrt(x);
    if (x < 1e-6) return 1.0 / x;
    double y = 0.5 + 1.0 / x;
    for (int iter = 1;; ++iter) {
        const double tri = trigamma(y);
        const double dif = tri * (1.0 - tri / x) / tetragamma(y);
        y += dif;
        if (-dif / y < 1e-8 || iter > 50) break;
    }
    return y;
}

double log_beta(double a, double b) {
    const double p = std::min(a, b), q = std::max(a, b);
    if (!(p > 0)) return p == 0 ? inf : nan;
    if (std::isinf(q)) return -inf;
    if (p >= 10) {
        const double corr = stirling_correction(p) + stirling_correction(q) - stirling_correction(p + q);
        return std::log(q) * -0.5 + ln_sqrt_2pi + corr + (p - 0.5) * std::log(p / (p + q)) +
               q * std::log1p(-p / (p + q));
    }
    if (q >= 10) {
        const double corr = stirling_correction(q) - stirling_correction(p + q);
        return log_gamma(p) + corr + p - p * std::log(p + q) + (q - 0.5) * std::log1p(-p / (p + q));
    }
    return log_gamma(p) + log_gamma(q) - log_gamma(p + q);
}

double beta_inc(double a, double b, double x, double y, bool upper, bool log_p) {
    if (std::isnan(a) || std::isnan(b) || std::isnan(x) || std::isnan(y)) return nan;
    double log_lower, log_upper;
    if (x <= 0) {
        log_lower = -inf;
        log_upper = 0.0;
    } else if (y <= 0) {
        log_lower = 0.0;
        log_upper = -inf;
    } else {
        // log of the coordinate near 1 from the other one: log(y) of a y that
        // rounds near 1 would lose the digits b * log(y) needs when b is large
        const double log_x = x > 0.5 ? std::log1p(-y) : std::log(x);
        const double log_y = y > 0.5 ? std::log1p(-x) : std::log(y);
        const double front = a * log_x + b * log_y - log_beta(a, b);
        // the fraction of the tail nearer to x converges; the other tail is its complement
        if (x < (a + 1.0) / (a + b + 2.0)) {
            log_lower = front + std::log(beta_fraction(a, b, x) / a);
            log_upper = log1mexp(std::min(log_lower, 0.0));
        } else {
            log_upper = front + std::log(beta_fraction(b, a, y) / b);
            log_lower = log1mexp(std::min(log_upper, 0.0));
        }
    }
    const double v = upper ? log_upper : log_lower;
    return log_p ? v : std::exp(v);
}

void beta_inc_inv(double a, double b, double p, bool upper, bool log_p, double& x, double& y) {
    double lp = as_log(p, log_p);
    if (std::isnan(lp) || lp > 0 || !(a > 0) || !(b > 0)) {
        x = y = nan;
        return;
    }
    // solve on the side whose probability is at most 1/2
    if (lp > ln_half) {
        lp = log1mexp(lp);
        upper = !upper;
    }
    if (lp == -inf) {
        x = upper ? 1.0 : 0.0;
        y = 1.0 - x;
        return;
    }
    const double lbeta = log_beta(a, b);
    double theta;
    if (!upper) {  // I_x(a, b) ~ x^a / (a B(a, b)) for small x
        const double lx = (lp + std::log(a) + lbeta) / a;
        theta = lx < -1e-3 ? lx - log1mexp(lx) : std::log(a / b);
    } else {
        const double ly = (lp + std::log(b) + lbeta) / b;
        theta = ly < -1e-3 ? log1mexp(ly) - ly : std::log(a / b);
    }
    const double sign = upper ? -1.0 : 1.0;
    theta = solve_increasing(theta, [&](double t, double& h, double& slope) {
        double xt, yt;
        from_log_odds(t, xt, yt);
        const double li = beta_inc(a, b, xt, yt, upper, true);
        h = sign * (li - lp);
        // d log I / d theta = x^a y^b / (B(a, b) I)
        const double log_x = xt > 0.5 ? std::log1p(-yt) : std::log(xt);
        const double log_y = yt > 0.5 ? std::log1p(-xt) : std::log(yt);
        slope = std::exp(a * log_x + b * log_y - lbeta - li);
    });
    from_log_odds(theta, x, y);
}

double gamma_inc(double a, double x, bool upper, bool log_p) {
    if (std::isnan(a) || std::isnan(x) || !(a > 0)) return nan;
    double log_lower, log_upper;
    if (x <= 0) {
        log_lower = -inf;
        log_upper = 0.0;
    } else if (std::isinf(x)) {
        log_lower = 0.0;
        log_upper = -inf;
    } else {
        const double front = a * std::log(x) - x - log_gamma(a);
        if (x < a + 1.0) {  // series for the lower tail
            double ap = a, del = 1.0 / a, sum = del;
            for (int n = 0; n < 100000; ++n) {
                ap += 1.0;
                del *= x / ap;
                sum += del;
                if (std::fabs(del) < std::fabs(sum) * eps) break;
            }
            log_lower = front + std::log(sum);
            log_upper = log1mexp(std::min(log_lower, 0.0));
        } else {  // continued fraction for the upper tail (modified Lentz)
            const double tiny = 1e-300;
            double bb = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / bb, h = d;
            for (int i = 1; i <= 100000; ++i) {
                const double an = -i * (i - a);
                bb += 2.0;
                d = an * d + bb;
                if (std::fabs(d) < tiny) d = tiny;
                c = bb + an / c;
                if (std::fabs(c) < tiny) c = tiny;
                d = 1.0 / d;
                const double del = d * c;
                h *= del;
                if (std::fabs(del - 1.0) <= 2 * eps) break;
            }
            log_upper = front + std::log(h);
            log_lower = log1mexp(std::min(log_upper, 0.0));
        }
    }
    const double v = upper ? log_upper : log_lower;
    return log_p ? v : std::exp(v);
}

double gamma_inc_inv(double a, double p, bool upper, bool log_p) {
    double lp = as_log(p, log_p);
    if (std::isnan(lp) || lp > 0 || !(a > 0)) return nan;
    if (lp > ln_half) {
        lp = log1mexp(lp);
        upper = !upper;
    }
    if (lp == -inf) return upper ? inf : 0.0;
    const double lgam = log_gamma(a);
    double theta = std::log(a);
    if (!upper) {  // P(a, x) ~ x^a / (a Gamma(a)) for small x
        const double lx = (lp + std::log(a) + lgam) / a;
        if (lx < theta) theta = lx;
    }
    const double sign = upper ? -1.0 : 1.0;
    theta = solve_increasing(theta, [&](double t, double& h, double& slope) {
        const double xt = std::exp(t);
        const double li = gamma_inc(a, xt, upper, true);
        h = sign * (li - lp);
        slope = std::exp(a * t - xt - lgam - li);
    });
    return std::exp(theta);
}

double f_cdf(double f, double df1, double df2, bool upper, bool log_p) {
    if (std::isnan(f) || std::isnan(df1) || std::isnan(df2)) return nan;
    if (f <= 0) {
        const double v = upper ? 0.0 : -inf;
        return log_p ? v : std::exp(v);
    }
    if (std::isinf(df2)) return gamma_inc(df1 / 2, df1 * f / 2, upper, log_p);
    const double r = df1 * f / df2;
    double x, y;
    if (r > 1) {
        y = (1.0 / r) / (1.0 + 1.0 / r);
        x = 1.0 / (1.0 + 1.0 / r);
    } else {
        x = r / (1.0 + r);
        y = 1.0 / (1.0 + r);
    }
    return beta_inc(df1 / 2, df2 / 2, x, y, upper, log_p);
}

double f_quantile(double p, double df1, double df2, bool upper, bool log_p) {
    if (std::isinf(df2)) return 2 * gamma_inc_inv(df1 / 2, p, upper, log_p) / df1;
    double x, y;
    beta_inc_inv(df1 / 2, df2 / 2, p, upper, log_p, x, y);
    return (x / y) * (df2 / df1);
}

double f_density(double f, double df1, double df2) {
    if (std::isnan(f) || !(f > 0)) return f == 0 ? (df1 == 2 ? 1.0 : df1 < 2 ? inf : 0.0) : nan;
    const double a = df1 / 2;
    if (std::isinf(df2)) {  // chi-square(df1) density of df1 f, times df1
        const double u = df1 * f;
        return std::exp((a - 1) * std::log(u) - u / 2 - a * std::log(2.0) - log_gamma(a)) * df1;
    }
    const double b = df2 / 2;
    return std::exp(a * std::log(df1 / df2) + (a - 1) * std::log(f) -
                    (a + b) * std::log1p(df1 * f / df2) - log_beta(a, b));
}

double t_cdf(double t, double df, bool upper, bool log_p) {
    if (std::isnan(t) || std::isnan(df)) return nan;
    // the upper tail of |t|: half of I_x(df/2, 1/2), x = df / (df + t^2)
    const double t2 = t * t;
    double x, y;
    if (t2 > df) {
        x = (df / t2) / (1.0 + df / t2);
        y = 1.0 / (1.0 + df / t2);
    } else {
        x = 1.0 / (1.0 + t2 / df);
        y = (t2 / df) / (1.0 + t2 / df);
    }
    const double tail = ln_half + beta_inc(df / 2, 0.5, x, y, false, true);
    const bool want_tail = (t > 0) == upper;
    double v = want_tail ? tail : log1mexp(tail);
    if (t == 0) v = ln_half;
    return log_p ? v : std::exp(v);
}

double t_quantile(double p, double df, bool upper, bool log_p) {
    double lp = as_log(p, log_p);
    if (std::isnan(lp) || lp > 0 || std::isnan(df)) return nan;
    // lq: log of the upper tail probability
    double lq = upper ? lp : log1mexp(lp);
    double sign = 1.0;
    if (lq > ln_half) {
        lq = log1mexp(lq);
        sign = -1.0;
    }
    if (lq == ln_half) return 0.0;
    if (lq == -inf) return sign * inf;
    double x, y;
    beta_inc_inv(df / 2, 0.5, lq - ln_half, false, true, x, y);
    return sign * std::sqrt(df * (y / x));
}

double chisq_upper(double x, double df) { return gamma_inc(df / 2, x / 2, true, false); }

void gauss_legendre_unit(std::size_t n, double* nodes, double* weights) {
    const double pi = 3.14159265358979323846;
    for (std::size_t i = 0; i < (n + 1) / 2; ++i) {
        // Newton's method on the angle of z = cos(theta): 1 - z^2 = sin^2(theta)
        // and the node near 0, sin^2(theta / 2), keep their digits at the ends
        double theta = pi * (i + 0.75) / (n + 0.5), slope = 0.0;
        for (int iter = 0; iter < 100; ++iter) {
            const double z = std::cos(theta), s = std::sin(theta);
            double p1 = 1.0, p2 = 0.0;
            for (std::size_t j = 1; j <= n; ++j) {
                const double p3 = p2;
                p2 = p1;
                p1 = ((2.0 * j - 1.0) * z * p2 - (j - 1.0) * p3) / j;
            }
            slope = n * (z * p1 - p2) / s;  // dP_n(cos theta)/dtheta
            const double step = p1 / slope;
            theta -= step;
            if (std::fabs(step) <= 1e-16 * theta) break;
        }
        const double half = std::sin(theta / 2), w = 1.0 / (slope * slope);
        nodes[i] = half * half;
        nodes[n - 1 - i] = 1.0 - half * half;
        weights[i] = w;
        weights[n - 1 - i] = w;
    }
}

}  // namespace tessera::kernels::special
