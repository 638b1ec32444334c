"""read_precursors: recognise a precursor- or peptide-level report, read the
columns a roll-up needs, filter and count per step, and return one long
table of measured values (one row per feature and run) with integer-coded
labels.

Long reports (DIA-NN's main report, MaxQuant's evidence.txt) are read in
batches (stream.py); each batch is filtered, its labels coded and its kept
rows appended to compact arrays, so memory grows with the rows kept, never
with the file. Wide tables (one column per run) are read once and turned
into the same rows.
"""
from dataclasses import dataclass

import numpy as np
import pandas as pd

from . import diann_precursors, fragpipe_precursors, maxquant_precursors, stream
from .errors import Keyword, Phrase, ReadError, listing
from .layout import run_name
from .source import MISSING, open_source, read_columns, sniff_decimal

ENGINES = (diann_precursors, maxquant_precursors, fragpipe_precursors)
PRECURSOR_FORMATS = {name: rule for module in ENGINES for name, rule in module.RULES.items()}
KINDS = ("run", "protein_group", "genes", "feature", "peptide")
SHOWN = 5


@dataclass(frozen=True)
class Step:
    """What one step of the reading kept: rows (measured values of a feature
    in a run), and the distinct precursors, peptides, protein groups and
    genes among them (None where the format has no such column)."""

    name: str          # "read", "q_value", "pg_q_value", "decoy", "contaminant",
                       # "proteotypic", "measured" or "summed"
    rule: str          # what the step does, e.g. "Q.Value <= 0.01"
    rows: int
    precursors: int | None
    peptides: int | None
    protein_groups: int
    genes: int | None

    def removed_from(self, previous):
        return previous.rows - self.rows


@dataclass(frozen=True, eq=False)
class Precursors:
    """A precursor (or peptide) report as read.

    ``table`` has one row per feature and run with a measured quantity:
    categorical ``run``, ``protein_group``, ``genes`` (where the format has
    them) and ``precursor`` or ``peptide`` (the feature, see ``feature``;
    precursor-level formats also carry ``peptide``), float64 ``quantity``
    (linear), and where the format has them ``q_value``, ``pg_q_value``
    (float64) and ``proteotypic`` (bool). Categories come in order of first
    appearance; ``run`` keeps every run of the file, also one left without
    rows by the filters. ``steps`` counts what each step kept.
    """

    table: pd.DataFrame
    format: str
    level: str                 # "precursor" or "peptide"
    quantity: str
    quantities: tuple
    steps: tuple
    path: str

    @property
    def feature(self):
        """The table's feature column: 'precursor' or 'peptide'."""
        return self.level

    @property
    def runs(self):
        return list(self.table["run"].cat.categories)

    @property
    def empty_runs(self):
        """Runs without a row after the filters."""
        counts = self.per_run()
        return list(counts.index[counts["rows"] == 0])

    def per_run(self):
        """Per run: rows (measured values), and the distinct precursors,
        peptides, protein groups and genes measured."""
        runs = self.table["run"].cat.codes.to_numpy()
        n = len(self.table["run"].cat.categories)
        out = {"rows": np.bincount(runs, minlength=n)}
        for column in ("precursor", "peptide", "protein_group", "genes"):
            if column in self.table:
                out[column + "s" if column != "genes" else column] = _distinct_per_run(
                    runs, self.table[column].cat.codes.to_numpy(), n)
        return pd.DataFrame(out, index=pd.Index(self.runs, name="run", dtype="str"))


