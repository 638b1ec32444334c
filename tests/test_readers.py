"""tessera.readers: the engines' protein tables recognised from their header,
real files checked against a plain pandas read, the same numbers written in
every format read back identically, and every refusal."""
import re

import numpy as np
import pandas as pd
import pytest

from tessera import readers
from tessera.readers import ReadError, UnknownFormat, read_design, read_table

pytestmark = pytest.mark.python_only  # the readers are pure Python

MQ_FLAGS = ("Reverse", "Potential contaminant", "Only identified by site")


def plain_maxquant(path, prefix):
    raw = pd.read_csv(path, sep="\t", low_memory=False)
    flagged = np.logical_or.reduce([raw[f].eq("+") for f in MQ_FLAGS])
    cols = [c for c in raw.columns if c.startswith(prefix)]
    kept = raw[~flagged]
    values = kept[cols].astype(float).replace(0, np.nan)
    values.columns = [c[len(prefix):] for c in cols]
    return values.set_axis(kept["Protein IDs"])


def plain_diann(path):
    raw = pd.read_csv(path, sep="\t")
    members = raw["Protein.Group"].str.split(";")
    kept = raw[~members.map(lambda ms: all(m.startswith("Cont_") for m in ms))]
    values = kept.iloc[:, 5:].astype(float)
    values.columns = [re.split(r"[\\/]", c)[-1].rsplit(".", 1)[0] for c in values.columns]
    return values.set_axis(kept["Protein.Group"])


def plain_fragpipe(path, suffix=" MaxLFQ Intensity"):
    raw = pd.read_csv(path, sep="\t")
    kept = raw[~raw["Protein"].str.startswith("contam_")]
    cols = [c for c in raw.columns if c.endswith(suffix) and
            (suffix != " Intensity" or not c.endswith("MaxLFQ Intensity"))]
    values = kept[cols].replace(0, np.nan)
    values.columns = [c[: -len(suffix)] for c in cols]
    return values.set_axis(kept["Protein"])


def plain_spectronaut(path):
    raw = pd.read_csv(path, na_values=["Filtered"])
    values = raw.iloc[:, 2:].astype(float)
    values.columns = [re.sub(r"^\[\d+\] (.*)\.raw\.PG\.Quantity$", r"\1", c)
                      for c in values.columns]
    return values.set_axis(raw["PG.ProteinGroups"])


# file, format, quantity, rows read, rows removed per flag, label column, plain pandas route
REAL = [
    ("cd34_lfq_proteinGroups.tsv", "MaxQuant proteinGroups", "LFQ intensity", 1459,
     dict(zip(MQ_FLAGS, (17, 49, 21))), "Gene names",
     lambda p: plain_maxquant(p, "LFQ intensity ")),
    ("acut_lfq_proteinGroups.tsv", "MaxQuant proteinGroups", "LFQ intensity", 882,
     dict(zip(MQ_FLAGS, (12, 31, 72))), None, lambda p: plain_maxquant(p, "LFQ intensity ")),
    ("engines/protpipe_hrec_diann_pg_matrix.tsv", "DIA-NN pg_matrix", "PG.MaxLFQ", 7398,
     {"Contaminant": 0}, "Genes", plain_diann),
    ("engines/dvp_heart_diann_pg_matrix.tsv", "DIA-NN pg_matrix", "PG.MaxLFQ", 3858,
     {"Contaminant": 59}, "Genes", plain_diann),
    ("engines/idh_fragpipe_combined_protein.tsv", "FragPipe combined_protein",
     "MaxLFQ Intensity", 7687, {"Contaminant": 5, "Decoy": 0}, "Gene", plain_fragpipe),
    ("engines/unc13a_spectronaut_pg_quantity.csv", "Spectronaut protein pivot", "PG.Quantity",
     3297, {}, "PG.Genes", plain_spectronaut),
]


@pytest.mark.parametrize("name, fmt, quantity, rows_read, removed, label, plain", REAL,
                         ids=[r[0].split("/")[-1].split("_")[0] for r in REAL])
