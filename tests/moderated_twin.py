"""Empirical-Bayes moderated t and F tests in numpy/scipy: the readable twin of
the C++ kernels in src/native/kernels/moderated.cpp.

It computes what limma's lmFit (group-means design, each feature fitted on its
finite values), contrasts.fit (every group minus the last), eBayes and topTable
give: moderated t, its p-value, the log-odds B, the moderated F and its
p-value, with the prior of the sample variances estimated

* classically (legacy): method of moments on log variances, the trigamma
  function inverted by Newton's method; with `trend`, the prior log variance is
  a natural cubic spline in the average log intensity; with `robust`, a
  Winsorised fit gives every feature its own prior df;
* or by maximum likelihood (legacy=False, for residual dfs that differ): the
  likelihood of the scaled F distribution maximised over d0 by R's Brent
  minimiser, step for step, so that d0 agrees to the minimiser's rounding and
  not merely to its tolerance.

Scalar helpers copy the algorithms of R where the result depends on their exact
steps (optimize, uniroot, lowess, quantile type 7, the trimmed mean, approx);
sums that R accumulates in long double use math.fsum.
"""
import math

import numpy as np
from scipy import special, stats

LOG_ODDS_PROPORTION = 0.01
STDEV_COEF_LIM = (0.1, 4.0)
WINSOR_TAIL_P = (0.05, 0.1)


def fsum(values):
    return math.fsum(np.asarray(values, dtype=float).ravel().tolist())


def r_mean(values):
    values = np.asarray(values, dtype=float)
    return fsum(values) / values.size


def r_median(values):
    return float(np.median(np.asarray(values, dtype=float)))


def quantile7(values, probs):
    """R's quantile(type = 7): (1 - h) x[lo] + h x[hi] at index 1 + (n - 1) p."""
    x = np.sort(np.asarray(values, dtype=float))
    out = []
    for p in np.atleast_1d(probs):
        index = (x.size - 1) * p
        lo = math.floor(index)
        hi = math.ceil(index)
        q = x[lo]
        h = index - lo
        if index > lo and x[hi] != q:
            q = (1 - h) * q + h * x[hi]
        out.append(q)
    return np.array(out)


def trimmed_mean(values, trim):
    """R's mean(x, trim): drop floor(n trim) values at each end."""
    x = np.sort(np.asarray(values, dtype=float))
    lo = math.floor(x.size * trim)
    return r_mean(x[lo:x.size - lo])


def rank_average(values):
    return stats.rankdata(values, method="average")


def trigamma_inverse(x):
    """limma's trigammaInverse: Newton's method on 1/trigamma from 0.5 + 1/x,
    monotone from that start, stopped once a step is below 1e-8 relative."""
    if x > 1e7:
        return 1.0 / math.sqrt(x)
    if x < 1e-6:
        return 1.0 / x
    y = 0.5 + 1.0 / x
    for _ in range(50):
        tri = float(special.polygamma(1, y))
        dif = tri * (1.0 - tri / x) / float(special.polygamma(2, y))
        y += dif
        if -dif / y < 1e-8:
            break
    return y


def logmdigamma(a):
    return np.log(a) - special.digamma(a)


