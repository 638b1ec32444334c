"""Spectronaut's protein pivot report: 'PG.' annotation columns, then per run
'[n] <run>.PG.Quantity' (and other PG quantities); 'Filtered' and 'NaN'
for values not measured."""
import re

from .errors import Phrase, ReadError
from .layout import Layout, present, run_name

NAME = "Spectronaut protein pivot"
RULE = Phrase("column 'PG.ProteinGroups' and per-run columns '[n] <run>.PG.Quantity'")
RUN_COLUMN = re.compile(r"(?:\[\d+\]\s*)?(.+?)\.(PG\.[A-Za-z0-9]+)")
DEFAULT = "PG.Quantity"
IDENTIFIERS = ("PG.ProteinGroups", "PG.ProteinAccessions")
ANNOTATIONS = ("PG.ProteinAccessions", "PG.Genes", "PG.ProteinNames", "PG.ProteinDescriptions",
               "PG.Organisms", "PG.UniProtIds")


def is_quantity(name):
    """Linear per-run quantities; log quantities and q-values, counts are not."""
    lowered = name.lower()
    return ("quantity" in lowered or "ibaq" in lowered) and "log" not in lowered


def detect(header, name):
    if "PG.ProteinGroups" not in header and "PG.ProteinAccessions" not in header:
        return None
    if "R.FileName" in header or "R.Condition" in header:
        raise ReadError(f"{name}: is a long Spectronaut report (one row per protein and "
                        "run), not a pivot; export the protein pivot report", path=name)
    found = {}
    for h in header:
        match = RUN_COLUMN.fullmatch(h)
        if match and is_quantity(match.group(2)):
            found.setdefault(match.group(2), []).append((run_name(match.group(1)), h))
    order = sorted(found, key=lambda q: q != DEFAULT)
    return Layout(
        format=NAME,
        identifiers=present(header, IDENTIFIERS),
        annotations=present(header, ANNOTATIONS),
        quantities={q: found[q] for q in order},
        missing=("Filtered",),
        zeros_missing=True,
        gene_column="PG.Genes" if "PG.Genes" in header else None,
    )
