"""What a run prints while it works: the settings it resolved, one line per
step with what the step did, and a spinner on a terminal during the test.
The step lines are kept too, for the run's report."""
import contextlib
import sys
import threading
import time
import warnings

from pathlib import Path

import numpy as np

from tessera.cli.errors import count, one_line
from tessera.cli.model import model_words
from tessera.cli.options import AUTO_LOG
from tessera.cli.record import Step
from tessera.cli.results import ALPHA, F_TEST, note_counts, result_counts, untested_notes

# Warnings about the libraries' own code rather than about the data: nothing
# the user can act on, so they are not shown.
CODE_WARNINGS = (DeprecationWarning, PendingDeprecationWarning, FutureWarning)


class Progress:
    """The one-line-per-step summary on standard output; ``steps`` keeps each
    line as the report's Step (the rows kept and removed, where the step
    keeps or removes rows, and the rest of the line)."""

    WIDTH = 22

    def __init__(self, stream=None):
        self.stream = stream or sys.stdout
        self.steps = []

    def step(self, name, text, kept=None, removed=None):
        """Prints the step's line and keeps it; returns the line as printed."""
        line = f"{name:<{self.WIDTH}}{text}"
        print(line, file=self.stream, flush=True)
        why = text
        if kept is not None:
            why = why.removeprefix(f"{kept} rows kept, ").removeprefix(f"{kept} rows kept")
        self.steps.append(Step(name or "warnings", kept, removed, why))
        return line

    def note(self, text):
        print(text, file=self.stream, flush=True)

    @contextlib.contextmanager
    def warnings_of(self, what):
        """Collects the warnings raised inside the block into one line after the
        block's own lines: the libraries warn once per degenerate row (constant
        values, too few values), which would flood the terminal. Nothing is
        printed when the block raises."""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for category in CODE_WARNINGS:
                warnings.simplefilter("ignore", category)
            yield
        if caught:
            self.step("", f"{count(len(caught), 'warning')} from {what}, the first: "
                          f"{one_line(caught[0].message)}")


