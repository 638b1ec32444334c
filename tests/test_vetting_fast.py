"""The fast routes of Vetting against its reference routes, on many random
tables: the compiled module with genuine names (fast route), the compiled
module with a wrapped name (its reference route) and the Python twin must give
identical frames."""
import warnings

import numpy as np
import pandas as pd
import pytest

import twin_vetting
from conftest import assert_same, outcome
from tables import CallCounter
from tessera.tools import vetting as tv

TEST_METHODS = ["t", "Welch", "paired_t", "Wilcoxon", "Mannwhiteneyu"]


def random_table(seed):
    rng = np.random.default_rng(seed)
    n_rows = int(rng.integers(1, 80))
    sizes = [int(rng.choice([2, 3, 4, 5, 6, 9, 12])) for _ in range(3)]
    data, groups = {}, []
    for g, size in enumerate(sizes):
        labels = [f"g{g}_{i}" for i in range(size)]
        shift = rng.normal(0, 1, n_rows)[:, None]
        values = rng.normal(24.0, 2.0, (n_rows, size)) + shift
        if rng.random() < 0.3:
            values = np.round(values)          # ties
        values[rng.random(values.shape) < rng.choice([0.0, 0.05, 0.3])] = np.nan
        if n_rows > 2 and rng.random() < 0.3:
            values[0] = 7.0                    # a constant row
        for label, column in zip(labels, values.T):
            data[label] = column
        groups.append((f"group{g}", labels))
    df = pd.DataFrame(data, index=[f"P{i:04d}" for i in range(n_rows)])
    if rng.random() < 0.15:
        first = groups[0][1][0]
        df[first] = rng.integers(0, 10**6, n_rows)   # an int64 column
    if rng.random() < 0.1:
        df["extra"] = rng.normal(size=n_rows)        # a column in no group
    return rng, df, groups


def reference_module(monkeypatch):
    """Wraps the test functions so the compiled module takes its reference route."""
    real_test, real_oneway = tv.hypothesis_test, tv.f_oneway
    monkeypatch.setattr(tv, "hypothesis_test", lambda *a, **k: real_test(*a, **k))
    monkeypatch.setattr(tv, "f_oneway", lambda *a, **k: real_oneway(*a, **k))


@pytest.mark.parametrize("seed", range(150))
def test_two_sample_tests_match_per_row_route(seed, monkeypatch):
    rng, df, groups = random_table(seed)
    method = TEST_METHODS[seed % len(TEST_METHODS)]
    kwargs = {}
    if seed % 3 == 0:
        kwargs["fold_change_method"] = "paired"
    if seed % 4 == 0:
        kwargs["multipletest_method"] = ["bonferroni", "holm", "fdr_by"][seed % 3]
    if method == "t" and seed % 2:
        kwargs["equal_var"] = False
    before = df.copy()
    fast = outcome(lambda: tv.Vetting({}).stat_test_two_samples(df, groups, method, **kwargs))
    twin = outcome(lambda: twin_vetting.Vetting({}).stat_test_two_samples(df, groups, method, **kwargs))
    reference_module(monkeypatch)
    slow = outcome(lambda: tv.Vetting({}).stat_test_two_samples(df, groups, method, **kwargs))
    assert_same(fast, slow)
    assert_same(fast, twin)
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("method, sizes", [("Welch", (5, 6)), ("Welch", (12, 9)),
                                           ("t", (4, 4)), ("paired_t", (6, 6))])
def test_t_tests_match_library_on_thousands_of_rows(method, sizes):
    """Welch's degrees of freedom square with the C library's pow on one row
    and with a multiplication in numpy's batched arithmetic; the two differ in
    the last place on about one row in a thousand."""
    rng = np.random.default_rng(sum(sizes))
    n = 3000
    values = rng.normal(24.0, 2.0, (n, sum(sizes))) + rng.normal(0, 1, (n, 1))
    values[::7] = np.round(values[::7])
    values[rng.random(values.shape) < 0.02] = np.nan
    df = pd.DataFrame(values, columns=[f"c{i}" for i in range(sum(sizes))])
    groups = [("a", list(df.columns[: sizes[0]])), ("b", list(df.columns[sizes[0]:]))]
    result = outcome(lambda: tv.Vetting({}).stat_test_two_samples(df, groups, method))
    expected = outcome(lambda: twin_vetting.Vetting({}).stat_test_two_samples(df, groups, method))
    assert_same(result, expected)


