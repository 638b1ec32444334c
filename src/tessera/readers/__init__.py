"""Readers for the protein tables search engines write and for sample designs.

    from tessera.readers import read_table, read_design

    table = read_table("proteinGroups.txt")             # MaxQuant, LFQ intensity
    table.values                                        # proteins x samples, float64, NaN missing
    table.removed                                       # {'Reverse': 17, ...}
    design = read_design("design.tsv", table)           # [(group, [samples])]

Pure Python over pandas: the readers do I/O only; the numbers go on to
tessera.tools unchanged.
"""
from .design import Design, read_design
from .errors import ReadError, UnknownFormat
from .table import FORMATS, Table, read_table

__all__ = ["FORMATS", "Design", "ReadError", "Table", "UnknownFormat", "read_design",
           "read_table"]
