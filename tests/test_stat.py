"""tessera.tools.stat.hypothesis_test against the libraries it calls, and the
native permutation kernel against permute's two_sample."""
import os
import re
import sys

import numpy as np
import pytest
from permute.core import two_sample
from scipy import stats

from tessera.tools import stat as ts
from tessera.tools._native import permutation_t_test
from tessera.tools.stat import hypothesis_test

X = np.array([1.2, 2.4, 3.1, 4.8, 2.2])
Y = np.array([2.5, 3.5, 1.5, 6.0, 7.1])


def same_result(result, expected):
    assert type(result) is type(expected)
    assert len(result) == len(expected)
    for r, e in zip(result, expected):
        assert r == e or (np.isnan(r) and np.isnan(e))


def test_namespace_holds_only_numpy_and_the_function():
    assert [n for n in vars(ts) if not n.startswith("__")] == ["np", "hypothesis_test"]
    assert ts.np is np
    assert hypothesis_test.__module__ == "tessera.tools.stat"
    assert hypothesis_test.__qualname__ == "hypothesis_test"


@pytest.mark.parametrize("method, kwargs, library", [
    ("t", {}, lambda x, y: stats.ttest_ind(x, y, equal_var=True)),
    ("t", {"equal_var": False}, lambda x, y: stats.ttest_ind(x, y, equal_var=False)),
    ("Welch", {}, lambda x, y: stats.ttest_ind(x, y, equal_var=False)),
    ("Welch", {"equal_var": True}, lambda x, y: stats.ttest_ind(x, y, equal_var=False)),
    ("paired_t", {}, lambda x, y: stats.ttest_1samp(x - y, 0)),
    ("Wilcoxon", {}, lambda x, y: stats.wilcoxon(x, y)),
    ("Mannwhiteneyu", {}, lambda x, y: stats.mannwhitneyu(x, y)),
])
@pytest.mark.parametrize("extra", [{}, {"fold_change_method": "paired", "multipletest_method": "x"}])
def test_test_branches_return_the_library_result(method, kwargs, library, extra):
    result = hypothesis_test(X, Y, method, **kwargs, **extra)
    same_result(result, library(X, Y))


def test_default_method_is_student_t():
    same_result(hypothesis_test(X, Y), stats.ttest_ind(X, Y, equal_var=True))
    same_result(hypothesis_test(x=X, y=Y, equal_var=False), stats.ttest_ind(X, Y, equal_var=False))


@pytest.mark.parametrize("method, expected", [
    ("log2fc", (2.0, None)), ("fc", (3.0, None)), ("plog2fc", (2.0, None)),
])
def test_fold_changes(method, expected):
    result = hypothesis_test(np.array([2.0, 4.0]), np.array([1.0, 1.0]), method)
    assert result == expected and type(result) is tuple


def test_fold_change_edges():
    with np.errstate(divide="ignore", invalid="ignore"):
        assert np.isinf(hypothesis_test(np.array([1.0]), np.array([0.0]), "fc")[0])
    assert np.isnan(hypothesis_test(np.array([np.nan, 1.0]), Y, "log2fc")[0])
    assert hypothesis_test([2, 4], [1, 1], "plog2fc") == (2.0, None)
    with pytest.raises(TypeError):
        hypothesis_test([2.0, 4.0], [1.0, 1.0], "paired_t")
    with pytest.raises(ValueError):
        hypothesis_test(np.array([1.0, 2.0]), np.array([1.0, 2.0, 3.0]), "plog2fc")


@pytest.mark.parametrize("method", ["welch", "wilcoxon", "T", "mannwhitneyu", None, "", 3])
def test_other_method_names_give_none(method):
    assert hypothesis_test(X, Y, method) is None


@pytest.mark.parametrize("args, kwargs, message", [
    ((X,), {}, "hypothesis_test() takes at least 2 positional arguments (1 given)"),
    ((), {"y": Y}, "hypothesis_test() takes at least 2 positional arguments (0 given)"),
    ((X, Y, "t", True, 1), {}, "hypothesis_test() takes at most 4 positional arguments (5 given)"),
    ((X, Y, "t"), {"method": "t"}, "hypothesis_test() got multiple values for keyword argument 'method'"),
])
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        hypothesis_test(*args, **kwargs)


@pytest.mark.parametrize("missing", ["scipy.stats", "permute.core"])
@pytest.mark.parametrize("method", ["t", "log2fc", "permutation", "no such method"])
def test_libraries_are_imported_on_every_call(monkeypatch, missing, method):
    package, name = missing.split(".")
    monkeypatch.setitem(sys.modules, missing, None)
    monkeypatch.delattr(sys.modules[package], name)
    with pytest.raises(ImportError):
        hypothesis_test(X, Y, method)
class _quiet:
    def __enter__(self):
        import warnings
        self._ctx = warnings.catch_warnings()
        self._ctx.__enter__()
        warnings.simplefilter("ignore")

    def __exit__(self, *exc):
        self._ctx.__exit__(*exc)


def library_pair(x, y, reps):
    p, t = two_sample(x, y, reps=reps, stat="t", alternative="two-sided", seed=20)
    return t, p


