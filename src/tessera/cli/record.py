"""The record of a run: what the report shows of it (RunRecord, its Steps
and ReportFigures), the input's SHA-256 and the libraries' versions, and
``run.toml``, the record in the settings-file format.

The top-level keys and the ``[groups]`` table are every resolved setting of
the run, written as ``--config`` reads them, so the file repeats the run (a
run whose groups come from a design file has its ``design`` key instead of
``[groups]``).
The ``[record]`` table holds what the run found rather than chose: the
input's SHA-256 and size, the versions of tessera and its libraries and the
date; a later run from the file compares the input's SHA-256 with it.

TOML is written here by hand (the standard library only reads it): basic
strings with TOML's escapes, integers, floats as Python's repr (with inf and
nan), booleans, arrays and tables.
"""
import hashlib
import math
import os
import platform
import re
from dataclasses import dataclass, field
from datetime import datetime, timezone
from importlib import metadata
from pathlib import PurePath

import pandas as pd

RECORD_TABLE = "record"
# The libraries whose versions a record holds, besides tessera and Python.
LIBRARIES = ("numpy", "pandas", "scipy", "statsmodels", "matplotlib")

_BARE_KEY = re.compile(r"[A-Za-z0-9_-]+")
_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f",
            "\r": "\\r"}


@dataclass
class Step:
    """One line of the steps table: what ran, the rows it kept and removed, and why."""
    name: str
    kept: int | None
    removed: int | None
    why: str = ""


@dataclass
class ReportFigure:
    """A figure of the report: PNG bytes or an SVG element made by tessera
    (inserted as it is, so it must come from ``interactive``), a title and a
    caption; ``file`` names the PNG written beside the report, if any."""
    title: str
    caption: str = ""
    png: bytes | None = None
    svg: str | None = None
    file: str | None = None


@dataclass
class ContrastResult:
    """What the report shows of one test of a model: a contrast or the F test
    of all of them, its summary line, its counts, its top features and its
    volcano plot (None for the F test, or a contrast the groups imply)."""
    name: str
    summary: str
    tested: int
    significant: int
    direction: dict = field(default_factory=dict)      # {"up": features, "down": features}
    top: pd.DataFrame | None = None
    figure: ReportFigure | None = None


@dataclass
class RunRecord:
    """What the report shows of one run. Counts are plain integers, settings
    a {key: value} mapping of every resolved setting, groups [(name,
    [columns])], versions {name: version}, elapsed the run's seconds."""
    input_file: str
    sha256: str
    input_format: str
    quantity: str
    groups: list
    settings: dict
    versions: dict
    date: str
    elapsed: float
    steps: list                    # [Step]
    tested: int
    significant: int
    alpha: float
    adjustment: str                # the multiple-testing method, e.g. fdr_bh
    method: str                    # the test, e.g. Welch, oneway
    untested: dict = field(default_factory=dict)        # {reason: features}
    direction: dict = field(default_factory=dict)       # {e.g. "higher in H": features}
    top: pd.DataFrame | None = None                     # index: identifiers
    qc_figures: list = field(default_factory=list)      # [ReportFigure]
    test_figures: list = field(default_factory=list)    # [ReportFigure]
    command: str = ""
    fc_threshold: float | None = None
    input_check: str = ""          # what comparing the input with run.toml's record found
    # a model's (test_contrasts'): its words, its tests, the block correlation
    # and sample weights in words, the weights by sample
    model: str = ""
    contrasts: list = field(default_factory=list)       # [ContrastResult]
    estimates: list = field(default_factory=list)       # [str]
    sample_weights: dict = field(default_factory=dict)  # {sample: weight}
    # a precursor report's precursors (or peptides) and proteins quantified per run
    per_run: pd.DataFrame | None = None
    # the normalisation of differential.normalize: its name and each sample's
    # shift, subtracted from its values
    normalize: str = ""
    shifts: dict = field(default_factory=dict)          # {sample: shift}


def sha256_of(path, chunk=1 << 20):
    """The SHA-256 of a file's bytes, as 64 hexadecimal digits."""
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        while block := handle.read(chunk):
            digest.update(block)
    return digest.hexdigest()


def library_versions():
    """{name: version} of tessera, Python and the libraries a run uses."""
    versions = {"tessera": _version("tessera"), "python": platform.python_version()}
    versions.update({name: _version(name) for name in LIBRARIES})
    return versions


