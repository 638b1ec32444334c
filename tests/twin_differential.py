"""Plain-Python twin of tessera.tools.differential.

The same checks in the same order with the same messages, then the
straightforward computation: for every feature, the measured (finite) values
of each group and the library's one-row call on them. The behaviour tests,
the fuzz tests and the benchmark use it as the reference route.
"""
import collections.abc
import operator
import warnings

import numpy as np
import pandas as pd
from pandas.errors import InvalidIndexError
from scipy import stats
from statsmodels.stats import multitest

import twin_vetting

# name: (fewest groups, most groups or None, fewest measured values per group,
#        one-row call, its keyword arguments, note when all values are equal)
METHODS = {
    "t": (2, 2, 2, "ttest_ind", {"equal_var": True}, "no variance in either group"),
    "Welch": (2, 2, 2, "ttest_ind", {"equal_var": False}, "no variance in either group"),
    "mannwhitneyu": (2, 2, 1, "mannwhitneyu", {}, "all values equal"),
    "paired_t": (2, 2, 2, "paired_t", {}, None),
    "Wilcoxon": (2, 2, 1, "Wilcoxon", {}, None),
    "permutation": (2, 2, 1, "permutation", {}, None),
    "anova": (3, None, 2, "f_oneway", {}, "no variance in any group"),
}
# The tests that need every value: Vetting's per-row test on the complete
# rows, and the command line's notes.
COMPLETE = {"paired_t": "every pair", "Wilcoxon": "every pair", "permutation": "every value"}
NO_VARIATION = "values that do not vary within the groups"
METHOD_CHOICES = ("'moderated' (two or more groups), 't', 'Welch', 'mannwhitneyu', 'paired_t', "
                  "'Wilcoxon', 'permutation' (two groups), 'anova' (three or more groups)")
UNDEFINED = "the test gave no p-value for these values"


def _corrections():
    names = set(multitest.multitest_methods_names)
    for spellings in getattr(multitest, "_alias_list", []):
        names.update(spellings)
    choices = ", ".join(f"'{k}' ({v})" for k, v in multitest.multitest_methods_names.items())
    return names, choices


CORRECTIONS, CORRECTION_CHOICES = _corrections()


def _is_text(obj):
    return isinstance(obj, (str, bytes))


def _check_frame(df):
    if not isinstance(df, pd.DataFrame):
        raise TypeError(f"df must be a pandas DataFrame, got {type(df).__name__}")


def _locate(columns, label, group_name):
    try:
        found = columns.get_loc(label)
    except (KeyError, InvalidIndexError):
        if group_name is not None:
            raise ValueError(f"group {group_name!r}: the table has no column {label!r}") from None
        raise ValueError(f"the table has no column {label!r}") from None
    if isinstance(found, int) and not isinstance(found, bool):
        return found
    raise ValueError(f"label {label!r} does not name a single column of the table")


def _check_numeric(dtypes, position, label, group_name):
    dtype = dtypes[position]
    if isinstance(dtype.kind, str) and dtype.kind in ("i", "u", "f"):
        return
    if group_name is not None:
        raise ValueError(f"group {group_name!r}: column {label!r} is not numeric (dtype {dtype})")
    raise ValueError(f"column {label!r} is not numeric (dtype {dtype})")


def _label_list(labels, group_name):
    if _is_text(labels) or not hasattr(labels, "__iter__"):
        if group_name is not None:
            raise ValueError(f"group {group_name!r}: its columns must be a list of column labels, "
                             f"got {labels!r}")
        raise TypeError(f"columns must be a list of column labels, got {labels!r}")
    return list(labels)


def read_groups(df, groups):
    """[(name, positions)] of the groups, checked."""
    mapping = not _is_text(groups) and isinstance(groups, collections.abc.Mapping)
    if mapping:
        entries = list(groups.items())
    elif _is_text(groups) or not hasattr(groups, "__iter__"):
        raise TypeError("groups must be a mapping {name: [column labels]} or a sequence of "
                        f"(name, [column labels]) pairs, got {type(groups).__name__}")
    else:
        entries = list(groups)
    columns = df.columns
    dtypes = df.dtypes.tolist()
    owner = {}
    out = []
    for i, entry in enumerate(entries):
        if not mapping and not (isinstance(entry, (tuple, list)) and len(entry) == 2):
            raise ValueError(f"groups[{i}] must be a (name, [column labels]) pair, got {entry!r}")
        name, labels = entry[0], entry[1]
        if not isinstance(name, str) or len(name) == 0:
            raise ValueError(f"group names must be non-empty strings, got {name!r}")
        if any(seen == name for seen, _ in out):
            raise ValueError(f"group name {name!r} is used twice")
        listed = _label_list(labels, name)
        if not listed:
            raise ValueError(f"group {name!r} has no columns")
        positions = []
        for label in listed:
            position = _locate(columns, label, name)
            if owner.get(position) == len(out):
                raise ValueError(f"group {name!r} lists column {label!r} twice")
            if position in owner:
                raise ValueError(f"column {label!r} is in group {out[owner[position]][0]!r} "
                                 f"and in group {name!r}")
            owner[position] = len(out)
            _check_numeric(dtypes, position, label, name)
            positions.append(position)
        out.append((name, positions))
    if not out:
        raise ValueError("groups is empty: name at least one group of columns")
    return out