def test_real_tables_match_a_plain_pandas_read(data, name, fmt, quantity, rows_read, removed,
                                               label, plain):
    table = read_table(data / name)
    assert (table.format, table.quantity, table.rows_read) == (fmt, quantity, rows_read)
    assert table.removed == removed and table.label_column == label
    expected = plain(data / name)
    pd.testing.assert_frame_equal(table.values, expected, check_names=False,
                                  check_column_type=False, check_index_type=False)
    assert table.values.index.is_unique and table.annotations.index.equals(table.values.index)
    assert (table.values.dtypes == "float64").all() and not (table.values == 0).any().any()
    assert set(table.columns) == set(table.samples)
    # the cells not measured are counted over every row read, flagged or not
    every_row = read_table(data / name, keep_flagged=True).values
    assert table.not_measured == every_row.isna().to_numpy().sum() > 0


def test_real_table_details(data):
    cd34 = read_table(data / "cd34_lfq_proteinGroups.tsv")
    # three decoys are also 'only identified by site': each flag counts them
    assert (cd34.rows_removed, sum(cd34.removed.values())) == (84, 87)
    assert cd34.samples == [f"{g}{i}" for g in "HLN" for i in range(1, 6)]
    assert list(cd34.annotations.columns) == ["Majority protein IDs", "Protein names",
                                              "Gene names", "Fasta headers"]
    assert read_table(data / "cd34_lfq_proteinGroups.tsv", keep_flagged=True).removed == {}
    acut = read_table(data / "acut_lfq_proteinGroups.tsv", quantity="ibaq")
    assert (acut.quantity, acut.quantities) == ("iBAQ", ("LFQ intensity", "Intensity", "iBAQ"))
    assert acut.columns["AC386_b"] == "iBAQ AC386_b" and acut.rows_removed == 109

    dvp = read_table(data / "engines/dvp_heart_diann_pg_matrix.tsv")
    assert dvp.samples[-1] == "Olive_20230522_JoN_Hstdia_P10E01_remote_region_4_E6_1_2046"
    # groups that only share a member with a contaminant stay
    assert dvp.values.index.str.contains("Cont_").sum() == 115
    hrec = read_table(data / "engines/protpipe_hrec_diann_pg_matrix.tsv")
    assert hrec.samples[:3] == ["HREC_P_3", "HREC_ETIS_1", "HREC_P_1"]

    frag = read_table(data / "engines/idh_fragpipe_combined_protein.tsv", quantity="Intensity")
    assert frag.columns["IDHwt_3"] == "IDHwt_3 Intensity"
    pd.testing.assert_frame_equal(
        frag.values, plain_fragpipe(data / "engines/idh_fragpipe_combined_protein.tsv",
                                    " Intensity"), check_names=False, check_column_type=False,
        check_index_type=False)
    spec = read_table(data / "engines/unc13a_spectronaut_pg_quantity.csv")
    assert spec.values.loc[["Q14690", "Q6AI08"]].isna().all().all()
    assert spec.values.isna().sum().sum() == 1637 + 6054


def test_one_pandas_read_per_file(data, monkeypatch):
    calls = []
    real = pd.read_csv
    monkeypatch.setattr(pd, "read_csv", lambda *a, **k: calls.append(k) or real(*a, **k))
    read_table(data / "cd34_lfq_proteinGroups.tsv")
    assert len(calls) == 1 and len(calls[0]["usecols"]) == 15 + 5 + 3 + 1


