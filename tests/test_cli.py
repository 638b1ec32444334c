"""The tessera command line: the example run end to end, how options and a
settings file become library settings, and every way a run is refused."""
import io
import os
import re
import signal
import struct
import subprocess
import sys
import time
import tomllib
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from conftest import NO_DEFAULT_STEPS, Recorder, read_test, real_data, run_cli, write_table
from tessera.cli import analysis, figures
from tessera.cli.errors import UsageError
from tessera.cli.options import METHOD_BY_NAME, build_parser
from tessera.cli import outputs
from tessera.cli.pipeline import STEPS
from tessera.cli.progress import Elapsed, prior_summary
from tessera.cli.settings import EXAMPLE_GROUPS, EXAMPLE_SETTINGS, example_path, resolve
from tessera.readers import source as readers_source, table as readers_table
from tessera.tools import differential
from tessera.tools.preprocess import import_data_by_file_name, normalize, preprocess
from tessera.tools.vetting import Vetting

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = Path(str(example_path()))
SAMPLES = [f"ctrl_{i}" for i in range(1, 6)] + [f"treat_{i}" for i in range(1, 6)]
OUTPUTS = ["preprocessed.csv", "test.csv", "intensities.png", "pvalues.png", "volcano.png",
           "pca.png", "correlation.png", "missingness.png", "report.html", "run.toml"]
PNGS = [name for name in OUTPUTS if name.endswith(".png")]
# the sample columns of the small tables below; their identifier column ID is the
# first column that is not a sample
WIDE = ["--samples", "S*"]


def png_size(path):
    """(width, height) from a PNG file's header, after checking its signature."""
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.fixture(scope="module")
def example_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("example")
    status, stdout, stderr = run_cli("analyze", "--out", str(out / "ex"))
    return status, stdout, stderr, out


@pytest.fixture
def table(tmp_path):
    """A small table: 40 features x 3 groups of 3 samples, the first 10 changed."""
    rng = np.random.default_rng(7)
    values = rng.normal(20, 1, (40, 9))
    values[:10, 3:6] += 4
    df = pd.DataFrame(values, columns=[f"S{i}" for i in range(1, 10)])
    df.insert(0, "ID", [f"F{i}" for i in range(40)])
    path = tmp_path / "small.csv"
    df.to_csv(path, index=False)
    return path


def test_example_run_writes_every_output(example_run):
    status, stdout, stderr, out = example_run
    assert (status, stderr) == (0, "")
    assert sorted(p.name for p in out.iterdir()) == sorted(f"ex_{name}" for name in OUTPUTS)
    assert "bundled example" in stdout
    for step in ("read", *(s for s in STEPS if s in EXAMPLE_SETTINGS), "moderated test"):
        assert any(line.startswith(step + " ") for line in stdout.splitlines()), step
    for name in PNGS:
        width, height = png_size(out / f"ex_{name}")
        assert 400 <= width <= 3000 and 300 <= height <= 2000


def test_example_tables_are_the_library_results(example_run):
    *_, out = example_run
    steps = ("index", "remove_decoy", "noise_filter", "log_transform")
    expected = preprocess(str(EXAMPLE), {key: EXAMPLE_SETTINGS[key] for key in steps})
    # the detection test runs by default: the filter keeps the features
    # measured twice in either group, which it tests
    expected = differential.filter_valid(expected, EXAMPLE_GROUPS, 2, "any")
    expected = normalize(expected, "log_median_0")
    result = pd.read_csv(out / "ex_preprocessed.csv", index_col=0)
    pd.testing.assert_frame_equal(result, expected, check_exact=False, rtol=1e-12)
    assert not result.index.str.contains("REV__|CON__").any()
    assert result.isna().any(axis=1).sum() > 500   # rows with a missing value are tested

    expected = differential.test_hurdle(expected, EXAMPLE_GROUPS, "moderated")
    test = read_test(out / "ex_test.csv")
    test["detection_note"] = test["detection_note"].fillna("")
    test["hurdle_evidence"] = test["hurdle_evidence"].fillna("")
    assert list(test.columns) == SAMPLES + [
        "moderated_stat", "moderated_p", "moderated_fdr_bh", "moderated_df", "moderated_B",
        "group_fc", "n_treat", "n_ctrl", "moderated_note", "detection_p", "detection_note",
        "hurdle_p", "hurdle_fdr_bh", "hurdle_evidence"]
    pd.testing.assert_frame_equal(test, expected, check_exact=False, rtol=1e-12)


def test_example_summary_counts_match_the_test_table(example_run):
    _, stdout, _, out = example_run
    test = read_test(out / "ex_test.csv")
    significant = test["hurdle_fdr_bh"] < 0.05
    # a feature only the detection test answers is higher where it was measured more often
    up = test["group_fc"].fillna(test["n_treat"] - test["n_ctrl"]) > 0
    up = (significant & up).sum()
    line = next(line for line in stdout.splitlines() if line.startswith("moderated test"))
    assert f"{test['hurdle_p'].notna().sum()} features tested, {significant.sum()} " \
           "significant" in line
    assert f"{up} higher in treat, {significant.sum() - up} higher in ctrl" in line
    assert 80 <= significant.sum() <= 300  # a few hundred proteins truly change


def test_example_data_is_as_described(tmp_path):
    df = import_data_by_file_name(str(EXAMPLE), {"index": "Protein IDs"})
    assert df.shape == (3000, 10) and list(df.columns) == SAMPLES
    assert df.index.str.startswith("REV__").sum() > 20
    assert df.index.str.startswith("CON__").sum() > 20
    measured = df.to_numpy()[df.to_numpy() > 0]
    assert 5e3 < measured.min() < 3e4 and 3e9 < measured.max() < 2e10
    # zeros are missing values, more frequent among the weaker proteins
    level = df.replace(0, np.nan).median(axis=1)
    zeros = (df == 0).mean(axis=1)
    weak = level < level.median()
    assert zeros[weak].mean() > 3 * zeros[~weak].mean()
    # the generator reproduces the shipped file
    subprocess.run([sys.executable, str(ROOT / "scripts" / "make_example_data.py"),
                    str(tmp_path / "again.tsv")], check=True, capture_output=True)
    assert (tmp_path / "again.tsv").read_bytes() == EXAMPLE.read_bytes()


