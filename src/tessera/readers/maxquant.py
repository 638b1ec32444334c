"""MaxQuant's proteinGroups.txt: one row per protein group, per-sample
columns 'LFQ intensity <sample>', 'Intensity <sample>' and 'iBAQ <sample>',
zeros for values not measured, and '+' in the flag columns."""
from .errors import Phrase
from .layout import Flag, Layout, plus, present

NAME = "MaxQuant proteinGroups"
RULE = Phrase("columns 'Protein IDs' and 'Majority protein IDs'; quantities "
              "'LFQ intensity <sample>', 'Intensity <sample>', 'iBAQ <sample>'")
QUANTITIES = ("LFQ intensity", "Intensity", "iBAQ")
IDENTIFIERS = ("Protein IDs", "Majority protein IDs")
ANNOTATIONS = ("Protein IDs", "Majority protein IDs", "Protein names", "Gene names",
               "Fasta headers")
# 'Contaminant' is the name older MaxQuant versions give 'Potential contaminant'.
FLAGS = ("Reverse", "Potential contaminant", "Contaminant", "Only identified by site")


def detect(header, name):
    if not all(column in header for column in IDENTIFIERS):
        return None
    return Layout(
        format=NAME,
        identifiers=IDENTIFIERS,
        annotations=present(header, ANNOTATIONS),
        quantities=sample_columns(header, QUANTITIES),
        flags=tuple(Flag(column, column, plus) for column in FLAGS if column in header),
        zeros_missing=True,
        gene_column="Gene names" if "Gene names" in header else None,
    )


def sample_columns(header, quantities):
    """{quantity: [(sample, header)]} of the columns '<quantity> <sample>',
    for the quantities the header has."""
    found = {}
    for quantity in quantities:
        prefix = quantity + " "
        columns = [(h[len(prefix):].strip(), h) for h in header
                   if h.startswith(prefix) and h[len(prefix):].strip()]
        if columns:
            found[quantity] = columns
    return found
