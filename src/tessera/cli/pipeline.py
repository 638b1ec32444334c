"""The analysis proper: the preprocessing steps in the library's order, then
the per-feature test between the groups.

A step that is asked for and fails stops the run with a UsageError that says
why and what to change, instead of passing its input on as if it had worked.
"""
import contextlib
import io
from dataclasses import dataclass, replace

import numpy as np
import pandas as pd

from tessera.cli.errors import UsageError, count
from tessera.cli.options import AUTO_LOG, LOG_SCALE_BELOW, OFF, SHIFT_NORMALIZATIONS, flag_of
from tessera.cli.progress import Elapsed, contrast_summaries, step_summary, test_summary

# The preprocessing steps in the order they run: the library's pipeline, with
# the per-group filter after its total filter and the imputation last, on the
# normalised values.
STEPS = ("remove_decoy", "noise_filter", "log_transform", "remove_missing_values", "min_valid",
         "normalize", "impute")
# The steps' parameters, kept with the steps in a run's settings.
STEP_PARAMETERS = ("min_valid_mode", "normalize_reference", "normalize_reference_column",
                   "impute_seed", "impute_shift", "impute_width",
                   "impute_quantile")
STEP_KEYS = STEPS + STEP_PARAMETERS
# The filters of rows with missing values; the quality-control figures show
# the table as it was before them.
MISSING_VALUE_FILTERS = ("remove_missing_values", "min_valid")


@dataclass
class Preprocessed:
    table: pd.DataFrame
    before_normalize: pd.DataFrame | None   # None when the normalisation did not run
    log_base: int | None                    # None when no log transform ran
    # the table before any missing value was filtered or filled: as it entered
    # the first missing-value filter or the imputation (the final table when
    # neither ran)
    before_filters: pd.DataFrame | None = None
    # True where the imputation filled a cell of a group column; None without it
    imputed: pd.DataFrame | None = None
    # the table before the imputation (the final table without it)
    before_impute: pd.DataFrame | None = None
    # each sample's shift from the normalisations of differential.normalize
    # (subtracted from its values); None for the others
    shifts: pd.Series | None = None


def looks_logarithmic(df):
    """(whether the table holds logarithms, the median of its measured values):
    a median below LOG_SCALE_BELOW is no intensity a mass spectrometer reports."""
    values = df.to_numpy(dtype=float)
    measured = values[np.isfinite(values)]
    median = float(np.median(measured)) if measured.size else float("nan")
    return bool(median < LOG_SCALE_BELOW), median


def run_preprocessing(df, run, progress, annotations=None):
    """Runs the configured steps in their order, one summary line each.

    The default log transform (AUTO_LOG) is decided here, on the values read:
    base 2, or none when they are logarithms already; run.settings then holds
    what was done, which the report, the fold change's name and run.toml take."""
    from tessera.tools import preprocess

    settings = run.settings
    before_normalize, before_filters, before_impute = None, None, None
    imputed, log_base, shifts = None, None, None
    for key in STEPS:
        if key not in settings:
            continue
        value = settings[key]
        if key == "log_transform" and value == AUTO_LOG:
            logarithmic, median = looks_logarithmic(df)
            value = settings[key] = OFF if logarithmic else 2
            if logarithmic:
                progress.step(key, f"{len(df)} rows kept, not transformed: the measured values "
                              f"have median {median:.3g}, below {LOG_SCALE_BELOW}, so they are "
                              "logarithms already", kept=len(df), removed=0)
                continue
        if value == OFF:
            continue
        if key in MISSING_VALUE_FILTERS + ("impute",) and before_filters is None:
            before_filters = df
        with progress.warnings_of(key):
            if key == "min_valid":
                result = _min_valid(df, run)
            elif key == "impute":
                result, imputed = _impute(df, run)
            elif key == "normalize" and value in SHIFT_NORMALIZATIONS:
                result, shifts = _normalize(df, run, annotations)
            else:
                # normalize changes the table it is given; keep the input for the figure
                given = df.copy() if key == "normalize" else df
                # log_transform prints "Fail to do log transform" on failure; the
                # failure is reported below, with its cause
                with contextlib.redirect_stdout(io.StringIO()):
                    result = getattr(preprocess, key)(given, value)
                _check_step(key, value, df, result, settings)
            progress.step(key, step_summary(key, value, df, result, settings, imputed, shifts),
                          kept=len(result), removed=len(df) - len(result))
        if len(result) == 0:
            raise UsageError(f"no rows left after {key} {value!r}; loosen that setting")
        if key == "normalize":
            before_normalize = df
        if key == "log_transform":
            log_base = value
        if key == "impute":
            before_impute = df
        df = result
    return Preprocessed(df, before_normalize, log_base,
                        before_filters=df if before_filters is None else before_filters,
                        imputed=imputed, before_impute=df if before_impute is None else
                        before_impute, shifts=shifts)


