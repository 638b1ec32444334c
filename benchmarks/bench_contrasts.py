"""Times test_contrasts and its estimates against limma in R, side by side.

    python benchmarks/bench_contrasts.py [--rows 20000] [--no-r]

On a generated log2 table (48 runs: 24 samples injected twice, 4 conditions
of 6 samples, 4 batches; 10% of cells missing) with the design
~ 0 + condition + batch and 3 contrasts, times in one process:

- the moderated tests (test_contrasts with the design matrix given, as limma
  is given one; and with the formula, which formulaic turns into it);
- the block correlation of the injections (duplicateCorrelation's estimate);
- the sample weights (arrayWeights' estimate, gene by gene with missing values);

then, when Rscript and limma are there, the same steps in R on the same
values (lmFit + contrasts.fit + eBayes + topTable per contrast + the F's
adjusted p-values; duplicateCorrelation; arrayWeights), checks that the
results agree (p-values 1e-10, correlation and weights 1e-6 relative) and
prints the times (wall clock, and the processor time of all threads, which
a busy shared machine inflates less), their ratios and the machine's load.
Targets: the tests under 0.1 s, each estimate under 1 s, each at least 20
times faster than R.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

from tessera.tools import _native
from tessera.tools import differential as td

CONTRASTS = {"BvsA": "conditionB - conditionA", "CvsA": "conditionC - conditionA",
             "DvsABC": "conditionD - (conditionA + conditionB + conditionC)/3"}

R_SCRIPT = r"""
suppressPackageStartupMessages(library(limma))
args <- commandArgs(trailingOnly = TRUE)
m <- as.matrix(read.delim(file.path(args[1], "values.tsv"), row.names = 1, na.strings = ""))
info <- read.delim(file.path(args[1], "samples.tsv"), colClasses = "character")
design <- model.matrix(~0 + condition + batch, info)
cm <- makeContrasts(BvsA = conditionB - conditionA, CvsA = conditionC - conditionA,
                    DvsABC = conditionD - (conditionA + conditionB + conditionC)/3,
                    levels = design)
fit_time <- system.time({
  eb <- eBayes(contrasts.fit(lmFit(m, design), cm))
  tables <- lapply(colnames(cm), function(k) topTable(eb, coef = k, number = Inf, sort.by = "none"))
  f_adjusted <- p.adjust(eb$F.p.value, "BH")
})[["elapsed"]]
block_time <- system.time(
  rho <- duplicateCorrelation(m, design, block = info$sample)$consensus.correlation)[["elapsed"]]
weights_time <- system.time(w <- arrayWeights(m, design))[["elapsed"]]
write.table(data.frame(p = tables[[1]]$P.Value, F.p = eb$F.p.value),
            file.path(args[1], "r_p.tsv"), sep = "\t", row.names = FALSE)
write.table(data.frame(step = c("fit", "block", "weights"),
                       seconds = c(fit_time, block_time, weights_time)),
            file.path(args[1], "r_times.tsv"), sep = "\t", row.names = FALSE)
writeLines(sprintf("%.17g", c(rho, w)), file.path(args[1], "r_estimates.txt"))
"""


def table(rows, seed=0):
    """values (rows x 48) and the samples frame of the benchmark's design."""
    rng = np.random.default_rng(seed)
    sample = np.repeat(np.arange(24), 2)
    samples = pd.DataFrame({"condition": np.repeat(list("ABCD"), 12),
                            "batch": [f"b{s % 4}" for s in sample],
                            "sample": [f"s{s}" for s in sample]},
                           index=[f"run{i}" for i in range(48)])
    level = rng.normal(22, 2, (rows, 1))
    effect = rng.normal(0, 0.5, (rows, 4)) * (rng.random((rows, 4)) < 0.2)
    values = (level + rng.normal(0, 0.4, (rows, 24))[:, sample]
              + np.repeat(effect, 12, axis=1) + rng.normal(0, 0.3, (rows, 48)))
    values[rng.random(values.shape) < 0.1] = np.nan
    return values, samples


def timed(fn, repeat):
    """(best wall time, the processor time of that run, the result)."""
    best, cpu, result = float("inf"), 0.0, None
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        wall = time.perf_counter() - start
        if wall < best:
            best, cpu = wall, time.process_time() - start_cpu
    return best, cpu, result


