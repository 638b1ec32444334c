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

from tessera.cli import figures, qc, results
from tessera.cli.inputs import load_table
from tessera.cli.model import without_covariates
from tessera.cli.outputs import (OUTPUT_BY_NAME, check_outputs, output_names, output_path,
                                 shown_in, write_outputs)
from tessera.cli.pipeline import run_preprocessing, run_test
from tessera.cli.progress import (flagged_summary, read_summary, rollup_summaries,
                                  unused_runs_summary, unused_summary)
from tessera.cli.progress import contrast_summaries, estimates_summary
from tessera.cli.record import (ContrastResult, ReportFigure, RunRecord, dumps_run_toml,
                                library_versions, record_facts, resolved_settings, sha256_of)
from tessera.cli.render import render

# The figures drawn in a second process while this one draws the others:
# the quality-control figures, which only the report needs.
ASIDE = ("pca.png", "pca_adjusted.png", "correlation.png", "missingness.png", "imputed.png")
# The volcano plots of given contrasts, one file per contrast.
CONTRAST_VOLCANO = OUTPUT_BY_NAME["volcano_{contrast}.png"]


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

    rollup_lines = []   # a precursor report's lines, which run.toml repeats
    with _timed(timings, "read"), progress.warnings_of("reading"):
        loaded = load_table(run)
        table = loaded.table
        if loaded.rolled is not None:
            rollup_lines = [progress.step(*line) for line in
                            rollup_summaries(loaded.rolled, run)]
            if loaded.unused:
                rollup_lines.append(progress.step("runs", unused_runs_summary(loaded.unused,
                                                                              run)))
        else:
            progress.step("read", read_summary(table), kept=table.rows_read)
        flagged = flagged_summary(table, run.reading.get("keep_flagged", False))
        if flagged is not None:
            progress.step("flagged", flagged, kept=len(table.values),
                          removed=table.rows_removed)
        if loaded.samples_from_groups:
            progress.step("samples", f"{len(loaded.samples_from_groups)} columns the groups "
                          "name taken as the samples (the table is in none of the formats "
                          "and --samples is not given)")
        if loaded.unused and loaded.rolled is None:
            progress.step("samples", unused_summary(loaded.unused, run))
    with _timed(timings, "preprocess and test"):
        pre = run_preprocessing(table.values, run, progress, table.annotations)
        test = run_test(pre.table, run, progress, pre.imputed)
        prior = test.attrs.get("moderated", {})   # the concat below keeps no attrs
        # the annotations go right after the identifier, before the samples
        test = pd.concat([table.annotations.reindex(test.index), test], axis=1)

    names_of = _point_names(test, table.labels)
    makers = {   # output name: make(), returning the figure
        "intensities.png": lambda: figures.intensity_figure(pre, run, loaded.labels),
        "pvalues.png": lambda: figures.pvalue_figure(test, run),
        "volcano.png": lambda: figures.volcano_figure(test, run, names_of, top=run.label_top,
                                                      fc_threshold=run.fc_threshold),
        **{name: lambda contrast=contrast: figures.volcano_figure(
            test, run, names_of, top=run.label_top, fc_threshold=run.fc_threshold,
            contrast=contrast) for contrast, name in _contrast_volcanoes(run)},
        **_quality_figures(pre, run)}
    with _timed(timings, "figures"):
        rendered = render({name: makers[name] for name in names if name in makers},
                          aside=ASIDE)
    drawn = {}   # name: PNG bytes
    for name, (png, seconds, caught) in rendered.items():
        timings[name] = seconds
        with progress.warnings_of(f"the figure {name}"):
            for category, message in caught:
                warnings.warn(message, category)
        drawn[name] = png
    writers = {"preprocessed.csv": lambda path: pre.table.to_csv(path),
               "test.csv": lambda path: test.to_csv(path)}
    for name, png in drawn.items():
        writers[name] = lambda path, data=png: write_bytes(path, data)
    if report:
        with _timed(timings, "report"):
            page, run_toml = _report(run, loaded, test, prior, progress, drawn, names_of,
                                     command=command, started=started,
                                     rollup_lines=rollup_lines, shifts=pre.shifts)
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


def _report(run, loaded, test, prior, progress, drawn, names_of, *, command, started,
            rollup_lines=(), shifts=None):
    """The report's page and run.toml's text; run.toml repeats a precursor
    report's lines (``rollup_lines``) as they were printed."""
    from tessera.cli.report import render_html

    table = loaded.table
    sha256 = sha256_of(run.file)
    versions = library_versions()
    date = datetime.now(timezone.utc).astimezone().replace(microsecond=0)
    record = _run_record(run, loaded, test, prior, progress, drawn, names_of, sha256=sha256,
                         versions=versions, date=date.isoformat(sep=" "), command=command,
                         started=started)
    if shifts is not None:
        record.normalize = run.settings["normalize"]
        record.shifts = {str(k): float(v) for k, v in shifts.items()}
    facts = {"format": table.format}
    if table.quantity:
        facts["quantity"] = table.quantity
    if run.design is not None:
        facts["groups"] = {name: list(columns) for name, columns in run.groups}
    if rollup_lines:
        facts["rollup"] = {"lines": list(rollup_lines)}
    run_toml = dumps_run_toml(
        resolved_settings(run), None if run.design is not None else run.groups,
        record_facts(run.file, sha256=sha256, versions=versions,
                     date=date.astimezone(timezone.utc).isoformat(), **facts))
    return render_html(record), run_toml


