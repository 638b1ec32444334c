"""Opening a table file: what kind of file it is, its encoding, delimiter and
header, all from its first lines; then one pandas read of the columns a
reader asks for.

A text file is read in one pass: the first 64 KiB (more only when the header
line is longer) are decoded and split here, the last 64 KiB are checked for a
cut-off row, and the data rows go once through pandas' C parser, which
converts only the requested columns.
"""
import codecs
import csv
import io
import os
import re
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd

from .errors import Keyword, Phrase, ReadError

TEXT_SUFFIXES = (".csv", ".tsv", ".txt")
WORKBOOK_SUFFIXES = (".xlsx",)
DELIMITERS = {"\t": "tab", ";": "semicolon", ",": "comma"}
# Text that means "no value" in a numeric column, whatever program wrote it.
MISSING = ("", "NA", "N/A", "#N/A", "NaN", "nan", "-nan", "-NaN", "NULL", "null")

SNIFF_BYTES = 1 << 16
SNIFF_ROWS = 100
# A first line longer than this is no header: the file is not a table.
MAX_HEADER_BYTES = 1 << 24
ZIP_MAGIC = b"PK\x03\x04"
OLE_MAGIC = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"
BOMS = ((codecs.BOM_UTF8, "utf-8-sig"), (codecs.BOM_UTF16_LE, "utf-16"),
        (codecs.BOM_UTF16_BE, "utf-16"))


@dataclass(frozen=True)
class Source:
    """A table file, sniffed but not yet read."""

    path: Path
    name: str                          # the path as given, for messages
    kind: str                          # "text" or "workbook"
    header: tuple                      # column names, surrounding blanks removed
    rows: tuple                        # the first data rows as text, for sniffing
    skip: int                          # lines (sheet rows) before the first data row
    start: int = 0                     # where the data rows begin: a byte offset (UTF-16:
                                       # a character offset)
    encoding: str | None = None
    sep: str | None = None
    sheet: str | None = None

    def line(self, row):
        """The file's line (sheet row) number of data row `row` (from 0)."""
        return self.skip + 1 + int(row)

    def positions(self, column):
        return [i for i, name in enumerate(self.header) if name == column]

    @property
    def delimiter_name(self):
        return DELIMITERS.get(self.sep, "cell")


def open_source(path, sheet=None):
    """Sniffs `path`; refuses, with a one-line ReadError, what is not a table."""
    name = str(path)
    if "\x00" in name:
        raise ReadError(f"{name!r}: a file name cannot contain a NUL character", path=name)
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".xls":
        raise ReadError(f"{name}: old Excel .xls workbooks cannot be read; save it as "
                        ".xlsx, or as a .csv or .tsv table", path=name)
    if suffix not in TEXT_SUFFIXES + WORKBOOK_SUFFIXES:
        kind = f"{path.suffix} files" if path.suffix else "files without an extension"
        raise ReadError(f"{name}: cannot read {kind}; give a .csv, .tsv, .txt or .xlsx table",
                        path=name)
    try:
        handle = open(path, "rb")
    except FileNotFoundError:
        raise ReadError(f"{name}: file not found; check the path", path=name) from None
    except IsADirectoryError:
        raise ReadError(f"{name}: is a directory; give a table file", path=name) from None
    except PermissionError:
        raise ReadError(f"{name}: no permission to read it", path=name) from None
    except OSError as exc:
        raise ReadError(f"{name}: cannot be opened ({exc.strerror})", path=name) from None
    with handle:
        start = handle.read(SNIFF_BYTES)
        if not start:
            raise ReadError(f"{name}: is empty; give a table with a header row", path=name)
        if suffix in WORKBOOK_SUFFIXES:
            if not start.startswith(ZIP_MAGIC):
                what = "an old-style .xls workbook" if start.startswith(OLE_MAGIC) else \
                    "not an .xlsx workbook (it does not start as one)"
                raise ReadError(f"{name}: is {what}; save it from the spreadsheet program "
                                "as .xlsx, or name a text table .csv or .tsv", path=name)
        else:
            if sheet is not None:
                raise ReadError(Phrase(f"{name}: sheet applies to .xlsx workbooks, and this "
                                       "is a text table; leave ", Keyword("sheet"), " out"),
                                path=name, value=sheet, parameter="sheet")
            if start.startswith(ZIP_MAGIC):
                raise ReadError(f"{name}: is a zip archive or an Excel workbook, not a text "
                                "table; name a workbook .xlsx", path=name)
            if start.startswith(OLE_MAGIC):
                raise ReadError(f"{name}: is an old Excel .xls workbook, not a text table; "
                                "save it as .xlsx, .csv or .tsv", path=name)
            return _sniff_text(path, name, handle, start)
    return _sniff_workbook(path, name, sheet)


