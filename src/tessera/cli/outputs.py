"""A run's files: the registry of every output, and writing them as one set.

Every file is written under a temporary name in its own directory and
renamed only when all of them are complete, so a failed or interrupted run
leaves the files of an earlier run as they were. A run owns the names of
OUTPUTS under its prefix: when it completes, the ones an earlier run left
there and it did not write itself are removed, so that the outputs under a
prefix are always one run's set. No other file is touched.

A new output is one more entry of OUTPUTS: the names a run writes, the
names it may remove, --help and the report's figures all follow from it. An
output written once per contrast is one entry whose name holds a field
(``volcano_{contrast}.png``, one file per value of FIELDS); its stale files
are the ones under the prefix that match the name with any value the field
can take, except a name that reads as another output under a longer prefix
(PREFIX_volcano_x_pca.png is x's pca.png under PREFIX_volcano).
"""
import contextlib
import os
import re
import secrets
import signal
import threading
from dataclasses import dataclass

from tessera.cli.errors import UsageError

# When an output is written: every condition of its entry must hold.
CONDITIONS = {
    "two groups": lambda run, report: run.two_groups and not run.contrasts_given,
    "contrasts": lambda run, report: run.contrasts_given,
    "covariates": lambda run, report: run.model is not None and bool(run.model.removed),
    "imputing": lambda run, report: "impute" in run.settings,
    "report": lambda run, report: report,
}
# The conditions as --help names them; the report's own files need no word.
CONDITION_WORDS = {"two groups": "for two groups without --contrast",
                   "contrasts": "one per --contrast",
                   "covariates": "when the model has covariates", "imputing": "when imputing",
                   "report": ""}
# The fields of an output written once per value: the values a run gives
# them, and what any value looks like (for the stale files of earlier runs).
FIELDS = {"contrast": (lambda run: [c.file for c in run.model.contrasts], r"[A-Za-z0-9.+=_-]+")}


@dataclass(frozen=True)
class Output:
    """One file a run can write, as PREFIX_<name>.

    ``when`` holds the CONDITIONS under which a run writes it (none: every
    run); ``about`` is what --help says of it beyond the name. A figure has
    the ``title`` and ``caption`` the report shows with it (the caption a
    format string of the run's words, see analysis.caption_words) and its
    place in the report, ``shown``: (section, order), None for a file the
    report does not show.
    """
    name: str
    when: tuple = ()
    about: str = ""
    title: str = ""
    caption: str = ""
    shown: tuple | None = None

    def written(self, run, report=True):
        return all(CONDITIONS[condition](run, report) for condition in self.when)

    @property
    def field(self):
        """The field of an output written once per value, None for one file."""
        found = re.search(r"\{(\w+)\}", self.name)
        return found and found.group(1)

    def names(self, run):
        """The files of this output a run writes."""
        if self.field is None:
            return [self.name]
        return [self.name.format(**{self.field: value}) for value in FIELDS[self.field][0](run)]

    def pattern(self):
        """A regular expression of the file names of this output."""
        if self.field is None:
            return re.escape(self.name)
        head, tail = self.name.split("{" + self.field + "}")
        return f"{re.escape(head)}(?P<value>{FIELDS[self.field][1]}){re.escape(tail)}"


