"""FragPipe's combined_protein.tsv: annotation columns, then per sample
'<sample> <quantity>' columns; zeros for values not measured."""
from .errors import Phrase
from .layout import Flag, Layout, present, starts_with

NAME = "FragPipe combined_protein"
RULE = Phrase("columns 'Protein ID' and 'Entry Name'; quantities '<sample> MaxLFQ "
              "Intensity', '<sample> Intensity', '<sample> Spectral Count', ...")
# In the order a default is chosen. The longest matching suffix names a
# column's quantity: 'S1 MaxLFQ Intensity' is not sample 'S1 MaxLFQ'.
QUANTITIES = ("MaxLFQ Intensity", "MaxLFQ Razor Intensity", "MaxLFQ Unique Intensity",
              "MaxLFQ Total Intensity", "Intensity", "Razor Intensity", "Unique Intensity",
              "Total Intensity", "Spectral Count", "Razor Spectral Count",
              "Unique Spectral Count", "Total Spectral Count")
BY_LENGTH = sorted(QUANTITIES, key=len, reverse=True)
IDENTIFIERS = ("Protein", "Protein ID")
ANNOTATIONS = ("Protein", "Protein ID", "Entry Name", "Gene", "Gene Names", "Description",
               "Protein Description", "Organism")


def detect(header, name):
    if "Protein ID" not in header or "Entry Name" not in header:
        return None
    found = {}
    for h in header:
        if h in ANNOTATIONS or h.startswith("Combined "):
            continue
        for quantity in BY_LENGTH:
            suffix = " " + quantity
            if h.endswith(suffix) and h[: -len(suffix)].strip():
                found.setdefault(quantity, []).append((h[: -len(suffix)].strip(), h))
                break
    protein = "Protein" if "Protein" in header else "Protein ID"
    return Layout(
        format=NAME,
        identifiers=present(header, IDENTIFIERS),
        annotations=present(header, ANNOTATIONS),
        quantities={q: found[q] for q in QUANTITIES if q in found},
        flags=(Flag("Contaminant", protein, starts_with("contam_")),
               Flag("Decoy", protein, starts_with("rev_"))),
        zeros_missing=True,
        gene_column=next((g for g in ("Gene", "Gene Names") if g in header), None),
    )
