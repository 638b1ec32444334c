"""Times tessera.tools.vetting against hand-written numpy formulas and checks
it against its reference route.

    python benchmarks/bench_vetting.py [--rows 20000]

On a generated log2 table (24 samples, 5% NaN, two groups of 12 or three of
8) each per-feature test of Vetting runs side by side, in the same process,
with the yardstick of benchmarks/numpy_formulas.py: for t, Welch, paired t
and the one-way test the statistic and p-value written out in numpy and
scipy.special plus the same adjustment; for the rank tests scipy's
vectorised axis=1 call plus the adjustment. Both are timed alternately
(best of --repeat) and the ratio printed (target: at most 2); the yardstick
starts from the same DataFrame. The output is then compared with the
plain-Python twin (tests/twin_vetting.py), the reference route: on the first
--check-rows features (the adjusted p-values, which depend on every feature,
left out), or on the whole table with --full; it must be identical. The permutation test is timed on
500 features against its reference route on a few of them, scaled; med_norm
and median_df on 200,000 x 24 against their reference routes. Beside each
wall-clock ratio the process CPU times (every thread) and their ratio are
printed: on a loaded machine they move less than the wall-clock times.
"""
import argparse
import os
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import numpy_formulas as nf  # noqa: E402
import twin_vetting  # noqa: E402
from tessera.tools.vetting import Vetting  # noqa: E402


def log2_table(rng, rows, samples, nan=0.05):
    values = rng.normal(24.0, 2.0, (rows, samples)) + rng.normal(0, 1.5, (rows, 1))
    values[rng.random(values.shape) < nan] = np.nan
    return pd.DataFrame(values, columns=[f"S{i + 1}" for i in range(samples)],
                        index=[f"P{i:06d}" for i in range(rows)])


def timed(fn, repeat=1):
    """Best wall-clock time of `repeat` calls, and the last result."""
    wall, _, result = timed_cpu(fn, repeat)
    return wall, result


def timed_cpu(fn, repeat=1):
    """Best wall-clock and best process CPU time (every thread) of `repeat`
    calls, and the last result."""
    wall = cpu = float("inf")
    result = None
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - start_cpu)
    return wall, cpu, result


def side_by_side(fast, yardstick, repeat):
    """Best wall and CPU times of two calls run alternately, and fast's result."""
    best = [float("inf")] * 4  # fast wall, fast cpu, yardstick wall, yardstick cpu
    result = None
    for _ in range(repeat):
        fast_wall, fast_cpu, result = timed_cpu(fast)
        yard_wall, yard_cpu, _ = timed_cpu(yardstick)
        best = [min(b, t) for b, t in zip(best, (fast_wall, fast_cpu, yard_wall, yard_cpu))]
    return best, result


def report(name, t_fast, t_other, against, note=""):
    print(f"{name:30s} tessera {t_fast * 1e3:9.1f} ms   {against} {t_other * 1e3:9.1f} ms"
          f"   ratio {t_fast / t_other:6.2f} {note}")


def report_side_by_side(name, best, against):
    """Wall times and ratio, then the ratio of process CPU times (less sensitive to load)."""
    report(name, best[0], best[2], against, f"  cpu {best[1] * 1e3:6.1f} / {best[3] * 1e3:6.1f} ms"
           f" = {best[1] / best[3]:5.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--check-rows", type=int, default=2000)
    parser.add_argument("--full", action="store_true", help="check every row against the twin")
    parser.add_argument("--tests-only", action="store_true",
                        help="time t, Welch, paired t and one-way only")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    rng = np.random.default_rng(0)
    df = log2_table(rng, args.rows, 24)
    cols = list(df.columns)
    two = [("A", cols[:12]), ("B", cols[12:])]
    three = [("A", cols[:8]), ("B", cols[8:16]), ("C", cols[16:])]
    fast, slow = Vetting({}), twin_vetting.Vetting({})
    part = df if args.full else df.iloc[:args.check_rows]

    def same_as_reference(result, expected):
        if not args.full:
            result = result.iloc[:len(part)]
            result, expected = (r.drop(columns=[c for c in r.columns if c.endswith("_fdr_bh")])
                                for r in (result, expected))
        pd.testing.assert_frame_equal(result, expected, check_exact=True)

    def halves():
        return df[cols[:12]].to_numpy(), df[cols[12:]].to_numpy()
    print(f"table: {args.rows} rows x 24 samples, 5% NaN; times are the best of {args.repeat}, "
          "ratio = tessera / yardstick; load average "
          + " ".join(f"{load:.2f}" for load in os.getloadavg()))

    yardsticks = {
        "t": ("numpy formulas", lambda: nf.t_propagating(*halves(), welch=False)),
        "Welch": ("numpy formulas", lambda: nf.t_propagating(*halves(), welch=True)),
        "paired_t": ("numpy formulas", lambda: nf.paired_t_propagating(*halves())),
        "Wilcoxon": ("scipy axis=1  ", lambda: nf.rank_scipy("wilcoxon", *halves())),
        "Mannwhiteneyu": ("scipy axis=1  ", lambda: nf.rank_scipy("mannwhitneyu", *halves())),
    }
    if args.tests_only:
        yardsticks = {m: y for m, y in yardsticks.items() if y[0].startswith("numpy")}
    for method, (against, yardstick) in yardsticks.items():
        repeat = args.repeat if against.startswith("numpy") else 3
        best, result = side_by_side(
            lambda: fast.stat_test_two_samples(df, two, method), yardstick, repeat)
        same_as_reference(result, slow.stat_test_two_samples(part, two, method))
        report_side_by_side(f"stat_test_two_samples {method}", best, against)
    best, result = side_by_side(
        lambda: fast.stat_test_oneway(df, three),
        lambda: nf.oneway_propagating([df[c].to_numpy() for _, c in three]), args.repeat)
    same_as_reference(result, slow.stat_test_oneway(part, three))
    report_side_by_side("stat_test_oneway (3 groups)", best, "numpy formulas")
    checked = "every" if args.full else f"the first {len(part)}"
    print(f"{checked} rows of every result above identical to the reference route's")
    if args.tests_only:
        return

    small = log2_table(rng, 500, 12)
    pair = [("A", list(small.columns[:6])), ("B", list(small.columns[6:]))]
    t_fast, r_fast = timed(lambda: fast.stat_test_two_samples(small, pair, "permutation"))
    few = 3
    t_few, r_few = timed(lambda: slow.stat_test_two_samples(small.iloc[:few], pair, "permutation"))
    pd.testing.assert_frame_equal(r_fast.iloc[:few, :14], r_few.iloc[:, :14], check_exact=True)
    report("permutation, 500 features", t_fast, t_few * len(small) / few, "reference route",
           f"(reference route timed on {few} features, scaled to {len(small)})")

    big = log2_table(rng, 200_000, 24)
    t_fast, r_fast = timed(lambda: fast.med_norm(big), repeat=3)
    t_slow, r_slow = timed(lambda: slow.med_norm(big))
    pd.testing.assert_frame_equal(r_fast, r_slow, check_exact=True)
    report("med_norm 200000 x 24", t_fast, t_slow, "reference route")
    t_fast, r_fast = timed(lambda: fast.median_df(big), repeat=3)
    t_slow, r_slow = timed(lambda: slow.median_df(big))
    assert r_fast == r_slow
    report("median_df 200000 x 24", t_fast, t_slow, "reference route")


if __name__ == "__main__":
    main()
