"""test_features(..., "moderated") against limma's numbers (tests/reference/limma
and the shared acut table), and its behaviour at the edges: blanked short
features, an infinite prior df, refusals."""
import re

import numpy as np
import pandas as pd
import pytest
from scipy import special

import moderated_twin
from conftest import LIMMA_CD34, assert_matches_limma, read_limma, real_data
from tessera.tools import _native
from tessera.tools import differential as td

OPTIONS = {"default": {"legacy": True}, "modern": {}, "trend": {"legacy": True, "trend": True},
           "robust": {"legacy": True, "robust": True},
           "trend_robust": {"legacy": True, "trend": True, "robust": True}}
ACUT_FILES = {"default": "limma_default", "modern": "limma_modern_default", "trend": "limma_trend",
              "robust": "limma_robust", "trend_robust": "limma_trend_robust"}
CD34 = {"cd34_HN": ["H", "N"], "cd34_HN_sparse": ["H", "N"], "cd34_HLN": ["H", "L", "N"]}


def reference_table(folder, matrix, order):
    """The input frame of a reference and its groups, in `order`."""
    frame = pd.read_csv(folder / matrix, sep="\t", index_col=0)
    samples = pd.read_csv(folder / "groups.tsv", sep="\t")
    groups = {g: [s for s in samples["sample"][samples["group"] == g] if s in frame.columns]
              for g in order}
    return frame, groups


def moderated(frame, groups, variant, **kwargs):
    return td.test_features(frame, groups, "moderated", **OPTIONS[variant], **kwargs)


def as_limma(result):
    """The result's columns under limma's names (F for three or more groups)."""
    prior = result.attrs["moderated"]
    n = len(result)
    columns = {"s2.prior": np.broadcast_to(prior["s2_prior"], n),
               "df.prior": np.broadcast_to(prior["df_prior"], n),
               "df.total": result["moderated_df"].to_numpy()}
    if "moderated_B" in result:
        names = {"t": "moderated_stat", "P.Value": "moderated_p", "adj.P.Val": "moderated_fdr_bh",
                 "B": "moderated_B", "logFC": "group_fc"}
    else:
        names = {"F": "moderated_stat", "F.p.value": "moderated_p", "F.adj.P.Val": "moderated_fdr_bh"}
    columns.update({name: result[label].to_numpy() for name, label in names.items()})
    return columns


def expected_of(reference, three):
    """limma's table as test_features reports it: the df of a feature without
    a statistic is left out, and for the F test the df column is the F's
    denominator df (df.prior + df.residual, not capped)."""
    expected = reference.copy()
    statistic = expected["F" if three else "t"]
    if three:
        expected["df.total"] = expected["df.prior"] + expected["df.residual"]
    expected.loc[statistic.isna(), "df.total"] = np.nan
    return expected


@pytest.mark.parametrize("variant", list(ACUT_FILES))
def test_acut_matches_limma(variant):
    folder = real_data("limma-acut")
    frame, groups = reference_table(folder, "matrix.tsv", ["treat", "ctrl"])
    result = moderated(frame, groups, variant, min_valid=0)
    reference = read_limma(folder, ACUT_FILES[variant] + ".tsv")
    assert_matches_limma(as_limma(result), expected_of(reference, False), variant)
    assert (result["moderated_note"] == "").all()


@pytest.mark.parametrize("dataset", list(CD34))
@pytest.mark.parametrize("variant", list(OPTIONS))
def test_cd34_matches_limma(dataset, variant):
    order = CD34[dataset]
    frame, groups = reference_table(LIMMA_CD34, f"{dataset}_matrix.tsv", order)
    result = moderated(frame, groups, variant, min_valid=0)
    reference = read_limma(LIMMA_CD34, f"{dataset}_{variant}.tsv")
    assert_matches_limma(as_limma(result), expected_of(reference, len(order) > 2), variant)
    for g in order:
        assert result[f"n_{g}"].tolist() == reference[f"n_{g}"].tolist()
    estimate = result.attrs["moderated"]["estimate"]
    assert estimate == ("likelihood" if variant == "modern" else "classic")