def _group_columns(run):
    return [column for _, columns in run.groups for column in columns]


def _min_valid(df, run):
    from tessera.tools import differential

    return differential.filter_valid(df, run.groups, run.settings["min_valid"],
                                     run.settings["min_valid_mode"])


def _normalize(df, run, annotations):
    """The table normalised by differential.normalize, every sample column
    (as the other steps treat them all), and the shift of each."""
    from tessera.tools import differential

    method = run.settings["normalize"]
    reference, where = run.settings.get("normalize_reference"), None
    column = run.settings.get("normalize_reference_column")
    if column is not None:
        if annotations is None or column not in annotations.columns:
            known = ", ".join(map(repr, [] if annotations is None else annotations.columns))
            known = known or "none (drop it to search the identifiers)"
            raise UsageError(f"--normalize-reference-column {column!r} is no annotation column "
                             f"of the table; choose one of: {known}")
        where = annotations[column].reindex(df.index)
    try:
        return differential.normalize(df, list(df.columns), method, reference=reference,
                                      reference_column=where)
    except ValueError as exc:
        parameter = getattr(exc, "parameter", None)
        if parameter == "df":  # the values look linear
            fix = "drop --log-transform none so that the values are log-transformed"
        elif parameter in ("reference", "reference_column"):
            fix = "check --normalize-reference and --normalize-reference-column"
        else:
            fix = "choose another --normalize (e.g. log_median_0) or --normalize none"
        raise UsageError(f"normalize {method} failed: {exc}; {fix}") from None


def _impute(df, run):
    """The table with the missing cells of the group columns filled, and
    where they were filled."""
    from tessera.tools import differential

    method = run.settings["impute"]
    parameters = {key.removeprefix("impute_"): run.settings[key] for key in
                  ("impute_seed", "impute_shift", "impute_width", "impute_quantile")
                  if key in run.settings}
    try:
        return differential.impute(df, _group_columns(run), method, **parameters)
    except ValueError as exc:
        column = getattr(exc, "column", None)
        group = next((f" (group {name!r})" for name, columns in run.groups
                      if column in columns), "")
        raise UsageError(f"impute {method} failed: {exc}{group}; leave that sample out of "
                         "its group, or drop --impute") from None


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


def run_test(df, run, progress, imputed=None):
    """The per-feature test table, with its summary line: the samples, the
    test's columns, the measured values per feature and group (n_<group>),
    with imputation the filled cells among them (imputed_<group>), and the
    note of why a feature has no p-value (<method>_note)."""
    label = f"{run.method} test"
    with progress.warnings_of("the test"):
        with Elapsed(f"{label} on {len(df)} features"):
            table = _test_model(df, run) if run.model is not None else _test_features(df, run)
        table.index.name = df.index.name   # the test's rows are rebuilt without the index's name
        prior = table.attrs.get("moderated")
        if imputed is not None:
            table = _with_imputed(table, imputed, run)
        if table[run.result_columns.p].astype(float).isna().all():
            raise UsageError(_test_failure(df, table, run, label))
        progress.step(label, test_summary(table, run, prior))
        for name, text in contrast_summaries(table, run):
            progress.step(name, text)
    return table


def _test_features(df, run):
    from tessera.tools import differential

    test = differential.test_hurdle if run.detection else differential.test_features
    try:
        table = test(df, run.groups, run.method, multipletest_method=run.multipletest_method,
                     **run.test_options)
    except ValueError as exc:
        raise UsageError(f"the {run.method} test cannot run on this table: "
                         f"{_test_refusal(exc, run)}") from None
    if run.two_groups and run.fold_change_method == "paired":
        # the library's fold change is the difference of the group means
        group_fc = replace(run.result_columns, fold_change="group").fc
        position = table.columns.get_loc(group_fc)
        table = table.drop(columns=group_fc)
        table.insert(position, run.result_columns.fc,
                     paired_fold_change(df, run.groups, every_pair=run.test.needs.complete))
    return table


