"""DIA-NN's report.pg_matrix.tsv: five annotation columns, then one column
per run named by the run file's path; empty cells for values not measured."""
from .errors import Phrase, ReadError
from .layout import Flag, Layout, every_member_starts_with, present, run_name

NAME = "DIA-NN pg_matrix"
RULE = Phrase("column 'Protein.Group' and one column per run, named by the run file's path")
QUANTITY = "PG.MaxLFQ"      # the report column the matrix holds
IDENTIFIERS = ("Protein.Group", "Protein.Ids")
ANNOTATIONS = ("Protein.Ids", "Protein.Names", "Genes", "First.Protein.Description")
# Columns of newer versions that are not runs.
COUNTS = ("N.Sequences", "N.Proteotypic.Sequences")
# Prefixes of contaminant libraries used with DIA-NN searches.
CONTAMINANT_PREFIXES = ("Cont_", "CON__")


def detect(header, name):
    if "Protein.Group" not in header:
        return None
    if "Precursor.Id" in header:
        what = "long report (one row per precursor and run)" if "Run" in header else \
            "precursor matrix"
        raise ReadError(f"{name}: is a DIA-NN {what}, not the protein matrix; give "
                        "report.pg_matrix.tsv", path=name)
    runs = [h for h in header if h and h not in IDENTIFIERS + ANNOTATIONS + COUNTS]
    return Layout(
        format=NAME,
        identifiers=present(header, IDENTIFIERS),
        annotations=present(header, ANNOTATIONS),
        quantities={QUANTITY: [(run_name(h), h) for h in runs]} if runs else {},
        flags=(Flag("Contaminant", "Protein.Group",
                    every_member_starts_with(CONTAMINANT_PREFIXES)),),
        zeros_missing=True,
        gene_column="Genes" if "Genes" in header else None,
    )
