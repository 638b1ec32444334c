"""DIA-NN's precursor outputs: the main report (report.tsv, or report.parquet
from 2.0 on), one row per precursor and run; and report.pr_matrix.tsv, one
row per precursor and one column per run, named by the run file's path."""
from .errors import ReadError
from .layout import every_member_starts_with
from .precursor_layout import PrecursorLayout, RowTest, nonzero, present

REPORT = "DIA-NN report"
MATRIX = "DIA-NN pr_matrix"
RULES = {
    REPORT: "columns 'Precursor.Id', 'Protein.Group' and 'Run' or 'File.Name' (.tsv or .parquet)",
    MATRIX: "columns 'Precursor.Id' and 'Protein.Group', one column per run named by its file",
}
# Quantities of the report, the default first: DIA-NN's own MaxLFQ takes
# Precursor.Normalised.
QUANTITIES = ("Precursor.Normalised", "Precursor.Quantity", "Precursor.Translated",
              "Ms1.Area", "Ms1.Normalised", "Ms1.Translated")
# Columns of the precursor matrix that are not runs.
MATRIX_ANNOTATIONS = ("Protein.Group", "Protein.Ids", "Protein.Names", "Genes",
                      "First.Protein.Description", "Proteotypic", "Stripped.Sequence",
                      "Modified.Sequence", "Precursor.Charge", "Precursor.Id",
                      "Precursor.Lib.Index", "Decoy", "N.Sequences", "N.Proteotypic.Sequences")
CONTAMINANT_PREFIXES = ("Cont_", "CON__")


def detect(header, name, run_name):
    if "Precursor.Id" not in header or "Protein.Group" not in header:
        return None
    common = dict(
        level="precursor", protein="Protein.Group", feature=("Precursor.Id",),
        genes="Genes" if "Genes" in header else None,
        peptide=present(header, ("Stripped.Sequence", "Modified.Sequence")),
        contaminant=RowTest("Protein.Group", "text", every_member_starts_with(CONTAMINANT_PREFIXES)),
        proteotypic=RowTest("Proteotypic", "number", nonzero) if "Proteotypic" in header else None,
        decoy=RowTest("Decoy", "number", nonzero) if "Decoy" in header else None,
    )
    run = present(header, ("Run", "File.Name"))
    if run is not None:
        quantities = {q: q for q in QUANTITIES if q in header}
        if not quantities:
            raise ReadError(f"{name}: is a DIA-NN report without a precursor quantity column; "
                            f"give a report with one of {', '.join(map(repr, QUANTITIES))}",
                            path=name, parameter="quantity")
        return PrecursorLayout(
            format=REPORT, run=run, run_is_path=run == "File.Name",
            file="File.Name" if run == "Run" and "File.Name" in header else None,
            quantities=quantities, q_value="Q.Value" if "Q.Value" in header else None,
            pg_q_value="PG.Q.Value" if "PG.Q.Value" in header else None, **common)
    runs = [(run_name(h), h) for h in header if h and h not in MATRIX_ANNOTATIONS]
    return PrecursorLayout(format=MATRIX, quantities={"Precursor.Normalised": runs}, **common)