# The same proteins in every format: P4 is a decoy and P5 a contaminant where
# the format marks them. NaN is written as each format writes "not measured".
IDS = ["P1", "P2", "P3", "P4", "P5"]
GENES = ["G1", "", "G3", "G4", "G5"]
VALUES = np.array([[1.5e6, np.nan, 3.25e7], [2.0, 4.75e-1, np.nan],
                   [1234567.125, 8.0, 9.5], [1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
SAMPLES = ["S1", "S2", "S3"]


def cells(missing, fmt=repr):
    return [[missing if np.isnan(v) else fmt(float(v)) for v in row] for row in VALUES]


def write(path, header, rows, sep="\t"):
    path.write_text(sep.join(header) + "\r\n" + "".join(sep.join(r) + "\r\n" for r in rows))
    return path


def maxquant(tmp):
    header = ["Protein IDs", "Majority protein IDs", "Gene names", "Reverse",
              "Potential contaminant"] + [f"LFQ intensity {s}" for s in SAMPLES]
    flags = [["", ""], ["", ""], ["", ""], ["+", ""], ["", "+"]]
    return write(tmp / "proteinGroups.TXT", header,
                 [[i, i, g, *f, *v] for i, g, f, v in zip(IDS, GENES, flags, cells("0"))])


def diann(tmp):
    header = ["Protein.Group", "Protein.Ids", "Protein.Names", "Genes",
              "First.Protein.Description"] + [f"D:\\runs\\2024\\{s}.raw" for s in SAMPLES]
    rows = [[i, i, "", g, "", *v] for i, g, v in zip(IDS, GENES, cells(""))]
    rows[4][0] = "Cont_P5"  # DIA-NN writes no decoys
    return write(tmp / "report.pg_matrix.tsv", header, rows[:3] + rows[4:])


def fragpipe(tmp):
    header = ["Protein", "Protein ID", "Entry Name", "Gene"] + \
        [f"{s} {q}" for q in ("Intensity", "MaxLFQ Intensity") for s in SAMPLES]
    ids = IDS[:3] + ["rev_P4", "contam_P5"]
    java = [[v.replace("e+", "E").replace("e-", "E-") for v in r] for r in cells("0.0")]
    return write(tmp / "combined_protein.tsv", header,
                 [[i, i, i, g, "0.0", "7.0", "0.0", *v] for i, g, v in zip(ids, GENES, java)])


def spectronaut(tmp, ext=".csv"):
    header = ["PG.ProteinGroups", "PG.Genes"] + \
        [f"[{n}] {s}.raw.PG.Quantity" for n, s in enumerate(SAMPLES, 1)]
    rows = [[i, g, *v] for i, g, v in zip(IDS[:3], GENES, cells("Filtered"))]
    if ext == ".xlsx":
        path = tmp / "pivot.xlsx"
        pd.DataFrame(rows, columns=header).to_excel(path, index=False)
        return path
    return write(tmp / f"pivot{ext}", header, rows, sep=",")


def wide_decimal_comma(tmp):
    comma = cells("", lambda v: repr(v).replace(".", ","))
    rows = [[i, g, *v] for i, g, v in zip(IDS[:3], GENES, comma)]
    return write(tmp / "wide.csv", ["id", "Gene names", *SAMPLES], rows, sep=";")


def wide_xlsx(tmp):
    path = tmp / "wide.XLSX"
    frame = pd.DataFrame(VALUES[:3], columns=[f"{s} area" for s in SAMPLES])
    frame.insert(0, "Gene names", GENES[:3])
    frame.insert(0, "id", IDS[:3])
    frame.to_excel(path, index=False)
    return path


SAME_NUMBERS = [
    (maxquant, {}), (diann, {}), (fragpipe, {}), (spectronaut, {}),
    (lambda t: spectronaut(t, ".xlsx"), {}),
    (wide_decimal_comma, {"samples": SAMPLES}),
    (wide_decimal_comma, {"samples": "S*", "decimal": ","}),
    (wide_decimal_comma, {"samples": ["S[12]", "S3"]}),
    (wide_xlsx, {"samples": "* area", "label_column": "Gene names"}),
]


@pytest.mark.parametrize("writer, options", SAME_NUMBERS)
def test_same_numbers_from_every_format(tmp_path, writer, options):
    table = read_table(writer(tmp_path), **options)
    expected = pd.DataFrame(VALUES[:3], index=IDS[:3], columns=SAMPLES)
    pd.testing.assert_frame_equal(table.values, expected, check_names=False,
                                  check_column_type=False, check_index_type=False)
    assert table.labels.tolist() == ["G1", np.nan, "G3"]
    assert table.rows_removed == table.rows_read - 3


@pytest.mark.parametrize("samples, quantity, expected", [
    (["S3", "S1"], None, {"S3": "S3 MaxLFQ Intensity", "S1": "S1 MaxLFQ Intensity"}),
    ("S[12] Intensity", None, {"S1": "S1 Intensity", "S2": "S2 Intensity"}),
    ("*", "intensity", {s: f"{s} Intensity" for s in SAMPLES}),
])
def test_samples_choose_by_name_or_header(tmp_path, samples, quantity, expected):
    table = read_table(fragpipe(tmp_path), samples=samples, quantity=quantity)
    assert table.columns == expected


@pytest.mark.parametrize("header, samples, names", [
    (["id", "LFQ intensity A", "LFQ intensity B"], "LFQ intensity *", ["A", "B"]),
    (["id", "S1 area", "S2 area", "note"], "* area", ["S1", "S2"]),
    (["id", "treat_1", "treat_2", "ctrl_1"], ["treat_*", "ctrl_*"],
     ["treat_1", "treat_2", "ctrl_1"]),
    (["id", "A x", "B x", "A y"], ["* x", "* y"], ["A x", "B x", "A y"]),  # cut names collide
    (["S1", "id", "S2"], "S?", ["S1", "S2"]),
])
def test_wide_sample_names(tmp_path, header, samples, names):
    path = write(tmp_path / "t.tsv", header, [[str(i) for i in range(len(header))]])
    table = read_table(path, samples=samples)
    assert table.samples == names and table.values.index.name == "id"


@pytest.mark.parametrize("text, options, expected", [
    ("id,desc,a\nP1,\"kinase C, alpha\",1\n", {"samples": "a"}, 1.0),
    ("id\ta\nP1\t1,5\n", {"samples": "a"}, 1.5),
    ("id\ta\nP1\t2.5\n", {"samples": "a", "decimal": "."}, 2.5),
    ("id;a\nP1;123,456\n", {"samples": "a", "decimal": ","}, 123.456),
    ("\n\nid\ta\nP1\t-inf\n\n", {"samples": "a"}, -np.inf),
    ("id,a\rP1,7\r", {"samples": "a"}, 7.0),
    ('id,"a\nb"\nP1,8\n', {"samples": "a\nb"}, 8.0),
])
def test_text_variants(tmp_path, text, options, expected):
    path = tmp_path / "t.txt"
    path.write_text(text)
    assert read_table(path, **options).values.iloc[0, -1] == expected


@pytest.mark.parametrize("encoding", ["utf-8-sig", "utf-16"])
def test_encodings_with_a_byte_order_mark(tmp_path, encoding):
    path = tmp_path / "t.tsv"
    path.write_text("id\tÅ\nPé\t1\n", encoding=encoding)
    assert read_table(path, samples="Å").values.to_dict() == {"Å": {"Pé": 1.0}}


def write_bytes(name, content):
    def make(tmp):
        path = tmp / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        return path
    return make


def late_decimal_comma(tmp):
    return write(tmp / "t.tsv", ["id", "a"], [[f"P{i}", "1.5"] for i in range(300)] +
                 [["P300", "2,5"]])


def two_sheets(tmp):
    path = tmp / "t.xlsx"
    with pd.ExcelWriter(path) as book:
        for sheet in ("data", "notes"):
            pd.DataFrame({"id": ["P1"], "a": [1.0]}).to_excel(book, sheet_name=sheet, index=False)
    return path


def with_header(header, *rows, name="t.tsv"):
    return lambda tmp: write(tmp / name, header, [list(r) for r in rows])


MQ_HEADER = ["Protein IDs", "Majority protein IDs", "Gene names", "LFQ intensity S1",
             "LFQ intensity S2", "Intensity S1"]
REFUSALS = [
    (with_header(["id", "a"], ["P1", "1"]), {},
     "matches none of the formats read here (MaxQuant proteinGroups, DIA-NN pg_matrix, FragPipe "
     "combined_protein, Spectronaut protein pivot); for another table choose the sample columns"
     " with samples (names, or a pattern such as 'LFQ intensity *')"),
    (write_bytes("t.dat", "id\ta\n"), {},
     "cannot read .dat files; give a .csv, .tsv, .txt or .xlsx"),
    (write_bytes("t.xls", b""), {}, "old Excel .xls workbooks cannot be read"),
    (lambda tmp: tmp / "absent.csv", {}, "file not found"),
    (lambda tmp: (tmp / "dir.csv").mkdir() or tmp / "dir.csv", {}, "is a directory"),
    (write_bytes("t.csv", ""), {}, "is empty; give a table with a header row"),
    (write_bytes("t.csv", "\r\n\n"), {}, "is empty (blank lines only)"),
    (write_bytes("t.csv", b"id,a\nP\x001,2\n"), {}, "holds NUL bytes (line 2)"),
    (write_bytes("t.csv", "id,a\nProt\xe9ine,1\n".encode("latin-1")), {},
     "is not UTF-8 text (line 2 has the byte 0xE9)"),
    (write_bytes("t.csv", "id,a,b\nP1,1,2\nP2,3"), {"samples": "a"},
     "its last line stops after 2 of 3 fields with no line end; the file looks truncated"),
    (write_bytes("t.csv", b"PK\x03\x04rest"), {}, "is a zip archive or an Excel workbook"),
    (write_bytes("t.xlsx", "id,a\n"), {}, "is not an .xlsx workbook"),
    (write_bytes("t.xlsx", b"PK\x03\x04" + bytes(100)), {}, "is not a readable .xlsx workbook"),
    (two_sheets, {"samples": "a"}, "the workbook has 2 sheets ('data', 'notes'); choose one"),
    (two_sheets, {"samples": "a", "sheet": "x"}, "has no sheet 'x'; its sheets are 'data'"),
    (with_header(["id", "a"], ["P1", "1"]), {"samples": "a", "sheet": "s"}, "sheet applies to"),
    (write_bytes("t.csv", "id,a\nP1,1,2\n"), {"samples": "a"},
     "line 2 has more fields than the header's 2 (a comma inside a value?)"),
    (write_bytes("t.csv", 'id,a\n"P1,1\nP2,2\n'), {"samples": "a"}, "never closed"),
    (with_header(["id", "a"], ["P1", "1"], ["P2", "n.d."]), {"samples": "a"},
     "column 'a' holds 'n.d.' on line 3, which is not a number"),
    (late_decimal_comma, {"samples": "a"},
     "column 'a' holds '2,5' on line 302, which is not a number; it has a decimal comma: give "
     "decimal ','"),
    (with_header(["id", "a"], ["P1", "1,5"], ["P2", "2.5"]), {"samples": "a"},
     "mix decimal commas ('1,5') and decimal points ('2.5')"),
    (with_header(["id", "a"], ["P1", "123,456"]), {"samples": "a"},
     "'123,456' could hold a decimal comma or a thousands separator"),
    (with_header(["id", "a"], ["P1", "1"]), {"samples": "a", "decimal": ";"},
     "decimal must be '.' or ','"),
    (with_header(["id", "a"], ["P1", "1"], ["P2", "2"], ["P1", "3"]), {"samples": "a"},
     "identifier 'P1' of column 'id' is on lines 2, 4; the index must be unique"),
    (with_header(MQ_HEADER, ["", "M1", "G", "1", "2", "3"]), {},
     "the identifier column 'Protein IDs' is empty on 1 row (line 2); choose another identifier"
     " column with index ('Majority protein IDs')"),
    (with_header(["id", "a", "a"], ["P1", "1", "2"]), {"samples": "a"},
     "column 'a' appears 2 times in the header (columns 2, 3)"),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"quantity": "iBAQ"},
     "no quantity 'iBAQ' in this MaxQuant proteinGroups table; choose one of 'LFQ intensity', "
     "'Intensity'"),
    (with_header(["id", "a"], ["P1", "1"]), {"samples": "a", "quantity": "LFQ intensity"},
     "quantity applies to the tables of"),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"samples": ["S1", "S9"]},
     "samples 'S9' matches no sample of this MaxQuant proteinGroups table; its samples are "
     "'S1', 'S2'"),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"samples": ["S2", "Intensity S1"]},
     "samples selects columns of 2 quantities ('LFQ intensity', 'Intensity')"),
    (with_header(["Protein.Group", "a/S1.d", "b/S1.d"], ["P1", "1", "2"]), {},
     "columns 'a/S1.d' and 'b/S1.d' both give the sample name 'S1'"),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"index": "id"},
     "no column 'id' for the index; identifier columns are 'Protein IDs', 'Majority protein IDs'"),
    (with_header(["id", "a"], ["P1", "1"]), {"samples": "a", "index": "ID"},
     "no column 'ID' for the index; columns are 'id', 'a'"),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"index": "LFQ intensity S1"},
     "index 'LFQ intensity S1' is a sample column"),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"label_column": "Genes"},
     "no column 'Genes' for the labels"),
    (with_header(["Protein.Group", "Run", "Precursor.Id"], ["P1", "r", "x"]), {},
     "is a DIA-NN long report (one row per precursor and run), not the protein matrix"),
    (with_header(["PG.ProteinGroups", "R.FileName"], ["P1", "r"]), {},
     "is a long Spectronaut report"),
    (with_header(MQ_HEADER[:3], ["P1"] * 3), {},
     "is a MaxQuant proteinGroups table without per-sample quantity columns"),
    (with_header(["id", "a"]), {"samples": "a"}, "has a header but no data rows"),
    (with_header(["id", "a"], ["P1", "1"]), {"samples": 3}, "samples must be sample or column"),
]


