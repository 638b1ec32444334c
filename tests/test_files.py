"""Damaged and extreme input files: the compiled reader and pipeline raise
what the twin raises (or return the same table), never crash or hang."""
import faulthandler
import io
import zipfile

import pandas as pd
import pytest

import twin_preprocess
from conftest import outcome
from tessera.tools import preprocess as tp

STEPS = {"remove_decoy": "REV__", "noise_filter": 1, "log_transform": 2,
         "remove_missing_values": 50, "normalize": "log_median_0"}


@pytest.fixture(autouse=True)
def watchdog():
    """A reader that hangs ends the run with tracebacks instead of stalling CI."""
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def table_text(sep=",", rows=4, cols=3):
    lines = [sep.join(["INDEX"] + [f"s{j}" for j in range(cols)])]
    for i in range(rows):
        lines.append(sep.join([("REV__" if i % 5 == 0 else "") + f"P{i}"] +
                              [str(1000.0 * (i + j + 1)) for j in range(cols)]))
    return "\n".join(lines) + "\n"


def xlsx_bytes(df):
    buffer = io.BytesIO()
    df.to_excel(buffer, index=False)
    return buffer.getvalue()


GOOD_XLSX = xlsx_bytes(pd.read_csv(io.StringIO(table_text())))


def broken_zip():
    """A zip archive that is not a workbook."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as z:
        z.writestr("hello.txt", "not a workbook")
    return buffer.getvalue()


CONTENTS = {
    "empty": b"",
    "header only": table_text(rows=0).encode(),
    "newline only": b"\n\n",
    "truncated row": table_text().encode()[:-9],
    "open quote": b'INDEX,s0\n"P1,1\nP2,2\n',
    "ragged rows": b"INDEX,s0\nP1,1,2,3\nP2\n",
    "binary": bytes(range(256)) * 8,
    "nul bytes": b"INDEX,s0\nP1\x00,1\n",
    "latin-1": "INDEX,s0\nProt\xe9ine,1\n".encode("latin-1"),
    "utf-16": table_text().encode("utf-16"),
    "utf-8 bom": b"\xef\xbb\xbf" + table_text().encode(),
    "no index column": b"a,b\n1,2\n",
    "duplicate headers": b"INDEX,s0,s0\nP1,1,2\n",
    "wide": table_text(rows=3, cols=4000).encode(),
    "long": table_text(rows=200000, cols=3).encode(),
    "xlsx truncated": GOOD_XLSX[: len(GOOD_XLSX) // 2],
    "xlsx not a workbook": broken_zip(),
    "xlsx good": GOOD_XLSX,
}


@pytest.mark.parametrize("extension", [".csv", ".tsv", ".xlsx"])
@pytest.mark.parametrize("kind", CONTENTS)
def test_damaged_files_fail_as_the_reader_fails(tmp_path, capsys, kind, extension):
    data = CONTENTS[kind]
    if extension == ".tsv" and not kind.startswith("xlsx"):
        data = data.replace(b",", b"\t")
    path = str(tmp_path / f"table{extension}")
    with open(path, "wb") as f:
        f.write(data)
    for param in ({}, dict(STEPS)):
        for name in ("import_data_by_file_name", "preprocess"):
            result = outcome(getattr(tp, name), path, param)
            printed = capsys.readouterr().out
            expected = outcome(getattr(twin_preprocess, name), path, param)
            assert printed == capsys.readouterr().out
            if isinstance(expected, Exception):
                assert type(result) is type(expected), (result, expected)
            else:
                pd.testing.assert_frame_equal(result, expected, check_exact=True)


def test_unreadable_paths(tmp_path):
    directory = tmp_path / "dir.csv"
    directory.mkdir()
    for path in (str(directory), str(tmp_path / "absent.tsv"), str(tmp_path / "absent.xlsx"),
                 "bad\x00name.csv"):
        result = outcome(tp.import_data_by_file_name, path, {})
        expected = outcome(twin_preprocess.import_data_by_file_name, path, {})
        assert type(result) is type(expected) and isinstance(expected, Exception), path


def test_extreme_values_in_a_file(tmp_path):
    path = tmp_path / "t.csv"
    values = ["1e308", "-1e308", "5e-324", "inf", "-inf", "nan", "0", "-0", "1e999", "9" * 400]
    path.write_text("INDEX,s0,s1\n" + "".join(f"P{i},{v},{values[-1 - i]}\n" for i, v in enumerate(values)))
    for param in ({}, dict(STEPS), {"noise_filter": 10**30, "log_transform": 10**30}):
        result = outcome(tp.preprocess, str(path), param)
        expected = outcome(twin_preprocess.preprocess, str(path), param)
        if isinstance(expected, Exception):
            assert type(result) is type(expected)
        else:
            pd.testing.assert_frame_equal(result, expected, check_exact=True)
