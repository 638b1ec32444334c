"""tessera analyze on precursor reports: the roll-up to proteins, its lines,
the record of them, the refusals, and every shared report from the command
line."""
import tomllib

import numpy as np
import pandas as pd
import pytest

from conftest import NO_DEFAULT_STEPS, design_file, real_data, run_cli
from tessera.readers import read_precursors, read_table
from tessera.tools import quant

WIDTH = 22   # the printed step names' column
RUNS = ["A1", "A2", "B1", "B2"]
GROUPS = [("A", ["A1", "A2"]), ("B", ["B1", "B2"])]


def diann_report(path, *, drop=(), edit=None):
    """A small DIA-NN main report: protein groups P0-P5 of three precursors
    and P6 of one, in runs A1, A2, B1, B2; ``edit(frame)`` changes it first."""
    rng = np.random.default_rng(7)
    rows = []
    for protein in range(7):
        for precursor in range(1 if protein == 6 else 3):
            level = rng.normal(20, 1)
            for run in RUNS:
                rows.append({"File.Name": f"D:\\raw\\{run}.raw", "Run": run,
                             "Protein.Group": f"P{protein}", "Genes": f"G{protein}",
                             "Precursor.Id": f"PEP{protein}K{precursor}2",
                             "Q.Value": 0.001, "PG.Q.Value": 0.001,
                             "Precursor.Normalised": 2 ** (level + rng.normal(0, 0.2))})
    frame = pd.DataFrame(rows)
    if edit is not None:
        edit(frame)
    frame.drop(columns=list(drop)).to_csv(path, sep="\t", index=False)
    return path


def printed(stdout):
    """{step name: text} of the printed step lines."""
    return {line[:WIDTH].strip(): line[WIDTH:] for line in stdout.splitlines()
            if len(line) > WIDTH and line[:WIDTH].strip()}


def groups_args(groups):
    return [arg for name, runs in groups for arg in ("--group", f"{name}={','.join(runs)}")]


