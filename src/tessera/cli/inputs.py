"""The input table and the design: checking the file before anything runs,
reading both through tessera.readers and checking the groups against the
table's samples."""
import glob
from dataclasses import dataclass

import pandas as pd

from tessera.cli.errors import UsageError, listing
from tessera.cli.options import LEVELS, ROLLUPS, flag_of


def check_input_file(file):
    if not file.exists():
        raise UsageError(f"input file {file} not found; check the path")
    if file.is_dir():
        raise UsageError(f"input file {file} is a directory; give a .csv, .tsv, .txt or "
                         ".xlsx file")


def refusal(exc, name_of=flag_of):
    """A reader's refusal as the command line's UsageError, its keywords named
    as options."""
    return UsageError(exc.worded(name_of))


# read_precursors' keywords as the options that set them.
PRECURSOR_FLAGS = {"q_value": "--qvalue", "pg_q_value": "--qvalue"}


def _precursor_flag(keyword):
    return PRECURSOR_FLAGS.get(keyword) or flag_of(keyword)


def _precursor_refusal(exc):
    """A refusal of read_precursors in the command line's words: a cell that is
    no number (the only refusal with a line) said of a precursor report,
    whose decimal mark is found, not given; any other with the reader's
    keywords named as options."""
    if exc.row is not None and exc.column is not None and exc.value is not None:
        return UsageError(f"{exc.path}: column {exc.column!r} holds {exc.value!r} on line "
                          f"{exc.row}, which is not a number; the q-value and quantity columns "
                          "of a precursor report hold numbers, with missing values left empty")
    return refusal(exc, _precursor_flag)


def precursor_input(file):
    """The precursor format of the input file, None for a protein table (or a
    file that read_table will refuse in its own words). Reads the header only."""
    from tessera.readers import ReadError, precursor_format

    try:
        return precursor_format(file)
    except ReadError as exc:
        if exc.parameter is None and not str(file).lower().endswith(".parquet"):
            return None   # a file that cannot be opened as a table: read_table says why
        raise _precursor_refusal(exc) from None


def load_design(path):
    """The design file's groups, before the table is read (its samples are
    checked against the table's once that is read)."""
    from tessera.readers import ReadError, read_design

    try:
        return read_design(path)
    except ReadError as exc:
        raise refusal(exc) from None


@dataclass
class Loaded:
    table: object           # the readers' Table
    unused: list            # the table's samples in no group
    labels: dict            # the design's sample labels, {sample: label}; empty without
    # the group columns that became the samples of a table in no format read
    # without --samples; None when the table named its samples itself
    samples_from_groups: list | None = None
    rolled: object = None   # a precursor report's RolledUp; None for a protein table


def load_table(run):
    """The table as read_table returns it, the table's samples in no group and
    the design's sample labels.

    A table in none of the formats, read without --samples, takes the groups'
    columns as its samples when every one of them is a column of the table;
    otherwise it is refused, with the columns that are not there. A design's
    samples are checked against the table by the reader; samples given with
    --group are checked here.
    """
    from tessera.readers import ReadError, read_design, read_table

    if run.precursor_format is not None:
        return _load_precursors(run)
    taken = None
    try:
        try:
            table = read_table(run.file, **run.reading)
        except ReadError as exc:
            taken = _groups_as_samples(run, exc)
            if taken is None:
                raise
            table = read_table(run.file, **run.reading, samples=[glob.escape(c) for c in taken])
        if run.design is not None:
            design = read_design(run.design, table)
            return Loaded(table, design.unused, design.labels, taken)
    except ReadError as exc:
        raise refusal(exc) from None

    header_of = {header: sample for sample, header in table.columns.items()}
    for name, samples in run.groups:
        for sample in samples:
            if sample in table.values.columns:
                continue
            if sample in header_of:
                hint = f"name the sample {header_of[sample]!r}, not its column"
            else:
                hint = f"the samples ({_kind(table)}) are {listing(table.samples)}"
            raise UsageError(f"group {name!r}: {sample!r} is not a sample of "
                             f"{run.file.name}; {hint}")
    grouped = {sample for _, samples in run.groups for sample in samples}
    return Loaded(table, [sample for sample in table.samples if sample not in grouped], {},
                  taken)