def _distinct_per_run(runs, codes, n):
    """The number of distinct codes per run."""
    width = int(codes.max(initial=0)) + 1
    keep = codes >= 0
    pairs = np.unique(runs[keep].astype(np.int64) * width + codes[keep])
    return np.bincount(pairs // width, minlength=n)


def read_precursors(path, *, quantity=None, q_value=0.01, pg_q_value=0.01, proteotypic=False,
                    keep_flagged=False):
    """Reads a precursor- or peptide-level report into Precursors.

    Recognised from the header (``PRECURSOR_FORMATS``): DIA-NN's main report
    (.tsv, or .parquet; versions 1.7 to 2.x, runs from ``Run`` or
    ``File.Name``) and pr_matrix, MaxQuant's evidence.txt and peptides.txt,
    FragPipe's combined_ion.tsv and combined_peptide.tsv. ``quantity``
    chooses among the format's quantities (default: the first, e.g.
    ``Precursor.Normalised``). Rows are kept, in turn, with ``Q.Value <=
    q_value`` and ``PG.Q.Value <= pg_q_value`` where the format has them
    (None keeps every row), without the format's decoys and contaminants
    unless ``keep_flagged``, and only proteotypic ones with ``proteotypic``;
    then rows without a positive quantity are dropped. Raises ReadError, with
    a one-line message, for a file or option it cannot use.
    """
    for option, value in (("q_value", q_value), ("pg_q_value", pg_q_value)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))
                                  or not 0 < value <= 1):
            raise ReadError(f"{option} must be a number above 0 and at most 1, or None to keep "
                            f"every row, not {value!r}")
    if quantity is not None and (not isinstance(quantity, str) or not quantity.strip()):
        raise ReadError(f"quantity must be a quantity name, not {quantity!r}")
    name = str(path)
    parquet = name.lower().endswith(".parquet")
    rows = 0  # the report's row count, where the file says it
    if parquet:
        source, (header, rows) = None, stream.parquet_header(path, name)
    else:
        source = open_source(path)
        if source.kind != "text":
            raise ReadError(f"{name}: precursor reports are text (.tsv, .txt) or .parquet files, "
                            "not workbooks")
        header = source.header
    layout = _detect(header, name)
    if layout.wide and source is None:
        raise ReadError(f"{name}: a {layout.format} (one column per run) is read from its "
                        "text file; give the .tsv DIA-NN or the engine wrote")
    chosen = _choose(layout, quantity, name)
    filters = _filters(layout, q_value, pg_q_value, proteotypic, keep_flagged, name)
    reading = _Reading(name, layout, filters, rows)
    with stream.arrow_errors(name):
        if layout.wide:
            reading.add(_wide_batch(source, layout, chosen, reading))
        else:
            for batch in _long_batches(path, name, source, layout, layout.quantities[chosen]):
                reading.add(reading.coded(batch, layout.quantities[chosen]))
        return reading.result(chosen, tuple(layout.quantities), name)


def precursor_format(path):
    """The precursor format whose header ``path`` has, or None for any other
    table (a protein table is read_table's). Reads the header only: a .parquet
    file's schema, a text file's first line; a workbook is no precursor report.
    Raises ReadError for a file it cannot open and for a report of a known
    format that it could not read (e.g. DIA-NN's without a quantity column)."""
    name = str(path)
    if name.lower().endswith(".parquet"):
        header, _ = stream.parquet_header(path, name)
    else:
        source = open_source(path)
        if source.kind != "text":
            return None
        header = source.header
    return next((layout.format for layout in (module.detect(header, name, run_name)
                                              for module in ENGINES) if layout is not None),
                None)


def _detect(header, name):
    for module in ENGINES:
        layout = module.detect(header, name, run_name)
        if layout is not None:
            return layout
    proteins = {"Protein IDs": "MaxQuant proteinGroups", "Protein ID": "FragPipe protein table",
                "PG.ProteinGroups": "Spectronaut protein report"}
    found = next((what for column, what in proteins.items() if column in header), None)
    if found or "Protein.Group" in header:
        raise ReadError(f"{name}: is a protein table ({found or 'DIA-NN pg_matrix'}), not a "
                        "precursor report; read it with read_table")
    raise ReadError(f"{name}: the header matches none of the precursor reports read here "
                    f"({', '.join(PRECURSOR_FORMATS)}); its first columns are "
                    f"{listing(header, 6)}")


def _choose(layout, quantity, name):
    offered = list(layout.quantities)
    if not offered:
        raise ReadError(f"{name}: is a {layout.format} table without per-run quantity columns "
                        f"({PRECURSOR_FORMATS[layout.format]})", path=name,
                        parameter="quantity")
    if quantity is None:
        chosen = offered[0]
    else:
        chosen = next((q for q in offered if q.lower() == quantity.strip().lower()), None)
        if chosen is None:
            raise ReadError(Phrase(f"{name}: no ", Keyword("quantity"),
                                   f" {quantity!r} in this {layout.format}; choose one of "
                                   f"{listing(offered)}"), path=name, value=quantity,
                            parameter="quantity")
    if layout.wide:
        by_run = {}
        for run, header in layout.quantities[chosen]:
            if run in by_run:
                raise ReadError(f"{name}: columns {by_run[run]!r} and {header!r} both give the "
                                f"run name {run!r}; rename one of the runs", path=name,
                                column=header, value=run)
            by_run[run] = header
    return chosen


