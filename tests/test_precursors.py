"""tessera.readers.read_precursors: every real report, the filters and their
counts, parquet against text, batches, and the refusals."""
import numpy as np
import pandas as pd
import pytest

import reports
from conftest import real_data
from tessera.readers import ReadError, read_precursors, stream
from tessera.tools import quant as tq

# file: format, level, quantity, runs, rows / precursors / protein groups read, rows kept
REAL = {
    "diann_1.7_yeast/report.tsv": ("DIA-NN report", "precursor", "Precursor.Normalised", 3,
                                   (2992, 1088, 379), 2910),
    "diann_1.8_hye_subset/PXD028735.report.tsv": ("DIA-NN report", "precursor",
                                                  "Precursor.Normalised", 6, (319, 79, 72), 318),
    "diann_1.8_hye_subset/PXD028735.pr_matrix.tsv": ("DIA-NN pr_matrix", "precursor",
                                                     "Precursor.Normalised", 6, (600, 100, 90),
                                                     319),
    "diann_1.9_hye_sample/report.tsv": ("DIA-NN report", "precursor", "Precursor.Normalised", 6,
                                        (1168, 237, 220), 1153),
    "maxquant_twogroup/evidence.txt": ("MaxQuant evidence", "precursor", "Intensity", 6,
                                       (10060, 2786, 907), 7859),
    "maxquant_twogroup/peptides.txt": ("MaxQuant peptides", "peptide", "Intensity", 6,
                                       (15264, None, 907), 7244),
    "maxquant_msqc1/evidence.txt": ("MaxQuant evidence", "precursor", "Intensity", 7,
                                    (3444, 608, 365), 2470),
    "maxquant_msqc1/peptides.txt": ("MaxQuant peptides", "peptide", "Intensity", 7,
                                    (3507, None, 365), 1398),
    "fragpipe_iprg2016/combined_ion.tsv": ("FragPipe combined_ion", "precursor", "Intensity", 9,
                                           (31518, 3502, 384), 17087),
}


@pytest.mark.parametrize("name", REAL)
def test_real_reports_read_and_roll_up(name):
    fmt, level, quantity, runs, (rows, precursors, groups), kept = REAL[name]
    report = read_precursors(real_data("precursors/" + name))
    assert (report.format, report.level, report.quantity) == (fmt, level, quantity)
    if name.startswith("diann_1.7"):  # runs named from File.Name: folders and extensions cut
        assert report.runs == ["KL_Try_001_a", "KL_Try_001_b", "KL_Try_001_c"]
    assert len(report.runs) == runs and len(report.table) == kept
    read = report.steps[0]
    assert (read.rows, read.precursors, read.protein_groups) == (rows, precursors, groups)
    # each step keeps a part of what the one before kept
    for before, after in zip(report.steps, report.steps[1:]):
        assert after.rows <= before.rows and after.protein_groups <= before.protein_groups
    assert report.steps[-1].rows == kept
    assert (report.table["quantity"] > 0).all()
    proteins = tq.maxlfq(report.table, feature=report.feature)
    measured = report.table["protein_group"].nunique()
    assert len(proteins) == measured and proteins.notna().any(axis=1).all()
    per_run = report.per_run()
    assert per_run["rows"].sum() == kept
    assert (per_run["protein_groups"] == proteins.notna().sum()).all()


@pytest.mark.parametrize("suffix", [".tsv", ".parquet"])
def test_filters_and_their_counts(tmp_path, suffix):
    path = reports.write(reports.DIANN, tmp_path / f"report{suffix}")
    report = read_precursors(path)
    counts = [(s.name, s.rows, s.precursors, s.peptides, s.protein_groups, s.genes)
              for s in report.steps]
    assert counts == [("read", 12, 5, 5, 3, 2), ("q_value", 11, 5, 5, 3, 2),
                      ("pg_q_value", 10, 5, 5, 3, 2), ("contaminant", 8, 4, 4, 2, 2),
                      ("measured", 7, 4, 4, 2, 2)]
    assert reports.long_values(report) == {
        ("r1", "AAK2"): 100, ("r1", "DDK3"): 300, ("r2", "AAK2"): 110, ("r2", "CCK2"): 210,
        ("r2", "EEK2"): 410, ("r3", "AAK2"): 120, ("r3", "DDK3"): 310}
    assert list(report.table.columns) == ["run", "protein_group", "genes", "precursor",
                                          "peptide", "quantity", "q_value", "pg_q_value",
                                          "proteotypic"]
    per_run = report.per_run()
    assert per_run["precursors"].tolist() == [2, 3, 2]
    assert per_run["protein_groups"].tolist() == [1, 2, 1]
    # P2 has one precursor: its quantity is that precursor's
    assert tq.maxlfq(report.table).loc["P2"].tolist()[1] == 410.0


