"""Behaviour of tessera.tools.vetting.Vetting: output paths, median
normalisation, the per-feature two-group and one-way tests with their
multiple-testing adjustment, the figure and table entry points, and argument
binding. Every behaviour test runs against the plain-Python twin and against
the compiled module (skipped while it is not built)."""
import importlib
import re

import numpy as np
import pandas as pd
import pytest
from scipy import stats
from statsmodels.stats.multitest import multipletests

from conftest import Recorder, message_of

NAN = np.nan


@pytest.fixture(params=["twin_vetting", "tessera.tools.vetting"], ids=["twin", "compiled"])
def vetting_module(request):
    if request.param == "twin_vetting":
        return importlib.import_module("twin_vetting")
    return pytest.importorskip("tessera.tools.vetting")


@pytest.fixture
def compiled_vetting():
    """The compiled module alone: plain Python functions word binding errors differently."""
    return pytest.importorskip("tessera.tools.vetting")


@pytest.fixture
def vetting(vetting_module):
    return vetting_module.Vetting({"out_dir": "out/run1"})
@pytest.mark.parametrize("out_dir, tag, table, figure", [
    ("out/run1", "PCA2D_a", "out/run1_PCA2D_a.csv", "out/run1_PCA2D_a.png"),
    ("out/run1", None, "out/run1_None.csv", "out/run1_None.png"),
    ("out/run1", 3, "out/run1_3.csv", "out/run1_3.png"),
    ("results/", "x", "results/_x.csv", "results/_x.png"),  # a prefix, not a directory
])
def test_output_paths(vetting_module, out_dir, tag, table, figure):
    vetting = vetting_module.Vetting({"out_dir": out_dir})
    assert vetting.build_out_table_path(tag) == table
    assert vetting.buil_out_figure_path(tag) == figure


@pytest.mark.parametrize("builder", ["build_out_table_path", "buil_out_figure_path"])
@pytest.mark.parametrize("param, exc, msg", [
    ({}, TypeError, None),  # no "out_dir": None + str
    (None, AttributeError, "'NoneType' object has no attribute 'get'"),
    (["out_dir"], AttributeError, "'list' object has no attribute 'get'"),
])
def test_output_path_bad_param_fails_at_first_path(vetting_module, builder, param, exc, msg):
    vetting = vetting_module.Vetting(param)  # the constructor checks nothing
    with pytest.raises(exc, match=None if msg is None else re.escape(msg)):
        getattr(vetting, builder)("a")


def test_param_held_by_reference_and_read_at_each_call(vetting_module, tmp_path):
    param = {"out_dir": str(tmp_path / "first")}
    vetting = vetting_module.Vetting(param)
    assert vetting.param is param
    assert vetting.build_out_table_path("t") == str(tmp_path / "first") + "_t.csv"
    param["out_dir"] = str(tmp_path / "second")
    assert vetting.buil_out_figure_path("t") == str(tmp_path / "second") + "_t.png"
    assert list(tmp_path.iterdir()) == []  # naming a file creates nothing
def small_table():
    return pd.DataFrame({"A": [1, 2, 3], "B": [2, 4, NAN]}, index=["p1", "p2", "p3"])


CENTRED = pd.DataFrame({"A": [-1.0, 0.0, 1.0], "B": [-1.0, 1.0, NAN]}, index=["p1", "p2", "p3"])


@pytest.mark.parametrize("df, kwargs, expected", [
    (small_table(), {}, [2.0, 3.0]),
    (small_table(), {"cols": ["B", "A"]}, [3.0, 2.0]),
    (small_table(), {"cols": ["A"], "other": 1}, [2.0]),
    (pd.DataFrame({"A": [4.0, 1.0, 3.0, 2.0]}), {}, [2.5]),
    (pd.DataFrame({"A": [NAN, NAN], "B": [1.0, NAN]}), {}, [NAN, 1.0]),
    (pd.DataFrame({"A": ["1.5", "2.5", "4"]}, dtype=object), {}, [2.5]),  # numeric text converts
    (pd.DataFrame(index=["p1", "p2"]), {}, []),
])
def test_median_df(vetting, df, kwargs, expected):
    result = vetting.median_df(df, **kwargs)
    assert type(result) is list
    np.testing.assert_array_equal(np.array(result), np.array(expected, dtype=float))


