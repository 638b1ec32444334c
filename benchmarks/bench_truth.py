"""The truth benchmark: how many of the changes `tessera analyze` calls are
real, on a table where the truth is known, run as a user runs it.

    python benchmarks/bench_truth.py [--table PATH --design DESIGN.tsv]
        [--truth-column COLUMN --changed REGEX --unchanged REGEX]
        [--alpha 0.05] [--fc 0.5] [--quick]

The default table is ../shared/data/benchmarks/hye_astral_diann_pg_matrix.tsv
(read its SOURCE.md): two mixtures of human, yeast and E. coli digests, 3
runs each, with expected log2(A/B) of 0 (human), +1 (yeast) and -2 (E. coli).
Its design (A: the Condition_A runs, B: the Condition_B runs) is written to a
temporary folder. The truth is read from the annotation column
--truth-column: a feature whose text matches --changed changed, one that
matches --unchanged did not, and one whose text holds two different matches
of the two (a group of proteins of two species) or none is not scored.

Each configuration is one run of the command line's main(), with the
table, the design and the options of the configuration, its outputs in a
temporary folder. Per run it prints the features tested, the true and false
calls among the significant ones as the program counts them (its own columns
and its own rule: adjusted p < alpha, and with --fc-threshold an absolute fold
change at least that), the real false discovery proportion (FDP) and the
run's seconds. The first row is the recommended command, with no option;
"reference" normalises on the features --unchanged names, the truth itself,
as a bound on what a normalisation can do.
"""
import argparse
import contextlib
import io
import re
import sys
import tempfile
import time
from pathlib import Path

import pandas as pd

from tessera.cli import main as cli_main
from tessera.cli.options import build_parser
from tessera.cli.results import fold_changes, significant
from tessera.cli.settings import resolve

ROOT = Path(__file__).resolve().parents[1]
TABLE = ROOT.parent / "shared" / "data" / "benchmarks" / "hye_astral_diann_pg_matrix.tsv"
TRUTH_COLUMN = "Protein.Names"
CHANGED = r"_(YEAST|ECOLI)\b"
UNCHANGED = r"_(HUMAN)\b"


def configurations(fc, reference, quick=False):
    """[(normalisation, test, threshold, options)] of the runs: the default
    command first, then each normalisation and test with and without a fold
    change threshold (treat, and the post-hoc cut). ``reference`` is the
    options of --normalize reference on the features known to be unchanged."""
    normalisations = ["ratio_mode", "ratio_median", "median_complete", "reference",
                      "log_median_0", "none"]
    tests = [("moderated", []), ("moderated, no detection", ["--no-detection"]),
             ("Welch", ["--method", "Welch"])]
    if quick:
        normalisations, tests = normalisations[:1], tests[:1]
    thresholds = [("", []), (f"treat {fc:g}", ["--treat", str(fc)]),
                  (f"|fc|>={fc:g}", ["--fc-threshold", str(fc)])]
    runs = [("ratio_mode (default)", "moderated (default)", "", [])]
    for normalisation in normalisations:
        for test, test_options in tests:
            for label, threshold in thresholds:
                if label.startswith("treat") and test != "moderated":
                    continue   # treat is the moderated test's, and fits no detection test
                if not (normalisation, test, label) == ("ratio_mode", "moderated", ""):
                    given = reference if normalisation == "reference" else []
                    runs.append((normalisation, test, label, ["--normalize", normalisation,
                                                              *given, *test_options,
                                                              *threshold]))
    return runs


def truth_of(texts, changed, unchanged):
    """True (changed), False (unchanged) or None (not scored) per feature."""
    changed, unchanged = re.compile(changed), re.compile(unchanged)

    def one(text):
        text = "" if pd.isna(text) else str(text)
        found_changed, found_unchanged = set(changed.findall(text)), set(unchanged.findall(text))
        if len(found_changed | found_unchanged) != 1:
            return None
        return bool(found_changed)
    return texts.map(one)


def design_of(table, path):
    """The default table's design: its Condition_A and Condition_B runs."""
    header = pd.read_csv(table, sep="\t", nrows=0).columns
    rows = [(s, "A" if "_A_" in s else "B") for s in header if "_Condition_" in s]
    path.write_text("sample\tgroup\n" + "".join(f"{s}\t{g}\n" for s, g in rows))
    return path


def run_once(argv, truth_column, changed, unchanged, alpha):
    """Runs the command line on argv; (tested, true, false, seconds)."""
    started = time.perf_counter()
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli_main(argv)
    seconds = time.perf_counter() - started
    if status != 0:
        raise SystemExit(f"tessera {' '.join(argv)} failed ({status}): {err.getvalue()}")
    # the run's own column names and fold-change threshold, as it resolved them
    run = resolve(build_parser().parse_args(argv), None)
    columns = run.result_columns.headline
    prefix = next(line.removeprefix("wrote ") for line in out.getvalue().splitlines()
                  if line.startswith("wrote ") and line.endswith("_test.csv"))
    test = pd.read_csv(prefix, index_col=0, low_memory=False)
    called = significant(test[columns.p], test[columns.adjusted],
                         fold_changes(test, columns) if columns.fc else None, alpha=alpha,
                         fc_threshold=run.fc_threshold)
    truth = truth_of(test[truth_column], changed, unchanged)
    true = int((called & (truth == True)).sum())     # noqa: E712 - None is not scored
    false = int((called & (truth == False)).sum())   # noqa: E712
    return int(test[columns.p].notna().sum()), true, false, seconds


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--table", type=Path, default=TABLE)
    parser.add_argument("--design", type=Path,
                        help="the design file (default: written for the default table)")
    parser.add_argument("--truth-column", default=TRUTH_COLUMN)
    parser.add_argument("--changed", default=CHANGED,
                        help="regular expression of the changed features' text")
    parser.add_argument("--unchanged", default=UNCHANGED,
                        help="regular expression of the unchanged features' text")
    parser.add_argument("--alpha", type=float, default=0.05)
    parser.add_argument("--fc", type=float, default=0.5)
    parser.add_argument("--quick", action="store_true",
                        help="the default normalisation and test only")
    args = parser.parse_args(argv)
    if not args.table.exists():
        sys.exit(f"{args.table} is missing: this benchmark needs the shared data folder")
    with tempfile.TemporaryDirectory() as folder:
        design = args.design or design_of(args.table, Path(folder) / "design.tsv")
        print(f"{args.table.name}, design {design.name}; truth from {args.truth_column!r}: "
              f"changed {args.changed!r}, unchanged {args.unchanged!r}; significant at "
              f"adjusted p < {args.alpha}")
        print(f"{'normalisation':21s} {'test':24s} {'threshold':10s} {'tested':>6s} "
              f"{'true':>5s} {'false':>5s} {'FDP':>6s} {'s':>5s}")
        reference = ["--normalize-reference", args.unchanged, "--normalize-reference-column",
                     args.truth_column]
        for normalisation, test, label, options in configurations(args.fc, reference,
                                                                  args.quick):
            argv = ["analyze", str(args.table), "--design", str(design), "--out",
                    f"{folder}/out/", *options]
            tested, true, false, seconds = run_once(argv, args.truth_column, args.changed,
                                                    args.unchanged, args.alpha)
            fdp = false / max(true + false, 1)
            print(f"{normalisation:21s} {test:24s} {label:10s} {tested:6d} {true:5d} "
                  f"{false:5d} {fdp:6.3f} {seconds:5.1f}", flush=True)


if __name__ == "__main__":
    main()
