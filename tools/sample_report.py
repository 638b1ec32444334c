"""Renders a report from a real table without the command line, to look at
the report's pages and figures on real data.

    python tools/sample_report.py OUT_DIR [--table cd34|acut|example] [--groups H N] [--impute]

cd34 (the shared MaxQuant table): LFQ intensities, zeros missing, log2,
decoy and contaminant rows out, rows with at least 2 values in each group,
median-centred; Welch's test on the measured values of two groups, or the
one-way analysis of variance for three. acut: the same steps, AC against UT,
its FASTA headers as labels. example: the bundled table, treat against ctrl.
Writes OUT_DIR/<name>_report.html, <name>_run.toml and the PNGs.
"""
import argparse
import time
from pathlib import Path

import numpy as np
import pandas as pd
from scipy import stats
from statsmodels.stats.multitest import multipletests

from tessera.cli import figures, qc
from tessera.cli.interactive import volcano_svg
from tessera.cli.outputs import OUTPUT_BY_NAME
from tessera.cli.record import (ReportFigure, RunRecord, Step, dumps_run_toml,
                                library_versions, record_facts, sha256_of)
from tessera.cli.render import png_bytes
from tessera.cli.report import render_html
from tessera.cli.results import ALPHA, ResultColumns, note_counts, result_counts, top_features
from tessera.cli.settings import example_path

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"


def caption(name):
    return OUTPUT_BY_NAME[f"{name}.png"].caption


def read(table):
    if table in ("cd34", "acut"):
        file = DATA / f"{table}_lfq_proteinGroups.tsv"
        raw = pd.read_csv(file, sep="\t", index_col="Majority protein IDs", low_memory=False)
        samples = [c for c in raw.columns if c.startswith("LFQ intensity ")]
        values = raw[samples].astype(float)
        values.columns = [c.removeprefix("LFQ intensity ") for c in samples]
        # the acut table has no gene names: its long FASTA headers test the shortening
        label = "Gene names" if "Gene names" in raw else "Fasta headers"
        return file, "MaxQuant proteinGroups", "LFQ intensity", values, raw[label]
    file = Path(str(example_path()))
    raw = pd.read_csv(file, sep="\t", index_col="Protein IDs")
    return file, "wide table", "intensity", raw.astype(float), None


