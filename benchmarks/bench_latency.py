"""Ctrl-C latency and GIL release of the long calls.

    python benchmarks/bench_latency.py [--presses 3]

For each long call, presses Ctrl-C once 0.3 s after the call starts and
prints how long the call took to stop (the tests only check that it stops).
Then prints, for the long kernels, how much a Python thread counting beside
the call advances compared with counting alone: near 1 when the call runs
without the GIL (the tests only check that the thread runs at all).
"""
import argparse
import os
import signal
import statistics
import sys
import threading
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from test_concurrency import LONG_CALLS, GROUPS, WIDE, X, Y  # noqa: E402
from tessera.tools import stat as ts  # noqa: E402
from tessera.tools import vetting as tv  # noqa: E402


def stop_latency(call):
    """Seconds from one SIGINT to the KeyboardInterrupt leaving the call."""
    pressed = []

    def press():
        time.sleep(0.3)
        pressed.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    presser = threading.Thread(target=press)
    presser.start()
    try:
        call()
    except KeyboardInterrupt:
        return time.perf_counter() - pressed[0]
    finally:
        presser.join()
    return float("nan")  # the call ended before the press


def counter_share(call):
    """Counting pace of another thread during the call, over its pace alone."""
    count = 0
    running = True

    def counter():
        nonlocal count
        while running:
            count += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        first = count
        time.sleep(0.2)
        alone = (count - first) / 0.2
        start, first = time.perf_counter(), count
        call()
        pace = (count - first) / (time.perf_counter() - start)
    finally:
        running = False
        thread.join()
    return pace / alone


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--presses", type=int, default=3)
    args = parser.parse_args()
    signal.signal(signal.SIGINT, signal.default_int_handler)
    warnings.simplefilter("ignore")
    ts.hypothesis_test(X[:5], Y[:5], "permutation")
    print(f"{'call':28s} {'stop after one press (s)':>26s}")
    for name, call in LONG_CALLS.items():
        times = [stop_latency(call) for _ in range(args.presses)]
        print(f"{name:28s} {statistics.median(times):14.3f} (max {max(times):.3f})")
    kernels = {
        "permutation": lambda: ts.hypothesis_test(X[:1000], Y[:1000], "permutation"),
        "per-feature permutation": lambda: tv.Vetting({}).stat_test_two_samples(
            WIDE.iloc[:600], GROUPS, "permutation"),
    }
    print(f"\n{'kernel':28s} {'other thread pace vs alone':>26s}")
    for name, call in kernels.items():
        print(f"{name:28s} {counter_share(call):14.2f}")


if __name__ == "__main__":
    main()
