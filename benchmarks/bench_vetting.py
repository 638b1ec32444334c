"""Times tessera.tools.vetting against its reference route.

    python benchmarks/bench_vetting.py [--rows 20000]

On a generated log2 table (24 samples, 5% NaN) runs each per-feature test
through Vetting and through the plain-Python twin (tests/twin_vetting.py)
in the same process, checks that the frames are identical and prints the
ratios. The permutation test is timed on 500 features; its reference route
costs seconds per feature, so that route is timed on a few of them and
scaled to 500 (the printed line says so). med_norm and median_df run on
200,000 x 24.
"""
import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import twin_vetting  # noqa: E402
from tessera.tools.vetting import Vetting  # noqa: E402


def log2_table(rng, rows, samples, nan=0.05):
    values = rng.normal(24.0, 2.0, (rows, samples)) + rng.normal(0, 1.5, (rows, 1))
    values[rng.random(values.shape) < nan] = np.nan
    return pd.DataFrame(values, columns=[f"S{i + 1}" for i in range(samples)],
                        index=[f"P{i:06d}" for i in range(rows)])


def timed(fn, repeat=1):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def report(name, t_fast, t_slow, note=""):
    print(f"{name:28s} tessera {t_fast * 1e3:9.1f} ms   reference route {t_slow * 1e3:11.1f} ms"
          f"   ratio {t_slow / t_fast:8.1f}x {note}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=20_000)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    rng = np.random.default_rng(0)
    df = log2_table(rng, args.rows, 24)
    cols = list(df.columns)
    two = [("A", cols[:12]), ("B", cols[12:])]
    three = [("A", cols[:8]), ("B", cols[8:16]), ("C", cols[16:])]
    fast, slow = Vetting({}), twin_vetting.Vetting({})
    print(f"table: {args.rows} rows x 24 samples, 5% NaN")

    for method in ["t", "Welch", "paired_t", "Wilcoxon", "Mannwhiteneyu"]:
        t_fast, r_fast = timed(lambda: fast.stat_test_two_samples(df, two, method), repeat=3)
        t_slow, r_slow = timed(lambda: slow.stat_test_two_samples(df, two, method))
        pd.testing.assert_frame_equal(r_fast, r_slow, check_exact=True)
        report(f"stat_test_two_samples {method}", t_fast, t_slow)
        if method == "Welch":
            print(f"{'':28s} whole {args.rows}-row Welch call: {t_fast:.3f} s (target < 0.5 s)")
    t_fast, r_fast = timed(lambda: fast.stat_test_oneway(df, three), repeat=3)
    t_slow, r_slow = timed(lambda: slow.stat_test_oneway(df, three))
    pd.testing.assert_frame_equal(r_fast, r_slow, check_exact=True)
    report("stat_test_oneway (3 groups)", t_fast, t_slow)

    small = log2_table(rng, 500, 12)
    pair = [("A", list(small.columns[:6])), ("B", list(small.columns[6:]))]
    t_fast, r_fast = timed(lambda: fast.stat_test_two_samples(small, pair, "permutation"))
    few = 3
    t_few, r_few = timed(lambda: slow.stat_test_two_samples(small.iloc[:few], pair, "permutation"))
    pd.testing.assert_frame_equal(r_fast.iloc[:few, :14], r_few.iloc[:, :14], check_exact=True)
    report("permutation, 500 features", t_fast, t_few * len(small) / few,
           f"(reference route timed on {few} features, scaled to {len(small)})")

    big = log2_table(rng, 200_000, 24)
    t_fast, r_fast = timed(lambda: fast.med_norm(big), repeat=3)
    t_slow, r_slow = timed(lambda: slow.med_norm(big))
    pd.testing.assert_frame_equal(r_fast, r_slow, check_exact=True)
    report("med_norm 200000 x 24", t_fast, t_slow)
    t_fast, r_fast = timed(lambda: fast.median_df(big), repeat=3)
    t_slow, r_slow = timed(lambda: slow.median_df(big))
    assert r_fast == r_slow
    report("median_df 200000 x 24", t_fast, t_slow)


if __name__ == "__main__":
    main()
