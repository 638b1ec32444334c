"""differential.test_hurdle: its exact detection test against scipy's
fisher_exact and a walk over every table (twin_detection), its answers
against their definition, and its calibration on tables where nothing changes."""
import itertools
import re

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from statsmodels.stats.multitest import multipletests

import twin_detection as twin
from tessera.tools import differential as td

HURDLE_COLUMNS = ["detection_p", "detection_note", "hurdle_p", "hurdle_fdr_bh", "hurdle_evidence"]


def design(sizes):
    return {f"G{g}": [f"G{g}_{i}" for i in range(n)] for g, n in enumerate(sizes)}


def null_table(sizes, rows, seed, missing=True):
    """Log intensities where no feature changes: each feature has its own
    level and noise, and a cell is missing more often the lower its value."""
    rng = np.random.default_rng(seed)
    groups = design(sizes)
    columns = [c for labels in groups.values() for c in labels]
    level = rng.normal(20, 2.5, (rows, 1))
    values = level + rng.normal(0, 0.3, (rows, 1)) * rng.standard_normal((rows, len(columns)))
    if missing:
        values[rng.random(values.shape) < 1 / (1 + np.exp(1.2 * (values - 18)))] = np.nan
    return pd.DataFrame(values, columns=columns, index=[f"F{i}" for i in range(rows)]), groups


def pattern_table(sizes, seed=0):
    """One row per detection pattern (how many samples of each group measured
    it), each measured cell drawn at random, the others missing."""
    rng = np.random.default_rng(seed)
    groups = design(sizes)
    patterns = list(itertools.product(*(range(n + 1) for n in sizes)))
    rows = []
    for pattern in patterns:
        row = []
        for n, k in zip(sizes, pattern):
            cells = np.full(n, np.nan)
            cells[rng.permutation(n)[:k]] = rng.normal(20, 1, k)
            row.extend(cells)
        rows.append(row)
    columns = [c for labels in groups.values() for c in labels]
    return pd.DataFrame(rows, columns=columns), groups, patterns


@pytest.mark.parametrize("sizes", [(3, 3), (4, 6), (9, 9), (1, 5), (12, 7)])
def test_two_groups_is_fishers_exact_test(sizes):
    df, groups, patterns = pattern_table(sizes)
    result = td.test_hurdle(df, groups, "Welch")
    n1, n2 = sizes
    expected = [np.nan if sum(p) in (0, n1 + n2) else
                stats.fisher_exact([[p[0], p[1]], [n1 - p[0], n2 - p[1]]]).pvalue for p in patterns]
    np.testing.assert_allclose(result["detection_p"], expected, rtol=1e-10)


@pytest.mark.parametrize("sizes", [(2, 3, 4), (3, 3, 3), (1, 2, 2, 3), (5, 1, 4)])
def test_more_groups_is_the_freeman_halton_test(sizes):
    df, groups, patterns = pattern_table(sizes)
    level = 0.05
    result = td.test_hurdle(df, groups, "anova", level=level)
    everyone = sum(sizes)
    expected = [np.nan if sum(p) in (0, everyone) else twin.exact_detection_p(sizes, p)
                for p in patterns]
    np.testing.assert_allclose(result["detection_p"], expected, rtol=1e-10)
    # a pattern's test counts exactly where the least p-value of its margins reaches the level
    counts = [0 < sum(p) < everyone and twin.least_detection_p(sizes, sum(p)) <= level
              for p in patterns]
    uses = result["hurdle_evidence"].isin(["detection", "both"])
    assert uses.tolist() == counts


def test_freeman_halton_matches_scipys_permutation_test():
    sizes = (2, 2, 3)
    for pattern in [(2, 0, 1), (0, 2, 3), (1, 1, 0)]:
        table = np.array([pattern, [n - k for n, k in zip(sizes, pattern)]])
        reference = stats.fisher_exact(table, method=stats.PermutationMethod(n_resamples=np.inf))
        assert twin.exact_detection_p(sizes, pattern) == pytest.approx(reference.pvalue, rel=1e-9)


def test_answers_rest_on_the_evidence_they_name():
    df, groups = null_table((8, 8), 600, seed=1)
    # features measured in one group only, the rest of the group missing
    df.iloc[:40, 8:] = np.nan
    df.iloc[40:60, :7] = np.nan
    result = td.test_hurdle(df, groups, "moderated")
    evidence = result["hurdle_evidence"]
    assert set(evidence) == {"intensity", "detection", "both", ""}
    p_int, p_det, answer = result["moderated_p"], result["detection_p"], result["hurdle_p"]
    for kind, expected in [
        ("intensity", p_int),
        ("detection", p_det),
        ("both", pd.Series([stats.combine_pvalues([a, b], method="fisher").pvalue
                            for a, b in zip(p_int, p_det)], index=df.index)),
    ]:
        rows = evidence == kind
        np.testing.assert_allclose(answer[rows], expected[rows], rtol=1e-12)
    assert answer[evidence == ""].isna().all()
    given = answer.notna()
    np.testing.assert_allclose(result.loc[given, "hurdle_fdr_bh"],
                               multipletests(answer[given], method="fdr_bh")[1], rtol=1e-12)
    assert result.loc[evidence == "", "hurdle_fdr_bh"].isna().all()
    notes = result["detection_note"]
    assert (notes[evidence.isin(["detection", "both"])] == "").all()
    measured = df.notna().sum(axis=1)
    assert (notes[measured == 16] == "measured in every sample").all()
    left_out = ~evidence.isin(["detection", "both"]) & measured.between(1, 15)
    assert left_out.any()
    assert notes[left_out].str.fullmatch(r"with \d+ of 16 samples measured the test cannot "
                                         r"reach 0\.05").all()