@pytest.mark.parametrize("method, sizes, tied_rows", [
    ("Mannwhiteneyu", (4, 5), 300),      # exact null distribution, ties asymptotic
    ("Mannwhiteneyu", (9, 10), 300),     # both groups large: asymptotic throughout
    ("Mannwhiteneyu", (3, 12), 0),
    ("Wilcoxon", (6, 6), 4),             # exact; a few tied rows enumerate sign flips
    ("Wilcoxon", (16, 16), 300),         # tied rows asymptotic
])
def test_rank_tests_match_library_on_thousands_of_rows(method, sizes, tied_rows):
    """scipy picks each rank test's computation from the sample it is given
    (exact or normal approximation, by ties, zeros and sizes): a batch must
    be split by the choice each row would make alone."""
    rng = np.random.default_rng(sum(sizes) + tied_rows)
    n, width = 2000, sum(sizes)
    values = rng.normal(24.0, 2.0, (n, width)) + rng.normal(0, 1, (n, 1))
    tied = rng.choice(n, tied_rows, replace=False)
    values[tied] = np.round(values[tied])
    if method == "Wilcoxon":
        values[tied[:2], sizes[0]] = values[tied[:2], 0]    # a zero difference
    values[rng.random(values.shape) < 0.01] = np.nan
    values[5, 1] = np.inf
    df = pd.DataFrame(values, columns=[f"c{i}" for i in range(width)])
    groups = [("a", list(df.columns[: sizes[0]])), ("b", list(df.columns[sizes[0]:]))]
    result = outcome(lambda: tv.Vetting({}).stat_test_two_samples(df, groups, method))
    expected = outcome(lambda: twin_vetting.Vetting({}).stat_test_two_samples(df, groups, method))
    assert_same(result, expected)


def test_oneway_matches_library_on_thousands_of_rows():
    rng = np.random.default_rng(11)
    sizes = (3, 5, 4)
    values = rng.normal(24.0, 2.0, (3000, sum(sizes)))
    values[::9] = np.round(values[::9])
    values[::50, :3] = 20.0                        # a constant group
    values[::97] = 20.0                            # all values equal
    values[rng.random(values.shape) < 0.02] = np.nan
    df = pd.DataFrame(values, columns=[f"c{i}" for i in range(sum(sizes))])
    edges = np.cumsum((0,) + sizes)
    groups = [(f"g{g}", list(df.columns[edges[g]:edges[g + 1]])) for g in range(len(sizes))]
    result = outcome(lambda: tv.Vetting({}).stat_test_oneway(df, groups))
    expected = outcome(lambda: twin_vetting.Vetting({}).stat_test_oneway(df, groups))
    assert_same(result, expected)


@pytest.mark.parametrize("seed", range(60))
def test_oneway_matches_per_row_route(seed, monkeypatch):
    rng, df, groups = random_table(seed)
    groups = groups[: 2 + seed % 2]
    fast = outcome(lambda: tv.Vetting({}).stat_test_oneway(df, groups))
    twin = outcome(lambda: twin_vetting.Vetting({}).stat_test_oneway(df, groups))
    reference_module(monkeypatch)
    slow = outcome(lambda: tv.Vetting({}).stat_test_oneway(df, groups))
    assert_same(fast, slow)
    assert_same(fast, twin)


@pytest.mark.parametrize("seed", range(6))
def test_permutation_matches_per_row_route(seed, monkeypatch):
    rng, df, groups = random_table(seed)
    df = df.iloc[:12]
    fast = outcome(lambda: tv.Vetting({}).stat_test_two_samples(df, groups, "permutation"))
    reference_module(monkeypatch)
    slow = outcome(lambda: tv.Vetting({}).stat_test_two_samples(df, groups, "permutation"))
    assert_same(fast, slow)


