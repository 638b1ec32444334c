"""Time of each report figure and of the HTML on the bundled example's size.

    python benchmarks/bench_report.py [--repeat 3] [--rows 3000]

The bundled example (3,000 rows x 10 samples) is preprocessed with the
example's settings and tested with Welch's test, as `tessera analyze` runs
it; each figure is then built and rendered to PNG bytes (what the report
embeds and the run writes), the SVG volcano and the HTML page are rendered,
and the best of --repeat runs of each is printed, with the sum of what the
report adds to a run beside the figures a run drew before it. --rows other
than 3000 draws that many rows of the example, with repetition.
"""
import argparse
import sys
import time
import warnings

import numpy as np
import pandas as pd


def example_tables(rows):
    from tessera.cli.settings import EXAMPLE_GROUPS, example_path
    from tessera.tools import preprocess
    from tessera.tools.vetting import Vetting

    raw = pd.read_csv(str(example_path()), sep="\t", index_col="Protein IDs").astype(float)
    if rows != len(raw):
        take = np.resize(np.arange(len(raw)), rows)
        raw = raw.iloc[take]
        raw.index = [f"{name}_{i}" for i, name in enumerate(raw.index)]
    df = preprocess.remove_decoy(raw, "REV__|CON__")
    df = preprocess.noise_filter(df, 1)
    logged = preprocess.log_transform(df, 2)
    kept = preprocess.remove_missing_values(logged, 100)
    before = kept.copy()
    normalised = preprocess.normalize(kept.copy(), "log_median_0")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        test = Vetting({"out_dir": "unused"}).stat_test_two_samples(normalised, EXAMPLE_GROUPS,
                                                                    "Welch")
    return raw, logged, before, normalised, test, EXAMPLE_GROUPS


def best(fn, repeat):
    """Best wall time, best processor time (less disturbed by other work on a
    shared machine) and the result of ``repeat`` calls of fn."""
    wall, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return min(wall), min(cpu), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rows", type=int, default=3000)
    args = parser.parse_args()

    from tessera.cli import figures, qc
    from tessera.cli.interactive import volcano_svg
    from tessera.cli.record import ReportFigure, RunRecord, Step, dumps_run_toml, record_facts
    from tessera.cli.render import png_bytes
    from tessera.cli.report import render_html
    from tessera.cli.results import ResultColumns, top_features
    from tessera.cli.settings import example_path

    raw, logged, before, normalised, test, groups = example_tables(args.rows)
    samples = [c for _, cs in groups for c in cs]
    filled = normalised.fillna(normalised.min().min())
    mask = normalised.isna()
    fc, p, adjusted = test["group_fc"], test["Welch_p"], test["Welch_fdr_bh"]
    colours = figures.group_colours(groups)
    volcano_kwargs = dict(alpha=0.05, labels=("higher in treat", "higher in ctrl"),
                          xlabel="group_fc: mean treat minus mean ctrl",
                          ylabel="-log10 p (Welch)", title="Welch test, adjusted with fdr_bh")
    existing = {
        "intensities.png": lambda: figures.intensities(
            [("before", before), ("after", normalised)], colours, "log2 intensity"),
        "pvalues.png": lambda: figures.pvalue_histogram(p, "p-value (Welch)"),
        "volcano.png": lambda: figures.volcano(fc, p, adjusted, top=10, **volcano_kwargs),
    }
    added = {
        "pca.png": lambda: qc.principal_components(normalised, groups),
        "correlation.png": lambda: qc.correlation(normalised, groups),
        "missingness.png": lambda: qc.missingness(logged, groups),
        "imputed.png": lambda: qc.imputation(filled, mask, groups),
    }
    print(f"{'':<22}{'wall':>11}{'processor':>12}")
    print(f"table {len(raw)} x {len(samples)}; {len(normalised)} rows tested; "
          f"best wall and processor time of {args.repeat} runs; each figure built and "
          "rendered to PNG")
    pngs, totals = {}, {"before": [0.0, 0.0], "added": [0.0, 0.0]}
    for kind, drawings in (("before", existing), ("added", added)):
        for name, make in drawings.items():
            low, mid, data = best(lambda make=make: png_bytes(make()), args.repeat)
            pngs[name] = data
            totals[kind][0] += low
            totals[kind][1] += mid
            print(f"{name:<22}{low * 1000:8.0f} ms {mid * 1000:8.0f} ms  "
                  f"({'drawn before' if kind == 'before' else 'added by the report'})")

    low, mid, svg = best(lambda: volcano_svg(fc, p, adjusted, **volcano_kwargs), args.repeat)
    totals["added"][0] += low
    totals["added"][1] += mid
    print(f"{'volcano svg':<22}{low * 1000:8.0f} ms {mid * 1000:8.0f} ms  ({len(svg)} bytes)")
    record = RunRecord(
        input_file=str(example_path()), sha256="0" * 64, input_format="wide table",
        quantity="intensity", groups=groups, settings={"normalize": "log_median_0"},
        versions={"tessera": "0.1.0"}, date="today", elapsed=1.0,
        steps=[Step("read", len(raw), 0, "")], tested=int(p.notna().sum()),
        significant=int((adjusted < 0.05).sum()), alpha=0.05, adjustment="fdr_bh",
        method="Welch", top=top_features(test, ResultColumns("Welch", "fdr_bh",
                                                             ("treat", "ctrl"), "group")),
        qc_figures=[ReportFigure(n, "", png=pngs[n]) for n in added],
        test_figures=[ReportFigure(n, "", png=pngs[n]) for n in existing] +
        [ReportFigure("volcano", "", svg=svg)])
    low, mid, page = best(lambda: render_html(record), args.repeat)
    totals["added"][0] += low
    totals["added"][1] += mid
    print(f"{'report.html':<22}{low * 1000:8.0f} ms {mid * 1000:8.0f} ms  ({len(page)} bytes)")
    low, mid, _ = best(lambda: dumps_run_toml({"file": "x"}, groups, record_facts(
        str(example_path()))), args.repeat)
    totals["added"][0] += low
    totals["added"][1] += mid
    print(f"{'run.toml':<22}{low * 1000:8.0f} ms {mid * 1000:8.0f} ms")
    for kind, label in (("before", "figures drawn before"), ("added", "added by the report")):
        wall, cpu = totals[kind]
        print(f"{label:<22}{wall * 1000:8.0f} ms {cpu * 1000:8.0f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
