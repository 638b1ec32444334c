"""The numpy/scipy twin of the moderated tests against limma's numbers."""
import numpy as np
import pytest
from conftest import (LIMMA_CD34, assert_matches_limma, limma_case, limma_columns, read_limma,
                      real_data, relative_error)

import moderated_twin as twin

pytestmark = pytest.mark.python_only  # the twin is numpy and scipy only

OPTIONS = {"default": {"legacy": True}, "modern": {"legacy": None},
           "trend": {"legacy": True, "trend": True}, "robust": {"legacy": True, "robust": True},
           "trend_robust": {"legacy": True, "trend": True, "robust": True}}
ACUT_FILES = {"default": "limma_default", "modern": "limma_modern_default", "trend": "limma_trend",
              "robust": "limma_robust", "trend_robust": "limma_trend_robust"}
CD34 = {"cd34_HN": ["H", "N"], "cd34_HN_sparse": ["H", "N"], "cd34_HLN": ["H", "L", "N"]}


def run_twin(folder, matrix, order, variant):
    values, groups, _ = limma_case(folder, matrix, order)
    return twin.moderated_test(values, groups, len(order), **OPTIONS[variant])


@pytest.fixture(scope="module")
def acut():
    return {v: run_twin(real_data("limma-acut"), "matrix.tsv", ["treat", "ctrl"], v) for v in ACUT_FILES}


@pytest.mark.parametrize("variant", list(ACUT_FILES))
def test_acut_matches_limma(acut, variant):
    reference = read_limma(real_data("limma-acut"), ACUT_FILES[variant] + ".tsv")
    columns = limma_columns(acut[variant], ["treat-ctrl"])
    columns.pop("F")
    columns.pop("F.p.value")
    assert_matches_limma(columns, reference, variant)


@pytest.mark.parametrize("variant", list(ACUT_FILES))
def test_acut_hyperparameters(acut, variant):
    hyper = read_limma(real_data("limma-acut"), "hyperparameters.tsv").set_index("variant")
    row = hyper.loc["modern_default" if variant == "modern" else variant]
    out = acut[variant]
    tol = 1e-12 if variant == "default" else 1e-9 if variant == "modern" else 1e-8
    s2_prior = np.broadcast_to(out["s2_prior"], out["s2"].shape)
    df_prior = np.broadcast_to(out["df_prior"], out["s2"].shape)
    assert relative_error(np.median(s2_prior), row["s2.prior_median"]) <= tol
    assert relative_error(df_prior.min(), row["df.prior_min"]) <= tol
    assert relative_error(df_prior.max(), row["df.prior_max"]) <= tol
    assert relative_error(out["var_prior"][0], row["var.prior"]) <= 1e-9
    assert out["df_pooled"] == row["df.pooled"]


@pytest.mark.parametrize("dataset", list(CD34))
@pytest.mark.parametrize("variant", list(OPTIONS))
def test_cd34_matches_limma(dataset, variant):
    order = CD34[dataset]
    out = run_twin(LIMMA_CD34, f"{dataset}_matrix.tsv", order, variant)
    reference = read_limma(LIMMA_CD34, f"{dataset}_{variant}.tsv")
    names = [f"{g}vs{order[-1]}" for g in order[:-1]]
    assert_matches_limma(limma_columns(out, names), reference, variant)
    hyper = read_limma(LIMMA_CD34, "hyperparameters.tsv").reset_index()
    row = hyper[(hyper.dataset == dataset) & (hyper.variant == variant)].iloc[0]
    for j in range(len(names)):
        assert relative_error(out["var_prior"][j], row[f"var.prior.{j + 1}"]) <= 1e-9


def test_two_groups_f_is_t_squared_with_uncapped_df(acut):
    out = acut["robust"]
    np.testing.assert_allclose(out["F"], out["t"][:, 0] ** 2, rtol=1e-15)
    uncapped = out["df_residual"] + out["df_prior"] <= out["df_pooled"]
    np.testing.assert_allclose(out["F_p_value"][uncapped], out["p_value"][uncapped, 0], rtol=1e-13)


def test_infinite_prior_df_takes_the_limits():
    # equal variances everywhere: the moments leave no room for a prior spread
    rng = np.random.default_rng(7)
    values = rng.normal(0, 1, (400, 8))
    values[:, :4] += 0.05
    out = twin.moderated_test(values, np.repeat([0, 1], 4), 2, legacy=True)
    assert np.isinf(out["df_prior"])
    assert np.all(out["s2_post"] == out["s2_prior"])
    assert np.all(out["df_total"] == out["df_pooled"])
    assert np.isfinite(out["B"]).all() and np.isfinite(out["F_p_value"]).all()
