"""tessera.tools.differential against scipy's one-row calls (through the
plain-Python twin) on random tables full of holes, and against the numpy and
pandas recipes its counts, filter and imputation stand for."""
import re

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import twin_differential as twin
from conftest import Recorder, outcome, real_data
from tessera.tools import differential as td

ONE_ROW = {"t": "ttest_ind", "Welch": "ttest_ind", "mannwhitneyu": "mannwhitneyu", "anova": "f_oneway"}


def random_table(seed):
    """A table of 2 to 4 groups with missing cells, ties, constant rows,
    infinities, int64 and nullable columns, and a column in no group."""
    rng = np.random.default_rng(seed)
    n_rows = int(rng.integers(1, 60))
    n_groups = [2, 2, 2, 3, 4][seed % 5]
    data, groups = {}, []
    for g in range(n_groups):
        size = int(rng.choice([1, 2, 3, 4, 5, 6, 8, 9, 10, 12]))
        values = rng.normal(24.0, 2.0, (n_rows, size)) + rng.normal(0, 1, (n_rows, 1))
        if rng.random() < 0.3:
            values = np.round(values)                      # ties
        values[rng.random(values.shape) < rng.choice([0.0, 0.1, 0.3, 0.6])] = np.nan
        if rng.random() < 0.2:
            values[rng.random(values.shape) < 0.1] = rng.choice([np.inf, -np.inf])
        if n_rows > 2 and rng.random() < 0.3:
            values[0] = 7.0                                # every group constant and equal
            values[1] = 7.0 + g                            # constant groups, different means
        labels = [f"g{g}_{i}" for i in range(size)]
        for j, (label, column) in enumerate(zip(labels, values.T)):
            kind = rng.random()
            if kind < 0.1:
                column = pd.array(np.where(np.isfinite(column), np.round(column), np.nan),
                                  dtype="Int64")           # nullable, pd.NA for missing
            elif kind < 0.15:
                column = pd.array(column, dtype="Float64")
            elif kind < 0.2:
                column = np.round(np.nan_to_num(column, nan=20, posinf=30, neginf=10)).astype(np.int64)
            data[label] = column
        groups.append((f"G{g}", labels))
    df = pd.DataFrame(data, index=[f"P{i % 40}" for i in range(n_rows)])  # labels may repeat
    if rng.random() < 0.3:
        df.insert(0, "Gene names", [f"g{i}" for i in range(n_rows)])
    if rng.random() < 0.5:
        groups = dict(groups)
    return rng, df, groups


def assert_bitwise(result, expected):
    """Frames equal, and every float equal to the last bit (the sign of zero too)."""
    pd.testing.assert_frame_equal(result, expected, check_exact=True)
    for column in result.columns[result.dtypes == np.float64]:
        a, b = result[column].to_numpy(), expected[column].to_numpy()
        assert np.array_equal(np.signbit(a) | np.isnan(a), np.signbit(b) | np.isnan(b)), column