def impute_downshift(df, columns, shift=1.8, width=0.3, seed=0):
    rng = np.random.default_rng(seed)
    out, mask = df.copy(), df[columns].isna()
    for c in columns:
        v = df[c].dropna()
        out.loc[mask[c], c] = rng.normal(v.mean() - shift * v.std(), width * v.std(),
                                         size=int(mask[c].sum()))
    return out, mask


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--table", default="cd34", choices=["cd34", "acut", "example"])
    parser.add_argument("--groups", nargs="+", default=None)
    parser.add_argument("--impute", action="store_true")
    parser.add_argument("--fc-threshold", type=float, default=None)
    args = parser.parse_args()
    start = time.perf_counter()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)

    file, fmt, quantity, values, genes = read(args.table)
    letters = args.groups or {"cd34": ["H", "N"], "acut": ["AC", "UT"]}.get(
        args.table, ["treat", "ctrl"])
    if args.table == "cd34":
        groups = [(g, [c for c in values.columns if c.rstrip("0123456789") == g])
                  for g in letters]
    else:
        groups = [(g, [c for c in values.columns if c.startswith(g)]) for g in letters]
    samples = [c for _, cs in groups for c in cs]
    steps = [Step("read", len(values), 0, f"{len(values)} rows x {len(samples)} samples "
                  f"from {file.name}")]
    keep = ~values.index.astype(str).str.contains("REV__|CON__")
    steps.append(Step("remove_decoy", int(keep.sum()), int((~keep).sum()),
                      "rows whose identifier contains REV__ or CON__"))
    values = values[keep][samples]
    zeros = int((values == 0).to_numpy().sum())
    values = values.where(values > 0)
    steps.append(Step("noise_filter", len(values), 0, f"{zeros} cells of 0 set missing"))
    logged = np.log2(values)
    steps.append(Step("log_transform", len(logged), 0, "every cell now log2"))
    counts = pd.DataFrame({g: logged[cs].notna().sum(axis=1) for g, cs in groups})
    kept = (counts >= 2).all(axis=1)
    filtered = logged[kept]
    steps.append(Step("min_valid", int(kept.sum()), int((~kept).sum()),
                      "rows with fewer than 2 values in a group removed"))
    normalised = filtered - filtered.median()
    steps.append(Step("normalize", len(normalised), 0, "each column minus its median"))

    imputed_table = mask = None
    if args.impute:
        imputed_table, mask = impute_downshift(normalised, samples)
        steps.append(Step("impute", len(normalised), 0,
                          f"{int(mask.to_numpy().sum())} cells filled by downshift (seed 0)"))
        tested_on = imputed_table
    else:
        tested_on = normalised

    sets = [tested_on[cs].to_numpy() for _, cs in groups]
    if len(groups) == 2:
        method = "Welch"
        stat, p = stats.ttest_ind(sets[0], sets[1], axis=1, equal_var=False, nan_policy="omit")
        p = np.asarray(getattr(p, "filled", lambda v: p)(np.nan), dtype=float)
    else:
        method = "oneway"
        p = np.array([stats.f_oneway(*[s[i][np.isfinite(s[i])] for s in sets]).pvalue
                      for i in range(len(tested_on))])
    p = pd.Series(p, index=tested_on.index)
    adjusted = pd.Series(np.nan, index=p.index)
    ok = p.notna()
    adjusted[ok] = multipletests(p[ok], method="fdr_bh")[1]
    test = pd.DataFrame({f"{method}_p": p, f"{method}_fdr_bh": adjusted})
    notes = pd.Series("", index=p.index).where(ok, "no variance in a group")
    if len(groups) == 2:
        fc = tested_on[groups[0][1]].mean(axis=1) - tested_on[groups[1][1]].mean(axis=1)
        test["group_fc"] = fc
    labels = genes.reindex(test.index) if genes is not None else None
    label_column = genes.name if genes is not None else None
    if labels is not None:
        test[label_column] = labels
    two = len(groups) == 2
    columns = ResultColumns(method, "fdr_bh", tuple(name for name, _ in groups),
                            "group" if two else None)
    counts = result_counts(test, columns, fc_threshold=args.fc_threshold)
    steps.append(Step(f"{method} test", int(ok.sum()), int((~ok).sum()),
                      f"{counts['significant']} significant at adjusted p < {ALPHA}"))

    colours = figures.group_colours(groups)
    before = logged[kept]
    timings = {}

    def draw(name, title, caption, make):
        t = time.perf_counter()
        fig = make()
        data = png_bytes(fig)
        timings[name] = time.perf_counter() - t
        (out / f"{args.table}_{name}.png").write_bytes(data)
        return ReportFigure(title, caption, png=data, file=f"{args.table}_{name}.png")

    qc_figures = [
        draw("pca", "Principal components", caption("pca"),
             lambda: qc.principal_components(normalised, groups, imputed=imputed_table)),
        draw("correlation", "Sample correlation", caption("correlation"),
             lambda: qc.correlation(normalised, groups)),
        draw("missingness", "Missing values", caption("missingness"),
             lambda: qc.missingness(logged, groups)),
        draw("intensities", "Intensity distributions", "Values of each sample before and "
             "after the normalisation.",
             lambda: figures.intensities([("before normalisation", before),
                                          ("after normalisation", normalised)],
                                         colours, "log2 intensity")),
    ]
    if args.impute:
        qc_figures.append(draw("imputed", "Imputed values", caption("imputed"),
                               lambda: qc.imputation(imputed_table, mask, groups)))
    test_figures = []
    if len(groups) == 2:
        (first, _), (second, _) = groups
        kwargs = dict(alpha=ALPHA, labels=(f"higher in {first}", f"higher in {second}"),
                      xlabel=f"group_fc: mean {first} minus mean {second}",
                      ylabel=f"-log10 p ({method})", title=f"{method} test, adjusted with fdr_bh")
        test_figures.append(draw(
            "volcano", "Volcano", "Fold change against p-value; the most significant "
            "features labelled.", lambda: figures.volcano(
                test["group_fc"], p, adjusted, top=10, names=labels,
                fc_threshold=args.fc_threshold, **kwargs)))
        t = time.perf_counter()
        svg = volcano_svg(test["group_fc"], p, adjusted, names=labels,
                          fc_threshold=args.fc_threshold, **kwargs)
        timings["volcano_svg"] = time.perf_counter() - t
        test_figures.append(ReportFigure("Interactive volcano", "Hover over a point for its "
                                         "identifier, label, fold change and p-values.",
                                         svg=svg))
    test_figures.append(draw("pvalues", "p-value histogram", "A flat histogram with a peak "
                             "near 0 is what a test with true effects gives.",
                             lambda: figures.pvalue_histogram(p, f"p-value ({method})")))

    settings = {"file": str(file), "index": "Majority protein IDs",
                "remove_decoy": "REV__|CON__", "noise_filter": 1, "log_transform": 2,
                "min_valid": 2, "normalize": "log_median_0", "multipletest_method": "fdr_bh",
                "out": str(out / args.table)}
    if len(groups) == 2:
        settings["method"] = method
        if args.fc_threshold:
            settings["fc_threshold"] = args.fc_threshold
    if args.impute:
        settings["impute"] = "downshift"
    sha = sha256_of(file)
    versions = library_versions()
    record = RunRecord(
        input_file=str(file), sha256=sha, input_format=fmt, quantity=quantity, groups=groups,
        settings=settings, versions=versions,
        date=time.strftime("%Y-%m-%d %H:%M:%S"), elapsed=time.perf_counter() - start,
        steps=steps, tested=counts["tested"], significant=counts["significant"], alpha=ALPHA,
        adjustment="fdr_bh", method=method, untested=note_counts(notes),
        direction=counts["direction"],
        top=top_features(test, columns,
                         annotations=[label_column] if labels is not None else []),
        qc_figures=qc_figures, test_figures=test_figures,
        command=f"python tools/sample_report.py {args.out} --table {args.table}",
        fc_threshold=args.fc_threshold)
    t = time.perf_counter()
    (out / f"{args.table}_report.html").write_text(render_html(record), encoding="utf-8")
    timings["html"] = time.perf_counter() - t
    (out / f"{args.table}_run.toml").write_text(dumps_run_toml(
        settings, groups, record_facts(file, sha256=sha, versions=versions)))
    for name, seconds in timings.items():
        print(f"{name:<14}{seconds * 1000:7.0f} ms")
    print(f"wrote {out / (args.table + '_report.html')}")


if __name__ == "__main__":
    main()