@pytest.mark.parametrize("call", [
    lambda v, df: v.med_norm(df),
    lambda v, df: v.med_norm(df, cols=["A"]),  # "cols" does not limit the columns centred
    lambda v, df: v.normalization(df),
    lambda v, df: v.normalization(df, "mednorm"),
    lambda v, df: v.normalization(df, method="med_norm", cols=["B"]),
])
def test_median_centring(vetting, call):
    df = small_table()
    result = call(vetting, df)
    pd.testing.assert_frame_equal(result, CENTRED)
    pd.testing.assert_frame_equal(df, small_table())


@pytest.mark.parametrize("method", ["quantile", "Med_norm", None])
def test_normalization_unknown_method_gives_none(vetting, method):
    assert vetting.normalization(small_table(), method) is None


@pytest.mark.parametrize("df, expected", [
    # the text "None" is missing and does not count towards the median
    (pd.DataFrame({"A": [1.0, "None", 3.0, 5.0]}, dtype=object), {"A": [-2.0, NAN, 0.0, 2.0]}),
    (pd.DataFrame({"A": [NAN, NAN], "B": [1, 3]}), {"A": [NAN, NAN], "B": [-1.0, 1.0]}),
    (pd.DataFrame(index=[0, 1]), {}),
])
def test_med_norm_missing_values_dtypes_and_empty_table(vetting, df, expected):
    before = df.copy()
    result = vetting.med_norm(df)
    pd.testing.assert_frame_equal(result, pd.DataFrame(expected, index=df.index))
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("df, names, expected", [
    (small_table(), ["p1", "p3"], [2.0, 2.0]),
    (small_table(), {"p2"}, [2.0, 4.0]),
    (small_table(), pd.Index(["p3", "zz"]), [3.0, NAN]),  # unknown labels are ignored
    (small_table(), ["zz"], [NAN, NAN]),
    # every row under a repeated label is selected
    (pd.DataFrame({"A": [1.0, 5.0, 6.0]}, index=["p1", "p1", "p2"]), ["p1"], [3.0]),
    (pd.DataFrame(index=["p1"]), ["p1"], []),
])
def test_calc_medians(vetting, df, names, expected):
    result = vetting.calc_medians(df, names)
    assert type(result) is list
    np.testing.assert_array_equal(np.array(result), np.array(expected))


@pytest.mark.parametrize("df, medians, expected", [
    (pd.DataFrame({"A": [1, 2, 3]}), [10], pd.DataFrame({"A": [9.0, 10.0, 11.0]})),
    (pd.DataFrame({"A": [1, 2, 3]}), (10, 99), pd.DataFrame({"A": [9.0, 10.0, 11.0]})),
    (small_table(), np.zeros(2), CENTRED),  # targets 0: centring on the NaN-ignoring median
    (pd.DataFrame({"A": [NAN, NAN], "B": [1.0, 2.0]}), [5, 0],
     pd.DataFrame({"A": [NAN, NAN], "B": [-0.5, 0.5]})),
    (pd.DataFrame(index=["p1"]), [], pd.DataFrame(index=["p1"])),
])
def test_force_norm_df(vetting, df, medians, expected):
    before = df.copy()
    result = vetting.force_norm_df(df, medians)
    pd.testing.assert_frame_equal(result, expected)
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("call, exc, msg", [
    (lambda v: v.median_df(small_table(), cols=["A", "C"]), KeyError, "C"),
    (lambda v: v.median_df(small_table(), cols=None), TypeError, None),
    (lambda v: v.median_df(pd.DataFrame({"A": [1.0, "None"]}, dtype=object)),
     ValueError, "could not convert string to float: 'None'"),
    (lambda v: v.med_norm(pd.DataFrame({"A": [1.0, "n/a"]}, dtype=object)),
     ValueError, "could not convert string to float: 'n/a'"),
    (lambda v: v.med_norm(pd.DataFrame({"A": [1.0, None, 3.0]}, dtype=object)),
     TypeError, "float() argument must be a string or a real number, not 'NoneType'"),
    (lambda v: v.calc_medians(small_table(), "p1"), TypeError, None),
    (lambda v: v.force_norm_df(small_table(), [0.0]), IndexError, None),
])
def test_normalisation_failures(vetting, call, exc, msg):
    with pytest.raises(exc, match=None if msg is None else re.escape(msg)):
        call(vetting)


