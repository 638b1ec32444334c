"""The input table and the design: checking the file before anything runs,
reading both through tessera.readers and checking the groups against the
table's samples."""
import glob
from dataclasses import dataclass

from tessera.cli.errors import UsageError, listing
from tessera.cli.options import flag_of


def check_input_file(file):
    if not file.exists():
        raise UsageError(f"input file {file} not found; check the path")
    if file.is_dir():
        raise UsageError(f"input file {file} is a directory; give a .csv, .tsv, .txt or "
                         ".xlsx file")


def refusal(exc):
    """A reader's refusal as the command line's UsageError, its keywords named
    as options."""
    return UsageError(exc.worded(flag_of))


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
