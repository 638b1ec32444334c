"""read_table: recognise a protein table's format from its header, choose the
quantity and samples, read the needed columns once, and return the values
with their annotations and what was removed."""
from dataclasses import dataclass

import numpy as np
import pandas as pd

from . import diann, fragpipe, maxquant, spectronaut, wide
from .errors import Keyword, Phrase, ReadError, UnknownFormat, listing, plural
from .layout import matches
from .source import MISSING, open_source, read_columns, sniff_decimal

ENGINES = (maxquant, diann, fragpipe, spectronaut)
# Each format's rule, a Phrase: the header it is recognised by, in words.
FORMATS = {module.NAME: module.RULE for module in ENGINES + (wide,)}
SHOWN_ROWS = 5


@dataclass(frozen=True, eq=False)
class Table:
    """A protein table as read.

    ``values`` has one float64 column per sample, named by the sample, NaN
    where no value was measured, and the feature identifiers as its named
    index; ``annotations`` holds the text columns carried with each feature on
    the same index. ``columns`` maps each sample to the header it was read
    from. ``removed`` counts the rows removed for each flag: a row with two
    flags counts under both, so the counts may add up to more than
    ``rows_removed``.
    """

    values: pd.DataFrame
    annotations: pd.DataFrame
    format: str
    quantity: str | None
    quantities: tuple
    columns: dict
    removed: dict
    label_column: str | None
    rows_read: int
    path: str
    not_measured: int = 0      # cells of the rows read that hold no value
    written_as: tuple = ()     # how the file writes them, e.g. ("0", "empty")

    @property
    def samples(self):
        return list(self.values.columns)

    @property
    def rows_removed(self):
        return self.rows_read - len(self.values)

    @property
    def labels(self):
        """The plot label of each feature, or None without a label column."""
        return None if self.label_column is None else self.annotations[self.label_column]


def read_table(path, *, quantity=None, samples=None, index=None, decimal=None, sheet=None,
               keep_flagged=False, label_column=None):
    """Reads a protein table (.csv, .tsv, .txt or .xlsx) into a Table.

    MaxQuant, DIA-NN, FragPipe and Spectronaut protein tables are recognised
    from their header (``FORMATS``); ``quantity`` chooses among the quantities
    the format offers, ``samples`` (names, or shell-style patterns matched
    against the sample names or the column headers) chooses samples. Any
    other table needs ``samples``; its first column that is not a sample is
    the index unless ``index`` names another. Rows the format flags (decoys,
    contaminants) are removed and counted unless ``keep_flagged``. Raises
    ReadError, with a one-line message, for a file or option it cannot use.
    """
    items = _sample_items(samples)
    if decimal not in (None, ".", ","):
        raise ReadError(f"decimal must be '.' or ',', not {decimal!r}", value=decimal,
                        parameter="decimal")
    for option, value in (("quantity", quantity), ("index", index), ("sheet", sheet),
                          ("label_column", label_column)):
        if value is not None and (not isinstance(value, str) or not value.strip()):
            raise ReadError(f"{option} must be a column or quantity name, not {value!r}",
                            value=value, parameter=option)
    source = open_source(path, sheet)
    layout = _detect(source)
    if layout is None:
        if items is None:
            raise UnknownFormat(Phrase(
                f"{source.name}: the header matches none of the formats read here "
                f"({', '.join(m.NAME for m in ENGINES)}); for another table choose the sample "
                "columns with ", Keyword("samples"), " (names, or a pattern such as "
                "'LFQ intensity *') and the identifier column with ", Keyword("index"),
                f" (columns: {listing(source.header, 6)})"), path=source.name,
                parameter="samples", header=source.header)
        if quantity is not None:
            raise ReadError(f"{source.name}: quantity applies to the tables of "
                            f"{', '.join(m.NAME for m in ENGINES)}; in this table samples "
                            "alone chooses the sample columns", path=source.name,
                            value=quantity, parameter="quantity")
        layout = wide.layout(source, items, index)
        chosen, pairs = None, _distinct(source, layout.quantities[None])
    else:
        chosen, pairs = _choose(source, layout, quantity, items)

    sample_headers = {h for _, h in pairs}
    index = _index(source, layout, index, sample_headers)
    label_column = _label(source, layout, label_column, sample_headers)
    annotations = [a for a in layout.annotations if a != index]
    if label_column is not None and label_column not in annotations:
        annotations.append(label_column)
    flags = [] if keep_flagged else [f for f in layout.flags if f.column in source.header]

    position = {h: _position(source, h)
                for h in [index, *annotations, *(f.column for f in flags), *sample_headers]}
    numbers = [position[h] for _, h in pairs]
    if decimal is None:
        decimal = sniff_decimal(source, numbers) if source.kind == "text" else "."
    frame = read_columns(source, numbers,
                         [position[h] for h in [index, *annotations]] +
                         [position[f.column] for f in flags],
                         decimal, MISSING + layout.missing)
    rows_read = len(frame)
    if rows_read == 0:
        raise ReadError(f"{source.name}: has a header but no data rows", path=source.name)

    removed, keep = {}, np.ones(rows_read, dtype=bool)
    for flag in flags:
        hit = flag.test(frame[position[flag.column]]).to_numpy(dtype=bool)
        removed[flag.reason] = int(hit.sum())
        keep &= ~hit
    rows = np.flatnonzero(keep)
    ids = frame[position[index]].iloc[rows]
    _check_identifiers(source, layout, index, ids, rows)

    block = np.empty((len(rows), len(pairs)))
    not_measured = 0
    for j, p in enumerate(numbers):
        cells = frame[p].to_numpy()
        absent = np.isnan(cells) | (cells == 0) if layout.zeros_missing else np.isnan(cells)
        not_measured += int(absent.sum())
        block[:, j] = cells[rows]
    if layout.zeros_missing:
        block[block == 0] = np.nan
    feature_index = pd.Index(ids.to_numpy(), name=index, dtype="str")
    values = pd.DataFrame(block, index=feature_index,
                          columns=pd.Index([s for s, _ in pairs], dtype="str"))
    notes = pd.DataFrame({a: pd.array(frame[position[a]].to_numpy()[rows], dtype="str")
                          for a in annotations},
                         index=feature_index, columns=pd.Index(annotations, dtype="str"))
    return Table(values=values, annotations=notes, format=layout.format, quantity=chosen,
                 quantities=tuple(q for q in layout.quantities if q is not None),
                 columns=dict(pairs), removed=removed, label_column=label_column,
                 rows_read=rows_read, path=source.name, not_measured=not_measured,
                 written_as=("0",) * layout.zeros_missing + ("empty", "NaN") + layout.missing)


