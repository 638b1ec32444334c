"""Reference leaks: every public entry point, on its success and its failure
paths, must leave the reference counts of its arguments and of shared objects
as they were after a few calls, and (the `long` round) the number of
allocated blocks and objects of the interpreter flat over thousands."""
import contextlib
import gc
import os
import sys
import warnings
import weakref

import numpy as np
import pandas as pd
import pytest

from scipy import stats

from tessera.tools import differential as td
from tessera.tools import preprocess as tp
from tessera.tools import stat as ts
from tessera.tools import vetting as tv

RNG = np.random.default_rng(3)
TABLE = pd.DataFrame(RNG.uniform(1e3, 1e6, (6, 4)), columns=list("abcd"),
                     index=["P1", "REV__P2", "P3", "P4", "P5", "P6"])
TABLE.iloc[1, 2] = np.nan
TABLES = {"float": TABLE, "int": TABLE.fillna(1.0).astype("int64"), "text": TABLE.assign(note="x"),
          "zero": TABLE.fillna(0.0)}


# Every call gets its own table, labels included: pandas keeps a weak
# reference to each view taken of a table or an index and drops the dead ones
# only every few hundred views, which would look like a leak of the calls.
def fresh(kind):
    df = TABLES[kind].copy()
    df.index, df.columns = df.index.tolist(), df.columns.tolist()
    return df


def table():
    return fresh("float")


def int_table():
    return fresh("int")


def text_table():
    return fresh("text")


def zero_table():
    return fresh("zero")


GROUPS = [("A", ["a", "b"]), ("B", ["c", "d"])]
GAPPY = pd.DataFrame(np.round(RNG.normal(20, 2, (12, 9)), 1), columns=list("abcdefghi"))
GAPPY = GAPPY.mask(RNG.random(GAPPY.shape) < 0.3).assign(
    n=pd.array([1, None] * 6, dtype="Int64"), note="x")
THREE = {"A": list("abc"), "B": list("def"), "C": list("ghi")}
SAMPLES = pd.DataFrame({"g": list("AAABBBCCC"), "b": list("xyzxyzxyz")}, index=list("abcdefghi"))
CONTRASTS = {"BA": "gB - gA", "CA": "gC - (gA + gB)/2"}
DESIGN = pd.get_dummies(SAMPLES.g, dtype=float).add_prefix("g").assign(
    by=(SAMPLES.b == "y").astype(float), bz=(SAMPLES.b == "z").astype(float))
TWO = {"A": list("abcd"), "B": list("efghi")}


def gappy():
    df = GAPPY.copy()
    df.index, df.columns = df.index.tolist(), df.columns.tolist()
    return df


def measured():
    """gappy() without its note column, which test_contrasts adds."""
    return gappy().drop(columns="note")


def one_row_route(method):
    """test_features with a one-row call that disagrees with the batch, so
    that every row goes through the one-row calls."""
    real = stats.ttest_ind
    stats.ttest_ind = lambda *a, **k: (real(*a, **k)[0], 0.5)
    try:
        return td.test_features(gappy(), TWO, method)
    finally:
        stats.ttest_ind = real
X, Y = RNG.normal(0, 1, 6), RNG.normal(0, 1, 6)
V = tv.Vetting({"out_dir": "out"})


class Raises:
    def __float__(self):
        raise ValueError("no float")

    __index__ = __int__ = __str__ = __float__


def write_files(tmp_path):
    csv = tmp_path / "t.csv"
    TABLE.rename_axis("INDEX").to_csv(csv)
    bad = tmp_path / "bad.csv"
    bad.write_bytes(b"\xff\xfe\x00garbage\x00\n\x01")
    return str(csv), str(bad), str(tmp_path / "missing.tsv")