@pytest.mark.parametrize("variant", ["default", "modern", "trend_robust"])
def test_short_features_are_blanked_and_still_inform_the_prior(variant):
    """min_valid=2 on the sparse set (groups with 0 or 1 value, features
    without residual df): those features get NaN and a note, and everything
    else, the prior included, is what min_valid=0 gives."""
    frame, groups = reference_table(LIMMA_CD34, "cd34_HN_sparse_matrix.tsv", ["H", "N"])
    every = moderated(frame, groups, variant, min_valid=0)
    strict = moderated(frame, groups, variant)
    short = (strict[["n_H", "n_N"]] < 2).any(axis=1).to_numpy()
    one_each = ((strict.n_H == 1) & (strict.n_N == 1)).to_numpy()
    assert short.sum() > 100 and every["moderated_p"][one_each].notna().all()
    for key, value in every.attrs["moderated"].items():
        np.testing.assert_array_equal(strict.attrs["moderated"][key], value)
    for column in ["moderated_stat", "moderated_p", "moderated_df", "moderated_B"]:
        assert strict[column][short].isna().all()
        np.testing.assert_array_equal(strict[column][~short], every[column][~short])
    assert strict["moderated_fdr_bh"][~short].notna().all()
    np.testing.assert_array_equal(strict["group_fc"], every["group_fc"])
    notes = strict["moderated_note"]
    assert (notes[~short] == "").all()
    assert notes[one_each].eq("1 value in H and 1 value in N, 2 needed").all()
    assert set(notes[short]) >= {"0 values in H, 2 needed", "1 value in N, 2 needed"}


@pytest.mark.parametrize("variant", ["default", "robust"])
def test_two_groups_f_is_t_squared(variant):
    """The kernel's moderated F of the two groups of the acut table (what a
    three-group call reports) is the square of test_features' moderated t,
    and its p-value is the t's wherever df.total is not capped."""
    folder = real_data("limma-acut")
    frame, groups = reference_table(folder, "matrix.tsv", ["treat", "ctrl"])
    result = moderated(frame, groups, variant, min_valid=0)
    values = frame[groups["treat"] + groups["ctrl"]].to_numpy()
    fit = _native.moderated_fit(values, np.repeat([0, 1], [5, 5]), 2, **OPTIONS[variant])
    t = result["moderated_stat"].to_numpy()
    assert fit["f_df1"] == 1
    np.testing.assert_array_equal(fit["F"], t * t)
    uncapped = fit["f_df2"] == result["moderated_df"].to_numpy()
    assert uncapped.sum() > 200
    np.testing.assert_allclose(special.fdtrc(1, fit["f_df2"], fit["F"])[uncapped],
                               result["moderated_p"][uncapped], rtol=1e-13)


def equal_variances(n_groups, rows=60):
    """A table whose features have exactly the same residual variance: one
    residual pattern (group means exact in binary) plus whole-number offsets."""
    rng = np.random.default_rng(3)
    pattern = np.tile([0.0, 1.0, 2.0, 5.0], n_groups)
    shift = np.repeat(rng.integers(-3, 4, (rows, n_groups)), 4, axis=1)
    values = 20.0 + rng.integers(0, 8, (rows, 1)) + shift + pattern
    columns = [f"{chr(65 + g)}{i}" for g in range(n_groups) for i in range(4)]
    groups = {chr(65 + g): columns[4 * g:4 * g + 4] for g in range(n_groups)}
    return pd.DataFrame(values, columns=columns), groups


@pytest.mark.parametrize("n_groups", [2, 3])
@pytest.mark.parametrize("legacy", [True, False])
def test_infinite_prior_df(n_groups, legacy):
    """Variances that agree perfectly leave no spread for the prior: d0 is
    infinite, each feature's variance is the prior's, no NaN anywhere."""
    df, groups = equal_variances(n_groups)
    result = td.test_features(df, groups, "moderated", legacy=legacy)
    prior = result.attrs["moderated"]
    assert np.isinf(prior["df_prior"]) and prior["estimate"] == "classic"
    columns = [c for c in result.columns if c.startswith("moderated_") and c != "moderated_note"]
    assert result[columns].notna().all().all() and (result["moderated_note"] == "").all()
    pooled = len(df) * 3 * n_groups
    if n_groups == 2:
        assert (result["moderated_df"] == pooled).all()
        t = result["group_fc"] / np.sqrt(prior["s2_prior"] / 2)
        np.testing.assert_allclose(result["moderated_stat"], t, rtol=1e-14)
        np.testing.assert_allclose(result["moderated_p"], 2 * special.stdtr(pooled, -np.abs(t)),
                                   rtol=1e-13)
    else:
        assert np.isinf(result["moderated_df"]).all()
        np.testing.assert_array_equal(result["moderated_p"],
                                      special.chdtrc(2, 2 * result["moderated_stat"]))


@pytest.mark.parametrize("zero_rows, warns", [(51, True), (50, False)])
def test_mostly_zero_variances_warn(zero_rows, warns, recwarn):
    """limma's warning: when more than half of the variances are exactly 0,
    the prior rests on a floor, not on the data."""
    rng = np.random.default_rng(1)
    values = rng.normal(20, 1, (100, 6))
    values[:zero_rows] = 20.0
    td.test_features(pd.DataFrame(values), {"a": [0, 1, 2], "b": [3, 4, 5]}, "moderated")
    messages = [str(w.message) for w in recwarn if w.category is RuntimeWarning]
    assert messages == (["method 'moderated': more than half of the residual variances are "
                         "exactly 0, so the prior is not estimated from the data and the "
                         "moderated tests are unreliable"] if warns else [])


