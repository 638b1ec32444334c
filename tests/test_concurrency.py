"""Ctrl-C, threads and the GIL: long calls stop promptly on SIGINT and leave
no thread behind, concurrent calls on shared inputs give the sequential
results, and long kernels let other Python threads run."""
import importlib.util
import os
import signal
import sys
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import reports
from conftest import assert_same, quiet
from tessera.tools import differential as td
from tessera.tools import preprocess as tp
from tessera.tools import quant as tq
from tessera.tools import stat as ts
from tessera.tools import vetting as tv

RNG = np.random.default_rng(7)
X, Y = RNG.normal(0, 1, 20000), RNG.normal(0.1, 1, 20000)
WIDE = pd.DataFrame(RNG.normal(20, 2, (20000, 8)), columns=list("abcdefgh"),
                    index=[f"P{i}" for i in range(20000)])
GROUPS = [("A", list("abcd")), ("B", list("efgh"))]
THREE = {"A": list("abc"), "B": list("def"), "C": list("gh")}
# a text column sends every feature through the reference route
PER_ROW = WIDE.assign(note="x")
# MaxLFQ of 300 proteins over 600 runs: seconds of pairwise medians
PRECURSORS = reports.long_table(300, 600)


def os_threads():
    """Threads of this process, native workers included."""
    return len(os.listdir("/proc/self/task"))


def threads_settle_to(count, tries=100):
    """True once the process has at most `count` threads: a joined thread
    can still be leaving the kernel for a moment after join() returns."""
    for _ in range(tries):
        if os_threads() <= count:
            return True
        time.sleep(0.05)
    return False


def one_row_route():
    """test_features on every feature of WIDE (with holes) through the loop
    of one-row calls: the one-row call here disagrees with the batch."""
    real = stats.ttest_ind
    stats.ttest_ind = lambda *a, **k: (real(*a, **k)[0], 0.5)
    try:
        return td.test_features(WIDE.mask(WIDE > 23), GROUPS, "Welch")
    finally:
        stats.ttest_ind = real


# 48 runs of 24 samples in 4 conditions, a value in ten missing: the sample
# weights (gene by gene) and the block correlation each take seconds
RUNS = pd.DataFrame({"condition": np.repeat(list("ABCD"), 12),
                     "sample": [f"s{i // 2}" for i in range(48)]}, index=[f"r{i}" for i in range(48)])
GAPPY48 = pd.DataFrame(RNG.normal(20, 1, (20000, 48)), columns=RUNS.index).mask(
    RNG.random((20000, 48)) < 0.1)


def contrasts_with_estimates():
    return td.test_contrasts(GAPPY48, RUNS, "~ 0 + condition", ["conditionB - conditionA"],
                             block="sample", sample_weights=True, legacy=True)


LONG_CALLS = {
    "permutation": lambda: ts.hypothesis_test(X, Y, "permutation"),
    "per-feature permutation": lambda: tv.Vetting({}).stat_test_two_samples(WIDE, GROUPS, "permutation"),
    "per-row Wilcoxon": quiet(lambda: tv.Vetting({}).stat_test_two_samples(PER_ROW, GROUPS, "Wilcoxon")),
    "per-row Welch": quiet(lambda: tv.Vetting({}).stat_test_two_samples(PER_ROW, GROUPS, "Welch")),
    "per-row one-way": quiet(lambda: tv.Vetting({}).stat_test_oneway(PER_ROW, GROUPS)),
    "one-row test_features": one_row_route,
    "test_contrasts weights and block": contrasts_with_estimates,
    "maxlfq": lambda: tq.maxlfq(PRECURSORS),
}


@pytest.mark.parametrize("name", LONG_CALLS)
def test_ctrl_c_stops_a_long_call(name):
    """One press stops the call, even in a process that has run for a while
    and where pandas runs weakref callbacks (whose exceptions the interpreter
    drops) all the time; no worker thread is left behind."""
    ts.hypothesis_test(X[:5], Y[:5], "permutation")  # the one-time kernel check is done
    warm_up(name)
    before = os_threads()
    old = signal.signal(signal.SIGINT, signal.default_int_handler)
    done = threading.Event()

    def press_ctrl_c_once():
        if not done.wait(0.3):
            os.kill(os.getpid(), signal.SIGINT)

    presser = threading.Thread(target=press_ctrl_c_once)
    try:
        presser.start()
        with pytest.raises(KeyboardInterrupt):
            LONG_CALLS[name]()
    finally:
        done.set()
        presser.join()
        signal.signal(signal.SIGINT, old)
    assert signal.getsignal(signal.SIGINT) is old
    assert threads_settle_to(before)


def warm_up(name):
    """Runs the call's route on a few rows, so that thread pools the
    libraries start on first use (BLAS) exist before threads are counted."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        v = tv.Vetting({})
        v.stat_test_oneway(WIDE.iloc[:50], GROUPS)
        v.stat_test_two_samples(WIDE.iloc[:50], GROUPS, "Welch")


def test_ctrl_c_leaves_other_threads_and_handlers_alone():
    """A press is the main thread's: a long call on another thread goes on
    to its result. A SIGINT handler of the program's own stays in charge."""
    table = quiet(lambda: tv.Vetting({}).stat_test_two_samples(PER_ROW.iloc[:1000], GROUPS, "Welch"))
    old = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with ThreadPoolExecutor(1) as pool:
            future = pool.submit(table)
            time.sleep(0.2)
            with pytest.raises(KeyboardInterrupt):
                os.kill(os.getpid(), signal.SIGINT)  # the main thread gets it
                future.result()
            assert len(future.result()) == 1000

        calls = []
        signal.signal(signal.SIGINT, lambda signum, frame: calls.append(signum))
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        assert len(table()) == 1000
        assert calls == [signal.SIGINT]
    finally:
        signal.signal(signal.SIGINT, old)

