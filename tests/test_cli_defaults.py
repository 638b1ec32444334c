"""The steps `tessera analyze` runs without being asked: what they do, that
each gives the library's result, and that each can be turned off."""
import numpy as np
import pandas as pd
import pytest

from conftest import read_test, run_cli
from tessera.tools import differential

pytestmark = pytest.mark.usefixtures("unrendered")

GROUPS = [("a", ["S1", "S2", "S3", "S4"]), ("b", ["S5", "S6", "S7", "S8"])]
GROUP_OPTIONS = ["--samples", "S*", "--group", "a=S1,S2,S3,S4", "--group", "b=S5,S6,S7,S8"]
SAMPLES = [s for _, columns in GROUPS for s in columns]


def log_values(seed=0, rows=120):
    """log2 intensities with column offsets, a fifth of the features up in
    group a, the first 30 features from species HUMAN and about 10% of the
    cells missing; the last rows measured in every sample of group a and in
    none of group b."""
    rng = np.random.default_rng(seed)
    values = rng.normal(22, 2, (rows, 1)) + rng.normal(0, 0.3, 8) + rng.normal(0, 0.2, (rows, 8))
    values[rows // 5: 2 * rows // 5, :4] += 1.5
    values[rng.random(values.shape) < 0.1] = np.nan
    values[-6:, :4] = np.nan_to_num(values[-6:, :4], nan=22.0)
    values[-6:, 4:] = np.nan
    frame = pd.DataFrame(values, columns=SAMPLES)
    frame.insert(0, "ID", [f"P{i}" for i in range(rows)])
    frame.insert(1, "Taxon", ["HUMAN" if i < 30 else "OTHER" for i in range(rows)])
    return frame


def analyze(tmp_path, frame, *options, name="r"):
    file = tmp_path / f"{name}.csv"
    frame.to_csv(file, index=False)
    status, stdout, stderr = run_cli("analyze", str(file), *GROUP_OPTIONS, *options,
                                     "--out", str(tmp_path / name))
    assert (status, stderr) == (0, ""), stderr
    return stdout, tmp_path / f"{name}_preprocessed.csv", tmp_path / f"{name}_test.csv"


def line_of(stdout, head):
    return next(line for line in stdout.splitlines() if line.startswith(head))


def test_the_default_run_is_the_library_pipeline(tmp_path):
    linear = log_values()
    linear[SAMPLES] = 2 ** linear[SAMPLES]
    stdout, pre, test = analyze(tmp_path, linear)
    assert line_of(stdout, "settings:") == (
        "settings: samples=['S*'], log_transform=2 (default; none when the values are "
        "logarithms already), min_valid=2 (default), min_valid_mode='any' (default), "
        "normalize='ratio_mode' (default)")
    assert "with the detection test (Fisher's exact test" in line_of(stdout, "test:")
    assert "every cell now log2" in line_of(stdout, "log_transform")
    assert "normalize             " in stdout and "ratio_mode: each column shifted" in stdout

    values = np.log2(linear.set_index("ID")[SAMPLES])
    expected = differential.filter_valid(values, GROUPS, 2, "any")
    expected, shifts = differential.normalize(expected, SAMPLES, "ratio_mode")
    pd.testing.assert_frame_equal(pd.read_csv(pre, index_col="ID"), expected,
                                  check_exact=False, rtol=1e-12)
    expected = differential.test_hurdle(expected, GROUPS, "moderated")
    result = read_test(test)
    assert {"detection_p", "detection_note", "hurdle_p", "hurdle_fdr_bh",
            "hurdle_evidence"} <= set(result.columns)
    np.testing.assert_allclose(result["hurdle_p"], expected["hurdle_p"], rtol=1e-9)
    # the features group b never measured have a p-value from the detection test
    assert result["hurdle_p"].iloc[-6:].notna().all()
    assert result["moderated_p"].iloc[-6:].isna().all()
    # the report lists every sample's shift
    page = (tmp_path / "r_report.html").read_text(encoding="utf-8")
    assert "Normalisation shifts (ratio_mode)" in page
    assert all(f"{shifts[s]:+.4f}" in page for s in SAMPLES)
    # run.toml records what the default decided, so that it repeats the run
    assert "log_transform = 2\n" in (tmp_path / "r_run.toml").read_text(encoding="utf-8")


def test_logarithms_are_not_logged_again(tmp_path):
    logs = log_values()
    linear = logs.copy()
    linear[SAMPLES] = 2 ** linear[SAMPLES]
    stdout, pre_log, test_log = analyze(tmp_path, logs, name="logs")
    assert "not transformed: the measured values have median 22" in \
        line_of(stdout, "log_transform")
    assert "log_transform = \"none\"" in (tmp_path / "logs_run.toml").read_text()
    _, pre_linear, test_linear = analyze(tmp_path, linear, name="linear")
    pd.testing.assert_frame_equal(pd.read_csv(pre_log, index_col="ID"),
                                  pd.read_csv(pre_linear, index_col="ID"), rtol=1e-9)
    # given explicitly, the log transform runs as asked
    stdout, _, _ = analyze(tmp_path, linear, "--log-transform", "2", name="asked")
    assert "every cell now log2" in line_of(stdout, "log_transform")


@pytest.mark.parametrize("method, options, reference", [
    ("median_complete", [], {}),
    ("ratio_median", [], {}),
    ("ratio_mode", [], {}),
    ("reference", ["--normalize-reference", "P[0-9]?[0-9]$"], {"reference": "P[0-9]?[0-9]$"}),
    ("reference", ["--normalize-reference", "HUMAN", "--normalize-reference-column", "Taxon"],
     {"reference": "HUMAN", "reference_column": "Taxon"}),
])
def test_each_normalisation_is_the_library_s(method, options, reference, tmp_path):
    frame = log_values(seed=3)
    stdout, pre, _ = analyze(tmp_path, frame, "--min-valid", "none", "--no-detection",
                             "--normalize", method, *options)
    assert line_of(stdout, "normalize").split(None, 1)[1].startswith(
        f"{len(frame)} rows kept, {method}: each column shifted")
    values = frame.set_index("ID")
    where = values.pop("Taxon") if "reference_column" in reference else None
    expected, _ = differential.normalize(values[SAMPLES], SAMPLES, method,
                                         reference=reference.get("reference"),
                                         reference_column=where)
    pd.testing.assert_frame_equal(pd.read_csv(pre, index_col="ID"), expected,
                                  check_exact=False, rtol=1e-12)


def test_each_default_step_turns_off(tmp_path):
    frame = log_values(seed=5)
    stdout, pre, test = analyze(tmp_path, frame, "--log-transform", "none", "--min-valid",
                                "none", "--normalize", "none", "--no-detection")
    assert line_of(stdout, "settings:") == ("settings: samples=['S*'], log_transform='none', "
                                            "min_valid='none', normalize='none'")
    assert not any(line.startswith(("log_transform", "min_valid", "normalize"))
                   for line in stdout.splitlines())
    pd.testing.assert_frame_equal(pd.read_csv(pre, index_col="ID"),
                                  frame.set_index("ID")[SAMPLES])
    result = read_test(test)
    assert "hurdle_p" not in result and "detection_p" not in result
    # the per-group filter without the detection test keeps what each group can test
    stdout, _, _ = analyze(tmp_path, frame, "--no-detection", name="each")
    assert "min_valid_mode='each' (default)" in line_of(stdout, "settings:")


def test_a_model_says_it_has_no_detection_test(tmp_path):
    stdout, _, test = analyze(tmp_path, log_values(), "--treat", "0.5")
    assert "without the detection test (not combined with a model's tests)" in \
        line_of(stdout, "test:")
    assert "hurdle_p" not in read_test(test)


def test_groups_too_small_for_the_detection_test_go_without_it(tmp_path):
    file = tmp_path / "t.csv"
    log_values().to_csv(file, index=False)
    status, stdout, _ = run_cli("analyze", str(file), "--samples", "S*", "--group",
                                "a=S1,S2,S3", "--group", "b=S5,S6,S7", "--out",
                                str(tmp_path / "r"))
    assert status == 0
    assert "without the detection test (with 3 and 3 samples it cannot reach p < 0.05)" in \
        line_of(stdout, "test:")
    assert "min_valid_mode='each' (default)" in line_of(stdout, "settings:")
    assert "hurdle_p" not in read_test(tmp_path / "r_test.csv")


@pytest.mark.parametrize("options, message", [
    (["--normalize", "reference"], "--normalize reference needs the features to normalise on"),
    (["--normalize-reference", "HUMAN"], "--normalize-reference 'HUMAN': "
     "--normalize-reference names the features of --normalize reference"),
    (["--normalize", "reference", "--normalize-reference", "HUMAN",
      "--normalize-reference-column", "Organism"], "--normalize-reference-column 'Organism' is "
     "no annotation column of the table; choose one of: 'Taxon'"),
    (["--normalize", "reference", "--normalize-reference", "MOUSE",
      "--normalize-reference-column", "Taxon"], "reference 'MOUSE' matches no feature"),
    (["--min-valid", "some"], "--min-valid 'some' must be a whole number"),
])
def test_normalisation_settings_that_cannot_run_are_refused(options, message, tmp_path):
    file = tmp_path / "t.csv"
    log_values().to_csv(file, index=False)
    status, _, stderr = run_cli("analyze", str(file), *GROUP_OPTIONS, *options,
                                "--out", str(tmp_path / "r"))
    assert status == 2 and message in stderr, stderr