def _filters(layout, q_value, pg_q_value, proteotypic, keep_flagged, name):
    """The format's filter steps that apply: (name, rule, column, keep(values))."""
    steps = []
    for step, column, limit in (("q_value", layout.q_value, q_value),
                                ("pg_q_value", layout.pg_q_value, pg_q_value)):
        if column is not None and limit is not None:
            steps.append((step, f"{column} <= {limit:g}", column,
                          lambda values, limit=limit: values <= limit))
    if not keep_flagged:
        for step, test in (("decoy", layout.decoy), ("contaminant", layout.contaminant)):
            if test is not None:
                steps.append((step, f"{step}s removed ({test.column})", test,
                              lambda hit: ~hit))
    if proteotypic:
        if layout.proteotypic is None:
            raise ReadError(Phrase(f"{name}: a {layout.format} does not say which precursors "
                                   "are proteotypic; leave ", Keyword("proteotypic"), " out"),
                            path=name, parameter="proteotypic")
        steps.append(("proteotypic", f"proteotypic only ({layout.proteotypic.column})",
                      layout.proteotypic, lambda hit: hit))
    return steps


def _long_batches(path, name, source, layout, quantity):
    texts = layout.text_columns()
    numbers = layout.number_columns(quantity)
    if source is None:
        return stream.parquet_batches(path, name, texts, numbers)
    position = {c: _position(source, c) for c in texts + numbers}
    decimal = sniff_decimal(source, [position[c] for c in numbers])
    plain = layout.feature if len(layout.feature) > 1 else ()
    return stream.text_batches(source, texts, numbers, plain, decimal)


