"""The options of ``tessera analyze``: one table that drives the argument
parser, the settings-file keys and the parsing of every value."""
import argparse
import inspect
import re
from dataclasses import dataclass

import numpy as np

from tessera import __version__
from tessera.cli.errors import UsageError
from tessera.cli.outputs import help_listing
from tessera.cli.results import ALPHA


@dataclass(frozen=True)
class Method:
    """A test of the command line, as --help and the printed lines present
    one of tessera.tools.differential's methods.

    ``name`` is the library's name, which also names the test table's
    columns (``<name>_p``, ...); ``aliases`` are the other spellings accepted
    (case does not matter in any of them). What the test takes is the
    library's own record, ``needs``: the (fewest, most) groups it compares
    (most None for no limit), whether it pairs the i-th sample of the first
    group with the i-th of the second, and whether a feature needs every
    value to be tested.
    """
    name: str
    help: str
    aliases: tuple = ()

    @property
    def needs(self):
        from tessera.tools import differential

        return differential.METHODS[self.name]

    def takes(self, n_groups):
        fewest, most = self.needs.groups
        return n_groups >= fewest and (most is None or n_groups <= most)


# In the order --help lists them. A new test of the differential module is one
# more line here.
METHODS = (
    Method("moderated", "empirical-Bayes moderated test, as limma computes it",
           ("limma", "ebayes", "moderated_t", "moderated_f")),
    Method("Welch", "Welch's t-test", ("welch_t",)),
    Method("t", "Student's t-test", ("student", "ttest")),
    Method("mannwhitneyu", "Mann-Whitney U test",
           ("Mannwhiteneyu", "mann_whitney", "mannwhitney")),
    Method("paired_t", "paired t-test"),
    Method("Wilcoxon", "Wilcoxon signed-rank test"),
    Method("permutation", "permutation test of the t statistic (10,000 seeded permutations)"),
    Method("anova", "one-way analysis of variance", ("oneway", "one_way")),
)
METHOD_BY_NAME = {method.name: method for method in METHODS}
# With a handful of samples per group a feature's own variance is a poor
# estimate; the moderated tests borrow strength from all features, so they are
# the default for any number of groups.
DEFAULT_METHOD = "moderated"                # two groups
DEFAULT_MANY_GROUPS_METHOD = "moderated"    # three or more
# The switches of the moderated tests, and the keyword of test_features each sets.
MODERATED_KEYS = {"moderated_trend": "trend", "moderated_robust": "robust",
                  "moderated_legacy": "legacy"}
# The options of a model beyond group means: any of them takes the moderated
# test through differential.test_contrasts (see model.py).
MODEL_KEYS = ("covariate", "block", "formula", "contrast", "sample_weights", "treat")
FOLD_CHANGE_ONLY = ("log2fc", "fc", "plog2fc")
FOLD_CHANGE_METHODS = ("group", "paired")
MIN_VALID_MODES = ("each", "any", "all")
IMPUTE_METHODS = ("downshift", "mindet")
# How a precursor report's precursors become protein quantities: the option's
# value, the function of tessera.tools.quant and its keywords.
ROLLUPS = {"maxlfq": ("maxlfq", {}), "median-polish": ("median_polish", {}),
           "top3": ("top_n", {"n": 3}), "sum": ("sum", {})}
# Per protein group or per gene: the option's value and the reader's column.
LEVELS = {"protein": "protein_group", "gene": "genes"}


# The settings whose defaults are the library's: the function of
# tessera.tools.differential and its keyword. Alone, --min-valid-mode filters
# to as many values as the test needs by default.
LIBRARY_DEFAULTS = {"min_valid": ("test_features", "min_valid"),
                    "min_valid_mode": ("filter_valid", "mode"),
                    "impute_seed": ("impute", "seed"), "impute_shift": ("impute", "shift"),
                    "impute_width": ("impute", "width"), "impute_quantile": ("impute", "quantile")}
# The parameters each imputation method takes.
IMPUTE_PARAMETERS = {"downshift": ("impute_seed", "impute_shift", "impute_width"),
                     "mindet": ("impute_quantile",)}
DEFAULT_LABEL_TOP = 10
DEFAULT_FOLD_CHANGE_METHOD = "group"
DEFAULT_MULTIPLETEST_METHOD = "fdr_bh"
# The roll-up of a precursor report, when the options do not say.
DEFAULT_ROLLUP = {"rollup": "maxlfq", "level": "protein", "qvalue": 0.01, "proteotypic": False}