def _sniff_text(path, name, handle, data):
    encoding = "utf-8"
    for bom, codec in BOMS:
        if data.startswith(bom):
            encoding = codec
            break
    size = os.fstat(handle.fileno()).st_size
    # Read on until a complete first line (or the end of the file) is in hand.
    while True:
        at_end = len(data) >= size
        text = _decode(data, encoding, at_end, name)
        if at_end or re.search(r"[^\r\n][\r\n]", text):
            break
        if len(data) >= MAX_HEADER_BYTES:
            raise ReadError(f"{name}: no line end in its first {MAX_HEADER_BYTES >> 20} MiB; "
                            "this is not a table with a header line", path=name)
        more = handle.read(len(data))
        if not more:  # the file shrank while being read
            size = len(data)
        data += more
    if not at_end:
        # the last line of the block may be cut short; pandas reads it in full
        text = text[:max(text.rfind("\n"), text.rfind("\r")) + 1]

    sep = _sniff_delimiter(text, name)
    records, ends = _records(text, sep)
    leading = 0
    while leading < len(records) and not any(field.strip() for field in records[leading]):
        leading += 1
    if leading == len(records):
        raise ReadError(f"{name}: is empty (blank lines only); give a table with a header row",
                        path=name)
    header = tuple(field.strip() for field in records[leading])
    body = tuple(tuple(r) for r in records[leading + 1:] if r)
    chars, lines = ends[leading]
    if encoding == "utf-16":
        start = chars
    else:
        start = len(text[:chars].encode("utf-8")) + (3 if encoding == "utf-8-sig" else 0)
    _check_tail(name, handle, size, encoding, sep, len(header))
    return Source(path=path, name=name, kind="text", header=header, rows=body, skip=lines,
                  start=start, encoding=encoding, sep=sep)


def _decode(data, encoding, final, name):
    """The text of `data`; a character cut at the end of the block is left out."""
    if encoding != "utf-16" and b"\x00" in data:
        line = data.count(b"\n", 0, data.index(b"\x00")) + 1
        raise ReadError(f"{name}: holds NUL bytes (line {line}): a binary or damaged file, "
                        "not a text table", path=name, row=line)
    decoder = codecs.getincrementaldecoder(encoding)(errors="strict")
    try:
        return decoder.decode(data, final=final)
    except UnicodeDecodeError as exc:
        raise _encoding_error(name, encoding, data, exc) from None


def _encoding_error(name, encoding, data=None, exc=None):
    if encoding == "utf-16":
        return ReadError(f"{name}: starts with a UTF-16 mark but is not valid UTF-16 text; "
                         "save the table again as UTF-8", path=name)
    where, line = "", None
    if data is not None and exc is not None:
        line = data.count(b"\n", 0, exc.start) + 1
        where = f" (line {line} has the byte 0x{data[exc.start]:02X})"
    return ReadError(f"{name}: is not UTF-8 text{where}, e.g. Latin-1 or Windows text; save "
                     "the table as UTF-8 (in Excel: CSV UTF-8)", path=name, row=line)


def _sniff_delimiter(text, name):
    """The delimiter that splits the first lines into the most regular table.

    A candidate must give the header at least two fields; then the fewest data
    rows longer than the header win (a comma inside a description makes a row
    longer), then the most rows exactly as long as the header (MaxQuant leaves
    trailing empty fields out, so shorter rows are allowed), then the most
    header fields.
    """
    best, best_score = None, None
    for sep in DELIMITERS:
        records, _ = _records(text, sep)
        first = next((r for r in records if any(f.strip() for f in r)), None)
        if first is None:
            return sep
        width = len(first)
        if width < 2:
            continue
        body = [r for r in records[records.index(first) + 1:] if r]
        longer = sum(len(r) > width and any(f.strip() for f in r[width:]) for r in body)
        exact = sum(len(r) == width for r in body)
        score = (-longer, exact, width)
        if best_score is None or score > best_score:
            best, best_score = sep, score
    if best is None:
        raise ReadError(f"{name}: its first line has no tab, semicolon or comma; a table "
                        "needs an identifier column and sample columns under a header row",
                        path=name)
    return best


