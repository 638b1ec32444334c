"""The ``tessera`` command line.

    tessera analyze [FILE] [--group NAME=COL,COL,... ...] [options]

``analyze`` reads an intensity table, runs the preprocessing steps that are
asked for, tests every feature between the sample groups and writes the
cleaned table, the test table and three figures. Without FILE it runs on the
example table that ships with the package, with settings that suit it.

Everything is checked before the analysis starts; a problem is reported as
one line on standard error with exit status 2. Outputs are written under
temporary names and renamed only when all of them are complete, so a failed
run leaves no partial file behind.
"""
import argparse
import difflib
import os
import re
import secrets
import sys
import threading
import time
import tomllib
import warnings
from dataclasses import dataclass
from importlib import resources
from pathlib import Path

import numpy as np
import pandas as pd

from tessera import __version__, figures

# The preprocessing steps in the order the library's pipeline runs them.
STEPS = ("remove_decoy", "noise_filter", "log_transform", "remove_missing_values", "normalize")
TWO_GROUP_TESTS = ("t", "Welch", "paired_t", "Wilcoxon", "Mannwhiteneyu", "permutation")
FOLD_CHANGE_ONLY = ("log2fc", "fc", "plog2fc")
FOLD_CHANGE_METHODS = ("group", "paired")
# Methods that pair the i-th column of the first group with the i-th of the second.
PAIRED_METHODS = ("paired_t", "Wilcoxon")
DEFAULT_METHOD = "Welch"
DEFAULT_FOLD_CHANGE_METHOD = "group"
DEFAULT_MULTIPLETEST_METHOD = "fdr_bh"
ALPHA = 0.05
TOP_LABELLED = 10
READABLE_SUFFIXES = (".csv", ".tsv", ".xlsx")

EXAMPLE_SETTINGS = {
    "index": "Protein IDs",
    "remove_decoy": "REV__|CON__",
    "noise_filter": 1,
    "log_transform": 2,
    # The per-feature tests pass missing values on to the test, so a row with
    # one gets no p-value: the example keeps the rows measured in every sample.
    "remove_missing_values": 100,
    "normalize": "log_median_0",
}
# Treatment first, so that the fold changes read treat minus ctrl.
EXAMPLE_GROUPS = [
    ("treat", [f"treat_{i}" for i in range(1, 6)]),
    ("ctrl", [f"ctrl_{i}" for i in range(1, 6)]),
]


class UsageError(Exception):
    """A problem the user can fix: reported as one line, exit status 2."""


# ---------------------------------------------------------------- option values
# Each parser takes a value as given on the command line (text) or in a
# settings file (text or a TOML number) and returns the value the library
# receives, or raises ValueError with what is wrong and what to give instead.

def _text(raw):
    if not isinstance(raw, str) or not raw:
        raise ValueError("must be non-empty text")
    return raw


def _pattern(raw):
    pattern = _text(raw)
    try:
        re.compile(pattern)
    except re.error as exc:
        raise ValueError(f"is not a valid regular expression ({exc}); give the decoy "
                         "prefix, e.g. REV__") from None
    return pattern


def _integer(raw):
    if isinstance(raw, bool):
        raise ValueError("must be a whole number")
    if isinstance(raw, float) and raw.is_integer():
        return int(raw)
    try:
        return int(raw)
    except (TypeError, ValueError):
        raise ValueError("must be a whole number, e.g. 1") from None


def _log_base(raw):
    base = _integer(raw)
    if base < 2:
        raise ValueError("must be a whole-number logarithm base of at least 2, e.g. 2")
    return base


def _percent(raw):
    if isinstance(raw, bool):
        raise ValueError("must be a percentage from 0 to 100")
    try:
        percent = float(str(raw).strip("%"))
    except ValueError:
        raise ValueError("must be a percentage from 0 to 100, e.g. 70") from None
    if not 0 <= percent <= 100:
        raise ValueError("must be a percentage from 0 to 100, e.g. 70")
    return int(percent) if percent.is_integer() else percent