# Each parser takes a value as given on the command line (text) or in a
# settings file (text or a TOML number) and returns the value the library
# receives, or raises ValueError with what is wrong and what to give instead.

def _text(raw):
    if not isinstance(raw, str) or not raw:
        raise ValueError("must be non-empty text")
    return raw


def _pattern_of(hint):
    def parse(raw):
        pattern = _text(raw)
        try:
            re.compile(pattern)
        except re.error as exc:
            raise ValueError(f"is not a valid regular expression ({exc}); {hint}") from None
        return pattern
    return parse


_pattern = _pattern_of("give the decoy prefix, e.g. REV__")


def _samples(raw):
    # a list in a settings file; on the command line one pattern or a
    # comma-separated list of names
    items = raw.split(",") if isinstance(raw, str) else raw
    if not isinstance(items, list) or not all(isinstance(i, str) for i in items):
        raise ValueError("must be sample names or a pattern, e.g. 'LFQ intensity *'")
    items = [i.strip() for i in items if i.strip()]
    if not items:
        raise ValueError("names no sample; give names (H1,H2,...) or a pattern such as "
                         "'LFQ intensity *'")
    return items


def _names(example):
    # repeated on the command line, a list in a settings file
    def parse(raw):
        items = [raw] if isinstance(raw, str) else raw
        if not isinstance(items, list) or not items or \
                not all(isinstance(i, str) and i.strip() for i in items):
            raise ValueError(f"must be non-empty text, e.g. {example}")
        return [i.strip() for i in items]
    return parse


def _formula(raw):
    formula = _text(raw).strip()
    if not formula.startswith("~"):
        raise ValueError("must be a formula's right-hand side, starting with ~, e.g. "
                         "'~ 0 + group + batch'")
    return formula


def _decimal(raw):
    if raw not in (".", ","):
        raise ValueError("must be '.' or ','")
    return raw


def _switch(raw):
    if not isinstance(raw, bool):
        raise ValueError("must be true or false")
    return raw


def _integer(raw):
    if isinstance(raw, bool):
        raise ValueError("must be a whole number")
    if isinstance(raw, float) and raw.is_integer():
        return int(raw)
    try:
        return int(raw)
    except (TypeError, ValueError):
        raise ValueError("must be a whole number, e.g. 1") from None


# The value that turns a step off, where a step runs by default.
OFF = "none"
# The default log transform: base 2, unless the values are logarithms already.
AUTO_LOG = "auto"
# A table whose measured values have a median below this holds logarithms: an
# intensity of 50 is below anything a mass spectrometer reports, and a log2
# intensity of 50 (1e15) is above it.
LOG_SCALE_BELOW = 50


def _log_base(raw):
    if raw in (OFF, AUTO_LOG):
        return raw
    try:
        base = _integer(raw)
    except ValueError:
        base = 0
    if base < 2:
        raise ValueError("must be a whole-number logarithm base of at least 2, e.g. 2, or "
                         f"{OFF} (no log transform)")
    return base


def _percent(raw):
    if isinstance(raw, bool):
        raise ValueError("must be a percentage from 0 to 100")
    try:
        percent = float(str(raw).strip("%"))
    except ValueError:
        raise ValueError("must be a percentage from 0 to 100, e.g. 70") from None
    if not 0 <= percent <= 100:
        raise ValueError("must be a percentage from 0 to 100, e.g. 70")
    return int(percent) if percent.is_integer() else percent


# The normalisations of differential.normalize: each column shifted by an
# estimate from the features measured in (nearly) every column.
SHIFT_NORMALIZATIONS = ("ratio_mode", "ratio_median", "median_complete", "reference")
DEFAULT_NORMALIZE = "ratio_mode"


def _normalize(raw):
    if raw in SHIFT_NORMALIZATIONS + (OFF,):
        return raw
    match = re.fullmatch(r"(log|origin)_median_([^_]+)", _text(raw))
    hint = (f"give one of {', '.join(SHIFT_NORMALIZATIONS)} (log values, each column "
            "shifted by an estimate from the features measured in nearly every column), "
            "log_median_0 for log values (each column minus its median), "
            f"origin_median_1 for linear values (each column divided by its median) or {OFF}")
    if match is None:
        raise ValueError(f"is not a normalisation; {hint}")
    try:
        value = float(match.group(2))
    except ValueError:
        raise ValueError(f"ends in no number; {hint}") from None
    if match.group(1) == "origin" and value == 0:
        raise ValueError(f"divides every value by zero; {hint}")
    return raw


