"""The analysis proper: the preprocessing steps in the library's order, then
the per-feature test between the groups.

A step that is asked for and fails stops the run with a UsageError that says
why and what to change, instead of passing its input on as if it had worked.
"""
import contextlib
import io
from dataclasses import dataclass

import numpy as np
import pandas as pd

from tessera.cli.errors import UsageError, count
from tessera.cli.progress import Elapsed, step_summary, test_summary

# The preprocessing steps in the order the library's pipeline runs them.
STEPS = ("remove_decoy", "noise_filter", "log_transform", "remove_missing_values", "normalize")


@dataclass
class Preprocessed:
    table: pd.DataFrame
    before_normalize: pd.DataFrame | None   # None when the normalisation did not run
    log_base: int | None                    # None when no log transform ran


def run_preprocessing(df, settings, report):
    """Runs the configured steps in the pipeline's order, one summary line each."""
    from tessera.tools import preprocess

    before_normalize, log_base = None, None
    for key in STEPS:
        if key not in settings:
            continue
        value = settings[key]
        step = getattr(preprocess, key)
        # normalize changes the table it is given; keep the input for the figure
        given = df.copy() if key == "normalize" else df
        with report.warnings_of(key):
            # log_transform prints "Fail to do log transform" on failure; the
            # failure is reported below, with its cause
            with contextlib.redirect_stdout(io.StringIO()):
                result = step(given, value)
            _check_step(key, value, df, result, settings)
            report.step(key, step_summary(key, value, df, result))
        if len(result) == 0:
            raise UsageError(f"no rows left after {key} {value!r}; loosen that setting")
        if key == "normalize":
            before_normalize = df
        if key == "log_transform":
            log_base = value
        df = result
    return Preprocessed(df, before_normalize, log_base)


def _check_step(key, value, before, after, settings):
    """Raises a UsageError when the step's result shows that it did not do its work."""
    if key == "log_transform" and after is before:
        # the library hands its input back when a cell has no logarithm
        raise UsageError(_log_failure(before, value, settings))
    if key == "normalize":
        was = before.median(axis=0, numeric_only=True)
        now = after.median(axis=0, numeric_only=True)
        broken = np.isfinite(was) & ~np.isfinite(now)
        if broken.any():
            column = broken[broken].index[0]
            raise UsageError(
                f"normalize {value!r} failed: column {column!r} has median "
                f"{was[column]:g} and dividing by it leaves no finite median; "
                + ("add --noise-filter 1 so that zeros are missing values, not measurements"
                   if was[column] == 0 else "check the values of that column"))


def _log_failure(df, base, settings):
    """Why log_transform failed: zero or negative cells, with the option that helps."""
    values = df.to_numpy(dtype=float)
    zeros, negative = int((values == 0).sum()), int((values < 0).sum())
    noise_filter = "raise --noise-filter to 1" if "noise_filter" in settings else \
        "add --noise-filter 1"
    head = f"log_transform {base} failed"
    if negative:
        row, col = np.argwhere(values < 0)[0]
        found = f"{count(negative, 'negative cell')} (e.g. {values[row, col]:g} in column " \
                f"{df.columns[col]!r})" + (f" and {count(zeros, 'zero cell')}" if zeros else "")
        return (f"{head}: {found}, which have no logarithm; if the table already holds "
                f"logarithms drop --log-transform, otherwise {noise_filter} to make every "
                "cell below 1 missing first")
    if zeros:
        return (f"{head}: {count(zeros, 'zero cell')}, which have no logarithm (a zero is "
                f"usually a missing measurement); {noise_filter} to make them missing values "
                "first")
    return f"{head}: a cell has no logarithm; check the table for cells that are not numbers"


def run_test(df, run, report):
    """The per-feature test table, with its summary line."""
    from tessera.tools.vetting import Vetting

    vetting = Vetting({"out_dir": run.out})
    kwargs = {"multipletest_method": run.multipletest_method}
    label = f"{run.method} test" if run.two_groups else "one-way ANOVA"
    with report.warnings_of("the test"):
        with Elapsed(f"{label} on {len(df)} features"):
            if run.two_groups:
                kwargs["fold_change_method"] = run.fold_change_method
                table = vetting.stat_test_two_samples(df, run.groups, run.method, **kwargs)
            else:
                table = vetting.stat_test_oneway(df, run.groups, **kwargs)
        table.index.name = df.index.name   # the test's rows are rebuilt without the index's name
        if table[f"{run.test_name}_p"].astype(float).isna().all():
            raise UsageError(_test_failure(df, run, label))
        report.step(label, test_summary(table, run))
    return table


def _test_failure(df, run, label):
    """Why the test gave no feature a p-value, with the option that helps."""
    columns = [c for _, group in run.groups for c in group]
    head = f"the {label} gave none of the {len(df)} features a p-value"
    empty = [column for column in columns if df[column].isna().all()]
    if empty:
        return (f"{head}: sample column {empty[0]!r} has no values left after the "
                "preprocessing; leave it out of its group")
    if df[columns].isna().any(axis=1).all():
        fix = ("raise --remove-missing-values to 100" if "remove_missing_values" in run.settings
               else "add --remove-missing-values 100")
        return (f"{head}: every row has a missing value in a group, and the test takes "
                f"missing values as they are; {fix} to test the rows measured in every sample")
    return (f"{head}: no row has values that vary within its groups; check that the "
            "groups name the right sample columns")