def shared_cases():
    df = WIDE.iloc[:300].copy()
    df.iloc[::7, 2] = np.nan
    df.index = [("REV__" if i % 9 == 0 else "") + label for i, label in enumerate(df.index)]
    small = df.iloc[:4]
    v = tv.Vetting({"out_dir": "out"})
    cases = {
        "log_transform": lambda: tp.log_transform(df, 2),
        "noise_filter": lambda: tp.noise_filter(df, 20),
        "remove_missing_values": lambda: tp.remove_missing_values(df, "90%"),
        "remove_decoy": lambda: tp.remove_decoy(df, "REV__"),
        "normalize": lambda: tp.normalize(df.copy(), "log_median_0"),
        "median_df": lambda: v.median_df(df),
        "med_norm": lambda: v.med_norm(df),
        "force_norm_df": lambda: v.force_norm_df(df, list(range(8))),
        "oneway": quiet(lambda: v.stat_test_oneway(small, GROUPS)),
        "path": lambda: v.build_out_table_path("x"),
        "count_valid": lambda: td.count_valid(df, GROUPS),
        "filter_valid": lambda: td.filter_valid(df, GROUPS, 4, mode="each"),
        "impute": lambda: td.impute(df, list("abc"), seed=3),
        "test_features anova": lambda: td.test_features(df, THREE, "anova"),
        "normalize ratio_mode": lambda: td.normalize(df, list("abcdefgh")),
        "test_hurdle": lambda: td.test_hurdle(df.mask(df > 22), GROUPS, "moderated"),
    }
    for method in ["t", "Welch", "mannwhitneyu"]:
        cases[f"test_features {method}"] = lambda m=method: td.test_features(df, GROUPS, m)
    for method in ["t", "Welch", "paired_t", "Wilcoxon", "permutation"]:
        cases[f"two samples {method}"] = quiet(
            lambda m=method: v.stat_test_two_samples(df if m != "Wilcoxon" else small, GROUPS, m))
        cases[f"hypothesis_test {method}"] = quiet(lambda m=method: ts.hypothesis_test(X[:40], Y[:40], m))
    return df, cases


def test_eight_threads_give_the_sequential_results():
    df, cases = shared_cases()
    before = df.copy()
    expected = {name: fn() for name, fn in cases.items()}
    with ThreadPoolExecutor(8) as pool:
        futures = [(name, pool.submit(fn)) for _ in range(3) for name, fn in cases.items()]
        for name, future in futures:
            assert_same(future.result(), expected[name])
    pd.testing.assert_frame_equal(df, before)


def test_differential_tests_from_eight_threads():
    """Concurrent calls, each checking its batch against one-row calls with
    warnings ignored, give the sequential results. (The warning filters are
    not compared: pandas opens catch_warnings blocks of its own on every
    thread, and the warnings module does not keep those apart.)"""
    df = WIDE.iloc[:400].mask(WIDE.iloc[:400] > 23)
    df.iloc[:40] = 20.0  # rows without variance: the one-row calls warn
    calls = [lambda m=m: td.test_features(df, GROUPS, m) for m in ["t", "Welch", "mannwhitneyu"]]
    calls.append(lambda: td.test_features(df, THREE, "anova"))
    calls.append(lambda: td.test_features(df, GROUPS, "moderated"))
    calls.append(lambda: td.test_features(df, THREE, "moderated", legacy=True, trend=True, robust=True))
    expected = [call() for call in calls]
    with ThreadPoolExecutor(8) as pool:
        futures = [(k, pool.submit(call)) for _ in range(4) for k, call in enumerate(calls)]
        for k, future in futures:
            assert_same(future.result(), expected[k])


def test_first_permutation_calls_from_eight_threads():
    """A fresh stat module checks its kernel once; calls racing with that
    check give the same results and leave the warning filters as they were."""
    spec = importlib.util.find_spec("tessera.tools.stat")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    x, y = X[:30], Y[:30]
    expected = ts.hypothesis_test(x, y, "permutation")
    filters = list(warnings.filters)
    barrier = threading.Barrier(8)

    def call(_):
        barrier.wait()
        return module.hypothesis_test(x, y, "permutation")

    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(call, range(8)))
    assert results == [expected] * 8
    assert warnings.filters == filters


@pytest.mark.parametrize("call", [
    lambda: ts.hypothesis_test(X[:1000], Y[:1000], "permutation"),
    lambda: tv.Vetting({}).stat_test_two_samples(WIDE.iloc[:600], GROUPS, "permutation"),
], ids=["permutation", "per-feature permutation"])
def test_long_kernels_let_other_threads_run(call):
    """With the switch interval out of reach, the interpreter never takes the
    GIL from the caller, so another thread runs during the call only if the
    call releases the GIL itself (benchmarks/bench_latency.py measures how
    much of the time it does)."""
    ts.hypothesis_test(X[:5], Y[:5], "permutation")
    turns = 0
    running = True

    def other():
        nonlocal turns
        while running:
            turns += 1
            time.sleep(0)  # hands the GIL back at once

    interval = sys.getswitchinterval()
    thread = threading.Thread(target=other)
    sys.setswitchinterval(1000)
    try:
        thread.start()
        first = turns
        call()
        during = turns - first
    finally:
        running = False
        thread.join()
        sys.setswitchinterval(interval)
    assert during > 0
