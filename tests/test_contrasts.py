"""test_contrasts against limma's numbers on designs beyond group means
(tests/reference/limma/make_contrasts_reference.R), as the special case that
test_features' moderated tests are, and its refusals."""
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import LIMMA_CD34, relative_error
from tessera.tools import differential as td

DESIGNS = pd.read_csv(LIMMA_CD34 / "designs.tsv", sep="\t", dtype={"donor": str}).set_index("sample")
HYPER = pd.read_csv(LIMMA_CD34 / "contrasts_hyperparameters.tsv", sep="\t")
THREE = {"HvsN": "groupH - groupN", "LvsN": "groupL - groupN", "HvsLN": "groupH - (groupL + groupN)/2"}
TWO = {"HvsN": "groupH - groupN", "LvsN": "groupL - groupN"}
# case: (matrix, formula, contrasts, options) as make_contrasts_reference.R runs them
CASES = {
    "batch": ("cd34_HLN_matrix.tsv", "~ 0 + group + donor", THREE, {}),
    "paired": ("cd34_HN_matrix.tsv", "~ 0 + group + donor", {"HvsN": "groupH - groupN"}, {}),
    "covariate": ("cd34_HLN_matrix.tsv", "~ group + depth",
                  {"LvsH": "groupL", "NvsL": "groupN - groupL", "depth": "depth"}, {}),
    "inestimable": ("cd34_HN_sparse_matrix.tsv", "~ 0 + group + donor",
                    {"HvsN": "groupH - groupN", "donor2": "donor2"}, {}),
    "treat": ("cd34_HLN_matrix.tsv", "~ 0 + group + donor", THREE, {"lfc": 1.0}),
    "block": ("cd34_HLN_matrix.tsv", "~ 0 + group", TWO, {"block": "donor"}),
    "weights": ("cd34_HLN_matrix.tsv", "~ 0 + group", TWO, {"sample_weights": True}),
    "weights_complete": ("cd34_HLN_matrix.tsv", "~ 0 + group", TWO, {"sample_weights": True}),
    "block_weights": ("cd34_HLN_matrix.tsv", "~ 0 + group", TWO,
                      {"block": "donor", "sample_weights": True}),
}
VARIANTS = {"default": {"legacy": True}, "modern": {}, "trend": {"legacy": True, "trend": True},
            "robust": {"legacy": True, "robust": True},
            "trend_robust": {"legacy": True, "trend": True, "robust": True}}
# limma's column, ours (per contrast c: "{c}_<ours>"), and the floor of the
# relative error's scale (1 for statistics near 0, whose rounding is absolute)
PER_CONTRAST = [("logFC", "logfc", 1.0), ("t", "t", 1.0), ("P.Value", "p", 0.0),
                ("adj.P.Val", "fdr_bh", 0.0), ("B", "B", 1.0)]
PER_FEATURE = [("F", "F", 1.0), ("F.p.value", "F_p", 0.0), ("F.adj.P.Val", "F_fdr_bh", 0.0),
               ("s2.post", "s2_post", 0.0), ("df.total", "df_total", 0.0),
               ("df.residual", "df_residual", 0.0)]


def reference_input(case):
    matrix, formula, contrasts, options = CASES[case]
    frame = pd.read_csv(LIMMA_CD34 / matrix, sep="\t", index_col=0)
    if case == "weights_complete":
        frame = frame.dropna()
    return frame, DESIGNS.loc[frame.columns], formula, contrasts, options


def run_case(case, variant, **extra):
    frame, samples, formula, contrasts, options = reference_input(case)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return td.test_contrasts(frame, samples, formula, contrasts, **options,
                                 **VARIANTS[variant], **extra)


def tolerance(case):
    """Fixed designs: the rounding of lmFit's QR against ours, 1e-10 of every
    number. With an estimated correlation or weights: those estimates stop at
    the tolerances of duplicateCorrelation's REML (glmgam.fit) and of
    arrayWeights, which are followed step for step, so 1e-9."""
    return 1e-9 if "block" in case or "weights" in case else 1e-10