def run_r(folder, values, samples):
    pd.DataFrame(values, columns=samples.index).to_csv(folder / "values.tsv", sep="\t",
                                                       float_format="%.17g", na_rep="")
    samples.to_csv(folder / "samples.tsv", sep="\t", index=False)
    (folder / "run.R").write_text(R_SCRIPT)
    subprocess.run(["Rscript", str(folder / "run.R"), str(folder)], check=True)
    times = pd.read_csv(folder / "r_times.tsv", sep="\t").set_index("step")["seconds"]
    estimates = np.loadtxt(folder / "r_estimates.txt")
    return times, pd.read_csv(folder / "r_p.tsv", sep="\t"), estimates[0], estimates[1:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=20_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-r", action="store_true", help="time tessera only")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    values, samples = table(args.rows)
    df = pd.DataFrame(values, columns=samples.index)
    design = pd.DataFrame(np.column_stack([
        (samples["condition"] == c).to_numpy(float) for c in "ABCD"] + [
        (samples["batch"] == b).to_numpy(float) for b in ("b1", "b2", "b3")]),
        index=samples.index,
        columns=[f"condition{c}" for c in "ABCD"] + ["batchb1", "batchb2", "batchb3"])
    block = pd.factorize(samples["sample"])[0]
    print(f"table: {args.rows} rows x 48 runs (24 samples x 2 injections), 10% of cells missing; "
          f"design ~ 0 + condition + batch (4 + 3 columns), 3 contrasts; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")

    ours, cpu = {}, {}
    ours["fit"], cpu["fit"], result = timed(
        lambda: td.test_contrasts(df, samples, design, CONTRASTS, legacy=True), args.repeat)
    ours["formula"], cpu["formula"], by_formula = timed(
        lambda: td.test_contrasts(df, samples, "~ 0 + condition + batch", CONTRASTS, legacy=True),
        args.repeat)
    pd.testing.assert_frame_equal(result, by_formula)
    x = design.to_numpy()
    ours["block"], cpu["block"], (rho, _) = timed(
        lambda: _native.duplicate_correlation(values, x, block), max(1, args.repeat // 2))
    ours["weights"], cpu["weights"], weights = timed(lambda: _native.array_weights(values, x),
                                                     max(1, args.repeat // 2))
    targets = {"fit": 0.1, "formula": 0.1, "block": 1.0, "weights": 1.0}
    names = {"fit": "fit, contrasts, moderation (design given)",
             "formula": "the same from the formula",
             "block": "block correlation", "weights": "sample weights"}

    r_times = None
    if not args.no_r and shutil.which("Rscript"):
        with tempfile.TemporaryDirectory() as scratch:
            try:
                r_times, r_p, r_rho, r_weights = run_r(Path(scratch), values, samples)
            except subprocess.CalledProcessError:
                print("R: the limma run failed (is r-bioc-limma installed?); tessera times only")
        if r_times is not None:
            p_error = np.nanmax(np.abs(result["BvsA_p"].to_numpy() / r_p["p"].to_numpy() - 1))
            f_error = np.nanmax(np.abs(result["F_p"].to_numpy() / r_p["F.p"].to_numpy() - 1))
            rho_error = abs(rho / r_rho - 1)
            w_error = np.max(np.abs(weights / r_weights - 1))
            print(f"agreement with limma: p {p_error:.1e}, F p {f_error:.1e}, "
                  f"correlation {rho_error:.1e} ({rho:.6f}), weights {w_error:.1e}")
            assert p_error < 1e-10 and f_error < 1e-10 and rho_error < 1e-6 and w_error < 1e-6
    else:
        print("R: not run (Rscript absent or --no-r); tessera times only")

    for step in ours:
        line = (f"{names[step]:44s} tessera {ours[step] * 1e3:7.1f} ms, processor {cpu[step] * 1e3:7.1f} ms "
                f"(target < {targets[step]:g} s)")
        r_step = "fit" if step == "formula" else step
        if r_times is not None:
            line += f"   limma {r_times[r_step]:7.2f} s   {r_times[r_step] / ours[step]:6.1f}x faster"
        print(line)


if __name__ == "__main__":
    main()