def r_optimize(f, lower, upper, tol=np.finfo(float).eps ** 0.25):
    """R's optimize (Brent's fmin): golden section and parabolic steps."""
    c = (3.0 - math.sqrt(5.0)) * 0.5
    eps = math.sqrt(np.finfo(float).eps)
    a, b = lower, upper
    v = w = x = a + c * (b - a)
    d = e = 0.0
    fv = fw = fx = f(x)
    tol3 = tol / 3.0
    while True:
        xm = (a + b) * 0.5
        tol1 = eps * abs(x) + tol3
        t2 = tol1 * 2.0
        if abs(x - xm) <= t2 - (b - a) * 0.5:
            return x
        p = q = r = 0.0
        if abs(e) > tol1:
            r = (x - w) * (fx - fv)
            q = (x - v) * (fx - fw)
            p = (x - v) * q - (x - w) * r
            q = (q - r) * 2.0
            if q > 0.0:
                p = -p
            else:
                q = -q
            r = e
            e = d
        if abs(p) >= abs(q * 0.5 * r) or p <= q * (a - x) or p >= q * (b - x):
            e = (b - x) if x < xm else (a - x)
            d = c * e
        else:
            d = p / q
            u = x + d
            if u - a < t2 or b - u < t2:
                d = tol1 if x < xm else -tol1
        if abs(d) >= tol1:
            u = x + d
        elif d > 0.0:
            u = x + tol1
        else:
            u = x - tol1
        fu = f(u)
        if fu <= fx:
            if u < x:
                b = x
            else:
                a = x
            v, fv, w, fw, x, fx = w, fw, x, fx, u, fu
        else:
            if u < x:
                a = u
            else:
                b = u
            if fu <= fw or w == x:
                v, fv, w, fw = w, fw, u, fu
            elif fu <= fv or v == x or v == w:
                v, fv = u, fu


def r_uniroot(f, lower, upper, f_lower, f_upper, tol, maxiter=1000):
    """R's uniroot (Brent's zeroin, R_zeroin2) given the end values."""
    eps = np.finfo(float).eps
    a, b, fa, fb = lower, upper, f_lower, f_upper
    c, fc = a, fa
    if fa == 0.0:
        return a
    if fb == 0.0:
        return b
    for _ in range(maxiter + 1):
        prev_step = b - a
        if abs(fc) < abs(fb):
            a, b, c = b, c, b
            fa, fb, fc = fb, fc, fb
        tol_act = 2 * eps * abs(b) + tol / 2
        new_step = (c - b) / 2
        if abs(new_step) <= tol_act or fb == 0.0:
            return b
        if abs(prev_step) >= tol_act and abs(fa) > abs(fb):
            cb = c - b
            if a == c:
                t1 = fb / fa
                p = cb * t1
                q = 1.0 - t1
            else:
                q = fa / fc
                t1 = fb / fc
                t2 = fb / fa
                p = t2 * (cb * q * (q - t1) - (b - a) * (t1 - 1.0))
                q = (q - 1.0) * (t1 - 1.0) * (t2 - 1.0)
            if p > 0:
                q = -q
            else:
                p = -p
            if p < (0.75 * cb * q - abs(tol_act * q) / 2) and p < abs(prev_step * q / 2):
                new_step = p / q
        if abs(new_step) < tol_act:
            new_step = tol_act if new_step > 0 else -tol_act
        a, fa = b, fb
        b += new_step
        fb = f(b)
        if (fb > 0 and fc > 0) or (fb < 0 and fc < 0):
            c, fc = a, fa
    return b