def _min_valid(raw):
    return OFF if raw == OFF else _at_least(1, 2)(raw)


def _choice(choices, what):
    def parse(raw):
        if raw in choices:
            return raw
        close = [c for c in choices if isinstance(raw, str) and c.lower() == raw.lower()]
        hint = f"did you mean {close[0]}? (names are case-sensitive)" if close else \
            f"choose one of {', '.join(choices)}"
        raise ValueError(f"is not a known {what}; {hint}")
    return parse


def _spelling(name):
    return name.strip().lower().replace("-", "_").replace(" ", "_")


_METHOD_SPELLINGS = {_spelling(spelling): method.name for method in METHODS
                     for spelling in (method.name, *method.aliases)}


def method_names():
    return ", ".join(method.name for method in METHODS)


def _method(raw):
    """A test as the user types it: its name or another spelling, in any case."""
    if isinstance(raw, str) and _spelling(raw) in _METHOD_SPELLINGS:
        return _METHOD_SPELLINGS[_spelling(raw)]
    if raw in FOLD_CHANGE_ONLY:
        raise ValueError(f"computes a fold change, not a p-value; choose a test ("
                         f"{method_names()}); the test table always holds the fold change")
    raise ValueError(f"is not a known test; choose one of {method_names()}")


def _finite(raw):
    if isinstance(raw, bool):
        raise ValueError("must be a number")
    try:
        value = float(raw)
    except (TypeError, ValueError):
        raise ValueError("must be a number, e.g. 1.5") from None
    if not np.isfinite(value):
        raise ValueError("must be a finite number, e.g. 1.5")
    return int(value) if isinstance(raw, int) else value


def _positive(example):
    def parse(raw):
        value = _finite(raw)
        if value <= 0:
            raise ValueError(f"must be a number above 0, e.g. {example}")
        return value
    return parse


def _at_least(lowest, example):
    def parse(raw):
        value = _integer(raw)
        if value < lowest:
            raise ValueError(f"must be a whole number of at least {lowest}, e.g. {example}")
        return value
    return parse


def _quantile(raw):
    value = _finite(raw)
    if not 0 < value < 1:
        raise ValueError("must lie strictly between 0 and 1, e.g. 0.01")
    return value


def _q_value(raw):
    value = _finite(raw)
    if not 0 < value <= 1:
        raise ValueError("must be a q-value above 0 and at most 1, e.g. 0.01 (1 keeps every "
                         "precursor)")
    return value


def _multipletest_method(raw):
    from statsmodels.stats.multitest import multipletests

    _text(raw)
    try:
        multipletests(np.array([0.5]), method=raw)
    except ValueError:
        raise ValueError("is not a multiple-testing method of statsmodels; choose e.g. "
                         "fdr_bh, fdr_by, bonferroni, holm") from None
    return raw


@dataclass(frozen=True)
class Option:
    key: str        # settings-file key, and the library's own key or keyword
    metavar: str | None     # None for a switch, which takes no value
    parse: object
    help: str
    repeat: bool = False    # given once per value; a list in a settings file

    @property
    def flag(self):
        return "--" + self.key.replace("_", "-")


