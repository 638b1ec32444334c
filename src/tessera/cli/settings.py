"""From the options and a settings file to one resolved Run.

Command-line options win over the settings file; the example's own settings
fill in what neither gives when no input file is named.
"""
import difflib
import os
import tomllib
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path

from tessera.cli.errors import UsageError, count
from tessera.cli.inputs import check_input_file, load_design, precursor_input
from tessera.cli.model import resolve_model
from tessera.cli.options import (AUTO_LOG, CONFIG_KEYS, DEFAULT_FOLD_CHANGE_METHOD,
                                 DEFAULT_LABEL_TOP, DEFAULT_MANY_GROUPS_METHOD, DEFAULT_METHOD,
                                 DEFAULT_MULTIPLETEST_METHOD, DEFAULT_NORMALIZE, DEFAULT_ROLLUP,
                                 IMPUTE_PARAMETERS, LIST_KEYS, OFF,
                                 METHOD_BY_NAME, METHODS, MODEL_KEYS, MODERATED_KEYS,
                                 OPTION_BY_KEY, OPTIONS, PRECURSOR_KEYS, READ_KEYS,
                                 TABLE_ONLY_KEYS, TWO_GROUP_KEYS, library_default, parse_group)
from tessera.cli.pipeline import STEP_KEYS
from tessera.cli.record import RECORD_TABLE, input_status
from tessera.cli.results import ResultColumns, detection_reaches

EXAMPLE_SETTINGS = {
    # the example is a plain wide table: an identifier column and ten samples
    "samples": ["ctrl_*", "treat_*"],
    "index": "Protein IDs",
    "remove_decoy": "REV__|CON__",
    "noise_filter": 1,
    "log_transform": 2,
    # The test takes each feature's measured values; the rows with fewer than
    # two in a group, which it cannot test, are left out.
    "min_valid": 2,
    "normalize": "log_median_0",
}
# Treatment first, so that the fold changes read treat minus ctrl.
EXAMPLE_GROUPS = [
    ("treat", [f"treat_{i}" for i in range(1, 6)]),
    ("ctrl", [f"ctrl_{i}" for i in range(1, 6)]),
]


def example_path():
    """The bundled example table, as an importlib resource."""
    return resources.files("tessera").joinpath("data", "example_lfq.tsv")


@dataclass
class Run:
    file: Path
    example: bool
    reading: dict           # the keywords of read_table that are given
    settings: dict          # the preprocessing steps, as the library's settings take them
    groups: list            # [(name, [samples])], in the order given
    design: Path | None     # the design file the groups come from, if any
    paired_by_design: bool  # the groups list their samples in the design's pair order
    method: str             # the test, a name of options.METHODS
    fold_change_method: str
    multipletest_method: str
    out: str                # the output prefix: every output is named PREFIX_<name>
    fc_threshold: float | None = None   # the least absolute fold change of a significant feature
    label_top: int = DEFAULT_LABEL_TOP  # features labelled on the volcano plot
    # the moderated test's switches; None when the test is another
    moderated_trend: bool | None = None
    moderated_robust: bool | None = None
    moderated_legacy: bool | None = None
    # the model's options as given (options.MODEL_KEYS), None where not given
    covariate: list | None = None
    block: str | None = None
    formula: str | None = None
    contrast: list | None = None
    sample_weights: bool | None = None
    treat: float | None = None
    # the model the test fits (test_contrasts); None for group means (test_features)
    model: object = field(default=None, compare=False)
    # what comparing the input with the settings file's [record] found, to print
    input_check: str | None = field(default=None, compare=False)
    # a precursor report's format and its reading and roll-up (options.PRECURSOR_KEYS,
    # defaults filled in); None and empty for a protein table
    precursor_format: str | None = None
    rollup_settings: dict = field(default_factory=dict)
    # --no-detection as given, and whether the detection test runs: two groups
    # tested on group means by an unpaired test, without imputation
    no_detection: bool | None = None
    detection: bool = False
    # the settings that took their default, as no option, settings file or
    # example gave them
    defaults: tuple = field(default=(), compare=False)

    @property
    def two_groups(self):
        return len(self.groups) == 2

    @property
    def contrasts_given(self):
        """The run tests the contrasts --contrast gives, each with its volcano."""
        return self.model is not None and self.model.given

    @property
    def has_fold_change(self):
        """The run's tests have fold changes: two groups, or given contrasts."""
        return self.two_groups or self.contrasts_given

    @property
    def test(self):
        """The options.Method of the run's test."""
        return METHOD_BY_NAME[self.method]

    @property
    def result_columns(self):
        """The names of the columns of the run's test table."""
        groups = tuple(name for name, _ in self.groups)
        if self.model is not None:
            return ResultColumns(self.method, self.multipletest_method, groups,
                                 contrasts=tuple(c.name for c in self.model.contrasts),
                                 f_only=self.model.f_only)
        return ResultColumns(self.method, self.multipletest_method, groups,
                             self.fold_change_method if self.two_groups else None,
                             detection=self.detection,
                             sizes=tuple(len(columns) for _, columns in self.groups))

    @property
    def test_options(self):
        """The keywords of test_features beyond the groups and the method."""
        if self.method != "moderated":
            return {}
        return {word: getattr(self, key) for key, word in MODERATED_KEYS.items()}

    @property
    def paired(self):
        """The run pairs the samples of its two groups (a paired test or fold change)."""
        return self.test.needs.paired or self.fold_change_method == "paired"