def _sample_items(samples):
    if samples is None:
        return None
    items = [samples] if isinstance(samples, str) else samples
    try:
        items = list(items)
    except TypeError:
        items = None
    if not items or not all(isinstance(i, str) and i.strip() for i in items):
        raise ReadError(f"samples must be sample or column names, or a pattern such as "
                        f"'LFQ intensity *', not {samples!r}", value=samples,
                        parameter="samples")
    return [i.strip() for i in items]


def _detect(source):
    for module in ENGINES:
        layout = module.detect(source.header, source.name)
        if layout is not None:
            return layout
    return None


def _choose(source, layout, quantity, items):
    """The quantity and the (sample, header) pairs of the samples asked for."""
    offered = list(layout.quantities)
    if not offered:
        raise ReadError(f"{source.name}: is a {layout.format} table without per-sample "
                        f"quantity columns ({FORMATS[layout.format]})", path=source.name)
    if quantity is not None:
        exact = [q for q in offered if q == quantity] or \
            [q for q in offered if q.lower() == quantity.strip().lower()]
        if not exact:
            raise ReadError(f"{source.name}: no quantity {quantity!r} in this "
                            f"{layout.format} table; choose one of {listing(offered)}",
                            path=source.name, value=quantity, parameter="quantity")
        quantity = exact[0]
    default = quantity or offered[0]
    if items is None:
        return default, _distinct(source, layout.quantities[default])

    pairs, used = [], []
    for item in items:
        hits = [(s, h) for s, h in layout.quantities[default] if matches(item, s)]
        if hits:
            found = {default}
        else:
            among = offered if quantity is None else [quantity]
            found = {q for q in among for _, h in layout.quantities[q] if matches(item, h)}
            hits = [(s, h) for q in among for s, h in layout.quantities[q] if matches(item, h)]
        if not hits:
            names = [s for s, _ in layout.quantities[default]]
            raise ReadError(f"{source.name}: samples {item!r} matches no sample of this "
                            f"{layout.format} table; its samples are {listing(names)}",
                            path=source.name, value=item, parameter="samples")
        pairs += hits
        used += [q for q in offered if q in found and q not in used]
    if len(used) > 1:
        raise ReadError(f"{source.name}: samples selects columns of {len(used)} quantities "
                        f"({listing(used)}); choose the samples of one quantity",
                        path=source.name, parameter="samples")
    return used[0], _distinct(source, pairs)


