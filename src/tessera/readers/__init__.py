"""Readers for the protein tables search engines write and for sample designs.

    from tessera.readers import read_table, read_design

    table = read_table("proteinGroups.txt")             # MaxQuant, LFQ intensity
    table.values                                        # proteins x samples, float64, NaN missing
    table.removed                                       # {'Reverse': 17, ...}
    design = read_design("design.tsv", table)           # [(group, [samples])]

    precursors = read_precursors("report.parquet")      # DIA-NN, at 1% q-value
    precursors.table                                    # one row per precursor and run
    precursors.steps                                    # what each filter kept

Pure Python over pandas: the readers do I/O only; the numbers go on to
tessera.tools unchanged.
"""
from .design import Design, read_design
from .errors import ReadError, UnknownFormat
from .precursors import PRECURSOR_FORMATS, Precursors, Step, precursor_format, read_precursors
from .table import FORMATS, Table, read_table

__all__ = ["FORMATS", "PRECURSOR_FORMATS", "Design", "Precursors", "ReadError", "Step", "Table",
           "UnknownFormat", "precursor_format", "read_design", "read_precursors",
           "read_table"]
