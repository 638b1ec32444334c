"""Every public function and method of the compiled modules against its
plain-Python twin, on hostile arguments drawn by hypothesis: frames of every
dtype and shape, odd labels, non-finite values, settings of the wrong type,
malformed groups, iterators and objects whose conversions raise.

Each call must return what the twin returns (frames compared exactly, the
same printed text, inputs changed alike) or raise the same exception type.
A crash of the interpreter fails the whole run.

The number of examples per test is the hypothesis profile's (conftest.py:
`quick` by default, `ci` under TESSERA_TEST_PROFILE=ci; fixed seeds, so CI
sees the same cases every time), or TESSERA_FUZZ_EXAMPLES; a longer run:
    TESSERA_FUZZ_EXAMPLES=2000 python -m pytest tests/test_fuzz.py
"""
import contextlib
import io
import math
import os
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import twin_differential
import twin_preprocess
import twin_vetting
from tessera.tools import differential as td
from tessera.tools import preprocess as tp
from tessera.tools import stat as ts
from tessera.tools import vetting as tv

EXAMPLES = int(os.environ.get("TESSERA_FUZZ_EXAMPLES", settings.default.max_examples))
fuzz = settings(max_examples=EXAMPLES)
class Boom(Exception):
    pass


class BadFloat:
    """A number-like cell whose conversions raise."""

    def __float__(self):
        raise Boom("__float__")

    def __index__(self):
        raise Boom("__index__")

    def __int__(self):
        raise Boom("__int__")

    def __lt__(self, other):
        raise Boom("__lt__")

    __gt__ = __le__ = __ge__ = __lt__

    def __repr__(self):
        return "BadFloat()"


class BadText:
    def __str__(self):
        raise Boom("__str__")

    def __eq__(self, other):
        raise Boom("__eq__")

    __hash__ = object.__hash__

    def __bool__(self):
        raise Boom("__bool__")


class BadMapping(dict):
    def get(self, *args):
        raise Boom("get")

    def __contains__(self, key):
        raise Boom("__contains__")


class BadEntry:
    def __getitem__(self, i):
        raise Boom("__getitem__")


class Fresh:
    """An argument that must be made anew for each route (an iterator)."""

    def __init__(self, make):
        self.make = make

    def __repr__(self):
        return f"Fresh({self.make()!r})"


def materialize(obj):
    if isinstance(obj, Fresh):
        return obj.make()
    if isinstance(obj, (pd.DataFrame, pd.Series)):
        return obj.copy(deep=True)
    if type(obj) in (list, tuple):
        return type(obj)(materialize(o) for o in obj)
    if type(obj) is dict:
        return {k: materialize(v) for k, v in obj.items()}
    return obj
SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, math.nan, math.inf, -math.inf, 5e-324,
                  2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
                  0.5, 1e-300, 2.0**53 + 1]
floats = st.one_of(st.sampled_from(SPECIAL_FLOATS), st.floats(1e3, 1e9),
                   st.floats(allow_nan=True, allow_infinity=True))
ints = st.one_of(st.integers(-5, 5), st.integers(0, 10**9), st.sampled_from([2**62, -(2**63), 2**53 + 1]))
cells = st.one_of(floats, ints, st.sampled_from(["", "None", "n/a", "1.5", "x", None, True]),
                  st.just(BadFloat()), st.just(pd.NA), st.just(pd.NaT))


def column(kind, n):
    """A strategy for one column of n cells of the given kind."""
    if kind == "float64":
        return st.lists(floats, min_size=n, max_size=n).map(lambda v: np.array(v, dtype=float))
    if kind == "int64":
        return st.lists(ints, min_size=n, max_size=n).map(lambda v: np.array(v, dtype=np.int64))
    if kind == "float32":
        return st.lists(st.floats(-1e6, 1e6, width=32), min_size=n, max_size=n).map(
            lambda v: np.array(v, dtype=np.float32))
    if kind == "bool":
        return st.lists(st.booleans(), min_size=n, max_size=n).map(lambda v: np.array(v, dtype=bool))
    if kind == "object":
        return st.lists(cells, min_size=n, max_size=n).map(lambda v: pd.array(v, dtype=object))
    if kind == "str":
        return st.lists(st.sampled_from(["a", "1", "2.5", "None", "", "REV__x"]), min_size=n,
                        max_size=n).map(lambda v: pd.array(v, dtype="str"))
    if kind == "category":
        return st.lists(st.sampled_from(["a", "b", "1"]), min_size=n, max_size=n).map(
            lambda v: pd.Categorical(v))
    if kind == "datetime":
        return st.lists(st.integers(0, 10**18), min_size=n, max_size=n).map(
            lambda v: pd.to_datetime(v))
    if kind == "Int64":
        return st.lists(st.one_of(st.integers(-10**6, 10**6), st.none()), min_size=n,
                        max_size=n).map(lambda v: pd.array(v, dtype="Int64"))
    if kind == "Float64":
        return st.lists(st.one_of(st.floats(-1e6, 1e6), st.none()), min_size=n,
                        max_size=n).map(lambda v: pd.array(v, dtype="Float64"))
    raise ValueError(kind)