# Every file a run can write, in the order it writes and reports them. Only
# these names are ever removed, and only under the run's own prefix: a
# registry rather than a manifest file beside the outputs, so that a
# directory holds nothing but the outputs, and outputs written before the
# registry existed are recognised too.
OUTPUTS = (
    Output("preprocessed.csv"),
    Output("test.csv"),
    Output("intensities.png", title="Intensity distributions",
           caption="Each sample's values before and after the normalisation, coloured by "
                   "group.", shown=("qc", 4)),
    Output("pvalues.png", title="p-value histogram",
           caption="A flat histogram means no effect; features that change pile up near 0.",
           shown=("test", 3)),
    Output("volcano.png", when=("two groups",), title="Volcano plot",
           caption="{Fc_name} against p-value; features with adjusted p < {alpha}{threshold} "
                   "in colour, up to {label_top} of the most significant labelled.",
           shown=("test", 1)),
    Output("volcano_{contrast}.png", when=("contrasts",), title="Volcano plot",
           caption="{Fc_name} of the contrast against its p-value; features with adjusted p "
                   "< {alpha}{threshold} in colour, up to {label_top} of the most significant "
                   "labelled.", shown=("contrast", 1)),
    Output("pca.png", when=("report",), title="Principal components",
           caption="Samples on the first two principal components of the centred values; "
                   "samples of one group should lie together, and a sample far from its group "
                   "differs from it in more than its group's effect.", shown=("qc", 1)),
    Output("pca_adjusted.png", when=("report", "covariates"),
           title="Principal components without the covariates' effects",
           caption="As above, on the values after removing the fitted effects of "
                   "{covariates}: each feature measured in every sample is fitted on the "
                   "model {formula} by least squares, and the covariates' part of the fit is "
                   "subtracted, the groups' kept (limma's removeBatchEffect). Drawn beside the "
                   "plain principal components; the test itself fits the covariates.",
           shown=("qc", 1.5)),
    Output("correlation.png", when=("report",), title="Sample correlation",
           caption="Pearson correlation of every pair of samples on the features measured "
                   "in both, samples ordered by group, on a colour scale from 0 (or the "
                   "lowest correlation, when one is negative) to 1 in every run; a sample "
                   "whose row is darker than its group's agrees less with every other "
                   "sample.", shown=("qc", 2)),
    Output("missingness.png", when=("report",), title="Missing values",
           caption="Left: values measured in each sample; a hatched red bar marks a sample "
                   "with fewer than half the median sample's measured values. Right: the "
                   "share of a feature's values that are missing against the mean of its "
                   "measured values, one point per feature and the mean share per intensity "
                   "bin; a share that falls as intensity rises means values go missing "
                   "because they are low.", shown=("qc", 3)),
    Output("imputed.png", when=("report", "imputing"), title="Imputed values",
           caption="The values filled in by the imputation over the measured values; imputed "
                   "values are meant to lie at the low end of the measured ones.",
           shown=("qc", 5)),
    Output("report.html", when=("report",), about="which shows them all with what was run"),
    Output("run.toml", when=("report",), about="which --config reads to repeat the run"),
)
OUTPUT_BY_NAME = {output.name: output for output in OUTPUTS}


def output_of(name):
    """The entry of OUTPUTS that writes a file of this name, None for none."""
    return next((output for output in OUTPUTS if re.fullmatch(output.pattern(), name)), None)


def output_names(run, report=True):
    """The files ``run`` writes, in the order it reports them; ``report=False``
    leaves out the report and what only it needs."""
    return [name for output in OUTPUTS if output.written(run, report)
            for name in output.names(run)]


def shown_in(section, names):
    """[(output, name)] of the files among ``names`` that the report shows in
    ``section``, in its order."""
    chosen = [(output_of(name), name) for name in names]
    chosen = [(output, name) for output, name in chosen
              if output.shown and output.shown[0] == section]
    return sorted(chosen, key=lambda pair: pair[0].shown[1])


def help_listing():
    """Every output as --help lists it: PREFIX_<name>, with when it is written
    and what it is where there is more to say than its name."""
    items = []
    for output in OUTPUTS:
        words = [CONDITION_WORDS[c] for c in output.when if CONDITION_WORDS[c]]
        words += [output.about] if output.about else []
        name = output.name if output.field is None else \
            output.name.replace("{" + output.field + "}", f"<{output.field}>")
        items.append(f"PREFIX_{name}" + (f" ({'; '.join(words)})" if words else ""))
    return ", ".join(items[:-1]) + " and " + items[-1]