def _normalize(raw):
    match = re.fullmatch(r"(log|origin)_median_([^_]+)", _text(raw))
    hint = ("give log_median_0 for log values (each column minus its median) or "
            "origin_median_1 for linear values (each column divided by its median)")
    if match is None:
        raise ValueError(f"is not a normalisation; {hint}")
    try:
        value = float(match.group(2))
    except ValueError:
        raise ValueError(f"ends in no number; {hint}") from None
    if match.group(1) == "origin" and value == 0:
        raise ValueError(f"divides every value by zero; {hint}")
    return raw


def _choice(choices, what):
    def parse(raw):
        if raw in choices:
            return raw
        close = [c for c in choices if isinstance(raw, str) and c.lower() == raw.lower()]
        hint = f"did you mean {close[0]}? (names are case-sensitive)" if close else \
            f"choose one of {', '.join(choices)}"
        raise ValueError(f"is not a known {what}; {hint}")
    return parse


_test_method = _choice(TWO_GROUP_TESTS, "test")


def _method(raw):
    if raw in FOLD_CHANGE_ONLY:
        raise ValueError("computes a fold change, not a p-value; choose a test ("
                         f"{', '.join(TWO_GROUP_TESTS)}); the test table always "
                         "holds the fold change")
    return _test_method(raw)


def _multipletest_method(raw):
    from statsmodels.stats.multitest import multipletests

    _text(raw)
    try:
        multipletests(np.array([0.5]), method=raw)
    except ValueError:
        raise ValueError("is not a multiple-testing method of statsmodels; choose e.g. "
                         "fdr_bh, fdr_by, bonferroni, holm") from None
    return raw


@dataclass(frozen=True)
class Option:
    key: str        # settings-file key, and the library's own key or keyword
    metavar: str
    parse: object
    help: str

    @property
    def flag(self):
        return "--" + self.key.replace("_", "-")


OPTIONS = (
    Option("index", "COLUMN", _text,
           "column that names the features (default: INDEX)"),
    Option("remove_decoy", "PATTERN", _pattern,
           "drop rows whose name contains this regular expression, e.g. REV__"),
    Option("noise_filter", "N", _integer,
           "cells below N become missing values, e.g. 1 for zeros"),
    Option("log_transform", "BASE", _log_base,
           "logarithm of every cell to this base, e.g. 2"),
    Option("remove_missing_values", "PERCENT", _percent,
           "keep rows measured in at least PERCENT of the columns, e.g. 70"),
    Option("normalize", "SETTING", _normalize,
           "log_median_0 (subtract each column's median) or origin_median_1 (divide by it)"),
    Option("method", "TEST", _method,
           f"two-group test: {', '.join(TWO_GROUP_TESTS)} (default: {DEFAULT_METHOD})"),
    Option("fold_change_method", "HOW", _choice(FOLD_CHANGE_METHODS, "fold-change method"),
           "group (difference of the group means, default) or paired (mean of the "
           "paired differences)"),
    Option("multipletest_method", "NAME", _multipletest_method,
           "multiple-testing adjustment of statsmodels (default: fdr_bh)"),
    Option("out", "PREFIX", _text,
           "output file names start with PREFIX (default: results/<file name>); "
           "a directory ending in / gets the file name as prefix"),
)
OPTION_BY_KEY = {option.key: option for option in OPTIONS}
CONFIG_KEYS = ("file", "groups") + tuple(OPTION_BY_KEY)
TEST_KEYS = ("method", "fold_change_method")


def parse_group(text):
    """NAME=COL,COL,... as given to --group, into (name, [columns])."""
    name, sep, columns = text.partition("=")
    if not sep or not name.strip():
        raise UsageError(f"--group {text!r}: write it as NAME=COL,COL,... e.g. "
                         "--group ctrl=S1,S2,S3")
    return name.strip(), [c.strip() for c in columns.split(",") if c.strip()]