@pytest.mark.parametrize("options, rows", [
    ({"q_value": None, "pg_q_value": None}, 9),
    ({"proteotypic": True}, 5),
    ({"keep_flagged": True}, 9),
    ({"quantity": "precursor.quantity"}, 7),
])
def test_options(tmp_path, options, rows):
    report = read_precursors(reports.write(reports.DIANN, tmp_path / "report.tsv"), **options)
    assert len(report.table) == rows
    if "quantity" in options:
        assert report.quantity == "Precursor.Quantity"
        assert report.table["quantity"].iloc[0] == 110.0


def test_a_run_emptied_by_the_filters_stays(tmp_path):
    frame = reports.DIANN.copy()
    frame.loc[frame["Run"] == "r3", "Q.Value"] = 0.5
    report = read_precursors(reports.write(frame, tmp_path / "report.parquet"))
    assert report.runs == ["r1", "r2", "r3"] and report.empty_runs == ["r3"]
    proteins = tq.maxlfq(report.table)
    assert list(proteins.columns) == ["r1", "r2", "r3"] and proteins["r3"].isna().all()


def test_batches_give_the_same_table(tmp_path, monkeypatch):
    """Codes hold across batches: a report read three rows at a time (text:
    in blocks of a few lines) equals the report read at once."""
    frame = reports.random_report(np.random.default_rng(1), 6, 5)
    for suffix in (".parquet", ".tsv"):
        path = reports.write(frame, tmp_path / f"report{suffix}")
        whole = read_precursors(path)
        monkeypatch.setattr(stream, "BATCH_ROWS", 3)
        monkeypatch.setattr(stream, "CSV_BLOCK", 300)
        pieces = read_precursors(path)
        monkeypatch.undo()
        pd.testing.assert_frame_equal(pieces.table, whole.table)
        assert pieces.steps == whole.steps


def test_evidence_rows_of_one_precursor_and_experiment_are_summed(tmp_path):
    frame = reports.evidence([
        ("AAK", 2, "E1", "P1", 10.0, "", ""), ("AAK", 2, "E1", "P1", 5.0, "", ""),
        ("AAK", 3, "E1", "P1", 7.0, "", ""), ("AAK", 2, "E2", "P1", 4.0, "", ""),
        ("CCK", 2, "E1", "REV__P9", 9.0, "+", ""), ("DDK", 2, "E2", "CON__P8", 9.0, "", "+"),
        ("EEK", 2, "E2", "P2", np.nan, "", "")])
    frame.to_csv(tmp_path / "evidence.txt", sep="\t", index=False)
    report = read_precursors(tmp_path / "evidence.txt")
    assert report.format == "MaxQuant evidence"
    assert reports.long_values(report) == {("E1", "_AAK_2"): 15.0, ("E1", "_AAK_3"): 7.0,
                                           ("E2", "_AAK_2"): 4.0}
    assert [(s.name, s.rows) for s in report.steps] == [
        ("read", 7), ("decoy", 6), ("contaminant", 5), ("measured", 4), ("summed", 3)]


def test_fragpipe_combined_peptide(tmp_path):
    frame = pd.DataFrame({"Peptide Sequence": ["AAK", "CCK", "DDK"],
                          "Protein": ["sp|P1|A", "sp|P1|A", "rev_sp|P2|B"],
                          "Gene": ["A", "A", "B"], "Mapped Proteins": ["", "sp|P3|C", ""],
                          "S1 Intensity": [10.0, 0, 30], "S1 MaxLFQ Intensity": [11.0, 0, 31],
                          "S2 Intensity": [12.0, 22, 32], "S2 MaxLFQ Intensity": [13.0, 23, 33]})
    frame.to_csv(tmp_path / "combined_peptide.tsv", sep="\t", index=False)
    report = read_precursors(tmp_path / "combined_peptide.tsv", quantity="MaxLFQ Intensity",
                             proteotypic=True)
    assert (report.format, report.level, report.quantities) == (
        "FragPipe combined_peptide", "peptide", ("Intensity", "MaxLFQ Intensity"))
    assert reports.long_values(report) == {("S1", "AAK"): 11.0, ("S2", "AAK"): 13.0}