def load_config(path):
    """The settings file as {key: (value, label)}, with the file's own types."""
    try:
        with open(path, "rb") as handle:
            data = tomllib.load(handle)
    except FileNotFoundError:
        raise UsageError(f"settings file {path} not found; check the --config path") from None
    except IsADirectoryError:
        raise UsageError(f"settings file {path} is a directory; give a .toml file") from None
    except OSError as exc:
        raise UsageError(f"cannot read settings file {path} ({exc.strerror}); "
                         "check its permissions") from None
    except ValueError as exc:  # TOMLDecodeError, or bytes that are not UTF-8
        raise UsageError(f"settings file {path} is not valid TOML ({exc}); fix that "
                         "line") from None
    values = {}
    for key, value in data.items():
        if key not in CONFIG_KEYS:
            close = difflib.get_close_matches(key, CONFIG_KEYS, n=1)
            hint = f"did you mean {close[0]}?" if close else \
                f"known keys: {', '.join(CONFIG_KEYS)}"
            raise UsageError(f"settings file {path}: unknown key {key!r}; {hint}")
        values[key] = (value, f"{path}: {key} =")
    if RECORD_TABLE in values and not isinstance(data[RECORD_TABLE], dict):
        raise UsageError(f"settings file {path}: {RECORD_TABLE} must be a table, "
                         f"[{RECORD_TABLE}], as run.toml writes it")
    if "groups" in values:
        values["groups"] = (_config_groups(data["groups"], path), f"{path}: groups")
    for key in CONFIG_KEYS:
        if key in values and key not in ("groups", RECORD_TABLE) and isinstance(values[key][0], (dict, list)) \
                and not (key in LIST_KEYS and isinstance(values[key][0], list)):
            raise UsageError(f"settings file {path}: {key} must be a single value, "
                             f"e.g. {key} = \"...\"")
    return values


def _config_groups(table, path):
    if not isinstance(table, dict) or not all(
            isinstance(columns, list) and all(isinstance(c, str) for c in columns)
            for columns in table.values()):
        raise UsageError(f"settings file {path}: groups must be a table of column lists, "
                         "e.g. [groups] then ctrl = [\"S1\", \"S2\", \"S3\"]")
    return [(name, list(columns)) for name, columns in table.items()]


def check_groups(groups, where, in_design=False):
    """At least two groups, each of at least two distinct samples, no sample in two.

    A design file lists each sample once; its groups are checked for their
    number and size, and the hints point into the file instead of at --group.
    """
    if len(groups) < 2:
        hint = " in its group column" if in_design else \
            ", e.g. --group ctrl=S1,S2,S3 --group treat=S4,S5,S6"
        raise UsageError(f"{where}: {count(len(groups), 'group')} given; give at least "
                         f"two{hint}")
    seen_names, owner = set(), {}
    for name, columns in groups:
        if name in seen_names:
            raise UsageError(f"{where}: group {name!r} is given twice; give each group "
                             "a name of its own")
        seen_names.add(name)
        if len(columns) < 2:
            what, hint = ("sample", "give it another sample in the design") if in_design else \
                ("column", f"list them as {name}=COL,COL,...")
            raise UsageError(f"{where}: group {name!r} has {count(len(columns), what)}; "
                             f"a test needs at least two samples per group, {hint}")
        for column in columns:
            if column in owner:
                where_else = "twice" if owner[column] == name else \
                    f"in groups {owner[column]!r} and {name!r}"
                raise UsageError(f"{where}: column {column!r} is listed {where_else}; "
                                 "each sample belongs to one group")
            owner[column] = name
    return groups