def r_lowess(x, y, span, iterations, delta):
    """R's lowess (Cleveland's clowess) on x sorted increasingly."""
    n = x.size
    ys = np.empty(n)
    rw = np.ones(n)
    ns = max(2, min(n, int(span * n + 1e-7)))
    xr = x[-1] - x[0]
    for it in range(1, iterations + 2):
        nleft, nright, last, i = 0, ns - 1, -1, 0
        while True:
            if nright < n - 1:
                if x[i] - x[nleft] > x[nright + 1] - x[i]:
                    nleft += 1
                    nright += 1
                    continue
            xs = x[i]
            h = max(xs - x[nleft], x[nright] - xs)
            # the window, extended over ties on the right
            j_end = nleft
            while j_end < n and (abs(x[j_end] - xs) <= 0.999 * h or x[j_end] <= xs):
                j_end += 1
            idx = np.arange(nleft, j_end)
            r = np.abs(x[idx] - xs)
            w = np.where(r <= 0.999 * h, np.where(r <= 0.001 * h, 1.0,
                                                  (1 - (r / h) ** 3) ** 3), 0.0)
            if it > 1:
                w = w * rw[idx]
            a = fsum(w)
            if a <= 0:
                ys[i] = y[i]
            else:
                w = w / a
                if h > 0:
                    centre = fsum(w * x[idx])
                    b = xs - centre
                    c = fsum(w * (x[idx] - centre) ** 2)
                    if math.sqrt(c) > 0.001 * xr:
                        w = w * (b / c * (x[idx] - centre) + 1.0)
                ys[i] = fsum(w * y[idx])
            if last < i - 1:
                denom = x[i] - x[last]
                for j in range(last + 1, i):
                    alpha = (x[j] - x[last]) / denom
                    ys[j] = alpha * ys[i] + (1 - alpha) * ys[last]
            last = i
            cut = x[last] + delta
            i = last + 1
            while i < n:
                if x[i] > cut:
                    break
                if x[i] == x[last]:
                    ys[i] = ys[last]
                    last = i
                i += 1
            i = max(last + 1, i - 1)
            if last >= n - 1:
                break
        res = y - ys
        if it > iterations:
            break
        sc = fsum(np.abs(res)) / n
        ares = np.sort(np.abs(res))
        m1 = n // 2
        cmad = 3.0 * (ares[m1] + ares[n - m1 - 1]) if n % 2 == 0 else 6.0 * ares[m1]
        if cmad < 1e-7 * sc:
            break
        r = np.abs(res)
        rw = np.where(r <= 0.001 * cmad, 1.0,
                      np.where(r <= 0.999 * cmad, (1 - (r / cmad) ** 2) ** 2, 0.0))
    return ys


def loess_trend(y, x, span=0.4, iterations=4):
    """limma's loessFit without weights: lowess of y on x, in the input order."""
    o = np.argsort(x, kind="stable")
    xs = x[o]
    fitted = np.empty_like(y)
    fitted[o] = r_lowess(xs, y[o], span, iterations - 1, 0.01 * (xs[-1] - xs[0]))
    return fitted


def approx_rule2(x, y, xout):
    """R's approx(x, y, xout, rule = 2, ties = mean)."""
    ux, inverse = np.unique(x, return_inverse=True)
    uy = np.array([r_mean(y[inverse == k]) for k in range(ux.size)])
    out = np.empty(len(xout))
    for k, v in enumerate(xout):
        if np.isnan(v):
            out[k] = np.nan
        elif v <= ux[0]:
            out[k] = uy[0]
        elif v >= ux[-1]:
            out[k] = uy[-1]
        else:
            j = np.searchsorted(ux, v)
            if ux[j] == v:
                out[k] = uy[j]
            else:
                i = j - 1
                out[k] = uy[i] + (uy[j] - uy[i]) * ((v - ux[i]) / (ux[j] - ux[i]))
    return out


def natural_spline_basis(x, knots):
    """A basis of the natural cubic splines with these knots (boundary knots
    first and last), evaluated at x; linear beyond the boundary knots. Any basis
    of that space gives the fitted values of R's splines::ns; this one is the
    truncated-power form on x scaled to [0, 1] by the boundary knots."""
    lo, hi = knots[0], knots[-1]
    u = (np.asarray(x, dtype=float) - lo) / (hi - lo)
    k = (np.asarray(knots) - lo) / (hi - lo)
    cols = [np.ones_like(u), u]

    def d(j):
        return (np.maximum(u - k[j], 0) ** 3 - np.maximum(u - k[-1], 0) ** 3) / (k[-1] - k[j])

    for j in range(len(k) - 2):
        cols.append(d(j) - d(len(k) - 2))
    return np.column_stack(cols)


