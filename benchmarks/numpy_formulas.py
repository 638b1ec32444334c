"""Hand-written numpy formulas of the per-feature tests, the yardstick of
bench_vetting.py and bench_differential.py: each statistic and its p-value
from scipy.special over all rows at once, adjusted as the modules adjust
(statsmodels' multipletests over the p-values that are not NaN).

Two sets: `propagating` ones give NaN for a row with a missing value, as
Vetting's per-row tests do; `measured` ones test each row on its finite
values, as differential.test_features does.
"""
import numpy as np
from scipy import special, stats
from statsmodels.stats.multitest import multipletests


def adjusted(p, method="fdr_bh"):
    out = np.full(p.shape, np.nan)
    keep = ~np.isnan(p)
    if keep.any():
        out[keep] = multipletests(p[keep], method=method)[1]
    return out


def _t(mx, my, vx, vy, nx, ny, welch):
    if welch:
        a, b = vx / nx, vy / ny
        se = np.sqrt(a + b)
        df = (a + b) ** 2 / (a ** 2 / (nx - 1) + b ** 2 / (ny - 1))
    else:
        df = nx + ny - 2.0
        se = np.sqrt(((nx - 1) * vx + (ny - 1) * vy) / df * (1.0 / nx + 1.0 / ny))
    t = (mx - my) / se
    p = 2 * special.stdtr(df, -np.abs(t))
    return t, p, adjusted(p)


def t_propagating(x, y, welch):
    """Student's or Welch's t of every row of x against the same row of y."""
    return _t(x.mean(axis=1), y.mean(axis=1), x.var(axis=1, ddof=1), y.var(axis=1, ddof=1),
              x.shape[1], y.shape[1], welch)


def t_measured(x, y, welch):
    """The same on each row's finite values (rows with fewer than 2 give NaN)."""
    def moments(v):
        finite = np.isfinite(v)
        n = finite.sum(axis=1).astype(float)
        filled = np.where(finite, v, 0.0)
        with np.errstate(invalid="ignore", divide="ignore"):
            m = filled.sum(axis=1) / n
            var = (np.where(finite, v - m[:, None], 0.0) ** 2).sum(axis=1) / (n - 1)
        return m, var, np.where(n >= 2, n, np.nan)

    mx, vx, nx = moments(x)
    my, vy, ny = moments(y)
    with np.errstate(invalid="ignore", divide="ignore"):
        return _t(mx, my, vx, vy, nx, ny, welch)


def paired_t_propagating(x, y):
    d = x - y
    n = d.shape[1]
    t = d.mean(axis=1) / (d.std(axis=1, ddof=1) / np.sqrt(n))
    p = 2 * special.stdtr(n - 1, -np.abs(t))
    return t, p, adjusted(p)


def oneway_propagating(samples):
    k = len(samples)
    n = sum(s.shape[1] for s in samples)
    grand = np.concatenate(samples, axis=1).mean(axis=1, keepdims=True)
    between = sum(s.shape[1] * (s.mean(axis=1, keepdims=True) - grand) ** 2 for s in samples)
    within = sum(((s - s.mean(axis=1, keepdims=True)) ** 2).sum(axis=1) for s in samples)
    f = (between[:, 0] / (k - 1)) / (within / (n - k))
    p = special.fdtrc(k - 1, n - k, f)
    return f, p, adjusted(p)


def rank_scipy(name, x, y):
    """scipy's own vectorised call along axis 1, then the adjustment."""
    statistic, p = getattr(stats, name)(x, y, axis=1)
    return statistic, p, adjusted(p)