def read_count(value, what):
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{what} must be an integer, got {value!r}")
    number = operator.index(value)
    if number < 0:
        raise ValueError(f"{what} must be 0 or more, got {value!r}")
    if number >= 2**63:
        raise ValueError(f"{what} is too large: {value!r}")
    return number


def float_values(df, positions):
    """The columns at `positions` as a (rows, columns) float64 matrix, pd.NA as NaN."""
    if not positions:
        return np.empty((len(df.index), 0))
    return np.column_stack([df.iloc[:, p].to_numpy(dtype="float64", na_value=np.nan)
                            for p in positions]) if len(df.index) else np.empty((0, len(positions)))


def measured(values):
    return values[np.isfinite(values)]


def counts_of(df, groups):
    return [np.isfinite(float_values(df, positions)).sum(axis=1).astype(np.int64)
            for _, positions in groups]


def count_valid(df, groups):
    _check_frame(df)
    groups = read_groups(df, groups)
    counts = np.array(counts_of(df, groups), dtype=np.int64).reshape(len(groups), len(df.index))
    return pd.DataFrame(counts.T, index=df.index, columns=[name for name, _ in groups])


def filter_valid(df, groups, min_valid, mode="each"):
    _check_frame(df)
    minimum = read_count(min_valid, "min_valid")
    if not isinstance(mode, str) or mode not in ("each", "any", "all"):
        raise ValueError(f"unknown mode {mode!r}: choose 'each', 'any' or 'all'")
    groups = read_groups(df, groups)
    counts = np.array(counts_of(df, groups), dtype=np.int64).reshape(len(groups), len(df.index))
    if mode == "each":
        keep = (counts >= minimum).all(axis=0)
    elif mode == "any":
        keep = (counts >= minimum).any(axis=0)
    else:
        keep = counts.sum(axis=0) >= minimum
    return df.iloc[keep]


def _read_real(value, what):
    if not isinstance(value, bool) and not _is_text(value):
        try:
            return float(value)
        except TypeError:
            pass
    raise TypeError(f"{what} must be a number, got {value!r}")


def impute(df, columns, method="downshift", shift=1.8, width=0.3, quantile=0.01, seed=0):
    _check_frame(df)
    if not isinstance(method, str) or method not in ("downshift", "mindet"):
        raise ValueError(f"unknown imputation method {method!r}: choose 'downshift' or 'mindet'")
    shift_value = _read_real(shift, "shift")
    width_value = _read_real(width, "width")
    quantile_value = _read_real(quantile, "quantile")
    if not np.isfinite(shift_value):
        raise ValueError(f"shift must be a finite number, got {shift!r}")
    if not (width_value > 0 and np.isfinite(width_value)):
        raise ValueError(f"width must be a positive finite number, got {width!r}")
    if not 0 < quantile_value < 1:
        raise ValueError(f"quantile must lie strictly between 0 and 1, got {quantile!r}")
    listed = _label_list(columns, None)
    dtypes = df.dtypes.tolist()
    positions = []
    for label in listed:
        position = _locate(df.columns, label, None)
        if position in positions:
            raise ValueError(f"column {label!r} is listed twice")
        _check_numeric(dtypes, position, label, None)
        positions.append(position)
    values = [df.iloc[:, p].to_numpy(dtype="float64", na_value=np.nan) for p in positions]
    for p, column in zip(positions, values):
        n = int(np.isfinite(column).sum())
        if n < 2:
            raise ValueError(f"column {df.columns[p]!r} has {n} finite value{'' if n == 1 else 's'}: "
                             "imputation needs at least 2")
    rng = np.random.default_rng(seed)
    table = df.copy(deep=True)
    marks = []
    for p, column in zip(positions, values):
        finite = measured(column)
        missing = np.isnan(column)
        filled = column.copy()
        if method == "downshift":
            m, s = np.mean(finite), np.std(finite, ddof=1)
            filled[missing] = rng.normal(m - shift_value * s, width_value * s, size=int(missing.sum()))
        else:
            filled[missing] = np.nanquantile(finite, quantile_value)
        table.isetitem(p, filled)
        marks.append(missing)
    imputed = pd.DataFrame(np.array(marks, dtype=bool).reshape(len(positions), len(df.index)).T,
                           index=df.index, columns=df.columns.take(positions))
    return table, imputed