class _Reading:
    """The rows kept so far, with the counts of every step."""

    def __init__(self, name, layout, filters, capacity=0):
        self.name, self.layout, self.filters = name, layout, filters
        self.books = {
            "run": stream.Codebook(name, layout.run or "", run_name if layout.run_is_path else None),
            "protein_group": stream.Codebook(),
            "genes": stream.Codebook(),
            "feature": stream.Codebook(),
            "peptide": stream.Codebook(),
            "file": stream.Codebook(),
        }
        steps = ["read"] + [f[0] for f in filters] + ["measured"]
        self.step_names = steps
        self.rows = np.zeros(len(steps), dtype=np.int64)
        # per kind and code: the last step that kept a row of it (-1: none yet)
        self.last_step = {k: np.zeros(0, np.int8) for k in KINDS[1:]}
        self.columns = {}
        self.capacity = capacity
        self.size = 0
        self.run_file = {}

    def coded(self, batch, quantity):
        """A record batch of a long report as codes and numbers."""
        layout, books = self.layout, self.books
        out = {"run": books["run"].encode(batch.column(layout.run)),
               "protein_group": books["protein_group"].encode(batch.column(layout.protein)),
               "quantity": stream.numbers(batch.column(quantity), self.name, quantity)}
        if layout.genes:
            out["genes"] = books["genes"].encode(batch.column(layout.genes))
        if layout.peptide:
            out["peptide"] = books["peptide"].encode(batch.column(layout.peptide))
        if len(layout.feature) == 1:
            out["feature"] = books["feature"].encode(batch.column(layout.feature[0]))
        else:
            out["feature"] = books["feature"].encode(
                stream.joined(*(batch.column(c) for c in layout.feature)))
        if layout.file:
            self._check_files(out["run"], books["file"].encode(batch.column(layout.file)))
        for column in (layout.q_value, layout.pg_q_value):
            if column:
                out[column] = stream.numbers(batch.column(column), self.name, column)
        for test in (layout.decoy, layout.contaminant, layout.proteotypic):
            if test is not None:
                out[test] = stream.evaluate(test, batch.column(test.column), self.name)
        return out

    def _check_files(self, runs, files):
        """Refuses two run files that the report gives one run name."""
        keep = (runs >= 0) & (files >= 0)
        width = len(self.books["file"]) + 1
        for pair in np.unique(runs[keep].astype(np.int64) * width + files[keep]):
            run, file = divmod(int(pair), width)
            first = self.run_file.setdefault(run, file)
            if first != file:
                labels = self.books["file"].labels
                raise ReadError(f"{self.name}: the run files {labels[first]!r} and "
                                f"{labels[file]!r} are both run "
                                f"{self.books['run'].labels[run]!r} in column 'Run'; rename "
                                "one of the run files", path=self.name, column="Run",
                                value=self.books["run"].labels[run])

    def add(self, batch):
        """Filters a coded batch, counts what each step kept and appends the kept rows."""
        n = len(batch["quantity"])
        keep = np.ones(n, dtype=bool)
        passed = np.zeros(n, dtype=np.int8)  # the steps after "read" each row got through
        for _, _, column, test in self.filters:
            keep &= np.asarray(test(batch[column]), dtype=bool)
            passed += keep
        q = batch["quantity"]
        with np.errstate(invalid="ignore"):
            keep &= np.isfinite(q) & (q > 0)
        passed += keep
        self.rows += np.bincount(passed, minlength=len(self.rows))[::-1].cumsum()[::-1]
        for kind in KINDS[1:]:
            if kind in batch:
                self._mark(kind, batch[kind], passed)
        rows = np.flatnonzero(keep)
        kept = {k: batch[k][rows] for k in KINDS if k in batch}
        kept["quantity"] = q[rows]
        for key, column in (("q_value", self.layout.q_value), ("pg_q_value", self.layout.pg_q_value)):
            if column:
                kept[key] = batch[column][rows]
        if self.layout.proteotypic is not None:
            kept["proteotypic"] = batch[self.layout.proteotypic][rows]
        self._append(kept)

    def _mark(self, kind, codes, passed):
        last = self.last_step[kind]
        size = len(self.books[kind])
        if len(last) < size:
            last = self.last_step[kind] = np.concatenate([last, np.full(size - len(last), -1,
                                                                        np.int8)])
        labelled = codes >= 0
        if not labelled.all():
            codes, passed = codes[labelled], passed[labelled]
        np.maximum.at(last, codes, passed)

    def _append(self, kept):
        """Appends rows to the columns, which grow by doubling (a report's
        row count, when known, sizes them once)."""
        n = len(kept["quantity"])
        need = self.size + n
        for key, values in kept.items():
            column = self.columns.get(key)
            if column is None or len(column) < need:
                grown = np.empty(max(need, self.capacity, 2 * (len(column) if column is not None
                                                              else 0)), values.dtype)
                if column is not None:
                    grown[:self.size] = column[:self.size]
                self.columns[key] = column = grown
            column[self.size:need] = values
        self.size = need

    def result(self, chosen, quantities, name):
        layout = self.layout
        if len(self.books["run"]) == 0:
            raise ReadError(f"{name}: has no data rows with a run; give a report with rows",
                            path=name)
        dtypes = {"quantity": np.float64, "q_value": np.float64, "pg_q_value": np.float64,
                  "proteotypic": bool}
        kept = ["run", "protein_group", "feature", "quantity"]
        kept += [k for k, column in (("genes", layout.genes), ("peptide", layout.peptide),
                                     ("q_value", layout.q_value),
                                     ("pg_q_value", layout.pg_q_value),
                                     ("proteotypic", layout.proteotypic)) if column is not None]
        columns = {k: self.columns[k][:self.size] if k in self.columns
                   else np.zeros(0, dtypes.get(k, np.int32)) for k in kept}
        steps = [self._step(s) for s in self.step_names]
        if layout.repeats_summed:
            columns = _sum_repeats(columns, len(self.books["feature"]))
            steps.append(self._summed(columns))
        data = {}
        data["run"] = _categorical(columns["run"], self.books["run"].labels)
        data["protein_group"] = _categorical(columns["protein_group"],
                                             self.books["protein_group"].labels)
        if layout.genes:
            data["genes"] = _categorical(columns["genes"], self.books["genes"].labels)
        data[layout.level] = _categorical(columns["feature"], self.books["feature"].labels)
        if layout.peptide and layout.level != "peptide":
            data["peptide"] = _categorical(columns["peptide"], self.books["peptide"].labels)
        data["quantity"] = columns["quantity"]
        for key, column in (("q_value", layout.q_value), ("pg_q_value", layout.pg_q_value)):
            if column:
                data[key] = columns[key]
        if layout.proteotypic is not None:
            data["proteotypic"] = columns["proteotypic"]
        table = pd.DataFrame(data, copy=False)
        return Precursors(table=table, format=layout.format, level=layout.level,
                          quantity=chosen, quantities=quantities, steps=tuple(steps), path=name)

    def _step(self, step):
        index = self.step_names.index(step)
        rule = {"read": "every row", "measured": "rows with a quantity above 0"}
        rule.update({f[0]: f[1] for f in self.filters})
        count = {k: int((self.last_step[k] >= index).sum()) for k in KINDS[1:]}
        return Step(name=step, rule=rule[step], rows=int(self.rows[index]),
                    precursors=count["feature"] if self.layout.level == "precursor" else None,
                    peptides=(count["peptide"] if self.layout.peptide else None)
                    if self.layout.level == "precursor" else count["feature"],
                    protein_groups=count["protein_group"],
                    genes=count["genes"] if self.layout.genes else None)

    def _summed(self, columns):
        last = self._step("measured")
        return Step(name="summed", rule="rows of one precursor and run summed",
                    rows=len(columns["quantity"]), precursors=last.precursors,
                    peptides=last.peptides, protein_groups=last.protein_groups, genes=last.genes)