def refused(tmp_path, frame, name="report.tsv", **options):
    path = tmp_path / name
    if isinstance(frame, str):
        path.write_text(frame)
    else:
        reports.write(frame, path)
    with pytest.raises(ReadError) as caught:
        read_precursors(path, **options)
    return str(caught.value).replace(str(tmp_path) + "/", "")


def with_paths(*paths):
    frame = reports.DIANN.drop(columns="Run").iloc[:len(paths)].copy()
    frame.insert(0, "File.Name", list(paths))
    return frame


@pytest.mark.parametrize("frame, name, options, message", [
    (reports.DIANN.drop(columns=["Precursor.Normalised", "Precursor.Quantity"]), "report.tsv", {},
     "report.tsv: is a DIA-NN report without a precursor quantity column"),
    (with_paths(r"C:\a\x.raw", r"D:\b\x.raw"), "report.tsv", {},
     r"report.tsv: the runs 'C:\\a\\x.raw' and 'D:\\b\\x.raw' of column 'File.Name' are both "
     "named 'x'"),
    (reports.DIANN.assign(**{"File.Name": ["a.raw"] * 11 + ["b.raw"]}), "report.parquet", {},
     "report.parquet: the run files 'a.raw' and 'b.raw' are both run 'r3' in column 'Run'"),
    (reports.DIANN.assign(**{"Q.Value": ["0.001"] * 11 + ["low"]}), "report.tsv", {},
     "report.tsv: column 'Q.Value' holds 'low' on line 13, which is not a number"),
    (reports.DIANN.assign(**{"Q.Value": ["0.001"] * 11 + ["low"]}), "report.parquet", {},
     "report.parquet: column 'Q.Value' holds 'low', which is not a number; a q-value"),
    (reports.DIANN, "report.tsv", {"quantity": "Ms1.Area"},
     "report.tsv: no quantity 'Ms1.Area' in this DIA-NN report; choose one of "
     "'Precursor.Normalised', 'Precursor.Quantity'"),
    (reports.DIANN, "report.tsv", {"q_value": 0}, "q_value must be a number above 0 and at most 1"),
    (reports.DIANN, "report.tsv", {"pg_q_value": True}, "pg_q_value must be a number above 0"),
    ("Protein IDs\tMajority protein IDs\tLFQ intensity A\nP1\tP1\t1\n", "proteinGroups.txt", {},
     "proteinGroups.txt: is a protein table (MaxQuant proteinGroups), not a precursor report; "
     "read it with read_table"),
    ("Protein\tPeptide\tA\nP1\tAAK\t1\n", "other.tsv", {},
     "other.tsv: the header matches none of the precursor reports read here"),
    ("Protein.Group\tPrecursor.Id\tA.raw\tB.raw\nP1\tAAK2\t1\t2\nP1\tAAK2\t3\t4\n", "pr.tsv", {},
     "pr.tsv: precursor 'AAK2' ('Precursor.Id') is on lines 2, 3"),
    ("Protein.Group\tPrecursor.Id\tx/A.raw\ty/A.raw\nP1\tAAK2\t1\t2\n", "pr.tsv", {},
     "pr.tsv: columns 'x/A.raw' and 'y/A.raw' both give the run name 'A'"),
    ("Protein.Group\tPrecursor.Id\tA.raw\nP1\tAAK2\t1\n", "pr.tsv", {"proteotypic": True},
     "pr.tsv: a DIA-NN pr_matrix does not say which precursors are proteotypic"),
    ("Run\tProtein.Group\tPrecursor.Id\tPrecursor.Normalised\nr1\tP1\tAAK2\t1\nr1\tP1\n",
     "report.tsv", {}, "report.tsv: a line has 2 fields where the header has 4"),
])
def test_refusals(tmp_path, frame, name, options, message):
    assert message in refused(tmp_path, frame, name, **options)


def test_a_wide_parquet_table_is_refused(tmp_path):
    frame = pd.DataFrame({"Protein.Group": ["P1"], "Precursor.Id": ["AAK2"], "A.raw": [1.0]})
    message = refused(tmp_path, frame, "pr_matrix.parquet")
    assert message.startswith("pr_matrix.parquet: a DIA-NN pr_matrix (one column per run) is "
                              "read from its text file")