def _count(n, noun):
    return f"{n} {noun}" + ("" if n == 1 else "s")


def check_groups(groups, where):
    """At least two groups, each of at least two distinct columns, no column in two."""
    if len(groups) < 2:
        raise UsageError(f"{where}: {_count(len(groups), 'group')} given; give at least "
                         "two, e.g. --group ctrl=S1,S2,S3 --group treat=S4,S5,S6")
    seen_names, owner = set(), {}
    for name, columns in groups:
        if name in seen_names:
            raise UsageError(f"{where}: group {name!r} is given twice; give each group "
                             "a name of its own")
        seen_names.add(name)
        if len(columns) < 2:
            raise UsageError(f"{where}: group {name!r} has {_count(len(columns), 'column')}; "
                             "a test needs at least two samples per group, list them as "
                             f"{name}=COL,COL,...")
        for column in columns:
            if column in owner:
                where_else = "twice" if owner[column] == name else \
                    f"in groups {owner[column]!r} and {name!r}"
                raise UsageError(f"{where}: column {column!r} is listed {where_else}; "
                                 "each sample belongs to one group")
            owner[column] = name
    return groups


# ---------------------------------------------------------------- settings file

def load_config(path):
    """The settings file as {key: (value, label)}, with the file's own types."""
    try:
        with open(path, "rb") as handle:
            data = tomllib.load(handle)
    except FileNotFoundError:
        raise UsageError(f"settings file {path} not found; check the --config path") from None
    except IsADirectoryError:
        raise UsageError(f"settings file {path} is a directory; give a .toml file") from None
    except OSError as exc:
        raise UsageError(f"cannot read settings file {path} ({exc.strerror}); "
                         "check its permissions") from None
    except ValueError as exc:  # TOMLDecodeError, or bytes that are not UTF-8
        raise UsageError(f"settings file {path} is not valid TOML ({exc}); fix that "
                         "line") from None
    values = {}
    for key, value in data.items():
        if key not in CONFIG_KEYS:
            close = difflib.get_close_matches(key, CONFIG_KEYS, n=1)
            hint = f"did you mean {close[0]}?" if close else \
                f"known keys: {', '.join(CONFIG_KEYS)}"
            raise UsageError(f"settings file {path}: unknown key {key!r}; {hint}")
        values[key] = (value, f"{path}: {key} =")
    if "groups" in values:
        values["groups"] = (_config_groups(data["groups"], path), f"{path}: groups")
    for key in CONFIG_KEYS:
        if key in values and key != "groups" and isinstance(values[key][0], (dict, list)):
            raise UsageError(f"settings file {path}: {key} must be a single value, "
                             f"e.g. {key} = \"...\"")
    return values


def _config_groups(table, path):
    if not isinstance(table, dict) or not all(
            isinstance(columns, list) and all(isinstance(c, str) for c in columns)
            for columns in table.values()):
        raise UsageError(f"settings file {path}: groups must be a table of column lists, "
                         "e.g. [groups] then ctrl = [\"S1\", \"S2\", \"S3\"]")
    return [(name, list(columns)) for name, columns in table.items()]


# ---------------------------------------------------------------- the resolved run

@dataclass
class Run:
    file: Path
    example: bool
    settings: dict          # the preprocessing settings mapping, as the library takes it
    groups: list            # [(name, [columns])], in the order given
    method: str | None      # the two-group test; None when the one-way test runs
    fold_change_method: str
    multipletest_method: str
    out: str                # prefix for Vetting's output paths

    @property
    def two_groups(self):
        return len(self.groups) == 2

    @property
    def test_name(self):
        return self.method if self.two_groups else "oneway"