def _groups_as_samples(run, exc):
    """The group columns, when the table matches no format (an UnknownFormat,
    which carries the header), --samples is not given and every group column
    is a column of the table; None otherwise (the reader's refusal stands,
    told which group columns are missing when some are there)."""
    from tessera.readers import UnknownFormat

    if "samples" in run.reading or not isinstance(exc, UnknownFormat):
        return None
    columns = [column for _, group in run.groups for column in group]
    absent = [(name, column) for name, group in run.groups for column in group
              if column not in exc.header]
    if not absent:
        return columns
    if len(absent) < len(columns):
        name, column = absent[0]
        raise UsageError(f"{exc.worded(flag_of)}; the groups' columns would do, but group "
                         f"{name!r} names {column!r}, which is not a column of the table") \
            from None
    return None


def _kind(table):
    return table.format if table.quantity is None else f"{table.format}, {table.quantity}"


@dataclass
class RolledUp:
    """A precursor report as read and rolled up: the reader's Precursors, the
    proteins (or genes) x runs the roll-up gave, and per run the precursors
    (or peptides) and the proteins quantified."""
    precursors: object
    proteins: pd.DataFrame
    per_run: pd.DataFrame
    single: int             # proteins quantified from one precursor
    noun: str               # "protein group" or "gene"


def _load_precursors(run):
    """Reads the precursor report, rolls it up and gives the proteins x runs
    as a Table, which the analysis takes as it takes a protein table."""
    from tessera.readers import ReadError, Table, read_design, read_precursors
    from tessera.tools import quant

    settings = run.rollup_settings
    try:
        report = read_precursors(run.file, quantity=run.reading.get("quantity"),
                                 q_value=settings["qvalue"], pg_q_value=settings["qvalue"],
                                 proteotypic=settings["proteotypic"],
                                 keep_flagged=run.reading.get("keep_flagged", False))
    except ReadError as exc:
        raise _precursor_refusal(exc) from None
    level = LEVELS[settings["level"]]
    noun = "gene" if level == "genes" else "protein group"
    table = report.table
    if level not in table or table[level].isna().all():
        raise UsageError(f"--level {settings['level']}: {run.file.name} ({report.format}) names "
                         "no gene for its precursors; roll up with --level protein")
    grouped = {sample for _, samples in run.groups for sample in samples}
    counts = report.per_run()
    empty = [name for name in counts.index[counts["rows"] == 0] if name in grouped]
    if empty:
        raise UsageError(f"run {empty[0]!r} of {run.file.name} has no precursor left after "
                         f"the filters ({_filters(report)}); loosen --qvalue, or leave the "
                         "run out of its group")
    function, keywords = ROLLUPS[settings["rollup"]]
    proteins = getattr(quant, function)(table, protein=level, feature=report.feature,
                                        **keywords)
    proteins.index.name = level
    proteins.columns = proteins.columns.astype(str)
    # groupby leaves out the rows without a key, and first() the missing genes
    features = table.groupby(level, observed=True)[report.feature].nunique() \
        .reindex(proteins.index)
    annotations = pd.DataFrame({f"{report.feature}s": features.astype("int64")},
                               index=proteins.index)
    label = None
    if level == "protein_group" and "genes" in table and table["genes"].notna().any():
        annotations.insert(0, "genes", table.groupby(
            "protein_group", observed=True)["genes"].first().dropna().astype(str)
            .reindex(proteins.index))
        label = "genes"
    per_run = counts[[f"{report.feature}s"]].copy()
    per_run[f"{noun}s"] = proteins.notna().sum(axis=0).reindex(per_run.index).to_numpy()
    rolled = RolledUp(report, proteins, per_run, single=int((features == 1).sum()), noun=noun)
    values = Table(values=proteins, annotations=annotations,
                   format=f"{report.format}, {settings['rollup']} roll-up to {noun}s",
                   quantity=report.quantity, quantities=report.quantities,
                   columns={name: name for name in proteins.columns}, removed={},
                   label_column=label, rows_read=len(proteins), path=str(run.file))
    try:
        if run.design is not None:
            design = read_design(run.design, values)
            return Loaded(values, design.unused, design.labels, rolled=rolled)
    except ReadError as exc:
        raise refusal(exc) from None
    for name, samples in run.groups:
        absent = [sample for sample in samples if sample not in proteins.columns]
        if absent:
            raise UsageError(f"group {name!r}: {absent[0]!r} is not a run of {run.file.name}; "
                             f"the runs are {listing(proteins.columns)}")
    return Loaded(values, [name for name in proteins.columns if name not in grouped], {},
                  rolled=rolled)


def _filters(report):
    """The reader's filters, in words, e.g. "Q.Value <= 0.01, PG.Q.Value <= 0.01"."""
    return ", ".join(step.rule for step in report.steps if step.name not in ("read", "summed"))