def resolve(ns, example_file):
    """Merges built-in defaults, the settings file and the options into a Run.

    Command-line options win over the settings file; --group options replace
    the file's groups as a whole, and --design replaces them too (as --group
    replaces the file's design). The example's settings fill in only what
    neither gives, and only when no input file is named.
    """
    given = load_config(ns.config) if ns.config else {}
    if "groups" in given and "design" in given:
        raise UsageError(f"settings file {ns.config}: design and [groups] both give the "
                         "groups; keep one of them")
    if ns.groups and ns.design is not None:
        raise UsageError("--design and --group both give the groups; give the groups "
                         "in the design file or with --group, not both")
    if ns.groups or ns.design is not None:
        given.pop("design" if ns.groups else "groups", None)
    for option in OPTIONS:
        value = getattr(ns, option.key)
        if value is not None:
            given[option.key] = (value, option.flag)
    if ns.file is not None:
        given["file"] = (ns.file, "FILE")
    if ns.groups:
        given["groups"] = ([parse_group(text) for text in ns.groups], "--group")

    example = "file" not in given
    if example:
        for key, value in EXAMPLE_SETTINGS.items():
            given.setdefault(key, (value, "example setting"))
        if "design" not in given:
            given.setdefault("groups", (EXAMPLE_GROUPS, "example groups"))
        file = example_file
    else:
        raw, label = given.pop("file")
        if not isinstance(raw, str) or not raw:
            raise UsageError(f"{label}: the input file must be a path")
        file = Path(raw)
        check_input_file(file)

    record = given.pop(RECORD_TABLE, (None, None))[0]
    input_check = None
    if record is not None:
        status = input_status(record, file)
        input_check = status.message + ("; analysing the file as it is now"
                                        if status.unchanged is False else "")

    values = {}
    for key, (raw, label) in given.items():
        if key == "groups":
            continue
        try:
            values[key] = OPTION_BY_KEY[key].parse(raw)
        except ValueError as exc:
            raise UsageError(f"{label} {raw!r} {exc}") from None

    precursors = None if example else precursor_input(file)
    _check_input_kind(values, given, file, precursors)

    design, paired_by_design, loaded = None, False, None
    if "design" in values:
        design = Path(values["design"])
        loaded = load_design(design)
        groups = check_groups(loaded.groups, f"design {design}", in_design=True)
        paired_by_design = loaded.pairs is not None
    elif "groups" in given:
        groups, label = given["groups"]
        groups = check_groups(groups, label)
    else:
        raise UsageError("no sample groups given; name at least two with --group, e.g. "
                         "--group ctrl=S1,S2,S3 --group treat=S4,S5,S6, or give a design "
                         "file with --design")

    method = _check_test(values, given, groups)
    _check_impute(values, given)
    model = resolve_model(values, given, groups, loaded, method)
    if model is not None:
        _check_model_settings(values, given)
    # the detection test joins a test of two groups on the measured values,
    # where their sizes let it reach the level (with 3 and 3 samples it cannot,
    # and the filter that keeps the features it would test only moves the
    # medians and the prior); a model's contrasts, the paired tests and the
    # tests of complete features have none, and imputed tables no missing
    # values to test
    needs = METHOD_BY_NAME[method].needs
    detection = (len(groups) == 2 and model is None and not values.get("no_detection")
                 and not needs.paired and not needs.complete
                 and values.get("fold_change_method") != "paired" and "impute" not in values
                 and detection_reaches([len(columns) for _, columns in groups]))
    defaults = _fill_defaults(values, detection)
    _check_min_valid(values, groups)
    _check_normalize(values, given)

    return Run(
        file=file,
        example=example,
        reading={key: values[key] for key in READ_KEYS if key in values},
        settings={key: values[key] for key in OPTION_BY_KEY if key in STEP_KEYS and key in values},
        groups=groups,
        design=design,
        paired_by_design=paired_by_design,
        method=method,
        fold_change_method=None if model is not None else
        values.get("fold_change_method", DEFAULT_FOLD_CHANGE_METHOD),
        multipletest_method=values.get("multipletest_method", DEFAULT_MULTIPLETEST_METHOD),
        out=out_prefix(values.get("out"), file),
        fc_threshold=values.get("fc_threshold"),
        label_top=values.get("label_top", DEFAULT_LABEL_TOP),
        input_check=input_check,
        model=model,
        precursor_format=precursors,
        rollup_settings={} if precursors is None else
        {key: values.get(key, default) for key, default in DEFAULT_ROLLUP.items()},
        no_detection=values.get("no_detection"),
        detection=detection,
        defaults=defaults,
        **{key: values.get(key) for key in MODEL_KEYS},
        **_moderated_switches(values, given, method),
    )