OPTIONS = (
    Option("samples", "NAMES", _samples,
           "sample columns: comma-separated names, or one pattern such as 'LFQ intensity *' "
           "(required for a table in none of the formats below; chooses among the "
           "samples of the others)"),
    Option("quantity", "NAME", _text,
           "the quantity to read from a format's table, e.g. Intensity or iBAQ "
           "(default: the format's first, e.g. LFQ intensity)"),
    Option("index", "COLUMN", _text,
           "column that names the features (default: the format's identifier column; "
           "in other tables the first column that is not a sample)"),
    Option("decimal", "MARK", _decimal,
           "decimal mark of the numbers, . or , (default: recognised from the first rows)"),
    Option("sheet", "NAME", _text, "the sheet of a workbook that has several"),
    Option("keep_flagged", None, _switch,
           "keep the rows the format flags as decoys, contaminants or only identified "
           "by site (removed by default)"),
    Option("label_column", "COLUMN", _text,
           "annotation column that labels the volcano plot's points (default: the gene "
           "names when the table has them)"),
    Option("rollup", "METHOD", _choice(tuple(ROLLUPS), "roll-up"),
           "precursor reports: how each protein's precursors become its quantity per run: "
           "maxlfq (the default; the medians of the precursors' ratios between runs), "
           "median-polish (Tukey's, on the log values), top3 (the mean of the three most "
           "intense) or sum"),
    Option("level", "LEVEL", _choice(tuple(LEVELS), "level"),
           "precursor reports: roll up per protein group (protein, the default) or per gene "
           "(gene)"),
    Option("qvalue", "Q", _q_value,
           "precursor reports: keep the precursors, and the protein groups, of q-value at "
           "most Q where the report has those columns (default: 0.01)"),
    Option("proteotypic", None, _switch,
           "precursor reports: keep only the precursors the report marks proteotypic"),
    Option("design", "DESIGN.tsv", _text,
           "sample design: a table with columns sample and group (optional: pair, which "
           "pairs the samples of the paired tests and makes the moderated test's design "
           "paired, and label, for the figures); any other column is a design variable "
           "for --covariate and --block; instead of --group"),
    Option("remove_decoy", "PATTERN", _pattern,
           "drop rows whose name contains this regular expression, e.g. REV__"),
    Option("noise_filter", "N", _integer,
           "cells below N become missing values, e.g. 1 for zeros"),
    Option("log_transform", "BASE", _log_base,
           "logarithm of every cell to this base, e.g. 2, or none (default: 2, unless the "
           f"measured values have a median below {LOG_SCALE_BELOW}, which makes them "
           "logarithms already)"),
    Option("remove_missing_values", "PERCENT", _percent,
           "keep rows measured in at least PERCENT of the columns, e.g. 70"),
    Option("min_valid", "N", _min_valid,
           "keep rows with at least N measured values in each group (counted on the "
           "groups' columns only; --min-valid-mode chooses how), or none (default: "
           "%(min_valid)s)"),
    Option("min_valid_mode", "MODE", _choice(MIN_VALID_MODES, "min-valid mode"),
           "each (every group has N values), any (at least one group has) or all (the "
           "groups' columns together have); default: any with the detection test, which "
           "tests the features one group hardly measured, each without it; alone it means "
           "--min-valid %(min_valid)s"),
    Option("normalize", "SETTING", _normalize,
           "ratio_mode (the default: each column shifted by the peak of its log-ratios to "
           "the features' mean profile, over the features measured in nearly every column, "
           "which follows the unchanged features where many change in one direction), "
           "ratio_median (the median of those log-ratios), median_complete (the median of "
           "the features measured in every column), reference (ratio_median over the "
           "features --normalize-reference names), log_median_0 (subtract each column's "
           "median), origin_median_1 (divide by it), or none"),
    Option("normalize_reference", "PATTERN",
           _pattern_of("give a part of the reference features' names, e.g. _HUMAN"),
           "--normalize reference: a regular expression that names the features to "
           "normalise on, searched in the identifiers or in --normalize-reference-column, "
           "e.g. _HUMAN"),
    Option("normalize_reference_column", "COLUMN", _text,
           "--normalize reference: the annotation column --normalize-reference is searched "
           "in, e.g. Protein.Names (default: the identifiers)"),
    Option("impute", "METHOD", _choice(IMPUTE_METHODS, "imputation"),
           "fill the missing values of the groups' columns after the other steps: "
           "downshift (draws from a normal distribution below each column's values) or "
           "mindet (each column's low quantile); the test table counts the filled cells "
           "per feature and group (imputed_<group>)"),
    Option("impute_seed", "SEED", _at_least(0, 0),
           "seed of the downshift draws (default: %(impute_seed)s; the same seed gives the "
           "same table)"),
    Option("impute_shift", "SD", _finite,
           "downshift: the draws' mean lies this many standard deviations of the column "
           "below its mean (default: %(impute_shift)s)"),
    Option("impute_width", "SD", _positive(0.3),
           "downshift: the draws' standard deviation, in standard deviations of the column "
           "(default: %(impute_width)s)"),
    Option("impute_quantile", "Q", _quantile,
           "mindet: the quantile of each column's values put into its missing cells "
           "(default: %(impute_quantile)s)"),
    Option("method", "TEST", _method,
           "the test. moderated (the default, for two groups and for more): the "
           "empirical-Bayes moderated t-test, and for three or more groups its F test, on "
           "each feature's measured values; it shrinks every feature's variance toward a "
           "prior fitted on all features, which with a few samples per group finds more "
           "than the plain tests, and gives limma's numbers. Two groups also: Welch, t "
           "(Student) and mannwhitneyu on the measured values; paired_t and Wilcoxon "
           "(signed ranks) are paired tests and permutation (t statistic, 10,000 "
           "permutations) is not, and these three need every value of a feature. Three or "
           "more groups also: anova, on the measured values. Case does not matter, and "
           "welch, Mannwhiteneyu, limma and oneway are accepted too"),
    Option("moderated_trend", None, _switch,
           "moderated: the prior variance follows the features' mean intensity (a "
           "smooth trend)"),
    Option("moderated_robust", None, _switch,
           "moderated: a robust prior, which gives outlier variances less shrinkage"),
    Option("moderated_legacy", None, _switch,
           "moderated: the classic estimate of the prior's degrees of freedom (method of "
           "moments), as limma before 3.61.8; --moderated-trend and --moderated-robust "
           "need it when features have different numbers of measured values"),
    Option("covariate", "NAME", _names("batch"),
           "moderated: add the design file's column NAME to the model, a factor (a batch, "
           "a donor) or, when it holds only numbers, a numeric covariate; repeat it for "
           "more", repeat=True),
    Option("block", "NAME", _text,
           "moderated: the design file's column NAME groups samples that share a random "
           "effect (injections of one sample, one donor); the correlation within it is "
           "estimated, as limma's duplicateCorrelation does"),
    Option("formula", "FORMULA", _formula,
           "moderated: the whole model instead of the groups and --covariate, over group, "
           "pair and the design file's columns, e.g. '~ 0 + group + batch'"),
    Option("contrast", "EXPR", _names("B-A"),
           "moderated: a contrast to test, over the group names (B-A, C-(A+B)/2) or the "
           "model's coefficients, written NAME=EXPR to name it (default: the first group "
           "minus the second; with three or more groups the F test that the group means "
           "are equal); repeat it for more, and with two or more the F test of all of "
           "them is added", repeat=True),
    Option("sample_weights", None, _switch,
           "moderated: estimate a quality weight per sample and use it in the fit, as "
           "limma's arrayWeights does"),
    Option("treat", "LOG2FC", _positive(1),
           "moderated: test each contrast against an absolute fold change of at most "
           "LOG2FC (limma's treat), instead of cutting the fold change after the test"),
    Option("no_detection", None, _switch,
           "leave out the detection test. By default a two-group run without a model tests "
           "detection too: Fisher's exact test of measured against not measured in each "
           "group, combined with the intensity test (Fisher's method) where a feature has "
           "both, so that a feature one group hardly measured has a p-value (columns "
           "detection_p, hurdle_p, hurdle_<adjustment>; the significant features are "
           f"counted on the combined p-values). It runs where the groups' sizes let it reach "
           f"p < {ALPHA}: 3 and 3 samples do not, 4 and 4 do"),
    Option("fold_change_method", "HOW", _choice(FOLD_CHANGE_METHODS, "fold-change method"),
           "group (difference of the group means, default) or paired (mean of the "
           "paired differences); not with a model, whose fit gives each contrast's"),
    Option("multipletest_method", "NAME", _multipletest_method,
           "multiple-testing adjustment of statsmodels (default: fdr_bh)"),
    Option("fc_threshold", "LOG2FC", _positive(1),
           f"a feature is significant when its adjusted p-value is below {ALPHA} and its "
           "absolute fold change at least this (drawn on the volcano plot; two groups or "
           "--contrast)"),
    Option("label_top", "N", _at_least(0, 10),
           f"label this many of the most significant features on the volcano plot "
           f"(default: {DEFAULT_LABEL_TOP})"),
    Option("out", "PREFIX", _text,
           "output file names start with PREFIX (default: results/<file name>); "
           "a directory ending in / gets the file name as prefix"),
)
OPTION_BY_KEY = {option.key: option for option in OPTIONS}
# "record" is the table run.toml adds: what a run found (the input's checksum,
# the versions); a settings file may hold it, and the input is compared with it.
CONFIG_KEYS = ("file", "groups") + tuple(OPTION_BY_KEY) + ("record",)
# The keys read_table takes, by the same names.
READ_KEYS = ("samples", "quantity", "index", "decimal", "sheet", "keep_flagged", "label_column")
# The keys of a precursor report's reading and roll-up; a protein table takes none.
PRECURSOR_KEYS = tuple(DEFAULT_ROLLUP)
# The reading keys of protein tables only; read_precursors finds its own.
TABLE_ONLY_KEYS = ("samples", "index", "decimal", "sheet", "label_column")
# Settings-file keys that may hold a list.
LIST_KEYS = ("samples", "covariate", "contrast")
# Keys that only a two-group run takes (the fold change and its volcano plot).
TWO_GROUP_KEYS = ("fold_change_method", "fc_threshold", "label_top")