@pytest.mark.parametrize("sizes", [(3, 5), (3, 5, 4)])
def test_group_columns_anywhere_match_the_twin(sizes):
    """Groups of unequal sizes whose columns lie scattered among others (text,
    int64, nullable) give the numbers of the numpy/scipy twin on the group
    columns alone. (The classic estimate: on these tables the likelihood is
    flat around a prior df in the hundreds, where the minimiser's result moves
    with the last bits of its objective.)"""
    rng = np.random.default_rng(sum(sizes))
    n = sum(sizes)
    values = rng.normal(22, 2, (300, n)) + rng.normal(0, 1, (300, 1))
    values[:, :sizes[0]] += rng.normal(0, 1.5, (300, 1)) * (rng.random((300, 1)) < 0.2)
    values[rng.random(values.shape) < 0.2] = np.nan
    values[:, 1] = np.round(np.nan_to_num(values[:, 1], nan=20.0))
    index = np.repeat(np.arange(len(sizes)), sizes)
    names = [f"s{j}" for j in range(n)]
    df = pd.DataFrame(values, columns=names)
    df[names[1]] = df[names[1]].astype(np.int64)
    df[names[-1]] = pd.array(df[names[-1]], dtype="Float64")
    order = list(rng.permutation(names))
    df = df[order].assign(note="x", extra=rng.normal(0, 1, 300))[["note"] + order + ["extra"]]
    groups = {f"G{g}": [names[j] for j in range(n) if index[j] == g][::-1] for g in range(len(sizes))}
    columns = [c for cs in groups.values() for c in cs]
    result = td.test_features(df, groups, "moderated", min_valid=1, legacy=True)
    twin = moderated_twin.moderated_test(df[columns].to_numpy(dtype=float, na_value=np.nan),
                                         np.repeat(np.arange(len(sizes)), sizes), len(sizes),
                                         legacy=True)
    if len(sizes) == 2:
        expected = {"t": twin["t"][:, 0], "P.Value": twin["p_value"][:, 0], "B": twin["B"][:, 0],
                    "df.total": twin["df_total"], "logFC": twin["logFC"][:, 0]}
    else:
        expected = {"F": twin["F"], "F.p.value": twin["F_p_value"],
                    "df.total": twin["df_prior"] + twin["df_residual"]}
    expected = pd.DataFrame(expected)
    expected.loc[expected.iloc[:, 0].isna(), "df.total"] = np.nan  # no statistic, no df
    assert expected["df.total"].isna().any()
    got = as_limma(result)
    assert_matches_limma({name: got[name] for name in expected}, expected, "default")


def test_columns_and_prior_types():
    frame, groups = reference_table(LIMMA_CD34, "cd34_HLN_matrix.tsv", ["H", "L", "N"])
    two = td.test_features(frame, {"H": groups["H"], "N": groups["N"]}, "moderated",
                           multipletest_method="holm")
    assert list(two.columns[15:]) == ["moderated_stat", "moderated_p", "moderated_holm",
                                      "moderated_df", "moderated_B", "group_fc", "n_H", "n_N",
                                      "moderated_note"]
    three = td.test_features(frame, groups, "moderated", trend=True, legacy=True)
    assert list(three.columns[15:]) == ["moderated_stat", "moderated_p", "moderated_fdr_bh",
                                        "moderated_df", "n_H", "n_L", "n_N", "moderated_note"]
    assert isinstance(two.attrs["moderated"]["s2_prior"], float)
    assert isinstance(two.attrs["moderated"]["df_prior"], float)
    s2 = three.attrs["moderated"]["s2_prior"]
    assert s2.dtype == np.float64 and s2.shape == (len(frame),)
    assert isinstance(three.attrs["moderated"]["df_prior"], float)
    robust = td.test_features(frame, groups, "moderated", robust=True, legacy=True)
    assert robust.attrs["moderated"]["df_prior"].shape == (len(frame),)
    assert isinstance(robust.attrs["moderated"]["s2_prior"], float)


def test_trend_and_robust_with_equal_dfs_need_no_legacy():
    """Complete features have equal residual dfs, for which the default
    estimate is the classic one: trend and robust run without legacy=True."""
    frame, groups = reference_table(LIMMA_CD34, "cd34_HN_matrix.tsv", ["H", "N"])
    complete = frame.dropna()
    for options in [{"trend": True}, {"robust": True}, {"trend": True, "robust": True}]:
        default = td.test_features(complete, groups, "moderated", **options)
        legacy = td.test_features(complete, groups, "moderated", legacy=True, **options)
        pd.testing.assert_frame_equal(default, legacy, check_exact=True)


