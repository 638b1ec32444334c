"""Times tessera.tools.differential against the plain routes it replaces.

    python benchmarks/bench_differential.py [--rows 20000] [--full]

On a generated log2 table (24 samples, 20% of cells missing) runs
test_features for every method and, in the same process, the loop of one-row
scipy calls on each feature's measured values (tests/twin_differential.py),
checks that the frames are identical and prints times and ratios. The
one-row loop runs over every feature for Welch (the method with a speed
target: under 0.1 s for the whole call, at least 100 times faster than the
loop); for the other methods it runs on the first 2,000 features and its
time is scaled to the table (the line says so) unless --full is given.
t and Welch are also timed side by side with the same statistics written
out in numpy on each row's measured values (benchmarks/numpy_formulas.py;
target: at most 1.5 times their time). The tests that need every value
(paired_t, Wilcoxon, permutation) are checked against Vetting's numbers for
the same call and timed against Vetting.
count_valid, filter_valid and impute are timed against the numpy/pandas
recipes on 200,000 x 24.
"""
import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import numpy_formulas as nf  # noqa: E402
import twin_differential  # noqa: E402
from tables import gappy_log2_table  # noqa: E402
from tessera.tools import differential as td  # noqa: E402


def timed(fn, repeat=1):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def report(name, t_fast, t_slow, note=""):
    print(f"{name:28s} tessera {t_fast * 1e3:9.1f} ms   plain route {t_slow * 1e3:11.1f} ms"
          f"   ratio {t_slow / t_fast:8.1f}x {note}")


def bench_formulas(df, repeat=7):
    cols = list(df.columns)
    two = [("A", cols[:12]), ("B", cols[12:])]
    x, y = df[cols[:12]].to_numpy(), df[cols[12:]].to_numpy()
    for method, welch in [("Welch", True), ("t", False)]:
        best_fast = best_formulas = float("inf")
        for _ in range(repeat):
            best_fast = min(best_fast, timed(lambda: td.test_features(df, two, method))[0])
            best_formulas = min(best_formulas, timed(lambda: nf.t_measured(x, y, welch))[0])
        print(f"{'test_features ' + method:28s} tessera {best_fast * 1e3:9.1f} ms   numpy formulas "
              f"{best_formulas * 1e3:7.1f} ms   tessera / formulas {best_fast / best_formulas:5.2f} "
              "(target <= 1.5)")


def bench_complete(df):
    """The tests that need every value against Vetting's numbers and time."""
    from tessera.tools.vetting import Vetting

    cols = list(df.columns)
    two = [("A", cols[:12]), ("B", cols[12:])]
    for method in ["paired_t", "Wilcoxon", "permutation"]:
        t_fast, fast = timed(lambda: td.test_features(df, two, method), repeat=3)
        t_vetting, vetting = timed(lambda: Vetting({}).stat_test_two_samples(df, two, method))
        for column in [f"{method}_stat", f"{method}_p", f"{method}_fdr_bh", "group_fc"]:
            np.testing.assert_array_equal(fast[column].to_numpy(), vetting[column].to_numpy())
        report(f"test_features {method}", t_fast, t_vetting, "(plain route: Vetting, same numbers)")


def bench_tests(df, full):
    cols = list(df.columns)
    two = [("A", cols[:12]), ("B", cols[12:])]
    three = [("A", cols[:8]), ("B", cols[8:16]), ("C", cols[16:])]
    rows = len(df)
    for method, groups in [("Welch", two), ("t", two), ("mannwhitneyu", two), ("anova", three)]:
        t_fast, fast = timed(lambda: td.test_features(df, groups, method), repeat=3)
        subset = rows if full or method == "Welch" else min(rows, 2000)
        part = df.iloc[:subset]
        t_slow, slow = timed(lambda: twin_differential.test_features(part, groups, method))
        # the adjustment depends on every p-value: compare it on the whole table only
        adjusted = f"{method}_fdr_bh"
        expected = slow if subset == rows else slow.drop(columns=adjusted)
        got = fast if subset == rows else fast.iloc[:subset].drop(columns=adjusted)
        pd.testing.assert_frame_equal(got, expected, check_exact=True)
        scaled = t_slow * rows / subset
        note = "" if subset == rows else f"(one-row loop on {subset} features, scaled)"
        report(f"test_features {method}", t_fast, scaled, note)
        if method == "Welch":
            print(f"{'':28s} whole {rows}-row Welch call {t_fast:.3f} s (target < 0.1 s), "
                  f"{scaled / t_fast:.0f}x the one-row loop (target >= 100x)")


def plain_counts(df, groups):
    return pd.DataFrame({name: np.isfinite(df[c].to_numpy(dtype=float, na_value=np.nan)).sum(axis=1)
                         for name, c in groups}, index=df.index)


def bench_tables(df):
    cols = list(df.columns)
    two = [("A", cols[:12]), ("B", cols[12:])]
    t_fast, fast = timed(lambda: td.count_valid(df, two), repeat=3)
    t_slow, slow = timed(lambda: plain_counts(df, two), repeat=3)
    pd.testing.assert_frame_equal(fast, slow)
    report("count_valid", t_fast, t_slow)

    def plain_filter():
        return df[(plain_counts(df, two) >= 9).all(axis=1)]

    t_fast, fast = timed(lambda: td.filter_valid(df, two, 9), repeat=3)
    t_slow, slow = timed(plain_filter, repeat=3)
    pd.testing.assert_frame_equal(fast, slow)
    report("filter_valid (each >= 9)", t_fast, t_slow)

    for method in ["downshift", "mindet"]:
        t_fast, fast = timed(lambda: td.impute(df, cols, method=method, seed=5), repeat=3)
        t_slow, slow = timed(lambda: twin_differential.impute(df, cols, method=method, seed=5), repeat=3)
        pd.testing.assert_frame_equal(fast[0], slow[0], check_exact=True)
        pd.testing.assert_frame_equal(fast[1], slow[1])
        report(f"impute {method}", t_fast, t_slow)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--full", action="store_true", help="run every one-row loop in full")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    rng = np.random.default_rng(0)
    df = gappy_log2_table(rng, args.rows, 24, missing=0.2)
    print(f"table: {args.rows} rows x 24 samples, 20% of cells missing")
    bench_formulas(df)
    bench_tests(df, args.full)
    bench_complete(df)
    big = gappy_log2_table(rng, 200_000, 24, missing=0.2)
    print("table: 200000 rows x 24 samples, 20% of cells missing")
    bench_tables(big)


if __name__ == "__main__":
    main()