class FailingOnceMath:
    """A `math` whose first isnan call fails, as a failed value collection would."""

    def __init__(self):
        self.failed = False

    def isnan(self, value):
        if not self.failed:
            self.failed = True
            raise MemoryError("collection failed")
        return np.isnan(value)


def test_median_df_guard_prints_dump_then_reraises(vetting_module, vetting, monkeypatch, capsys):
    monkeypatch.setattr(vetting_module, "math", FailingOnceMath())
    with pytest.raises(MemoryError, match="collection failed"):
        vetting.median_df(pd.DataFrame({"A": [1.5, NAN]}))
    assert capsys.readouterr().out == (
        "1.5\n<class 'numpy.float64'>\n1.5\nnan\n<class 'numpy.float64'>\n")
A, B = ["a1", "a2", "a3", "a4"], ["b1", "b2", "b3", "b4"]
GROUPS = [("ctrl", A), ("treat", B)]
THREE = [("a", ["a1", "a2", "a3"]), ("b", ["b1", "b2", "b3"]), ("c", ["a4", "b4", "other"])]


def feature_table(seed=0, n=6):
    rng = np.random.default_rng(seed)
    values = rng.normal(20, 2, (n, 9))
    return pd.DataFrame(values, columns=A + ["other"] + B, index=[f"P{i}" for i in range(n)])


def with_columns(df, **columns):
    result = df.copy()
    for name, values in columns.items():
        result[name] = values
    return result


@pytest.mark.parametrize("method, kwargs, new", [
    ("t", {}, ["t_stat", "t_p", "t_fdr_bh", "group_fc"]),
    ("Welch", {}, ["Welch_stat", "Welch_p", "Welch_fdr_bh", "group_fc"]),
    ("Welch", {"fold_change_method": "paired"},
     ["Welch_stat", "Welch_p", "Welch_fdr_bh", "paired_fc"]),
    ("t", {"multipletest_method": "bonferroni", "unread": 1},
     ["t_stat", "t_p", "t_bonferroni", "group_fc"]),
])
def test_two_samples_column_names(vetting, method, kwargs, new):
    result = vetting.stat_test_two_samples(feature_table(), GROUPS, method, **kwargs)
    assert list(result.columns) == A + ["other"] + B + new


def scipy_rows(df, test):
    out = [test(df.loc[label, A].to_numpy(float), df.loc[label, B].to_numpy(float))
           for label in df.index]
    return [r[0] for r in out], [r[1] for r in out]


@pytest.mark.parametrize("method, kwargs, test", [
    ("t", {}, lambda x, y: stats.ttest_ind(x, y, equal_var=True)),
    ("t", {"equal_var": False}, lambda x, y: stats.ttest_ind(x, y, equal_var=False)),
    ("Welch", {"equal_var": True}, lambda x, y: stats.ttest_ind(x, y, equal_var=False)),
    ("paired_t", {}, lambda x, y: stats.ttest_1samp(x - y, 0)),
    ("Wilcoxon", {}, stats.wilcoxon),
    ("Mannwhiteneyu", {}, stats.mannwhitneyu),
])
def test_two_samples_values_equal_per_row_library_calls(vetting, method, kwargs, test):
    df = feature_table()
    result = vetting.stat_test_two_samples(df, GROUPS, method, **kwargs)
    stat, p = scipy_rows(df, test)
    expected = with_columns(df, **{
        method + "_stat": stat, method + "_p": p,
        method + "_fdr_bh": multipletests(np.array(p), method="fdr_bh")[1],
        "group_fc": df[A].mean(axis=1) - df[B].mean(axis=1)})
    pd.testing.assert_frame_equal(result, expected, check_exact=True)