def fit_groups(values, groups, n_groups):
    """Per feature and group: mean of the finite values (NaN for none) and their
    number; the residual variance about the group means and its df (finite
    values minus groups with a value; variance NaN at df 0); the row mean."""
    values = np.asarray(values, dtype=float)
    groups = np.asarray(groups)
    finite = np.isfinite(values)
    counts = np.stack([finite[:, groups == g].sum(axis=1) for g in range(n_groups)], axis=1)
    filled = np.where(finite, values, 0.0)
    sums = np.stack([filled[:, groups == g].sum(axis=1) for g in range(n_groups)], axis=1)
    coef = np.where(counts > 0, sums / np.maximum(counts, 1), np.nan)
    centred = np.where(finite, values - coef[:, groups], 0.0)
    rss = (centred * centred).sum(axis=1)
    df = counts.sum(axis=1) - (counts > 0).sum(axis=1)
    s2 = np.where(df > 0, rss / np.maximum(df, 1), np.nan)
    total = counts.sum(axis=1)
    amean = np.where(total > 0, filled.sum(axis=1) / np.maximum(total, 1), np.nan)
    return coef, counts.astype(float), s2, df.astype(float), amean


def contrasts_against_last(n_groups):
    c = np.zeros((n_groups, n_groups - 1))
    for k in range(n_groups - 1):
        c[k, k] = 1.0
        c[-1, k] = -1.0
    return c


def contrast_fit(coef, counts, contrasts):
    """Contrast estimates and unscaled standard deviations (orthogonal
    coefficients: sqrt(sum c^2 / n)); NaN where a group in the contrast has no value."""
    used = contrasts != 0
    missing = ~np.isfinite(coef)
    est = np.where(missing, 0.0, coef) @ contrasts
    with np.errstate(divide="ignore"):
        var = np.where(missing, 0.0, 1.0 / counts) @ (contrasts ** 2)
    bad = (missing.astype(float) @ used.astype(float)) > 0
    est[bad] = np.nan
    su = np.sqrt(var)
    su[bad] = np.nan
    return est, su


def fit_f_dist(x, df1, covariate=None):
    """Classic moment estimate of (scale, df2) of x ~ scale F(df1, df2)."""
    x = np.asarray(x, dtype=float)
    df1 = np.broadcast_to(np.asarray(df1, dtype=float), x.shape).copy()
    n = x.size
    if n == 0:
        return np.nan, np.nan
    if n == 1:
        return x[0], 0.0
    ok = np.isfinite(df1) & (df1 > 1e-15)
    if covariate is not None:
        covariate = np.asarray(covariate, dtype=float).copy()
        fin = np.isfinite(covariate)
        if not fin.all():
            if fin.any():
                covariate[covariate == -np.inf] = covariate[fin].min() - 1
                covariate[covariate == np.inf] = covariate[fin].max() + 1
            else:
                covariate = np.sign(covariate)
    with np.errstate(invalid="ignore"):
        ok &= np.isfinite(x) & (x > -1e-15)
    if covariate is not None:
        ok &= ~np.isnan(covariate)  # a feature without any value
    nok = int(ok.sum())
    if nok == 1:
        return x[ok][0], 0.0
    cov_out = None
    if nok < n:
        if covariate is not None:
            cov_out = covariate[~ok]
            covariate = covariate[ok]
        x = x[ok]
        df1 = df1[ok]
    if covariate is not None:
        splinedf = 1 + (nok >= 3) + (nok >= 6) + (nok >= 30)
        splinedf = min(splinedf, np.unique(covariate).size)
        if splinedf < 2:
            scale, df2 = fit_f_dist(x, df1)
            return np.full(n, scale), df2
    x = np.maximum(x, 0)
    m = r_median(x)
    if m == 0:
        m = 1.0
    x = np.maximum(x, 1e-5 * m)
    z = np.log(x)
    e = z - special.digamma(df1 / 2) + np.log(df1 / 2)
    if covariate is None:
        emean = r_mean(e)
        evar = fsum((e - emean) ** 2) / (nok - 1)
    else:
        knots = np.concatenate([[covariate.min()],
                                quantile7(covariate, np.linspace(0, 1, splinedf)[1:-1]),
                                [covariate.max()]])
        design = natural_spline_basis(covariate, knots)
        beta, *_ = np.linalg.lstsq(design, e, rcond=None)
        fitted = design @ beta
        evar = fsum((e - fitted) ** 2) / (nok - splinedf)
        if cov_out is None:
            emean = fitted
        else:
            emean = np.empty(n)
            emean[ok] = fitted
            emean[~ok] = natural_spline_basis(cov_out, knots) @ beta
    evar = evar - r_mean(special.polygamma(1, df1 / 2))
    if evar > 0:
        df2 = 2 * trigamma_inverse(evar)
        s20 = np.exp(emean + special.digamma(df2 / 2) - np.log(df2 / 2))
    else:
        df2 = np.inf
        s20 = r_mean(x) if covariate is None else np.exp(emean)
    return s20, df2


