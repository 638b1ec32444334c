"""Write designs.tsv, the sample variables of the cd34 design references
(make_contrasts_reference.R).

- group: H, L, N (CD34 high, low, negative).
- donor: the sample number 1..5. The three fractions of one number are taken
  to come from one sort of one donor (the source does not say so; the block
  correlation the references estimate, clearly positive, agrees).
- depth: the sample's count of measured LFQ values in the whole table (rows
  matching REV__|CON__ dropped), a per-run quality covariate.

Run from the repository root: python tests/reference/limma/prepare_designs.py
"""
from pathlib import Path

import pandas as pd

SOURCE = Path(__file__).resolve().parents[4] / "shared" / "data" / "cd34_lfq_proteinGroups.tsv"
HERE = Path(__file__).resolve().parent


def main():
    raw = pd.read_csv(SOURCE, sep="\t", low_memory=False, index_col="Protein IDs")
    raw = raw[~raw.index.str.contains("REV__|CON__")]
    samples = [f"{g}{i}" for g in "HLN" for i in range(1, 6)]
    depth = [int((raw[f"LFQ intensity {s}"] > 0).sum()) for s in samples]
    pd.DataFrame({"sample": samples, "group": [s[0] for s in samples],
                  "donor": [s[1] for s in samples], "depth": depth}).to_csv(
        HERE / "designs.tsv", sep="\t", index=False)


if __name__ == "__main__":
    main()
