"""MaxQuant's evidence.txt (one row per evidence: a precursor seen in one raw
file, several per experiment possible) and peptides.txt (one row per peptide
sequence, per-experiment columns 'Intensity <experiment>')."""
from .maxquant import sample_columns
from .precursor_layout import PrecursorLayout, RowTest, equals, plus, present, single_member

EVIDENCE = "MaxQuant evidence"
PEPTIDES = "MaxQuant peptides"
RULES = {
    EVIDENCE: "columns 'Raw file', 'Modified sequence', 'Charge', 'Intensity' and "
              "'Leading razor protein'",
    PEPTIDES: "columns 'Sequence', 'Leading razor protein' and 'Intensity <experiment>'",
}
RAZOR = ("Leading razor protein", "Leading Razor Protein")
# 'Contaminant' is the name older MaxQuant versions give 'Potential contaminant'.
CONTAMINANT = ("Potential contaminant", "Contaminant")
# Per-experiment quantities of peptides.txt, the default first.
QUANTITIES = ("Intensity", "LFQ intensity")


def _flags(header):
    contaminant = present(header, CONTAMINANT)
    return dict(
        decoy=RowTest("Reverse", "text", plus) if "Reverse" in header else None,
        contaminant=RowTest(contaminant, "text", plus) if contaminant else None,
        genes=present(header, ("Gene names", "Gene Names")),
        protein=present(header, RAZOR),
    )


def detect(header, name, run_name):
    if present(header, RAZOR) is None or "Sequence" not in header:
        return None
    if all(c in header for c in ("Raw file", "Modified sequence", "Charge", "Intensity")):
        return PrecursorLayout(
            format=EVIDENCE, level="precursor", feature=("Modified sequence", "Charge"),
            peptide="Sequence", quantities={"Intensity": "Intensity"},
            run="Experiment" if "Experiment" in header else "Raw file",
            proteotypic=RowTest("Proteins", "text", single_member) if "Proteins" in header
            else None,
            repeats_summed=True, **_flags(header))
    if "Raw file" in header:
        return None
    quantities = sample_columns(header, QUANTITIES)
    if not quantities:
        return None
    return PrecursorLayout(
        format=PEPTIDES, level="peptide", feature=("Sequence",), peptide="Sequence",
        quantities=quantities,
        proteotypic=RowTest("Unique (Proteins)", "text", equals("yes"))
        if "Unique (Proteins)" in header else None,
        **_flags(header))
