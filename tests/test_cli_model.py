"""The command line's model: design variables, --covariate, --block,
--formula, --contrast, --sample-weights and --treat through
differential.test_contrasts, their lines, files and refusals."""
import numpy as np
import pandas as pd
import pytest

from conftest import read_test, real_data, run_cli, design_file, write_table
from tessera.cli.model import Contrast, Model, parse_contrast, without_covariates
from tessera.tools import differential

CD34 = "cd34_lfq_proteinGroups.tsv"
HLN = [(g, [f"{g}{i}" for i in range(1, 6)]) for g in "HLN"]
# the README's preprocessing of the cd34 table
CD34_STEPS = ["--log-transform", "2", "--min-valid", "2", "--normalize", "log_median_0"]
CD34_CONTRASTS = {"H-N": "groupH - groupN", "HvsLN": "groupH - (groupL + groupN)/2"}
# Six samples of groups a and b, and design variables: batch (two levels
# across the groups), same (one level), twin (the groups under other names),
# gap (no value for S3) and age (numbers).
SMALL_DESIGN = [("S1", "a", "x", "k", "p", "q", 31), ("S2", "a", "y", "k", "p", "q", 42),
                ("S3", "a", "x", "k", "p", "", 55), ("S4", "b", "y", "k", "r", "q", 38),
                ("S5", "b", "x", "k", "r", "q", 47), ("S6", "b", "y", "k", "r", "q", 60)]
SMALL_HEADER = ("sample", "group", "batch", "same", "twin", "gap", "age")


def cd34_samples():
    return pd.DataFrame({"group": [g for g, members in HLN for _ in members],
                         "donor": [f"D{s[1:]}" for _, members in HLN for s in members]},
                        index=[s for _, members in HLN for s in members])


@pytest.fixture
def small(tmp_path):
    """A 60-feature table of samples S1-S6 (a tenth of the cells missing, a
    batch effect on S2, S4 and S6) and its design file."""
    rng = np.random.default_rng(11)
    values = rng.normal(20, 1, (60, 6)) + np.array([0, 0.8, 0, 0.8, 0, 0.8])
    values[:8, 3:] += 2
    values[rng.random(values.shape) < 0.1] = np.nan
    table = write_table(tmp_path / "t.csv", values)
    design = design_file(tmp_path / "design.tsv", SMALL_DESIGN, SMALL_HEADER)
    return ["analyze", str(table), "--samples", "S*", "--design", str(design)]


def line_of(stdout, name):
    return next(line for line in stdout.splitlines() if line.startswith(name + " "))


