"""Times tessera.tools.preprocess against its reference route (plain per-cell pandas).

    python benchmarks/bench_preprocess.py [--rows 200000] [--samples 24]

Each step runs on the same generated table through the compiled module and
through its plain-Python twin (tests/twin_preprocess.py); the outputs are checked to
be identical before the ratio is printed. The whole pipeline on a CSV file is
compared with pd.read_csv alone on the same file.
"""
import argparse
import contextlib
import io
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import twin_preprocess  # noqa: E402
from tables import proteomics_table  # noqa: E402
from tessera.tools import preprocess as tp  # noqa: E402


def best_of(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()):
            result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def compare(name, fast, slow, repeat_fast=5, repeat_slow=1):
    t_fast, r_fast = best_of(fast, repeat_fast)
    t_slow, r_slow = best_of(slow, repeat_slow)
    pd.testing.assert_frame_equal(r_fast, r_slow, check_exact=True)
    print(f"{name:24s} tessera {t_fast * 1e3:9.1f} ms   reference route {t_slow * 1e3:9.1f} ms"
          f"   ratio {t_slow / t_fast:7.1f}x")
    return t_slow / t_fast


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--samples", type=int, default=24)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    raw = proteomics_table(rng, args.rows, args.samples, zeros=0.3, decoys=0.02)
    filtered = tp.noise_filter(raw, 1)
    logged = tp.log_transform(filtered, 2)
    print(f"table: {args.rows} rows x {args.samples} samples")

    compare("log_transform", lambda: tp.log_transform(filtered, 2),
            lambda: twin_preprocess.log_transform(filtered, 2))
    compare("noise_filter", lambda: tp.noise_filter(raw, 1),
            lambda: twin_preprocess.noise_filter(raw, 1))
    compare("remove_missing_values", lambda: tp.remove_missing_values(logged, 70),
            lambda: twin_preprocess.remove_missing_values(logged, 70), repeat_slow=5)
    compare("normalize", lambda: tp.normalize(logged.copy(), "log_median_0"),
            lambda: twin_preprocess.normalize(logged.copy(), "log_median_0"), repeat_slow=5)

    settings = {"index": "Protein IDs", "remove_decoy": "REV__", "noise_filter": 1,
                "log_transform": 2, "remove_missing_values": 70, "normalize": "log_median_0"}
    with tempfile.TemporaryDirectory() as tmp:
        path = str(Path(tmp) / "table.csv")
        raw.to_csv(path)
        compare("preprocess (CSV)", lambda: tp.preprocess(path, settings),
                lambda: twin_preprocess.preprocess(path, settings), repeat_fast=3)
        t_read, _ = best_of(lambda: pd.read_csv(path, sep=","), 3)
        t_all, _ = best_of(lambda: tp.preprocess(path, settings), 3)
    print(f"{'pipeline / read_csv':24s} read_csv {t_read * 1e3:8.1f} ms   preprocess "
          f"{t_all * 1e3:9.1f} ms   ratio {t_all / t_read:7.2f}x (target <= 1.5)")


if __name__ == "__main__":
    main()
