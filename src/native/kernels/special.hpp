// Special functions, distribution functions and scalar solvers for the
// empirical-Bayes moderated tests.
//
// The gamma-family functions take positive arguments (NaN otherwise); they
// are accurate to a few units in the last place (digamma: of max(1, |value|),
// as it passes through zero near 1.46). The distribution functions
// (incomplete beta and gamma, F, t, chi-square) reach about 1e-14 relative in
// both tails, computing the smaller tail directly rather than as 1 - cdf;
// they serve the prior estimate and the log-odds, where the result needs about
// 1e-12. The p-values users see are left to the caller (scipy.special.stdtr
// and fdtrc in the module glue).
//
// The two solvers repeat R's optimize (Brent's fmin) and uniroot (Brent's
// zeroin) step for step: their answers are only as exact as their tolerances,
// so agreement with R comes from taking the same steps, not from solving
// more tightly.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

namespace tessera::kernels::special {

// digamma(x), the derivative of log Gamma, for x > 0.
double digamma(double x);

// trigamma(x), the second derivative of log Gamma, for x > 0.
double trigamma(double x);

// tetragamma(x), the third derivative of log Gamma, for x > 0.
double tetragamma(double x);

// log(x) - digamma(x) for x > 0.
double log_minus_digamma(double x);

// log Gamma(x) for x > 0. Unlike std::lgamma it writes no global sign, so
// threads may call it at once.
double log_gamma(double x);

// The y > 0 with trigamma(y) = x, by limma's Newton iteration on 1/trigamma:
// from 0.5 + 1/x (monotone from there), stopped once a step is below 1e-8
// relative; 1/sqrt(x) above 1e7 and 1/x below 1e-6.
double trigamma_inverse(double x);

// log Beta(a, b) for a, b > 0, with Stirling's series for large arguments so
// that log Gamma(b) - log Gamma(a + b) does not cancel when b is large.
double log_beta(double a, double b);

// Regularised incomplete beta I_x(a, b) (upper: 1 - I_x(a, b)), given x and
// y = 1 - x both (so that either can be tiny without loss); log_p: its log.
double beta_inc(double a, double b, double x, double y, bool upper, bool log_p);

// Quantile of the beta distribution: the x (and y = 1 - x) with
// beta_inc(a, b, x, y, upper, log_p) = p. Both are accurate relative to themselves.
void beta_inc_inv(double a, double b, double p, bool upper, bool log_p, double& x, double& y);

// Regularised incomplete gamma P(a, x) (upper: Q(a, x)); log_p: its log.
double gamma_inc(double a, double x, bool upper, bool log_p);

// The x with gamma_inc(a, x, upper, log_p) = p.
double gamma_inc_inv(double a, double p, bool upper, bool log_p);

// Distribution function of F(df1, df2) at f (upper: survival); df2 may be +inf.
double f_cdf(double f, double df1, double df2, bool upper, bool log_p);

// Quantile of F(df1, df2) (p a lower or upper tail probability, or its log).
double f_quantile(double p, double df1, double df2, bool upper, bool log_p);

// Density of F(df1, df2) at f > 0; df2 may be +inf.
double f_density(double f, double df1, double df2);

// Distribution function of Student's t with df degrees of freedom.
double t_cdf(double t, double df, bool upper, bool log_p);

// Quantile of Student's t with df degrees of freedom.
double t_quantile(double p, double df, bool upper, bool log_p);

// Survival function of the chi-square distribution with df degrees of freedom.
double chisq_upper(double x, double df);

// Nodes and weights of n-point Gauss-Legendre quadrature on [0, 1] (weights
// sum to 1), nodes increasing.
void gauss_legendre_unit(std::size_t n, double* nodes, double* weights);

// The minimiser of f on [lower, upper] as R's optimize returns it (Brent's
// fmin with R's constants); tol is R's default .Machine$double.eps^0.25.
template <class F>
double brent_minimize(const F& f, double lower, double upper,
                      double tol = 0.0001220703125) {
    const double c = (3.0 - std::sqrt(5.0)) * 0.5;
    const double eps = std::sqrt(std::numeric_limits<double>::epsilon());
    double a = lower, b = upper;
    double v = a + c * (b - a), w = v, x = v;
    double d = 0.0, e = 0.0;
    double fx = f(x), fv = fx, fw = fx;
    const double tol3 = tol / 3.0;
    for (;;) {
        const double xm = (a + b) * 0.5;
        const double tol1 = eps * std::fabs(x) + tol3;
        const double t2 = tol1 * 2.0;
        if (std::fabs(x - xm) <= t2 - (b - a) * 0.5) break;
        double p = 0.0, q = 0.0, r = 0.0;
        if (std::fabs(e) > tol1) {  // fit a parabola through x, w, v
            r = (x - w) * (fx - fv);
            q = (x - v) * (fx - fw);
            p = (x - v) * q - (x - w) * r;
            q = (q - r) * 2.0;
            if (q > 0.0)
                p = -p;
            else
                q = -q;
            r = e;
            e = d;
        }
        double u;
        if (std::fabs(p) >= std::fabs(q * 0.5 * r) || p <= q * (a - x) || p >= q * (b - x)) {
            e = (x < xm) ? b - x : a - x;  // golden section
            d = c * e;
        } else {
            d = p / q;  // parabolic step, kept away from the ends
            u = x + d;
            if (u - a < t2 || b - u < t2) {
                d = tol1;
                if (x >= xm) d = -d;
            }
        }
        if (std::fabs(d) >= tol1)
            u = x + d;
        else if (d > 0.0)
            u = x + tol1;
        else
            u = x - tol1;
        const double fu = f(u);
        if (fu <= fx) {
            if (u < x)
                b = x;
            else
                a = x;
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            if (u < x)
                a = u;
            else
                b = u;
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    return x;
}

// A root of f in [lower, upper] as R's uniroot returns it given f(lower) and
// f(upper) of opposite signs (Brent's zeroin, R_zeroin2).
template <class F>
double brent_root(const F& f, double lower, double upper, double f_lower, double f_upper,
                  double tol, int maxiter = 1000) {
    const double eps = std::numeric_limits<double>::epsilon();
    double a = lower, b = upper, fa = f_lower, fb = f_upper;
    double c = a, fc = fa;
    if (fa == 0.0) return a;
    if (fb == 0.0) return b;
    for (int left = maxiter + 1; left-- > 0;) {
        const double prev_step = b - a;
        if (std::fabs(fc) < std::fabs(fb)) {  // b is the best approximation
            a = b;
            b = c;
            c = a;
            fa = fb;
            fb = fc;
            fc = fa;
        }
        const double tol_act = 2 * eps * std::fabs(b) + tol / 2;
        double new_step = (c - b) / 2;
        if (std::fabs(new_step) <= tol_act || fb == 0.0) return b;
        if (std::fabs(prev_step) >= tol_act && std::fabs(fa) > std::fabs(fb)) {
            double p, q;
            const double cb = c - b;
            if (a == c) {  // secant
                const double t1 = fb / fa;
                p = cb * t1;
                q = 1.0 - t1;
            } else {  // inverse quadratic interpolation
                q = fa / fc;
                const double t1 = fb / fc;
                const double t2 = fb / fa;
                p = t2 * (cb * q * (q - t1) - (b - a) * (t1 - 1.0));
                q = (q - 1.0) * (t1 - 1.0) * (t2 - 1.0);
            }
            if (p > 0.0)
                q = -q;
            else
                p = -p;
            if (p < (0.75 * cb * q - std::fabs(tol_act * q) / 2) &&
                p < std::fabs(prev_step * q / 2))
                new_step = p / q;
        }
        if (std::fabs(new_step) < tol_act) new_step = new_step > 0.0 ? tol_act : -tol_act;
        a = b;
        fa = fb;
        b += new_step;
        fb = f(b);
        if ((fb > 0 && fc > 0) || (fb < 0 && fc < 0)) {
            c = a;
            fc = fa;
        }
    }
    return b;
}

}  // namespace tessera::kernels::special
