"""Times test_features(..., "moderated") against its numpy/scipy twin.

    python benchmarks/bench_moderated.py [--rows 20000]

On a generated log2 table (24 samples, 20% of cells missing) runs the whole
test_features call for each variant of the moderated tests (two groups of 12;
the F test on three groups of 8) and, in the same process, the vectorised
numpy/scipy version of the same formulas (tests/moderated_twin.py) on the
same values; checks that they agree within the tolerances the tests hold
against limma and prints both times and their ratio. Targets for the default
two-group call: under 0.2 s, and no slower than 1.5 times the twin.
"""
import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import moderated_twin  # noqa: E402
from conftest import limma_tolerance, relative_error  # noqa: E402
from tables import gappy_log2_table  # noqa: E402
from tessera.tools import differential as td  # noqa: E402

VARIANTS = {"default": {}, "legacy": {"legacy": True},
            "trend": {"legacy": True, "trend": True}, "robust": {"legacy": True, "robust": True},
            "trend+robust": {"legacy": True, "trend": True, "robust": True}}


def timed(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def twin_options(options):
    return {"legacy": options.get("legacy") or None, "trend": options.get("trend", False),
            "robust": options.get("robust", False)}


def worst_errors(result, twin, three, variant):
    """Largest error of each column against the twin, checked against the
    tolerance it has against limma."""
    if three:
        pairs = {"F": ("moderated_stat", twin["F"]), "F.p.value": ("moderated_p", twin["F_p_value"])}
    else:
        pairs = {"t": ("moderated_stat", twin["t"][:, 0]), "P.Value": ("moderated_p", twin["p_value"][:, 0]),
                 "df.total": ("moderated_df", twin["df_total"]), "B": ("moderated_B", twin["B"][:, 0]),
                 "logFC": ("group_fc", twin["logFC"][:, 0])}
    errors = {}
    for name, (column, expected) in pairs.items():
        rel, floor = limma_tolerance(name, variant)
        values = result[column].to_numpy()
        if np.isinf(floor):
            error = float(np.nanmax(np.abs(values - expected)))
        else:
            error = relative_error(values, expected, floor)
        assert error <= rel, f"{variant} {name}: {error:.1e} > {rel:.0e}"
        errors[name] = error
    return errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    rng = np.random.default_rng(0)
    df = gappy_log2_table(rng, args.rows, 24, missing=0.2)
    cols = list(df.columns)
    values = df.to_numpy()
    print(f"table: {args.rows} rows x 24 samples, 20% of cells missing")
    cases = [(f"two groups {name}", {"A": cols[:12], "B": cols[12:]}, np.repeat([0, 1], 12), options)
             for name, options in VARIANTS.items()]
    cases.append(("three groups default (F)", {"A": cols[:8], "B": cols[8:16], "C": cols[16:]},
                  np.repeat([0, 1, 2], 8), {}))
    for name, groups, index, options in cases:
        # every row is tested (min_valid=0), as the twin tests every row
        t_ours, ours = timed(lambda: td.test_features(df, groups, "moderated", min_valid=0, **options),
                             args.repeat)
        t_twin, twin = timed(lambda: moderated_twin.moderated_test(values, index, len(groups),
                                                                   **twin_options(options)),
                             max(1, args.repeat // 2))
        estimate = ours.attrs["moderated"]["estimate"]
        variant = "modern" if estimate == "likelihood" else name
        errors = worst_errors(ours, twin, len(groups) > 2, variant)
        worst = ", ".join(f"{k} {v:.0e}" for k, v in errors.items())
        print(f"{name:26s} tessera {t_ours * 1e3:7.1f} ms   twin {t_twin * 1e3:8.1f} ms   "
              f"ratio {t_ours / t_twin:5.2f}x ({estimate}; worst vs twin: {worst})")
        if name == "two groups default":
            print(f"{'':26s} whole call {t_ours:.3f} s (target < 0.2 s), "
                  f"{t_ours / t_twin:.2f} x the twin's time (target <= 1.5)")


if __name__ == "__main__":
    main()