def _test_model(df, run):
    """test_contrasts' table of the run's model, with the measured values per
    feature and group (n_<group>) before the note, as test_features gives them."""
    from tessera.tools import differential

    model = run.model
    try:
        table = differential.test_contrasts(
            df, model.samples, model.design, {c.name: c.coefficients for c in model.contrasts},
            block=model.block, sample_weights=model.sample_weights, lfc=model.treat or 0.0,
            multipletest_method=run.multipletest_method, **run.test_options)
    except ValueError as exc:
        raise UsageError(f"the {run.method} test cannot run on this table: "
                         f"{_test_refusal(exc, run)}") from None
    measured = run.result_columns.measured
    _check_free(table, measured, run)
    counts = differential.count_valid(df, run.groups)
    position = table.columns.get_loc(run.result_columns.note)
    for offset, (name, column) in enumerate(zip(counts.columns, measured)):
        table.insert(position + offset, column, counts[name])
    return table


def _test_refusal(exc, run):
    """Why test_features refused the table, with its keywords as the options
    that set them. The one refusal that names them is of the moderated
    test's trend or robust prior with the likelihood estimate of the prior,
    which the run's switches name; any other is the library's as it is."""
    if run.method != "moderated" or getattr(exc, "parameter", None) not in ("trend", "robust"):
        return str(exc)
    switches = " with ".join(flag_of(key) for key in ("moderated_trend", "moderated_robust")
                             if getattr(run, key))
    legacy = flag_of("moderated_legacy")
    return (f"method 'moderated': {switches} is not built for the likelihood estimate of the "
            f"prior, which the default (without {legacy}) takes when the residual degrees of "
            f"freedom differ between features (as missing values make them); pass {legacy} "
            "for the classic estimate")


def paired_fold_change(df, groups, *, every_pair=False):
    """The mean of the paired differences (the i-th sample of the first group
    minus the i-th of the second) over the pairs measured in both; NaN for a
    feature without such a pair, and with ``every_pair`` for a feature with a
    pair not measured (the fold change of a test that needs every value is
    that of the features it tests)."""
    (_, first), (_, second) = groups
    differences = df[first].to_numpy(dtype=float) - df[second].to_numpy(dtype=float)
    measured = np.isfinite(differences)
    pairs = measured.sum(axis=1)
    total = np.where(measured, differences, 0.0).sum(axis=1)
    enough = pairs == len(first) if every_pair else pairs > 0
    with np.errstate(invalid="ignore", divide="ignore"):
        return pd.Series(np.where(enough, total / pairs, np.nan), index=df.index)


def _check_free(table, names, run):
    taken = [name for name in names if name in table.columns]
    if taken:
        raise UsageError(f"the table already has a column {taken[0]!r}, which the "
                         f"{run.method} test adds; rename that sample or group")


def _with_imputed(table, imputed, run):
    """The test table with imputed_<group>, the filled cells per feature and
    group, after the n_<group> columns."""
    added = run.result_columns.imputed
    _check_free(table, added, run)
    position = table.columns.get_loc(run.result_columns.note)
    filled = imputed.reindex(table.index)
    table = table.copy()
    for offset, ((name, columns), column) in enumerate(zip(run.groups, added)):
        table.insert(position + offset, column, filled[columns].sum(axis=1).astype("int64"))
    return table


def _test_failure(df, table, run, label):
    """Why the test gave no feature a p-value, with the option that helps."""
    head = f"the {label} gave none of the {len(df)} features a p-value"
    empty = [column for column in _group_columns(run) if df[column].isna().all()]
    if empty and run.test.needs.complete:
        return (f"{head}: sample column {empty[0]!r} has no values left after the "
                "preprocessing; leave it out of its group")
    notes = table[run.result_columns.note].astype(str).value_counts()
    note, n = notes.index[0], int(notes.iloc[0])
    why = f"{head}; {n} of them: {note}"
    if note.startswith("a missing value"):
        fix = ("raise --remove-missing-values to 100" if "remove_missing_values" in run.settings
               else "add --remove-missing-values 100")
        return (f"{why}; {run.method} takes missing values as they are, {fix} to test the "
                "rows measured in every sample, or choose a test on the measured values "
                "(Welch, t, mannwhitneyu)")
    if "needed" in note:
        return (f"{why}; check that the groups name the right sample columns, or fill the "
                "missing values with --impute downshift")
    return f"{why}; check that the groups name the right sample columns"