def resolve(ns, example_file):
    """Merges built-in defaults, the settings file and the options into a Run.

    Command-line options win over the settings file; --group options replace
    the file's groups as a whole. The example's settings fill in only what
    neither gives, and only when no input file is named.
    """
    given = load_config(ns.config) if ns.config else {}
    for option in OPTIONS:
        value = getattr(ns, option.key)
        if value is not None:
            given[option.key] = (value, option.flag)
    if ns.file is not None:
        given["file"] = (ns.file, "FILE")
    if ns.groups:
        given["groups"] = ([parse_group(text) for text in ns.groups], "--group")

    example = "file" not in given
    if example:
        for key, value in EXAMPLE_SETTINGS.items():
            given.setdefault(key, (value, "example setting"))
        given.setdefault("groups", (EXAMPLE_GROUPS, "example groups"))
        file = example_file
    else:
        raw, label = given.pop("file")
        if not isinstance(raw, str) or not raw:
            raise UsageError(f"{label}: the input file must be a path")
        file = Path(raw)
        check_input_file(file)

    values = {}
    for key, (raw, label) in given.items():
        if key == "groups":
            continue
        try:
            values[key] = OPTION_BY_KEY[key].parse(raw)
        except ValueError as exc:
            raise UsageError(f"{label} {raw!r} {exc}") from None

    if "groups" not in given:
        raise UsageError("no sample groups given; name at least two with --group, e.g. "
                         "--group ctrl=S1,S2,S3 --group treat=S4,S5,S6")
    groups, label = given["groups"]
    groups = check_groups(groups, label)

    if len(groups) > 2:
        for key in TEST_KEYS:
            if key in values:
                raise UsageError(f"{given[key][1]} {given[key][0]!r}: with {len(groups)} "
                                 "groups a one-way ANOVA runs, which takes no "
                                 f"{key}; drop it or give two groups")
        method = None
    else:
        method = values.get("method", DEFAULT_METHOD)
        (_, first), (_, second) = groups
        pairs = method in PAIRED_METHODS or values.get("fold_change_method") == "paired"
        if pairs and len(first) != len(second):
            what = method if method in PAIRED_METHODS else "the paired fold change"
            raise UsageError(f"{what} pairs the columns of the two groups in order; give "
                             f"groups of equal size ({len(first)} and {len(second)} given)")

    settings = {key: values[key] for key in ("index",) + STEPS if key in values}
    return Run(
        file=file,
        example=example,
        settings=settings,
        groups=groups,
        method=method,
        fold_change_method=values.get("fold_change_method", DEFAULT_FOLD_CHANGE_METHOD),
        multipletest_method=values.get("multipletest_method", DEFAULT_MULTIPLETEST_METHOD),
        out=out_prefix(values.get("out"), file),
    )


def check_input_file(file):
    if not file.exists():
        raise UsageError(f"input file {file} not found; check the path")
    if file.is_dir():
        raise UsageError(f"input file {file} is a directory; give a .csv, .tsv or .xlsx file")
    # the reader is picked by the exact, lower-case suffix
    if file.suffix not in READABLE_SUFFIXES:
        kind = f"{file.suffix} files" if file.suffix else "files without a suffix"
        raise UsageError(f"input file {file}: cannot read {kind}; save the table as .csv, "
                         ".tsv or .xlsx (lower case)")


def out_prefix(out, file):
    """The output prefix; a directory (existing, or written with a trailing
    separator) gets the input file's name as prefix."""
    if out is None:
        return os.path.join("results", file.stem)
    if out.endswith(("/", os.sep)) or os.path.isdir(out):
        return os.path.join(out, file.stem)
    return out


# ---------------------------------------------------------------- reading and checking

