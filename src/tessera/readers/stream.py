"""Long reports read in batches: only the columns a roll-up needs, through
pyarrow (parquet row groups, or its multithreaded CSV reader for text), so
that a report larger than memory is never held whole. Text arrives
dictionary-encoded; Codebook turns each batch's dictionary into codes that
hold across batches."""
import contextlib
import re

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq

from .errors import ReadError
from .source import MISSING, _not_a_number, _one_line, number_pattern

BATCH_ROWS = 1 << 20
CSV_BLOCK = 1 << 24
TEXT = pa.dictionary(pa.int32(), pa.string())


class Codebook:
    """Integer codes of labels, in order of first appearance. Surrounding
    blanks are cut; an empty label is missing (code -1). `rename` maps each
    distinct text to its label (run names from file paths); two texts that
    rename to one label are refused, naming both, unless `merge` allows it."""

    def __init__(self, name="", column="", rename=None):
        self._labels = pa.array([], pa.string())
        self._name, self._column, self._rename = name, column, rename
        self._origin = {}  # label -> the text it was renamed from

    def __len__(self):
        return len(self._labels)

    @property
    def labels(self):
        return pd.Index(self._labels.to_numpy(zero_copy_only=False), dtype="str")

    def encode(self, array):
        """The code of every row of a string or dictionary array."""
        if isinstance(array, pa.ChunkedArray):
            array = array.combine_chunks()
        if not pa.types.is_dictionary(array.type):
            array = pc.dictionary_encode(array)
        # the code of each dictionary entry, then -1 for a null row (index -1)
        codes = np.append(self._codes_of(array.dictionary), np.int32(-1))
        return codes[_indices(array)]

    def _codes_of(self, values):
        values = pc.utf8_trim_whitespace(pc.cast(values, pa.string()).fill_null(""))
        if self._rename is not None:
            values = pa.array([self._label_of(v) for v in values.to_pylist()], pa.string())
        found = pc.index_in(values, value_set=self._labels)
        new = pc.and_(pc.is_null(found), pc.not_equal(values, ""))
        if pc.any(new).as_py():
            self._labels = pa.concat_arrays([self._labels, pc.unique(values.filter(new))])
            found = pc.index_in(values, value_set=self._labels)
        return found.fill_null(-1).to_numpy(zero_copy_only=False).astype(np.int32)

    def _label_of(self, text):
        if not text:
            return text
        label = self._rename(text)
        first = self._origin.setdefault(label, text)
        if first != text:
            raise ReadError(f"{self._name}: the runs {first!r} and {text!r} of column "
                            f"{self._column!r} are both named {label!r} (folders and the file "
                            "extension are cut); rename one of the run files", path=self._name,
                            column=self._column, value=label)
        return label


@contextlib.contextmanager
def arrow_errors(name):
    """Arrow's errors on a damaged report (invalid UTF-8, unreadable pages)
    as a one-line ReadError."""
    try:
        yield
    except (pa.ArrowException, OSError, UnicodeError) as exc:
        raise ReadError(f"{name}: cannot be read ({_one_line(exc)}); the file may be damaged or "
                        "truncated, export it again") from None


def numbers(array, name, column):
    """A float64 array of a column's values, NaN where empty."""
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if pa.types.is_dictionary(array.type):
        array = array.dictionary_decode()
    try:
        array = pc.cast(array, pa.float64())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as exc:
        found = re.search(r"'([^']*)'", str(exc))
        value = f" {found.group(1)!r}" if found else ""
        raise ReadError(f"{name}: column {column!r} holds{value}, which is not a number; a "
                        "q-value or quantity column holds numbers, with missing values left "
                        "empty", path=name, column=column,
                        value=found.group(1) if found else None) from None
    return array.to_numpy(zero_copy_only=False)


def parquet_header(path, name):
    """The column names and the row count of a parquet file."""
    try:
        report = pq.ParquetFile(path)
        return tuple(report.schema_arrow.names), report.metadata.num_rows
    except FileNotFoundError:
        raise ReadError(f"{name}: file not found; check the path") from None
    except IsADirectoryError:
        raise ReadError(f"{name}: is a directory; give a report file") from None
    except PermissionError:
        raise ReadError(f"{name}: no permission to read it") from None
    except (pa.ArrowException, OSError, UnicodeError) as exc:
        raise ReadError(f"{name}: is not a readable parquet file ({_one_line(exc)}); it may be "
                        "damaged or truncated, export it again") from None


def parquet_batches(path, name, texts, numbers_):
    """Record batches of the named columns, text ones dictionary-encoded."""
    try:
        schema = pq.ParquetFile(path).schema_arrow
        strings = [c for c in texts
                   if pa.types.is_string(schema.field(c).type)
                   or pa.types.is_large_string(schema.field(c).type)]
        report = pq.ParquetFile(path, read_dictionary=strings)
        yield from report.iter_batches(batch_size=BATCH_ROWS, columns=list(texts) + list(numbers_))
    except (pa.ArrowException, OSError, UnicodeError) as exc:
        raise ReadError(f"{name}: cannot be read as a parquet report ({_one_line(exc)}); it may "
                        "be damaged or truncated, export it again") from None


