"""Helpers shared by the test modules (imported as `from conftest import ...`)."""
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

ROOT = Path(__file__).resolve().parents[1]
DATA_DIR = ROOT.parent / "shared" / "data"


def real_data(name):
    """Path of a real table under the shared data folder; the test fails
    with a clear message, instead of skipping, when the folder is missing."""
    path = DATA_DIR / name
    if not path.exists():
        pytest.fail(f"real data file {path} is missing: the tests that use real tables need "
                    f"the shared data folder beside the repository ({DATA_DIR})", pytrace=False)
    return path


@pytest.fixture(scope="session")
def data():
    """The shared folder of real tables (a test using it fails when it is missing)."""
    return real_data("engines").parent


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