def load_table(run):
    """The imported table, after checking that the run's columns exist and hold numbers."""
    from tessera.tools.preprocess import import_data_by_file_name

    index = run.settings.get("index", "INDEX")
    try:
        df = import_data_by_file_name(str(run.file), run.settings)
    except KeyError:
        raise UsageError(f"column {index!r} not found in {run.file}; name the column that "
                         f"identifies the features with --index (columns: "
                         f"{_columns_of(run.file)})") from None
    except Exception as exc:  # the readers' own errors: bad encoding, broken workbook
        raise UsageError(f"cannot read {run.file} ({_one_line(exc)}); check that it is a "
                         f"{run.file.suffix} table with a header row") from None

    for name, columns in run.groups:
        for column in columns:
            if column not in df.columns:
                extra = " (it is the index column)" if column == index else ""
                raise UsageError(f"group {name!r}: column {column!r} is not in "
                                 f"{run.file.name}{extra}; columns are: "
                                 f"{_listing(df.columns)}")
    cellwise = {"noise_filter", "log_transform", "normalize"} & run.settings.keys()
    grouped = [c for _, columns in run.groups for c in columns]
    for column in df.columns if cellwise else grouped:
        if not pd.api.types.is_numeric_dtype(df[column]) or df[column].dtype == bool:
            why = "is a sample of a group" if column in grouped else \
                f"is treated as a sample by {sorted(cellwise)[0]}"
            raise UsageError(f"column {column!r} of {run.file.name} holds text but {why}; "
                             "remove the column or the text cells from the file")
    return df


def _columns_of(file):
    """The names in the file's header row, for the hint of a message."""
    try:
        if file.suffix == ".xlsx":
            columns = pd.read_excel(file, sheet_name=0, nrows=0).columns
        else:
            columns = pd.read_csv(file, sep="\t" if file.suffix == ".tsv" else ",",
                                  nrows=0).columns
    except Exception:  # noqa: BLE001 - the listing is only a hint
        return "unreadable"
    return _listing(columns)


def _listing(columns, limit=12):
    names = [str(c) for c in columns]
    more = f", ... ({len(names)} in all)" if len(names) > limit else ""
    return ", ".join(names[:limit]) + more


def _one_line(exc):
    return " ".join(str(exc).split()) or type(exc).__name__


# ---------------------------------------------------------------- the analysis

def check_outputs(paths):
    for path in paths:
        if os.path.isdir(path):
            raise UsageError(f"output {path} is a directory; choose another --out")
        parent = os.path.dirname(path) or "."
        existing = parent
        while not os.path.exists(existing):
            existing = os.path.dirname(existing) or "."
        if not os.path.isdir(existing):
            raise UsageError(f"cannot write {path}: {existing} is a file; choose another --out")
        if not os.access(existing, os.W_OK):
            raise UsageError(f"cannot write {path}: no permission in {existing}; choose "
                             "another --out")


class Report:
    """The one-line-per-step summary on standard output."""

    WIDTH = 22

    def __init__(self, stream=None):
        self.stream = stream or sys.stdout

    def step(self, name, text):
        print(f"{name:<{self.WIDTH}}{text}", file=self.stream, flush=True)

    def note(self, text):
        print(text, file=self.stream, flush=True)


@dataclass
class Preprocessed:
    table: pd.DataFrame
    before_normalize: pd.DataFrame | None   # None when the normalisation did not run
    log_base: int | None                    # None when no log transform took effect


def run_preprocessing(df, settings, report):
    """Runs the configured steps in the pipeline's order, one summary line each."""
    from tessera.tools import preprocess

    before_normalize, log_base = None, None
    for key in STEPS:
        if key not in settings:
            continue
        value = settings[key]
        step = getattr(preprocess, key)
        if key == "normalize":
            # normalize changes the table it is given; keep the input for the figure
            before_normalize = df
            result = step(df.copy(), value)
        else:
            result = step(df, value)
        report.step(key, _step_summary(key, value, df, result))
        if len(result) == 0:
            raise UsageError(f"no rows left after {key} {value!r}; loosen that setting")
        if key == "log_transform" and result is not df:
            log_base = value
        df = result
    return Preprocessed(df, before_normalize, log_base)