def fit_f_dist_modern(x, df1):
    """Maximum-likelihood estimate of (scale, df2) for unequal df1: the weighted
    mean of the adjusted log variances fixes the scale for each df2, and R's
    optimize searches p = d2 / (1 + d2), d2 = df2 / 2, over (1/2, 0.9998)."""
    x = np.asarray(x, dtype=float).copy()
    df1 = np.broadcast_to(np.asarray(df1, dtype=float), x.shape).copy()
    weight = np.ones_like(x)
    weight[np.isnan(x)] = 0
    x[np.isnan(x)] = 0
    small = df1 < 0.01
    weight[small] = 0
    df1[small] = 1
    informative = (x > 0) & (weight > 0)
    if informative.sum() < 2:
        return np.nan, np.nan
    xpos = np.maximum(x, 1e-12 * r_median(x[informative]))
    d1 = df1 / 2
    e = np.log(xpos) + logmdigamma(d1)
    w = weight / special.polygamma(1, d1)
    emean = fsum(w * e) / fsum(w)
    d1x = d1 * xpos

    def minus_twice_loglik(p):
        d2 = p / (1 - p)
        d2s20 = d2 * math.exp(emean - float(logmdigamma(d2)))
        terms = (-(d1 + d2) * np.log1p(d1x / d2s20) - d1 * math.log(d2s20)
                 + special.gammaln(d1 + d2) - math.lgamma(d2))
        return -2 * fsum(weight * terms)

    p = r_optimize(minus_twice_loglik, 0.5, 0.9998)
    d2 = p / (1 - p)
    return math.exp(emean - float(logmdigamma(d2))), 2 * d2


def _f_quantile(p, df1, df2):
    if np.isinf(df2):
        return stats.chi2.ppf(p, df1) / df1
    return stats.f.ppf(p, df1, df2)


def _f_density(x, df1, df2):
    if np.isinf(df2):
        return stats.chi2.pdf(x * df1, df1) * df1
    return stats.f.pdf(x, df1, df2)


def _f_logsf(x, df1, df2):
    if np.isinf(df2):
        return stats.chi2.logsf(x * df1, df1)
    return stats.f.logsf(x, df1, df2)


def _f_logcdf(x, df1, df2):
    if np.isinf(df2):
        return stats.chi2.logcdf(x * df1, df1)
    return stats.f.logcdf(x, df1, df2)


def _gauss_uniform(n=128):
    nodes, weights = np.polynomial.legendre.leggauss(n)
    return (nodes + 1) / 2, weights / 2


def _winsorized_moments(df1, df2, tail):
    """Mean and variance of log F(df1, df2) Winsorised at the tail probabilities."""
    g_nodes, g_weights = _gauss_uniform()
    fq = _f_quantile(np.array([tail[0], 1 - tail[1]]), df1, df2)
    zq = np.log(fq)
    q = fq / (1 + fq)
    nodes = q[0] + (q[1] - q[0]) * g_nodes
    fnodes = nodes / (1 - nodes)
    znodes = np.log(fnodes)
    f = _f_density(fnodes, df1, df2) / (1 - nodes) ** 2
    q21 = q[1] - q[0]
    tail = np.asarray(tail)
    m = q21 * fsum(g_weights * f * znodes) + fsum(zq * tail)
    v = q21 * fsum(g_weights * f * (znodes - m) ** 2) + fsum((zq - m) ** 2 * tail)
    return m, v


