"""The analysis a `tessera analyze` run performs: read, preprocess, test,
draw, report, write.

Every figure is rendered to PNG bytes once; the same bytes go into the PNG
file and into the report. Nothing is written before all outputs exist in
memory or under temporary names, so a refused or failed run writes nothing.
"""
import contextlib
import os
import time
import warnings
from datetime import datetime, timezone

import pandas as pd

from tessera.cli import figures, qc
from tessera.cli.inputs import load_table
from tessera.cli.outputs import check_outputs, output_path, write_outputs
from tessera.cli.pipeline import run_preprocessing, run_test
from tessera.cli.progress import (flagged_summary, read_summary, result_counts_of,
                                  unused_summary)
from tessera.cli.render import render

# The features of the report's table of top features.
TOP_FEATURES = 20


# The quality-control figures, drawn for the report.
QC_NAMES = ("pca.png", "correlation.png", "missingness.png", "imputed.png")


def output_names(run, report=True):
    """The files a run writes, in the order it reports them."""
    names = ["preprocessed.csv", "test.csv", "intensities.png", "pvalues.png"]
    if run.two_groups:
        names.append("volcano.png")
    if not report:
        return names
    names += ["pca.png", "correlation.png", "missingness.png"]
    if "impute" in run.settings:
        names.append("imputed.png")
    return names + ["report.html", "run.toml"]


def write_bytes(path, data):
    with open(path, "wb") as handle:
        handle.write(data)


@contextlib.contextmanager
def _timed(timings, name):
    start = time.perf_counter()
    try:
        yield
    finally:
        timings[name] = timings.get(name, 0.0) + time.perf_counter() - start


def analyze(run, progress, *, command="", started=None, timings=None, report=True):
    """Runs ``run``, printing its lines through ``progress``, and writes its
    outputs. ``started`` is when the command started (perf_counter), for the
    report's elapsed time; ``timings``, a dict, receives the seconds each
    phase took. ``report=False`` leaves out the report and what only it
    needs (the quality-control figures, run.toml), for benchmarks/bench_cli.py
    to time a run with and without them."""
    started = time.perf_counter() if started is None else started
    timings = {} if timings is None else timings
    names = output_names(run, report)
    check_outputs([output_path(run.out, name) for name in names])

    with _timed(timings, "read"), progress.warnings_of("reading"):
        loaded = load_table(run)
        table = loaded.table
        progress.step("read", read_summary(table), kept=table.rows_read)
        flagged = flagged_summary(table, run.reading.get("keep_flagged", False))
        if flagged is not None:
            progress.step("flagged", flagged, kept=len(table.values),
                          removed=table.rows_removed)
        if loaded.samples_from_groups:
            progress.step("samples", f"{len(loaded.samples_from_groups)} columns the groups "
                          "name taken as the samples (the table is in none of the formats "
                          "and --samples is not given)")
        if loaded.unused:
            progress.step("samples", unused_summary(loaded.unused, run))
    with _timed(timings, "preprocess and test"):
        pre = run_preprocessing(table.values, run, progress)
        test = run_test(pre.table, run, progress, pre.imputed)
        # the annotations go right after the identifier, before the samples
        test = pd.concat([table.annotations.reindex(test.index), test], axis=1)

    jobs, about = {}, {}     # name: make(), name: (title, caption)

    def draw(name, title, caption, make):
        jobs[name], about[name] = make, (title, caption)

    names_of = _point_names(test, table.labels)
    draw("intensities.png", "Intensity distributions",
         "Each sample's values before and after the normalisation, coloured by group.",
         lambda: figures.intensity_figure(pre, run, loaded.labels))
    draw("pvalues.png", "p-value histogram",
         "A flat histogram means no effect; features that change pile up near 0.",
         lambda: figures.pvalue_figure(test, run))
    if run.two_groups:
        draw("volcano.png", "Volcano plot", _volcano_caption(run),
             lambda: figures.volcano_figure(test, run, names_of, top=run.label_top,
                                            fc_threshold=run.fc_threshold))
    if report:
        _quality_figures(draw, pre, run)
    with _timed(timings, "figures"):
        # the quality-control figures in a second process, beside the others
        rendered = render(jobs, aside=QC_NAMES)
    drawn = {}   # name: (title, caption, PNG bytes)
    for name, (png, seconds, caught) in rendered.items():
        timings[name] = seconds
        with progress.warnings_of(f"the figure {name}"):
            for category, message in caught:
                warnings.warn(message, category)
        drawn[name] = (*about[name], png)
    writers = {"preprocessed.csv": lambda path: pre.table.to_csv(path),
               "test.csv": lambda path: test.to_csv(path)}
    for name in names:
        if name.endswith(".png"):
            writers[name] = lambda path, data=drawn[name][2]: write_bytes(path, data)
    if report:
        with _timed(timings, "report"):
            page, run_toml = _report(run, loaded, test, progress, drawn, names_of,
                                     command=command, started=started)
        writers["report.html"] = lambda path: write_bytes(path, page.encode("utf-8"))
        writers["run.toml"] = lambda path: write_bytes(path, run_toml.encode("utf-8"))
    with _timed(timings, "write"):
        written, removed, kept = write_outputs(run.out, {n: writers[n] for n in names})
    for path in written:
        progress.note(f"wrote {path}")
    for path in removed:
        progress.note(f"removed {path}, written by an earlier run and not by this one")
    for path, reason in kept:
        progress.note(f"could not remove {path} ({reason}), written by an earlier run and "
                      "not by this one")


