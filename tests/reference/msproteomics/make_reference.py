"""Writes the reference numbers of msproteomics' MaxLFQ that
tests/test_quant.py compares tessera.tools.quant.maxlfq with.

    pip install msproteomics   # 1.1.0 was used; it builds with pybind11
    python tests/reference/msproteomics/make_reference.py

tables.tsv: a long table of 120 proteins (1 to 12 precursors, 2 to 30
runs), values missing at random (0 to 80%), some proteins with runs that
share no precursor (two blocks of precursors measured in disjoint runs).
estimates.tsv: msproteomics' estimate per protein and run, log2, and the
connected set of runs it belongs to (its annotation; 0 when all are one).
"""
from pathlib import Path

import numpy as np
import pandas as pd
import _msproteomics

HERE = Path(__file__).resolve().parent


def tables(seed=2024):
    rng = np.random.default_rng(seed)
    frames = []
    for p in range(120):
        features, runs = int(rng.integers(1, 13)), int(rng.integers(2, 31))
        logs = (rng.normal(22, 2, (features, 1)) + rng.normal(0, 1, (1, runs))
                + rng.normal(0, 0.4, (features, runs)))
        present = rng.random((features, runs)) >= rng.uniform(0, 0.8)
        if p % 4 == 0 and features > 1 and runs > 3:
            # disjoint blocks: the first precursors only in the first runs
            half, cut = features // 2, runs // 2
            present[:half, cut:] = False
            present[half:, :cut] = False
        f, r = np.nonzero(present)
        frames.append(pd.DataFrame({"protein_group": f"P{p:03d}",
                                    "run": [f"run{j:02d}" for j in r],
                                    "precursor": [f"P{p:03d}_{i}" for i in f],
                                    "quantity": np.round(2.0 ** logs[f, r], 3)}))
    return pd.concat(frames, ignore_index=True)


def estimates(table):
    proteins, protein = np.unique(table["protein_group"], return_inverse=True)
    runs, run = np.unique(table["run"], return_inverse=True)
    _, feature = np.unique(table["precursor"], return_inverse=True)
    out = _msproteomics.iq_maxLFQ((protein + 1).astype(np.int32), (feature + 1).astype(np.int32),
                                  (run + 1).astype(np.int32),
                                  np.log2(table["quantity"].to_numpy()))
    rows = np.asarray(out["_r_names"]) - 1
    columns = np.asarray(out["_c_names"]) - 1
    estimate = np.asarray(out["estimate"], dtype=float).reshape(len(rows), len(columns))
    records = []
    for k, i in enumerate(rows):
        sets = out["annotation"][k].split(";") if out["annotation"][k] else ["0"] * len(columns)
        for c, j in enumerate(columns):
            if not np.isnan(estimate[k, c]):
                records.append((proteins[i], runs[j], int(sets[c]), estimate[k, c]))
    return pd.DataFrame(records, columns=["protein_group", "run", "set", "log2"])


if __name__ == "__main__":
    table = tables()
    table.to_csv(HERE / "tables.tsv", sep="\t", index=False)
    estimates(table).to_csv(HERE / "estimates.tsv", sep="\t", index=False, float_format="%.12f")
