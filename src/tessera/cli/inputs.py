"""The input table and the design: checking the file before anything runs,
reading both through tessera.readers and checking the groups against the
table's samples."""
from tessera.cli.errors import UsageError, listing
from tessera.cli.options import as_options


def check_input_file(file):
    if not file.exists():
        raise UsageError(f"input file {file} not found; check the path")
    if file.is_dir():
        raise UsageError(f"input file {file} is a directory; give a .csv, .tsv, .txt or "
                         ".xlsx file")


def refusal(exc):
    """A reader's refusal as the command line's UsageError."""
    return UsageError(as_options(str(exc)))


def load_design(path):
    """The design file's groups, before the table is read (its samples are
    checked against the table's once that is read)."""
    from tessera.readers import ReadError, read_design

    try:
        return read_design(path)
    except ReadError as exc:
        raise refusal(exc) from None


def load_table(run):
    """The table as read_table returns it, the table's samples in no group and
    the design's sample labels ({sample: label}, empty without a design).

    A design's samples are checked against the table by the reader; samples
    given with --group are checked here.
    """
    from tessera.readers import ReadError, read_design, read_table

    try:
        table = read_table(run.file, **run.reading)
        if run.design is not None:
            design = read_design(run.design, table)
            return table, design.unused, design.labels
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
    return table, [sample for sample in table.samples if sample not in grouped], {}


def _kind(table):
    return table.format if table.quantity is None else f"{table.format}, {table.quantity}"