def _report(run, loaded, test, progress, drawn, names_of, *, command, started):
    """The report's page and run.toml's text."""
    from tessera.cli.interactive import volcano_svg
    from tessera.cli.record import dumps_run_toml, record_facts, resolved_settings
    from tessera.cli.report import fold_change_name, library_versions, render_html, sha256_of

    table = loaded.table
    sha256 = sha256_of(run.file)
    versions = library_versions()
    date = datetime.now(timezone.utc).astimezone().replace(microsecond=0)
    svg = volcano_svg(**figures.volcano_arguments(test, run, names_of),
                      fc_threshold=run.fc_threshold,
                      fc_name=fold_change_name(resolved_settings(run))) \
        if run.two_groups else None
    record = _run_record(run, loaded, test, progress, drawn, svg, sha256=sha256,
                         versions=versions, date=date.isoformat(sep=" "), command=command,
                         started=started)
    facts = {"format": table.format}
    if table.quantity:
        facts["quantity"] = table.quantity
    if run.design is not None:
        facts["groups"] = {name: list(columns) for name, columns in run.groups}
    run_toml = dumps_run_toml(
        resolved_settings(run), None if run.design is not None else run.groups,
        record_facts(run.file, sha256=sha256, versions=versions,
                     date=date.astimezone(timezone.utc).isoformat(), **facts))
    return render_html(record), run_toml


def _quality_figures(draw, pre, run):
    """The samples before the test: principal components on the table as
    tested (the imputed one when imputing), correlation and missing values on
    the table before any missing value was filtered or filled."""
    imputing = pre.imputed is not None
    draw("pca.png", "Principal components", qc.CAPTIONS["pca"],
         lambda: qc.principal_components(pre.table, run.groups,
                                         imputed=pre.table if imputing else None))
    draw("correlation.png", "Sample correlation", qc.CAPTIONS["correlation"],
         lambda: qc.correlation(pre.before_filters, run.groups))
    draw("missingness.png", "Missing values", qc.CAPTIONS["missingness"],
         lambda: qc.missingness(pre.before_filters, run.groups))
    if imputing:
        draw("imputed.png", "Imputed values", qc.CAPTIONS["imputed"],
             lambda: qc.imputation(pre.table, pre.imputed, run.groups))


def _point_names(test, labels):
    """Each feature's name on the figures: its label (e.g. the gene names)
    where it has one, else its identifier."""
    names = test.index.to_series()
    if labels is None:
        return names
    given = labels.reindex(test.index)
    return given.where(given.notna() & (given.astype(str).str.strip() != ""), names)


def _volcano_caption(run):
    from tessera.cli.record import resolved_settings
    from tessera.cli.report import fold_change_name

    fc_name = fold_change_name(resolved_settings(run))
    threshold = f" and an absolute {fc_name} of at least {run.fc_threshold:g} (dotted " \
        "lines)" if run.fc_threshold else ""
    return (f"{fc_name[0].upper()}{fc_name[1:]} against p-value; features with adjusted "
            f"p < 0.05{threshold} in colour, up to {run.label_top} of the most significant "
            "labelled.")


def _run_record(run, loaded, test, progress, drawn, svg, *, sha256, versions, date,
                command, started):
    from tessera.cli.record import resolved_settings
    from tessera.cli.report import (ReportFigure, RunRecord, fold_change_name, note_counts,
                                    top_features)

    table = loaded.table
    counts = result_counts_of(test, run)
    settings = resolved_settings(run)
    fc_name = fold_change_name(settings)

    def figure(name):
        title, caption, png = drawn[name]
        return ReportFigure(title, caption, png=png, file=os.path.basename(
            output_path(run.out, name)))

    qc_names = ["pca.png", "correlation.png", "missingness.png", "intensities.png"]
    qc_names += ["imputed.png"] if "imputed.png" in drawn else []
    test_figures = []
    if run.two_groups:
        test_figures += [figure("volcano.png"), ReportFigure(
            "Interactive volcano plot", "Hover over a point for its identifier, label, "
            f"{fc_name} and p-values.", svg=svg)]
    test_figures.append(figure("pvalues.png"))
    fc = f"{run.fold_change_method}_fc" if run.two_groups else None
    fmt = table.format
    if loaded.samples_from_groups:
        fmt += " (the groups' columns as samples)"
    return RunRecord(
        input_file=str(run.file), sha256=sha256, input_format=fmt,
        quantity=table.quantity or "the table's values", groups=run.groups,
        settings=settings, versions=versions, date=date,
        elapsed=time.perf_counter() - started, steps=progress.steps,
        tested=counts["tested"], significant=counts["significant"], alpha=figures.ALPHA,
        adjustment=run.multipletest_method, method=run.method,
        untested=note_counts(test[f"{run.method}_note"]), direction=counts["direction"],
        top=top_features(test, p=f"{run.method}_p",
                         adjusted=f"{run.method}_{run.multipletest_method}", fc=fc,
                         label=table.label_column, annotations=table.annotations.columns,
                         n=TOP_FEATURES),
        qc_figures=[figure(name) for name in qc_names], test_figures=test_figures,
        command=command, fc_threshold=run.fc_threshold if run.two_groups else None,
        input_check=run.input_check or "")
