"""Readers for the protein tables search engines write.

    from tessera.readers import read_table, read_design

    table = read_table("proteinGroups.txt")             # MaxQuant, LFQ intensity
    table.values                                        # proteins x samples, float64, NaN missing
    table.removed                                       # {'Reverse': 17, ...}

Pure Python over pandas: the readers do I/O only; the numbers go on to
tessera.tools unchanged.
"""
from .errors import ReadError
from .table import FORMATS, Table, read_table

__all__ = ["FORMATS", "ReadError", "Table", "read_table"]