def _check_input_kind(values, given, file, precursors):
    """Refuses the roll-up's options for a protein table, and the options of
    protein tables only for a precursor report."""
    if precursors is None:
        for key in PRECURSOR_KEYS:
            if key in values:
                raise UsageError(f"{_given(given, key)}: {file} is not a precursor report, "
                                 f"and {OPTION_BY_KEY[key].flag} applies to precursor reports "
                                 "only; drop it")
        return
    for key in TABLE_ONLY_KEYS:
        if key in values:
            raise UsageError(f"{_given(given, key)}: {file} is a {precursors}, whose runs, "
                             f"identifiers and numbers are read as the format writes them; "
                             f"drop {OPTION_BY_KEY[key].flag}")


def _given(given, key):
    """How a key was given, for a message: the option or settings-file line and its value."""
    raw, label = given[key]
    return f"{label} {raw!r}"


def _names(groups):
    return ", ".join(repr(name) for name, _ in groups)


def _check_test(values, given, groups):
    """The run's test: the one given, or the default for the number of groups;
    refuses a test, or a two-group setting, that does not fit the groups."""
    n = len(groups)
    method = values.get("method")
    if method is None:
        method = DEFAULT_METHOD if n == 2 else DEFAULT_MANY_GROUPS_METHOD
    elif not METHOD_BY_NAME[method].takes(n):
        fits = [m.name for m in METHODS if m.takes(n)]
        fewest, most = METHOD_BY_NAME[method].needs.groups
        takes = f"{fewest} groups" if fewest == most else f"{fewest} or more groups"
        raise UsageError(f"{_given(given, 'method')}: {method} compares {takes}, and "
                         f"{n} are given ({_names(groups)}); choose "
                         + (fits[0] if len(fits) == 1 else f"one of {', '.join(fits)}"))
    if n > 2:
        for key in TWO_GROUP_KEYS:
            # given contrasts have fold changes, and volcanoes to label
            if key in values and (key == "fold_change_method" or not values.get("contrast")):
                raise UsageError(f"{_given(given, key)}: with {n} groups ({_names(groups)}) "
                                 f"the {method} test has no fold change, which "
                                 f"{OPTION_BY_KEY[key].flag} is about; drop it or give two "
                                 "groups")
        return method
    (_, first), (_, second) = groups
    paired = METHOD_BY_NAME[method].needs.paired
    if (paired or values.get("fold_change_method") == "paired") and \
            len(first) != len(second):
        what = method if paired else "the paired fold change"
        raise UsageError(f"{what} pairs the columns of the two groups in order; give "
                         f"groups of equal size ({len(first)} and {len(second)} given)")
    return method


def _check_model_settings(values, given):
    """Refuses the settings that a model's tests do not take: the fold
    change's method (each contrast's fold change is the model's) and a
    fold-change cut beside the treat test of the same threshold."""
    if "fold_change_method" in values:
        raise UsageError(f"{_given(given, 'fold_change_method')}: with a model (--covariate, "
                         "--block, --formula, --contrast, --sample-weights, --treat or a "
                         "design's pairs) each contrast's fold change is the model's fit; "
                         "drop --fold-change-method")
    if "fc_threshold" in values and "treat" in values:
        raise UsageError(f"{_given(given, 'fc_threshold')}: --treat already tests each "
                         "contrast against a fold change; --fc-threshold would cut after that "
                         "test, so give one of them")


