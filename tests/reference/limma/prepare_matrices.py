"""Write the log2, median-centred cd34 matrices that make_reference.R reads.

Recipe (as for the acut reference in /work/shared/data/limma-acut): rows whose
'Protein IDs' match REV__|CON__ dropped; the 'LFQ intensity <sample>' columns of
the chosen groups; values < 1 set to NaN; log2; rows kept by a count rule; each
column minus the median of its finite values over the kept rows. Cells are
written with 17 significant digits so that R reads back the same doubles.

Run from the repository root: python tests/reference/limma/prepare_matrices.py
"""
from pathlib import Path

import numpy as np
import pandas as pd

SOURCE = Path("/work/shared/data/cd34_lfq_proteinGroups.tsv")
HERE = Path(__file__).resolve().parent
GROUPS = {g: [f"{g}{i}" for i in range(1, 6)] for g in "HLN"}


def matrix(groups, keep):
    """log2 matrix of the samples of `groups`, rows chosen by keep(counts per group)."""
    raw = pd.read_csv(SOURCE, sep="\t", low_memory=False, index_col="Protein IDs")
    raw = raw[~raw.index.str.contains("REV__|CON__")]
    samples = [s for g in groups for s in GROUPS[g]]
    values = raw[[f"LFQ intensity {s}" for s in samples]].astype(float)
    values.columns = samples
    values = values.where(values >= 1)
    values = np.log2(values)
    counts = pd.DataFrame({g: values[GROUPS[g]].notna().sum(axis=1) for g in groups})
    values = values[keep(counts)]
    values = values - values.median(axis=0, skipna=True)
    values.index.name = "protein_id"
    return values


def write(frame, name):
    frame.to_csv(HERE / name, sep="\t", float_format="%.17g", na_rep="")


def main():
    # every group measured at least twice: a residual variance and both means exist
    write(matrix("HN", lambda c: (c >= 2).all(axis=1)), "cd34_HN_matrix.tsv")
    write(matrix("HLN", lambda c: (c >= 2).all(axis=1)), "cd34_HLN_matrix.tsv")
    # any row with two values among H and N: groups with one or no value, and
    # rows with no residual degrees of freedom, which still shape the prior
    write(matrix("HN", lambda c: c.sum(axis=1) >= 2), "cd34_HN_sparse_matrix.tsv")
    pd.DataFrame({"sample": [s for g in "HLN" for s in GROUPS[g]],
                  "group": [g for g in "HLN" for _ in GROUPS[g]]}).to_csv(
        HERE / "groups.tsv", sep="\t", index=False)


if __name__ == "__main__":
    main()