def _records(text, sep):
    """The first records of `text`, and after each the characters and lines
    read so far (a quoted value may span lines)."""
    consumed = [0, 0]

    def lines():
        for line in io.StringIO(text, newline=""):
            consumed[0] += len(line)
            consumed[1] += 1
            yield line

    records, ends = [], []
    try:
        for record in csv.reader(lines(), delimiter=sep):
            records.append(record)
            ends.append(tuple(consumed))
            if len(records) > SNIFF_ROWS + 20:
                break
    except csv.Error:
        pass  # an open quote at the end of the block; the pandas read judges it
    return records, ends


def _check_tail(name, handle, size, encoding, sep, width):
    """Refuses a file whose last row stops short with no line end: a cut-off copy."""
    start = max(0, size - SNIFF_BYTES)
    if encoding == "utf-16":
        start -= start % 2
    handle.seek(start)
    tail = handle.read()
    if encoding != "utf-16" and b"\x00" in tail:
        raise ReadError(f"{name}: holds NUL bytes near its end: a damaged file (e.g. an "
                        "interrupted copy), not a text table", path=name)
    text = tail.decode(encoding if encoding == "utf-16" else "utf-8", errors="replace")
    if not text or text.endswith(("\n", "\r")):
        return
    last = text[max(text.rfind("\n"), text.rfind("\r")) + 1:]
    try:
        fields = next(csv.reader([last], delimiter=sep), [])
    except csv.Error:
        fields = []
    if start > 0 or text.count("\n") + text.count("\r") > 0:
        if len(fields) < width:
            raise ReadError(f"{name}: its last line stops after {len(fields)} of {width} "
                            "fields with no line end; the file looks truncated, copy or "
                            "export it again", path=name)


def _sniff_workbook(path, name, sheet):
    import openpyxl

    try:
        book = openpyxl.load_workbook(path, read_only=True, data_only=True)
    except Exception as exc:  # noqa: BLE001 - zip, XML and openpyxl errors alike
        raise ReadError(f"{name}: is not a readable .xlsx workbook ({_one_line(exc)}); it "
                        "may be damaged or truncated, save it again", path=name) from None
    try:
        sheets = book.sheetnames
        if sheet is None:
            if len(sheets) > 1:
                raise ReadError(Phrase(f"{name}: the workbook has {len(sheets)} sheets "
                                       f"({', '.join(map(repr, sheets))}); choose one with ",
                                       Keyword("sheet")), path=name, parameter="sheet")
            sheet = sheets[0]
        elif sheet not in sheets:
            raise ReadError(f"{name}: has no sheet {sheet!r}; its sheets are "
                            f"{', '.join(map(repr, sheets))}", path=name, value=sheet,
                            parameter="sheet")
        records = []
        for values in book[sheet].iter_rows(values_only=True):
            records.append(["" if v is None else str(v) for v in values])
            if len(records) > SNIFF_ROWS + 20:
                break
    except ReadError:
        raise
    except Exception as exc:  # noqa: BLE001
        raise ReadError(f"{name}: is not a readable .xlsx workbook ({_one_line(exc)}); it "
                        "may be damaged or truncated, save it again", path=name) from None
    finally:
        book.close()
    leading = 0
    while leading < len(records) and not any(v.strip() for v in records[leading]):
        leading += 1
    if leading == len(records):
        raise ReadError(f"{name}: sheet {sheet!r} is empty; give a table with a header row",
                        path=name, value=sheet, parameter="sheet")
    header = [v.strip() for v in records[leading]]
    while header and not header[-1]:
        header.pop()
    return Source(path=path, name=name, kind="workbook", header=tuple(header),
                  rows=tuple(tuple(r) for r in records[leading + 1:]), skip=leading + 1,
                  sheet=sheet)


def _one_line(exc):
    return " ".join(str(exc).split()) or type(exc).__name__


def number_pattern(decimal):
    mark = re.escape(decimal)
    return re.compile(rf"\s*[+-]?(?:\d+(?:{mark}\d*)?|{mark}\d+)(?:[eE][+-]?\d+)?\s*"
                      r"|\s*[+-]?(?:inf|Inf|INF|infinity|Infinity)\s*")