@pytest.mark.parametrize("case, variant", list(zip(HYPER["case"], HYPER["variant"])))
def test_matches_limma(case, variant):
    result = run_case(case, variant)
    reference = pd.read_csv(LIMMA_CD34 / f"contrasts_{case}_{variant}.tsv", sep="\t", index_col=0)
    rel = tolerance(case)
    pairs = [(f"{theirs}.{c}", f"{c}_{ours}", floor) for c in CASES[case][2]
             for theirs, ours, floor in PER_CONTRAST] + PER_FEATURE
    compared = 0
    for theirs, ours, floor in pairs:
        if theirs not in reference:
            assert ours not in result, ours  # B under treat, F for one contrast
            continue
        error = relative_error(result[ours], reference[theirs], floor)
        assert error <= rel, f"{case} {variant} {theirs}: {error:.1e}"
        compared += 1
    assert compared >= 8
    hyper = HYPER[(HYPER["case"] == case) & (HYPER["variant"] == variant)].iloc[0]
    prior = result.attrs["moderated"]
    for key in ["s2.prior", "df.prior"]:
        if not np.isnan(hyper[key]):
            assert abs(prior[key.replace(".", "_")] / hyper[key] - 1) <= rel
    if "block" in CASES[case][3]:
        # duplicateCorrelation's consensus
        assert abs(prior["block_correlation"] / hyper["block.correlation"] - 1) <= 1e-9
    if CASES[case][3].get("sample_weights"):
        # arrayWeights
        weights = np.array([float(w) for w in hyper["weights"].split(";")])
        assert list(prior["sample_weights"].index) == hyper["samples"].split(";")
        np.testing.assert_allclose(prior["sample_weights"], weights, rtol=1e-9)
    n_obs = result[list(DESIGNS.index.intersection(result.columns))].notna().sum(axis=1)
    np.testing.assert_array_equal(result["n_obs"], n_obs)


def test_inestimable_coefficients_say_why():
    """A feature without values in a group cannot estimate that group's
    coefficient: its contrasts are NaN with a note; one without values of a
    donor loses that donor's coefficient but keeps the group contrast."""
    result = run_case("inestimable", "default")
    counts = {g: result[list(DESIGNS.index[DESIGNS.group == g].intersection(result.columns))]
              .notna().sum(axis=1) for g in "HN"}
    no_h = (counts["H"] == 0) & (counts["N"] > 0)
    assert no_h.sum() > 20
    assert result.loc[no_h, "HvsN_p"].isna().all()
    assert set(result.loc[no_h, "note"]) <= {
        "groupH cannot be estimated from the measured values, so HvsN has no result",
        "groupH, donor2 cannot be estimated from the measured values, so HvsN, donor2 have no result"}
    donor2 = result[["H2", "N2"]].isna().all(axis=1) & (counts["H"] > 0) & (counts["N"] > 0)
    assert donor2.sum() > 20
    assert result.loc[donor2, "HvsN_p"].notna().all() and result.loc[donor2, "donor2_p"].isna().all()
    assert (result.loc[donor2, "note"]
            == "donor2 cannot be estimated from the measured values, so donor2 has no result").all()
    fine = result["HvsN_p"].notna() & result["donor2_p"].notna()
    assert (result.loc[fine, "note"] == "").all()