def test_no_arguments_run_the_example_from_the_module(tmp_path):
    done = subprocess.run([sys.executable, "-m", "tessera"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "bundled example" in done.stdout
    assert sorted(p.name for p in (tmp_path / "results").iterdir()) == \
        sorted(f"example_lfq_{name}" for name in OUTPUTS)


def resolved(*argv):
    return resolve(build_parser().parse_args(["analyze", *argv]), EXAMPLE)


@pytest.mark.python_only
def test_options_become_the_settings_mapping(table):
    run = resolved(str(table), "--index", "ID", "--group", "a=S1,S2,S3",
                   "--group", "b=S4, S5,S6", "--noise-filter", "1", "--log-transform", "2",
                   "--remove-missing-values", "70%", "--normalize", "log_median_0",
                   "--multipletest-method", "bonferroni", "--out", "res/",
                   "--samples", "S1, S2,S[3-6]", "--quantity", "iBAQ", "--decimal", ",",
                   "--sheet", "Proteins", "--keep-flagged", "--label-column", "Gene")
    assert run.reading == {"samples": ["S1", "S2", "S[3-6]"], "quantity": "iBAQ",
                           "index": "ID", "decimal": ",", "sheet": "Proteins",
                           "keep_flagged": True, "label_column": "Gene"}
    assert run.settings == {"noise_filter": 1, "log_transform": 2,
                            "remove_missing_values": 70, "min_valid": 2, "min_valid_mode": "each",
                            "normalize": "log_median_0"}
    assert run.groups == [("a", ["S1", "S2", "S3"]), ("b", ["S4", "S5", "S6"])]
    assert (run.method, run.fold_change_method, run.multipletest_method) == \
        ("moderated", "group", "bonferroni")
    assert run.out == str(Path("res") / "small") and not run.example


@pytest.mark.python_only
def test_command_line_overrides_settings_file(table, tmp_path):
    config = tmp_path / "settings.toml"
    config.write_text(f'file = "{table}"\nindex = "ID"\nmethod = "t"\nnoise_filter = 5\n'
                      'remove_missing_values = 50\nout = "from_file"\n'
                      'samples = ["S1", "S[2-9]"]\nkeep_flagged = true\n'
                      '[groups]\nx = ["S1", "S2"]\ny = ["S3", "S4"]\nz = ["S5", "S6"]\n')
    run = resolved("--config", str(config), "--noise-filter", "2", "--samples", "S*",
                   "--group", "a=S7,S8", "--group", "b=S9,S1")
    assert run.reading == {"samples": ["S*"], "index": "ID", "keep_flagged": True}
    assert run.settings == {"noise_filter": 2, "log_transform": "auto",
                            "remove_missing_values": 50, "min_valid": 2, "min_valid_mode": "each",
                            "normalize": "ratio_mode"}
    assert run.groups == [("a", ["S7", "S8"]), ("b", ["S9", "S1"])]
    assert (run.method, run.out, run.file) == ("t", "from_file", table)

    # the file's three groups take a test of three or more groups
    with pytest.raises(UsageError, match="'t': t compares 2 groups, and 3 are given "
                                         r"\('x', 'y', 'z'\); choose one of moderated, anova"):
        resolved("--config", str(config), "--method", "t")
    config.write_text(config.read_text().replace('method = "t"\n', ""))
    run = resolved("--config", str(config))
    assert run.method == "moderated" and len(run.groups) == 3


@pytest.mark.python_only
def test_example_settings_fill_only_what_is_not_given():
    run = resolved("--normalize", "origin_median_1", "--method", "permutation")
    assert run.example and run.file == EXAMPLE
    assert {**run.reading, **run.settings} == {**EXAMPLE_SETTINGS, "normalize": "origin_median_1",
                                               "min_valid_mode": "each"}
    assert run.groups == EXAMPLE_GROUPS and run.method == "permutation"


@pytest.mark.usefixtures("unrendered")
@pytest.mark.parametrize("given, method, own", [
    ([], "moderated", ["moderated_df"]), (["--method", "anova"], "anova", [])])
def test_three_groups_test_the_group_means(given, method, own, table, tmp_path):
    status, stdout, stderr = run_cli("analyze", str(table), *WIDE, *given,
                                     "--group", "a=S1,S2,S3", "--group", "b=S4,S5,S6",
                                     "--group", "c=S7,S8,S9", "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    test = read_test(tmp_path / "r_test.csv")
    columns = [f"{method}_stat", f"{method}_p", f"{method}_fdr_bh", *own, "n_a", "n_b", "n_c",
               f"{method}_note"]
    assert list(test.columns[-len(columns):]) == columns
    significant = test.index[test[f"{method}_fdr_bh"] < 0.05]
    assert {f"F{i}" for i in range(10)} <= set(significant)
    assert f"{method} test".ljust(22) + f"40 features tested, {len(significant)} significant" \
        in stdout
    assert not (tmp_path / "r_volcano.png").exists()


def write_design(path, groups, pairs=None, labels=None):
    """A design file: {group: [samples]}, optional {sample: pair} and {sample: label}."""
    rows = [{"sample": s, "group": g} for g, samples in groups.items() for s in samples]
    for row in rows:
        if pairs is not None:
            row["pair"] = pairs.get(row["sample"], "")
        if labels is not None:
            row["label"] = labels.get(row["sample"], "")
    pd.DataFrame(rows).to_csv(path, sep="\t", index=False)
    return path


def samples_of(prefix, names):
    return [f"{prefix}{name}" for name in names]


CD34 = {"H": samples_of("H", "12345"), "N": samples_of("N", "12345")}
DVP = "Olive_20230522_JoN_Hstdia_P10E01_"
DIANN = ["Protein.Ids", "Protein.Names", "Genes", "First.Protein.Description"]
# file, a design of two of its groups, options, format and quantity as the read
# line names them, the annotation columns in order, the label column, step lines
REAL_RUNS = [
    # the gelsolin group P06396;REV__Q6TDU7 is not flagged, but matches REV__
    ("cd34_lfq_proteinGroups.tsv", CD34, ["--remove-decoy", "REV__"],
     "MaxQuant proteinGroups, LFQ intensity",
     ["Majority protein IDs", "Protein names", "Gene names", "Fasta headers"], "Gene names",
     {"flagged": "1375 rows kept, 84 flagged rows removed: Reverse 17, Potential contaminant "
                 "49, Only identified by site 21 (a row with several flags counts under each)",
      "remove_decoy": "1374 rows kept, 1 matching 'REV__' removed"}),
    ("acut_lfq_proteinGroups.tsv",
     {"AC": samples_of("AC", ["381", "384", "386_b", "392", "399"]),
      "UT": samples_of("UT", ["805", "812_b", "815", "821", "822"])}, ["--keep-flagged"],
     "MaxQuant proteinGroups, LFQ intensity", ["Majority protein IDs", "Fasta headers"], None,
     {"flagged": "882 rows kept, flagged rows kept (--keep-flagged)"}),
    ("engines/protpipe_hrec_diann_pg_matrix.tsv",
     {"ETIS": samples_of("HREC_ETIS_", "1234"), "P": samples_of("HREC_P_", "1234")}, [],
     "DIA-NN pg_matrix, PG.MaxLFQ", DIANN, "Genes",
     {"flagged": "7398 rows kept, 0 flagged rows removed: Contaminant 0"}),
    ("engines/dvp_heart_diann_pg_matrix.tsv",
     {"IZ": samples_of(DVP + "IZ_region", ["1_D4_1_2036", "2_D5_1_2039", "3_D6_1_2043",
                                          "4_D3_1_2045"]),
      "remote": samples_of(DVP + "remote_region_", ["1_E5_1_2037", "2_E4_1_2040",
                                                   "3_E3_1_2044", "4_E6_1_2046"])}, [],
     "DIA-NN pg_matrix, PG.MaxLFQ", DIANN, "Genes",
     {"flagged": "3799 rows kept, 59 flagged rows removed: Contaminant 59"}),
    ("engines/idh_fragpipe_combined_protein.tsv",
     {"IDHmut": samples_of("IDHmut_", "456"), "IDHwt": samples_of("IDHwt_", "123")}, [],
     "FragPipe combined_protein, MaxLFQ Intensity",
     ["Protein ID", "Entry Name", "Gene", "Description", "Organism"], "Gene",
     {"flagged": "7682 rows kept, 5 flagged rows removed: Contaminant 5, Decoy 0"}),
    ("engines/unc13a_spectronaut_pg_quantity.csv",
     {"WT": samples_of("UNC13A_WT_", "123456"), "CE": samples_of("UNC13A_CE_", "123456")},
     [], "Spectronaut protein pivot, PG.Quantity", ["PG.Genes"], "PG.Genes", {"flagged": None}),
]


@pytest.mark.parametrize("name, groups, options, kind, annotations, label, lines", REAL_RUNS,
                         ids=[run[0].split("/")[-1].split("_")[0] for run in REAL_RUNS])
def test_real_tables_run_with_a_design_file(data, name, groups, options, kind, annotations,
                                           label, lines, tmp_path, monkeypatch):
    volcano = Recorder(figures.volcano)
    monkeypatch.setattr(figures, "volcano", volcano)
    design = write_design(tmp_path / "design.tsv", groups)
    status, stdout, stderr = run_cli("analyze", str(data / name), "--design", str(design),
                                     *options, "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    printed = {line[:22].strip(): line[22:] for line in stdout.splitlines()}
    assert f"({kind}, " in printed["read"]
    assert {step: printed.get(step) for step in lines} == lines

    test = pd.read_csv(tmp_path / "r_test.csv", index_col=0, keep_default_na=False,
                       na_values=[""], low_memory=False)
    samples = [s for members in groups.values() for s in members]
    assert list(test.columns[:len(annotations)]) == annotations
    assert set(samples) <= set(test.columns[len(annotations):])
    # the volcano names each point by its label, or by its identifier without one
    (_, kwargs), = volcano.calls
    if label is None:
        assert kwargs["names"].tolist() == test.index.tolist()
        return
    # the annotations are the file's, row for row
    plain = pd.read_csv(data / name, sep=None, engine="python", dtype=str,
                        keep_default_na=False, usecols=[test.index.name, label])
    expected = plain.set_index(test.index.name)[label].reindex(test.index)
    assert test[label].fillna("").tolist() == expected.tolist()
    assert kwargs["names"].tolist() == expected.where(expected != "", test.index).tolist()


@pytest.mark.parametrize("pairs, second", [
    # pairs are ordered as the file first names them: p2, p3, p1
    ({"S1": "p2", "S2": "p3", "S3": "p1", "S4": "p1", "S5": "p2", "S6": "p3"},
     ["S5", "S6", "S4"]),
    (None, ["S4", "S5", "S6"]),
])
def test_paired_tests_take_their_pairs_from_the_design(pairs, second, table, tmp_path,
                                                      monkeypatch):
    intensities = Recorder(figures.intensities)
    monkeypatch.setattr(figures, "intensities", intensities)
    design = write_design(tmp_path / "design.tsv", {"a": ["S1", "S2", "S3"],
                                                    "b": ["S4", "S5", "S6"]},
                          pairs=pairs, labels={"S1": "first"})
    status, stdout, stderr = run_cli("analyze", str(table), *WIDE, "--design", str(design),
                                     "--method", "paired_t", "--fold-change-method", "paired",
                                     "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    how = "pairs from the design's pair column" if pairs else \
        "the groups' samples paired in the order given"
    assert f"test:     paired_t (paired t-test, on the features measured in every sample), " \
           f"fold change paired, {how}" in stdout
    assert "3 samples not in the design, preprocessed but not tested (to leave them out, " \
           "name the samples with --samples): S7, S8, S9" in stdout

    pre = pd.read_csv(tmp_path / "r_preprocessed.csv", index_col="ID")
    groups = [("a", ["S1", "S2", "S3"]), ("b", second)]
    expected = Vetting({}).stat_test_two_samples(pre, groups, "paired_t",
                                                 fold_change_method="paired")
    test = read_test(tmp_path / "r_test.csv")
    pd.testing.assert_frame_equal(test[expected.columns], expected, check_exact=False,
                                  rtol=1e-12, check_names=False)
    assert list(test.columns[len(expected.columns):]) == ["n_a", "n_b", "paired_t_note"]
    (panels, *_), _ = intensities.calls[0]
    assert list(panels[0][1].columns[:3]) == ["first", "S2", "S3"]


@pytest.mark.python_only
@pytest.mark.parametrize("config, options, groups", [
    ('design = "design.tsv"\n', ["--group", "x=S7,S8", "--group", "y=S9,S1"],
     [("x", ["S7", "S8"]), ("y", ["S9", "S1"])]),
    ('[groups]\nx = ["S7", "S8"]\ny = ["S9", "S1"]\n', ["--design", "design.tsv"],
     [("a", ["S1", "S2"]), ("b", ["S3", "S4"])]),
    ("", ["--design", "design.tsv"], [("a", ["S1", "S2"]), ("b", ["S3", "S4"])]),
])
def test_groups_on_the_command_line_replace_the_settings_file_design(
        config, options, groups, table, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_design(tmp_path / "design.tsv", {"a": ["S1", "S2"], "b": ["S3", "S4"]})
    (tmp_path / "settings.toml").write_text(f'file = "{table}"\n{config}')
    run = resolved("--config", "settings.toml", *options)
    assert run.groups == groups
    assert run.design == (Path("design.tsv") if "--design" in options else None)


@pytest.mark.parametrize("args, message", [
    (["missing.tsv"], "input file missing.tsv not found"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S3,S99"],
     "group 'b': 'S99' is not a sample of t.csv; the samples (wide table) are S1, S2"),
    (["{table}", "--group", "a=S1", "--group", "b=S3,S4"], "group 'a' has 1 column"),
    (["{table}", "--group", "a=S1,S2"], "1 group given; give at least two"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S2,S3"], "column 'S2' is listed in"),
    (["{table}", "--group", "aS1,S2", "--group", "b=S3,S4"], "write it as NAME=COL,COL"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S3,S4", "--method", "wilch"],
     "--method 'wilch' is not a known test; choose one of moderated, Welch, t, mannwhitneyu, "
     "paired_t, Wilcoxon, permutation, anova"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S3,S4", "--method", "log2fc"],
     "computes a fold change, not a p-value"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S3,S4,S5", "--method", "paired_t"],
     "give groups of equal size"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S3,S4", "--multipletest-method", "x"],
     "not a multiple-testing method"),
    (["{table}", "--index", "Name", "--group", "a=S1,S2", "--group", "b=S3,S4"],
     "no column 'Name' for the index"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S3,S4", "--remove-missing-values",
      "100", "--noise-filter", "100"], "no rows left after remove_missing_values"),
    (["{table}", "--sheet", "one", "--group", "a=S1,S2", "--group", "b=S3,S4"],
     "sheet applies to .xlsx workbooks, and this is a text table; leave --sheet out"),
    (["{bare}", "--group", "a=H1,H2", "--group", "b=N1,N2"],
     "t.csv: the header matches none of the formats read here (MaxQuant proteinGroups, "
     "DIA-NN pg_matrix, FragPipe combined_protein, Spectronaut protein pivot); for another "
     "table choose the sample columns with --samples"),
    (["{bare}", "--group", "a=S1,S2", "--group", "b=S3,X4"],
     "for another table choose the sample columns with --samples (names, or a pattern such "
     "as 'LFQ intensity *') and the identifier column with --index (columns: 'ID', 'S1', "
     "'S2', 'S3', 'S4', 'S5', ... (10 in all)); the groups' columns would do, but group 'b' "
     "names 'X4', "
     "which is not a column of the table"),
    (["{mq}", "--design", "hn.tsv", "--group", "a=H1,H2", "--group", "b=N1,N2"],
     "--design and --group both give the groups; give the groups in the design file or "
     "with --group, not both"),
    (["{mq}", "--design", "stray.tsv"], "stray.tsv: 1 sample of the design not in the "
     "table: 'X9'; the table's samples are 'H1', 'H2'"),
    (["{mq}", "--design", "ungrouped.tsv"], "ungrouped.tsv: 1 sample in no group: 'N3'"),
    (["{mq}", "--design", "single.tsv"], "design single.tsv: group 'N' has 1 sample; a test "
     "needs at least two samples per group, give it another sample in the design"),
    (["{mq}", "--design", "hn.tsv", "--quantity", "iBAQ"], "no quantity 'iBAQ' in this "
     "MaxQuant proteinGroups table; choose one of 'LFQ intensity', 'Intensity'"),
    (["{mq}", "--group", "a=LFQ intensity H1,H2", "--group", "b=N1,N2"],
     "group 'a': 'LFQ intensity H1' is not a sample of cd34_lfq_proteinGroups.tsv; name the "
     "sample 'H1', not its column"),
    (["--config", "both.toml"], "both.toml: design and [groups] both give the groups"),
    (["--noise-filter", "one"], "--noise-filter 'one' must be a whole number"),
    (["--log-transform", "1"], "base of at least 2"),
    (["--normalize", "log_mean_0"], "is not a normalisation"),
    (["--remove-decoy", "REV__("], "not a valid regular expression"),
    (["--config", "missing.toml"], "settings file missing.toml not found"),
    (["--config", "bad.toml"], "is not valid TOML"),
    (["--config", "typo.toml"], "unknown key 'normalise'; did you mean normalize?"),
    (["--frobnicate"], "unrecognized arguments: --frobnicate"),
    (["--min-valid", "0"], "--min-valid '0' must be a whole number of at least 1, e.g. 2"),
    (["--min-valid", "6", "--min-valid-mode", "each"], "--min-valid 6 (mode each): group "
     "'treat' has 5 samples, so no feature can have 6 values there; choose at most 5"),
    (["--min-valid", "11", "--min-valid-mode", "all"], "--min-valid 11 (mode all): the groups "
     "have 10 samples together, so no feature can have 11 values there; choose at most 10"),
    (["--min-valid-mode", "most"], "--min-valid-mode 'most' is not a known min-valid mode; "
     "choose one of each, any, all"),
    (["--impute", "knn"], "--impute 'knn' is not a known imputation; choose one of downshift, "
     "mindet"),
    (["--impute-seed", "3"], "--impute-seed '3': --impute-seed applies to --impute downshift; "
     "add --impute downshift or drop --impute-seed"),
    (["--impute", "downshift", "--impute-quantile", "0.1"], "--impute-quantile '0.1': "
     "--impute-quantile applies to --impute mindet, and this run imputes by downshift; drop "
     "--impute-quantile"),
    (["--impute", "downshift", "--impute-width", "0"], "--impute-width '0' must be a number "
     "above 0, e.g. 0.3"),
    (["--impute", "downshift", "--impute-seed", "-1"], "--impute-seed '-1' must be a whole "
     "number of at least 0"),
    (["--impute", "mindet", "--impute-quantile", "1"], "--impute-quantile '1' must lie "
     "strictly between 0 and 1"),
    (["--method", "Welch", "--moderated-robust"], "--moderated-robust True: this switch "
     "applies to --method moderated, and this run tests by Welch; drop it or choose --method "
     "moderated"),
    (["--fc-threshold", "-1"], "--fc-threshold '-1' must be a number above 0, e.g. 1"),
    (["--fc-threshold", "nan"], "--fc-threshold 'nan' must be a finite number"),
    (["--label-top", "some"], "--label-top 'some' must be a whole number"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S3,S4", "--group", "c=S5,S6",
      "--fc-threshold", "1"], "--fc-threshold '1': with 3 groups ('a', 'b', 'c') the moderated "
     "test has no fold change, which --fc-threshold is about; drop it or give two groups"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S3,S4", "--method", "ANOVA"],
     "--method 'ANOVA': anova compares 3 or more groups, and 2 are given ('a', 'b'); choose "
     "one of moderated, Welch, t, mannwhitneyu, paired_t, Wilcoxon, permutation"),
    (["{table}", "--group", "a=S1,S2", "--group", "b=S3,S4", "--group", "c=S5,S6",
      "--method", "welch"], "--method 'welch': Welch compares 2 groups, and 3 are given ('a', "
     "'b', 'c'); choose one of moderated, anova"),
    (["--config", "record.toml"], "settings file record.toml: record must be a table, "
     "[record], as run.toml writes it"),
])
def test_refused_runs_say_why_in_one_line_and_write_nothing(
        args, message, table, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "bad.toml").write_text("noise_filter = \n")
    (tmp_path / "typo.toml").write_text('normalise = "log_median_0"\n')
    (tmp_path / "record.toml").write_text('record = "abc"\n')
    (tmp_path / "both.toml").write_text('design = "hn.tsv"\n[groups]\na = ["S1", "S2"]\n'
                                        'b = ["S3", "S4"]\n')
    table.rename(tmp_path / "t.csv")
    write_design(tmp_path / "hn.tsv", CD34)
    write_design(tmp_path / "stray.tsv", {"H": ["H1", "X9"], "N": ["N1", "N2"]})
    write_design(tmp_path / "single.tsv", {"H": ["H1", "H2"], "N": ["N1"]})
    write_design(tmp_path / "ungrouped.tsv", {"H": ["H1", "H2"], "N": ["N1", "N2"],
                                              "": ["N3"]})
    if args[0] == "{table}":
        args = [*args, *WIDE]
    elif args[0] == "{mq}":
        args[0] = str(real_data("cd34_lfq_proteinGroups.tsv"))
    args = [a.format(table="t.csv", bare="t.csv") for a in args]
    before = sorted(p.name for p in tmp_path.iterdir())
    status, stdout, stderr = run_cli("analyze", *args, "--out", "out/run")
    assert status == 2
    assert stderr.startswith("tessera: error: ") and stderr.count("\n") == 1
    assert message in stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == before


def _zeros(v):
    v[:4, 0] = 0
    return v


def _zero_median(v):
    v[:30, 0] = 0
    return v


def _one_zero_per_row(v):
    v[np.arange(len(v)), np.arange(len(v)) % 6] = 0
    return v


def _empty_column(v):
    v[:, 0] = 0
    return v


def _already_logarithms(v):
    return np.log2(v) - 20


def _constant(v):
    return np.full_like(v, 1000)


@pytest.mark.parametrize("edit, args, messages", [
    (_zeros, ["--log-transform", "2"],
     ["log_transform 2 failed: 4 zero cells", "add --noise-filter 1"]),
    (_zeros, ["--noise-filter", "0", "--log-transform", "2"],
     ["4 zero cells", "raise --noise-filter to 1"]),
    (_already_logarithms, ["--log-transform", "2"],
     ["negative cells (e.g. ", "if the table already holds logarithms drop --log-transform"]),
    (_zero_median, ["--normalize", "origin_median_1"],
     ["normalize 'origin_median_1' failed: column 'S1' has median 0", "add --noise-filter 1"]),
    (_one_zero_per_row, ["--noise-filter", "1", "--method", "paired_t"],
     ["paired_t test gave none of the 40 features a p-value; 40 of them: a missing value, "
      "and paired_t needs every pair", "add --remove-missing-values 100"]),
    (_empty_column, ["--noise-filter", "1", "--log-transform", "2", "--method", "Wilcoxon"],
     ["sample column 'S1' has no values left"]),
    (_empty_column, ["--noise-filter", "1", "--impute", "mindet"],
     ["impute mindet failed: column 'S1' has 0 finite values: imputation needs at least 2 "
      "(group 'a'); leave that sample out of its group, or drop --impute"]),
    (_constant, ["--method", "Welch"], [
        "Welch test gave none of the 40 features a p-value; 40 of them: no variance in either "
        "group; check that the groups name the right sample columns"]),
    (_zeros, ["--noise-filter", "1", "--moderated-trend"], [
        "the moderated test cannot run on this table: method 'moderated': --moderated-trend "
        "is not built for the likelihood estimate", "pass --moderated-legacy for the classic "
        "estimate"]),
])
def test_a_failed_step_stops_the_run(edit, args, messages, tmp_path):
    rng = np.random.default_rng(3)
    values = 2 ** rng.normal(20, 1, (40, 6))
    file = write_table(tmp_path / "t.csv", edit(values))
    status, stdout, stderr = run_cli("analyze", str(file), *WIDE, *NO_DEFAULT_STEPS, *args,
                                     "--group", "a=S1,S2,S3", "--group", "b=S4,S5,S6",
                                     "--out", str(tmp_path / "out" / "r"))
    assert status == 2
    assert stderr.startswith("tessera: error: ") and stderr.count("\n") == 1
    for message in messages:
        assert message in stderr
    assert "Fail to do log transform" not in stdout
    assert not (tmp_path / "out").exists()


def test_library_warnings_are_summarised_not_shown(tmp_path, recwarn, monkeypatch):
    # a library that warns once per degenerate row, and about its own code
    test_features = differential.test_features

    def warning_test(*args, **kwargs):
        for row in range(3):
            warnings.warn(f"invalid value encountered in row {row}", RuntimeWarning)
        warnings.warn("an argument will change", FutureWarning)
        return test_features(*args, **kwargs)

    monkeypatch.setattr(differential, "test_features", warning_test)
    values = np.random.default_rng(5).integers(1000, 2000, (20, 6))
    file = write_table(tmp_path / "int.csv", values)
    status, stdout, stderr = run_cli("analyze", str(file), *WIDE, *NO_DEFAULT_STEPS, "--group",
                                     "a=S1,S2,S3", "--group", "b=S4,S5,S6",
                                     "--method", "Wilcoxon", "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    assert [str(w.message) for w in recwarn] == []
    assert "20 features tested" in stdout
    assert "3 warnings from the test, the first: invalid value encountered in row 0" in stdout
    assert "dtype" not in stdout and "will change" not in stdout


def failing_write(monkeypatch, exc, name="pvalues.png"):
    """Makes the write of the output ``name`` stop half-way with ``exc``; the
    outputs before it are written."""
    write = analysis.write_bytes

    def half_then_fail(path, data):
        if name not in str(path):
            return write(path, data)
        write(path, data[: len(data) // 2])
        raise exc

    monkeypatch.setattr(analysis, "write_bytes", half_then_fail)


@pytest.mark.usefixtures("unrendered")
def test_failed_write_leaves_no_file_behind(table, tmp_path, monkeypatch):
    failing_write(monkeypatch, OSError("disk full"))
    status, _, stderr = run_cli("analyze", str(table), *WIDE, "--group", "a=S1,S2",
                                "--group", "b=S3,S4", "--out", str(tmp_path / "out" / "r"))
    assert status == 1 and "disk full" in stderr and stderr.count("\n") == 1
    assert list((tmp_path / "out").iterdir()) == []


def snapshot(directory):
    """{file name: bytes} of every file in a directory."""
    return {p.name: p.read_bytes() for p in sorted(Path(directory).iterdir())}


# beside the outputs of out/r: names close to its outputs, and an output name
# under other prefixes
NOT_WRITTEN_BY_TESSERA = ("r_notes.txt", "r_volcano.png.bak", "other_volcano.png", "r2_test.csv")


@pytest.fixture
def two_group_run(table, tmp_path):
    """A two-group run into out/r, beside files tessera did not write; its snapshot."""
    out = tmp_path / "out"
    out.mkdir()
    for name in NOT_WRITTEN_BY_TESSERA:
        (out / name).write_text("not tessera's")
    status, _, stderr = run_cli("analyze", str(table), *WIDE, "--group", "a=S1,S2,S3",
                                "--group", "b=S4,S5,S6", "--out", str(out / "r"))
    assert (status, stderr) == (0, "")
    return snapshot(out)


THREE_GROUPS = [*WIDE, "--group", "a=S1,S2,S3", "--group", "b=S4,S5,S6",
                "--group", "c=S7,S8,S9"]


@pytest.mark.usefixtures("unrendered")
def test_a_completed_run_removes_the_outputs_it_did_not_write(table, tmp_path, two_group_run):
    out = tmp_path / "out"
    status, stdout, stderr = run_cli("analyze", str(table), *THREE_GROUPS, "--out", str(out / "r"))
    assert (status, stderr) == (0, "")
    assert f"removed {out / 'r_volcano.png'}, written by an earlier run" in stdout
    after = snapshot(out)
    assert sorted(after) == sorted(set(two_group_run) - {"r_volcano.png"})
    assert all(after[name] == b"not tessera's" for name in NOT_WRITTEN_BY_TESSERA)
    assert after["r_test.csv"] != two_group_run["r_test.csv"]   # the three-group table


@pytest.mark.usefixtures("unrendered")
@pytest.mark.parametrize("how, status", [
    ("write fails", 1),
    ("interrupted while writing", 130),
    ("step fails", 2),
])
def test_a_failed_run_keeps_the_earlier_set(how, status, table, tmp_path, two_group_run,
                                            monkeypatch):
    args = list(THREE_GROUPS)
    if how == "step fails":
        args += ["--noise-filter", "100", "--remove-missing-values", "100"]
    else:
        exc = OSError("disk full") if how == "write fails" else KeyboardInterrupt()
        failing_write(monkeypatch, exc)
    result = run_cli("analyze", str(table), *args, "--out", str(tmp_path / "out" / "r"))
    assert result[0] == status and result[2].count("\n") == 1
    assert snapshot(tmp_path / "out") == two_group_run


@pytest.mark.usefixtures("unrendered")
def test_ctrl_c_while_renaming_does_not_split_the_set(table, tmp_path, two_group_run,
                                                    monkeypatch):
    replace, renamed = os.replace, []

    def replace_and_interrupt(source, target):
        if not renamed:
            signal.raise_signal(signal.SIGINT)
        renamed.append(target)
        replace(source, target)

    monkeypatch.setattr(os, "replace", replace_and_interrupt)
    # Python's own handler, whatever the suite was started with (a shell's
    # background job starts with SIGINT ignored)
    saved = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        status, _, stderr = run_cli("analyze", str(table), *THREE_GROUPS,
                                    "--out", str(tmp_path / "out" / "r"))
        handler = signal.getsignal(signal.SIGINT)
    finally:
        signal.signal(signal.SIGINT, saved)
    assert (status, stderr) == (0, "") and len(renamed) == 9
    assert "r_volcano.png" not in snapshot(tmp_path / "out")
    assert handler is signal.default_int_handler


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.python_only
def test_progress_line_is_drawn_on_a_terminal_and_cleared():
    terminal, pipe = FakeTerminal(), io.StringIO()
    with Elapsed("permutation test", stream=terminal, delay=0, interval=0.01):
        with Elapsed("permutation test", stream=pipe, delay=0, interval=0.01):
            time.sleep(0.1)
    drawn = terminal.getvalue()
    assert drawn.startswith("\rpermutation test ") and drawn.endswith("\r")
    assert drawn.rsplit("\r", 2)[1].strip() == ""  # the last write blanks the line
    assert pipe.getvalue() == ""


@pytest.mark.python_only
@pytest.mark.parametrize("spelling, groups, name", [
    ("Welch", 2, "Welch"), ("welch", 2, "Welch"), ("WELCH", 2, "Welch"), ("t", 2, "t"),
    ("mannwhitneyu", 2, "mannwhitneyu"), ("Mannwhiteneyu", 2, "mannwhitneyu"),
    ("Mann-Whitney", 2, "mannwhitneyu"), ("paired-t", 2, "paired_t"),
    ("wilcoxon", 2, "Wilcoxon"), ("Permutation", 2, "permutation"),
    ("anova", 3, "anova"), ("ANOVA", 3, "anova"), ("oneway", 3, "anova"),
    ("limma", 2, "moderated"), ("Moderated", 3, "moderated"),
])
def test_method_spellings_resolve_to_the_tests_names(spelling, groups, name):
    columns = [f"treat_{i}" for i in range(1, 6)] + [f"ctrl_{i}" for i in range(1, 6)]
    given = [f"--group=g{k}={columns[2 * k]},{columns[2 * k + 1]}" for k in range(groups)]
    run = resolved(str(EXAMPLE), *given, "--method", spelling)
    assert run.method == name


def test_the_command_line_offers_every_test_of_the_library():
    assert sorted(METHOD_BY_NAME) == sorted(differential.METHODS)


@pytest.mark.python_only
def test_help_names_every_test_and_which_are_paired(capsys):
    with pytest.raises(SystemExit):
        build_parser().parse_args(["analyze", "--help"])
    text = " ".join(capsys.readouterr().out.split())
    for name in ("moderated (the default, for two groups and for more)", "Welch",
                 "t (Student)", "mannwhitneyu", "paired_t", "Wilcoxon", "permutation", "anova"):
        assert name in text
    assert "paired_t and Wilcoxon (signed ranks) are paired tests" in text
    for flag in ("--min-valid N", "--min-valid-mode MODE", "--impute METHOD", "--impute-seed",
                 "--impute-shift", "--impute-width", "--impute-quantile", "--fc-threshold",
                 "--label-top", "--moderated-trend", "--moderated-robust",
                 "--moderated-legacy", "--covariate", "--block", "--formula", "--contrast",
                 "--sample-weights", "--treat"):
        assert flag in text
    # the steps' defaults, as the library's functions have them
    for default in ("alone it means --min-valid 2", "(default: 0; the same seed",
                    "(default: 1.8)", "(default: 0.3)", "(default: 0.01)"):
        assert default in text
    # and every file a run can write
    # (a file per contrast with the field in angle brackets)
    assert all("PREFIX_" + re.sub(r"\{(\w+)\}", r"<\1>", output.name) in text
               for output in outputs.OUTPUTS)


@pytest.mark.usefixtures("unrendered")
@pytest.mark.parametrize("switches", [
    [], ["--moderated-legacy"], ["--moderated-legacy", "--moderated-trend"],
    ["--moderated-legacy", "--moderated-robust"],
    ["--moderated-legacy", "--moderated-trend", "--moderated-robust"]])
def test_moderated_switches_reach_the_test_and_its_summary(switches, tmp_path):
    rng = np.random.default_rng(8)
    values = rng.normal(20, 1, (300, 6)) + rng.normal(0, 0.5, (300, 1)) * np.arange(6)
    values[rng.random(values.shape) < 0.1] = np.nan
    file = write_table(tmp_path / "t.csv", values)
    groups = [("a", ["S1", "S2", "S3"]), ("b", ["S4", "S5", "S6"])]
    status, stdout, stderr = run_cli("analyze", str(file), *WIDE, *NO_DEFAULT_STEPS,
                                     "--group", "a=S1,S2,S3", "--group", "b=S4,S5,S6", *switches,
                                     "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    options = {word: f"--moderated-{word}" in switches for word in ("trend", "robust", "legacy")}
    given = pd.read_csv(file, index_col="ID")
    expected = differential.test_features(given, groups, "moderated", **options)
    test = read_test(tmp_path / "r_test.csv")
    pd.testing.assert_frame_equal(test, expected, check_exact=False, rtol=1e-12)
    line = next(line for line in stdout.splitlines() if line.startswith("moderated test"))
    assert line.endswith("; " + prior_summary(expected.attrs["moderated"]))
    recorded = tomllib.loads((tmp_path / "r_run.toml").read_text(encoding="utf-8"))
    assert {word: recorded[f"moderated_{word}"] for word in options} == options


# Measured values of groups a (S1-S3) and b (S4-S6); S7 is in no group and
# never measured, so a filter that counted it would remove every row.
N = np.nan
PER_GROUP_ROWS = [
    [1, 2, 3, 4, 5, 6, N],      # 3 and 3
    [1, 2, N, 4, 5, N, N],      # 2 and 2
    [1, N, N, 4, 5, 6, N],      # 1 and 3
    [N, N, N, 4, 5, N, N],      # 0 and 2
    [1, N, N, 4, N, N, N],      # 1 and 1
]


@pytest.mark.usefixtures("unrendered")
@pytest.mark.parametrize("mode, kept, why", [
    ("each", ["F0", "F1"], "3 with fewer than 2 measured values in a group removed"),
    ("any", ["F0", "F1", "F2", "F3"], "1 with fewer than 2 measured values in every group "
     "removed"),
    ("all", ["F0", "F1", "F2", "F3", "F4"], "0 with fewer than 2 measured values in the "
     "groups' columns together removed"),
])
def test_min_valid_counts_the_group_columns_only(mode, kept, why, tmp_path):
    file = write_table(tmp_path / "t.csv", np.array(PER_GROUP_ROWS, dtype=float))
    status, stdout, stderr = run_cli(
        "analyze", str(file), *WIDE, *NO_DEFAULT_STEPS, "--group", "a=S1,S2,S3",
        "--group", "b=S4,S5,S6", "--min-valid", "2", "--min-valid-mode", mode, "--method", "t",
        "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    assert f"min_valid             {len(kept)} rows kept, {why}" in stdout
    pre = pd.read_csv(tmp_path / "r_preprocessed.csv", index_col="ID")
    assert list(pre.index) == kept and pre["S7"].isna().all()
    test = read_test(tmp_path / "r_test.csv")
    assert list(test.index) == kept
    counts = pd.DataFrame(PER_GROUP_ROWS, index=[f"F{i}" for i in range(5)]).notna()
    assert list(test["n_a"]) == list(counts.loc[kept, [0, 1, 2]].sum(axis=1))
    assert list(test["n_b"]) == list(counts.loc[kept, [3, 4, 5]].sum(axis=1))


@pytest.mark.usefixtures("unrendered")
def test_summary_counts_the_untested_features_per_reason(tmp_path):
    rng = np.random.default_rng(11)
    values = rng.normal(20, 1, (30, 6))
    values[:4, 0:2] = np.nan          # 1 value in a
    values[4:6, 3:6] = np.nan         # 0 values in b
    values[6] = 7.0                   # no variance
    file = write_table(tmp_path / "t.csv", values)
    status, stdout, _ = run_cli("analyze", str(file), *WIDE, *NO_DEFAULT_STEPS,
                                "--group", "a=S1,S2,S3", "--group", "b=S4,S5,S6",
                                "--method", "Welch",
                                "--out", str(tmp_path / "r"))
    assert status == 0
    line = next(line for line in stdout.splitlines() if line.startswith("Welch test"))
    assert line.endswith("; 7 not tested: 1 value in a, 2 needed (4); 0 values in b, 2 needed "
                         "(2); no variance in either group (1)")
    test = read_test(tmp_path / "r_test.csv")
    assert line.startswith(f"Welch test            {test['Welch_p'].notna().sum()} features "
                           "tested")
    assert test["Welch_note"].value_counts().to_dict() == {
        "": 23, "1 value in a, 2 needed": 4, "0 values in b, 2 needed": 2,
        "no variance in either group": 1}


@pytest.mark.usefixtures("unrendered")
@pytest.mark.parametrize("options, expected", [
    (["--impute", "downshift", "--impute-seed", "5", "--impute-shift", "1.5",
      "--impute-width", "0.4"], "downshift"),
    (["--impute", "mindet", "--impute-quantile", "0.05"], "mindet"),
])
def test_imputed_cells_are_counted_and_as_numpy_draws_them(options, expected, tmp_path):
    rng = np.random.default_rng(2)
    values = rng.normal(20, 2, (50, 7))
    values[rng.random(values.shape) < 0.25] = np.nan
    file = write_table(tmp_path / "t.csv", values)
    groups = [("a", ["S1", "S2", "S3"]), ("b", ["S4", "S5", "S6"])]
    status, stdout, stderr = run_cli("analyze", str(file), *WIDE, *NO_DEFAULT_STEPS,
                                     "--group", "a=S1,S2,S3", "--group", "b=S4,S5,S6",
                                     "--method", "Welch", *options,
                                     "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    given = pd.read_csv(file, index_col="ID")
    pre = pd.read_csv(tmp_path / "r_preprocessed.csv", index_col="ID")
    missing = given.isna()
    # the numpy recipe, column after column in the groups' order
    draws = np.random.default_rng(5)
    for column in ["S1", "S2", "S3", "S4", "S5", "S6"]:
        measured = given[column].dropna().to_numpy()
        where = missing[column]
        if expected == "downshift":
            m, sd = measured.mean(), measured.std(ddof=1)
            filled = draws.normal(m - 1.5 * sd, 0.4 * sd, size=int(where.sum()))
        else:
            filled = np.nanquantile(given[column].to_numpy(), 0.05)
        np.testing.assert_array_equal(pre.loc[where, column].to_numpy(),
                                      np.broadcast_to(filled, int(where.sum())))
    assert pre["S7"].isna().equals(missing["S7"])     # in no group: not imputed
    cells = int(missing[["S1", "S2", "S3", "S4", "S5", "S6"]].to_numpy().sum())
    assert f"impute                50 rows kept, {cells} missing cells of the groups' " \
           f"columns" in stdout and f"filled by {expected}" in stdout

    test = read_test(tmp_path / "r_test.csv")
    assert list(test.columns[-5:]) == ["n_a", "n_b", "imputed_a", "imputed_b", "Welch_note"]
    for name, columns in groups:
        assert test[f"imputed_{name}"].tolist() == missing[columns].sum(axis=1).tolist()
        assert (test[f"n_{name}"] == 3).all()


@pytest.mark.usefixtures("unrendered")
def test_plain_table_takes_the_groups_columns_as_its_samples(tmp_path, monkeypatch):
    rng = np.random.default_rng(4)
    file = write_table(tmp_path / "t.csv", rng.normal(20, 1, (20, 8)))
    groups = ["--group", "a=S1,S2,S3", "--group", "b=S4,S5,S6"]
    opened = Recorder(readers_source.open_source)
    for module in (readers_source, readers_table):
        monkeypatch.setattr(module, "open_source", opened)
    status, stdout, stderr = run_cli("analyze", str(file), *groups,
                                     "--out", str(tmp_path / "taken"))
    assert (status, stderr) == (0, "")
    # the refused read's header is taken from the refusal: the file is opened
    # for that read and for the read of the groups' columns, not once more
    assert len(opened.calls) == 2
    assert "samples               6 columns the groups name taken as the samples (the table " \
           "is in none of the formats and --samples is not given)" in stdout
    status, _, _ = run_cli("analyze", str(file), *groups, "--samples", "S1,S2,S3,S4,S5,S6",
                           "--out", str(tmp_path / "named"))
    assert status == 0
    for name in ("preprocessed.csv", "test.csv"):
        assert (tmp_path / f"taken_{name}").read_bytes() == \
            (tmp_path / f"named_{name}").read_bytes()