@pytest.mark.parametrize("seed", range(240))
def test_features_equal_one_row_calls(seed):
    rng, df, groups = random_table(seed)
    n_groups = len(groups)
    method = "anova" if n_groups > 2 else ["t", "Welch", "mannwhitneyu"][seed % 3]
    kwargs = {"min_valid": int(rng.choice([0, 1, 2, 3, 5]))}
    if seed % 4 == 0:
        kwargs["multipletest_method"] = ["bonferroni", "holm", "fdr_by", "fdr_i"][seed % 16 // 4]
    before = df.copy()
    result = td.test_features(df, groups, method, **kwargs)
    assert_bitwise(result, twin.test_features(df, groups, method, **kwargs))
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("method", ["t", "Welch", "mannwhitneyu", "anova"])
def test_large_tables_batch_every_shape(method):
    """1,500 features spread over many sample sizes and, for the rank test,
    both of scipy's computations; the one-row call runs only on the checked rows."""
    rng = np.random.default_rng(11)
    sizes = [12, 12] if method != "anova" else [5, 6, 7]
    df = pd.DataFrame(np.round(rng.normal(20, 2, (1500, sum(sizes))), int(rng.integers(1, 3))))
    df = df.mask(rng.random(df.shape) < rng.uniform(0, 0.7, (1500, 1)))
    df.columns = [f"S{i}" for i in range(sum(sizes))]
    cuts = np.cumsum([0] + sizes)
    groups = [(f"G{g}", list(df.columns[cuts[g]:cuts[g + 1]])) for g in range(len(sizes))]
    recorder = Recorder(getattr(stats, ONE_ROW[method]))
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(stats, ONE_ROW[method], recorder)
        result = td.test_features(df, groups, method)
    assert 0 < len(recorder.calls) <= 72
    assert_bitwise(result, twin.test_features(df, groups, method))
    if method == "mannwhitneyu":
        tested = result.loc[result.mannwhitneyu_note == "", ["n_G0", "n_G1"]]
        assert (tested.min(axis=1) <= 8).any() and (tested.min(axis=1) > 8).any()


def nudged(function):
    """A one-row call whose p-value is one step off the library's."""
    def call(*args, **kwargs):
        result = function(*args, **kwargs)
        return result[0], np.nextafter(result[1], 2.0)
    return call


@pytest.mark.parametrize("method", ["t", "Welch", "mannwhitneyu", "anova"])
def test_batch_that_disagrees_gives_way_to_one_row_calls(method, monkeypatch):
    _, df, groups = random_table(7 if method != "anova" else 8)
    monkeypatch.setattr(stats, ONE_ROW[method], nudged(getattr(stats, ONE_ROW[method])))
    result = td.test_features(df, groups, method)
    assert (result[f"{method}_note"] == "").sum() > 40
    assert_bitwise(result, twin.test_features(df, groups, method))


def test_one_row_call_error_is_raised(monkeypatch):
    def broken(*args, **kwargs):
        raise ZeroDivisionError("broken one-row call")

    _, df, groups = random_table(7)
    monkeypatch.setattr(stats, "ttest_ind", broken)
    with pytest.raises(ZeroDivisionError, match="broken one-row call"):
        td.test_features(df, groups, "Welch")


def test_result_columns_notes_and_floors():
    df = pd.DataFrame({"a": [1.0, 1.0, 5.0, 1.0], "b": [2.0, 1.0, np.nan, np.nan],
                       "c": [3.0, 1.0, 6.0, np.inf], "d": [4.0, 1.0, np.nan, np.nan],
                       "x": ["p", "q", "r", "s"]})
    groups = [("ctrl", ["a", "b"]), ("treat", ["c", "d"])]
    result = td.test_features(df, groups, "t", min_valid=1, multipletest_method="holm")
    assert list(result.columns) == ["a", "b", "c", "d", "x", "t_stat", "t_p", "t_holm", "group_fc",
                                    "n_ctrl", "n_treat", "t_note"]
    assert result.n_ctrl.dtype == result.n_treat.dtype == np.int64
    assert result.t_note.tolist() == ["", "no variance in either group",
                                      "1 value in ctrl and 1 value in treat, 2 needed",
                                      "1 value in ctrl and 0 values in treat, 2 needed"]
    assert result.group_fc.tolist()[:3] == [-2.0, 0.0, -1.0] and np.isnan(result.group_fc[3])
    ranks = td.test_features(df, groups, "mannwhitneyu", min_valid=0)
    assert ranks.mannwhitneyu_note.tolist() == ["", "", "", "0 values in treat, 1 needed"]
    three = td.test_features(df, {"A": ["a"], "B": ["b", "c"], "C": ["d"]}, "anova")
    assert list(three.columns[5:]) == ["anova_stat", "anova_p", "anova_fdr_bh", "n_A", "n_B", "n_C",
                                       "anova_note"]


def test_empty_table():
    df = pd.DataFrame({"a": [], "b": [], "c": [], "d": []}, dtype=float)
    groups = {"A": ["a", "b"], "B": ["c", "d"]}
    result = td.test_features(df, groups, "Welch")
    assert_bitwise(result, twin.test_features(df, groups, "Welch"))
    assert td.count_valid(df, groups).shape == (0, 2)
    assert td.filter_valid(df, groups, 1).shape == (0, 4)


def test_features_and_counts_of_cd34():
    """H1-H5 against N1-N5 (and H, L, N for the analysis of variance) of the
    cd34 table after the usual cleaning, at least 2 values per group."""
    raw = pd.read_csv(real_data("cd34_lfq_proteinGroups.tsv"), sep="\t", low_memory=False)
    raw = raw[~raw["Protein IDs"].str.contains("REV__|CON__")].set_index("Protein IDs")
    samples = {s: [f"{s}{i}" for i in range(1, 6)] for s in "HLN"}
    lfq = raw[[f"LFQ intensity {c}" for s in "HLN" for c in samples[s]]].astype(float)
    lfq = np.log2(lfq.replace(0, np.nan)).rename(columns=lambda c: c.split()[-1])
    pairs = {"H": samples["H"], "N": samples["N"]}
    two = td.filter_valid(lfq[samples["H"] + samples["N"]], pairs, 2)
    assert (len(two), int(two.isna().sum().sum())) == (528, 1311)
    found = {}
    for method, groups, table in [("t", pairs, two), ("Welch", pairs, two),
                                  ("mannwhitneyu", pairs, two),
                                  ("anova", samples, td.filter_valid(lfq, samples, 2))]:
        result = td.test_features(table, groups, method)
        assert_bitwise(result, twin.test_features(table, groups, method))
        found[method] = (int(result[f"{method}_p"].notna().sum()),
                         int((result[f"{method}_fdr_bh"] < 0.05).sum()))
    assert found == {"t": (528, 12), "Welch": (528, 4), "mannwhitneyu": (528, 0), "anova": (510, 20)}


COMPLETE_METHODS = ["paired_t", "Wilcoxon", "permutation"]


def paired_table(seed):
    """Two groups of one size (paired_t and Wilcoxon pair them) with missing
    cells, ties, zero differences, constant rows and an int64 column: the
    tables the command line hands to the tests that need every value."""
    rng = np.random.default_rng(seed)
    n_rows, size = int(rng.integers(1, 50)), int(rng.choice([2, 3, 4, 5, 6, 7, 9, 14, 16]))
    values = rng.normal(24.0, 2.0, (n_rows, 2 * size)) + rng.normal(0, 1, (n_rows, 1))
    if rng.random() < 0.4:
        values = np.round(values)                            # ties and zero differences
    values[rng.random(values.shape) < rng.choice([0.0, 0.05, 0.2])] = np.nan
    if n_rows > 3:
        values[0] = 7.0                                      # every value equal
        values[1, :size] = values[1, size:] + 1.5            # constant differences
    df = pd.DataFrame(values, columns=[f"S{i}" for i in range(2 * size)],
                      index=[f"P{i}" for i in range(n_rows)])
    if rng.random() < 0.2:
        df["S0"] = np.round(np.nan_to_num(df["S0"], nan=20)).astype(np.int64)
    return df, [("A", list(df.columns[:size])), ("B", list(df.columns[size:]))]


def vetting_as_the_command_line_had_it(df, groups, method):
    """Vetting's test with the n_ and note columns the command line added to it."""
    from tessera.tools.vetting import Vetting

    table = Vetting({}).stat_test_two_samples(df, groups, method)
    table.index = df.index
    for name, columns in groups:
        table[f"n_{name}"] = np.isfinite(df[columns].to_numpy(dtype=float)).sum(axis=1)
    missing = df[[c for _, columns in groups for c in columns]].isna().any(axis=1)
    need = "every pair" if td.METHODS[method].paired else "every value"
    table[f"{method}_note"] = np.where(
        table[f"{method}_p"].notna(), "",
        np.where(missing, f"a missing value, and {method} needs {need}",
                 "values that do not vary within the groups"))
    return table


@pytest.mark.parametrize("seed", range(0, 120, 2))
def test_complete_methods_equal_the_twin(seed):
    """Tables with infinities, nullable and int64 columns, repeated labels:
    every cell measured or no test, and unequal pairs refused. (The twin's
    permutation test is permute's, seconds a feature: the permutation test
    meets Vetting's below, whose kernel test_stat.py holds to permute.)"""
    _, df, groups = random_table(seed)
    groups = list(groups.items()) if isinstance(groups, dict) else groups
    method = ["paired_t", "Wilcoxon"][seed // 2 % 2]
    if seed % 8 < 6:
        size = min(len(groups[0][1]), len(groups[1][1]))
        groups = [(name, columns[:size]) for name, columns in groups[:2]]
    df = df.iloc[:15]
    result = outcome(td.test_features, df, groups[:2], method)
    expected = outcome(twin.test_features, df, groups[:2], method)
    if isinstance(expected, Exception):
        assert type(result) is type(expected) and str(result) == str(expected)
    else:
        assert_bitwise(result, expected)


@pytest.mark.parametrize("seed", range(90))
def test_complete_methods_give_vettings_numbers(seed):
    df, groups = paired_table(seed)
    method = COMPLETE_METHODS[seed % 3]
    if method == "permutation":
        df = df.iloc[:12]
    result = td.test_features(df, groups, method)
    expected = vetting_as_the_command_line_had_it(df, groups, method)
    added = [f"{method}_stat", f"{method}_p", f"{method}_fdr_bh", "group_fc", "n_A", "n_B",
             f"{method}_note"]
    assert list(result.columns) == list(df.columns) + added
    expected = expected[added].astype({f"n_{name}": "int64" for name, _ in groups})
    assert_bitwise(result[added], expected)


@pytest.mark.parametrize("method, one_row", [("paired_t", "ttest_1samp"), ("Wilcoxon", "wilcoxon")])
def test_complete_methods_give_way_to_the_reference_route(method, one_row, monkeypatch):
    """A one-row call whose numbers differ from the batched call's: every
    tested row is then the one-row call's."""
    real = getattr(stats, one_row)

    def one_row_nudged(*args, **kwargs):
        result = real(*args, **kwargs)
        if np.ndim(args[0]) == 1:
            return result[0], np.nextafter(result[1], 2.0)
        return result

    df, groups = paired_table(3)
    fast = td.test_features(df, groups, method)
    monkeypatch.setattr(stats, one_row, one_row_nudged)
    result = td.test_features(df, groups, method)
    tested = (result[f"{method}_note"] == "").to_numpy()
    assert tested.sum() > 10
    np.testing.assert_array_equal(result[f"{method}_p"][tested],
                                  np.nextafter(fast[f"{method}_p"][tested], 2.0))


def test_complete_methods_need_every_value_and_pair():
    df = pd.DataFrame({"a1": [1.0, 2.0, 4.0, 3.0, 1.0], "a2": [2.0, np.inf, 5.0, 3.0, 1.0],
                       "b1": [1.5, 2.5, 4.5, 3.0, 2.0], "b2": [2.4, 3.0, np.nan, 3.0, 2.0]})
    groups = {"A": ["a1", "a2"], "B": ["b1", "b2"]}
    notes = {method: td.test_features(df, groups, method)[f"{method}_note"].tolist()
             for method in COMPLETE_METHODS}
    assert notes["paired_t"] == ["", "a missing value, and paired_t needs every pair",
                                 "a missing value, and paired_t needs every pair",
                                 "values that do not vary within the groups", ""]
    assert notes["permutation"][1:3] == ["a missing value, and permutation needs every value"] * 2
    with pytest.raises(ValueError, match=re.escape(
            "method 'Wilcoxon' pairs the i-th column of group 'A' with the i-th of group 'B', "
            "so they need as many columns: 'A' has 2 and 'B' 1")):
        td.test_features(df, {"A": ["a1", "a2"], "B": ["b1"]}, "Wilcoxon")


def test_methods_record_each_methods_limits():
    from types import MappingProxyType

    methods = td.METHODS
    assert isinstance(methods, MappingProxyType)
    listed = re.findall(r"'(\w+)'", str(outcome(td.test_features, *counting_table(0), "?")))
    assert list(methods) == listed
    assert methods["Welch"] == ((2, 2), False, False, 2)
    assert methods["anova"].groups == (3, None) and methods["moderated"].groups == (2, None)
    assert [m for m, r in methods.items() if r.paired] == ["paired_t", "Wilcoxon"]
    assert [m for m, r in methods.items() if r.complete] == COMPLETE_METHODS
    with pytest.raises(TypeError):
        methods["t"] = methods["Welch"]
    with pytest.raises(AttributeError):
        methods["t"].paired = True


def counting_table(seed):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame(rng.normal(0, 1, (30, 6)), columns=list("abcdef"))
    df = df.mask(rng.random(df.shape) < 0.4)
    df.iloc[::7, 1] = np.inf
    df["c"] = pd.array(np.where(df.c.notna(), 1, None), dtype="Int64")
    df["d"] = np.arange(30, dtype=np.int64)
    df["note"] = "x"
    return df, [("A", ["a", "b", "c"]), ("B", ["d", "e"]), ("C", ["f"])]


def measured_counts(df, groups):
    return pd.DataFrame({name: np.isfinite(df[cols].to_numpy(dtype=float, na_value=np.nan)).sum(axis=1)
                         for name, cols in groups}, index=df.index)


@pytest.mark.parametrize("seed", range(4))
def test_count_valid_is_the_numpy_count(seed):
    df, groups = counting_table(seed)
    pd.testing.assert_frame_equal(td.count_valid(df, groups), measured_counts(df, groups))


@pytest.mark.parametrize("mode, keep", [
    ("each", lambda c, k: (c >= k).all(axis=1)),
    ("any", lambda c, k: (c >= k).any(axis=1)),
    ("all", lambda c, k: c.sum(axis=1) >= k),
])
@pytest.mark.parametrize("minimum", [0, 1, 2, 4])
def test_filter_valid_is_the_pandas_filter(mode, keep, minimum):
    df, groups = counting_table(minimum)
    expected = df[keep(measured_counts(df, groups), minimum)]
    pd.testing.assert_frame_equal(td.filter_valid(df, groups, minimum, mode=mode), expected)


def imputing_table(seed):
    rng = np.random.default_rng(seed)
    df = pd.DataFrame(rng.normal(22, 2, (40, 5)), columns=list("abcde"))
    df = df.mask(rng.random(df.shape) < 0.3)
    df["c"] = pd.array(df["c"], dtype="Float64")      # pd.NA cells
    df["d"] = np.arange(40, dtype=np.int64)
    df["note"] = "x"
    return df


@pytest.mark.parametrize("seed", range(5))
def test_downshift_is_the_numpy_recipe(seed):
    df = imputing_table(seed)
    columns = ["e", "a", "c", "d"]
    shift, width = [(1.8, 0.3), (2.5, 0.1), (0.0, 1.0), (-1.0, 0.5), (1.8, 0.3)][seed]
    table, imputed = td.impute(df, columns, shift=shift, width=width, seed=seed)
    rng = np.random.default_rng(seed)
    expected, marks = df.copy(), {}
    for c in columns:
        values = df[c].to_numpy(dtype=float, na_value=np.nan, copy=True)
        finite = values[np.isfinite(values)]
        m, s = np.mean(finite), np.std(finite, ddof=1)
        missing = np.isnan(values)
        values[missing] = rng.normal(m - shift * s, width * s, size=missing.sum())
        expected[c], marks[c] = values, missing
    pd.testing.assert_frame_equal(table, expected, check_exact=True)
    pd.testing.assert_frame_equal(imputed, pd.DataFrame(marks, index=df.index))


@pytest.mark.parametrize("quantile", [0.01, 0.3, 0.999])
def test_mindet_is_the_numpy_quantile(quantile):
    df = imputing_table(7)
    table, imputed = td.impute(df, ["b", "c"], method="mindet", quantile=quantile)
    expected = df.copy()
    for c in ["b", "c"]:
        values = df[c].to_numpy(dtype=float, na_value=np.nan, copy=True)
        values[np.isnan(values)] = np.nanquantile(values, quantile)
        expected[c] = values
    pd.testing.assert_frame_equal(table, expected, check_exact=True)
    assert imputed.sum().tolist() == df[["b", "c"]].isna().sum().tolist()


@pytest.mark.parametrize("method", ["downshift", "mindet"])
def test_infinite_cells_are_kept_and_not_measured(method):
    df = pd.DataFrame({"a": [1.0, 2.0, np.inf, np.nan, -np.inf, 4.0, np.nan]})
    table, imputed = td.impute(df, ["a"], method=method)
    expected = twin.impute(df, ["a"], method=method)
    pd.testing.assert_frame_equal(table, expected[0], check_exact=True)
    assert table.a.tolist()[:3] == [1.0, 2.0, np.inf] and table.a[4] == -np.inf
    assert imputed.a.tolist() == [False, False, False, True, False, False, True]
    assert td.impute(df, ["a"], method=method, seed=1)[0].a.notna().all()
    with pytest.raises(ValueError, match=re.escape("column 'a' has 1 finite value")):
        td.impute(df.iloc[1:5], ["a"], method=method)


T = pd.DataFrame({"a": [1.0, 2.0, np.nan], "b": [2.0, 3.0, 4.0], "c": [1.0, 5.0, 2.0],
                  "d": [3.0, 1.0, 7.0], "one": [np.nan, np.nan, 3.0]})
T_ODD = T.assign(text=pd.Series(["x", "y", "z"], dtype=object), words=pd.array(["x", "y", "z"], dtype="str"),
                 kind=pd.Categorical(["x", "y", "x"]), when=pd.to_datetime([1, 2, 3]),
                 span=pd.to_timedelta([1, 2, 3], unit="s"), flag=[True, False, True],
                 a_Welch_p=1.0)
T_DUP = pd.DataFrame([[1.0, 2.0, 3.0]], columns=["a", "a", "b"])
G = {"A": ["a", "b"], "B": ["c", "d"]}
G3 = {"A": ["a"], "B": ["b"], "C": ["c", "d"]}
WELCH_COLUMNS = ["Welch_stat", "Welch_p", "Welch_fdr_bh", "group_fc", "n_A", "n_B", "Welch_note"]


@pytest.mark.parametrize("call, error, message", [
    (lambda: td.count_valid([[1.0]], G), TypeError, "df must be a pandas DataFrame, got list"),
    (lambda: td.count_valid(T, "AB"), TypeError,
     "groups must be a mapping {name: [column labels]} or a sequence of (name, [column labels]) "
     "pairs, got str"),
    (lambda: td.count_valid(T, 5), TypeError, "groups must be a mapping"),
    (lambda: td.count_valid(T, {}), ValueError, "groups is empty: name at least one group of columns"),
    (lambda: td.count_valid(T, [("A", ["a"]), "BC"]), ValueError,
     "groups[1] must be a (name, [column labels]) pair, got 'BC'"),
    (lambda: td.count_valid(T, [("A", ["a"], 3)]), ValueError, "groups[0] must be a (name, [column labels])"),
    (lambda: td.count_valid(T, {"": ["a"]}), ValueError, "group names must be non-empty strings, got ''"),
    (lambda: td.count_valid(T, [(3, ["a"])]), ValueError, "group names must be non-empty strings, got 3"),
    (lambda: td.count_valid(T, [("A", ["a"]), ("A", ["b"])]), ValueError, "group name 'A' is used twice"),
    (lambda: td.count_valid(T, {"A": "a"}), ValueError,
     "group 'A': its columns must be a list of column labels, got 'a'"),
    (lambda: td.count_valid(T, {"A": []}), ValueError, "group 'A' has no columns"),
    (lambda: td.count_valid(T, {"A": ["a", "zz"]}), ValueError, "group 'A': the table has no column 'zz'"),
    (lambda: td.count_valid(T, {"A": ["a", "a"]}), ValueError, "group 'A' lists column 'a' twice"),
    (lambda: td.count_valid(T, {"A": ["a"], "B": ["b", "a"]}), ValueError,
     "column 'a' is in group 'A' and in group 'B'"),
    (lambda: td.count_valid(T_DUP, {"A": ["a"]}), ValueError,
     "label 'a' does not name a single column of the table"),
] + [
    (lambda c=c: td.count_valid(T_ODD, {"A": ["a", c]}), ValueError,
     f"group 'A': column '{c}' is not numeric (dtype {T_ODD[c].dtype})")
    for c in ["text", "words", "kind", "when", "span", "flag"]
] + [
    (lambda: td.filter_valid(T, G, -1), ValueError, "min_valid must be 0 or more, got -1"),
    (lambda: td.filter_valid(T, G, 2.0), TypeError, "min_valid must be an integer, got 2.0"),
    (lambda: td.filter_valid(T, G, True), TypeError, "min_valid must be an integer, got True"),
    (lambda: td.filter_valid(T, G, 1, mode="every"), ValueError,
     "unknown mode 'every': choose 'each', 'any' or 'all'"),
    (lambda: td.impute(T, ["a"], method="knn"), ValueError,
     "unknown imputation method 'knn': choose 'downshift' or 'mindet'"),
    (lambda: td.impute(T, ["a"], shift=np.nan), ValueError, "shift must be a finite number, got nan"),
    (lambda: td.impute(T, ["a"], shift="1"), TypeError, "shift must be a number, got '1'"),
    (lambda: td.impute(T, ["a"], width=0), ValueError, "width must be a positive finite number, got 0"),
    (lambda: td.impute(T, ["a"], width=-0.3), ValueError, "width must be a positive finite number"),
    (lambda: td.impute(T, ["a"], quantile=0.0), ValueError,
     "quantile must lie strictly between 0 and 1, got 0.0"),
    (lambda: td.impute(T, ["a"], quantile=1), ValueError, "quantile must lie strictly between 0 and 1, got 1"),
    (lambda: td.impute(T, "a"), TypeError, "columns must be a list of column labels, got 'a'"),
    (lambda: td.impute(T, ["zz"]), ValueError, "the table has no column 'zz'"),
    (lambda: td.impute(T, ["a", "a"]), ValueError, "column 'a' is listed twice"),
    (lambda: td.impute(T_ODD, ["text"]), ValueError, "column 'text' is not numeric (dtype object)"),
    (lambda: td.impute(T, ["b", "one"]), ValueError,
     "column 'one' has 1 finite value: imputation needs at least 2"),
    (lambda: td.test_features(T, G, "welch"), ValueError,
     "unknown method 'welch': the methods are 'moderated' (two or more groups), 't', 'Welch', "
     "'mannwhitneyu', 'paired_t', 'Wilcoxon', 'permutation' (two groups), 'anova' (three or more "
     "groups)"),
    (lambda: td.test_features(T, G, "limma", trend=True), ValueError, "unknown method 'limma'"),
    (lambda: td.test_features(T, G, "Welch", trend=True), ValueError,
     "trend=True: trend, robust and legacy apply to method 'moderated' only, not to 'Welch'"),
    (lambda: td.test_features(T, G, "t", legacy=1), ValueError, "legacy=1: trend, robust and legacy"),
    (lambda: td.test_features(T, G, "t", min_valid=-2), ValueError, "min_valid must be 0 or more"),
    (lambda: td.test_features(T, G, "t", multipletest_method="fdr"), ValueError,
     "unknown multipletest_method 'fdr': statsmodels offers 'b' (Bonferroni), 's' (Sidak), "),
    (lambda: td.test_features(T, G3, "Welch"), ValueError,
     "method 'Welch' takes two groups, got 3 groups (the methods are 'moderated' (two or more "
     "groups), 't', 'Welch', "),
    (lambda: td.test_features(T, G, "anova"), ValueError, "method 'anova' takes three or more groups, got 2 groups"),
    (lambda: td.test_features(T_ODD.drop(columns=["text", "words", "kind", "when", "span", "flag"])
                              .rename(columns={"a_Welch_p": "Welch_p"}), G, "Welch"), ValueError,
     f"the table already has a column 'Welch_p'; test_features adds the columns {WELCH_COLUMNS!r}, "
     "so rename or drop it first"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_refusals(call, error, message):
    with pytest.raises(error, match="^" + re.escape(message)) as refused:
        call()
    assert all(hasattr(refused.value, field) for field in ("parameter", "column", "group", "value"))


@pytest.mark.parametrize("call, fields", [
    (lambda: td.count_valid(T, {"A": ["a", "zz"]}), ("groups", "zz", "A", None)),
    (lambda: td.count_valid(T, {"A": ["a"], "B": ["b", "a"]}), ("groups", "a", "B", None)),
    (lambda: td.count_valid(T, 5), ("groups", None, None, 5)),
    (lambda: td.filter_valid(T, G, -1), ("min_valid", None, None, -1)),
    (lambda: td.impute(T, ["b", "one"]), ("columns", "one", None, None)),
    (lambda: td.impute(T, ["a"], quantile=1), ("quantile", None, None, 1)),
    (lambda: td.test_features(T, G, "welch"), ("method", None, None, "welch")),
    (lambda: td.test_features(T, G, "Welch", trend=True), ("trend", None, None, True)),
    (lambda: td.test_features(T, G, "t", multipletest_method="fdr"),
     ("multipletest_method", None, None, "fdr")),
    (lambda: td.test_features(T, G3, "Welch"), ("groups", None, None, 3)),
    (lambda: td.test_features(T, {"A": ["a", "b"], "B": ["c"]}, "paired_t"),
     ("groups", None, "B", None)),
], ids=lambda v: "" if callable(v) else v[0])
def test_refusals_name_what_they_refuse(call, fields):
    with pytest.raises((ValueError, TypeError)) as refused:
        call()
    error = refused.value
    assert (error.parameter, error.column, error.group, error.value) == fields


@pytest.mark.parametrize("call", [
    lambda df, g: td.count_valid(df, g),
    lambda df, g: td.filter_valid(df, g, 2, mode="any"),
    lambda df, g: td.impute(df, g["A"] + g["B"]),
    lambda df, g: td.impute(df, g["A"], method="mindet"),
    lambda df, g: td.test_features(df, g, "Welch"),
    lambda df, g: td.test_features(df, {"A": g["A"], "B": g["B"][:1], "C": g["B"][1:]}, "anova"),
    lambda df, g: td.test_features(df, g, "moderated", legacy=True, robust=True),
], ids=["count_valid", "filter_valid", "downshift", "mindet", "Welch", "anova", "moderated"])
def test_inputs_are_left_alone(call):
    df, groups = counting_table(9)
    groups = {"A": ["a", "b", "c"], "B": ["d", "e", "f"]}
    df_before, groups_before = df.copy(), {k: list(v) for k, v in groups.items()}
    result = call(df, groups)
    pd.testing.assert_frame_equal(df, df_before)
    assert groups == groups_before
    # the result is not a view of the input
    first = result[0] if isinstance(result, tuple) else result
    first.iloc[:, 0] = 0
    pd.testing.assert_frame_equal(df, df_before)
