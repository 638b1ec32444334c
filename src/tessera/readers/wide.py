"""Any other wide table: an identifier column, sample columns the caller
names or matches with a pattern, and the rest carried as annotations."""
from .errors import Keyword, Phrase, ReadError, listing
from .layout import Layout, matched_part, matches

NAME = "wide table"
RULE = Phrase("any other table: an identifier column, and sample columns chosen with ",
              Keyword("samples"), " (names, or a pattern such as 'LFQ intensity *')")
GENE_COLUMNS = ("gene names", "gene name", "genes", "gene", "gene symbol", "gene symbols",
                "pg.genes")


def layout(source, items, index):
    header = [h for h in source.header if h]
    if index is not None and index not in header:
        raise ReadError(f"{source.name}: no column {index!r} for the index; columns are "
                        f"{listing(header)}", path=source.name, column=index,
                        parameter="index")
    chosen, seen = [], set()
    for item in items:
        hits = [h for h in header if matches(item, h) and h != index]
        if not hits:
            raise ReadError(f"{source.name}: samples {item!r} matches no column; columns "
                            f"are {listing(header)}", path=source.name, value=item,
                            parameter="samples")
        for h in hits:
            if h not in seen:
                seen.add(h)
                chosen.append((matched_part(item, h), h))
    names = [sample for sample, _ in chosen]
    if len(set(names)) < len(names):
        # two patterns cut to the same names ('A *' and 'B *'): keep the headers
        chosen = [(h, h) for _, h in chosen]
    if index is None:
        index = next((h for h in header if h not in seen), None)
        if index is None:
            raise ReadError(f"{source.name}: samples selects every column, which leaves none "
                            "for the identifiers; name the sample columns only",
                            path=source.name, parameter="samples")
    others = tuple(h for h in header if h not in seen and h != index)
    gene = next((h for h in others if h.lower() in GENE_COLUMNS), None)
    return Layout(format=NAME, identifiers=(index,), annotations=others,
                  quantities={None: chosen}, gene_column=gene)