NUMERIC_KINDS = ["float64", "float64", "float64", "int64"]
ALL_KINDS = NUMERIC_KINDS + ["float32", "bool", "object", "str", "category", "datetime",
                             "Int64", "Float64"]
ROW_LABELS = ["P1", "P2", "REV__P3", "x.y", "", "a|b", "P1", "rev__P4", "Q"]


@st.composite
def row_index(draw, n, clean=False):
    kinds = ["range", "unique"] if clean else ["range", "text", "text", "int", "multi", "mixed", "none"]
    kind = draw(st.sampled_from(kinds))
    if kind == "range":
        return pd.RangeIndex(n)
    if kind == "unique":
        return pd.Index([f"P{i}" for i in range(n)], dtype=draw(st.sampled_from([object, "str"])))
    if kind == "text":
        return pd.Index(draw(st.lists(st.sampled_from(ROW_LABELS), min_size=n, max_size=n)),
                        dtype=draw(st.sampled_from([object, "str"])))
    if kind == "int":
        return pd.Index(draw(st.lists(st.integers(-3, 3), min_size=n, max_size=n)))
    if kind == "multi":
        return pd.MultiIndex.from_arrays([draw(st.lists(st.sampled_from(ROW_LABELS), min_size=n, max_size=n)),
                                          list(range(n))])
    if kind == "none":
        return pd.Index(draw(st.lists(st.sampled_from(["P1", None]), min_size=n, max_size=n)),
                        dtype=object)
    return pd.Index(draw(st.lists(st.sampled_from(["P1", 3, 2.5, None]), min_size=n, max_size=n)),
                    dtype=object)


@st.composite
def frames(draw, kinds=ALL_KINDS, max_rows=6, max_cols=5, clean=False):
    """Tables; `clean` ones have unique text labels, the tables the fast routes take."""
    n_rows = draw(st.integers(int(clean), max_rows))
    n_cols = draw(st.integers(int(clean), max_cols))
    label_kind = "text" if clean else draw(st.sampled_from(["text", "text", "text", "dup", "int", "multi"]))
    labels = [f"c{j}" for j in range(n_cols)]
    if label_kind == "dup" and n_cols > 1:
        labels[-1] = labels[0]
    elif label_kind == "int":
        labels = list(range(n_cols))
    data = {j: draw(column(draw(st.sampled_from(kinds)), n_rows)) for j in range(n_cols)}
    df = pd.DataFrame(data, index=draw(row_index(n_rows, clean)))
    df.columns = (pd.MultiIndex.from_tuples([(f"g{j % 2}", f"c{j}") for j in range(n_cols)])
                  if label_kind == "multi" and n_cols else pd.Index(labels, dtype=object))
    return df


numeric_frames = st.one_of(frames(kinds=NUMERIC_KINDS, max_rows=8),
                           frames(kinds=NUMERIC_KINDS, max_rows=8, clean=True))