def fit_f_dist_robustly(x, df1, covariate=None, winsor_tail_p=WINSOR_TAIL_P):
    """Robust (scale, df2, df2_shrunk): a Winsorised moment fit, then the prior
    df of each feature shrunk by its probability of being an outlier."""
    x = np.asarray(x, dtype=float)
    n = x.size
    df1 = np.broadcast_to(np.asarray(df1, dtype=float), x.shape).copy()
    ok = ~np.isnan(x) & np.isfinite(df1) & (df1 > 1e-6)
    if not ok.all():
        scale, df2, shrunk = fit_f_dist_robustly(
            x[ok], df1[ok], None if covariate is None else covariate[ok], winsor_tail_p)
        df2_shrunk = np.empty(n)
        df2_shrunk[ok] = shrunk
        df2_shrunk[~ok] = df2
        if covariate is not None:
            full = np.empty(n)
            full[ok] = scale
            full[~ok] = np.exp(approx_rule2(covariate[ok], np.log(scale), covariate[~ok]))
            scale = full
        return scale, df2, df2_shrunk
    m = r_median(x)
    x = np.where(x < m * 1e-12, m * 1e-12, x)
    scale0, df20 = fit_f_dist(x, df1, covariate)
    tail = np.asarray(winsor_tail_p, dtype=float)
    if (tail < 1 / n).all():
        return scale0, df20, np.full(n, df20)
    df1max = df1.max()
    lower = df1 < df1max - 1e-14
    if lower.any():
        s = scale0 if covariate is None else scale0[lower]
        f = x[lower] / s
        pupper = _f_logsf(f, df1[lower], df20)
        plower = _f_logcdf(f, df1[lower], df20)
        up = pupper < plower
        if np.isinf(df20):
            inv_up = stats.chi2.isf(np.exp(pupper), df1max) / df1max
            inv_lo = stats.chi2.ppf(np.exp(plower), df1max) / df1max
        else:
            inv_up = stats.f.isf(np.exp(pupper), df1max, df20)
            inv_lo = stats.f.ppf(np.exp(plower), df1max, df20)
        f = np.where(up, inv_up, inv_lo)
        x = x.copy()
        x[lower] = f * s
    df1 = df1max
    z = np.log(x)
    if covariate is None:
        ztrend = trimmed_mean(z, tail[1])
    else:
        ztrend = loess_trend(z, np.asarray(covariate, dtype=float))
    zresid = z - ztrend
    zrq = quantile7(zresid, [tail[0], 1 - tail[1]])
    zwins = np.minimum(np.maximum(zresid, zrq[0]), zrq[1])
    zwmean = r_mean(zwins)
    zwvar = r_mean((zwins - zwmean) ** 2) * n / (n - 1)
    mean_inf, var_inf = _winsorized_moments(df1, np.inf, tail)
    funval_inf = math.log(zwvar / var_inf)
    if funval_inf <= 0:
        ztc = ztrend + zwmean - mean_inf
        s20 = np.exp(ztc)
        fstat = np.exp(z - ztc)
        tailp = stats.chi2.sf(fstat * df1, df1)
        r = rank_average(fstat)
        prob_not = np.minimum(tailp / ((n - r + 0.5) / n), 1)
        shrunk = np.full(n, np.inf)
        out = prob_not < 1
        if out.any():
            shrunk[out] = prob_not[out] * (n * df1)
            o = np.argsort(tailp, kind="stable")
            shrunk[o] = np.maximum.accumulate(shrunk[o])
        return s20, np.inf, shrunk
    if np.isinf(df20):
        return scale0, df20, np.full(n, df20)

    def fun(v):
        return math.log(zwvar / _winsorized_moments(df1, v / (1 - v), tail)[1])

    rbx = df20 / (1 + df20)
    funval_low = fun(rbx)
    if funval_low >= 0:
        df2 = df20
    else:
        root = r_uniroot(fun, rbx, 1.0, funval_low, funval_inf, tol=1e-8)
        df2 = root / (1 - root)
    mean2, _ = _winsorized_moments(df1, df2, tail)
    ztc = ztrend + zwmean - mean2
    s20 = np.exp(ztc)
    fstat = np.exp(z - ztc)
    log_tailp = _f_logsf(fstat, df1, df2)
    r = rank_average(fstat)
    log_prob_not = np.minimum(log_tailp - (np.log(n - r + 0.5) - math.log(n)), 0)
    if not (log_prob_not < 0).any():
        return s20, df2, np.full(n, df2)
    prob_not = np.exp(log_prob_not)
    prob_out = -np.expm1(log_prob_not)
    min_log_tailp = log_tailp.min()
    if min_log_tailp == -np.inf:
        shrunk = prob_not * df2
    else:
        df2_outlier = math.log(0.5) / min_log_tailp * df2
        new_log = _f_logsf(fstat.max(), df1, df2_outlier)
        df2_outlier = math.log(0.5) / new_log * df2_outlier
        shrunk = prob_not * df2 + prob_out * df2_outlier
    o = np.argsort(log_tailp, kind="stable")
    ordered = shrunk[o]
    running = np.cumsum(ordered) / np.arange(1, n + 1)
    imin = int(np.argmin(running))
    ordered[:imin + 1] = running[imin]
    shrunk[o] = np.maximum.accumulate(ordered)
    return s20, df2, shrunk