def _number(value):
    # rounding off the last bits keeps a median of 1e-15 from showing as such
    return f"{round(float(value), 9) + 0.0:.3g}"


def _step_summary(key, value, before, after):
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


def run_test(vetting, df, run, report):
    """The per-feature test table, with its summary line."""
    kwargs = {"multipletest_method": run.multipletest_method}
    label = f"{run.method} test" if run.two_groups else "one-way ANOVA"
    # scipy warns once per degenerate row (constant values, too few values);
    # they are counted into the summary instead of flooding the terminal
    with warnings.catch_warnings(record=True) as caught, \
            Elapsed(f"{label} on {len(df)} features"):
        warnings.simplefilter("always")
        if run.two_groups:
            kwargs["fold_change_method"] = run.fold_change_method
            table = vetting.stat_test_two_samples(df, run.groups, run.method, **kwargs)
        else:
            table = vetting.stat_test_oneway(df, run.groups, **kwargs)

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
    report.step(label, text)
    if caught:
        report.step("", f"{len(caught)} warnings from the test, the first: "
                        f"{_one_line(caught[0].message)}")
    return table


# ---------------------------------------------------------------- figures

def volcano_figure(table, run):
    fc_column = f"{run.fold_change_method}_fc"
    (first, _), (second, _) = run.groups
    return figures.volcano(
        table[fc_column], table[f"{run.method}_p"],
        table[f"{run.method}_{run.multipletest_method}"],
        alpha=ALPHA, top=TOP_LABELLED, labels=(f"higher in {first}", f"higher in {second}"),
        xlabel=f"{fc_column}: mean {first} minus mean {second}",
        ylabel=f"-log10 p ({run.method})",
        title=f"{run.method} test, adjusted with {run.multipletest_method}")


def intensity_figure(pre, run):
    """Per-sample distributions before and after normalisation."""
    if pre.before_normalize is None:
        panels = [("preprocessed (not normalised)", pre.table)]
    else:
        panels = [("before normalisation", pre.before_normalize),
                  ("after normalisation", pre.table)]
    ylabel = f"log{pre.log_base} intensity" if pre.log_base else "intensity"
    return figures.intensities(panels, figures.group_colours(run.groups), ylabel)


def pvalue_figure(table, run):
    return figures.pvalue_histogram(table[f"{run.test_name}_p"], f"p-value ({run.test_name})")


# ---------------------------------------------------------------- writing

def write_all(jobs):
    """Writes every (path, write) job to a temporary name in the path's own
    directory, then renames them all into place; on any failure the temporary
    files are removed and no output of this run is left behind."""
    staged = []
    try:
        for path, write in jobs:
            directory, name = os.path.split(path)
            os.makedirs(directory or ".", exist_ok=True)
            temporary = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
            staged.append((temporary, path))
            write(temporary)
        for temporary, path in staged:
            os.replace(temporary, path)
    except BaseException:
        for temporary, _ in staged:
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
        raise


def analyze(run, report):
    from tessera.tools.vetting import Vetting

    vetting = Vetting({"out_dir": run.out})
    table_paths = {"preprocessed": vetting.build_out_table_path("preprocessed"),
                   "test": vetting.build_out_table_path("test")}
    figure_paths = {"intensities": vetting.buil_out_figure_path("intensities"),
                    "pvalues": vetting.buil_out_figure_path("pvalues")}
    if run.two_groups:
        figure_paths["volcano"] = vetting.buil_out_figure_path("volcano")
    check_outputs(list(table_paths.values()) + list(figure_paths.values()))

    raw = load_table(run)
    report.step("read", f"{raw.shape[0]} rows x {raw.shape[1]} columns from {run.file.name}")
    pre = run_preprocessing(raw, run.settings, report)
    df = pre.table
    test = run_test(vetting, df, run, report)
    test.index.name = df.index.name   # the test's rows are rebuilt without the index's name

    drawn = {"intensities": intensity_figure(pre, run),
             "pvalues": pvalue_figure(test, run)}
    if run.two_groups:
        drawn["volcano"] = volcano_figure(test, run)
    jobs = [(table_paths["preprocessed"], lambda path: df.to_csv(path)),
            (table_paths["test"], lambda path: test.to_csv(path))]
    for tag, fig in drawn.items():
        jobs.append((figure_paths[tag], lambda path, fig=fig: fig.savefig(path, format="png")))
    write_all(jobs)
    for path, _ in jobs:
        report.note(f"wrote {path}")