def run(fn, args, kwargs):
    """The outcome of one call: (result or exception, printed text, arguments after)."""
    args, kwargs = materialize(args), materialize(kwargs)
    out = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(out):
        warnings.simplefilter("ignore")
        try:
            result = fn(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001
            result = exc
    return result, out.getvalue(), args


def assert_same_value(result, expected):
    if isinstance(expected, BaseException):
        assert isinstance(result, BaseException), f"returned {result!r}, twin raised {expected!r}"
        assert type(result) is type(expected), f"raised {result!r}, twin raised {expected!r}"
        return
    assert not isinstance(result, BaseException), f"raised {result!r}, twin returned {expected!r}"
    assert type(result) is type(expected)
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(result, expected, check_exact=True)
        assert result.attrs == expected.attrs
    elif isinstance(expected, pd.Series):
        pd.testing.assert_series_equal(result, expected, check_exact=True)
    elif isinstance(expected, np.ndarray):
        assert result.dtype == expected.dtype
        np.testing.assert_array_equal(result, expected)
    elif isinstance(expected, (list, tuple)) or hasattr(expected, "_fields") or (
            hasattr(expected, "statistic") and hasattr(expected, "pvalue")):
        result, expected = list(result), list(expected)
        assert len(result) == len(expected)
        for r, e in zip(result, expected):
            assert_same_value(r, e)
    elif expected is pd.NA or expected is pd.NaT:
        assert result is expected
    elif isinstance(expected, (float, np.floating)):
        assert result == expected or (math.isnan(result) and math.isnan(expected))
    else:
        assert result == expected


def check(compiled, twin, *args, **kwargs):
    result, printed, after = run(compiled, args, kwargs)
    expected, expected_printed, expected_after = run(twin, args, kwargs)
    assert_same_value(result, expected)
    assert printed == expected_printed
    for a, e in zip(after, expected_after):  # inputs left alone, or changed alike
        if isinstance(e, pd.DataFrame):
            pd.testing.assert_frame_equal(a, e, check_exact=True)
hostile = st.sampled_from([None, BadFloat(), BadText(), [1], {"a": 1}, b"2", math.nan, math.inf])


@fuzz
@given(df=frames(), param=st.one_of(st.sampled_from(["REV__", "", ".", "a|b", "(", "P1", "rev"]),
                                    st.integers(-2, 4), hostile, st.text(max_size=3)))
def test_remove_decoy(df, param):
    check(tp.remove_decoy, twin_preprocess.remove_decoy, df, param)


step_settings = st.one_of(st.sampled_from([2, 10, "2", "10", "2.5", 2.5, 0, 1, -1, 3, 1000, 0.9,
                                           True, 2**53, 2**53 + 1, 2**70, -(2**70), "5000", "5.5",
                                           "1e3"]),
                          st.integers(-10**12, 10**12), hostile)


@fuzz
@given(df=frames(), param=step_settings)
def test_log_transform(df, param):
    check(tp.log_transform, twin_preprocess.log_transform, df, param)


@fuzz
@given(df=numeric_frames, param=step_settings)
def test_log_transform_numeric(df, param):
    check(tp.log_transform, twin_preprocess.log_transform, df, param)


@fuzz
@given(df=frames(), param=step_settings)
def test_noise_filter(df, param):
    check(tp.noise_filter, twin_preprocess.noise_filter, df, param)


@fuzz
@given(df=numeric_frames, param=step_settings)
def test_noise_filter_numeric(df, param):
    check(tp.noise_filter, twin_preprocess.noise_filter, df, param)


@fuzz
@given(df=st.one_of(frames(), numeric_frames),
       param=st.one_of(st.sampled_from([50, 50.0, "50", "50%", "%50%", 0, -1, 100, 101, "x", "nan",
                                        "inf", math.nan, "1e2"]), st.floats(), hostile))
def test_remove_missing_values(df, param):
    check(tp.remove_missing_values, twin_preprocess.remove_missing_values, df, param)


@fuzz
@given(df=st.one_of(frames(), numeric_frames),
       param=st.one_of(st.sampled_from(["log_median_0", "origin_median_1", "log_median_-1",
                                        "origin_median_0", "log_median_2.5", "log_mean_0",
                                        "raw_median_0", "log_median", "log_median_0_1",
                                        "log_median_x", "LOG_median_0", "log_median_nan",
                                        "origin_median_inf"]), hostile, st.integers()))
def test_normalize(df, param):
    check(tp.normalize, twin_preprocess.normalize, df, param)
@pytest.fixture(scope="module")
def data_files(tmp_path_factory):
    root = tmp_path_factory.mktemp("fuzz")
    df = pd.DataFrame({"INDEX": ["P1", "REV__P2", "P3", "P4"], "Protein IDs": ["a", "b", "c", "d"],
                       "s1": [1e4, 0.0, 3e5, 2.0], "s2": [2e4, 5e4, np.nan, 7e6],
                       "s3": [1, 2, 3, 4]})
    df.to_csv(root / "t.csv", index=False)
    df.to_csv(root / "t.tsv", sep="\t", index=False)
    df.to_excel(root / "t.xlsx", index=False)
    return [str(root / name) for name in ("t.csv", "t.tsv", "t.xlsx", "t.CSV", "t.txt", "none.csv")]


settings_values = st.one_of(step_settings, st.sampled_from(["REV__", "log_median_0", "50%"]))
settings_maps = st.one_of(
    st.dictionaries(st.sampled_from(["index", "remove_decoy", "noise_filter", "log_transform",
                                     "remove_missing_values", "normalize", "other", 3]),
                    st.one_of(settings_values, st.sampled_from(["INDEX", "Protein IDs", "s1", "zz"])),
                    max_size=5),
    st.sampled_from([None, [], "index", 5]), st.just(BadMapping()))


@fuzz
@given(which=st.integers(0, 5), param=settings_maps,
       odd_name=st.sampled_from([None, 5, b"t.csv", "", ".csv", "x.tsv"]), use_odd=st.booleans())
def test_import_and_preprocess(data_files, which, param, odd_name, use_odd):
    name = odd_name if use_odd else data_files[which]
    check(tp.import_data_by_file_name, twin_preprocess.import_data_by_file_name, name, param)
    check(tp.preprocess, twin_preprocess.preprocess, name, param)
METHODS = ["t", "Welch", "paired_t", "Wilcoxon", "Mannwhiteneyu", "log2fc", "fc", "plog2fc",
           "welch", "T", "mannwhitneyu", None, 3]
samples = st.one_of(
    st.lists(floats, max_size=7).map(lambda v: np.array(v, dtype=float)),
    st.lists(st.floats(-1e3, 1e3), min_size=2, max_size=7).map(np.array),
    st.lists(st.integers(-5, 5), max_size=6),
    st.lists(cells, max_size=4).map(lambda v: np.array(v, dtype=object)),
    st.lists(st.floats(0, 10), max_size=5).map(pd.Series),
    st.lists(st.floats(0, 10), max_size=5).map(lambda v: Fresh(lambda: iter(v))),
    st.sampled_from([None, "abc", 3.0, BadFloat(), np.zeros((2, 2))]),
)


@fuzz
@given(x=samples, y=samples, method=st.sampled_from(METHODS + [BadText()]),
       equal_var=st.sampled_from([True, False, None, 0, np.bool_(False), "yes", BadText()]),
       extra=st.dictionaries(st.sampled_from(["fold_change_method", "multipletest_method", "z"]),
                             st.integers(), max_size=2))
def test_hypothesis_test(x, y, method, equal_var, extra):
    check(ts.hypothesis_test, twin_vetting.hypothesis_test, x, y, method, equal_var, **extra)


@settings(fuzz, max_examples=max(EXAMPLES // 20, 3))
@given(x=samples, y=samples)
def test_hypothesis_test_permutation(x, y):
    check(ts.hypothesis_test, twin_vetting.hypothesis_test, x, y, "permutation")
def fresh_vettings(param):
    return tv.Vetting(materialize(param)), twin_vetting.Vetting(materialize(param))


def check_method(name, param, *args, **kwargs):
    compiled, twin = fresh_vettings(param)
    check(getattr(compiled, name), getattr(twin, name), *args, **kwargs)


@fuzz
@given(param=st.one_of(st.dictionaries(st.sampled_from(["out_dir", "x", 1]),
                                       st.sampled_from(["out/run1", "", None, 3, b"b"]), max_size=2),
                       st.sampled_from([None, [], "out_dir"]), st.just(BadMapping())),
       tag=st.one_of(st.sampled_from([None, 3, "PCA2D_a", BadText(), ()]), st.text(max_size=3)),
       name=st.sampled_from(["build_out_table_path", "buil_out_figure_path", "pca", "pca3d",
                             "detect_outlie", "detect_outlie3", "profiling", "noise_filter",
                             "count_features_per_sample", "plot_outlie"]))
def test_paths_and_entry_points(param, tag, name):
    check_method(name, param, tag)
    check_method("detect_outlie2", param, tag, tag)
    check_method("plot_counts", param, tag, name)


@fuzz
@given(df=st.one_of(frames(), numeric_frames),
       method=st.sampled_from(["med_norm", "mednorm", "other", None, BadText()]),
       cols=st.sampled_from([None, "absent", ["c0"], ["zz"], ["c0", "c0"], ("c0",), 5,
                             Fresh(lambda: iter(["c0"]))]),
       pass_cols=st.booleans())
def test_median_normalisation(df, method, cols, pass_cols):
    kwargs = {"cols": cols} if pass_cols else {}
    check_method("median_df", {}, df, **kwargs)
    check_method("med_norm", {}, df, **kwargs)
    check_method("normalization", {}, df, method, **kwargs)


@fuzz
@given(df=st.one_of(frames(), numeric_frames),
       names=st.sampled_from([["P1"], ["P1", "Q"], [], "P1", None, 3, {"P1"}, ("REV__P3", 0),
                              np.array(["P1"]), Fresh(lambda: iter(["P1"]))]),
       medians=st.one_of(st.lists(floats, max_size=6), st.sampled_from([None, 5, "abc", [BadFloat()] * 5]),
                         st.lists(st.floats(-5, 5), min_size=5, max_size=5).map(np.array)))
def test_forced_medians(df, names, medians):
    check_method("calc_medians", {}, df, names)
    check_method("force_norm_df", {}, df, medians)


class Entry(list):
    """A group entry that indexes differently from the list it holds."""

    def __getitem__(self, i):
        return list.__getitem__(self, -1 - i)


@st.composite
def groups_for(draw, df, count=None):
    """Groups of df's labels: usually well formed (the fast routes' input),
    otherwise of the wrong shape or holding the wrong things."""
    labels = list(df.columns)
    pick = st.lists(st.sampled_from(labels), min_size=1, max_size=5) if labels else st.just([])
    odd_labels = st.one_of(pick.map(tuple), pick.map(lambda v: v + ["zz"]), pick.map(np.array),
                           st.sampled_from(["c0", None, [["c0"]], []]),
                           pick.map(lambda v: Fresh(lambda: iter(v))))
    label_list = st.one_of(pick, pick, pick, odd_labels)
    entry = st.one_of(st.tuples(st.just("A"), label_list), st.tuples(st.just("A"), label_list),
                      st.tuples(st.just("A"), label_list).map(list),
                      st.tuples(label_list, st.just("A")).map(Entry),
                      label_list.map(lambda v: {1: v}), st.sampled_from(["ab", BadEntry(), None, ("A",)]))
    n = count if count is not None else draw(st.sampled_from([2, 2, 2, 2, 3, 1, 0]))
    entries = draw(st.lists(entry, min_size=n, max_size=n))
    shape = draw(st.sampled_from(["list", "list", "list", "tuple", "iter", "subclass"]))
    if shape == "subclass":
        return Entry(reversed(entries))
    if shape == "tuple":
        return tuple(entries)
    if shape == "iter":
        return Fresh(lambda: iter(materialize(entries)))
    return entries


class Labels(list):
    pass


@st.composite
def plain_groups(draw, df):
    """Two or three entries of existing labels, in the containers a caller
    may use: near what the fast routes take, and just outside it."""
    labels = list(df.columns)
    pick = st.lists(st.sampled_from(labels), min_size=1, max_size=6)
    container = st.sampled_from([list, list, list, tuple, np.array, Labels,
                                 lambda v: v + ["zz"], lambda v: v[:1]])
    def entry():
        kind = draw(st.sampled_from([tuple, tuple, list, Entry]))
        values = draw(container)(draw(pick))
        return Entry([values, "A"]) if kind is Entry else kind(("A", values))
    entries = [entry() for _ in range(draw(st.sampled_from([2, 2, 2, 3])))]
    return draw(st.sampled_from([list, list, tuple, Entry]))(entries)


@fuzz
@given(data=st.data(), df=frames(kinds=NUMERIC_KINDS, max_rows=8, clean=True),
       method=st.sampled_from(["t", "Welch", "paired_t", "Wilcoxon", "Mannwhiteneyu", "log2fc"]),
       kwargs=st.fixed_dictionaries({}, optional={
           "fold_change_method": st.sampled_from(["group", "paired"]),
           "multipletest_method": st.sampled_from(["fdr_bh", "bonferroni", "holm"]),
           "equal_var": st.sampled_from([True, False, 0, np.bool_(True)])}))
def test_two_samples_plain(data, df, method, kwargs):
    check_method("stat_test_two_samples", {}, df, data.draw(plain_groups(df)), method, **kwargs)


@fuzz
@given(data=st.data(), df=st.one_of(numeric_frames, numeric_frames, frames()),
       method=st.sampled_from(["t", "Welch", "paired_t"] * 3 + METHODS),
       kwargs=st.fixed_dictionaries({}, optional={
           "fold_change_method": st.sampled_from(["group", "paired", "other", None]),
           "multipletest_method": st.sampled_from(["fdr_bh", "bonferroni", "holm", "nope", 3]),
           "equal_var": st.sampled_from([True, False, None]),
           "method": st.just("t"), "x": st.just(1), "zz": st.just(0)}))
def test_two_samples(data, df, method, kwargs):
    groups = data.draw(groups_for(df))
    check_method("stat_test_two_samples", {}, df, groups, method, **kwargs)


@settings(fuzz, max_examples=max(EXAMPLES // 6, 5))
@given(data=st.data(), df=frames(kinds=NUMERIC_KINDS, max_rows=3))
def test_two_samples_permutation(data, df):
    groups = data.draw(groups_for(df, count=2))
    check_method("stat_test_two_samples", {}, df, groups, "permutation")


@fuzz
@given(data=st.data(), df=st.one_of(numeric_frames, frames()),
       kwargs=st.fixed_dictionaries({}, optional={
           "multipletest_method": st.sampled_from(["fdr_bh", "holm", "nope", 3]), "zz": st.just(0)}))
def test_oneway(data, df, kwargs):
    groups = data.draw(st.one_of(groups_for(df), plain_groups(df)) if len(df.columns) else groups_for(df))
    check_method("stat_test_oneway", {}, df, groups, **kwargs)


GROUP_NAMES = ["A", "B", "C", "A", "", None, 3, "ctrl"]


@st.composite
def differential_groups(draw, df):
    """Groups for the differential module: a mapping or pairs, usually of
    existing labels under distinct names, otherwise malformed."""
    labels = list(df.columns)
    pick = st.lists(st.sampled_from(labels), min_size=1, max_size=4) if labels else st.just([])
    label_list = st.one_of(pick, pick, pick, pick.map(tuple), pick.map(lambda v: v + ["zz"]),
                           st.sampled_from(["c0", None, 5, []]), pick.map(np.array))
    n = draw(st.sampled_from([2, 2, 2, 3, 3, 1, 0, 4]))
    distinct = draw(st.booleans()) or draw(st.booleans())
    names = [f"G{i}" for i in range(n)] if distinct else draw(
        st.lists(st.sampled_from(GROUP_NAMES), min_size=n, max_size=n))
    entries = [(name, draw(label_list)) for name in names]
    shape = draw(st.sampled_from(["dict", "dict", "list", "tuple", "odd", "iter", "text"]))
    if shape == "dict":
        try:
            return dict(entries)
        except TypeError:  # an unhashable name
            return entries
    if shape == "odd":
        return entries + [draw(st.sampled_from(["ab", ("A",), ("A", ["c0"], 1), BadEntry(), 5]))]
    if shape == "iter":
        return Fresh(lambda: iter(materialize(entries)))
    if shape == "text":
        return draw(st.sampled_from(["AB", b"AB", 5, None]))
    return entries if shape == "list" else tuple(entries)


@st.composite
def split_groups(draw, df, sizes=(2, 2, 2, 3, 4)):
    """Disjoint groups covering some of df's columns, under distinct names."""
    labels = list(dict.fromkeys(df.columns))
    n = min(draw(st.sampled_from(sizes)), len(labels))
    if n == 0:
        return {}
    order = draw(st.permutations(labels))
    cuts = sorted(draw(st.lists(st.integers(1, len(labels)), min_size=n - 1, max_size=n - 1,
                                unique=True).filter(lambda c: len(labels) not in c)) + [len(labels)])
    starts = [0] + cuts[:-1]
    pairs = [(f"G{i}", list(order[a:b])) for i, (a, b) in enumerate(zip(starts, cuts)) if b > a]
    return dict(pairs) if draw(st.booleans()) else pairs


measured_frames = frames(kinds=NUMERIC_KINDS * 3 + ["Int64", "Float64", "float32"], max_rows=14,
                         max_cols=9, clean=True)
table_and_groups = st.one_of(
    st.one_of(frames(), numeric_frames).flatmap(lambda df: st.tuples(st.just(df), differential_groups(df))),
    measured_frames.flatmap(lambda df: st.tuples(st.just(df), split_groups(df))),
    measured_frames.flatmap(lambda df: st.tuples(st.just(df), split_groups(df))))

counts = st.one_of(st.sampled_from([0, 1, 2, 3, 5, -1, 2.0, True, None, "2", np.int64(2), 2**70]),
                   hostile)


@fuzz
@given(table=table_and_groups, min_valid=counts,
       mode=st.sampled_from(["each", "any", "all", "every", None, BadText()]))
def test_count_and_filter_valid(table, min_valid, mode):
    df, groups = table
    check(td.count_valid, twin_differential.count_valid, df, groups)
    check(td.filter_valid, twin_differential.filter_valid, df, groups, min_valid, mode=mode)


@fuzz
@given(table=table_and_groups,
       method=st.sampled_from(["t", "Welch", "mannwhitneyu", "mannwhitneyu", "anova", "anova",
                               "paired_t", "Wilcoxon", "limma", "welch", None, BadText()]),
       kwargs=st.fixed_dictionaries({}, optional={
           "min_valid": counts,
           "multipletest_method": st.sampled_from(["fdr_bh", "bonferroni", "holm", "BH", "fdr_i",
                                                   "nope", 3, None]),
           "trend": st.sampled_from([False, True, 0, None, np.bool_(True)]),
           "legacy": st.sampled_from([False, 1])}))
def test_test_features(table, method, kwargs):
    df, groups = table
    if isinstance(method, str) and method != "anova" and isinstance(groups, dict) and len(groups) > 2:
        groups = dict(list(groups.items())[:2])
    check(td.test_features, twin_differential.test_features, df, groups, method, **kwargs)


@fuzz
@given(table=table_and_groups,
       kwargs=st.fixed_dictionaries({}, optional={
           "min_valid": counts,
           "multipletest_method": st.sampled_from(["fdr_bh", "holm", "nope", None]),
           "trend": st.booleans(), "robust": st.booleans(),
           "legacy": st.sampled_from([False, True, None, 1])}))
def test_moderated_tests(table, kwargs):
    """The moderated tests have no twin here (test_moderated.py compares them
    with limma): they return a table whose p-values are probabilities and
    whose notes say which are missing, or refuse with ValueError or TypeError
    (or let the exception of a hostile argument through)."""
    df, groups = table
    result, printed, after = run(td.test_features, (df, groups, "moderated"), kwargs)
    assert not printed
    pd.testing.assert_frame_equal(after[0], df, check_exact=True)
    if isinstance(result, BaseException):
        assert isinstance(result, (ValueError, TypeError, Boom)), repr(result)
        return
    p = result.iloc[:, len(df.columns) + 1].to_numpy()  # the labels may be tuples
    notes = result.iloc[:, -1].to_numpy()
    assert ((p >= 0) & (p <= 1) | np.isnan(p)).all()
    assert ((notes == "") == ~np.isnan(p)).all()
    assert set(result.attrs["moderated"]) == {"s2_prior", "df_prior", "estimate"}


@fuzz
@given(data=st.data(), df=st.one_of(frames(), numeric_frames, measured_frames, measured_frames),
       method=st.sampled_from(["downshift", "downshift", "mindet", "knn", None]),
       kwargs=st.fixed_dictionaries({}, optional={
           "shift": st.one_of(st.sampled_from([0, -1.5, math.nan, math.inf, "1", True]), hostile),
           "width": st.sampled_from([0.3, 1, 0, -0.1, math.inf, math.nan, None]),
           "quantile": st.sampled_from([0.01, 0.5, 0, 1, 1.5, math.nan, np.float32(0.2)]),
           "seed": st.sampled_from([0, 7, None, -1, "x", 2**70, np.int64(3)])}))
def test_impute(data, df, method, kwargs):
    labels = list(df.columns)
    columns = data.draw(st.one_of(
        st.lists(st.sampled_from(labels), max_size=4) if labels else st.just([]),
        st.sampled_from(["c0", None, 5, ["zz"]])))
    if kwargs.get("seed", 0) is None:
        kwargs["seed"] = 0  # fresh entropy would make the two routes differ
    check(td.impute, twin_differential.impute, df, columns, method, **kwargs)