def test_batch_route_is_taken_for_numeric_tables():
    rng = np.random.default_rng(3)
    df = pd.DataFrame(rng.normal(20, 2, (30, 8)), columns=list("abcdefgh"))
    groups = [("A", list("abcd")), ("B", list("efgh"))]
    with CallCounter(pd.DataFrame.iterrows) as calls, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for method in ["t", "Welch", "paired_t", "Wilcoxon", "Mannwhiteneyu", "permutation"]:
            tv.Vetting({}).stat_test_two_samples(df.iloc[:5], groups, method)
        tv.Vetting({}).stat_test_oneway(df, groups + [("C", ["a", "h"])])
        tv.Vetting({}).med_norm(df)
    assert calls.count == 0
    with CallCounter(pd.DataFrame.iterrows) as calls:
        tv.Vetting({}).stat_test_two_samples(df.assign(note="x"), groups, "t")
    assert calls.count > 0  # a text column sends the table down the reference route


@pytest.mark.parametrize("seed", range(80))
def test_medians_match_per_value_route(seed):
    _, df, _ = random_table(seed)
    if seed % 5 == 0:
        df.iloc[:, 0] = 0.0
    if seed % 7 == 0:
        df.iloc[:, 1] = np.nan
    fast, twin = tv.Vetting({}), twin_vetting.Vetting({})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result, expected = fast.median_df(df), twin.median_df(df)
        assert [type(v) for v in result] == [type(v) for v in expected]
        np.testing.assert_array_equal(result, expected)
        pd.testing.assert_frame_equal(fast.med_norm(df), twin.med_norm(df), check_exact=True)
        pd.testing.assert_frame_equal(fast.normalization(df), twin.normalization(df), check_exact=True)


def test_subclass_median_df_is_honoured():
    class Shifted(tv.Vetting):
        def median_df(self, df, **kwargs):
            return [1.0] * df.shape[1]

    df = pd.DataFrame({"a": [1.0, 2.0, 3.0]})
    pd.testing.assert_frame_equal(Shifted({}).med_norm(df), pd.DataFrame({"a": [0.0, 1.0, 2.0]}))


def test_welch_degrees_of_freedom_use_pow():
    """A feature whose Welch degrees of freedom differ in the last place when
    pow(v, 2) is computed as v * v (as a compiler may rewrite it)."""
    x = [27.465424569282163,29.50178800483699,27.49302410680731,27.58287496947247,26.285488128260724,25.385575701756515,26.61927776583215,27.50235428355431,27.45269362387247,26.916959947778686,27.770212704905013,28.610259783584993]
    y = [25.75187979124722,25.363800557976354,26.155166615958017,23.539539499514937,24.97689448810369,26.478640621479308,28.32636723056993,28.509902642977288,22.784968344170224,26.187078144495366,24.62169584285229,24.228429258692273]
    df = pd.DataFrame([x + y], columns=[f"c{i}" for i in range(24)])
    groups = [("a", list(df.columns[:12])), ("b", list(df.columns[12:]))]
    result = tv.Vetting({}).stat_test_two_samples(df, groups, "Welch")
    expected = twin_vetting.Vetting({}).stat_test_two_samples(df, groups, "Welch")
    pd.testing.assert_frame_equal(result, expected, check_exact=True)


class Reversed(list):
    """Indexes from the end: entry[1] is its first element."""

    def __getitem__(self, i):
        return list.__getitem__(self, -1 - i)


@pytest.mark.parametrize("groups", [
    [("A", ("a", "b", "c")), ("B", ["d", "e", "f"])],   # a tuple is one key to a row
    [Reversed([["a", "b"], "A"]), ("B", ["d", "e", "f"])],
    Reversed([("B", ["d", "e"]), ("A", ["a", "b", "c"])]),
    [__import__("collections").namedtuple("Group", "name labels")("A", ["a", "b", "c"]),
     ("B", ["d", "e", "f"])],
], ids=["tuple-labels", "entry-subclass", "groups-subclass", "namedtuple"])
def test_group_containers_index_as_python_does(groups):
    df = pd.DataFrame(np.random.default_rng(1).normal(20, 2, (5, 6)), columns=list("abcdef"))
    result = outcome(lambda: tv.Vetting({}).stat_test_two_samples(df, groups, "Welch"))
    expected = outcome(lambda: twin_vetting.Vetting({}).stat_test_two_samples(df, groups, "Welch"))
    assert_same(result, expected)


