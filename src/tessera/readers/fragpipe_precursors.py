"""FragPipe's (IonQuant's) combined_ion.tsv, one row per precursor ion, and
combined_peptide.tsv, one row per peptide sequence; both with per-run
columns '<run> Intensity' (and '<run> MaxLFQ Intensity' where MaxLFQ ran)."""
from .precursor_layout import PrecursorLayout, RowTest, empty, present

IONS = "FragPipe combined_ion"
PEPTIDES = "FragPipe combined_peptide"
RULES = {
    IONS: "columns 'Peptide Sequence', 'Modified Sequence', 'Charge', 'Protein' and "
          "'<run> Intensity'",
    PEPTIDES: "columns 'Peptide Sequence', 'Protein' and '<run> Intensity', no 'Charge'",
}
# The run's quantities, the default first; the longest suffix names a column's
# quantity, so 'A1 MaxLFQ Intensity' is not run 'A1 MaxLFQ'.
QUANTITIES = ("Intensity", "MaxLFQ Intensity")
BY_LENGTH = sorted(QUANTITIES, key=len, reverse=True)


def _quantities(header):
    found = {}
    for h in header:
        for quantity in BY_LENGTH:
            suffix = " " + quantity
            if h.endswith(suffix) and h[: -len(suffix)].strip():
                found.setdefault(quantity, []).append((h[: -len(suffix)].strip(), h))
                break
    return {q: found[q] for q in QUANTITIES if q in found}


def _prefixed(prefix):
    def test(cells):
        return cells.fillna("").str.startswith(prefix).to_numpy(dtype=bool)
    return test


def detect(header, name, run_name):
    if "Peptide Sequence" not in header or "Protein" not in header:
        return None
    quantities = _quantities(header)
    if not quantities:
        return None
    ions = "Charge" in header and "Modified Sequence" in header
    return PrecursorLayout(
        format=IONS if ions else PEPTIDES, level="precursor" if ions else "peptide",
        protein="Protein", feature=("Modified Sequence", "Charge") if ions else
        ("Peptide Sequence",), peptide="Peptide Sequence", quantities=quantities,
        genes=present(header, ("Gene",)),
        decoy=RowTest("Protein", "text", _prefixed("rev_")),
        contaminant=RowTest("Protein", "text", _prefixed("contam_")),
        proteotypic=RowTest("Mapped Proteins", "text", empty)
        if "Mapped Proteins" in header else None)