def _wide_batch(source, layout, chosen, reading):
    """A wide table as one batch of rows: one per cell (feature and run)."""
    name = source.name
    pairs = layout.quantities[chosen]
    texts = layout.text_columns()
    tests = [t for t in (layout.decoy, layout.contaminant, layout.proteotypic) if t is not None]
    number_flags = [t.column for t in tests if t.on == "number"]
    position = {c: _position(source, c) for c in texts + number_flags + [h for _, h in pairs]}
    numbers = [position[h] for _, h in pairs] + [position[c] for c in number_flags]
    decimal = sniff_decimal(source, numbers)
    frame = read_columns(source, numbers, [position[c] for c in texts], decimal, MISSING)
    if len(frame) == 0:
        raise ReadError(f"{name}: has a header but no data rows")
    text = {c: frame[position[c]].astype(object) for c in texts}
    feature = text[layout.feature[0]].fillna("").astype(str).str.strip()
    for extra in layout.feature[1:]:
        feature = feature + text[extra].fillna("").astype(str).str.strip().str.removesuffix(".0")
    _check_features(source, layout, feature)
    block = np.column_stack([frame[position[h]].to_numpy(dtype=float) for _, h in pairs]) \
        if pairs else np.zeros((len(frame), 0))
    # every cell is a row, row by row; the empty ones are then dropped as not measured
    rows = np.repeat(np.arange(block.shape[0]), block.shape[1])
    runs = np.tile(np.arange(block.shape[1], dtype=np.int32), block.shape[0])
    books = reading.books
    for run, _ in pairs:
        books["run"].encode(stream.strings([run]))

    def codes(book, values):
        return book.encode(stream.strings(values))[rows]

    out = {"run": runs,
           "protein_group": codes(books["protein_group"], text[layout.protein]),
           "feature": codes(books["feature"], feature),
           "quantity": block.ravel()}
    if layout.genes:
        out["genes"] = codes(books["genes"], text[layout.genes])
    if layout.peptide:
        out["peptide"] = codes(books["peptide"], text[layout.peptide])
    for test in tests:
        if test.on == "number":
            hit = np.asarray(test.test(frame[position[test.column]].to_numpy(dtype=float)), bool)
        else:
            hit = np.asarray(test.test(text[test.column]), dtype=bool)
        out[test] = hit[rows]
    return out


def _position(source, column):
    found = source.positions(column)
    if len(found) > 1:
        raise ReadError(f"{source.name}: column {column!r} appears {len(found)} times in the "
                        "header; rename the copies")
    return found[0]


def _check_features(source, layout, feature):
    """Refuses a wide table that names one feature on two rows."""
    named = feature.ne("")
    repeated = feature[named].duplicated(keep=False)
    if repeated.any():
        first = feature[named][repeated].iloc[0]
        lines = [source.line(r) for r in np.flatnonzero((feature == first).to_numpy())]
        what = " + ".join(repr(c) for c in layout.feature)
        raise ReadError(f"{source.name}: {layout.level} {first!r} ({what}) is on lines "
                        f"{', '.join(map(str, lines[:SHOWN]))}; each row must name another "
                        f"{layout.level}")


def _categorical(codes, labels):
    return pd.Categorical.from_codes(codes, categories=labels, validate=False)


def _sum_repeats(columns, features):
    """Sums the quantities of rows of one feature and run (MaxQuant evidence:
    one row per raw file, fraction or isotope pattern); other columns from
    the first such row."""
    key = columns["run"].astype(np.int64) * (features + 1) + columns["feature"]
    unique, first, inverse = np.unique(key, return_index=True, return_inverse=True)
    out = {k: v[first] for k, v in columns.items()}
    out["quantity"] = np.bincount(inverse, weights=columns["quantity"], minlength=len(unique))
    return out