@pytest.mark.parametrize("method, options", [("moderated", {}), ("t", {}),
                                             ("moderated", {"trend": True, "legacy": True})])
def test_three_against_three_answers_are_the_intensity_test(method, options):
    """No detection pattern of 3 against 3 can reach 0.05: the answers and
    their family are those of the intensity test."""
    df, groups = null_table((3, 3), 500, seed=2)
    result = td.test_hurdle(df, groups, method, **options)
    alone = td.test_features(df, groups, method, **options)
    pd.testing.assert_frame_equal(result.drop(columns=HURDLE_COLUMNS), alone, check_exact=True)
    np.testing.assert_array_equal(result["hurdle_fdr_bh"], alone[f"{method}_fdr_bh"])
    assert set(result["hurdle_evidence"]) == {"intensity", ""}


@pytest.mark.parametrize("sizes", [(3, 3), (6, 6), (10, 10), (4, 4, 4)])
def test_tables_where_nothing_changes_give_no_more_small_p_values_than_chance(sizes):
    df, groups = null_table(sizes, 4000, seed=sum(sizes))
    result = td.test_hurdle(df, groups, "moderated")
    for column, kinds in [("hurdle_p", None), ("detection_p", ["detection", "both"])]:
        p = result[column]
        if kinds is not None:
            p = p[result["hurdle_evidence"].isin(kinds)]
        p = p.dropna()
        for alpha in (0.01, 0.05, 0.1) if len(p) else ():
            slack = 3 * np.sqrt(alpha * (1 - alpha) / len(p))
            assert (p <= alpha).mean() <= alpha + slack, (column, alpha, len(p))


def test_a_group_without_the_feature_is_found_with_enough_samples():
    """Present in every sample of one group of 10 and in none of the other:
    the intensity test cannot run, the detection test finds it."""
    df, groups = null_table((10, 10), 300, seed=4, missing=False)
    df.iloc[:5, 10:] = np.nan
    result = td.test_hurdle(df, groups, "moderated")
    assert (result["hurdle_evidence"].iloc[:5] == "detection").all()
    assert (result["hurdle_fdr_bh"].iloc[:5] < 0.01).all()
    assert result["moderated_p"].iloc[:5].isna().all()


T, G = null_table((3, 3), 20, seed=0)


@pytest.mark.parametrize("call, error, message", [
    (lambda: td.test_hurdle(T, G, "moderated", level=0), ValueError,
     "level must lie in (0, 1], got 0"),
    (lambda: td.test_hurdle(T, G, "moderated", level=1.5), ValueError,
     "level must lie in (0, 1], got 1.5"),
    (lambda: td.test_hurdle(T, G, "moderated", level="0.05"), TypeError,
     "level must be a number, got '0.05'"),
    (lambda: td.test_hurdle(T.assign(hurdle_p=1.0), G, "moderated"), ValueError,
     "the table already has a column 'hurdle_p'; test_hurdle adds the columns ['detection_p', "
     "'detection_note', 'hurdle_p', 'hurdle_fdr_bh', 'hurdle_evidence'], so rename or drop it "
     "first"),
    (lambda: td.test_hurdle(T, G, "moderated", multipletest_method="holm",
                            **{"trend": True, "robust": True}), ValueError,
     "method 'moderated': trend=True with robust=True is not built for the likelihood estimate"),
    (lambda: td.test_hurdle(T, G, "moderated", window=3), TypeError,
     "test_features() got an unexpected keyword argument 'window'"),
    (lambda: td.test_hurdle(T, G, "median"), ValueError, "unknown method 'median'"),
])
def test_refusals(call, error, message):
    with pytest.raises(error, match="^" + re.escape(message)):
        call()


def test_refusals_name_what_they_refuse():
    with pytest.raises(ValueError) as raised:
        td.test_hurdle(T, G, "t", level=2)
    assert (raised.value.parameter, raised.value.column, raised.value.value) == ("level", None, 2)


def test_input_is_left_alone():
    df, groups = null_table((5, 5), 50, seed=6)
    before = df.copy()
    result = td.test_hurdle(df, groups, "Welch")
    pd.testing.assert_frame_equal(df, before)
    result.iloc[:, 0] = 0
    pd.testing.assert_frame_equal(df, before)


def test_designs_with_too_many_tables_fall_back_to_the_intensity_test():
    """Ten groups of ten different sizes: the law of the table probability
    would need more partial tables than are laid out; the feature has no
    detection p-value, says why, and keeps its intensity test."""
    df, groups = null_table(range(3, 13), 60, seed=8)
    result = td.test_hurdle(df, groups, "anova")
    partly = df.notna().sum(axis=1).between(1, df.shape[1] - 1)
    assert result.loc[partly, "detection_p"].isna().all()
    assert (result.loc[partly, "detection_note"] ==
            "these groups have too many tables for the exact test").all()
    np.testing.assert_array_equal(result["hurdle_p"], result["anova_p"])