def sniff_decimal(source, positions):
    """The decimal mark of the numbers in the first rows of the given columns.

    A comma is taken as the decimal mark only when a cell cannot be read any
    other way: one comma followed by other than three digits. Three digits
    ('123,456') could as well be a thousands separator, so that is refused
    unless the mark is named; so are two kinds of mark in the same columns.
    """
    cells = [row[p].strip() for row in source.rows for p in positions if p < len(row)]
    commas = [c for c in cells if re.fullmatch(r"[+-]?\d*,\d+(?:[eE][+-]?\d+)?", c)]
    if not commas:
        return "."
    points = [c for c in cells if re.fullmatch(r"[+-]?\d*\.\d+(?:[eE][+-]?\d+)?", c)]
    if points:
        raise ReadError(Phrase(f"{source.name}: its sample columns mix decimal commas "
                               f"({commas[0]!r}) and decimal points ({points[0]!r}); give ",
                               Keyword("decimal"), " '.' or ',' and correct the other cells"),
                        path=source.name, value=points[0], parameter="decimal")
    if all(re.fullmatch(r"[+-]?\d{1,3},\d{3}", c) for c in commas):
        raise ReadError(Phrase(f"{source.name}: {commas[0]!r} could hold a decimal comma or "
                               "a thousands separator; give ", Keyword("decimal"), " ',' if "
                               "commas are decimal marks, or save the numbers without "
                               "separators"),
                        path=source.name, value=commas[0], parameter="decimal")
    return ","


def read_columns(source, numbers, texts, decimal=".", missing=MISSING):
    """One read of the columns at `numbers` (float64) and `texts` (text).

    Returns a frame whose columns are the header positions. In number columns
    the `missing` texts become NaN; in text columns (object dtype: the caller
    converts what it keeps) an empty cell does.
    """
    numbers, texts = sorted(set(numbers)), sorted(set(texts) - set(numbers))
    if source.kind == "workbook":
        return _read_workbook(source, numbers, texts, decimal, missing)
    width = len(source.header)
    spare = str(width)  # filled only by a row with more fields than the header
    dtype = {str(p): "float64" for p in numbers} | {str(p): object for p in texts}
    dtype[spare] = object
    na = {str(p): list(missing) for p in numbers} | {str(p): [""] for p in texts + [width]}
    try:
        with _data_rows(source) as stream:
            frame = pd.read_csv(stream, sep=source.sep, header=0, usecols=list(dtype),
                                dtype=dtype, na_values=na, keep_default_na=False,
                                decimal=decimal, index_col=False, engine="c",
                                encoding="utf-8" if source.encoding != "utf-16" else None)
    except UnicodeError:
        raise _encoding_error(source.name, source.encoding) from None
    except pd.errors.ParserError as exc:
        hint = "a quote character that is never closed?" if "EOF inside string" in str(exc) \
            else "check the delimiters and quotes"
        raise ReadError(f"{source.name}: cannot be split into {source.delimiter_name}-"
                        f"separated fields ({_one_line(exc)}); {hint}", path=source.name) from None
    except ValueError as exc:
        if numbers and ("convert" in str(exc) or "parse" in str(exc)):
            _find_bad_number(source, numbers, decimal, missing)
        raise ReadError(f"{source.name}: cannot be read ({_one_line(exc)})",
                        path=source.name) from None
    long = frame[spare].notna().to_numpy()
    if long.any():
        row = int(np.flatnonzero(long)[0])
        raise ReadError(f"{source.name}: line {source.line(row)} has more fields than the "
                        f"header's {width} (a {source.delimiter_name} inside a value?); quote "
                        "such values or remove the extra fields", path=source.name,
                        row=source.line(row))
    frame = frame.drop(columns=spare)
    frame.columns = [int(c) for c in frame.columns]
    return frame


class _Chained(io.RawIOBase):
    """A byte stream: `prefix`, then what is left of `handle`."""

    def __init__(self, prefix, handle):
        self._prefix = prefix
        self._handle = handle

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._prefix:
            n = min(len(buffer), len(self._prefix))
            buffer[:n] = self._prefix[:n]
            self._prefix = self._prefix[n:]
            return n
        return self._handle.readinto(buffer)

    def close(self):
        self._handle.close()
        super().close()