# ---------------------------------------------------------------- command line

class Parser(argparse.ArgumentParser):
    """Reports a usage problem as a UsageError instead of printing the usage and exiting."""

    def error(self, message):
        raise UsageError(f"{message} (see '{self.prog} --help')")


def build_parser():
    parser = Parser(prog="tessera", description="Quantitative proteomics tables: "
                    "preprocessing, per-feature tests and their figures.")
    parser.add_argument("--version", action="version", version=f"tessera {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    analyze = commands.add_parser(
        "analyze", help="preprocess a table, test every feature between groups, "
                        "write tables and figures",
        description="Reads FILE, runs the preprocessing steps that are given (always in the "
                    "order of the options below), tests every feature between the groups "
                    "and writes PREFIX_preprocessed.csv, PREFIX_test.csv and the figures "
                    "PREFIX_volcano.png, PREFIX_intensities.png and PREFIX_pvalues.png. "
                    "Without FILE it runs on the bundled example table with its own settings.",
        epilog="A settings file holds the same keys as the options, with underscores "
               "(index, remove_decoy, ..., out), plus file = \"...\" and a [groups] table "
               "of column lists; options given here override it. Exit status: 0 done, "
               "2 a problem with the input or the settings, 1 the analysis failed.")
    analyze.add_argument("file", nargs="?", metavar="FILE",
                         help="intensity table (.csv, .tsv or .xlsx); default: the example")
    analyze.add_argument("--group", action="append", dest="groups", metavar="NAME=COL,COL,...",
                         help="a sample group and its columns; give two for a two-group test, "
                              "more for a one-way ANOVA")
    for option in OPTIONS:
        analyze.add_argument(option.flag, dest=option.key, metavar=option.metavar,
                             help=option.help)
    analyze.add_argument("--config", metavar="SETTINGS.toml",
                         help="read settings from a TOML file")
    return parser


def _example_path():
    return resources.files("tessera").joinpath("data", "example_lfq.tsv")


def main(argv=None):
    """Runs the command line; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv:
        argv = ["analyze"]
    report = Report()
    try:
        try:
            ns = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help and --version
            return exc.code or 0
        with resources.as_file(_example_path()) as example_file:
            run = resolve(ns, example_file)
            if run.example:
                report.note(f"No input file given: analysing the bundled example table "
                            f"{run.file}\nwith its example settings (tessera analyze --help "
                            "shows how to analyse your own file).")
            report.note(_describe(run))
            analyze(run, report)
    except UsageError as exc:
        print(f"tessera: error: {_one_line(exc)}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("tessera: interrupted; no output written", file=sys.stderr)
        return 130
    except Exception as exc:  # noqa: BLE001 - one line for the user, not a traceback
        print(f"tessera: error: the analysis failed ({type(exc).__name__}: {_one_line(exc)}); "
              "no output written", file=sys.stderr)
        return 1
    return 0


def _describe(run):
    settings = ", ".join(f"{key}={value!r}" for key, value in run.settings.items()) or "none"
    groups = "; ".join(f"{name}: {', '.join(columns)}" for name, columns in run.groups)
    test = (f"{run.method}, fold change {run.fold_change_method}" if run.two_groups
            else "one-way ANOVA")
    return (f"settings: {settings}\ngroups:   {groups}\n"
            f"test:     {test}, adjusted with {run.multipletest_method}")