@pytest.mark.parametrize("options, formula, keywords", [
    (["--covariate", "donor"], "~ 0 + group + donor", {}),
    (["--block", "donor"], "~ 0 + group", {"block": "donor"}),
    (["--sample-weights"], "~ 0 + group", {"sample_weights": True}),
    (["--treat", "0.5"], "~ 0 + group", {"lfc": 0.5}),
])
def test_cd34_contrasts_are_the_library_results(options, formula, keywords, tmp_path):
    """The test table holds test_contrasts' columns for the model asked for;
    the lines count its significant features per contrast and direction."""
    design = design_file(tmp_path / "design.tsv",
                          [(s, *row) for s, row in cd34_samples().iterrows()],
                          ("sample", "group", "donor"))
    status, stdout, stderr = run_cli("analyze", str(real_data(CD34)), "--design", str(design),
                                     *CD34_STEPS, "--contrast", "H-N", "--contrast",
                                     "HvsLN=H-(L+N)/2", *options, "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    preprocessed = pd.read_csv(tmp_path / "r_preprocessed.csv", index_col=0)
    expected = differential.test_contrasts(preprocessed, cd34_samples(), formula,
                                           CD34_CONTRASTS, **keywords)
    test = read_test(tmp_path / "r_test.csv")
    added = [c for c in expected.columns if c not in preprocessed.columns and c != "note"]
    pd.testing.assert_frame_equal(test[added], expected[added], check_exact=False, rtol=1e-12)
    for name in CD34_CONTRASTS:
        chosen = test[f"{name}_p"].notna() & (test[f"{name}_fdr_bh"] < 0.05)
        up = int((chosen & (test[f"{name}_logfc"] > 0)).sum())
        assert line_of(stdout, name).endswith(
            f"{chosen.sum()} significant at adjusted p < 0.05 (fdr_bh)"
            + (" against |fold change| <= 0.5" if keywords.get("lfc") else "")
            + f": {up} up, {chosen.sum() - up} down")
        assert (tmp_path / f"r_volcano_{Contrast(name, '', '').file}.png").exists()
    assert (tmp_path / "r_pca_adjusted.png").exists() == ("--covariate" in options)
    estimated = expected.attrs["moderated"]
    if "block" in keywords:
        assert f"correlation within donor {estimated['block_correlation']:.3g}" in stdout
    if "sample_weights" in keywords:
        assert f"to {estimated['sample_weights'].max():.3g} (" in stdout
    page = (tmp_path / "r_report.html").read_text(encoding="utf-8")
    assert all(f"<h3>{name}</h3>" in page for name in ("H-N", "HvsLN", "F test"))


def test_a_paired_design_pairs_the_moderated_test(small, tmp_path):
    """A design's pair column makes the moderated test's model paired: the
    two groups' one contrast, drawn on the usual volcano."""
    design = design_file(tmp_path / "paired.tsv", [row[:2] + (f"p{i % 3}",)
                                                    for i, row in enumerate(SMALL_DESIGN)],
                          ("sample", "group", "pair"))
    small[small.index("--design") + 1] = str(design)
    status, stdout, stderr = run_cli(*small, "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    assert "model:    ~ 0 + group + pair (pair: factor, 3 levels); contrasts a - b" in stdout
    samples = pd.DataFrame({"group": list("aaabbb"), "pair": ["p0", "p1", "p2"] * 2},
                           index=[f"S{i}" for i in range(1, 7)])
    table = pd.read_csv(tmp_path / "r_preprocessed.csv", index_col=0)
    expected = differential.test_contrasts(table, samples, "~ 0 + group + pair",
                                           {"a-b": "groupa - groupb"})
    test = read_test(tmp_path / "r_test.csv")
    np.testing.assert_allclose(test["a-b_p"], expected["a-b_p"], rtol=1e-12)
    assert (tmp_path / "r_volcano.png").exists() and (tmp_path / "r_pca_adjusted.png").exists()


@pytest.mark.parametrize("options, message", [
    (["--covariate", "same"], "--covariate 'same': every sample has same 'k' in the design "
                              "file design.tsv; a design variable needs two levels or more"),
    (["--covariate", "twin"], "the model ~ 0 + group + twin is not of full rank: column twinr "
                              "is a linear combination of the columns before; twin is "
                              "confounded with the groups"),
    (["--covariate", "gap"], "--covariate 'gap': sample 'S3' has no gap in the design file"),
    (["--covariate", "nope"], "--covariate 'nope': 'nope' is not a column of the design file "
                              "design.tsv; its design variables are batch, same, twin, gap, age"),
    (["--contrast", "a-c"], "--contrast a-c: 'c' is neither a group (a, b) nor a "
                            "coefficient of the model (groupa, groupb)"),
    (["--contrast", "a-(b"], "--contrast a-(b: is not a contrast of the groups"),
    (["--covariate", "batch", "--block", "batch"], "--block 'batch': batch is also a "
                                                   "--covariate"),
    (["--block", "group"], "--block 'group': the groups are the model's own terms"),
    (["--block", "age"], "--block 'age': no two samples share a value of age in the design "
                          "file"),
    (["--formula", "~ 0 + group + color"], "--formula '~ 0 + group + color': 'color' is not "
                                           "a design variable"),
    (["--formula", "~ 0 + group", "--covariate", "age"], "--covariate 'age': --formula gives "
                                                         "the whole model"),
    (["--formula", "y ~ group"], "--formula 'y ~ group' must be a formula's right-hand side"),
    (["--covariate", "batch", "--method", "Welch"], "--covariate 'batch': --covariate applies "
                                                    "to --method moderated, and this run "
                                                    "tests by Welch"),
    (["--sample-weights", "--method", "t"], "--sample-weights True: --sample-weights applies "
                                            "to --method moderated"),
    (["--treat", "1", "--fc-threshold", "1"], "--fc-threshold '1': --treat already tests"),
    (["--covariate", "batch", "--fold-change-method", "paired"], "--fold-change-method "
                                                                 "'paired': with a model"),
    (["--contrast", "a/b=a-b", "--contrast", "a_b=b-a"], "--contrast a_b=b-a: its name gives "
                                                         "the file name volcano_a_b.png, as "
                                                         "'a/b' does"),
])
def test_model_refusals_name_what_is_wrong(options, message, small, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    small[small.index("--design") + 1] = "design.tsv"
    status, stdout, stderr = run_cli(*small, *options, "--out", str(tmp_path / "r"))
    assert status == 2 and stderr.startswith(f"tessera: error: {message}"), stderr
    assert not list(tmp_path.glob("r_*"))


def test_design_variables_need_a_design_file(tmp_path):
    table = write_table(tmp_path / "t.csv", np.ones((4, 4)))
    status, _, stderr = run_cli("analyze", str(table), "--samples", "S*", "--group",
                                "a=S1,S2", "--group", "b=S3,S4", "--covariate", "batch")
    assert status == 2 and "give the groups with --design" in stderr


def test_a_numeric_covariate_and_its_record_repeat_the_run(small, tmp_path, monkeypatch):
    """A column of numbers is a numeric covariate; run.toml records every
    model option, and --config repeats the tables byte for byte."""
    monkeypatch.chdir(tmp_path)
    status, stdout, stderr = run_cli(*small, "--covariate", "age", "--covariate", "batch",
                                     "--contrast", "ba=b-a", "--sample-weights", "--treat",
                                     "0.5", "--out", "first/r")
    assert (status, stderr) == (0, "")
    assert "model:    ~ 0 + group + age + batch (age: numeric; batch: factor, 2 levels)" in stdout
    text = (tmp_path / "first" / "r_run.toml").read_text(encoding="utf-8")
    assert 'covariate = ["age", "batch"]\n' in text and 'contrast = ["ba=b-a"]\n' in text
    assert "sample_weights = true\ntreat = 0.5\n" in text
    status, again, stderr = run_cli("analyze", "--config", "first/r_run.toml", "--out", "again/r")
    assert (status, stderr) == (0, "")
    for name in ("test.csv", "volcano_ba.png"):
        assert (tmp_path / "again" / f"r_{name}").read_bytes() == \
            (tmp_path / "first" / f"r_{name}").read_bytes()


def test_volcanoes_of_contrasts_an_earlier_run_wrote_are_removed(small, tmp_path):
    """Only this prefix's volcanoes: PREFIX_volcano_x_pca.png is the PCA of
    the prefix PREFIX_volcano_x, and stays."""
    out = str(tmp_path / "r")
    assert run_cli(*small, "--contrast", "a-b", "--contrast", "b-a", "--out", out)[0] == 0
    (tmp_path / "r_volcano_x_pca.png").write_bytes(b"another run's")
    status, stdout, _ = run_cli(*small, "--contrast", "a-b", "--out", out)
    assert status == 0
    assert f"removed {out}_volcano_b-a.png, written by an earlier run" in stdout
    assert f"removed {out}_volcano.png" not in stdout
    assert sorted(p.name for p in tmp_path.glob("r_volcano*")) == ["r_volcano_a-b.png",
                                                                   "r_volcano_x_pca.png"]


@pytest.mark.parametrize("text, name, expression, file", [
    ("H-N", "H-N", "H-N", "H-N"),
    ("C - (A+B)/2", "C-(A+B)/2", "C - (A+B)/2", "C-_A+B_2"),
    ("HvsN = H - N", "HvsN", "H - N", "HvsN"),
    ("`CD34 high`-low", "`CD34high`-low", "`CD34 high`-low", "CD34high_-low"),
])
def test_contrast_names_and_file_names(text, name, expression, file):
    assert parse_contrast(text) == (name, expression)
    assert Contrast(name, expression, "").file == file


def test_removing_covariates_keeps_only_the_groups_effects():
    """Values made of a group effect, a donor effect and a feature's level:
    without the donor's effect, a group's samples agree in every feature
    (a feature with a missing value is left out)."""
    import formulaic

    samples = cd34_samples()
    design = formulaic.model_matrix("~ 0 + group + donor", samples)
    rng = np.random.default_rng(3)
    group = samples.group.map({"H": 1.0, "L": -2.0, "N": 0.0}).to_numpy()
    donor = samples.donor.map(dict(zip(["D1", "D2", "D3", "D4", "D5"],
                                       rng.normal(0, 2, 5)))).to_numpy()
    values = pd.DataFrame(rng.normal(20, 3, (30, 1)) + group * rng.normal(1, 0.3, (30, 1))
                          + donor, columns=samples.index)
    values.iloc[0, 3] = np.nan
    columns = [str(c) for c in design.columns]
    model = Model("~ 0 + group + donor", samples, pd.DataFrame(
        np.asarray(design), index=samples.index, columns=columns), (), False, {},
        tuple(c for c in columns if c.startswith("donor")))
    removed = without_covariates(values, model)
    assert list(removed.index) == list(range(1, 30))
    for _, members in HLN:
        spread = removed[members].max(axis=1) - removed[members].min(axis=1)
        assert spread.max() < 1e-9
