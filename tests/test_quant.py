"""tessera.tools.quant: the roll-ups against their numpy twins, DIA-NN's own
MaxLFQ, the committed numbers of msproteomics, and the refusals."""
import inspect
import pickle
import re

import numpy as np
import pandas as pd
import pytest

import reports
import twin_quant
from conftest import ROOT, real_data
from tessera.readers import read_precursors
from tessera.tools import quant as tq

METHODS = {"maxlfq": tq.maxlfq, "median_polish": tq.median_polish, "top_n": tq.top_n,
           "sum": tq.sum}
MSPROTEOMICS = ROOT / "tests" / "reference" / "msproteomics"


def random_long(rng, proteins, runs, most_features, missing, categorical=False):
    """A long table of proteins with 1 to most_features features; values
    missing at random with probability `missing`."""
    frames = []
    for p in range(proteins):
        features = int(rng.integers(1, most_features + 1))
        logs = (rng.normal(20, 2, (features, 1)) + rng.normal(0, 1, (1, runs))
                + rng.normal(0, 0.3, (features, runs)))
        f, r = np.nonzero(rng.random((features, runs)) >= missing)
        frames.append(pd.DataFrame({"protein_group": f"P{p}", "run": [f"r{j}" for j in r],
                                    "precursor": [f"P{p}_{i}" for i in f],
                                    "quantity": 2.0 ** logs[f, r]}))
    table = pd.concat(frames, ignore_index=True)
    if categorical:
        for column in ("protein_group", "run", "precursor"):
            table[column] = table[column].astype("category")
    return table


def assert_close(result, expected, rtol):
    pd.testing.assert_index_equal(result.index, expected.index, exact=False)
    pd.testing.assert_index_equal(result.columns, expected.columns, exact=False)
    got, want = result.to_numpy(), expected.to_numpy(dtype=float)
    assert np.array_equal(np.isnan(got), np.isnan(want))
    np.testing.assert_allclose(got[~np.isnan(got)], want[~np.isnan(want)], rtol=rtol)


# runs, most features, missing: few runs; sparse graphs over 40 runs (the
# iterative solve); dense ones (the closed form)
SHAPES = [(3, 5, 0.3), (8, 6, 0.6), (60, 4, 0.5), (50, 12, 0.85), (45, 3, 0.0)]


@pytest.mark.parametrize("runs, most, missing", SHAPES)
@pytest.mark.parametrize("options", [{}, {"ridge": 0}, {"ridge": 0.5, "min_shared": 2},
                                     {"min_shared": 3}])
def test_maxlfq_matches_its_twin(runs, most, missing, options):
    table = random_long(np.random.default_rng(runs), 25, runs, most, missing)
    expected = twin_quant.roll_up(table, "maxlfq", **options)
    assert_close(tq.maxlfq(table, **options), expected, rtol=1e-9)


@pytest.mark.parametrize("method, options", [("median_polish", {}), ("top_n", {}),
                                             ("top_n", {"n": 1}), ("sum", {})])
@pytest.mark.parametrize("runs, most, missing", SHAPES[:3])
def test_other_rollups_match_their_twins(method, options, runs, most, missing):
    table = random_long(np.random.default_rng(runs + 1), 20, runs, most, missing,
                        categorical=True)
    expected = twin_quant.roll_up(table, method, **options)
    assert_close(METHODS[method](table, **options), expected, rtol=1e-12)


def test_maxlfq_reproduces_diann_genes_maxlfq():
    """Every Genes.MaxLFQ value of DIA-NN 1.7's report, from Precursor.Normalised
    of all its rows grouped by Genes. Inputs and outputs are printed to six
    digits: half a unit in the sixth is up to 7.2e-6 in log2 per number, and
    the differences are that rounding. Carried through each protein's
    solution, the printed digits allow up to 2.2e-5 (median 6.3e-6) per value;
    the root mean square difference is 2.1e-6, where rounding alone would give
    2.7e-6. The worst value, RPS7A in run a (1.03e-5, from 140.752, 143.240,
    141.420 and the tops 15960, 15975.5, 15228.6), may be 1.60e-5 off by its
    digits (1.14e-5 from the inputs, 4.6e-6 from 15601.2) and is 2.6 standard
    deviations of its rounding: 1e-5 would ask for more than the file holds.
    Even the one-feature proteins' values differ from their inputs in the
    sixth digit in 25 of 438 cells."""
    path = real_data("precursors/diann_1.7_yeast/report.tsv")
    report = read_precursors(path, q_value=None, pg_q_value=None)
    result = tq.maxlfq(report.table, protein="genes")
    raw = pd.read_csv(path, sep="\t")
    raw["run"] = raw["File.Name"].str.extract(r"(KL_Try_001_[abc])", expand=False)
    expected = raw.dropna(subset=["Genes"]).groupby(["Genes", "run"])["Genes.MaxLFQ"].first()
    expected = expected.unstack().reindex(index=result.index, columns=result.columns)
    error = np.abs(np.log2(result.to_numpy()) - np.log2(expected.to_numpy()))
    assert np.array_equal(np.isnan(error), np.isnan(expected.to_numpy()))
    assert np.isfinite(error).sum() == 1101
    assert np.nanmax(error) < 1.1e-5


def test_maxlfq_ratios_match_msproteomics():
    """Within-protein ratios against msproteomics' MaxLFQ (its numbers are
    committed, made by the script beside them): equal within every connected
    set of runs; runs sharing nothing form sets of their own."""
    table = pd.read_csv(MSPROTEOMICS / "tables.tsv", sep="\t")
    expected = pd.read_csv(MSPROTEOMICS / "estimates.tsv", sep="\t")
    ours = np.log2(tq.maxlfq(table, ridge=0).stack())
    worst, compared = 0.0, 0
    for _, part in expected.groupby(["protein_group", "set"]):
        mine = ours.loc[list(zip(part["protein_group"], part["run"]))].to_numpy()
        theirs = part["log2"].to_numpy()
        worst = max(worst, np.max(np.abs((mine - mine.mean()) - (theirs - theirs.mean()))))
        compared += len(part)
    assert compared == len(expected) == ours.notna().sum()
    assert worst < 1e-6