def entry_points(csv, bad, missing):
    """Calls that succeed and calls that fail, for every public callable."""
    return {
        "import": lambda: tp.import_data_by_file_name(csv, {}),
        "import unknown extension": lambda: tp.import_data_by_file_name("t.txt", {"index": "x"}),
        "import missing file": lambda: tp.import_data_by_file_name(missing, {}),
        "import binary file": lambda: tp.import_data_by_file_name(bad, {}),
        "import no get": lambda: tp.import_data_by_file_name(csv, None),
        "preprocess": lambda: tp.preprocess(csv, {"remove_decoy": "REV", "noise_filter": 1,
                                                  "log_transform": 2, "remove_missing_values": 50,
                                                  "normalize": "log_median_0"}),
        "preprocess failing step": lambda: tp.preprocess(csv, {"noise_filter": None}),
        "remove_decoy": lambda: tp.remove_decoy(table(), "REV__"),
        "remove_decoy regex": lambda: tp.remove_decoy(table(), "P[12]"),
        "remove_decoy bad regex": lambda: tp.remove_decoy(table(), "("),
        "remove_decoy int index": lambda: tp.remove_decoy(int_table().reset_index(drop=True), "1"),
        "log_transform": lambda: tp.log_transform(table(), 2),
        "log_transform int": lambda: tp.log_transform(int_table(), 10),
        "log_transform zero": lambda: tp.log_transform(zero_table(), 2),
        "log_transform text": lambda: tp.log_transform(text_table(), 2),
        "log_transform base 1": lambda: tp.log_transform(table(), 1),
        "log_transform bad base": lambda: tp.log_transform(table(), Raises()),
        "noise_filter": lambda: tp.noise_filter(table(), 5000),
        "noise_filter int": lambda: tp.noise_filter(int_table(), 5000),
        "noise_filter text": lambda: tp.noise_filter(text_table(), 5000),
        "noise_filter bad": lambda: tp.noise_filter(table(), "5.5"),
        "remove_missing_values": lambda: tp.remove_missing_values(table(), "80%"),
        "remove_missing_values text": lambda: tp.remove_missing_values(text_table(), 80),
        "remove_missing_values bad": lambda: tp.remove_missing_values(table(), "x"),
        "normalize": lambda: tp.normalize(table().copy(), "log_median_0"),
        "normalize origin": lambda: tp.normalize(int_table().copy(), "origin_median_2"),
        "normalize bad": lambda: tp.normalize(table(), "log_median"),
        "normalize not text": lambda: tp.normalize(table(), 3),
        "binding": lambda: tp.normalize(table(), param=1, other=2),
        "binding keys": lambda: ts.hypothesis_test(X, Y, **{"method": "t", "equal_var": 1, "q": 2}),
        "signature": lambda: tp.normalize.__signature__,
    } | {
        f"hypothesis_test {m}": (lambda m=m: ts.hypothesis_test(X, Y, m))
        for m in ["t", "Welch", "paired_t", "Wilcoxon", "Mannwhiteneyu", "permutation", "log2fc",
                  "fc", "plog2fc", "none"]
    } | {
        "hypothesis_test list permutation": lambda: ts.hypothesis_test([1.0, 1.0], [1.0, 1.0], "permutation"),
        "hypothesis_test text permutation": lambda: ts.hypothesis_test(["a"], [1.0], "permutation"),
        "hypothesis_test nan permutation": lambda: ts.hypothesis_test(X * np.nan, Y, "permutation"),
        "hypothesis_test bad": lambda: ts.hypothesis_test([Raises()], Y, "plog2fc"),
        "hypothesis_test paired lists": lambda: ts.hypothesis_test([1.0], [2.0], "paired_t"),
        "Vetting paths": lambda: (V.build_out_table_path("a"), V.buil_out_figure_path(None)),
        "Vetting path no out_dir": lambda: tv.Vetting({}).build_out_table_path("a"),
        "Vetting entry points": lambda: (V.pca(1), V.detect_outlie2(1, 2), V.plot_counts(1, 2),
                                         V.noise_filter(None)),
        "median_df": lambda: V.median_df(table()),
        "median_df cols": lambda: V.median_df(table(), cols=["b", "a"]),
        "median_df bad": lambda: V.median_df(text_table()),
        "med_norm": lambda: V.med_norm(table()),
        "med_norm text": lambda: V.normalization(text_table().drop(columns="note").astype(object)),
        "med_norm None cell": lambda: V.med_norm(table().astype(object).where(table().notna(), None)),
        "calc_medians": lambda: V.calc_medians(table(), ["P1", "P3"]),
        "calc_medians bad": lambda: V.calc_medians(table(), "P1"),
        "force_norm_df": lambda: V.force_norm_df(table(), [0.0, 1.0, 2.0, 3.0]),
        "force_norm_df short": lambda: V.force_norm_df(table(), [0.0]),
        "oneway": lambda: V.stat_test_oneway(table(), GROUPS),
        "oneway empty": lambda: V.stat_test_oneway(table().iloc[:0], GROUPS),
        "oneway bad group": lambda: V.stat_test_oneway(table(), [("A",), ("B", ["c"])]),
    } | {
        f"two samples {m}": (lambda m=m: V.stat_test_two_samples(table(), GROUPS, m, fold_change_method="paired"))
        for m in ["t", "Welch", "paired_t", "Wilcoxon", "Mannwhiteneyu", "permutation", "log2fc"]
    } | {
        "two samples per row": lambda: V.stat_test_two_samples(text_table(), GROUPS, "t"),
        "two samples missing label": lambda: V.stat_test_two_samples(table(), [("A", ["a", "z"]), ("B", ["c"])], "t"),
        "two samples unknown method": lambda: V.stat_test_two_samples(table(), GROUPS, "welch"),
        "two samples bad correction": lambda: V.stat_test_two_samples(table(), GROUPS, "t", multipletest_method="x"),
        "two samples bad fold change": lambda: V.stat_test_two_samples(table(), GROUPS, "t", fold_change_method="x"),
    } | {
        f"test_features {m}": (lambda m=m: td.test_features(gappy(), TWO, m))
        for m in ["t", "Welch", "mannwhitneyu"]
    } | {
        "test_features anova": lambda: td.test_features(gappy(), THREE, "anova", min_valid=3),
        "test_features one-row route": lambda: one_row_route("Welch"),
        "test_features nullable": lambda: td.test_features(gappy(), {"A": ["a", "n"], "B": ["b"]}, "t"),
        "test_features moderated": lambda: td.test_features(gappy(), TWO, "moderated"),
        "test_features moderated F": lambda: td.test_features(gappy(), THREE, "moderated", legacy=True,
                                                              trend=True, robust=True),
        "test_features moderated not built": lambda: td.test_features(gappy(), TWO, "moderated", robust=True),
        "test_features moderated no prior": lambda: td.test_features(gappy(), {"A": ["a"], "B": ["e"]},
                                                                     "moderated", min_valid=1),
        "test_features moderated untested": lambda: td.test_features(gappy(), {"A": ["a"], "B": ["e"]},
                                                                     "moderated"),
        "test_features unknown method": lambda: td.test_features(gappy(), TWO, "limma"),
        "test_features option": lambda: td.test_features(gappy(), TWO, "t", robust=True),
        "test_features bad correction": lambda: td.test_features(gappy(), TWO, "t", multipletest_method="x"),
        "test_features taken column": lambda: td.test_features(gappy().assign(t_p=1.0), TWO, "t"),
        "test_features three groups": lambda: td.test_features(gappy(), THREE, "t"),
        "count_valid": lambda: td.count_valid(gappy(), THREE),
        "count_valid pairs": lambda: td.count_valid(gappy(), [("A", ["a", "n"]), ("B", ("b",))]),
        "count_valid text column": lambda: td.count_valid(gappy(), {"A": ["a", "note"]}),
        "count_valid missing label": lambda: td.count_valid(gappy(), {"A": ["a", "zz"]}),
        "count_valid label twice": lambda: td.count_valid(gappy(), {"A": ["a"], "B": ["a"]}),
        "count_valid bad groups": lambda: td.count_valid(gappy(), [("A", ["a"]), 5]),
        "filter_valid": lambda: td.filter_valid(gappy(), THREE, 2, mode="all"),
        "filter_valid bad mode": lambda: td.filter_valid(gappy(), THREE, 2, mode="x"),
        "filter_valid bad count": lambda: td.filter_valid(gappy(), THREE, -1),
        "impute downshift": lambda: td.impute(gappy(), ["a", "n", "i"], seed=4),
        "impute mindet": lambda: td.impute(gappy(), ["b", "c"], method="mindet"),
        "impute too few values": lambda: td.impute(gappy().iloc[:1], ["a"]),
        "impute bad width": lambda: td.impute(gappy(), ["a"], width=0),
        "impute bad seed": lambda: td.impute(gappy(), ["a"], seed="x"),
        "normalize ratio_mode": lambda: td.normalize(gappy(), list("abcdefghi"), min_features=1),
        "normalize pattern": lambda: td.normalize(gappy(), list("abcdefghi"), "reference",
                                                  reference="1", min_features=1),
        "normalize mask": lambda: td.normalize(gappy(), list("abcdefghi"), "ratio_median",
                                               reference=np.arange(12) % 2 == 0, min_features=1),
        "normalize too few": lambda: td.normalize(gappy(), list("abcdefghi"), "median_complete"),
        "normalize bad pattern": lambda: td.normalize(gappy(), list("abcd"), reference="(["),
        "normalize linear": lambda: td.normalize(table(), list("abcd")),
        "test_hurdle": lambda: td.test_hurdle(gappy(), TWO, "moderated"),
        "test_hurdle three groups": lambda: td.test_hurdle(gappy(), THREE, "anova", level=1),
        "test_hurdle bad level": lambda: td.test_hurdle(gappy(), TWO, "t", level=2),
        "test_hurdle taken column": lambda: td.test_hurdle(gappy().assign(hurdle_p=1.0), TWO, "t"),
        "test_hurdle unknown option": lambda: td.test_hurdle(gappy(), TWO, "t", window=3),
        # design frames: formulaic's own caches swing the block counts of the formula route
        "test_contrasts": lambda: td.test_contrasts(measured(), SAMPLES, DESIGN, CONTRASTS),
        "test_contrasts block weights lfc": lambda: td.test_contrasts(
            measured(), SAMPLES, DESIGN, ["gB - gA"], block="b", sample_weights=True, lfc=0.5),
        "test_contrasts group means": lambda: td.test_contrasts(
            measured(), SAMPLES, pd.get_dummies(SAMPLES.g, dtype=float), ["B - A"]),
        "test_contrasts bad expression": lambda: td.test_contrasts(gappy(), SAMPLES, DESIGN,
                                                                   ["gB * gA"]),
        "test_contrasts not full rank": lambda: td.test_contrasts(gappy(), SAMPLES,
                                                                  DESIGN.assign(c=DESIGN.gA), ["gB - gA"]),
        "test_contrasts rows not samples": lambda: td.test_contrasts(gappy(), SAMPLES, DESIGN.iloc[1:],
                                                                     ["gB - gA"]),
    }