def _moderated_switches(values, given, method):
    """The moderated test's switches, False where not given; a switch set for
    another test is refused."""
    if method == "moderated":
        return {key: values.get(key, False) for key in MODERATED_KEYS}
    for key in MODERATED_KEYS:
        if values.get(key):
            raise UsageError(f"{_given(given, key)}: this switch applies to --method moderated, "
                             f"and this run tests by {method}; drop it or choose --method "
                             "moderated")
    return {}


def _fill_defaults(values, detection):
    """Fills in the steps that run unless turned off: the log transform (base
    2, unless the values turn out to be logarithms already), the per-group
    filter to the values the test needs (in any group with the detection
    test, which tests the features one group hardly measured; in each group
    without it) and the normalisation on the features measured in nearly
    every column. Returns the keys it filled."""
    filled = []
    for key, value in [("log_transform", lambda: AUTO_LOG),
                       ("normalize", lambda: DEFAULT_NORMALIZE),
                       ("min_valid", lambda: library_default("min_valid"))]:
        if key not in values:
            values[key] = value()
            filled.append(key)
    if values["min_valid"] != OFF and "min_valid_mode" not in values:
        values["min_valid_mode"] = "any" if detection else library_default("min_valid_mode")
        filled.append("min_valid_mode")
    return tuple(filled)


def _check_normalize(values, given):
    """Refuses a reference without --normalize reference, and the reverse."""
    reference = values.get("normalize") == "reference"
    for key in ("normalize_reference", "normalize_reference_column"):
        if key in values and not reference:
            flag = OPTION_BY_KEY[key].flag
            raise UsageError(f"{_given(given, key)}: {flag} names the features of --normalize "
                             f"reference; add --normalize reference or drop {flag}")
    if reference and "normalize_reference" not in values:
        raise UsageError("--normalize reference needs the features to normalise on: add "
                         "--normalize-reference PATTERN, e.g. --normalize-reference _HUMAN "
                         "with --normalize-reference-column Protein.Names")


def _check_min_valid(values, groups):
    """Fills in the per-group filter's defaults and refuses a count that no
    feature can reach in the groups, naming the group."""
    if values.get("min_valid") == OFF:
        values.pop("min_valid_mode", None)
        return
    if "min_valid_mode" in values:
        values.setdefault("min_valid", library_default("min_valid"))
    if "min_valid" not in values:
        return
    n = values["min_valid"]
    mode = values.setdefault("min_valid_mode", library_default("min_valid_mode"))
    sizes = {name: len(columns) for name, columns in groups}
    if mode == "each":
        name = min(sizes, key=sizes.get)
        size, where = sizes[name], f"group {name!r} has {count(sizes[name], 'sample')}"
    elif mode == "any":
        name = max(sizes, key=sizes.get)
        size, where = sizes[name], f"the largest group, {name!r}, has " \
            f"{count(sizes[name], 'sample')}"
    else:
        size = sum(sizes.values())
        where = f"the groups have {count(size, 'sample')} together"
    if n > size:
        raise UsageError(f"--min-valid {n} (mode {mode}): {where}, so no feature can have "
                         f"{n} values there; choose at most {size}")


def _check_impute(values, given):
    """Fills in the defaults of the imputation's parameters; refuses a
    parameter of another method, or one without --impute."""
    method = values.get("impute")
    for other, keys in IMPUTE_PARAMETERS.items():
        for key in keys:
            if key not in values or other == method:
                continue
            flag = OPTION_BY_KEY[key].flag
            if method is None:
                raise UsageError(f"{_given(given, key)}: {flag} applies to --impute {other}; "
                                 f"add --impute {other} or drop {flag}")
            raise UsageError(f"{_given(given, key)}: {flag} applies to --impute {other}, "
                             f"and this run imputes by {method}; drop {flag}")
    if method is not None:
        for key in IMPUTE_PARAMETERS[method]:
            values.setdefault(key, library_default(key))


def out_prefix(out, file):
    """The output prefix; a directory (existing, or written with a trailing
    separator) gets the input file's name as prefix."""
    if out is None:
        return os.path.join("results", file.stem)
    if out.endswith(("/", os.sep)) or os.path.isdir(out):
        return os.path.join(out, file.stem)
    return out