def _data_rows(source):
    """The file's data rows behind a header of position numbers, one longer than
    the real one: pandas then has a column for a row's surplus field, and the
    real names (duplicated or not) play no part in parsing."""
    names = source.sep.join(str(p) for p in range(len(source.header) + 1)) + "\n"
    if source.encoding == "utf-16":
        handle = open(source.path, "r", encoding="utf-16", newline="")
        handle.read(source.start)
        return _TextChained(names, handle)
    handle = open(source.path, "rb", buffering=0)
    handle.seek(source.start)
    return io.BufferedReader(_Chained(names.encode(), handle), 1 << 18)


class _TextChained(io.TextIOBase):
    """The text counterpart of _Chained, for UTF-16 files."""

    def __init__(self, prefix, handle):
        self._prefix = prefix
        self._handle = handle

    def readable(self):
        return True

    def read(self, size=-1):
        if self._prefix:
            size = len(self._prefix) if size is None or size < 0 else size
            part, self._prefix = self._prefix[:size], self._prefix[size:]
            return part
        return self._handle.read(size)

    def close(self):
        self._handle.close()
        super().close()


def _find_bad_number(source, numbers, decimal, missing):
    """Raises a ReadError naming the first cell of a number column that is no
    number. Streams the file in chunks; runs only when the read has failed."""
    pattern = number_pattern(decimal)
    columns = [str(p) for p in numbers]
    with _data_rows(source) as stream:
        chunks = pd.read_csv(stream, sep=source.sep, header=0, usecols=columns,
                             dtype=dict.fromkeys(columns, "str"), keep_default_na=False,
                             index_col=False, engine="c", chunksize=100_000,
                             encoding="utf-8" if source.encoding != "utf-16" else None)
        for chunk in chunks:
            for column in columns:
                cells = chunk[column].astype(object)
                bad = ~(cells.isin(missing) | cells.str.fullmatch(pattern).fillna(False))
                if bad.any():
                    row = bad.idxmax()
                    raise _not_a_number(source, int(column), row, cells[row], decimal)


def _not_a_number(source, position, row, value, decimal):
    column, parameter = source.header[position], "decimal"
    if decimal == "." and re.fullmatch(r"\s*[+-]?\d*,\d+(?:[eE][+-]?\d+)?\s*", value):
        hint = ("it has a decimal comma: give ", Keyword("decimal"), " ','")
    elif decimal == "," and re.fullmatch(r"\s*[+-]?\d*\.\d+(?:[eE][+-]?\d+)?\s*", value):
        hint = ("it has a decimal point, but decimal ',' is in use",)
    else:
        hint = ("a sample column holds numbers, with missing values left empty or written "
                "NaN",)
        parameter = None
    return ReadError(Phrase(f"{source.name}: column {column!r} holds {value!r} on line "
                            f"{source.line(row)}, which is not a number; ", *hint),
                     path=source.name, column=column, row=source.line(row), value=value,
                     parameter=parameter)


def _read_workbook(source, numbers, texts, decimal, missing):
    try:
        frame = pd.read_excel(source.path, sheet_name=source.sheet, header=None,
                              skiprows=source.skip, usecols=numbers + texts, dtype=object,
                              keep_default_na=False, na_values=[""], engine="openpyxl")
    except Exception as exc:  # noqa: BLE001 - zip, XML and openpyxl errors alike
        raise ReadError(f"{source.name}: is not a readable .xlsx workbook "
                        f"({_one_line(exc)}); it may be damaged, save it again",
                        path=source.name) from None
    for p in numbers + texts:
        if p not in frame.columns:  # the sheet holds no cell at all in this column
            frame[p] = np.nan
    pattern = number_pattern(decimal)
    out = {}
    for p in numbers:
        cells = frame[p]
        out[p] = _workbook_numbers(source, p, cells, pattern, decimal, missing)
    for p in texts:
        out[p] = pd.Series([v if isinstance(v, str) or v is None or v != v else str(v)
                            for v in frame[p]], dtype=object)
    return pd.DataFrame(out, columns=sorted(out))


def _workbook_numbers(source, position, cells, pattern, decimal, missing):
    values = np.full(len(cells), np.nan)
    for row, v in enumerate(cells):
        if isinstance(v, bool):
            raise _not_a_number(source, position, row, str(v), decimal)
        if isinstance(v, (int, float, np.integer, np.floating)):
            values[row] = v
        elif v is None or (isinstance(v, str) and v.strip() in missing):
            continue
        elif isinstance(v, str) and pattern.fullmatch(v):
            values[row] = float(v.strip().replace(decimal, "."))
        else:
            raise _not_a_number(source, position, row, str(v), decimal)
    return values