# the names, for parametrizing: the calls themselves need a test's files
NAMES = list(entry_points("t.csv", "bad.csv", "missing.tsv"))
WATCHED = [GROUPS, GROUPS[0], GROUPS[0][1], X, Y, V, V.param, tp.normalize, ts.hypothesis_test,
           tv.Vetting, THREE, THREE["A"], TWO, td.test_features, SAMPLES, CONTRASTS,
           td.test_contrasts]


@pytest.fixture
def calls(tmp_path):
    """The entry points, run with their printed text sent nowhere (a StringIO
    would keep every message) and their warnings ignored."""
    with warnings.catch_warnings(), open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        warnings.simplefilter("ignore")
        yield entry_points(*write_files(tmp_path))


def references():
    gc.collect()  # garbage of earlier tests may still hold references
    return [sys.getrefcount(o) for o in WATCHED]


def kept_since(before):
    """References gained (or lost) by each watched object since `before`."""
    return [after - count for after, count in zip(references(), before)]


def repeat(call, n):
    for _ in range(n):
        try:
            call()
        except Exception:  # noqa: BLE001
            pass


def census():
    """(allocated blocks, objects tracked by the collector), weak references
    left out: pandas keeps one to every view taken of a table or an index
    and drops the dead ones only every few hundred views."""
    gc.collect()
    objects = gc.get_objects()
    weak = sum(1 for o in objects if isinstance(o, weakref.ReferenceType))
    return sys.getallocatedblocks() - weak, len(objects) - weak