def test_two_samples_carries_mixed_columns(vetting):
    df = pd.DataFrame({"gene": ["G1", "G2", "G3"], "a1": [1.0, 2.0, 3.0], "a2": [2.0, 3.0, 5.0],
                       "b1": [1, 1, 2], "b2": [0.5, 1.0, 1.5]},
                      index=pd.Index(["p1", "p2", "p3"], name="id"))
    groups = [("A", ["a1", "a2"]), ("B", ["b1", "b2"])]
    result = vetting.stat_test_two_samples(df, groups, "t")
    stat, p = stats.ttest_ind(df[["a1", "a2"]].to_numpy(float), df[["b1", "b2"]].to_numpy(float),
                              axis=1)
    expected = with_columns(df.rename_axis(None), t_stat=stat, t_p=p,
                            t_fdr_bh=multipletests(p, method="fdr_bh")[1],
                            group_fc=[0.75, 1.5, 2.25])
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("fc_method, expected", [("group", [2.0, 2.0]), ("paired", [2.0, NAN])])
def test_two_samples_fold_change(vetting, fc_method, expected):
    df = pd.DataFrame({"a1": [2.0, 2.0], "a2": [3.0, NAN], "a3": [4.0, 4.0],
                       "b1": [1.0, 1.0], "b2": [1.0, 1.0], "b3": [1.0, 1.0]}, index=["r1", "r2"])
    groups = [("A", ["a1", "a2", "a3"]), ("B", ["b1", "b2", "b3"])]
    result = vetting.stat_test_two_samples(df, groups, "t", fold_change_method=fc_method)
    expected = pd.Series(expected, index=["r1", "r2"], name=fc_method + "_fc")
    pd.testing.assert_series_equal(result[fc_method + "_fc"], expected)


def test_two_samples_paired_pairs_by_position(vetting):
    df = feature_table()
    short = [("A", ["a1", "a2"]), ("B", ["b1"])]
    with pytest.raises(IndexError):
        vetting.stat_test_two_samples(df, short, "Welch", fold_change_method="paired")
    longer = [("A", ["a1", "a2"]), ("B", ["b1", "b2", "b3"])]  # b3 takes part in the test only
    result = vetting.stat_test_two_samples(df, longer, "Welch", fold_change_method="paired")
    expected = pd.Series(((df.a1 - df.b1) + (df.a2 - df.b2)) / 2, name="paired_fc")
    pd.testing.assert_series_equal(result["paired_fc"], expected)


def test_two_samples_reads_element_one_of_the_first_two_groups(vetting):
    df = feature_table()
    expected = vetting.stat_test_two_samples(df, GROUPS, "t")
    groups = ((None, A, "x"), ["y", B], ("third", ["other"]))
    result = vetting.stat_test_two_samples(df, groups, "t")
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("method", ["log2fc", "fc", "plog2fc"])
def test_two_samples_fold_change_method_as_test(vetting, method):
    df = feature_table()
    result = vetting.stat_test_two_samples(df, GROUPS, method)
    x, y = df[A].to_numpy(), df[B].to_numpy()
    stat = x.mean(axis=1) / y.mean(axis=1) if method == "fc" else (x - y).mean(axis=1)
    np.testing.assert_allclose(result[method + "_stat"], stat, rtol=1e-12)
    assert result[method + "_p"].isna().all() and result[method + "_fdr_bh"].isna().all()


