"""Plain numpy twin of differential.normalize's shifts: the definitions
written out directly, for the tests to compare the compiled kernels with."""
import math
import warnings

import numpy as np
from scipy import optimize


def coverage(method, n):
    """Fewest measured columns a feature needs to serve the shifts."""
    return n if method == "median_complete" else n - n // 4


def silverman(values):
    """0.9 min(sd, IQR / 1.34) n^(-1/5); the sd alone when the IQR is 0."""
    sd = np.std(values, ddof=1)
    q75, q25 = np.quantile(values, [0.75, 0.25])
    spread = min(sd, (q75 - q25) / 1.34) if q75 > q25 else sd
    return 0.9 * spread * len(values) ** -0.2


def density_peak(values):
    """Highest point of the Gaussian kernel density on a grid of step h / 4
    from the smallest value, then the zero of its slope beside that point."""
    v = np.sort(np.asarray(values, dtype=float))
    if len(v) == 1:
        return v[0]
    h = silverman(v)
    if not h > 0:
        return v[0]
    step = h / 4

    def point(k):
        return v[0] + k * step

    grid = point(np.arange(math.ceil((v[-1] - v[0]) / step) + 1))
    density = np.exp(-0.5 * ((grid[:, None] - v[None, :]) / h) ** 2).sum(axis=1)
    top = int(np.argmax(density))

    def slope(x):
        u = (x - v) / h
        return np.sum(-u * np.exp(-0.5 * u * u))

    a, g, b = point(max(top - 1, 0)), point(top), point(top + 1)
    if slope(g) > 0 and slope(b) < 0:
        return optimize.brentq(slope, g, b, xtol=1e-14 * h)
    if slope(g) < 0 and slope(a) > 0:
        return optimize.brentq(slope, a, g, xtol=1e-14 * h)
    return g


def shifts(values, method, allowed=None):
    """The centred shift of each column of values (rows x columns, NaN or
    infinite where not measured)."""
    x = np.asarray(values, dtype=float)
    measured = np.isfinite(x)
    serves = measured.sum(axis=1) >= coverage(method, x.shape[1])
    if allowed is not None:
        serves &= np.asarray(allowed, dtype=bool)
    if method == "median_complete":
        s = np.array([np.median(x[serves, c]) for c in range(x.shape[1])])
        return s - s.mean()
    statistic = density_peak if method == "ratio_mode" else np.median
    s = np.zeros(x.shape[1])
    for _ in range(100):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # features that serve no shift
            profile = np.nanmean(np.where(measured, x - s, np.nan), axis=1)
        new = np.array([statistic(x[serves & measured[:, c], c] - profile[serves & measured[:, c]])
                        for c in range(x.shape[1])])
        new -= new.mean()
        moved = np.max(np.abs(new - s))
        s = new
        if moved <= 1e-10:
            break
    return s
