"""The truth benchmark: how many of the changes a pipeline calls are real, on
a table where the truth is known.

    python benchmarks/bench_truth.py [--table PATH] [--alpha 0.05] [--fc 0.5]

The table is ../shared/data/benchmarks/hye_astral_diann_pg_matrix.tsv (read
its SOURCE.md): two mixtures of human, yeast and E. coli digests, 3 runs
each, with expected log2(A/B) of 0 (human), +1 (yeast) and -2 (E. coli). A
human protein called changed is a false discovery, a yeast or E. coli one a
true one; groups whose names carry two species, and contaminants, are not
scored. The table is read with tessera.readers.read_table and log2
transformed; then, for each normalisation, the moderated test is run
  intensity  on the features with at least 2 values in each group (the
             per-group filter, then the normalisation, then the test: the
             README's order), and
  hurdle     on every feature (test_hurdle: the same intensity test, joined
             with the exact test of detection).
For each it prints the features tested, the true and false calls at adjusted
p < alpha and the real false discovery proportion, with and without a
post-hoc |log2 fold change| >= fc (a feature with no value in a group counts
as an unbounded change), and how often the human proteins' p-values fall
below 0.01 and 0.05 (a calibrated test on null features: about 1% and 5%).
It checks that every normalisation leaves the table's level (the shifts are
centred) and that with 3 runs a group the hurdle's answers are those of its
intensity test.
"""
import argparse
import re
import sys
from pathlib import Path

import numpy as np
import pandas as pd

from tessera.readers import read_table
from tessera.tools import differential as td
from tessera.tools import preprocess as pp

ROOT = Path(__file__).resolve().parents[1]
TABLE = ROOT.parent / "shared" / "data" / "benchmarks" / "hye_astral_diann_pg_matrix.tsv"
NORMALISATIONS = ("none", "log_median_0", "median_complete", "ratio_median", "ratio_mode")
SPECIES = re.compile(r"_(HUMAN|YEAST|ECOLI)\b")
CHANGED = {"YEAST", "ECOLI"}


def species(names):
    """The one species of each feature's protein names, None when it has two or none."""
    def one(text):
        found = set(SPECIES.findall(str(text)))
        return found.pop() if len(found) == 1 else None
    return names.map(one)


def load(path):
    """(log2 values, groups, species per feature) of the benchmark table."""
    table = read_table(path)
    values = np.log2(table.values)
    samples = list(values.columns)
    groups = [("A", [s for s in samples if "_A_" in s]), ("B", [s for s in samples if "_B_" in s])]
    assert len(groups[0][1]) == len(groups[1][1]) == 3, samples
    return values, groups, species(table.annotations["Protein.Names"])


def normalised(values, groups, method):
    """The table normalised (the per-group filter first for log_median_0, as
    the README's command runs it), and the shifts (None where not given)."""
    samples = [s for _, labels in groups for s in labels]
    if method == "none":
        return values, None
    if method == "log_median_0":
        return pp.normalize(td.filter_valid(values, groups, 2), "log_median_0"), None
    table, shifts = td.normalize(values, samples, method)
    assert abs(shifts.mean()) < 1e-12, shifts
    return table, shifts


def score(result, p_column, adjusted_column, truth, alpha, fc):
    """Features tested, and true and false calls (and the false discovery
    proportion) at adjusted p < alpha, without and with |fold change| >= fc."""
    kinds = truth.reindex(result.index)
    adjusted = result[adjusted_column]
    fold = result["group_fc"].where(result[["n_A", "n_B"]].min(axis=1) > 0, np.inf)
    rows = {}
    for label, call in [("", adjusted < alpha), (f"|fc|>={fc}", (adjusted < alpha) & (fold.abs() >= fc))]:
        true = int((call & kinds.isin(CHANGED)).sum())
        false = int((call & (kinds == "HUMAN")).sum())
        rows[label] = (int(adjusted.notna().sum()), true, false, false / max(true + false, 1))
    human = result.loc[kinds == "HUMAN", p_column].dropna()
    calibration = ((human <= 0.01).mean(), (human <= 0.05).mean())
    return rows, calibration


def run(path, alpha, fc):
    values, groups, truth = load(path)
    print(f"{path.name}: {len(values)} features; truth: "
          + ", ".join(f"{k} {v}" for k, v in truth.value_counts().items()))
    print(f"{'normalisation':16s} {'test':9s} {'filter':9s} {'tested':>6s} {'true':>5s} "
          f"{'false':>5s} {'FDP':>6s}   human p<=0.01 / 0.05")
    for method in NORMALISATIONS:
        table, shifts = normalised(values, groups, method)
        if shifts is not None:
            print(f"{method:16s} shifts " + " ".join(f"{s:+.4f}" for s in shifts))
        filtered = td.filter_valid(table, groups, 2)
        intensity = td.test_features(filtered, groups, "moderated")
        hurdle = td.test_hurdle(table, groups, "moderated")
        # 3 runs a group: no detection pattern can reach the level, so the
        # hurdle's answers are its intensity test's, over the same family
        assert (hurdle["hurdle_evidence"] != "detection").all()
        np.testing.assert_array_equal(hurdle["hurdle_fdr_bh"], hurdle["moderated_fdr_bh"])
        for test, result, p, adjusted in [
            ("intensity", intensity, "moderated_p", "moderated_fdr_bh"),
            ("hurdle", hurdle, "hurdle_p", "hurdle_fdr_bh"),
        ]:
            rows, (below_1, below_5) = score(result, p, adjusted, truth, alpha, fc)
            for label, (tested, true, false, fdp) in rows.items():
                print(f"{method:16s} {test:9s} {label:9s} {tested:6d} {true:5d} {false:5d} "
                      f"{fdp:6.3f}" + (f"   {below_1:.3f} / {below_5:.3f}" if not label else ""))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--table", type=Path, default=TABLE)
    parser.add_argument("--alpha", type=float, default=0.05)
    parser.add_argument("--fc", type=float, default=0.5)
    args = parser.parse_args(argv)
    if not args.table.exists():
        sys.exit(f"{args.table} is missing: this benchmark needs the shared data folder")
    pd.set_option("display.width", 120)
    run(args.table, args.alpha, args.fc)


if __name__ == "__main__":
    main()