@pytest.mark.usefixtures("unrendered")
def test_a_report_is_rolled_up_and_analysed_as_a_protein_table(tmp_path):
    """The proteins tested are the roll-up's, the lines count each step,
    run.toml repeats them and repeats the run, the report lists the runs."""
    report = diann_report(tmp_path / "report.tsv")
    status, stdout, stderr = run_cli("analyze", str(report), *groups_args(GROUPS),
                                     *NO_DEFAULT_STEPS, "--rollup", "top3", "--log-transform",
                                     "2", "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    lines = printed(stdout)
    assert lines["read"] == ("76 rows from report.tsv (DIA-NN report, Precursor.Normalised, "
                             "4 runs; a row is a precursor in a run): 19 precursors, 7 protein "
                             "groups, 7 genes")
    assert lines["pg_q_value"] == ("76 rows kept, 0 removed: PG.Q.Value <= 0.01; left 19 "
                                   "precursors, 7 protein groups, 7 genes")
    assert lines["rollup"].startswith("7 protein groups x 4 runs by top3 from their "
                                      "precursors; 1 of them from a single precursor")
    assert lines["per run"] == ("precursors / protein groups quantified: A1 19/7, A2 19/7, "
                                "B1 19/7, B2 19/7")
    assert "settings: rollup='top3', level='protein', qvalue=0.01, proteotypic=False, " \
           "log_transform=2" in stdout

    test = pd.read_csv(tmp_path / "r_test.csv", index_col="protein_group")
    expected = quant.top_n(read_precursors(report).table)
    assert list(test.columns[:2]) == ["genes", "precursors"]
    assert test["precursors"].to_dict() == {f"P{i}": 1 if i == 6 else 3 for i in range(7)}
    np.testing.assert_allclose(test[RUNS].to_numpy(), np.log2(expected.to_numpy()),
                               rtol=1e-12)

    recorded = tomllib.loads((tmp_path / "r_run.toml").read_text(encoding="utf-8"))
    assert recorded["record"]["rollup"]["lines"] == [
        line for line in stdout.splitlines() if line[:WIDTH].strip() in
        ("read", "q_value", "pg_q_value", "contaminant", "measured", "rollup", "per run")]
    assert (recorded["rollup"], recorded["level"], recorded["qvalue"]) == ("top3", "protein",
                                                                           0.01)
    page = (tmp_path / "r_report.html").read_text(encoding="utf-8")
    assert '<section id="runs">' in page and '<td class="mono">B2</td><td class="num">19' in page

    status, _, stderr = run_cli("analyze", "--config", str(tmp_path / "r_run.toml"),
                                "--out", str(tmp_path / "again"))
    assert (status, stderr) == (0, "")
    assert (tmp_path / "again_test.csv").read_text() == (tmp_path / "r_test.csv").read_text()


def _text_q_value(frame):
    frame["Q.Value"] = frame["Q.Value"].astype(object)
    frame.loc[5, "Q.Value"] = "high"


def _run_filtered_out(frame):
    frame.loc[frame["Run"] == "B2", "Q.Value"] = 0.5


@pytest.mark.usefixtures("unrendered")
def test_an_empty_gene_column_counts_no_genes(tmp_path):
    report = diann_report(tmp_path / "report.tsv", edit=lambda f: f.__setitem__("Genes", ""))
    status, stdout, stderr = run_cli("analyze", str(report), *groups_args(GROUPS),
                                     *NO_DEFAULT_STEPS, "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    assert printed(stdout)["read"].endswith(": 19 precursors, 7 protein groups")


@pytest.mark.parametrize("report, args, message", [
    (dict(drop=["Precursor.Normalised"]), [],
     "report.tsv: is a DIA-NN report without a precursor quantity column"),
    # runs named by their files, two of which have one name once folders are cut
    (dict(drop=["Run"], edit=lambda f: f.__setitem__("File.Name", f["File.Name"].where(
        f["Run"] != "B2", "E:\\other\\B1.raw"))), [],
     "report.tsv: the runs 'D:\\\\raw\\\\B1.raw' and 'E:\\\\other\\\\B1.raw' of column "
     "'File.Name' are both named 'B1'"),
    (dict(edit=_text_q_value), [], "report.tsv: column 'Q.Value' holds 'high' on line 7, "
                                   "which is not a number; the q-value and quantity columns"),
    (dict(edit=_run_filtered_out), [],
     "run 'B2' of report.tsv has no precursor left after the filters (Q.Value <= 0.01, "
     "PG.Q.Value <= 0.01, contaminants removed (Protein.Group), rows with a quantity above 0); "
     "loosen --qvalue, or leave "
     "the run out of its group"),
    (dict(), ["--quantity", "Ms1.Area"], "report.tsv: no --quantity 'Ms1.Area' in this DIA-NN "
                                         "report; choose one of 'Precursor.Normalised'"),
    (dict(), ["--samples", "A*"], "is a DIA-NN report, whose runs, identifiers and numbers "
                                  "are read as the format writes them; drop --samples"),
    (dict(), ["--group", "A=A1,A2", "--group", "B=B1,B3"],
     "group 'B': 'B3' is not a run of report.tsv; the runs are A1, A2, B1, B2"),
    (dict(drop=["Genes"]), ["--level", "gene"],
     "--level gene: report.tsv (DIA-NN report) names no gene for its precursors"),
])
def test_bad_reports_are_refused_in_one_line(report, args, message, tmp_path):
    path = diann_report(tmp_path / "report.tsv", **report)
    if "--group" not in args:
        args = [*args, *groups_args(GROUPS)]
    status, _, stderr = run_cli("analyze", str(path), *args, "--out", str(tmp_path / "r"))
    assert status == 2 and stderr.count("\n") == 1 and message in stderr, stderr
    assert not list(tmp_path.glob("r_*"))


def test_roll_up_options_are_refused_for_a_protein_table(tmp_path):
    table = tmp_path / "proteins.csv"
    pd.DataFrame({"ID": ["a", "b"], **{run: [1.0, 2.0] for run in RUNS}}).to_csv(table,
                                                                               index=False)
    status, _, stderr = run_cli("analyze", str(table), "--samples", ",".join(RUNS),
                                *groups_args(GROUPS), "--proteotypic")
    assert status == 2
    assert f"--proteotypic True: {table} is not a precursor report, and --proteotypic " \
           "applies to precursor reports only; drop it" in stderr


def _by(*marks):
    """Groups the runs by the mark each run name holds; without marks, two halves."""
    def group(runs):
        if not marks:
            return [("first", runs[:len(runs) // 2]), ("second", runs[len(runs) // 2:])]
        return [(mark, [r for r in runs if mark in r]) for mark in marks]
    return group


HYE, YEAST = _by("Condition_A", "Condition_B"), _by("_G", "_D")
# every data file of the shared folder, its runs grouped by SOURCE.md's
# conditions (two halves where it gives none), and whether it is a precursor report
SHARED = [("diann_1.7_yeast/report.tsv", _by(), True),
          ("diann_1.8_hye_subset/PXD028735.report.tsv", HYE, True),
          ("diann_1.8_hye_subset/PXD028735.pr_matrix.tsv", HYE, True),
          ("diann_1.8_hye_subset/PXD028735.pg_matrix.tsv", HYE, False),
          ("diann_1.9_hye_sample/report.tsv", HYE, True),
          ("fragpipe_iprg2016/combined_ion.tsv", _by("A", "B", "C"), True),
          ("maxquant_msqc1/evidence.txt", _by(), True),
          ("maxquant_msqc1/peptides.txt", _by(), True),
          ("maxquant_msqc1/proteinGroups.txt", _by(), False),
          ("maxquant_twogroup/evidence.txt", YEAST, True),
          ("maxquant_twogroup/peptides.txt", YEAST, True),
          ("maxquant_twogroup/proteinGroups.txt", YEAST, False)]


@pytest.mark.usefixtures("unrendered")
@pytest.mark.parametrize("name, grouping, rolled", SHARED, ids=[s[0] for s in SHARED])
def test_shared_reports_roll_up_and_analyse(name, grouping, rolled, tmp_path):
    path = real_data(f"precursors/{name}")
    runs = read_precursors(path).runs if rolled else read_table(path).samples
    groups = grouping(runs)
    design = design_file(tmp_path / "design.tsv",
                         [(run, group) for group, members in groups for run in members])
    status, stdout, stderr = run_cli("analyze", str(path), "--design", str(design),
                                     *NO_DEFAULT_STEPS, "--log-transform", "2",
                                     "--out", str(tmp_path / "r"))
    if len(runs) < 4:
        # three runs cannot make two groups of two samples
        assert status == 2 and "has 1 sample; a test needs at least two samples" in stderr
        return
    assert (status, stderr) == (0, ""), stderr
    lines = printed(stdout)
    assert ("rollup" in lines) == rolled
    test = pd.read_csv(tmp_path / "r_test.csv", index_col=0, low_memory=False)
    if rolled:
        assert lines["rollup"].startswith(f"{len(test)} protein groups x {len(runs)} runs")
        assert lines["per run"].count("/") == len(runs) + 1
    assert set(runs) <= set(test.columns) and test.filter(like="_p").notna().any().any()
