"""What a precursor-level format reader finds in a header: where the runs,
protein groups, genes, features (precursors or peptides), quantities,
q-values and row flags are."""
from dataclasses import dataclass
from typing import Callable

import numpy as np


@dataclass(frozen=True)
class RowTest:
    """Rows for which `test` holds on column `column`. A text test gets the
    distinct texts of the column (a pandas Series) and a number test the
    values (a float64 array, NaN where empty); either returns a boolean mask."""

    column: str
    on: str                                        # "text" or "number"
    test: Callable


@dataclass(frozen=True)
class PrecursorLayout:
    format: str
    level: str                     # "precursor" or "peptide": what one feature is
    protein: str                   # the protein group column
    feature: tuple                 # the column naming a feature, or (sequence, charge) joined
    quantities: dict               # quantity -> column (long), or -> [(run, header)] (wide)
    genes: str | None = None
    peptide: str | None = None     # the peptide (stripped sequence) of a precursor
    run: str | None = None         # the run column of a long report; None for a wide table
    run_is_path: bool = False      # runs named by their file's path: folders, extension cut
    file: str | None = None        # the run file column beside `run`, which must agree with it
    q_value: str | None = None
    pg_q_value: str | None = None
    decoy: RowTest | None = None
    contaminant: RowTest | None = None
    proteotypic: RowTest | None = None
    repeats_summed: bool = False   # several rows of one feature and run are summed

    @property
    def wide(self):
        return self.run is None

    def text_columns(self):
        """The columns read as text, one entry each."""
        named = [self.protein, self.genes, self.peptide, self.run, self.file, *self.feature]
        named += [t.column for t in (self.decoy, self.contaminant, self.proteotypic)
                  if t is not None and t.on == "text"]
        return list(dict.fromkeys(c for c in named if c is not None))

    def number_columns(self, quantity):
        named = [quantity, self.q_value, self.pg_q_value]
        named += [t.column for t in (self.decoy, self.contaminant, self.proteotypic)
                  if t is not None and t.on == "number"]
        return list(dict.fromkeys(c for c in named if c is not None))


def plus(cells):
    return cells.eq("+").to_numpy(dtype=bool)


def nonzero(values):
    return np.nan_to_num(values, nan=0.0) != 0


def empty(cells):
    return cells.fillna("").str.strip().eq("").to_numpy(dtype=bool)


def single_member(cells):
    """A ';'-separated list of one entry: the peptide maps to one protein."""
    return ~cells.fillna("").str.contains(";").to_numpy(dtype=bool)


def equals(word):
    def test(cells):
        return cells.fillna("").str.strip().str.lower().eq(word).to_numpy(dtype=bool)
    return test


def present(header, names):
    return next((name for name in names if name in header), None)
