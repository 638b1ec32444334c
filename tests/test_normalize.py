"""differential.normalize against the numpy definitions of its shifts
(twin_normalize), on tables whose true column offsets are known."""
import re

import numpy as np
import pandas as pd
import pytest

import twin_normalize as twin
from conftest import log_table
from tessera.tools import differential as td

METHODS = ["median_complete", "ratio_median", "ratio_mode"]


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("method", METHODS)
def test_shifts_are_the_numpy_definition(method, seed):
    df, columns, _ = log_table(seed)
    before = df.copy()
    table, shifts = td.normalize(df, columns, method)
    expected = twin.shifts(df[columns].to_numpy(dtype=float), method)
    np.testing.assert_allclose(shifts.to_numpy(), expected, rtol=0, atol=1e-9)
    assert list(shifts.index) == columns and shifts.name == "shift" and shifts.dtype == np.float64
    # every column less its shift, cell by cell; other columns and missing cells untouched
    wanted = df.copy()
    for column in columns:
        wanted[column] = df[column].astype(float) - shifts[column]
    pd.testing.assert_frame_equal(table, wanted, check_exact=True)
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("scenario, method, right", [
    # a third of the features up by 1 in the first half of the columns: the
    # medians follow them part of the way, the density peak stays with the rest
    ("one-sided change", "ratio_mode", True),
    ("one-sided change", "ratio_median", False),
    ("one-sided change", "median_complete", False),
    # the last column measured only the more abundant features: its median
    # over what it measured is high, over the shared features it is not
    ("shallow run", "median_complete", True),
    ("shallow run", "ratio_median", True),
    ("shallow run", "ratio_mode", True),
])
def test_shifts_find_the_true_offsets(scenario, method, right):
    rng = np.random.default_rng(5)
    rows, cols = 4000, 6
    offsets = rng.normal(0, 0.4, cols)
    level = rng.normal(22, 2.5, (rows, 1))
    values = level + offsets + rng.normal(0, 0.15, (rows, cols))
    if scenario == "one-sided change":
        values[: rows // 3, : cols // 2] += 1.0
    else:
        values[level[:, 0] < 22, -1] = np.nan
        medians = np.nanmedian(values, axis=0)
        assert np.max(np.abs(medians - medians.mean() - (offsets - offsets.mean()))) > 1
    columns = [f"S{c}" for c in range(cols)]
    _, shifts = td.normalize(pd.DataFrame(values, columns=columns), columns, method)
    error = np.max(np.abs(shifts.to_numpy() - (offsets - offsets.mean())))
    # a density peak is a noisier estimate than a median (here about 0.015
    # against 0.003 for 4,000 features), but it is not pulled
    assert error < 0.05 if right else error > 0.05


def reference_case():
    df, columns, _ = log_table(3, rows=400)
    species = np.where(np.arange(len(df)) % 3 == 0, "YEAST", "HUMAN")
    df.index = [f"P{i}_{s}" for i, s in enumerate(species)]
    df.insert(0, "names", [f"protein {i} OS={s}" for i, s in enumerate(species)])
    return df, columns, species == "HUMAN"


@pytest.mark.parametrize("form", ["mask", "series", "list", "index pattern", "column pattern",
                                  "series pattern"])
@pytest.mark.parametrize("method", ["reference", "ratio_mode", "median_complete"])
def test_reference_forms_name_the_same_features(form, method):
    df, columns, human = reference_case()
    names = df["names"] if form == "column pattern" else df.pop("names")
    reference, where = {
        "mask": (human, None),
        "series": (pd.Series(human, index=df.index), None),
        "list": (list(human), None),
        "index pattern": ("_HUMAN$", None),
        "column pattern": ("OS=HUMAN", "names"),
        "series pattern": ("OS=HUMAN", names),
    }[form]
    _, shifts = td.normalize(df, columns, method, reference=reference, reference_column=where)
    twin_method = "ratio_median" if method == "reference" else method
    expected = twin.shifts(df[columns].to_numpy(dtype=float), twin_method, allowed=human)
    np.testing.assert_allclose(shifts.to_numpy(), expected, rtol=0, atol=1e-9)


def test_density_peak_is_the_larger_mode():
    """Log-ratios from two populations, 60% at 0.3 and 40% at -1: the shift
    is the larger one's centre, where a median would land between them."""
    rng = np.random.default_rng(2)
    values = np.concatenate([rng.normal(0.3, 0.1, 600), rng.normal(-1.0, 0.1, 400)])
    df = pd.DataFrame({"a": values, "b": np.zeros_like(values)})
    _, shifts = td.normalize(df, ["a", "b"], "ratio_mode")
    # with two columns the log-ratios of a to the profile are half its values
    assert abs(shifts["a"] - twin.density_peak(values / 2)) < 1e-9
    assert abs(shifts["a"] - 0.15) < 0.02 and abs(np.median(values) / 2 - 0.15) > 0.04


T, C = log_table(3, rows=40)[:2]


@pytest.mark.parametrize("kwargs, error, message, attributes", [
    ({"method": "median"}, ValueError,
     "unknown normalisation method 'median': choose 'median_complete', 'ratio_median', "
     "'ratio_mode' or 'reference'", ("method", None, "median")),
    ({"method": "reference"}, ValueError,
     "method 'reference' needs the features to normalise on", ("reference", None, None)),
    ({"reference_column": "names"}, ValueError,
     "reference_column applies to a pattern given as reference", ("reference_column", None, "names")),
    ({"reference": np.ones(40, bool), "reference_column": "names"}, ValueError,
     "reference_column applies to a pattern given as reference, not to a mask",
     ("reference_column", None, "names")),
    ({"reference": "^nothing$"}, ValueError, "reference '^nothing$' matches no feature",
     ("reference", None, "^nothing$")),
    ({"reference": "(["}, ValueError, "reference '([' is not a regular expression",
     ("reference", None, "([")),
    ({"reference": np.zeros(40, bool)}, ValueError, "reference selects no feature",
     ("reference", None, None)),
    ({"reference": "P1", "reference_column": "nowhere"}, ValueError,
     "reference_column 'nowhere' names no single column of the table",
     ("reference_column", "nowhere", "nowhere")),
    ({"reference": "P1", "reference_column": pd.Series(["P1"] * 39)}, ValueError,
     "reference_column: a Series must have the table's index", ("reference_column", None, None)),
    ({"reference": pd.Series(np.ones(40, bool))[::-1]}, ValueError,
     "reference: a mask given as a Series must have the table's index", ("reference", None, None)),
    ({"reference": np.ones(39, bool)}, TypeError,
     "reference must be a boolean mask of one value per row (40), or a pattern (str); got "
     "numpy.ndarray of shape (39,)", None),
    ({"reference": np.ones(40)}, TypeError, "reference must be a boolean mask", None),
    ({"min_features": 0}, ValueError, "min_features must be 1 or more, got 0",
     ("min_features", None, 0)),
    ({"min_features": 1.5}, TypeError, "min_features must be an integer, got 1.5", None),
    ({"min_features": 39}, ValueError,
     "column 'S0': 32 features measured in it and in at least 5 of the 6 columns, too few to "
     "estimate its shift (min_features=39)", ("min_features", "S0", 32)),
    ({"method": "median_complete", "reference": "P1"}, ValueError,
     "column 'S0': 7 features of the reference measured in it and in at least 6 of the 6 "
     "columns, too few to estimate its shift (min_features=10)", ("min_features", "S0", 7)),
    ({"columns": ["S0"]}, ValueError, "normalize needs at least 2 columns to line up, got 1",
     ("columns", None, ["S0"])),
    ({"columns": ["S0", "names"]}, ValueError, "column 'names' is not numeric (dtype str)", None),
    ({"columns": ["S0", "S9"]}, ValueError, "the table has no column 'S9'", None),
])
def test_refusals(kwargs, error, message, attributes):
    df = T.copy()
    df.insert(0, "names", [f"P{i}" for i in range(len(df))])
    call = {"columns": C, **kwargs}
    with pytest.raises(error, match="^" + re.escape(message)) as raised:
        td.normalize(df, **call)
    if attributes is not None:
        exc = raised.value
        assert (exc.parameter, exc.column, exc.value) == attributes and exc.group is None


def test_linear_values_are_refused():
    df = 2.0 ** T
    with pytest.raises(ValueError, match="^column 'S0' has median [0-9.e+]+: normalize works on "
                                         "log values") as raised:
        td.normalize(df, C)
    assert raised.value.column == "S0" and raised.value.value > 64


def test_infinite_and_integer_cells():
    """+-inf are not measured (they stay as they are), int64 columns shift as float64."""
    df, columns, _ = log_table(4, rows=200)
    df.iloc[:5, 0] = np.inf
    df.iloc[5:8, 1] = -np.inf
    df[columns[2]] = np.round(df[columns[2]].fillna(0)).astype(np.int64)
    table, shifts = td.normalize(df, columns, "ratio_median")
    expected = twin.shifts(df[columns].to_numpy(dtype=float), "ratio_median")
    np.testing.assert_allclose(shifts.to_numpy(), expected, rtol=0, atol=1e-9)
    assert np.isposinf(table.iloc[:5, 0]).all() and np.isneginf(table.iloc[5:8, 1]).all()
    assert table[columns[2]].dtype == np.float64