def squeeze_var(var, df, covariate=None, robust=False, legacy=None):
    """(var_prior, df_prior, var_post) as limma's squeezeVar."""
    var = np.asarray(var, dtype=float).copy()
    df = np.asarray(df, dtype=float)
    var[df == 0] = 0
    if legacy is None:
        positive = df[df > 0]
        legacy = positive.min() == positive.max()
    if legacy and robust:
        var_prior, _, df_prior = fit_f_dist_robustly(var, df, covariate)
    elif legacy:
        var_prior, df_prior = fit_f_dist(var, df, covariate)
    elif robust or covariate is not None:
        raise ValueError("trend and robust are built for the classic estimate only")
    else:
        var_prior, df_prior = fit_f_dist_modern(var, df)
    if np.isnan(df_prior).any():
        raise ValueError("could not estimate prior df")
    df_prior_b = np.broadcast_to(df_prior, var.shape)
    var_prior_b = np.broadcast_to(var_prior, var.shape)
    finite = np.isfinite(df_prior_b)
    with np.errstate(invalid="ignore"):
        post = (df * var + df_prior_b * var_prior_b) / (df + df_prior_b)
    var_post = np.where(finite, post, var_prior_b)
    return var_prior, df_prior, var_post


def tmixture(t, su, df, proportion, v0_lim):
    """Prior variance of the non-null coefficients (limma's tmixture.vector)."""
    keep = ~np.isnan(t)
    t, su, df = np.abs(t[keep]), su[keep], df[keep]
    ngenes = t.size
    ntarget = math.ceil(proportion / 2 * ngenes)
    if ntarget < 1:
        return np.nan
    p = max(ntarget / ngenes, proportion)
    maxdf = df.max()
    low = df < maxdf
    if low.any():
        log_tail = stats.t.logsf(t[low], df[low])
        t = t.copy()
        t[low] = stats.t.isf(np.exp(log_tail), maxdf)
    o = np.argsort(-t, kind="stable")[:ntarget]
    t = t[o]
    v1 = su[o] ** 2
    r = np.arange(1, ntarget + 1)
    p0 = 2 * stats.t.sf(t, maxdf)
    ptarget = ((r - 0.5) / ngenes - (1 - p) * p0) / p
    v0 = np.zeros(ntarget)
    pos = ptarget > p0
    if pos.any():
        qtarget = stats.t.isf(ptarget[pos] / 2, maxdf)
        v0[pos] = v1[pos] * ((t[pos] / qtarget) ** 2 - 1)
    v0 = np.minimum(np.maximum(v0, v0_lim[0]), v0_lim[1])
    return r_mean(v0)