@pytest.mark.parametrize("make, options, message", REFUSALS)
def test_refusals_name_the_file_and_the_fault(tmp_path, make, options, message):
    path = make(tmp_path)
    with pytest.raises(ReadError) as caught:
        read_table(path, **options)
    text = str(caught.value)
    assert "\n" not in text and (str(path) in text or "samples must" in text or "decimal" in text)
    assert message in text


# A refusal's facts beside its message, and the message with its keywords
# named otherwise: (make, options, {attribute: value}, the message worded)
FACTS = [
    (with_header(["id", "a"], ["P1", "1"]), {},
     {"parameter": "samples", "header": ("id", "a"), "column": None, "value": None},
     "choose the sample columns with <samples> (names"),
    (with_header(["id", "a"], ["P1", "1"], ["P2", "n.d."]), {"samples": "a"},
     {"column": "a", "row": 3, "value": "n.d.", "parameter": None, "header": None}, None),
    (late_decimal_comma, {"samples": "a"},
     {"column": "a", "row": 302, "value": "2,5", "parameter": "decimal"},
     "it has a decimal comma: give <decimal> ','"),
    (with_header(["id", "a"], ["P1", "1"], ["P2", "2"], ["P1", "3"]), {"samples": "a"},
     {"column": "id", "row": 4, "value": "P1", "parameter": "index"},
     "choose another column with <index>"),
    (two_sheets, {"samples": "a"}, {"parameter": "sheet", "value": None},
     "choose one with <sheet>"),
    (with_header(["id", "a"], ["P1", "1"]), {"samples": "a", "sheet": "s"},
     {"parameter": "sheet", "value": "s"}, "leave <sheet> out"),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"samples": ["S1", "S9"]},
     {"parameter": "samples", "value": "S9", "column": None}, None),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"label_column": "Genes"},
     {"parameter": "label_column", "column": "Genes"}, None),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"quantity": "iBAQ"},
     {"parameter": "quantity", "value": "iBAQ", "column": None, "group": None}, None),
    (with_header(MQ_HEADER, ["P1"] * 3 + ["1"] * 3), {"index": "id"},
     {"parameter": "index", "column": "id", "value": None}, None),
    (with_header(["id", "a"], ["P1", "1"]), {"samples": "a", "decimal": ";"},
     {"parameter": "decimal", "value": ";", "path": None}, None),
    (write_bytes("t.csv", "id,a\nProt\xe9ine,1\n".encode("latin-1")), {},
     {"row": 2, "parameter": None}, None),
]