def test_one_feature_is_students_t():
    """With a single feature there is no prior (limma's df.prior 0): the
    moderated t is Student's; a constant one has no p-value, and says why."""
    df = pd.DataFrame([[1.0, 2.5, 3.0, 7.0, 6.0, 9.5], [4.0] * 6], columns=list("abcdef"))
    groups = {"A": ["a", "b", "c"], "B": ["d", "e", "f"]}
    moderated = td.test_features(df.iloc[:1], groups, "moderated")
    student = td.test_features(df.iloc[:1], groups, "t")
    np.testing.assert_allclose(moderated["moderated_stat"], student["t_stat"], rtol=1e-14)
    np.testing.assert_allclose(moderated["moderated_p"], student["t_p"], rtol=1e-13)
    assert moderated.attrs["moderated"]["df_prior"] == 0
    constant = td.test_features(df.iloc[1:], groups, "moderated")
    assert np.isnan(constant["moderated_p"][1])
    assert constant["moderated_note"].tolist() == ["no variance in any group and no prior variance"]


def test_nothing_to_test_gives_notes_not_errors():
    """No feature has a residual df, and none has the values min_valid asks
    for: NaN and notes (with min_valid=1 the table is refused)."""
    df = pd.DataFrame({"a": [1.0, 2.0], "b": [np.nan] * 2, "c": [4.0, np.nan], "d": [np.nan] * 2})
    groups = {"A": ["a", "b"], "B": ["c", "d"]}
    result = td.test_features(df, groups, "moderated")
    assert result["moderated_p"].isna().all() and result["moderated_B"].isna().all()
    assert result["moderated_note"].tolist() == ["1 value in A and 1 value in B, 2 needed",
                                                 "1 value in A and 0 values in B, 2 needed"]
    assert result["group_fc"].tolist()[0] == -3.0
    assert result.attrs["moderated"]["estimate"] is None
    assert np.isnan(result.attrs["moderated"]["s2_prior"])
    empty = td.test_features(df.iloc[:0], groups, "moderated")
    assert len(empty) == 0 and empty.columns[-1] == "moderated_note"


GAPPY = pd.DataFrame({"a": [1.0, 2.0, 4.0, 3.0], "b": [2.0, 3.0, np.nan, 1.0],
                      "c": [3.0, 2.5, 7.0, 2.0], "d": [5.0, 1.0, 2.0, np.nan],
                      "e": [6.0, 0.5, 1.0, 4.0], "f": [2.0, 2.0, 5.0, 8.0]})
SPLIT = {"A": ["a", "b", "c"], "B": ["d", "e", "f"]}
BUILT = "not built for the likelihood estimate of the prior, which legacy=False takes when the " \
        "residual degrees of freedom differ between features (as missing values make them); " \
        "pass legacy=True for the classic estimate"


@pytest.mark.parametrize("call, message", [
    (lambda: td.test_features(GAPPY, SPLIT, "moderated", trend=True),
     f"method 'moderated': trend=True is {BUILT}"),
    (lambda: td.test_features(GAPPY, SPLIT, "moderated", robust=True),
     f"method 'moderated': robust=True is {BUILT}"),
    (lambda: td.test_features(GAPPY, SPLIT, "moderated", trend=True, robust=True),
     f"method 'moderated': trend=True with robust=True is {BUILT}"),
    (lambda: td.test_features(GAPPY[["a", "d"]], {"A": ["a"], "B": ["d"]}, "moderated", min_valid=1),
     "method 'moderated': no feature has a residual degree of freedom (more measured values than "
     "groups with a value), so the table gives no variance to estimate the prior from"),
    (lambda: td.test_features(pd.DataFrame([[1.0, 1.0, 1.0, 2.0, 2.0, 2.0],
                                            [1.0, np.nan, 3.0, 5.0, 1.0, 0.5]], columns=list("abcdef")),
                              SPLIT, "moderated"),
     "method 'moderated': the prior of the variances cannot be estimated from this table: "
     "2 features have a finite residual variance, 1 of them above 0"),
    (lambda: td.test_features(GAPPY, {"A": ["a", "b"]}, "moderated"),
     "method 'moderated' takes two or more groups, got 1 group (the methods are 'moderated' (two or "
     "more groups), 't', 'Welch', 'mannwhitneyu', 'paired_t', 'Wilcoxon', 'permutation' (two "
     "groups), 'anova' (three or more groups))"),
], ids=["trend", "robust", "trend robust", "no residual df", "no prior", "one group"])
def test_refusals(call, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        call()

