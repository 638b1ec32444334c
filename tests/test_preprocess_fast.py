"""The fast routes of log_transform and noise_filter against the
plain per-cell pandas code, on many random tables."""
import math
import re
import types

import numpy as np
import pandas as pd
import pytest

import twin_preprocess
from tables import CallCounter, proteomics_table
from tessera.tools import preprocess as tp

N_TABLES = 300


def random_case(seed):
    rng = np.random.default_rng(seed)
    shape = dict(
        n_rows=int(rng.integers(1, 60)),
        n_samples=int(rng.integers(1, 8)),
        int_samples=int(rng.integers(0, 3)),
        zeros=float(rng.choice([0.0, 0.0, 0.001, 0.2])),
        nan=float(rng.choice([0.0, 0.1, 0.5])),
        inf=float(rng.choice([0.0, 0.0, 0.05])),
        negative=float(rng.choice([0.0, 0.0, 0.0, 0.02])),
        decoys=0.1,
        text_column=bool(rng.random() < 0.1),
    )
    df = proteomics_table(rng, **shape)
    if rng.random() < 0.1:
        df.attrs["source"] = "random"
    if rng.random() < 0.1:
        df = pd.DataFrame(np.ascontiguousarray(df.select_dtypes("number").to_numpy(float)),
                          index=df.index)  # one 2-D block: strided columns
    return rng, df


def run_both(fn_name, df, param, capsys):
    """Runs the compiled function and its twin; they must print, return and
    raise the same, and leave the input alone."""
    before = df.copy(deep=True)
    try:
        expected = getattr(twin_preprocess, fn_name)(df.copy(deep=True), param)
    except Exception as exc:
        capsys.readouterr()
        with pytest.raises(type(exc), match=re.escape(str(exc))):
            getattr(tp, fn_name)(df, param)
        return None
    expected_printed = capsys.readouterr().out
    result = getattr(tp, fn_name)(df, param)
    assert capsys.readouterr().out == expected_printed
    pd.testing.assert_frame_equal(df, before, check_exact=True)
    if expected_printed:  # failure: the very input comes back
        assert result is df
    pd.testing.assert_frame_equal(result, expected, check_exact=True)
    assert result.attrs == expected.attrs
    return result


@pytest.mark.parametrize("seed", range(N_TABLES))
def test_log_transform_matches_per_cell_route(seed, capsys):
    rng, df = random_case(seed)
    base = int(rng.choice([2, 2, 10, 3, 7]))
    result = run_both("log_transform", df, base, capsys)
    if result is not None and result is not df:
        # bit-identical values, not merely equal ones
        assert result.to_numpy(float).tobytes() == twin_preprocess.log_transform(df, base).to_numpy(float).tobytes()


@pytest.mark.parametrize("seed", range(N_TABLES))
def test_noise_filter_matches_per_cell_route(seed, capsys):
    rng, df = random_case(seed)
    choices = [0, 1000, 10**5, 10**7, -1, 10**10, "5000", 2.5e6]
    threshold = choices[int(rng.integers(len(choices)))]
    run_both("noise_filter", df, threshold, capsys)


def test_batch_route_is_taken_for_numeric_tables(capsys):
    df = proteomics_table(np.random.default_rng(1), 50, 4, int_samples=2, nan=0.1)
    with CallCounter(pd.DataFrame.map) as calls:
        tp.log_transform(df, 2)
        tp.noise_filter(df, 10**5)
    assert calls.count == 0
    with_text = df.assign(note="x")
    with CallCounter(pd.DataFrame.map) as calls:
        tp.noise_filter(with_text.drop(columns="note").astype(object), 10)
        tp.log_transform(with_text, 2)
    assert calls.count == 2
    assert capsys.readouterr().out == "Fail to do log transform\n"


@pytest.mark.parametrize("name, replacement", [
    ("math", types.SimpleNamespace(log=math.log)),
    ("np", types.SimpleNamespace(nan=np.nan)),
])
def test_replaced_names_take_the_per_cell_route(monkeypatch, name, replacement, capsys):
    """With a library name replaced in the namespace, the functions still run
    and still give the per-cell result, through the replacement."""
    monkeypatch.setattr(tp, name, replacement)
    fn_name = "log_transform" if name == "math" else "noise_filter"
    for seed in range(20):
        _, df = random_case(seed)
        run_both(fn_name, df, 1000, capsys)
        with CallCounter(pd.DataFrame.map) as calls:
            try:
                getattr(tp, fn_name)(df, 1000)
            except TypeError:
                pass
        capsys.readouterr()
        assert calls.count == 1


