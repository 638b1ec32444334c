"""The analysis proper: the preprocessing steps in the library's order, then
the per-feature test between the groups."""
import warnings
from dataclasses import dataclass

import pandas as pd

from tessera.cli.errors import UsageError, one_line
from tessera.cli.progress import Elapsed, step_summary, test_summary

# The preprocessing steps in the order the library's pipeline runs them.
STEPS = ("remove_decoy", "noise_filter", "log_transform", "remove_missing_values", "normalize")


@dataclass
class Preprocessed:
    table: pd.DataFrame
    before_normalize: pd.DataFrame | None   # None when the normalisation did not run
    log_base: int | None                    # None when no log transform took effect


def run_preprocessing(df, settings, report):
    """Runs the configured steps in the pipeline's order, one summary line each."""
    from tessera.tools import preprocess

    before_normalize, log_base = None, None
    for key in STEPS:
        if key not in settings:
            continue
        value = settings[key]
        step = getattr(preprocess, key)
        if key == "normalize":
            # normalize changes the table it is given; keep the input for the figure
            before_normalize = df
            result = step(df.copy(), value)
        else:
            result = step(df, value)
        report.step(key, step_summary(key, value, df, result))
        if len(result) == 0:
            raise UsageError(f"no rows left after {key} {value!r}; loosen that setting")
        if key == "log_transform" and result is not df:
            log_base = value
        df = result
    return Preprocessed(df, before_normalize, log_base)


def run_test(df, run, report):
    """The per-feature test table, with its summary line."""
    from tessera.tools.vetting import Vetting

    vetting = Vetting({"out_dir": run.out})
    kwargs = {"multipletest_method": run.multipletest_method}
    label = f"{run.method} test" if run.two_groups else "one-way ANOVA"
    # scipy warns once per degenerate row (constant values, too few values);
    # they are counted into the summary instead of flooding the terminal
    with warnings.catch_warnings(record=True) as caught, \
            Elapsed(f"{label} on {len(df)} features"):
        warnings.simplefilter("always")
        if run.two_groups:
            kwargs["fold_change_method"] = run.fold_change_method
            table = vetting.stat_test_two_samples(df, run.groups, run.method, **kwargs)
        else:
            table = vetting.stat_test_oneway(df, run.groups, **kwargs)
    table.index.name = df.index.name   # the test's rows are rebuilt without the index's name

    report.step(label, test_summary(table, run))
    if caught:
        report.step("", f"{len(caught)} warnings from the test, the first: "
                        f"{one_line(caught[0].message)}")
    return table