@pytest.mark.parametrize("groups", [["H", "N"], ["H", "L", "N"]])
@pytest.mark.parametrize("variant", ["default", "modern", "trend_robust"])
def test_features_is_the_group_means_special_case(groups, variant):
    """test_features' moderated tests are ~ 0 + group with every group minus
    the last (the t for two groups, their F for more), to the last bit; the
    t's p-value is the same tail by another route (F(1, df) at t^2, against
    test_features' t), equal to 1e-13."""
    frame = pd.read_csv(LIMMA_CD34 / "cd34_HLN_matrix.tsv", sep="\t", index_col=0)
    samples = DESIGNS[DESIGNS.group.isin(groups)]
    frame = frame[samples.index]
    members = {g: list(samples.index[samples.group == g]) for g in groups}
    features = td.test_features(frame, members, "moderated", min_valid=0, **VARIANTS[variant])
    last = groups[-1]
    contrasts = {f"{g}vs{last}": f"group{g} - group{last}" for g in groups[:-1]}
    result = td.test_contrasts(frame, samples, "~ 0 + group", contrasts, **VARIANTS[variant])
    if len(groups) == 2:
        name = f"{groups[0]}vs{last}"
        pairs = [("moderated_stat", f"{name}_t"), ("moderated_p", f"{name}_p"),
                 ("moderated_B", f"{name}_B"), ("moderated_df", "df_total"),
                 ("group_fc", f"{name}_logfc")]
    else:
        pairs = [("moderated_stat", "F"), ("moderated_p", "F_p")]
    for ours, theirs in pairs:
        if ours == "moderated_p" and len(groups) == 2:
            np.testing.assert_allclose(features[ours], result[theirs], rtol=1e-13)
        else:
            np.testing.assert_array_equal(features[ours], result[theirs], err_msg=ours)
    for key in ["s2_prior", "df_prior", "estimate"]:
        np.testing.assert_array_equal(features.attrs["moderated"][key], result.attrs["moderated"][key])


def batch_table():
    frame, samples, _, _, _ = reference_input("batch")
    return frame, samples


def test_formula_and_design_frame_agree():
    """formulaic's design, renamed as R names the columns, and the same
    matrix given as a frame whose rows come in another order; columns of df
    that are not samples are carried along, df itself is left as it was."""
    frame, samples = batch_table()
    frame = frame.assign(label=[f"p{i}" for i in range(len(frame))])[["label"] + list(frame.columns)]
    frame.attrs["source"] = "cd34"
    before = frame.copy()
    by_formula = td.test_contrasts(frame, samples, "~ 0 + group + donor", THREE, legacy=True)
    design = pd.DataFrame({f"group{g}": (samples.group == g).astype(float) for g in "HLN"} |
                          {f"donor{d}": (samples.donor == d).astype(float) for d in "2345"})
    by_frame = td.test_contrasts(frame, samples, design.iloc[::-1], THREE, legacy=True)
    pd.testing.assert_frame_equal(by_formula, by_frame, check_exact=True)
    pd.testing.assert_frame_equal(frame, before, check_exact=True)
    assert by_formula.attrs["source"] == "cd34"
    assert list(by_formula.columns[:16]) == list(frame.columns)
    assert list(by_formula.columns[16:]) == [
        f"{c}_{s}" for c in THREE for s in ["logfc", "t", "p", "fdr_bh", "B"]] + [
        "F", "F_p", "F_fdr_bh", "df_residual", "df_total", "s2_post", "n_obs", "note"]


def test_columns_under_lfc_and_another_correction():
    frame, samples = batch_table()
    result = td.test_contrasts(frame, samples, "~ 0 + group + donor", ["groupH - groupN"],
                               lfc=0.5, multipletest_method="holm", legacy=True)
    assert list(result.columns[15:]) == [
        "groupH - groupN_logfc", "groupH - groupN_t", "groupH - groupN_p", "groupH - groupN_holm",
        "df_residual", "df_total", "s2_post", "n_obs", "note"]
    # treat's t is 0 within the threshold and its p-value is at least the test against 0's
    within = result["groupH - groupN_logfc"].abs() <= 0.5
    assert (result.loc[within, "groupH - groupN_t"] == 0).all()
    plain = td.test_contrasts(frame, samples, "~ 0 + group + donor", ["groupH - groupN"], legacy=True)
    assert (result["groupH - groupN_p"] >= plain["groupH - groupN_p"]).all()


