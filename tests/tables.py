"""Random proteomics-like tables for differential tests and benchmarks."""
import numpy as np
import pandas as pd


def proteomics_table(rng, n_rows, n_samples, *, zeros=0.0, nan=0.0, inf=0.0,
                     int_samples=0, text_column=False, decoys=0.0, negative=0.0):
    """Intensities spread log-uniformly over 1e3..1e9, one column per sample.

    The first `int_samples` samples are int64 columns (as pandas reads integer
    LFQ columns); the fractions `zeros`, `nan`, `inf` and `negative` of the float
    cells are replaced by those values; `decoys` of the row labels get a
    "REV__" prefix; `text_column` adds a protein-name annotation column.
    """
    labels = [f"P{i:05d}" for i in range(n_rows)]
    for i in np.flatnonzero(rng.random(n_rows) < decoys):
        labels[i] = "REV__" + labels[i]
    data = {}
    for j in range(n_samples):
        values = 10.0 ** rng.uniform(3, 9, n_rows)
        if j < int_samples:
            values = np.round(values).astype(np.int64)
            values[rng.random(n_rows) < zeros] = 0
        else:
            cells = rng.random(n_rows)
            values[cells < zeros] = 0.0
            values[(cells >= zeros) & (cells < zeros + nan)] = np.nan
            spot = zeros + nan
            values[(cells >= spot) & (cells < spot + inf)] = np.inf
            spot += inf
            values[(cells >= spot) & (cells < spot + negative)] *= -1
        data[f"S{j + 1}"] = values
    df = pd.DataFrame(data, index=pd.Index(labels, name="Protein IDs"))
    if text_column:
        df.insert(0, "Gene names", [f"G{i}" for i in range(n_rows)])
    return df


def gappy_log2_table(rng, n_rows, n_samples, missing=0.2):
    """log2 intensities (about 24, a per-feature offset) with a fraction of
    the cells missing at random, samples S1..Sn, features P000000..."""
    values = rng.normal(24.0, 2.0, (n_rows, n_samples)) + rng.normal(0, 1.5, (n_rows, 1))
    values[rng.random(values.shape) < missing] = np.nan
    return pd.DataFrame(values, columns=[f"S{i + 1}" for i in range(n_samples)],
                        index=pd.Index([f"P{i:06d}" for i in range(n_rows)], name="Protein IDs"))


class CallCounter:
    """Counts calls (and generator resumptions) of one Python function while
    active, to tell the reference route from the fast route."""

    def __init__(self, function):
        self.count = 0
        self.code = function.__code__

    def __call__(self, frame, event, arg):
        if event == "call" and frame.f_code is self.code:
            self.count += 1

    def __enter__(self):
        import sys

        sys.setprofile(self)
        return self

    def __exit__(self, *exc):
        import sys

        sys.setprofile(None)