def output_path(prefix, name):
    """The path of one output: the run's prefix, an underscore and the name."""
    if output_of(name) is None:
        raise ValueError(f"{name!r} is not in OUTPUTS; a later run could not remove it")
    return f"{prefix}_{name}"


def check_outputs(paths):
    for path in paths:
        if os.path.isdir(path):
            raise UsageError(f"output {path} is a directory; choose another --out")
        parent = os.path.dirname(path) or "."
        existing = parent
        while not os.path.exists(existing):
            existing = os.path.dirname(existing) or "."
        if not os.path.isdir(existing):
            raise UsageError(f"cannot write {path}: {existing} is a file; choose another --out")
        if not os.access(existing, os.W_OK):
            raise UsageError(f"cannot write {path}: no permission in {existing}; choose "
                             "another --out")


def write_outputs(prefix, writers):
    """Writes {name: write(path)} as PREFIX_<name>, then removes the outputs of
    an earlier run under the same prefix that this run did not write.

    Returns the paths written, the paths removed and [(path, reason)] for the
    earlier outputs that could not be removed. On any failure before the set
    is complete the temporary files are removed and the earlier files kept.
    """
    staged = []
    try:
        for name, write in writers.items():
            path = output_path(prefix, name)
            directory, base = os.path.split(path)
            os.makedirs(directory or ".", exist_ok=True)
            temporary = os.path.join(directory, f".{base}.{secrets.token_hex(4)}.tmp")
            staged.append((temporary, path))
            write(temporary)
        with _interrupt_held():
            for temporary, path in staged:
                os.replace(temporary, path)
            removed, kept = _remove_stale(prefix, writers.keys())
    except BaseException:
        for temporary, _ in staged:   # the ones renamed already are gone
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
        raise
    return [path for _, path in staged], removed, kept


def _earlier_names(prefix):
    """The names of OUTPUTS that an earlier run may have left under ``prefix``:
    every single file, and the files of each output written per value."""
    names = [output.name for output in OUTPUTS if output.field is None]
    directory, base = os.path.split(prefix)
    try:
        present = sorted(os.listdir(directory or "."))
    except OSError:
        return names
    for output in OUTPUTS:
        if output.field is None:
            continue
        for file in present:
            found = re.fullmatch(re.escape(base + "_") + output.pattern(), file)
            if found and not _longer_prefix(found.group("value")):
                names.append(file.removeprefix(base + "_"))
    return names


def _longer_prefix(value):
    """Whether a field's value ends as the name of a PNG output does after a
    prefix's underscore: the file is then that output of a longer prefix."""
    stems = []
    for output in OUTPUTS:
        stem = output.name.removesuffix(".png")
        if stem == output.name:
            continue
        if output.field is None:
            stems.append(re.escape(stem))
        else:
            head, tail = stem.split("{" + output.field + "}")
            stems.append(re.escape(head) + FIELDS[output.field][1] + re.escape(tail))
    return any(re.search(f"_{stem}$", value) for stem in stems)


def _remove_stale(prefix, written):
    removed, kept = [], []
    for name in _earlier_names(prefix):
        path = output_path(prefix, name)
        # a directory of that name is not a file tessera wrote
        if name in written or not (os.path.isfile(path) or os.path.islink(path)):
            continue
        try:
            os.unlink(path)
        except FileNotFoundError:
            continue
        except OSError as exc:
            kept.append((path, exc.strerror or str(exc)))
            continue
        removed.append(path)
    return removed, kept


@contextlib.contextmanager
def _interrupt_held():
    """Holds Ctrl-C back while the finished files replace the earlier set, so
    that an interrupt cannot leave some of this run's files beside some of an
    earlier run's. The run is complete when the block ends and the command
    exits right after, so an interrupt that arrived meanwhile is dropped.
    Signal handlers can only be set in the main thread; elsewhere the block
    runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, lambda signum, frame: None)
    try:
        yield
    finally:
        # None: a handler set outside Python, which cannot be put back from here
        signal.signal(signal.SIGINT,
                      signal.default_int_handler if previous is None else previous)
