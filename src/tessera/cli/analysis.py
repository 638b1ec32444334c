"""The analysis a `tessera analyze` run performs: read, preprocess, test, draw, write."""
import pandas as pd

from tessera.cli import figures
from tessera.cli.inputs import load_table
from tessera.cli.outputs import check_outputs, output_path, write_outputs
from tessera.cli.pipeline import run_preprocessing, run_test
from tessera.cli.progress import flagged_summary, read_summary, unused_summary


def analyze(run, report):
    names = ["preprocessed.csv", "test.csv", "intensities.png", "pvalues.png"]
    if run.two_groups:
        names.append("volcano.png")
    check_outputs([output_path(run.out, name) for name in names])

    with report.warnings_of("reading"):
        table, unused, sample_labels = load_table(run)
        report.step("read", read_summary(table))
        flagged = flagged_summary(table, run.reading.get("keep_flagged", False))
        if flagged is not None:
            report.step("flagged", flagged)
        if unused:
            report.step("samples", unused_summary(unused, run))
    pre = run_preprocessing(table.values, run.settings, report)
    df = pre.table
    test = run_test(df, run, report)
    # the annotations go right after the identifier, before the samples
    test = pd.concat([table.annotations.reindex(test.index), test], axis=1)

    with report.warnings_of("the figures"):
        drawn = {"intensities.png": figures.intensity_figure(pre, run, sample_labels),
                 "pvalues.png": figures.pvalue_figure(test, run)}
        if run.two_groups:
            drawn["volcano.png"] = figures.volcano_figure(test, run, labels=table.labels)
        writers = {"preprocessed.csv": lambda path: df.to_csv(path),
                   "test.csv": lambda path: test.to_csv(path)}
        for name, fig in drawn.items():
            writers[name] = lambda path, fig=fig: fig.savefig(path, format="png")
        written, removed, kept = write_outputs(run.out, writers)
    for path in written:
        report.note(f"wrote {path}")
    for path in removed:
        report.note(f"removed {path}, written by an earlier run and not by this one")
    for path, reason in kept:
        report.note(f"could not remove {path} ({reason}), written by an earlier run and "
                    "not by this one")
