"""Speed and memory of the precursor roll-up (tessera.tools.quant,
tessera.readers.read_precursors), on synthetic reports written here.

    python benchmarks/bench_quant.py [--proteins 10000] [--runs 100]
        [--report-runs 500] [--report-precursors 50000] [--skip-report] [--keep DIR]

1. MaxLFQ of a long table of --proteins proteins x --runs runs, against the
   compiled engine of the PyPI package msproteomics (its iq_maxLFQ, given
   integer codes and log2 values, so that only the engines are timed) on
   the same data, one after the other in this process. tessera runs with
   its default ridge (DIA-NN's level) and with ridge=0 (exact least-squares
   ratios, which are then checked against msproteomics' within every
   connected set of runs: at most 1e-6 log2 apart). msproteomics is only
   needed here; without it this part prints tessera's times alone.
2. A DIA-NN-like main report of --report-runs runs x --report-precursors
   precursors (every precursor in every run: 25 million rows by default),
   written with pyarrow in row groups to a temporary folder (or --keep),
   then read (1% precursor and protein-group q-value), filtered and rolled
   up with MaxLFQ in a fresh interpreter, which reports its wall time and
   its peak resident memory (VmHWM, the whole process).

Shapes: precursors per protein from 1 to 50 (1 + a geometric number, mean
about 6.7), log intensities from a protein level, a precursor offset, a run
offset and noise; a value is missing at random (10%) and more often at low
intensity (a logistic in the log intensity). In the report, a missing value
is a row with a q-value above 1%, so the filter removes it.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from tessera.tools import quant as tq


def shapes(proteins, runs, seed=0):
    """(protein of each feature, log2 values features x runs, missing mask)."""
    rng = np.random.default_rng(seed)
    per_protein = np.minimum(50, 1 + rng.geometric(0.15, proteins))
    protein = np.repeat(np.arange(proteins), per_protein)
    features = len(protein)
    level = rng.normal(22, 2, proteins)[protein] + rng.normal(0, 1, features)
    logs = level[:, None] + rng.normal(0, 0.3, (1, runs)) + rng.normal(0, 0.2, (features, runs))
    low = 1 / (1 + np.exp((logs - 19) * 2))
    missing = (rng.random((features, runs)) < 0.1) | (rng.random((features, runs)) < low)
    return protein, logs, missing


def long_table(protein, logs, missing):
    features, runs, = logs.shape
    f, r = np.nonzero(~missing)
    proteins = int(protein.max()) + 1
    return pd.DataFrame({
        "protein_group": pd.Categorical.from_codes(protein[f], [f"P{i}" for i in range(proteins)]),
        "run": pd.Categorical.from_codes(r, [f"R{j:03d}" for j in range(runs)]),
        "precursor": pd.Categorical.from_codes(f, [f"F{i}" for i in range(features)]),
        "quantity": 2.0 ** logs[f, r],
    }), (protein[f], f, r, logs[f, r])


def timed(fn):
    """(wall seconds, result)."""
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def cpu_timed(fn, repeat=1):
    """(best wall seconds, its CPU seconds on all threads, result)."""
    best = None
    for _ in range(repeat):
        cpu = time.process_time()
        wall, result = timed(fn)
        cpu = time.process_time() - cpu
        if best is None or wall < best[0]:
            best = (wall, cpu, result)
    return best


def within_sets(ours, theirs, sets):
    """Largest difference of log2 ratios within each connected set of runs."""
    worst = 0.0
    for label in np.unique(sets[~np.isnan(theirs)]):
        members = (sets == label) & ~np.isnan(theirs)
        a, b = ours[members], theirs[members]
        worst = max(worst, float(np.max(np.abs((a - a.mean()) - (b - b.mean())))))
    return worst


def bench_engines(proteins, runs):
    protein, logs, missing = shapes(proteins, runs)
    table, (p, f, r, q) = long_table(protein, logs, missing)
    print(f"MaxLFQ: {proteins} proteins x {runs} runs, {len(protein)} precursors, "
          f"{len(table)} values ({missing.mean():.0%} missing)")
    t_default, c_default, _ = cpu_timed(lambda: tq.maxlfq(table), repeat=2)
    t_exact, c_exact, exact = cpu_timed(lambda: tq.maxlfq(table, ridge=0), repeat=2)
    print(f"  tessera maxlfq (ridge 1e-4, DIA-NN's level) {t_default:7.2f} s   "
          f"(CPU {c_default:.2f} s, best of 2)")
    print(f"  tessera maxlfq (ridge 0)                    {t_exact:7.2f} s   "
          f"(CPU {c_exact:.2f} s, best of 2)")
    try:
        import _msproteomics
    except ImportError:
        print("  msproteomics is not installed: no comparison")
        return
    args = ((p + 1).astype(np.int32), (f + 1).astype(np.int32), (r + 1).astype(np.int32),
            np.ascontiguousarray(q))
    t_theirs, c_theirs, theirs = cpu_timed(lambda: _msproteomics.iq_maxLFQ(*args))
    print(f"  msproteomics iq_maxLFQ (one core)           {t_theirs:7.2f} s   (CPU {c_theirs:.2f} s)")
    print(f"  ratio: {t_theirs / t_default:.1f}x faster (default), "
          f"{t_theirs / t_exact:.1f}x (ridge 0)")
    rows = np.asarray(theirs["_r_names"]) - 1
    estimate = np.asarray(theirs["estimate"], dtype=float).reshape(len(rows), runs)
    annotation = theirs["annotation"]
    mine = np.log2(exact.reindex([f"P{i}" for i in rows]).to_numpy())
    worst = 0.0
    for k in range(len(rows)):
        sets = np.array([-1 if a == "NA" else int(a) for a in annotation[k].split(";")]) \
            if annotation[k] else np.zeros(runs)
        worst = max(worst, within_sets(mine[k], estimate[k], sets))
    print(f"  largest within-set log2 ratio difference (ridge 0): {worst:.1e}")
    assert worst < 1e-6, worst


def write_report(path, runs, precursors, seed=1, runs_per_group=20):
    """A DIA-NN-2-like parquet report: every precursor in every run."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    proteins = max(1, int(round(precursors / 6.7)))
    protein, logs, missing = shapes(proteins, runs, seed)
    protein, logs, missing = protein[:precursors], logs[:precursors], missing[:precursors]
    n = len(protein)
    rng = np.random.default_rng(seed + 1)
    names = {
        "Run": np.array([f"run_{j:04d}" for j in range(runs)], dtype=object),
        "Protein.Group": np.array([f"P{i:05d}" for i in range(proteins)], dtype=object),
        "Genes": np.array([f"GENE{i}" for i in range(proteins)], dtype=object),
        "Precursor.Id": np.array([f"PEPTIDE{i}K2" for i in range(n)], dtype=object),
        "Stripped.Sequence": np.array([f"PEPTIDE{i // 2}K" for i in range(n)], dtype=object),
    }
    group_q = np.where(rng.random(proteins) < 0.01, 0.02, 0.001)
    schema = pa.schema([(c, pa.dictionary(pa.int32(), pa.string())) for c in names] +
                       [(c, pa.float32()) for c in ("Q.Value", "PG.Q.Value",
                                                    "Precursor.Quantity",
                                                    "Precursor.Normalised")] +
                       [("Proteotypic", pa.int8())])
    with pq.ParquetWriter(path, schema) as writer:
        for first in range(0, runs, runs_per_group):
            block = range(first, min(runs, first + runs_per_group))
            k = len(block)
            run = np.repeat(np.asarray(block, dtype=np.int32), n)
            feature = np.tile(np.arange(n, dtype=np.int32), k)
            gone = missing[:, first:first + k].T.ravel()
            q = np.where(gone, rng.uniform(0.011, 0.05, n * k), rng.uniform(0, 0.01, n * k))
            values = 2.0 ** logs[:, first:first + k].T.ravel()
            columns = {
                "Run": (run, names["Run"]),
                "Protein.Group": (protein[feature], names["Protein.Group"]),
                "Genes": (protein[feature], names["Genes"]),
                "Precursor.Id": (feature, names["Precursor.Id"]),
                "Stripped.Sequence": (feature // 2, names["Stripped.Sequence"]),
            }
            arrays = [pa.DictionaryArray.from_arrays(pa.array(codes.astype(np.int32)),
                                                     pa.array(labels, pa.string()))
                      for codes, labels in columns.values()]
            arrays += [pa.array(q.astype(np.float32)),
                       pa.array(group_q[protein[feature]].astype(np.float32)),
                       pa.array((values * 1.1).astype(np.float32)),
                       pa.array(values.astype(np.float32)),
                       pa.array((feature % 7 != 0).astype(np.int8))]
            writer.write_table(pa.Table.from_arrays(arrays, schema=schema))
    return n * runs


CHILD = """
import json, resource, sys, time
from tessera.readers import read_precursors
from tessera.tools import quant as tq
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))
start = time.perf_counter()
report = read_precursors(sys.argv[1])
read = time.perf_counter()
proteins = tq.maxlfq(report.table)
done = time.perf_counter()
usage = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"read": read - start, "rollup": done - read, "peak": status("VmHWM:"),
                  "cpu": usage.ru_utime + usage.ru_stime,
                  "rows": len(report.table), "steps": [s.rows for s in report.steps],
                  "shape": list(proteins.shape), "quantified": int(proteins.notna().sum().sum())}))
"""


def bench_report(runs, precursors, keep):
    folder = Path(keep) if keep else Path(tempfile.mkdtemp(prefix="tessera-bench-"))
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / "report.parquet"
    t_write, rows = timed(lambda: write_report(path, runs, precursors))
    size = path.stat().st_size
    print(f"report: {rows} rows ({runs} runs x {precursors} precursors), "
          f"{size / 2**20:.0f} MiB parquet, written in {t_write:.0f} s")
    t_child, run = timed(lambda: subprocess.run([sys.executable, "-c", CHILD, str(path)],
                                               capture_output=True, text=True))
    if run.returncode != 0:
        sys.exit(run.stderr)
    out = json.loads(run.stdout.strip().splitlines()[-1])
    total = out["read"] + out["rollup"]
    print(f"  read_precursors  {out['read']:7.1f} s   (rows per step: {out['steps']})")
    print(f"  maxlfq           {out['rollup']:7.1f} s   ({out['shape'][0]} proteins x "
          f"{out['shape'][1]} runs, {out['quantified']} values)")
    print(f"  total            {total:7.1f} s   (target: under 120 s; CPU of the process "
          f"{out['cpu']:.0f} s)")
    print(f"  peak memory      {out['peak'] / 2**30:7.2f} GiB (target: under 3 GB)")
    if not keep:
        path.unlink()
        folder.rmdir()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--proteins", type=int, default=10000)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--report-runs", type=int, default=500)
    parser.add_argument("--report-precursors", type=int, default=50000)
    parser.add_argument("--skip-report", action="store_true")
    parser.add_argument("--keep", help="write the report into this folder and keep it")
    args = parser.parse_args()
    print(f"load average at start: {' '.join(f'{x:.2f}' for x in os.getloadavg())} "
          f"({os.cpu_count()} cores)")
    bench_engines(args.proteins, args.runs)
    if not args.skip_report:
        bench_report(args.report_runs, args.report_precursors, args.keep)
    print(f"load average at end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