class Stop(BaseException):
    pass


@pytest.mark.parametrize("call", [
    lambda: tv.Vetting({}).stat_test_two_samples(
        pd.DataFrame(np.arange(12.0).reshape(2, 6) ** 1.5, columns=list("abcdef")),
        [("A", list("abc")), ("B", list("def"))], "t"),
    lambda: tv.hypothesis_test([1.0, 2.0, 4.0], [2.0, 3.0, 7.0], "permutation"),
], ids=["vetting-fast-route", "stat-permutation"])
def test_interrupt_inside_a_route_check_propagates(call, monkeypatch):
    """A fast route that falls back after an ordinary error must not swallow
    Ctrl-C (or any BaseException) raised by the library code it calls."""
    import scipy.stats

    real = scipy.stats.ttest_ind
    calls = []

    def interrupted_once(*args, **kwargs):
        calls.append(1)
        if len(calls) == 1:
            raise Stop
        return real(*args, **kwargs)

    monkeypatch.setattr(scipy.stats, "ttest_ind", interrupted_once)
    with pytest.raises(Stop):
        call()


@pytest.mark.parametrize("method", ["t", "Welch"])
def test_whole_statistics_keep_an_int64_table_int64(method):
    """Identical groups give t = 0 and p = 1 on every row: set into the int64
    rows of an int64 table, whole numbers keep them int64, and so the table."""
    df = pd.DataFrame({"a": [0, 0, 1, 5], "b": [1, 1, 0, 2]})
    groups = [("A", ["a", "b"]), ("B", ["a", "b"])]
    result = outcome(lambda: tv.Vetting({}).stat_test_two_samples(df, groups, method))
    expected = outcome(lambda: twin_vetting.Vetting({}).stat_test_two_samples(df, groups, method))
    assert_same(result, expected)


@pytest.mark.parametrize("last_row", [[1, 2, 5, 7], [0, 1, 0, 1]], ids=["F=0", "F=5e-32"])
def test_nearly_whole_one_way_statistics_on_an_int64_table(last_row):
    """Equal group means give F = 0 (or a rounding residue of 5e-32, which
    pandas truncates to 0 when it sets it into an int64 row)."""
    df = pd.DataFrame([[1, 2, 2, 1], [0, 0, 0, 0], last_row], columns=list("abcd"))
    groups = [("A", ["a", "a", "a", "b", "b"]), ("B", ["c", "c", "c", "d", "d"])]
    result = outcome(lambda: tv.Vetting({}).stat_test_oneway(df, groups))
    expected = outcome(lambda: twin_vetting.Vetting({}).stat_test_oneway(df, groups))
    assert_same(result, expected)


@pytest.mark.parametrize("method, one_row", [("Welch", "ttest_ind"), ("paired_t", "ttest_1samp"),
                                             ("Mannwhiteneyu", "mannwhitneyu")])
def test_a_passed_check_stands_only_while_the_libraries_do(method, one_row, monkeypatch):
    """The fast route's check is remembered per table shape with the library
    objects it called; a one-row test replaced since then is checked again,
    and its numbers (now the reference route's) are the result."""
    import scipy.stats

    df = pd.DataFrame(np.random.default_rng(8).normal(20, 2, (40, 8)), columns=list("abcdefgh"))
    groups = [("A", list("abcd")), ("B", list("efgh"))]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tv.Vetting({}).stat_test_two_samples(df, groups, method)
        real = getattr(scipy.stats, one_row)

        def one_row_nudged(*args, **kwargs):
            result = real(*args, **kwargs)
            if np.ndim(args[0]) == 1:
                return result[0], np.nextafter(result[1], 2.0)
            return result

        monkeypatch.setattr(scipy.stats, one_row, one_row_nudged)
        result = tv.Vetting({}).stat_test_two_samples(df, groups, method)
        expected = twin_vetting.Vetting({}).stat_test_two_samples(df, groups, method)
    pd.testing.assert_frame_equal(result, expected, check_exact=True)