def _contrast_volcanoes(run):
    """[(contrast, file name)] of the volcano plots of the given contrasts."""
    if not run.contrasts_given:
        return []
    return list(zip(run.model.contrasts, CONTRAST_VOLCANO.names(run)))


def _quality_figures(pre, run):
    """{output name: make()} of the samples before the test: principal
    components on the table as tested (the imputed one when imputing), and
    with a model's covariates also after removing their effects,
    correlation and missing values on the table before any missing value was
    filtered or filled, and the imputed values."""
    imputing = pre.imputed is not None
    return {
        "pca.png": lambda: qc.principal_components(pre.table, run.groups,
                                                   imputed=pre.table if imputing else None),
        "pca_adjusted.png": lambda: qc.principal_components(
            without_covariates(pre.table, run.model), run.groups,
            imputed=without_covariates(pre.table, run.model) if imputing else None,
            removed=_covariate_words(run.model) + "'s effects"),
        "correlation.png": lambda: qc.correlation(pre.before_filters, run.groups),
        "missingness.png": lambda: qc.missingness(pre.before_filters, run.groups),
        "imputed.png": lambda: qc.imputation(pre.table, pre.imputed, run.groups)}


def _point_names(test, labels):
    """Each feature's name on the figures: its label (e.g. the gene names)
    where it has one, else its identifier."""
    names = test.index.to_series()
    if labels is None:
        return names
    given = labels.reindex(test.index)
    return given.where(given.notna() & (given.astype(str).str.strip() != ""), names)


def _covariate_words(model):
    """The variables whose effects a model's figures remove, in words."""
    return " and ".join(model.kinds) if model is not None else ""


def caption_words(run):
    """The words of a run that the report's captions name: the fold change
    (``fc_name``, capitalised ``Fc_name``), the significance level, the
    fold-change threshold's phrase, the number of labelled features and a
    model's formula and covariates."""
    fc_name = results.fold_change_name(run.settings.get("log_transform"))
    threshold = f" and an absolute {fc_name} of at least {run.fc_threshold:g} (dotted " \
        "lines)" if run.fc_threshold else ""
    return {"fc_name": fc_name, "Fc_name": fc_name[0].upper() + fc_name[1:],
            "alpha": results.ALPHA, "threshold": threshold, "label_top": run.label_top,
            "formula": run.model.formula if run.model is not None else "",
            "covariates": _covariate_words(run.model)}


def _run_record(run, loaded, test, prior, progress, drawn, names_of, *, sha256, versions,
                date, command, started):
    from tessera.cli.interactive import volcano_svg

    table = loaded.table
    columns = run.result_columns
    found = results.result_counts(test, columns, fc_threshold=run.fc_threshold)
    words = caption_words(run)

    def figure(output, name, title=None):
        return ReportFigure(title or output.title, output.caption.format(**words),
                            png=drawn[name], file=os.path.basename(output_path(run.out, name)))

    def shown(section):
        return [figure(output, name) for output, name in shown_in(section, drawn)]

    test_figures = shown("test")
    if "volcano.png" in drawn:
        # the interactive volcano goes right after the PNG one
        svg = volcano_svg(**figures.volcano_arguments(test, run, names_of),
                          fc_threshold=run.fc_threshold, fc_name=words["fc_name"])
        test_figures.insert(1, ReportFigure(
            "Interactive volcano plot", "Hover over a point for its identifier, label, "
            f"{words['fc_name']} and p-values.", svg=svg))
    fmt = table.format
    if loaded.samples_from_groups:
        fmt += " (the groups' columns as samples)"
    return RunRecord(
        input_file=str(run.file), sha256=sha256, input_format=fmt,
        quantity=table.quantity or "the table's values", groups=run.groups,
        settings=resolved_settings(run), versions=versions, date=date,
        elapsed=time.perf_counter() - started, steps=progress.steps,
        tested=found["tested"], significant=found["significant"], alpha=results.ALPHA,
        adjustment=run.multipletest_method, method=run.method,
        untested=results.note_counts(results.untested_notes(test, columns)),
        direction=found["direction"],
        top=results.top_features(test, columns, label=table.label_column,
                                 annotations=table.annotations.columns),
        qc_figures=shown("qc"), test_figures=test_figures, command=command,
        fc_threshold=run.fc_threshold if run.has_fold_change else None,
        input_check=run.input_check or "",
        per_run=None if loaded.rolled is None else loaded.rolled.per_run,
        **_model_record(run, test, prior, table, figure))


def _model_record(run, test, prior, table, figure):
    """The RunRecord's fields of a model: its words, each test's counts, top
    features and volcano, and what was estimated on the way."""
    if run.model is None:
        return {}
    from tessera.cli.model import model_words

    volcanoes = {contrast.name: name for contrast, name in _contrast_volcanoes(run)}
    found = []
    for tested, (name, line) in zip(run.result_columns.tests, contrast_summaries(test, run)):
        counts = results.result_counts(test, tested, fc_threshold=run.fc_threshold)
        file = volcanoes.get(tested.name)
        found.append(ContrastResult(
            name=name, summary=line, tested=counts["tested"],
            significant=counts["significant"], direction=counts["direction"],
            top=results.top_features(test, tested, label=table.label_column,
                                     annotations=table.annotations.columns),
            figure=figure(CONTRAST_VOLCANO, file, f"Volcano plot of {name}") if file else None))
    weights = prior.get("sample_weights")
    return {"model": model_words(run.model), "contrasts": found,
            "estimates": estimates_summary(prior, run.model),
            "sample_weights": {} if weights is None else
            {str(k): float(v) for k, v in weights.items()}}