@pytest.mark.parametrize("make, options, facts, worded", FACTS)
def test_refusals_carry_their_facts(tmp_path, make, options, facts, worded):
    path = make(tmp_path)
    with pytest.raises(ReadError) as caught:
        read_table(path, **options)
    exc = caught.value
    expected = {"path": str(path), **facts}
    assert {name: getattr(exc, name) for name in expected} == expected
    # the table in none of the formats, and only it, is refused with its header
    assert isinstance(exc, UnknownFormat) == (exc.header is not None)
    text = exc.worded(lambda keyword: f"<{keyword}>")
    if worded is None:
        assert text == str(exc)
    else:
        assert worded in text and text.replace("<", "").replace(">", "") == str(exc)


def test_empty_identifier_with_another_index(tmp_path):
    path = with_header(MQ_HEADER, ["", "M1", "G", "1", "2", "3"])(tmp_path)
    table = read_table(path, index="Majority protein IDs")
    assert table.values.index.tolist() == ["M1"] and "Protein IDs" in table.annotations


def write_design(tmp_path, text, name="design.tsv"):
    path = tmp_path / name
    path.write_text(text)
    return path


@pytest.mark.parametrize("name", ["design.csv", "design.xlsx"])
def test_design_groups_pairs_and_labels(tmp_path, name):
    path = write_design(tmp_path, "Sample,Group,Pair,Label,notes\nT2,treat,d2,t-2,x\n"
                        "C1,ctrl,d1,c-1,\nT1,treat,d1,,\nC2,ctrl,d2,c-2,\n", "design.csv")
    if name.endswith(".xlsx"):
        pd.read_csv(path, dtype=str).to_excel(tmp_path / name, index=False)
        path = tmp_path / name
    design = read_design(path, ["C1", "C2", "T1", "T2", "QC"])
    assert design.groups == [("treat", ["T2", "T1"]), ("ctrl", ["C2", "C1"])]
    assert design.pairs == ["d2", "d1"]
    assert design.labels == {"T2": "t-2", "C1": "c-1", "C2": "c-2"}
    assert design.unused == ["QC"]
    # every other column is a design variable, as text, None where empty
    assert design.variables.to_dict() == {"notes": {"T2": "x", "C1": None, "T1": None,
                                                    "C2": None}}
    plain = read_design(write_design(tmp_path, "sample\tgroup\nA\tx\nB\ty\nC\tx\n"))
    assert (plain.groups, plain.pairs) == ([("x", ["A", "C"]), ("y", ["B"])], None)
    assert plain.variables.shape == (3, 0)