@pytest.mark.parametrize("method", METHODS)
def test_one_feature_keeps_its_quantities_exactly(method):
    table = pd.DataFrame({"protein_group": ["A"] * 3 + ["B"] * 2, "run": list("xyzxy"),
                          "precursor": ["a1"] * 3 + ["b1", "b2"],
                          "quantity": [0.1, 1e-300, 7.3e12, 2.0, 8.0]})
    result = METHODS[method](table)
    assert result.loc["A"].tolist() == [0.1, 1e-300, 7.3e12]


def test_layout_of_the_result():
    """Proteins with rows, in category order; every run category, in order,
    an unused one as an all-NaN column; rows missing a label left out; values
    that are not positive and finite not measured."""
    table = pd.DataFrame({
        "protein_group": pd.Categorical(["B", "B", "A", None, "A", "C"],
                                        categories=["C", "B", "A", "D"]),
        "run": pd.Categorical(["r2", "r1", "r1", "r1", None, "r1"],
                              categories=["r3", "r2", "r1"]),
        "precursor": ["b", "b", "a", "x", "a", "c"],
        "quantity": [4.0, 2.0, 3.0, 1.0, 5.0, -1.0],
    })
    result = tq.maxlfq(table)
    assert list(result.index) == ["C", "B", "A"] and result.index.name == "protein_group"
    assert list(result.columns) == ["r3", "r2", "r1"] and result.columns.name == "run"
    expected = [[np.nan, np.nan, np.nan], [np.nan, 4.0, 2.0], [np.nan, np.nan, 3.0]]
    np.testing.assert_array_equal(result.to_numpy(), expected)
    plain = table.astype({"protein_group": object, "run": object})
    assert list(tq.sum(plain).columns) == ["r2", "r1"]  # order of first appearance


def test_inputs_are_not_modified():
    table = random_long(np.random.default_rng(0), 5, 4, 3, 0.2, categorical=True)
    before = table.copy()
    for fn in METHODS.values():
        fn(table)
    pd.testing.assert_frame_equal(table, before)


@pytest.mark.parametrize("call, error, message", [
    (lambda t: tq.maxlfq(t, protein="Genes"), ValueError,
     "the table has no column 'Genes' (given as protein)"),
    (lambda t: tq.maxlfq(t.assign(quantity="1")), ValueError,
     "the quantity column 'quantity' is not numeric (dtype"),
    (lambda t: tq.maxlfq(pd.concat([t, t.iloc[[1]]])), ValueError,
     "precursor 'a1' of protein_group 'A' has more than one row in run 'y'"),
    (lambda t: tq.maxlfq(t, min_shared=0), ValueError, "min_shared must be 1 or more, got 0"),
    (lambda t: tq.maxlfq(t, min_shared=True), TypeError, "min_shared must be an integer"),
    (lambda t: tq.maxlfq(t, ridge=-1), ValueError, "ridge must be a finite number >= 0"),
    (lambda t: tq.maxlfq(t, ridge=float("nan")), ValueError, "ridge must be a finite number"),
    (lambda t: tq.maxlfq(t, ridge="0"), TypeError, "ridge must be a number, got '0'"),
    (lambda t: tq.top_n(t, n=0), ValueError, "n must be 1 or more, got 0"),
    (lambda t: tq.sum(t.to_dict()), TypeError, "table must be a pandas DataFrame, got dict"),
    (lambda t: tq.sum(t.rename(columns={"run": "quantity"}), run="quantity"), ValueError,
     "'quantity' (given as run) names more than one column"),
])
def test_refusals(call, error, message):
    table = pd.DataFrame({"protein_group": ["A"] * 4, "run": list("xyxy"),
                          "precursor": ["a1", "a1", "a2", "a2"], "quantity": [1.0, 2, 3, 4]})
    with pytest.raises(error, match=re.escape(message)):
        call(table)


def test_empty_table_gives_an_empty_frame():
    table = pd.DataFrame({"protein_group": [], "run": [], "precursor": [], "quantity": []})
    assert tq.maxlfq(table).shape == (0, 0)


SIGNATURES = {
    "maxlfq": "(table, protein='protein_group', run='run', feature='precursor', "
              "quantity='quantity', min_shared=1, ridge=0.0001)",
    "median_polish": "(table, protein='protein_group', run='run', feature='precursor', "
                     "quantity='quantity')",
    "top_n": "(table, protein='protein_group', run='run', feature='precursor', "
             "quantity='quantity', n=3)",
    "sum": "(table, protein='protein_group', run='run', feature='precursor', "
           "quantity='quantity')",
}


@pytest.mark.parametrize("name", SIGNATURES)
def test_functions_and_signatures(name):
    fn = getattr(tq, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "tessera.tools.quant"
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__doc__.split("\n")[0].startswith("Protein quantities")
    assert [n for n in vars(tq) if not n.startswith("__")] == list(SIGNATURES)



def test_threads_give_the_result_of_one_call():
    from concurrent.futures import ThreadPoolExecutor

    table = reports.long_table(300, 40)
    expected = tq.maxlfq(table)
    with ThreadPoolExecutor(4) as pool:
        for result in pool.map(lambda _: tq.maxlfq(table), range(4)):
            pd.testing.assert_frame_equal(result, expected)