def _distinct(source, pairs):
    """The pairs without repeated headers; refuses two columns for one sample."""
    out, by_sample, seen = [], {}, set()
    for sample, header in pairs:
        if header in seen:
            continue
        if sample in by_sample:
            raise ReadError(Phrase(
                f"{source.name}: columns {by_sample[sample]!r} and {header!r} both give the "
                f"sample name {sample!r}; choose one of them with ", Keyword("samples"),
                ", or rename the runs"), path=source.name, column=header, value=sample,
                parameter="samples")
        seen.add(header)
        by_sample[sample] = header
        out.append((sample, header))
    return out


def _index(source, layout, index, sample_headers):
    if index is None:
        index = next((c for c in layout.identifiers if c in source.header), None)
        if index is None:
            raise ReadError(Phrase(
                f"{source.name}: no identifier column ({listing(layout.identifiers)}); name "
                "the column that identifies the features with ", Keyword("index")),
                path=source.name, parameter="index")
        return index
    if index not in source.header:
        raise ReadError(f"{source.name}: no column {index!r} for the index; identifier "
                        f"columns are {listing(layout.identifiers)} (or any column: "
                        f"{listing(source.header, 6)})", path=source.name, column=index,
                        parameter="index")
    if index in sample_headers:
        raise ReadError(f"{source.name}: index {index!r} is a sample column; name the column "
                        "that identifies the features", path=source.name, column=index,
                        parameter="index")
    return index


def _label(source, layout, label_column, sample_headers):
    if label_column is None:
        return layout.gene_column
    if label_column not in source.header:
        raise ReadError(f"{source.name}: no column {label_column!r} for the labels; "
                        f"annotation columns are {listing(layout.annotations)}",
                        path=source.name, column=label_column, parameter="label_column")
    if label_column in sample_headers:
        raise ReadError(f"{source.name}: label column {label_column!r} is a sample column; "
                        "name a text column such as the gene names", path=source.name,
                        column=label_column, parameter="label_column")
    return label_column


def _position(source, column):
    positions = source.positions(column)
    if len(positions) > 1:
        raise ReadError(f"{source.name}: column {column!r} appears {len(positions)} times in "
                        f"the header (columns {', '.join(str(p + 1) for p in positions)}); "
                        "rename the copies", path=source.name, column=column)
    return positions[0]


def _check_identifiers(source, layout, index, ids, rows):
    empty = ids.fillna("").str.strip().eq("").to_numpy(dtype=bool)
    if empty.any():
        lines = [source.line(r) for r in rows[empty][:SHOWN_ROWS]]
        others = [c for c in layout.identifiers if c != index and c in source.header]
        hint = ("choose another identifier column with ", Keyword("index"),
                f" ({listing(others)})") if others else \
            ("fill them in, or choose another identifier column with ", Keyword("index"))
        raise ReadError(Phrase(
            f"{source.name}: the identifier column {index!r} is empty on "
            f"{plural(int(empty.sum()), 'row')} (line "
            f"{', '.join(map(str, lines))}{', ...' if empty.sum() > SHOWN_ROWS else ''}); ",
            *hint), path=source.name, column=index, row=lines[0], parameter="index")
    repeated = ids.duplicated(keep=False).to_numpy()
    if repeated.any():
        first = ids.iloc[int(np.flatnonzero(repeated)[0])]
        lines = [source.line(r) for r in rows[(ids == first).to_numpy()]]
        count = ids[repeated].nunique()
        more = f" ({count} identifiers repeat)" if count > 1 else ""
        raise ReadError(Phrase(
            f"{source.name}: identifier {first!r} of column {index!r} is on lines "
            f"{', '.join(map(str, lines[:SHOWN_ROWS]))}{more}; the index must be unique, "
            "choose another column with ", Keyword("index")), path=source.name, column=index,
            row=lines[1], value=first, parameter="index")
