"""The roll-ups and read_precursors on inputs drawn by hypothesis: long
tables of any labels and quantities against the numpy twin; hostile
arguments, which must give a frame or an ordinary exception (never a crash
or a SystemError); damaged reports, which must read or be refused with a
ReadError.

TESSERA_FUZZ_EXAMPLES sets the examples per test (default 60); the rounds
marked long run 2000 each."""
import math
import os

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reports
import twin_quant
from conftest import outcome
from test_fuzz import BadFloat, BadText, Boom
from tessera.readers import ReadError, read_precursors
from tessera.tools import quant as tq

EXAMPLES = int(os.environ.get("TESSERA_FUZZ_EXAMPLES", "60"))
fuzz = settings(max_examples=EXAMPLES, derandomize=True, database=None, deadline=None,
                suppress_health_check=list(HealthCheck))
long_fuzz = settings(fuzz, max_examples=2000)
METHODS = {"maxlfq": tq.maxlfq, "median_polish": tq.median_polish, "top_n": tq.top_n,
           "sum": tq.sum}

labels = st.sampled_from(["A", "B", "C", None])
quantities = st.one_of(st.floats(1e-3, 1e9), st.sampled_from([0.0, -1.0, math.nan, math.inf]))


@st.composite
def long_tables(draw):
    n = draw(st.integers(0, 30))
    rows = st.lists(st.tuples(labels, st.sampled_from(["r1", "r2", "r3", "r4", None]),
                              st.sampled_from(["f1", "f2", "f3", "f4", "f5", None]), quantities),
                    min_size=n, max_size=n)
    table = pd.DataFrame(draw(rows), columns=["protein_group", "run", "precursor", "quantity"])
    table["quantity"] = table["quantity"].astype(float)
    if draw(st.booleans()):
        table["run"] = pd.Categorical(table["run"], categories=["r4", "r3", "r2", "r1", "r0"])
    return table


def check_against_twin(table, method, options):
    result = outcome(METHODS[method], table, **options)
    expected = outcome(twin_quant.roll_up, table, method, **options)
    if isinstance(expected, Exception):
        # the twin's pivot refuses a feature twice in one run, as the function does
        assert isinstance(result, ValueError) and "more than one row" in str(result), result
        return
    assert isinstance(result, pd.DataFrame), result
    assert list(result.index) == list(expected.index)
    assert list(result.columns) == list(expected.columns)
    got, want = result.to_numpy(), expected.to_numpy(dtype=float)
    assert np.array_equal(np.isnan(got), np.isnan(want))
    np.testing.assert_allclose(got[~np.isnan(got)], want[~np.isnan(want)], rtol=1e-9)


OPTIONS = st.sampled_from([("maxlfq", {}), ("maxlfq", {"ridge": 0}),
                           ("maxlfq", {"min_shared": 2}), ("median_polish", {}),
                           ("top_n", {"n": 2}), ("sum", {})])


@fuzz
@given(long_tables(), OPTIONS)
def test_random_tables_match_the_twin(table, method_options):
    check_against_twin(table, *method_options)


@pytest.mark.long
@long_fuzz
@given(long_tables(), OPTIONS)
def test_random_tables_match_the_twin_long(table, method_options):
    check_against_twin(table, *method_options)


hostile = st.one_of(st.none(), st.integers(-3, 3), st.floats(allow_nan=True), st.text(max_size=3),
                    st.just([1, 2]), st.just(BadText()), st.just(BadFloat()), st.just(True),
                    st.just("protein_group"), st.just(("a", "b")), st.just(2**70))
hostile_columns = st.sampled_from([
    ["a", "b"], [1.5, None], [BadText(), "x"], [BadFloat(), 1.0], [b"x", "y"], [None, None],
    pd.array([1, None], dtype="Int64"), pd.Categorical(["x", None]), [[1], [2]], [True, False],
])


@fuzz
@given(st.sampled_from(list(METHODS)), st.lists(hostile, max_size=3),
       st.dictionaries(st.sampled_from(["protein", "run", "feature", "quantity", "min_shared",
                                        "ridge", "n", "other"]), hostile, max_size=3),
       st.lists(hostile_columns, min_size=4, max_size=4))
def test_hostile_arguments_never_crash(method, args, kwargs, columns):
    table = pd.DataFrame({"protein_group": columns[0], "run": columns[1],
                          "precursor": columns[2], "quantity": columns[3]})
    result = outcome(METHODS[method], table, *args, **kwargs)
    assert isinstance(result, (pd.DataFrame, TypeError, ValueError, Boom)), repr(result)


@st.composite
def damaged(draw, text):
    """A report's text with lines cut, cells replaced or bytes inserted."""
    lines = text.splitlines(keepends=True)
    for _ in range(draw(st.integers(1, 4))):
        k = draw(st.integers(0, len(lines) - 1))
        action = draw(st.sampled_from(["cut", "cell", "bytes", "drop", "tab"]))
        if action == "cut":
            lines[k] = lines[k][:draw(st.integers(0, len(lines[k])))]
        elif action == "cell":
            cells = lines[k].rstrip("\n").split("\t")
            cells[draw(st.integers(0, len(cells) - 1))] = draw(st.sampled_from(
                ["", "x", "NaN", "-1", "1e999", '"', "0,5", "\u00e9", "1.5"]))
            lines[k] = "\t".join(cells) + "\n"
        elif action == "bytes":
            lines[k] = draw(st.sampled_from(["\x00", "\ufeff", "\r", "\xff"])) + lines[k]
        elif action == "drop":
            lines[k] = ""
        else:
            lines[k] = lines[k].replace("\n", "\textra\n")
    return "".join(lines)


REPORT_TEXT = reports.DIANN.to_csv(sep="\t", index=False)


@fuzz
@given(damaged(REPORT_TEXT))
def test_damaged_text_reports_read_or_are_refused(tmp_path_factory, text):
    path = tmp_path_factory.mktemp("damaged") / "report.tsv"
    path.write_bytes(text.encode("utf-8", "surrogatepass"))
    result = outcome(read_precursors, path)
    assert isinstance(result, ReadError) or hasattr(result, "table"), repr(result)


@fuzz
@given(st.integers(0, 4000), st.binary(max_size=8))
def test_damaged_parquet_reports_are_refused(tmp_path_factory, cut, noise):
    folder = tmp_path_factory.mktemp("parquet")
    data = reports.write(reports.DIANN, folder / "whole.parquet").read_bytes()
    path = folder / "report.parquet"
    path.write_bytes(data[:cut] + noise + data[cut + len(noise):])
    result = outcome(read_precursors, path)
    assert isinstance(result, ReadError) or hasattr(result, "table"), repr(result)