@pytest.mark.parametrize("expression, weights", [
    ("groupH - groupN", {"groupH": 1, "groupN": -1}),
    ("groupN - (groupH + groupL)/2", {"groupN": 1, "groupH": -0.5, "groupL": -0.5}),
    ("-0.5*groupH+ 2.5e-1 * groupL *2", {"groupH": -0.5, "groupL": 0.5}),
    ("(groupH - `groupL`) / 3", {"groupH": 1 / 3, "groupL": -1 / 3}),
])
def test_contrast_expressions(expression, weights):
    """Expressions read as makeContrasts reads them: each estimate is the
    weighted sum of the coefficients (here group means of complete rows)."""
    frame, samples = batch_table()
    complete = frame.dropna()
    result = td.test_contrasts(complete, samples, "~ 0 + group", [expression], legacy=True)
    means = {f"group{g}": complete[samples.index[samples.group == g]].mean(axis=1) for g in "HLN"}
    expected = sum(w * means[name] for name, w in weights.items())
    np.testing.assert_allclose(result[f"{expression}_logfc"], expected, rtol=1e-12, atol=1e-12)


COLUMNS = "the design's columns are 'groupH', 'groupL', 'groupN'; write a name that is not an R " \
          "name between backquotes"


@pytest.mark.parametrize("expression, why", [
    ("groupH - groupX", "unknown coefficient 'groupX'"),
    ("groupH * groupN", "a product of coefficients is not linear"),
    ("groupH / groupN", "a division by a coefficient is not linear"),
    ("groupH - groupN + 1", "a constant term is not a contrast of coefficients"),
    ("groupH - groupH", "it weighs every coefficient by 0"),
    ("(groupH - groupN", "a '(' is not closed"),
    ("groupH ^ 2", "unexpected '^' at position 8"),
    ("2", "it has no coefficient"),
    ("groupH / 0", "a division by 0"),
])
def test_contrast_refusals(expression, why):
    frame, samples = batch_table()
    message = f"contrast 'c': cannot read {expression!r}: {why} ({COLUMNS})"
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        td.test_contrasts(frame, samples, "~ 0 + group", {"c": expression})


def refusal_cases():
    frame, samples = batch_table()
    extra = frame.assign(HvsN_p=1.0)
    short = samples.drop(index="H1")
    return [
        (lambda: td.test_contrasts(frame, list(samples.index), "~ group", TWO), TypeError,
         "samples must be a pandas DataFrame indexed by the column labels of df, one column per "
         "design variable, got list"),
        (lambda: td.test_contrasts(frame, samples.rename(index={"H1": "X1"}), "~ 0 + group", TWO),
         ValueError, "the table has no column 'X1'"),
        (lambda: td.test_contrasts(frame, samples, 3, TWO), TypeError,
         "formula must be a formula string such as '~ 0 + condition' or a design matrix as a "
         "DataFrame (one row per sample), got int"),
        (lambda: td.test_contrasts(frame, short, pd.get_dummies(samples.group, dtype=float), TWO),
         ValueError, "the design matrix's rows must be the samples: its index must hold the index "
                     "labels of samples, each once"),
        (lambda: td.test_contrasts(frame, samples.assign(twice=samples.depth * 2),
                                   "~ 0 + group + depth + twice", TWO), ValueError,
         "the design matrix is not of full rank: 'twice' is a linear combination of the columns "
         "before it; drop it from the formula"),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", []), ValueError,
         "contrasts is empty: give at least one contrast"),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", "groupH - groupN"), TypeError,
         "contrasts must be a mapping {name: expression} or a list of expressions, got str"),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", ["groupH - groupN"] * 2),
         ValueError, "contrast name 'groupH - groupN' is used twice"),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", TWO, block="batch"), ValueError,
         "block 'batch' is not a column of samples"),
        (lambda: td.test_contrasts(frame, samples.assign(lab=[None] + ["a"] * 14), "~ 0 + group",
                                   TWO, block="lab"), ValueError, "block 'lab': a sample has no value"),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", TWO, lfc=-1), ValueError,
         "lfc must be a finite number of 0 or more, got -1"),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", TWO, multipletest_method="nope"),
         ValueError, "unknown multipletest_method 'nope'"),
        (lambda: td.test_contrasts(extra, samples, "~ 0 + group", TWO), ValueError,
         "the table already has a column 'HvsN_p', which test_contrasts adds; rename or drop it first"),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", TWO, trend=True), ValueError,
         "trend=True is not built for the likelihood estimate of the prior, which legacy=False "
         "takes when the residual degrees of freedom differ between features (as missing values "
         "make them); pass legacy=True for the classic estimate"),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", TWO, None), TypeError,
         "test_contrasts() takes exactly 4 positional arguments (5 given)"),
    ]