def test_two_samples_permutation_nan_statistic_skips_permutations(vetting):
    # a NaN value, and two equal constant groups, leave the t statistic undefined
    df = pd.DataFrame({"a1": [NAN, 1.0], "a2": [2.0, 1.0], "b1": [1.0, 1.0], "b2": [3.0, 1.0]},
                      index=["r1", "r2"])
    groups = [("A", ["a1", "a2"]), ("B", ["b1", "b2"])]
    result = vetting.stat_test_two_samples(df, groups, "permutation")
    expected = with_columns(df, permutation_stat=[NAN, NAN], permutation_p=[NAN, NAN],
                            permutation_fdr_bh=[NAN, NAN], group_fc=[0.0, 0.0])
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("multipletest_method", ["fdr_bh", "bonferroni", "holm", "fdr_by"])
def test_adjustment_skips_missing_p_values(vetting, multipletest_method):
    df = feature_table()
    df.loc["P2", "a1"] = NAN  # this feature's t-test gives a NaN p-value
    result = vetting.stat_test_two_samples(df, GROUPS, "t", multipletest_method=multipletest_method)
    p = result["t_p"].to_numpy()
    assert np.isnan(p).tolist() == [False, False, True, False, False, False]
    expected = np.full(6, NAN)
    expected[~np.isnan(p)] = multipletests(p[~np.isnan(p)], method=multipletest_method)[1]
    np.testing.assert_array_equal(result["t_" + multipletest_method].to_numpy(), expected)


@pytest.mark.parametrize("missing_rows", [[], ["P1"], ["P0", "P1", "P2"]])
def test_unknown_multipletest_method_raises_library_error(vetting, missing_rows):
    df = feature_table(n=3)
    df.loc[missing_rows, "a1"] = NAN
    msg = message_of(multipletests, np.array([0.5]), method="no_such")
    with pytest.raises(ValueError, match=re.escape(msg)):
        vetting.stat_test_two_samples(df, GROUPS, "t", multipletest_method="no_such")


@pytest.mark.parametrize("method, kwargs, exc, msg, tests_run", [
    # no branch for "welch": unpacking None fails at the first row
    ("welch", {}, TypeError, None, 1),
    # no fold change to store: fails only after every row was tested
    ("t", {"fold_change_method": "ratio"}, ValueError,
     "Length of values (0) does not match length of index (6)", 6),
])
def test_two_samples_unknown_option(vetting_module, vetting, monkeypatch,
                                    method, kwargs, exc, msg, tests_run):
    recorder = Recorder(vetting_module.hypothesis_test)
    monkeypatch.setattr(vetting_module, "hypothesis_test", recorder)
    with pytest.raises(exc, match=None if msg is None else re.escape(msg)):
        vetting.stat_test_two_samples(feature_table(), GROUPS, method, **kwargs)
    assert len(recorder.calls) == tests_run


@pytest.mark.parametrize("call, label", [
    (lambda v, df: v.stat_test_two_samples(df, GROUPS, "t"), "t_p"),
    (lambda v, df: v.stat_test_two_samples(df, GROUPS, "Welch"), "Welch_p"),
    (lambda v, df: v.stat_test_oneway(df, THREE), "oneway_p"),
])
def test_per_feature_tests_without_rows(vetting, call, label):
    with pytest.raises(KeyError, match=re.escape(label)):
        call(vetting, feature_table().iloc[:0])


@pytest.mark.parametrize("groups, exc", [
    ([("ctrl", A)], IndexError),
    ([("ctrl", A), ("treat", ["b1", "zz"])], KeyError),
])
def test_two_samples_bad_groups(vetting, groups, exc):
    with pytest.raises(exc):
        vetting.stat_test_two_samples(feature_table(), groups, "t")