def random_samples(rng):
    nx, ny = rng.integers(2, 31, size=2)
    kind = rng.integers(0, 6)
    if kind == 0:    # repeated values
        x = rng.integers(0, 4, nx).astype(float)
        y = rng.integers(0, 4, ny).astype(float)
    elif kind == 1:  # one constant group
        x = np.full(nx, 3.0)
        y = rng.normal(3.0, 1.0, ny)
    elif kind == 2:  # log2 intensities
        x = np.round(rng.normal(24.0, 1.5, nx), 3)
        y = np.round(rng.normal(24.5, 1.5, ny), 3)
    elif kind == 3:  # an infinity
        x = rng.normal(0.0, 1.0, nx)
        y = rng.normal(0.0, 1.0, ny)
        x[0] = np.inf
    elif kind == 4:  # large and tiny magnitudes
        x = rng.normal(1e12, 1e3, nx)
        y = rng.normal(1e12, 1e3, ny) * (1 + 1e-12)
    else:
        x = rng.normal(0.0, 1.0, nx)
        y = rng.normal(0.5, 2.0, ny)
    return x, y


N_IDENTITY = int(os.environ.get("TESSERA_PERMUTATION_CASES", "120"))


@pytest.mark.parametrize("seed", range(N_IDENTITY))
def test_kernel_reproduces_two_sample(seed):
    """The kernel follows the library's random stream and counts exactly: a
    short run of the same stream must give the same statistic and p-value.
    (Set TESSERA_PERMUTATION_CASES for a longer run.)"""
    x, y = random_samples(np.random.default_rng(seed))
    with _quiet():
        t, p = library_pair(x, y, reps=25)
    kt, kp, _, _ = permutation_t_test(x, y, 25, 20)
    assert (kt == t) or (np.isnan(kt) and np.isnan(t))
    assert (kp == p) or (np.isnan(kp) and np.isnan(p))


@pytest.mark.long
def test_permutation_branch_matches_library_at_full_length():
    """One full-length comparison (10,000 repetitions through the library)."""
    x = np.array([22.1, 23.4, 24.0, 22.9, 23.3, 24.4])
    y = np.array([24.2, 25.1, 23.9, 25.5, 24.8, 24.1])
    result = hypothesis_test(x, y, "permutation")
    expected = library_pair(x, y, reps=10000)
    assert result == expected
    assert all(type(v) is np.float64 for v in result)


@pytest.mark.parametrize("x, y", [
    (np.array([1.0, np.nan, 2.0]), np.array([1.0, 2.0, 3.0])),
    (np.array([1.0, 2.0]), np.array([np.nan, np.nan])),
    (np.array([2.0, 2.0, 2.0]), np.array([2.0, 2.0])),
    ([1.0, np.nan], [1.0, 2.0]),           # plain lists take the reference route
])
def test_nan_statistic_gives_nan_without_permuting(x, y, monkeypatch):
    import permute.core

    runs = []

    def counting_two_sample(*args, **kwargs):
        runs.append(kwargs.get("reps"))
        return two_sample(*args, **kwargs)

    monkeypatch.setattr(permute.core, "two_sample", counting_two_sample)
    t, p = hypothesis_test(x, y, "permutation")
    assert np.isnan(t) and np.isnan(p)
    assert runs == []  # no 10,000-repetition library run


def test_replaced_two_sample_is_used(monkeypatch):
    hypothesis_test(X, Y, "permutation")  # the kernel is checked against the real library first
    import permute.core

    calls = []

    def fake(x, y, **kwargs):
        calls.append(kwargs)
        return 0.5, 1.25

    monkeypatch.setattr(permute.core, "two_sample", fake)
    assert hypothesis_test(X, Y, "permutation") == (1.25, 0.5)
    assert calls == [{"reps": 10000, "stat": "t", "alternative": "two-sided", "seed": 20}]
    monkeypatch.setattr(permute.core, "two_sample", lambda x, y, **kw: (1, 2, 3))
    with pytest.raises(ValueError, match=re.escape("too many values to unpack (expected 2)")):
        hypothesis_test(X, Y, "permutation")
    monkeypatch.setattr(permute.core, "two_sample", lambda x, y, **kw: (1,))
    with pytest.raises(ValueError, match=re.escape("need more than 1 value to unpack")):
        hypothesis_test(X, Y, "permutation")


def test_permutation_is_repeatable():
    x, y = np.random.default_rng(5).normal(size=(2, 20))
    first = hypothesis_test(x, y, "permutation")
    assert hypothesis_test(x, y, "permutation") == first
    assert 0.0 < first[1] <= 1.0


@pytest.mark.parametrize("x, y", [
    (np.array([]), np.array([1.0, 2.0])),
    (np.array([1.0]), np.array([2.0])),
    (np.array([[1.0, 2.0]]), np.array([1.0, 2.0])),
])
def test_degenerate_samples_fail_or_succeed_as_the_library_does(x, y):
    with _quiet():
        try:
            expected = library_pair(x, y, reps=5)
        except Exception as exc:
            with pytest.raises(type(exc)):
                hypothesis_test(x, y, "permutation")
            return
        result = hypothesis_test(x, y, "permutation")
    assert isinstance(result, tuple) and len(result) == 2