def _version(name):
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "not installed"


def resolved_settings(run):
    """Every resolved setting of ``run`` under its settings-file key, groups
    apart: ``file``, then each option in the options' order, taken from the
    run's reading options, its preprocessing settings or the attribute of
    that name. Options
    that the run does not have (None) are left out, and so are the keys of
    the fold change and its figure when more groups are compared without
    contrasts (the settings file refuses them there)."""
    from tessera.cli.options import OPTIONS, TWO_GROUP_KEYS

    values = {"file": str(run.file)}
    for option in OPTIONS:
        key = option.key
        value = run.reading[key] if key in run.reading else \
            run.rollup_settings[key] if key in run.rollup_settings else \
            run.settings[key] if key in run.settings else getattr(run, key, None)
        if value is None or (key in TWO_GROUP_KEYS and not run.has_fold_change):
            continue
        values[key] = value
    return values


def record_facts(file, *, sha256=None, versions=None, date=None, **extra):
    """The [record] table of a run on ``file``: its SHA-256 and size, the
    versions and the date (ISO 8601, UTC, to the second), plus ``extra``."""
    facts = {
        "sha256": sha256 if sha256 is not None else sha256_of(file),
        "size": os.path.getsize(file),
        "date": date or datetime.now(timezone.utc).replace(microsecond=0).isoformat(),
    }
    facts.update(extra)
    facts["versions"] = dict(versions if versions is not None else library_versions())
    return facts


def toml_key(key):
    key = str(key)
    return key if _BARE_KEY.fullmatch(key) else toml_string(key)


def toml_string(text):
    """A TOML basic string: quotes, backslashes and control characters escaped."""
    out = []
    for ch in str(text):
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append(f"\\u{ord(ch):04X}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def toml_value(value):
    """One value as TOML; a mapping becomes an inline table."""
    if hasattr(value, "item") and not isinstance(value, (list, tuple, dict)):
        value = value.item()   # numpy scalars
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return repr(value)
    if isinstance(value, (str, PurePath)):
        return toml_string(value)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(toml_value(v) for v in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{toml_key(k)} = {toml_value(v)}"
                               for k, v in value.items()) + "}"
    raise ValueError(f"{value!r} ({type(value).__name__}) has no TOML form")


def _table(name, values):
    """[name] and its keys, then its sub-tables as [name.key]."""
    lines = [f"[{name}]"]
    nested = []
    for key, value in values.items():
        if isinstance(value, dict):
            nested.append((key, value))
        else:
            lines.append(f"{toml_key(key)} = {toml_value(value)}")
    for key, value in nested:
        lines += [""] + _table(f"{name}.{toml_key(key)}", value)
    return lines


def dumps_run_toml(settings, groups, record=None):
    """The text of run.toml: ``settings`` {key: value} as top-level keys,
    ``groups`` [(name, [columns])] as the [groups] table (left out when None:
    a run whose groups come from a design file names the file instead),
    ``record`` as the [record] table (left out when None)."""
    lines = ["# The settings of a tessera analyze run; repeat it with",
             "#   tessera analyze --config run.toml",
             "# Paths are as the run was given them, relative to the folder it ran in.", ""]
    lines += [f"{toml_key(k)} = {toml_value(v)}" for k, v in settings.items()]
    if groups is not None:
        lines += [""] + _table("groups", {name: list(columns) for name, columns in groups})
    if record is not None:
        lines += ["", "# What the run found: the input's checksum, the versions, the date."]
        lines += _table(RECORD_TABLE, record)
    return "\n".join(lines) + "\n"


@dataclass(frozen=True)
class InputStatus:
    unchanged: bool | None     # None: the record holds no SHA-256 to compare
    recorded: str | None
    current: str
    message: str


def input_status(record, file):
    """Whether ``file`` is the input the recorded run read: compares its
    SHA-256 with the [record] table's ``sha256``."""
    recorded = record.get("sha256") if isinstance(record, dict) else None
    current = sha256_of(file)
    if not isinstance(recorded, str):
        return InputStatus(None, None, current,
                           "the record holds no sha256 of the input to compare with")
    if recorded.lower() == current:
        return InputStatus(True, recorded, current, "input unchanged since the recorded run")
    return InputStatus(False, recorded, current,
                       f"input changed since the recorded run (sha256 {recorded} now {current})")