def test_two_samples_honours_replaced_module_names(vetting_module, vetting, monkeypatch):
    kernel = Recorder(lambda x, y, method, **kw: (float(x.sum() - y.sum()), 0.25))
    adjust = Recorder(lambda p, method: (None, p / 2, None, None))
    monkeypatch.setattr(vetting_module, "hypothesis_test", kernel)
    monkeypatch.setattr(vetting_module, "multipletests", adjust)
    df = feature_table(n=3)
    kwargs = {"equal_var": False, "multipletest_method": "holm", "extra": 1}
    result = vetting.stat_test_two_samples(df, GROUPS, "t", **kwargs)
    assert [(len(a), k) for a, k in kernel.calls] == [(3, kwargs)] * 3
    assert [a[2] for a, k in kernel.calls] == ["t"] * 3
    [(args, kw)] = adjust.calls
    np.testing.assert_array_equal(args[0], [0.25] * 3)
    assert kw == {"method": "holm"}
    expected = with_columns(df, t_stat=(df[A].sum(axis=1) - df[B].sum(axis=1)).tolist(),
                            t_p=0.25, t_holm=0.125,
                            group_fc=df[A].mean(axis=1) - df[B].mean(axis=1))
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("kind", ["plain", "previous_result", "int_and_text"])
@pytest.mark.parametrize("test", ["two_samples", "oneway"])
def test_input_table_is_never_written(vetting, kind, test):
    df = feature_table()
    if kind == "previous_result":
        df = vetting.stat_test_two_samples(df, GROUPS, "t")
        df = vetting.stat_test_oneway(df, GROUPS)
    elif kind == "int_and_text":
        df = df.round().astype({"a1": "int64", "b1": "int64"})
        df.insert(0, "gene", [f"G{i}" for i in range(len(df))])
    before = df.copy(deep=True)
    if test == "two_samples":
        result = vetting.stat_test_two_samples(df, GROUPS, "t")
    else:
        result = vetting.stat_test_oneway(df, GROUPS)
    pd.testing.assert_frame_equal(df, before)
    assert list(result.columns[:len(df.columns)]) == list(df.columns)
@pytest.mark.parametrize("kwargs, adjusted", [
    ({}, "oneway_fdr_bh"), ({"multipletest_method": "sidak", "unread": 2}, "oneway_sidak")])
def test_oneway_values_equal_per_row_library_calls(vetting, kwargs, adjusted):
    df = feature_table()
    result = vetting.stat_test_oneway(df, THREE, **kwargs)
    out = [stats.f_oneway(*(df.loc[label, g[1]].to_numpy(float) for g in THREE))
           for label in df.index]
    p = np.array([r[1] for r in out])
    expected = with_columns(df, oneway_stat=[r[0] for r in out], oneway_p=p,
                            **{adjusted: multipletests(p, method=adjusted[7:])[1]})
    pd.testing.assert_frame_equal(result, expected, check_exact=True)


def test_oneway_adjustment_skips_missing_p_values(vetting):
    df = feature_table()
    df.loc[["P0", "P4"], "b2"] = NAN
    result = vetting.stat_test_oneway(df, THREE)
    p = result["oneway_p"].to_numpy()
    assert np.isnan(p).tolist() == [True, False, False, False, True, False]
    expected = np.full(6, NAN)
    expected[~np.isnan(p)] = multipletests(p[~np.isnan(p)], method="fdr_bh")[1]
    np.testing.assert_array_equal(result["oneway_fdr_bh"].to_numpy(), expected)


def test_oneway_one_shot_groups_fail_on_second_feature(vetting):
    msg = message_of(stats.f_oneway)
    with pytest.raises(TypeError, match=re.escape(msg)):
        vetting.stat_test_oneway(feature_table(), iter(THREE))


def test_oneway_honours_replaced_f_oneway(vetting_module, vetting, monkeypatch):
    recorder = Recorder(lambda *arrays: (float(len(arrays)), 0.5))
    monkeypatch.setattr(vetting_module, "f_oneway", recorder)
    result = vetting.stat_test_oneway(feature_table(n=2), THREE, multipletest_method="bonferroni")
    assert [len(args) for args, kwargs in recorder.calls] == [3, 3]
    result = result[["oneway_stat", "oneway_p", "oneway_bonferroni"]].to_numpy().tolist()
    assert result == [[3.0, 0.5, 1.0]] * 2
PLACEHOLDERS = [("pca", 1), ("pca3d", 1), ("detect_outlie", 1), ("detect_outlie2", 2),
                ("detect_outlie3", 1), ("profiling", 1), ("noise_filter", 1)]