def _short_note(names, counts, need):
    parts = [f"{n} value{'' if n == 1 else 's'} in {name}" for name, n in zip(names, counts) if n < need]
    text = parts[0] if len(parts) == 1 else ", ".join(parts[:-1]) + " and " + parts[-1]
    return f"{text}, {need} needed"


def adjust(p, correction):
    adjusted = np.full(p.shape, np.nan)
    keep = ~np.isnan(p)
    if keep.any():
        adjusted[keep] = multitest.multipletests(p[keep], method=correction)[1]
    return adjusted


def test_features(df, groups, method, min_valid=2, multipletest_method="fdr_bh", trend=False,
                  robust=False, legacy=False):
    _check_frame(df)
    if isinstance(method, str) and method == "moderated":
        raise NotImplementedError("the moderated tests are compared with limma (test_moderated.py)")
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"unknown method {method!r}: the methods are {METHOD_CHOICES}")
    fewest, most, floor, call, kwargs, no_variance = METHODS[method]
    for name, value in (("trend", trend), ("robust", robust), ("legacy", legacy)):
        if value:
            raise ValueError(f"{name}={value!r}: trend, robust and legacy apply to method "
                             f"'moderated' only, not to '{method}'")
    minimum = read_count(min_valid, "min_valid")
    if not (isinstance(multipletest_method, str) and multipletest_method.lower() in CORRECTIONS):
        raise ValueError(f"unknown multipletest_method {multipletest_method!r}: statsmodels offers "
                         f"{CORRECTION_CHOICES}")
    groups = read_groups(df, groups)
    if len(groups) < fewest or (most is not None and len(groups) > most):
        wanted = "two groups" if most == 2 else "three or more groups"
        raise ValueError(f"method '{method}' takes {wanted}, got {len(groups)} "
                         f"group{'' if len(groups) == 1 else 's'} (the methods are {METHOD_CHOICES})")
    if COMPLETE.get(method) == "every pair" and len(groups[0][1]) != len(groups[1][1]):
        (first, a), (second, b) = groups
        raise ValueError(f"method '{method}' pairs the i-th column of group {first!r} with the "
                         f"i-th of group {second!r}, so they need as many columns: {first!r} has "
                         f"{len(a)} and {second!r} {len(b)}")
    names = [name for name, _ in groups]
    labels = [f"{method}_stat", f"{method}_p", f"{method}_{multipletest_method}"]
    labels += ["group_fc"] if len(groups) == 2 else []
    labels += [f"n_{name}" for name in names] + [f"{method}_note"]
    for label in labels:
        if label in df.columns:
            raise ValueError(f"the table already has a column {label!r}; test_features adds the "
                             f"columns {labels!r}, so rename or drop it first")

    need = max(minimum, floor)
    values = [float_values(df, positions) for _, positions in groups]
    rows = len(df.index)
    stat, p = np.full(rows, np.nan), np.full(rows, np.nan)
    fc = np.full(rows, np.nan)
    counts = [np.zeros(rows, dtype=np.int64) for _ in groups]
    notes = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for r in range(rows):
            samples = [measured(v[r]) for v in values]
            for g, sample in enumerate(samples):
                counts[g][r] = len(sample)
            if len(groups) == 2:
                fc[r] = np.mean(samples[0]) - np.mean(samples[1])
            if method in COMPLETE:
                if any(len(s) < len(v[r]) for s, v in zip(samples, values)):
                    notes.append(f"a missing value, and {method} needs {COMPLETE[method]}")
                    continue
                if min(len(s) for s in samples) < need:
                    notes.append(_short_note(names, [len(s) for s in samples], need))
                    continue
                stat[r], p[r] = twin_vetting.hypothesis_test(*samples, method)[:2]
                notes.append("" if not np.isnan(p[r]) else NO_VARIATION)
                continue
            if min(len(s) for s in samples) < need:
                notes.append(_short_note(names, [len(s) for s in samples], need))
                continue
            stat[r], p[r] = getattr(stats, call)(*samples, **kwargs)[:2]
            if not np.isnan(p[r]):
                notes.append("")
            elif len(np.unique(np.concatenate(samples))) <= 1:
                notes.append(no_variance)
            else:
                notes.append(UNDEFINED)
    if method in COMPLETE:
        # pandas' mean of each group's columns, as Vetting's group fold change
        means = [df.iloc[:, positions].mean(axis=1).to_numpy(dtype=float, na_value=np.nan)
                 for _, positions in groups]
        fc = means[0] - means[1]
    columns = [stat, p, adjust(p, multipletest_method)]
    columns += [fc] if len(groups) == 2 else []
    columns += counts + [notes]
    result = df.copy(deep=True)
    for label, column in zip(labels, columns):
        result.insert(len(result.columns), label, column)
    return result
