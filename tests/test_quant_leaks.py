"""Reference leaks of the roll-ups and of read_precursors: every entry point,
on its success and failure paths, called many times, must leave the
interpreter's allocated blocks flat (test_leaks.growth)."""
import contextlib
import gc
import os
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import reports
from test_leaks import growth
from tessera.readers import read_precursors
from tessera.tools import quant as tq

TABLE = reports.random_report(np.random.default_rng(5), 6, 8).rename(columns={
    "Run": "run", "Protein.Group": "protein_group", "Precursor.Id": "precursor",
    "Precursor.Normalised": "quantity"})


def table():
    # a fresh table per call: pandas keeps weak references to views of each
    return TABLE.copy()


def attempt(*calls):
    """Runs every call, whatever each raises."""
    for call in calls:
        try:
            call()
        except Exception:  # noqa: BLE001
            pass


def entry_points(folder):
    tsv = reports.write(reports.DIANN, folder / "report.tsv")
    parquet = reports.write(reports.DIANN, folder / "report.parquet")
    bad = folder / "bad.tsv"
    bad.write_text(reports.DIANN.assign(**{"Q.Value": "x"}).to_csv(sep="\t", index=False))
    return {
        "roll-ups": lambda: attempt(
            lambda: tq.maxlfq(table()),
            lambda: tq.maxlfq(table().astype({"run": "category"}), ridge=0, min_shared=2),
            lambda: tq.median_polish(table()), lambda: tq.top_n(table(), n=2),
            lambda: tq.sum(table())),
        "roll-up refusals": lambda: attempt(
            lambda: tq.maxlfq(table(), protein="Genes "),
            lambda: tq.sum(table().assign(quantity="1")),
            lambda: tq.maxlfq(pd.concat([table(), table().iloc[:1]])),
            lambda: tq.maxlfq(table(), ridge="x"), lambda: tq.top_n([1, 2])),
        "read": lambda: attempt(lambda: read_precursors(tsv),
                                lambda: read_precursors(parquet, proteotypic=True)),
        "read refusals": lambda: attempt(lambda: read_precursors(bad),
                                         lambda: read_precursors(folder / "none.parquet")),
    }


# The short round catches a leak of two or more blocks per call; library
# caches swing a batch by up to about 80 blocks either way, so the long one
# needs its 600 calls to catch half a block per call.
@pytest.mark.parametrize("rounds", [pytest.param(60, id="short"),
                                    pytest.param(600, id="long", marks=pytest.mark.long)])
def test_entry_points_do_not_leak(tmp_path, rounds):
    calls = entry_points(tmp_path)
    watched = [tq.maxlfq, tq.sum, TABLE]

    def references():
        gc.collect()
        return [sys.getrefcount(o) for o in watched]

    limits = (max(rounds // 2, 120), rounds // 2)
    leaking = {}
    with warnings.catch_warnings(), open(os.devnull, "w") as sink, \
            contextlib.redirect_stdout(sink):
        warnings.simplefilter("ignore")
        for name, call in calls.items():
            refs = references()
            blocks, objects = growth(call, rounds, limits)
            kept = [after - before for after, before in zip(references(), refs)]
            if blocks > limits[0] or objects > limits[1] or any(kept):
                leaking[name] = (blocks, objects, kept)
    assert not leaking, f"blocks and objects gained per batch, references kept: {leaking}"