NOOPS = [("count_features_per_sample", 1), ("plot_counts", 2),
         ("plot_normaliztion_result", 2), ("plot_outlie", 1)]


@pytest.mark.parametrize("name, nargs", PLACEHOLDERS)
@pytest.mark.parametrize("data", [None, feature_table()])
def test_placeholder_builds_figure_then_table_record(vetting_module, vetting, monkeypatch,
                                                    name, nargs, data):
    recorder = Recorder()
    monkeypatch.setattr(vetting_module, "Result", recorder)
    assert getattr(vetting, name)(*[data] * nargs) is None
    assert [args for args, kwargs in recorder.calls] == [(), ()]
    [(_, figure), (_, table)] = recorder.calls
    assert list(figure) == list(table) == ["type", "content"]
    assert figure == {"type": "figure", "content": None}
    assert table["type"] == "table"
    pd.testing.assert_frame_equal(table["content"], pd.DataFrame())


@pytest.mark.parametrize("name, nargs", NOOPS)
def test_noop_never_builds_records(vetting_module, vetting, monkeypatch, name, nargs):
    recorder = Recorder()
    monkeypatch.setattr(vetting_module, "Result", recorder)
    assert getattr(vetting, name)(*[None] * nargs) is None
    assert recorder.calls == []


@pytest.mark.parametrize("name, nargs", PLACEHOLDERS)
def test_failing_figure_record_stops_placeholder(vetting_module, vetting, monkeypatch, name, nargs):
    def fail_on_figure(**kwargs):
        calls.append(kwargs["type"])
        raise RuntimeError("no figures here")
    calls = []
    monkeypatch.setattr(vetting_module, "Result", fail_on_figure)
    with pytest.raises(RuntimeError, match="no figures here"):
        getattr(vetting, name)(*[None] * nargs)
    assert calls == ["figure"]


def test_entry_points_write_nothing(vetting_module, tmp_path):
    vetting = vetting_module.Vetting({"out_dir": str(tmp_path / "run1")})
    for name, nargs in PLACEHOLDERS + NOOPS:
        assert getattr(vetting, name)(*[feature_table()] * nargs) is None
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("call", [
    lambda v: v.detect_outlie2(None),
    lambda v: v.pca(),
    lambda v: v.plot_counts(1, 2, 3),
    lambda v: v.stat_test_two_samples(feature_table(), GROUPS),
])
def test_wrong_argument_count_raises_type_error(vetting, call):
    with pytest.raises(TypeError):
        call(vetting)
@pytest.mark.parametrize("call, msg", [
    (lambda v: v.detect_outlie2(1),
     "detect_outlie2() takes exactly 3 positional arguments (2 given)"),
    (lambda v: v.pca(), "pca() takes exactly 2 positional arguments (1 given)"),
    (lambda v: v.pca(1, 2), "pca() takes exactly 2 positional arguments (3 given)"),
    (lambda v: v.stat_test_two_samples(1, 2),
     "stat_test_two_samples() takes exactly 4 positional arguments (3 given)"),
    (lambda v: v.stat_test_oneway(1),
     "stat_test_oneway() takes exactly 3 positional arguments (2 given)"),
    (lambda v: v.normalization(),
     "normalization() takes at least 2 positional arguments (1 given)"),
    (lambda v: v.normalization(1, 2, 3),
     "normalization() takes at most 3 positional arguments (4 given)"),
    (lambda v: v.median_df(1, df=2), "median_df() got multiple values for keyword argument 'df'"),
    (lambda v: v.build_out_table_path(tag=1, other=2),
     "build_out_table_path() got an unexpected keyword argument 'other'"),
    # called through the class: a bound method's own call unpacks a keyword
    # dict itself and rejects non-string keys before the method sees them
    (lambda v: type(v).pca(v, 1, **{1: 2}), "pca() keywords must be strings"),
])
def test_binding_messages(compiled_vetting, call, msg):
    vetting = compiled_vetting.Vetting({"out_dir": "out/run1"})
    with pytest.raises(TypeError, match=re.escape(msg)):
        call(vetting)