@pytest.mark.parametrize("index", range(15))
def test_refusals(index):
    call, kind, message = refusal_cases()[index]
    with pytest.raises(kind, match="^" + re.escape(message)):
        call()


def fault_cases():
    frame, samples = batch_table()
    listed = list(samples.index)
    twice = samples.assign(twice=samples.depth * 2, thrice=samples.depth * 3)
    return [
        (lambda: td.test_contrasts(frame, listed, "~ group", TWO), ("samples", None, listed)),
        (lambda: td.test_contrasts(frame, twice, "~ 0 + group + depth + twice + thrice", TWO),
         ("formula", "twice", ("twice", "thrice"))),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", {"c": "groupH - groupX"}),
         ("contrasts", "groupX", "c")),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", {"c": "groupH * 2 +"}),
         ("contrasts", None, "c")),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", ["groupH - groupN"] * 2),
         ("contrasts", None, "groupH - groupN")),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", TWO, block="batch"),
         ("block", None, "batch")),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", TWO, lfc=-1), ("lfc", None, -1)),
        (lambda: td.test_contrasts(frame.assign(HvsN_p=1.0), samples, "~ 0 + group", TWO),
         ("df", "HvsN_p", None)),
        (lambda: td.test_contrasts(frame, samples, "~ 0 + group", TWO, robust=True),
         ("robust", None, None)),
    ]


@pytest.mark.parametrize("index", range(9))
def test_refusals_name_their_fault(index):
    """A refusal carries what it is about as attributes (parameter, column,
    value), so that a caller can word it without reading the message."""
    call, fields = fault_cases()[index]
    with pytest.raises((ValueError, TypeError)) as raised:
        call()
    exc = raised.value
    assert (exc.parameter, exc.column, exc.value) == fields and exc.group is None


@pytest.mark.parametrize("block, warning", [
    ("donor", "the block is already in the design matrix: the within-block correlation is set to 0"),
    ("alone", "blocks all of size 1: the within-block correlation is set to 0"),
])
def test_block_correlation_limma_leaves_at_zero(block, warning):
    frame, samples = batch_table()
    samples = samples.assign(alone=list(samples.index))
    with pytest.warns(RuntimeWarning, match="^" + re.escape(warning) + "$"):
        result = td.test_contrasts(frame, samples, "~ 0 + group + donor", TWO, block=block,
                                   legacy=True)
    plain = td.test_contrasts(frame, samples, "~ 0 + group + donor", TWO, legacy=True)
    assert result.attrs["moderated"]["block_correlation"] == 0
    np.testing.assert_allclose(result["HvsN_p"], plain["HvsN_p"], rtol=1e-12)


def test_bad_sample_is_weighed_down():
    """N1 (47 measured values in the whole table, correlation 0.02-0.34 with
    the others) gets by far the smallest weight."""
    result = run_case("weights", "default")
    weights = result.attrs["moderated"]["sample_weights"]
    assert weights.idxmin() == "N1" and weights["N1"] < 0.5 * weights.median()