def library_default(key):
    """The default of a setting of LIBRARY_DEFAULTS, read from the library
    function's signature when it is needed, so that a command that stops
    before its steps does not load the library."""
    from tessera.tools import differential

    function, keyword = LIBRARY_DEFAULTS[key]
    return inspect.signature(getattr(differential, function)).parameters[keyword].default


class _LibraryDefault:
    """A library default in an option's help, as %(key)s: read when the help is printed."""

    def __init__(self, key):
        self.key = key

    def __str__(self):
        return str(library_default(self.key))


def flag_of(key):
    """The option of a settings key, e.g. of a reader's keyword: label_column
    -> --label-column."""
    return OPTION_BY_KEY[key].flag


def parse_group(text):
    """NAME=COL,COL,... as given to --group, into (name, [columns])."""
    name, sep, columns = text.partition("=")
    if not sep or not name.strip():
        raise UsageError(f"--group {text!r}: write it as NAME=COL,COL,... e.g. "
                         "--group ctrl=S1,S2,S3")
    return name.strip(), [c.strip() for c in columns.split(",") if c.strip()]


class Parser(argparse.ArgumentParser):
    """Reports a usage problem as a UsageError instead of printing the usage and exiting."""

    def error(self, message):
        raise UsageError(f"{message} (see '{self.prog} --help')")