def text_batches(source, texts, numbers_, plain_texts=(), decimal="."):
    """Record batches of the named columns of a sniffed text table, through
    pyarrow's CSV reader; columns are named by their header text. Text columns
    are dictionary-encoded except `plain_texts` (joined into feature names)."""
    positions = {c: source.positions(c)[0] for c in list(texts) + list(numbers_)}
    names = [f"c{i}" for i in range(len(source.header))]
    types = {f"c{positions[c]}": (pa.string() if c in plain_texts else TEXT) for c in texts}
    types.update({f"c{positions[c]}": pa.float64() for c in numbers_})
    read = pa_csv.ReadOptions(column_names=names, skip_rows=source.skip, block_size=CSV_BLOCK,
                              encoding="utf-16" if source.encoding == "utf-16" else "utf8")
    parse = pa_csv.ParseOptions(delimiter=source.sep,
                                quote_char=False if source.sep == "\t" else '"')
    convert = pa_csv.ConvertOptions(include_columns=list(types), column_types=types,
                                    null_values=list(MISSING), strings_can_be_null=False,
                                    decimal_point=decimal)
    rename = {f"c{p}": c for c, p in positions.items()}
    try:
        reader = pa_csv.open_csv(source.path, read_options=read, parse_options=parse,
                                 convert_options=convert)
        for batch in reader:
            yield batch.rename_columns([rename[n] for n in batch.schema.names])
    except pa.ArrowInvalid as exc:
        raise _csv_error(source, exc, [positions[c] for c in numbers_], read, parse,
                         decimal) from None


def _csv_error(source, exc, number_positions, read, parse, decimal):
    message = _one_line(exc)
    if "conversion error to double" in message:
        _find_bad_number(source, number_positions, read, parse, decimal)
    if "invalid UTF8" in message or "UTF-8" in message:
        return ReadError(f"{source.name}: is not UTF-8 text; save the report as UTF-8")
    fields = re.search(r"Expected (\d+) columns, got (\d+): (.*)", message)
    if fields:
        width, got, line = fields.groups()
        return ReadError(f"{source.name}: a line has {got} fields where the header has {width} "
                         f"(it starts {line[:60]!r}); the file may be cut off or hold a "
                         f"{source.delimiter_name} inside a value")
    return ReadError(f"{source.name}: cannot be read ({message})")


def _find_bad_number(source, positions, read, parse, decimal):
    """Raises the ReadError that names the first cell of the number columns
    that is no number; runs only after a read has failed."""
    pattern = number_pattern(decimal)
    columns = [f"c{p}" for p in positions]
    convert = pa_csv.ConvertOptions(include_columns=columns,
                                    column_types=dict.fromkeys(columns, pa.string()),
                                    strings_can_be_null=False)
    row = 0
    for batch in pa_csv.open_csv(source.path, read_options=read, parse_options=parse,
                                 convert_options=convert):
        for name in columns:
            for k, cell in enumerate(batch.column(name).to_pylist()):
                if cell not in MISSING and not pattern.fullmatch(cell):
                    raise _not_a_number(source, int(name[1:]), row + k, cell, decimal)
        row += batch.num_rows


def _indices(array):
    """The indices of a dictionary array into its dictionary, -1 for null;
    a damaged file may hold indices out of range."""
    indices = array.indices
    if indices.null_count:
        indices = indices.fill_null(-1)
    indices = indices.to_numpy(zero_copy_only=False)
    if len(indices) and (indices.min() < -1 or indices.max() >= len(array.dictionary)):
        raise pa.ArrowInvalid("a dictionary index lies outside its dictionary")
    return indices


def strings(values):
    """A string array of Python values, None (and NaN) as null."""
    return pa.array(pd.Series(values, dtype=object).where(pd.notna(values), None).tolist(),
                    pa.string())


def _plain_text(array):
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if pa.types.is_dictionary(array.type):
        array = array.dictionary_decode()
    if pa.types.is_floating(array.type):
        # a charge read as a number: 2.0 -> "2"
        array = pc.cast(array, pa.int64())
    return pc.utf8_trim_whitespace(pc.cast(array, pa.string()).fill_null(""))


def joined(*arrays):
    """The texts of several columns joined row by row (sequence and charge)."""
    return pc.binary_join_element_wise(*(_plain_text(a) for a in arrays), "")


def evaluate(test, array, name):
    """A RowTest (precursor_layout) on one batch column: a boolean per row;
    a text test runs once per distinct text."""
    if test.on == "number":
        return np.asarray(test.test(numbers(array, name, test.column)), dtype=bool)
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if not pa.types.is_dictionary(array.type):
        array = pc.dictionary_encode(pc.cast(array, pa.string()))
    texts = pd.Series(array.dictionary.to_numpy(zero_copy_only=False), dtype=object)
    hits = np.append(np.asarray(test.test(texts), dtype=bool), False)
    return hits[_indices(array)]