@pytest.mark.parametrize("rows", [0, 3])
def test_nothing_measured_gives_notes_not_errors(rows):
    """A table without a measured value has nothing to test: NaN and notes,
    no prior (as test_features); with something measured but no residual
    degree of freedom anywhere, the table is refused."""
    samples = pd.DataFrame({"g": list("AABB")}, index=list("abcd"))
    empty = pd.DataFrame(np.full((rows, 4), np.nan), columns=list("abcd"))
    result = td.test_contrasts(empty, samples, "~ 0 + g", {"BA": "gB - gA"}, sample_weights=True)
    assert result["BA_p"].isna().all() and (result["note"] == "no measured value").all()
    assert result.attrs["moderated"]["estimate"] is None
    single = pd.DataFrame([[1.0, np.nan, 2.0, np.nan]], columns=list("abcd"))
    with pytest.raises(ValueError, match="^no feature has a residual degree of freedom"):
        td.test_contrasts(single, samples, "~ 0 + g", {"BA": "gB - gA"})


@settings(max_examples=40, deadline=None, derandomize=True)
@given(st.data())
def test_hostile_tables_give_a_result_or_a_value_error(data):
    """Any cells (NaN, inf, huge, constant), any factor levels, block and
    weights or not: a result whose p-values lie in [0, 1], or ValueError."""
    n = data.draw(st.integers(3, 8))
    rows = data.draw(st.integers(0, 12))
    cells = st.one_of(st.floats(allow_nan=True, allow_infinity=True, width=64),
                      st.sampled_from([0.0, 1.0, np.nan]))
    values = np.array(data.draw(st.lists(cells, min_size=rows * n, max_size=rows * n)),
                      dtype=float).reshape(rows, n)
    labels = [f"s{i}" for i in range(n)]
    samples = pd.DataFrame({"g": data.draw(st.lists(st.sampled_from("AB"), min_size=n, max_size=n)),
                            "b": data.draw(st.lists(st.sampled_from("xyz"), min_size=n, max_size=n))},
                           index=labels)
    options = {"block": data.draw(st.sampled_from([None, "b"])),
               "sample_weights": data.draw(st.booleans()),
               "lfc": data.draw(st.sampled_from([0.0, 0.5])), "legacy": data.draw(st.booleans())}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = td.test_contrasts(pd.DataFrame(values, columns=labels), samples, "~ g",
                                       ["gB"], **options)
        except ValueError:
            return
    p = result["gB_p"].to_numpy()
    assert len(result) == rows and np.all((p[~np.isnan(p)] >= 0) & (p[~np.isnan(p)] <= 1))


def simulated(rng, rows=3000, rho=0.0, noisy=None):
    """24 runs (12 samples injected twice, two conditions); injections of a
    sample correlate by rho; the run `noisy` has four times the variance."""
    sample = np.repeat(np.arange(12), 2)
    values = (rng.normal(0, np.sqrt(rho), (rows, 12))[:, sample]
              + rng.normal(0, np.sqrt(1 - rho), (rows, 24)))
    if noisy is not None:
        values[:, noisy] *= 2
    runs = pd.DataFrame({"condition": np.repeat(["A", "B"], 12), "sample": [f"s{s}" for s in sample]},
                        index=[f"r{i}" for i in range(24)])
    values[rng.random(values.shape) < 0.05] = np.nan
    return pd.DataFrame(values, columns=runs.index), runs


@pytest.mark.parametrize("rho", [0.0, 0.5])
def test_block_correlation_finds_the_simulated_one(rho):
    df, runs = simulated(np.random.default_rng(11), rho=rho)
    result = td.test_contrasts(df, runs, "~ 0 + condition", ["conditionB - conditionA"],
                               block="sample", legacy=True)
    assert abs(result.attrs["moderated"]["block_correlation"] - rho) < 0.05


def test_sample_weights_find_the_noisy_run():
    """A run with four times the variance gets about a quarter of the
    others' weight; the others stay near 1."""
    df, runs = simulated(np.random.default_rng(12), noisy=5)
    result = td.test_contrasts(df, runs, "~ 0 + condition", ["conditionB - conditionA"],
                               sample_weights=True, legacy=True)
    weights = result.attrs["moderated"]["sample_weights"]
    others = weights.drop("r5")
    assert 0.2 < weights["r5"] / others.mean() < 0.3
    assert others.between(0.8, 1.25).all()
