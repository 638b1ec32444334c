"""Times tessera.readers.read_table on a large MaxQuant-like proteinGroups file
against one plain pandas read of the same file.

    python benchmarks/bench_readers.py [--rows 500000] [--samples 10] [--repeat 3] [--file PATH]

The file is generated once (kept at --file when given, else in a temporary
folder). Each read runs in a fresh interpreter, which reports its wall time
and its peak resident memory above what the interpreter held after the
imports; the fastest of --repeat runs is shown. The reader's values are then
checked against the plain read: the LFQ columns of the unflagged rows, zeros
as NaN.
"""
import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd

READS = {
    "read_table": "from tessera.readers import read_table\n"
                  "result = read_table(PATH)\n"
                  "shape = result.values.shape",
    "pd.read_csv, all columns": "result = pd.read_csv(PATH, sep='\\t')\n"
                                "shape = result.shape",
    "pd.read_csv, the same columns": "cols = [c for c in pd.read_csv(PATH, sep='\\t', nrows=0)"
                                     ".columns if c.startswith('LFQ intensity ') or c in USED]\n"
                                     "result = pd.read_csv(PATH, sep='\\t', usecols=cols)\n"
                                     "shape = result.shape",
}
USED = ["Protein IDs", "Majority protein IDs", "Protein names", "Gene names", "Fasta headers",
        "Reverse", "Potential contaminant", "Only identified by site"]

CHILD = """
import json, sys, time
import pandas as pd
import tessera.readers
PATH, USED = sys.argv[1], {used!r}
def status(key):
    # VmHWM, unlike ru_maxrss, starts afresh in the new process image
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))
before = status("VmRSS:")
start = time.perf_counter()
{code}
seconds = time.perf_counter() - start
peak = status("VmHWM:")
print(json.dumps({{"seconds": seconds, "peak": peak - before, "shape": list(shape)}}))
"""


def make_file(path, rows, samples, seed=0):
    """A proteinGroups-like table: identifiers, names, per-sample counts and
    intensities (integers, 60% zeros), the three flag columns, ID lists."""
    rng = np.random.default_rng(seed)
    names = [f"S{j:02d}" for j in range(1, samples + 1)]
    ids = np.char.add("P", np.arange(rows).astype(str))
    flag = rng.random((3, rows))
    columns = {
        "Protein IDs": ids, "Majority protein IDs": ids,
        "Peptide counts (all)": rng.integers(1, 40, rows),
        "Protein names": np.char.add("Protein ", np.arange(rows).astype(str)),
        "Gene names": np.char.add("GENE", np.arange(rows).astype(str)),
        "Fasta headers": np.char.add(">sp|", ids),
        "Peptides": rng.integers(1, 40, rows),
    }
    for family in ("Peptides", "MS/MS count"):
        for name in names:
            columns[f"{family} {name}"] = rng.integers(0, 30, rows)
    for family in ("Intensity", "iBAQ", "LFQ intensity"):
        for name in names:
            values = np.round(10 ** rng.uniform(5, 10, rows)).astype(np.int64)
            values[rng.random(rows) < 0.6] = 0
            columns[f"{family} {name}"] = values
    for k, flag_name in enumerate(("Only identified by site", "Reverse",
                                   "Potential contaminant")):
        columns[flag_name] = np.where(flag[k] < 0.02, "+", "")
    columns["id"] = np.arange(rows)
    columns["Peptide IDs"] = np.char.add(np.arange(rows).astype(str), ";1;2;3")
    columns["Evidence IDs"] = np.char.add(np.arange(rows).astype(str), ";10;20;30;40")
    pd.DataFrame(columns).to_csv(path, sep="\t", index=False, lineterminator="\r\n")


def run(code, path):
    child = CHILD.format(used=USED, code=code)
    out = subprocess.run([sys.executable, "-c", child, str(path)], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def check(path):
    from tessera.readers import read_table

    table = read_table(path)
    raw = pd.read_csv(path, sep="\t", usecols=lambda c: c.startswith("LFQ intensity ") or
                      c in USED, keep_default_na=False, na_values={"Protein IDs": []})
    flagged = np.logical_or.reduce([raw[c].eq("+") for c in USED[-3:]])
    lfq = [c for c in raw.columns if c.startswith("LFQ intensity ")]
    expected = raw.loc[~flagged, lfq].astype(float).replace(0, np.nan)
    expected.columns = [c[len("LFQ intensity "):] for c in lfq]
    expected.index = pd.Index(raw.loc[~flagged, "Protein IDs"], name="Protein IDs")
    pd.testing.assert_frame_equal(table.values, expected, check_column_type=False,
                                  check_index_type=False)
    return table


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=500_000)
    parser.add_argument("--samples", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--file", type=Path, help="keep the generated file here")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        path = args.file or Path(scratch) / "proteinGroups.txt"
        if not path.exists():
            make_file(path, args.rows, args.samples)
        size = path.stat().st_size
        print(f"file: {path.name}, {args.rows} rows x "
              f"{len(pd.read_csv(path, sep=chr(9), nrows=0).columns)} columns, "
              f"{size / 2**20:.0f} MiB")
        results = {label: min((run(code, path) for _ in range(args.repeat)),
                              key=lambda r: r["seconds"])
                   for label, code in READS.items()}
        baseline = results["pd.read_csv, all columns"]
        for label, r in results.items():
            print(f"{label:32s} {r['seconds']:6.2f} s  peak +{r['peak'] / 2**20:6.0f} MiB  "
                  f"({r['seconds'] / baseline['seconds']:.2f}x time, "
                  f"{r['peak'] / baseline['peak']:.2f}x memory of the plain read)  "
                  f"shape {tuple(r['shape'])}")
        table = check(path)
        print(f"checked: {len(table.values)} rows kept, removed {table.removed}, values "
              "identical to the plain read's LFQ columns")


if __name__ == "__main__":
    main()
