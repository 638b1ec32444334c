"""Times hypothesis_test(x, y, "permutation") against permute's two_sample.

    python benchmarks/bench_stat.py

For 6 against 6 and 20 against 20 values, runs the permutation branch of
tessera.tools.stat (native kernel) and two_sample(..., reps=10000, stat="t",
alternative="two-sided", seed=20) called directly in the same process,
checks that both give the same statistic and p-value, and prints the ratio.
A library call takes tens of seconds, so each is timed once.
"""
import time
import warnings

import numpy as np
from permute.core import two_sample

from tessera.tools.stat import hypothesis_test


def main():
    rng = np.random.default_rng(1)
    hypothesis_test(rng.normal(size=3), rng.normal(size=3), "permutation")  # first-use check
    for n in (6, 20):
        x = np.round(rng.normal(24.0, 1.0, n), 4)
        y = np.round(rng.normal(24.6, 1.0, n), 4)
        start = time.perf_counter()
        repeats = 20
        for _ in range(repeats):
            fast = hypothesis_test(x, y, "permutation")
        t_fast = (time.perf_counter() - start) / repeats
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            start = time.perf_counter()
            p, t = two_sample(x, y, reps=10000, stat="t", alternative="two-sided", seed=20)
            t_slow = time.perf_counter() - start
        assert fast == (t, p), (fast, (t, p))
        print(f"{n:2d} vs {n:2d}: tessera {t_fast * 1e3:8.2f} ms   two_sample {t_slow:7.2f} s"
              f"   ratio {t_slow / t_fast:9.0f}x   (t={t:.6g}, p={p:.6g}, identical)")


if __name__ == "__main__":
    main()
