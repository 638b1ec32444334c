"""Generates the example label-free table that ships with the package.

    python scripts/make_example_data.py [OUT]

Writes src/tessera/data/example_lfq.tsv (or OUT): 3,000 protein groups x 2
groups of 5 samples (ctrl_1..5, treat_1..5), integer label-free intensities
from about 1e4 to 1e10 with 0 for a missing value (more frequent at low
intensity), "REV__" decoys and "CON__" contaminants, and 300 proteins whose
abundance truly changes between the groups. The seed is fixed, so the file
is the same on every run.
"""
import sys
from pathlib import Path

import numpy as np
import pandas as pd

SEED = 20261208
N_PROTEINS = 3000
N_DECOYS = 60
N_CONTAMINANTS = 45
N_CHANGED = 300
SAMPLES = [f"ctrl_{i}" for i in range(1, 6)] + [f"treat_{i}" for i in range(1, 6)]

OUT = Path(__file__).resolve().parents[1] / "src" / "tessera" / "data" / "example_lfq.tsv"


def main(out=OUT):
    out = Path(out)
    rng = np.random.default_rng(SEED)
    ids = [f"P{10000 + i:05d}" for i in range(N_PROTEINS)]
    for i in rng.choice(N_PROTEINS, N_DECOYS + N_CONTAMINANTS, replace=False)[:N_DECOYS]:
        ids[i] = "REV__" + ids[i]
    clean = [i for i, name in enumerate(ids) if not name.startswith("REV__")]
    for i in rng.choice(clean, N_CONTAMINANTS, replace=False):
        ids[i] = "CON__" + ids[i]

    # log2 abundance per protein, a loading factor per sample, and a true
    # log2 fold change of 1 to 3 (either direction) for the changed proteins
    base = np.clip(rng.normal(22.5, 2.8, N_PROTEINS), 13.0, 30.0)
    loading = rng.normal(0.0, 0.25, len(SAMPLES))
    effect = np.zeros(N_PROTEINS)
    changed = rng.choice(clean, N_CHANGED, replace=False)
    effect[changed] = rng.uniform(1.0, 3.0, N_CHANGED) * rng.choice([-1, 1], N_CHANGED)
    treated = np.array([s.startswith("treat") for s in SAMPLES])

    log2 = (base[:, None] + loading[None, :] + effect[:, None] * treated[None, :]
            + rng.normal(0.0, 0.35, (N_PROTEINS, len(SAMPLES))))
    # detection falls off at low abundance: half the cells at 2**18.5 (4e5)
    # go missing, 2% at 2**24 and 98% at 2**13 (1e4)
    p_missing = 1.0 / (1.0 + np.exp((log2 - 18.5) * 0.75))
    intensity = np.round(2.0 ** log2).astype(np.int64)
    intensity[rng.random(intensity.shape) < p_missing] = 0

    df = pd.DataFrame(intensity, columns=SAMPLES)
    df.insert(0, "Protein IDs", ids)
    out.parent.mkdir(parents=True, exist_ok=True)
    df.to_csv(out, sep="\t", index=False)
    print(f"wrote {out} ({len(df)} rows, {(intensity == 0).mean():.0%} missing cells)")


if __name__ == "__main__":
    main(*sys.argv[1:])
