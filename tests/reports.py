"""Small precursor reports written by the tests: DIA-NN main reports (.tsv or
.parquet), MaxQuant evidence.txt, and the long tables they become."""
import numpy as np
import pandas as pd

# A DIA-NN 2-like report: three runs; P1 has three precursors, P2 one,
# Cont_P3 is a contaminant; rows that the default filters remove are marked.
DIANN = pd.DataFrame({
    "Run": ["r1", "r1", "r1", "r1", "r1", "r2", "r2", "r2", "r2", "r3", "r3", "r3"],
    "Protein.Group": ["P1", "P1", "P1", "P2", "Cont_P3", "P1", "P1", "P2", "Cont_P3",
                      "P1", "P1", "P2"],
    "Genes": ["G1", "G1", "G1", "G2", "", "G1", "G1", "G2", "", "G1", "G1", "G2"],
    "Precursor.Id": ["AAK2", "CCK2", "DDK3", "EEK2", "FFK2", "AAK2", "CCK2", "EEK2", "FFK2",
                     "AAK2", "DDK3", "EEK2"],
    "Stripped.Sequence": ["AAK", "CCK", "DDK", "EEK", "FFK", "AAK", "CCK", "EEK", "FFK",
                          "AAK", "DDK", "EEK"],
    "Q.Value": [0.001, 0.02, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001,
                0.001],
    "PG.Q.Value": [0.001] * 3 + [0.05] + [0.001] * 8,
    "Proteotypic": [1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 0, 1],
    "Precursor.Quantity": [110.0, 220, 330, 440, 550, 120, 240, 480, 600, 130, 390, 0],
    "Precursor.Normalised": [100.0, 200, 300, 400, 500, 110, 210, 410, 510, 120, 310, 0],
})


def write(frame, path):
    """A report file: parquet (strings dictionary-encoded, as DIA-NN writes
    them) or tab-separated text, by the suffix."""
    if str(path).endswith(".parquet"):
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(pa.Table.from_pandas(frame, preserve_index=False), path,
                       row_group_size=5)
    else:
        frame.to_csv(path, sep="\t", index=False)
    return path


def evidence(rows):
    """A MaxQuant evidence.txt frame from (sequence, charge, experiment,
    protein, intensity, reverse, contaminant) rows."""
    frame = pd.DataFrame(rows, columns=["Sequence", "Charge", "Experiment",
                                        "Leading razor protein", "Intensity", "Reverse",
                                        "Potential contaminant"])
    frame.insert(1, "Modified sequence", "_" + frame["Sequence"] + "_")
    frame.insert(2, "Raw file", frame["Experiment"] + "_raw")
    frame.insert(3, "Proteins", frame["Leading razor protein"])
    return frame.astype({"Intensity": float})


def long_values(precursors):
    """{(run, feature): quantity} of a Precursors table."""
    table = precursors.table
    return {(r, f): q for r, f, q in zip(table["run"], table[precursors.feature],
                                         table["quantity"])}


def random_report(rng, proteins, runs, most=6):
    """A DIA-NN-like report of random proteins, every precursor in every run,
    some with q-values above 1%."""
    rows = []
    for p in range(proteins):
        for f in range(int(rng.integers(1, most + 1))):
            for j in range(runs):
                rows.append((f"run{j}", f"P{p}", f"G{p}", f"P{p}PEP{f}K2", f"P{p}PEP{f}K",
                             float(rng.choice([0.001, 0.001, 0.001, 0.03])),
                             float(np.round(2 ** rng.normal(20, 2), 2))))
    return pd.DataFrame(rows, columns=["Run", "Protein.Group", "Genes", "Precursor.Id",
                                       "Stripped.Sequence", "Q.Value", "Precursor.Normalised"])


def long_table(proteins, runs, seed=3):
    """A long table built with numpy: 1 to 12 precursors per protein, 20%
    of the values missing, categorical labels."""
    rng = np.random.default_rng(seed)
    protein = np.repeat(np.arange(proteins), rng.integers(1, 13, proteins))
    logs = rng.normal(20, 2, (len(protein), 1)) + rng.normal(0, 0.3, (len(protein), runs))
    f, r = np.nonzero(rng.random(logs.shape) >= 0.2)
    return pd.DataFrame({
        "protein_group": pd.Categorical.from_codes(protein[f], [f"P{i}" for i in range(proteins)]),
        "run": pd.Categorical.from_codes(r, [f"r{j}" for j in range(runs)]),
        "precursor": pd.Categorical.from_codes(f, [f"F{i}" for i in range(len(protein))]),
        "quantity": 2.0 ** logs[f, r]})