def growth(call, rounds, limits, warm=20):
    """Gains in blocks and in objects per batch of `rounds` calls, after a
    warm-up: those of the first batch within `limits`, else the smallest
    over eight batches. Library caches make single batches swing by hundreds
    of blocks either way, and some fill over the first few hundred calls
    (scipy's wilcoxon); a leak gains in every batch."""
    repeat(call, warm)
    gains = []
    for _ in range(8):
        before = census()
        repeat(call, rounds)
        after = census()
        gains.append((after[0] - before[0], after[1] - before[1]))
        if gains[-1][0] <= limits[0] and gains[-1][1] <= limits[1]:
            return gains[-1]
    return min(g[0] for g in gains), min(g[1] for g in gains)


@pytest.mark.parametrize("name", NAMES)
def test_entry_points_keep_no_reference(calls, name):
    """A reference kept to an argument or a shared object, or one given up
    too many, shows in its reference count after a few calls (the first
    ones may fill the libraries' caches)."""
    call = calls[name]
    repeat(call, 2)
    before = references()
    repeat(call, 8)
    kept = kept_since(before)
    assert not any(kept), f"references kept per object watched: {kept}"


@pytest.mark.long
@pytest.mark.parametrize("name", NAMES)
def test_entry_points_do_not_leak(calls, name):
    """Thousands of calls leave the interpreter's allocated blocks and
    objects flat, and every reference count watched as it was."""
    slow = any(word in name for word in ("permutation", "Wilcoxon", "preprocess", "import",
                                         "test_features", "test_hurdle",
                                         "test_contrasts"))
    rounds = 40 if slow else 150
    limits = (max(rounds // 2, 50), rounds // 2)
    before = references()
    # the libraries test_contrasts calls fill their caches over its first hundred calls
    blocks, objects = growth(calls[name], rounds, limits,
                             warm=200 if "test_contrasts" in name else 20)
    kept = kept_since(before)
    assert blocks <= limits[0] and objects <= limits[1] and not any(kept), \
        f"blocks and objects gained per batch {blocks}, {objects}; references kept {kept}"


@pytest.mark.skipif(bool(os.environ.get("TESSERA_SANITIZE")),
                    reason="AddressSanitizer keeps freed memory in quarantine")
@pytest.mark.parametrize("name", ["log_transform", "noise_filter", "med_norm"])
def test_big_tables_give_their_memory_back(name):
    """The fast routes' output buffers belong to the returned frames: once
    those are gone, so is the memory (measured in the process's RSS)."""
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    big = pd.DataFrame(RNG.uniform(1, 1e6, (250_000, 8)))
    call = {"log_transform": lambda: tp.log_transform(big, 2),
            "noise_filter": lambda: tp.noise_filter(big, 100),
            "med_norm": lambda: V.med_norm(big)}[name]
    call()
    gc.collect()
    before = rss()
    for _ in range(20):
        call()
    gc.collect()
    # 20 leaked results would be 20 * 16 MB
    assert rss() - before < 64 * 2**20
