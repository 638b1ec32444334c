"""Helpers shared by the test modules (imported as `from conftest import ...`).

Three switches decide what a run covers:
- `long` marks the long rounds (the full leak census, full-length library
  comparisons). `python -m pytest tests` leaves them out (pyproject's
  addopts); `python -m pytest tests -m long` runs them, as .ci/run does.
- Property-based tests take their example counts from a hypothesis profile:
  `quick` by default, `ci` when TESSERA_TEST_PROFILE=ci (set by .ci/run).
- `real_data(name)` is the path of a real table in the shared data folder
  beside the repository (../shared/data). Where that folder is absent, as in
  a fresh clone, the test skips; with TESSERA_REQUIRE_DATA=1 (set by
  .ci/run) it fails instead.
"""
import contextlib
import io
import os
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, settings

ROOT = Path(__file__).resolve().parents[1]
DATA_DIR = ROOT.parent / "shared" / "data"
LIMMA_CD34 = ROOT / "tests" / "reference" / "limma"

# Fixed seeds and no example database, so that every run sees the same cases;
# no deadline, since the machines are shared and an example's time says nothing.
for _name, _examples in [("quick", 20), ("ci", 100)]:
    settings.register_profile(_name, max_examples=_examples, derandomize=True, database=None,
                              deadline=None, suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("TESSERA_TEST_PROFILE", "quick"))

# The one reason every test on the real tables gives when it skips.
NO_DATA = (f"the real tables are not there: these tests read the shared data folder {DATA_DIR}, "
           "beside the repository")


def real_data(name):
    """Path of a real table under the shared data folder. Without the folder
    the test skips (fails under TESSERA_REQUIRE_DATA=1); a file missing from a
    folder that is there fails. Usable at a module's top level too."""
    path = DATA_DIR / name
    if not DATA_DIR.is_dir() and os.environ.get("TESSERA_REQUIRE_DATA") != "1":
        pytest.skip(NO_DATA, allow_module_level=True)
    if not path.exists():
        pytest.fail(f"real data file {path} is missing: the tests that use real tables need "
                    f"the shared data folder beside the repository ({DATA_DIR})", pytrace=False)
    return path


@pytest.fixture(scope="session")
def data():
    """The shared folder of real tables (skips or fails as real_data does)."""
    return real_data("engines").parent


def run_cli(*argv):
    """The command line's main(argv) in-process: (exit status, stdout, stderr)."""
    from tessera.cli import main

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(list(argv))
    return status, out.getvalue(), err.getvalue()


@pytest.fixture
def unrendered(monkeypatch):
    """Command-line runs draw no figures: each PNG output is a placeholder,
    different in every run so that a test comparing two runs' files still
    sees which run wrote them. For tests of the tables, the printed lines and
    which files are written, not of the figures or the report."""
    from tessera.cli import analysis

    runs = iter(range(1, 1 << 30))

    def render(jobs, aside=(), *, fork=None):
        run = next(runs)
        return {name: (b"\x89PNG not drawn: run %d" % run, 0.0, []) for name in jobs}

    monkeypatch.setattr(analysis, "render", render)


# The steps tessera analyze runs unless told otherwise, turned off: for the
# tests of a run of only the steps they give (given first, so that a test's own
# value of one of them wins).
NO_DEFAULT_STEPS = ("--log-transform", "none", "--min-valid", "none", "--normalize", "none",
                    "--no-detection")


def write_table(path, values):
    """values (rows x samples S1, S2, ...) as a .csv table with an ID column."""
    df = pd.DataFrame(values, columns=[f"S{i}" for i in range(1, values.shape[1] + 1)])
    df.insert(0, "ID", [f"F{i}" for i in range(len(df))])
    df.to_csv(path, index=False)
    return path


def design_file(path, rows, header=("sample", "group")):
    """A design file: a header and one row per sample, tab-separated."""
    path.write_text("\n".join("\t".join(map(str, row)) for row in [header, *rows]) + "\n")
    return path


def read_test(path):
    """A test table as written: the note column as text, "" for a tested feature."""
    notes = pd.read_csv(path, nrows=0).columns
    notes = {c: str for c in notes if c.endswith("_note")}
    test = pd.read_csv(path, index_col=0, keep_default_na=False, na_values=[""],
                       low_memory=False, dtype=notes)
    for column in notes:
        test[column] = test[column].fillna("")
    return test