def test_replacement_is_used():
    df = pd.DataFrame({"a": [1.0, 5.0]})
    fake_np = types.SimpleNamespace(nan=-1.0)
    original = tp.np
    tp.np = fake_np
    try:
        result = tp.noise_filter(df, 2)
    finally:
        tp.np = original
    pd.testing.assert_frame_equal(result, pd.DataFrame({"a": [-1.0, 5.0]}))


@pytest.mark.parametrize("df", [
    pd.DataFrame(),
    pd.DataFrame(index=["a", "b"]),
    pd.DataFrame({"a": pd.Series([], dtype=float)}),
    pd.DataFrame({"a": [1.5, 2.5]}, index=pd.MultiIndex.from_tuples([("x", 1), ("y", 2)])),
    pd.DataFrame([[1.0, 2.0]], columns=["a", "a"]),
    pd.DataFrame({"a": [True, False]}),
    pd.DataFrame({"a": np.array([1.5, 2.5], dtype=np.float32)}),
    pd.DataFrame({"a": pd.array([1, None], dtype="Int64")}),
    pd.DataFrame({"a": np.array([1.5, 2.5], dtype=">f8")}),
    pd.DataFrame({"a": [2**62, 3]}),
    pd.DataFrame({"a": [2.0**1000, 5e-324, -0.0]}),
])
@pytest.mark.parametrize("fn_name, param", [
    ("log_transform", 2), ("log_transform", 1), ("log_transform", 0),
    ("noise_filter", 3), ("noise_filter", 2**60), ("noise_filter", -(2**70)),
])
def test_unusual_tables_match_per_cell_route(df, fn_name, param, capsys):
    run_both(fn_name, df, param, capsys)


def test_subclass_result_type_is_kept(capsys):
    class Sub(pd.DataFrame):
        @property
        def _constructor(self):
            return Sub

    df = Sub({"a": [1.0, 2.0]})
    assert type(tp.log_transform(df, 2)) is type(twin_preprocess.log_transform(df, 2))


@pytest.mark.parametrize("seed", range(100))
def test_decoy_and_missing_filters_match_pandas_route(seed, capsys):
    rng, df = random_case(seed)
    patterns = ["REV__", "", "P000", "REV__|CON__", "P0001.", 5, "rev__"]
    run_both("remove_decoy", df, patterns[seed % len(patterns)], capsys)
    percents = [0, 50, "70%", 100, 33.3, 101, -5]
    run_both("remove_missing_values", df, percents[seed % len(percents)], capsys)


@pytest.mark.parametrize("labels", [
    ["REV__a", "b", "c_REV__"],
    pd.Index(["REV__a", "b"], dtype=object),
    pd.Index(["REV__a", None], dtype=object),
    pd.Index(["REV__é", "ü"], dtype="string"),
    [1, 2],
    pd.MultiIndex.from_tuples([("REV__a", 1), ("b", 2)]),
])
def test_decoy_filter_on_unusual_labels(labels, capsys):
    df = pd.DataFrame({"a": np.arange(len(labels), dtype=float)}, index=labels)
    run_both("remove_decoy", df, "REV__", capsys)


@pytest.mark.parametrize("seed", range(150))
def test_normalize_matches_pandas_route(seed):
    rng, df = random_case(seed)
    df = df.select_dtypes("number").astype(float)
    if seed % 5 == 0 and len(df):
        df.iloc[: len(df) // 2 + 1, 0] = 0.0  # a zero in the middle of a column
    if seed % 7 == 0:
        df["empty"] = np.nan
    setting = ["log_median_0", "origin_median_1", "log_median_-1.5", "origin_median_2",
               "raw_median_0", "log_mean_0"][seed % 6]
    mine, theirs = df.copy(), df.copy()
    result = tp.normalize(mine, setting)
    expected = twin_preprocess.normalize(theirs, setting)
    assert result is mine
    pd.testing.assert_frame_equal(result, expected, check_exact=True)
    assert np.array_equal(np.signbit(result.to_numpy()), np.signbit(expected.to_numpy()))


@pytest.mark.parametrize("column", [
    [-0.0, 1.0, -0.0],                 # the middle value is a negative zero
    [-0.0, 0.0, 2.0, -3.0],
    [1.6e308, 1.7e308, 1.5e308],       # a middle value that overflows when doubled
    [np.inf, -np.inf, 1.0, 2.0],
    [np.nan, np.nan],
])
def test_normalize_medians_at_the_edges(column):
    df = pd.DataFrame({"a": column, "b": np.arange(len(column), dtype=float)})
    for setting in ("log_median_0", "origin_median_1"):
        result = tp.normalize(df.copy(), setting)
        expected = twin_preprocess.normalize(df.copy(), setting)
        pd.testing.assert_frame_equal(result, expected, check_exact=True)
        assert np.array_equal(np.signbit(result.to_numpy()), np.signbit(expected.to_numpy()))