def build_parser():
    from tessera.readers import FORMATS

    formats = "; ".join(f"{name}: {rule.worded(flag_of)}" for name, rule in FORMATS.items())
    parser = Parser(prog="tessera", description="Quantitative proteomics tables: "
                    "preprocessing, per-feature tests and their figures.")
    parser.add_argument("--version", action="version", version=f"tessera {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    analyze = commands.add_parser(
        "analyze", help="preprocess a table, test every feature between groups, "
                        "write tables and figures",
        description="Reads FILE, runs the preprocessing steps that are given (always in the "
                    "order of the options below), tests every feature between the groups "
                    f"and writes {help_listing()}; it removes the files of an earlier run under "
                    "PREFIX that this run does not write. Without FILE it runs on the bundled "
                    "example table with its own settings.",
        epilog=f"Tables recognised from their header: {formats}. "
               "A settings file holds the same keys as the options, with underscores "
               "(samples, index, remove_decoy, ..., out), plus file = \"...\" and a [groups] "
               "table of sample lists; options given here override it. Exit status: 0 done, "
               "2 a problem with the input or the settings (a step that fails on the "
               "table included), 1 the analysis failed.")
    analyze.add_argument("file", nargs="?", metavar="FILE",
                         help="protein table (.csv, .tsv, .txt or .xlsx): a MaxQuant, DIA-NN, "
                              "FragPipe or Spectronaut protein table, or any table with "
                              "--samples; or a precursor report, rolled up to proteins "
                              "(--rollup): DIA-NN's report (.tsv, .parquet) or pr_matrix, "
                              "MaxQuant's evidence.txt or peptides.txt, FragPipe's "
                              "combined_ion.tsv or combined_peptide.tsv; default: the example")
    analyze.add_argument("--group", action="append", dest="groups", metavar="NAME=COL,COL,...",
                         help="a sample group and its samples; give two for a two-group test, "
                              "more to test whether the group means differ (or give them all "
                              "with --design)")
    for option in OPTIONS:
        if option.metavar is None:
            action = analyze.add_argument(option.flag, dest=option.key, action="store_const",
                                          const=True, help=option.help)
        elif option.repeat:
            action = analyze.add_argument(option.flag, dest=option.key, metavar=option.metavar,
                                          action="append", help=option.help)
        else:
            action = analyze.add_argument(option.flag, dest=option.key, metavar=option.metavar,
                                          help=option.help)
        # argparse fills the help's %(name)s from the action's attributes
        for key in LIBRARY_DEFAULTS:
            setattr(action, key, _LibraryDefault(key))
    analyze.add_argument("--config", metavar="SETTINGS.toml",
                         help="read settings from a TOML file")
    return parser