def message_of(fn, *args, **kwargs):
    """The message of the exception fn(...) raises (AssertionError if none)."""
    try:
        fn(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001
        return str(exc)
    raise AssertionError(f"{fn} raised nothing")


def outcome(fn, *args, **kwargs):
    """fn(...)'s result, or the exception it raised, with warnings silenced."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return fn(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001
            return exc


def quiet(fn):
    """fn wrapped so that library warnings are silenced while it runs."""
    def call():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fn()
    return call


def assert_same(result, expected):
    """Two outcomes are the same: exceptions of one type and message, frames
    (alone or in a tuple) equal to the last bit, anything else equal element
    by element."""
    if isinstance(expected, Exception):
        assert type(result) is type(expected) and str(result) == str(expected), (result, expected)
    elif isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(result, expected, check_exact=True)
    elif isinstance(expected, tuple) and any(isinstance(e, pd.DataFrame) for e in expected):
        assert isinstance(result, tuple) and len(result) == len(expected), (result, expected)
        for r, e in zip(result, expected):
            assert_same(r, e)
    else:
        np.testing.assert_array_equal(np.asarray(result, dtype=object),
                                      np.asarray(expected, dtype=object))


class Recorder:
    """Stands in for a module-level callable: records each call, then delegates."""

    def __init__(self, target=None):
        self.calls = []
        self.target = target

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.target is not None:
            return self.target(*args, **kwargs)


def limma_case(folder, matrix, order):
    """(values, group index per column, features) of a reference matrix whose
    columns belong to the groups `order` (the contrasts: each minus the last)."""
    frame = pd.read_csv(folder / matrix, sep="\t", index_col=0)
    samples = pd.read_csv(folder / "groups.tsv", sep="\t")
    group_of = dict(zip(samples["sample"], samples["group"]))
    groups = np.array([order.index(group_of[c]) for c in frame.columns])
    return frame.to_numpy(), groups, frame.index


def read_limma(folder, name):
    return pd.read_csv(folder / name, sep="\t", index_col=0)


def relative_error(result, expected, floor=0.0):
    """Largest |result - expected| / max(|expected|, floor); NaN must meet NaN."""
    result = np.asarray(result, dtype=float)
    expected = np.asarray(expected, dtype=float)
    assert np.array_equal(np.isnan(result), np.isnan(expected)), "NaN in different places"
    keep = ~np.isnan(expected) & (result != expected)
    if not keep.any():
        return 0.0
    scale = np.maximum(np.abs(expected[keep]), floor)
    return float(np.max(np.abs(result[keep] - expected[keep]) / scale))


def limma_columns(out, contrasts):
    """Outputs of the moderated tests under limma's column names: per contrast
    (suffix "" for a single contrast, else ".<name>") logFC, t, P.Value, B; and
    s2.prior, df.prior, s2.post, df.total, F, F.p.value."""
    n = len(out["t"])
    columns = {name: np.broadcast_to(out[key], n) for name, key in [
        ("s2.prior", "s2_prior"), ("df.prior", "df_prior"), ("s2.post", "s2_post"),
        ("df.total", "df_total"), ("F", "F"), ("F.p.value", "F_p_value")]}
    for j, name in enumerate(contrasts):
        suffix = "" if len(contrasts) == 1 else "." + name
        for column, key in [("logFC", "logFC"), ("t", "t"), ("P.Value", "p_value"), ("B", "B")]:
            columns[column + suffix] = out[key][:, j]
    return columns


# Tolerances against limma: (relative tolerance, floor of the scale). logFC is
# compared absolutely. A t near 0 is compared on the scale 1: limma's group
# means come out of a QR decomposition whose rounding, about 1e-16 of the
# values, is all of a small difference's relative error.
LIMMA_TOLERANCE = {"logFC": (1e-12, np.inf), "t": (1e-12, 1.0), "F": (1e-12, 1.0),
                   "s2.prior": (1e-12, 0), "df.prior": (1e-12, 0), "s2.post": (1e-12, 0),
                   "df.total": (1e-12, 0), "P.Value": (1e-10, 0), "F.p.value": (1e-10, 0),
                   "adj.P.Val": (1e-10, 0), "F.adj.P.Val": (1e-10, 0), "B": (1e-9, 0)}


def limma_tolerance(column, variant):
    """Tolerance of a column in a variant: trend and robust fits 1e-8; with the
    likelihood estimate d0 is as exact as its minimiser's rounding (1e-9
    allowed), which every column that depends on the prior inherits."""
    base = column if column in LIMMA_TOLERANCE else column.rsplit(".", 1)[0]
    rel, floor = LIMMA_TOLERANCE[base]
    if column.startswith("logFC"):
        return rel, floor
    if "trend" in variant or "robust" in variant:
        rel = max(rel, 1e-8)
    elif "modern" in variant:
        rel = max(rel, 1e-9)
    return rel, floor


def assert_matches_limma(columns, reference, variant):
    for name, values in columns.items():
        rel, floor = limma_tolerance(name, variant)
        expected = reference[name].to_numpy(dtype=float)
        if np.isinf(floor):
            assert np.array_equal(np.isnan(values), np.isnan(expected)), name
            error = np.nanmax(np.abs(values - expected), initial=0.0)
        else:
            error = relative_error(values, expected, floor)
        assert error <= rel, f"{variant} {name}: {error:.2e} > {rel:.0e}"


def log_table(seed, rows=300, cols=None):
    """A log-scale table with known column offsets: (df, sample columns,
    offsets). Features differ in level, a quarter of them change in the first
    half of the columns (up or down), and a cell is more likely missing the
    lower its value, as in a mass spectrometer's output."""
    rng = np.random.default_rng(seed)
    cols = cols or [2, 3, 4, 6, 9][seed % 5]
    level = rng.normal(20, 2.5, (rows, 1))
    offsets = rng.normal(0, 0.3, cols)
    values = level + offsets + rng.normal(0, 0.2, (rows, cols))
    changed = rng.random(rows) < 0.25
    values[changed, : max(1, cols // 2)] += rng.choice([-1.5, 1.0], (changed.sum(), 1))
    values[rng.random(values.shape) < 1 / (1 + np.exp(1.5 * (values - 17)))] = np.nan
    columns = [f"S{c}" for c in range(cols)]
    return (pd.DataFrame(values, columns=columns, index=[f"P{i}" for i in range(rows)]),
            columns, offsets)