def moderated_test(values, groups, n_groups, *, trend=False, robust=False, legacy=None,
                   proportion=LOG_ODDS_PROPORTION, stdev_coef_lim=STDEV_COEF_LIM):
    """All outputs of the moderated tests of each group against the last one.

    values: features x samples; groups: group index (0 .. n_groups - 1) of each
    column. Returns a dict of arrays: per contrast (columns) logFC,
    stdev_unscaled, t, p_value, B; per feature s2 (residual variance),
    df_residual, amean, s2_prior, df_prior, s2_post, df_total, F, F_p_value.
    """
    coef, counts, s2, df_res, amean = fit_groups(values, groups, n_groups)
    contrasts = contrasts_against_last(n_groups)
    est, su = contrast_fit(coef, counts, contrasts)
    s2_prior, df_prior, s2_post = squeeze_var(s2, df_res, amean if trend else None, robust, legacy)
    with np.errstate(invalid="ignore", divide="ignore"):
        t = est / su / np.sqrt(s2_post)[:, None]
    df_pooled = fsum(df_res)
    df_total = np.minimum(df_res + df_prior, df_pooled)
    p = 2 * special.stdtr(df_total[:, None], -np.abs(t))

    # a trend has no prior variance for a feature without any value
    prior = np.broadcast_to(s2_prior, s2.shape)
    lim = np.asarray(stdev_coef_lim) ** 2 / r_median(prior[np.isfinite(prior)])
    var_prior = np.array([tmixture(t[:, k], su[:, k], df_total, proportion, lim)
                          for k in range(t.shape[1])])
    if np.isnan(var_prior).any():
        var_prior[np.isnan(var_prior)] = 1 / np.ravel(s2_prior)[0]
    with np.errstate(invalid="ignore", divide="ignore"):
        r = (su ** 2 + var_prior) / su ** 2
        t2 = t ** 2
        infinite = np.broadcast_to(df_prior, s2.shape)[:, None] > 1e6
        dft = df_total[:, None]
        kernel = np.where(infinite, t2 * (1 - 1 / r) / 2,
                          (1 + dft) / 2 * np.log((t2 + dft) / (t2 / r + dft)))
        lods = math.log(proportion / (1 - proportion)) - np.log(r) / 2 + kernel

    sizes = np.array([(np.asarray(groups) == g).sum() for g in range(n_groups)], dtype=float)
    cov = contrasts.T @ np.diag(1 / sizes) @ contrasts
    d = np.sqrt(np.diag(cov))
    cor = cov / np.outer(d, d)
    evals, evecs = np.linalg.eigh(cor)
    evals, evecs = evals[::-1], evecs[:, ::-1]
    rank = int((evals / evals[0] > 1e-8).sum())
    q = evecs[:, :rank] / np.sqrt(evals[:rank]) / math.sqrt(rank)
    f = ((t @ q) ** 2).sum(axis=1)
    df2 = df_prior + df_res
    with np.errstate(invalid="ignore"):
        f_p = np.where(np.isinf(df2), special.chdtrc(rank, rank * f),
                       special.fdtrc(rank, np.where(np.isinf(df2), 1.0, df2), f))
    return {"logFC": est, "stdev_unscaled": su, "t": t, "p_value": p, "B": lods,
            "s2": s2, "df_residual": df_res, "amean": amean, "s2_prior": s2_prior,
            "df_prior": df_prior, "s2_post": s2_post, "df_total": df_total,
            "var_prior": var_prior, "F": f, "F_p_value": f_p, "df_pooled": df_pooled}