class Elapsed:
    """A spinner with the elapsed seconds on a terminal while a long call runs.

    The per-feature tests run as one library call (the adjustment needs every
    p-value), so there is no count to show; a thread redraws one line on
    ``stream`` after ``delay`` seconds and clears it when the call returns.
    Nothing is drawn when ``stream`` is not a terminal.
    """

    FRAMES = "|/-\\"

    def __init__(self, label, stream=None, delay=1.0, interval=0.25):
        self.label = label
        self.stream = stream or sys.stderr
        self.delay = delay
        self.interval = interval
        self._stop = threading.Event()
        self._thread = None

    def __enter__(self):
        if getattr(self.stream, "isatty", lambda: False)():
            self._thread = threading.Thread(target=self._draw, daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        return False

    def _draw(self):
        start = time.monotonic()
        if self._stop.wait(self.delay):
            return
        frame, width = 0, 0
        while True:
            line = f"{self.label} {self.FRAMES[frame % 4]} {time.monotonic() - start:.0f} s"
            width = max(width, len(line))
            self.stream.write("\r" + line)
            self.stream.flush()
            frame += 1
            if self._stop.wait(self.interval):
                break
        self.stream.write("\r" + " " * width + "\r")
        self.stream.flush()


# How the moderated test's switches are described.
MODERATED_WORDS = {"moderated_trend": "prior following the intensity",
                   "moderated_robust": "robust prior",
                   "moderated_legacy": "classic prior estimate"}


def _setting(key, value, run):
    """One setting of the settings line; a default says so."""
    if key == "log_transform" and value == AUTO_LOG:
        text = "log_transform=2 (default; none when the values are logarithms already)"
    else:
        text = f"{key}={value!r}" + (" (default)" if key in run.defaults else "")
    return text


def describe(run):
    """The settings, groups and test of a run, as printed before it starts."""
    given = {**run.reading, **run.rollup_settings, **run.settings}
    settings = ", ".join(_setting(key, value, run) for key, value in given.items()) or "none"
    groups = "; ".join(f"{name}: {', '.join(columns)}" for name, columns in run.groups)
    if run.design is not None:
        groups += f" (design {run.design})"
    test = f"{run.method} ({run.test.help}"
    model = run.model
    if model is not None:
        test += ": F test of equal group means" if model.f_only else \
            ": t of each contrast" + (" and their F test" if len(model.contrasts) > 1 else "")
    elif run.method == "moderated":
        test += ": t for two groups" if run.two_groups else ": F test of equal group means"
    if run.method == "moderated":
        test += "".join(f", {word}" for key, word in MODERATED_WORDS.items() if getattr(run, key))
    if run.test.needs.complete:
        test += ", on the features measured in every sample)"
    elif "impute" in run.settings:
        test += ", on each feature's measured and imputed values)"
    else:
        test += ", on each feature's measured values)"
    if run.detection:
        test += (", with the detection test (Fisher's exact test of measured against not "
                 "measured, combined with the intensity test by Fisher's method where a "
                 "feature has both)")
    elif model is not None and not run.no_detection and run.two_groups:
        test += ", without the detection test (not combined with a model's tests)"
    elif run.two_groups and not run.no_detection and not run.paired and \
            not run.test.needs.complete and "impute" not in run.settings:
        sizes = " and ".join(str(len(columns)) for _, columns in run.groups)
        test += (f", without the detection test (with {sizes} samples it cannot reach "
                 f"p < {ALPHA})")
    if run.two_groups and model is None:
        test += f", fold change {run.fold_change_method}"
        if run.paired:
            test += (", pairs from the design's pair column" if run.paired_by_design
                     else ", the groups' samples paired in the order given")
    lines = [f"settings: {settings}", f"groups:   {groups}"]
    if model is not None:
        lines.append(f"model:    {model_words(model)}")
    lines.append(f"test:     {test}, adjusted with {run.multipletest_method}")
    return "\n".join(lines)


def read_summary(table):
    """Rows read, from which file, in which format and quantity."""
    what = [table.format] + ([table.quantity] if table.quantity else []) + \
        [count(len(table.samples), "sample")]
    if table.label_column is not None:
        what.append(f"labels from {table.label_column!r}")
    text = f"{table.rows_read} rows from {Path(table.path).name} ({', '.join(what)})"
    cells = table.rows_read * len(table.samples)
    if table.not_measured:
        *head, last = table.written_as
        forms = f"{', '.join(head)} or {last}" if head else last
        text += (f"; {table.not_measured} of its {cells} cells not measured (written as "
                 f"{forms}), now missing values")
    return text


# Up to this many runs the per-run line names each run; beyond, the report does.
RUNS_LISTED = 12


def _kept_counts(step):
    """'1052 precursors, 863 peptides, 371 protein groups, 371 genes' of a
    reader's Step, without the kinds the format does not have. A gene column
    left empty (as some engine versions write it) counts as none: "0 genes"
    beside protein groups would read as if the genes had been filtered out."""
    genes = None if step.genes == 0 and step.protein_groups else step.genes
    kinds = (("precursor", step.precursors), ("peptide", step.peptides),
             ("protein group", step.protein_groups), ("gene", genes))
    return ", ".join(count(n, kind) for kind, n in kinds if n is not None)


def rollup_summaries(rolled, run):
    """The lines of a precursor report's reading and roll-up, as
    [(name, text, rows kept, rows removed)]: what the reading and each filter
    kept, the roll-up, and the precursors and proteins quantified per run."""
    report = rolled.precursors
    feature, noun = report.feature, rolled.noun
    first = report.steps[0]
    read = (f"{first.rows} rows from {Path(report.path).name} ({report.format}, "
            f"{report.quantity}, {count(len(report.runs), 'run')}; a row is a {feature} "
            f"in a run): {_kept_counts(first)}")
    lines = [("read", read, first.rows, None)]
    for before, step in zip(report.steps, report.steps[1:]):
        removed = step.removed_from(before)
        what = f"{removed} summed into another row of their {feature} and run" \
            if step.name == "summed" else f"{removed} removed: {step.rule}"
        lines.append((step.name, f"{step.rows} rows kept, {what}; left {_kept_counts(step)}",
                      step.rows, removed))
    proteins = rolled.proteins
    text = (f"{count(len(proteins), noun)} x {count(proteins.shape[1], 'run')} by "
            f"{run.rollup_settings['rollup']} from their {feature}s; {rolled.single} of them from "
            f"a single {feature}, which gives their quantities as they are")
    lines.append(("rollup", text, len(proteins), None))
    per_run = rolled.per_run
    features, proteins_per_run = per_run.iloc[:, 0], per_run.iloc[:, 1]
    if len(per_run) <= RUNS_LISTED:
        text = f"{feature}s / {noun}s quantified: " + ", ".join(
            f"{name} {a}/{b}" for name, a, b in zip(per_run.index, features, proteins_per_run))
    else:
        text = (f"{feature}s quantified from {features.min()} ({features.idxmin()}) to "
                f"{features.max()}, {noun}s from {proteins_per_run.min()} "
                f"({proteins_per_run.idxmin()}) to {proteins_per_run.max()}; the report "
                "lists every run")
    lines.append(("per run", text, None, None))
    return lines


def unused_runs_summary(unused, run):
    """The runs that no group names: rolled up with the others, not tested."""
    where = "the design" if run.design is not None else "a group"
    return f"{count(len(unused), 'run')} not in {where}, rolled up and preprocessed with " \
           f"the others but not tested: {', '.join(unused)}"


def flagged_summary(table, keep_flagged):
    """The rows removed for the format's flags, per flag; None when the
    format flags nothing."""
    if keep_flagged:
        return f"{len(table.values)} rows kept, flagged rows kept (--keep-flagged)"
    if not table.removed:
        return None
    per_flag = ", ".join(f"{flag} {n}" for flag, n in table.removed.items())
    text = f"{len(table.values)} rows kept, {table.rows_removed} flagged rows removed: {per_flag}"
    if sum(table.removed.values()) > table.rows_removed:
        text += " (a row with several flags counts under each)"
    return text


def unused_summary(unused, run):
    """The table's samples that no group names: preprocessed with the others
    (--samples leaves them out altogether), but not tested."""
    where = "the design" if run.design is not None else "a group"
    return f"{count(len(unused), 'sample')} not in {where}, preprocessed but not tested " \
           f"(to leave them out, name the samples with --samples): {', '.join(unused)}"


def _number(value):
    # rounding off the last bits keeps a median of 1e-15 from showing as such
    return f"{round(float(value), 9) + 0.0:.3g}"


def _plain(value):
    """3 significant digits, without an exponent for large numbers."""
    return f"{value:.0f}" if 1000 <= abs(value) < float("inf") else _number(value)


# What each normalisation does, on its line.
NORMALIZE_WORDS = {
    "ratio_mode": "each column shifted by the mode of its log-ratios to the features' mean "
                  "profile",
    "ratio_median": "each column shifted by the median of its log-ratios to the features' "
                    "mean profile",
    "median_complete": "each column shifted by its median over the features measured in "
                       "every column",
    "reference": "each column shifted by the median of its log-ratios over the reference "
                 "features",
    "log_median_0": "each column minus its median",
    "origin_median_1": "each column divided by its median",
}


def step_summary(key, value, before, after, settings=None, imputed=None, shifts=None):
    """What one preprocessing step did, from the table before and after it."""
    kept = f"{len(after)} rows kept"
    if key == "remove_decoy":
        return f"{kept}, {len(before) - len(after)} matching {value!r} removed"
    if key == "noise_filter":
        emptied = int(after.isna().to_numpy().sum() - before.isna().to_numpy().sum())
        share = emptied / max(after.size, 1)
        return f"{kept}, {emptied} cells below {value} set missing ({share:.0%})"
    if key == "log_transform":
        return f"{kept}, every cell now log{value}"
    if key == "remove_missing_values":
        removed = len(before) - len(after)
        return f"{kept}, {removed} measured in fewer than {value}% of columns removed"
    if key == "min_valid":
        where = {"each": "a group", "any": "every group",
                 "all": "the groups' columns together"}[settings["min_valid_mode"]]
        return (f"{kept}, {len(before) - len(after)} with fewer than {value} measured "
                f"values in {where} removed")
    if key == "impute":
        filled = int(imputed.to_numpy().sum())
        share = filled / max(imputed.size, 1)
        if value == "downshift":
            how = (f"normal draws {_number(settings['impute_shift'])} SD below each column's "
                   f"mean, width {_number(settings['impute_width'])} SD, seed "
                   f"{settings['impute_seed']}")
        else:
            how = f"each column's {_number(settings['impute_quantile'])} quantile"
        return (f"{kept}, {filled} missing cells of the groups' columns ({share:.0%}) filled "
                f"by {value}: {how}")
    if shifts is not None:
        words = NORMALIZE_WORDS[value]
        if value == "reference":
            where = settings.get("normalize_reference_column")
            words += f" {settings['normalize_reference']!r}" + (f" in {where!r}" if where else "")
        low, high = shifts.idxmin(), shifts.idxmax()
        return (f"{kept}, {value}: {words}; shifts from {_number(shifts[low])} ({low}) to "
                f"{_number(shifts[high])} ({high})")
    medians = after.median(axis=0, numeric_only=True)
    head = kept
    if key == "normalize":
        head += f", {value}" + (f" ({NORMALIZE_WORDS[value]})" if value in NORMALIZE_WORDS
                                else "")
    if len(medians) and np.allclose(medians, medians.iloc[0], equal_nan=True):
        return f"{head}, every column on median {_number(medians.iloc[0])}"
    return f"{head}, column medians from {_number(medians.min())} to {_number(medians.max())}"


# The summary line names this many reasons for untested features; the note
# column holds every feature's.
SHOWN_REASONS = 3


def _significance(run, tested):
    """How a test's significant features are counted: the level, the
    fold-change threshold where one applies, the adjustment and, under
    --treat, the fold change the test is against."""
    threshold = f" and absolute fold change >= {_number(run.fc_threshold)}" \
        if run.fc_threshold and run.has_fold_change and tested.fc is not None else ""
    treat = f" against |fold change| <= {_number(run.treat)}" if run.treat and \
        tested.fc is not None else ""
    return f"adjusted p < {ALPHA}{threshold} ({run.multipletest_method}){treat}"


def test_summary(table, run, prior=None):
    """How many features were tested, how many are significant (and in which
    direction), why the others have no p-value, from the note column, and the
    moderated test's prior (``prior``, its result's attrs["moderated"], with
    the block correlation and the sample weights when they were estimated).
    A model's significant features are counted per test, on the lines of
    ``contrast_summaries``."""
    columns = run.result_columns
    found = result_counts(table, columns, fc_threshold=run.fc_threshold)
    if run.model is not None:
        text = f"{found['tested']} features tested"
    else:
        text = (f"{found['tested']} features tested, {found['significant']} significant at "
                f"{_significance(run, columns)}")
    if found["direction"]:
        text += ": " + ", ".join(f"{n} {what}" for what, n in found["direction"].items())
    reasons = note_counts(untested_notes(table, columns))
    if reasons:
        untested = sum(reasons.values())
        shown = [f"{why} ({n})" for why, n in list(reasons.items())[:SHOWN_REASONS]]
        rest = sum(list(reasons.values())[SHOWN_REASONS:])
        if rest:
            shown.append(f"other reasons ({rest}; the {columns.note} column gives each)")
        text += f"; {untested} not tested: " + "; ".join(shown)
    if prior is not None:
        text += "; " + prior_summary(prior)
        text += "".join(f"; {words}" for words in estimates_summary(prior, run.model))
    return text


def contrast_summaries(table, run):
    """[(name, line)] of a model's tests: per contrast the features tested,
    the significant ones and their directions, then the F test's."""
    lines = []
    for tested in run.result_columns.tests:
        found = result_counts(table, tested, fc_threshold=run.fc_threshold)
        name = "F test" if tested.name == F_TEST else tested.name
        text = (f"{found['tested']} tested, {found['significant']} significant at "
                f"{_significance(run, tested)}")
        if found["direction"]:
            text += ": " + ", ".join(f"{n} {what}" for what, n in found["direction"].items())
        lines.append((name, text))
    return lines


def estimates_summary(prior, model):
    """The block correlation and the sample weights a model estimated, in words."""
    words = []
    if model is not None and "block_correlation" in prior:
        words.append(f"correlation within {model.block} {_number(prior['block_correlation'])}")
    weights = prior.get("sample_weights")
    if weights is not None:
        low, high = weights.idxmin(), weights.idxmax()
        words.append(f"sample weights from {_number(weights[low])} ({low}) to "
                     f"{_number(weights[high])} ({high})")
    return words


def prior_summary(prior):
    """The moderated test's prior in words: its variance and degrees of
    freedom, as ranges where a trend or a robust fit makes them vary."""
    def spread(values):
        values = np.atleast_1d(np.asarray(values, dtype=float))
        low, high = (_plain(v) for v in (np.nanmin(values), np.nanmax(values)))
        return low if low == high else f"{low} to {high}"
    return (f"prior variance {spread(prior['s2_prior'])} on {spread(prior['df_prior'])} "
            "degrees of freedom")
