"""The input table: checking the file before anything runs, reading it and
checking that the run's columns exist and hold numbers."""
import pandas as pd

from tessera.cli.errors import UsageError, listing, one_line

READABLE_SUFFIXES = (".csv", ".tsv", ".xlsx")


def check_input_file(file):
    if not file.exists():
        raise UsageError(f"input file {file} not found; check the path")
    if file.is_dir():
        raise UsageError(f"input file {file} is a directory; give a .csv, .tsv or .xlsx file")
    # the reader is picked by the exact, lower-case suffix
    if file.suffix not in READABLE_SUFFIXES:
        kind = f"{file.suffix} files" if file.suffix else "files without a suffix"
        raise UsageError(f"input file {file}: cannot read {kind}; save the table as .csv, "
                         ".tsv or .xlsx (lower case)")


def load_table(run):
    """The imported table, after checking that the run's columns exist and hold numbers."""
    from tessera.tools.preprocess import import_data_by_file_name

    index = run.settings.get("index", "INDEX")
    try:
        df = import_data_by_file_name(str(run.file), run.settings)
    except KeyError:
        raise UsageError(f"column {index!r} not found in {run.file}; name the column that "
                         f"identifies the features with --index (columns: "
                         f"{_columns_of(run.file)})") from None
    except Exception as exc:  # the readers' own errors: bad encoding, broken workbook
        raise UsageError(f"cannot read {run.file} ({one_line(exc)}); check that it is a "
                         f"{run.file.suffix} table with a header row") from None

    for name, columns in run.groups:
        for column in columns:
            if column not in df.columns:
                extra = " (it is the index column)" if column == index else ""
                raise UsageError(f"group {name!r}: column {column!r} is not in "
                                 f"{run.file.name}{extra}; columns are: "
                                 f"{listing(df.columns)}")
    cellwise = {"noise_filter", "log_transform", "normalize"} & run.settings.keys()
    grouped = [c for _, columns in run.groups for c in columns]
    for column in df.columns if cellwise else grouped:
        if not pd.api.types.is_numeric_dtype(df[column]) or df[column].dtype == bool:
            why = "is a sample of a group" if column in grouped else \
                f"is treated as a sample by {sorted(cellwise)[0]}"
            raise UsageError(f"column {column!r} of {run.file.name} holds text but {why}; "
                             "remove the column or the text cells from the file")
    return df


def _columns_of(file):
    """The names in the file's header row, for the hint of a message."""
    try:
        if file.suffix == ".xlsx":
            columns = pd.read_excel(file, sheet_name=0, nrows=0).columns
        else:
            columns = pd.read_csv(file, sep="\t" if file.suffix == ".tsv" else ",",
                                  nrows=0).columns
    except Exception:  # noqa: BLE001 - the listing is only a hint
        return "unreadable"
    return listing(columns)