DESIGN_REFUSALS = [
    ("sample\tgrp\nA\tx\n", None, "unknown column 'grp'; did you mean 'group'?"),
    ("sample\tcondition\nA\tx\n", None, "no 'group' column"),
    ("sample\tgroup\tdonor\tdonor\nA\tx\t1\t2\n", None,
     "two 'donor' columns in the header; keep one"),
    ("sample\tgroup\nA\tx\nA\ty\n", None, "sample 'A' is on lines 2 and 3"),
    ("sample\tgroup\nA\tx\nB\t\n", None, "1 sample in no group: 'B'"),
    ("sample\tgroup\n\tx\n", None, "no sample name on line 2"),
    ("sample\tgroup\nh1\tx\nZ\tx\n", ["H1", "H2"],
     "2 samples of the design not in the table: 'h1', 'Z'; names are case-sensitive "
     "('h1' -> 'H1')"),
    ("sample\tgroup\tpair\nA\tx\t1\nB\ty\t2\n", None, "pair '2' has no sample in group 'x'"),
    ("sample\tgroup\tpair\nA\tx\t1\nB\tx\t1\nC\ty\t1\n", None,
     "pair '1' has 2 samples in group 'x'"),
    ("sample\tgroup\tpair\nA\tx\t1\nB\ty\t\n", None, "1 sample without a pair: 'B'"),
    ("sample\tgroup\tlabel\nA\tx\tL\nB\ty\tL\n", None, "samples 'A' and 'B' have the same label"),
]


@pytest.mark.parametrize("text, samples, message", DESIGN_REFUSALS)
def test_design_refusals(tmp_path, text, samples, message):
    path = write_design(tmp_path, text)
    with pytest.raises(ReadError, match=re.escape(message)):
        read_design(path, samples)


@pytest.mark.parametrize("text, facts", [
    ("sample\tgroup\tpair\nA\tx\t1\nB\ty\t2\n", {"column": "pair", "group": "x", "value": "2"}),
    ("sample\tgroup\nA\tx\nA\ty\n", {"column": "sample", "row": 3, "value": "A", "group": None}),
])
def test_design_refusals_carry_their_facts(tmp_path, text, facts):
    path = write_design(tmp_path, text)
    with pytest.raises(ReadError) as caught:
        read_design(path)
    assert {name: getattr(caught.value, name) for name in facts} == facts


def test_formats_name_each_rule():
    assert list(readers.FORMATS) == ["MaxQuant proteinGroups", "DIA-NN pg_matrix",
                                     "FragPipe combined_protein", "Spectronaut protein pivot",
                                     "wide table"]
    assert all("\n" not in rule and rule for rule in readers.FORMATS.values())
