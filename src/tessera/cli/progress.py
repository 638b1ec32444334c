"""What a run prints while it works: the settings it resolved, one line per
step with what the step did, and a spinner on a terminal during the test."""
import sys
import threading
import time

import numpy as np

from tessera.cli.options import ALPHA


class Report:
    """The one-line-per-step summary on standard output."""

    WIDTH = 22

    def __init__(self, stream=None):
        self.stream = stream or sys.stdout

    def step(self, name, text):
        print(f"{name:<{self.WIDTH}}{text}", file=self.stream, flush=True)

    def note(self, text):
        print(text, file=self.stream, flush=True)


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


def describe(run):
    """The settings, groups and test of a run, as printed before it starts."""
    settings = ", ".join(f"{key}={value!r}" for key, value in run.settings.items()) or "none"
    groups = "; ".join(f"{name}: {', '.join(columns)}" for name, columns in run.groups)
    test = (f"{run.method}, fold change {run.fold_change_method}" if run.two_groups
            else "one-way ANOVA")
    return (f"settings: {settings}\ngroups:   {groups}\n"
            f"test:     {test}, adjusted with {run.multipletest_method}")


def _number(value):
    # rounding off the last bits keeps a median of 1e-15 from showing as such
    return f"{round(float(value), 9) + 0.0:.3g}"


def step_summary(key, value, before, after):
    """What one preprocessing step did, from the table before and after it."""
    kept = f"{len(after)} rows kept"
    if key == "remove_decoy":
        return f"{kept}, {len(before) - len(after)} matching {value!r} removed"
    if key == "noise_filter":
        emptied = int(after.isna().to_numpy().sum() - before.isna().to_numpy().sum())
        share = emptied / max(after.size, 1)
        return f"{kept}, {emptied} cells below {value} set missing ({share:.0%})"
    if key == "log_transform":
        if after is before:
            return (f"{kept}, FAILED: a cell is zero or negative, values stay linear "
                    "(--noise-filter 1 makes zeros missing first)")
        return f"{kept}, every cell now log{value}"
    if key == "remove_missing_values":
        removed = len(before) - len(after)
        return f"{kept}, {removed} measured in fewer than {value}% of columns removed"
    medians = after.median(axis=0, numeric_only=True)
    if len(medians) and np.allclose(medians, medians.iloc[0], equal_nan=True):
        return f"{kept}, every column on median {_number(medians.iloc[0])}"
    return f"{kept}, column medians from {_number(medians.min())} to {_number(medians.max())}"


def test_summary(table, run):
    """How many features the test table holds p-values for, and how many are significant."""
    p = table[f"{run.test_name}_p"].astype(float)
    adjusted = table[f"{run.test_name}_{run.multipletest_method}"].astype(float)
    significant = adjusted < ALPHA
    text = (f"{p.notna().sum()} features tested, {significant.sum()} significant at "
            f"adjusted p < {ALPHA} ({run.multipletest_method})")
    if run.two_groups:
        fc = table[f"{run.fold_change_method}_fc"].astype(float)
        (first, _), (second, _) = run.groups
        text += (f": {(significant & (fc > 0)).sum()} higher in {first}, "
                 f"{(significant & (fc < 0)).sum()} higher in {second}")
    if p.isna().any():
        text += f"; {p.isna().sum()} without a p-value (a missing value in the row)"
    return text
