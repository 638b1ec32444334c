"""The linear model of a run that tests contrasts: the design variables it
takes from the design file, its formula, its contrasts over the groups, the
design matrix, and the covariates' effects taken out of a table for the
figures.

A run goes through differential.test_contrasts when it asks for anything
beyond group means (a covariate, a block, a formula, contrasts, sample
weights, a treat threshold, or a paired design under the moderated test);
otherwise it has no Model and test_features tests it, as it always has. The
design matrix is built here, by formulaic, and handed to test_contrasts as a
frame: the coefficients the contrasts name, the columns a refusal names and
the effects the figures remove are those of one matrix.
"""
import re
import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd

from tessera.cli.errors import UsageError, count, listing

# The design variable that holds the groups, and the pairs of a paired design.
GROUP = "group"
PAIR = "pair"
# A contrast's name in a file name keeps these characters; every run of others
# becomes one "_".
_FILE_CHARACTERS = re.compile(r"[^A-Za-z0-9.+=-]+")
# The pieces of a contrast as the user writes it: space, a name between
# backquotes, a number, an R name, any other character (an operator).
_TOKENS = re.compile(r"(\s+)|`([^`]*)`|((?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)"
                     r"|([A-Za-z.][A-Za-z0-9._]*)|(.)", re.S)
_R_NAME = re.compile(r"[A-Za-z.][A-Za-z0-9._]*")


@dataclass(frozen=True)
class Contrast:
    name: str           # names its columns in the test table and its volcano file
    expression: str     # as given, over the groups (and coefficients)
    coefficients: str   # over the design's coefficients, as test_contrasts reads it

    @property
    def text(self):
        """The contrast as --contrast takes it: EXPR when it names itself, else NAME=EXPR."""
        return self.expression if self.name == re.sub(r"\s+", "", self.expression) else \
            f"{self.name}={self.expression}"

    @property
    def file(self):
        """The name as a file name takes it: every run of characters other
        than letters, digits and . + = - becomes one underscore."""
        return _FILE_CHARACTERS.sub("_", self.name).strip("_.")


@dataclass(frozen=True)
class Model:
    formula: str
    samples: pd.DataFrame       # one row per tested sample: the group and the variables
    design: pd.DataFrame        # the design matrix, one row per sample
    contrasts: tuple            # (Contrast), in the order given
    given: bool                 # the contrasts were given (--contrast), not implied by the groups
    kinds: dict                 # {variable: "factor, N levels" or "numeric"} of the model
    removed: tuple              # the design's columns of the covariates, which the figures remove
    block: str | None = None
    sample_weights: bool = False
    treat: float | None = None

    @property
    def f_only(self):
        """The answer is the F test: three or more groups and no contrast given."""
        return not self.given and len(self.contrasts) > 1


def r_names(columns):
    """formulaic's column names as R's model.matrix writes them, as
    test_contrasts names the columns of a formula's design: group[T.B] ->
    groupB, Intercept -> (Intercept)."""
    names = [re.sub(r"\[(?:T\.)?([^\]]*)\]", r"\1", str(c)) for c in columns]
    return ["(Intercept)" if n == "Intercept" else n for n in names]


def quoted(name):
    """A variable or coefficient as a formula or contrast writes it."""
    return name if _R_NAME.fullmatch(name) else f"`{name}`"


def typed(values):
    """A design variable's column: numbers when every cell is one (a numeric
    covariate), text otherwise (a factor)."""
    try:
        return values.astype(float)
    except (TypeError, ValueError):
        return values.astype(object)


def describe_kind(values):
    if pd.api.types.is_numeric_dtype(values):
        return "numeric"
    return f"factor, {count(values.nunique(), 'level')}"


def model_requested(values):
    """The options given that ask for a model beyond group means, as (key,
    flag) pairs."""
    from tessera.cli.options import MODEL_KEYS, flag_of

    return [(key, flag_of(key)) for key in MODEL_KEYS if values.get(key) not in (None, False)]


def resolve_model(values, given, groups, design, method):
    """The Model of a run, or None for a run of group means (test_features).

    ``values`` are the parsed settings, ``given`` how each was given (for
    messages), ``groups`` the run's [(name, [samples])], ``design`` the design
    file's Design or None and ``method`` the run's test. Refuses what cannot
    make a model, naming the option and what is wrong.
    """
    requested = model_requested(values)
    paired = design is not None and design.pairs is not None
    if method != "moderated":
        if requested:
            key, flag = requested[0]
            raise UsageError(f"{_given(given, key, values[key])}: {flag} applies to --method moderated, and "
                             f"this run tests by {method}; drop it or choose --method moderated")
        return None
    if not requested and not paired:
        return None
    variables = _variables(design)
    block = values.get("block")
    covariates = list(values.get("covariate") or [])
    formula = values.get("formula")
    if formula is not None and covariates:
        raise UsageError(f"{_given(given, 'covariate', covariates[0])}: --formula gives the "
                         "whole model; add "
                         f"{covariates[0]} to the formula instead")
    for name in covariates + ([block] if block else []):
        _check_variable(name, variables, design, groups, given,
                        "covariate" if name in covariates else "block")
    if block is not None and block in covariates:
        raise UsageError(f"{_given(given, 'block', block)}: {block} is also a --covariate; a design "
                         "variable is either a fixed effect of the model or a random block")
    if formula is None:
        terms = [GROUP] + ([PAIR] if paired and block != PAIR else []) + covariates
        formula = "~ 0 + " + " + ".join(quoted(t) for t in terms)
        used = terms[1:]
    else:
        used = _formula_variables(formula, variables, given)
        for name in used:
            _check_variable(name, variables, design, groups, given, "formula")
        if block is not None and block in used:
            raise UsageError(f"{_given(given, 'block', block)}: {block} is also in the formula; a "
                             "design variable is either a fixed effect of the model or a "
                             "random block")
    samples = _samples(groups, variables, used + ([block] if block else []))
    design_matrix, removed = _design(formula, samples, given)
    contrasts, from_options = _contrasts(values, given, groups, list(design_matrix.columns))
    model = Model(formula=formula, samples=samples, design=design_matrix,
                  contrasts=tuple(contrasts), given=from_options,
                  kinds={name: describe_kind(samples[name]) for name in used},
                  removed=removed, block=block,
                  sample_weights=bool(values.get("sample_weights")),
                  treat=values.get("treat"))
    if model.treat is not None and model.f_only:
        raise UsageError(f"{_given(given, 'treat', model.treat)}: with {len(groups)} groups and no "
                         "--contrast the answer is the F test, which --treat does not change; "
                         "give the contrasts to test, e.g. --contrast "
                         f"{quoted(groups[0][0])}-{quoted(groups[-1][0])}")
    _check_with_module(model, given)
    return model


def _given(given, key, value):
    """How a setting was given, for a message: its option or settings-file
    line and the value at fault (one of a repeated option's)."""
    value = value[0] if isinstance(value, list) else value
    return f"{given[key][1]} {value!r}"


def _variables(design):
    """The design file's variables, and its pairs as the variable ``pair``."""
    if design is None:
        return pd.DataFrame()
    variables = design.variables if design.variables is not None else pd.DataFrame()
    if design.pairs is not None:
        pair_of = {s: p for _, members in design.groups
                   for s, p in zip(members, design.pairs)}
        variables = variables.assign(**{PAIR: pd.Series(pair_of, dtype=object)})
    return variables


def _check_variable(name, variables, design, groups, given, key):
    """Refuses a variable that is not the design file's, lacks a value for a
    tested sample, or has one level among them."""
    what = _given(given, key, name if key != "formula" else given[key][0])
    if design is None:
        raise UsageError(f"{what}: design variables are the columns of a design file beyond "
                         "sample and group; give the groups with --design")
    if name == GROUP:
        raise UsageError(f"{what}: the groups are the model's own terms; name another of "
                         f"the design's variables ({listing(list(variables.columns)) or 'none'})")
    if name not in variables:
        known = listing(list(variables.columns)) if len(variables.columns) else \
            "none (its columns are sample and group only)"
        raise UsageError(f"{what}: {name!r} is not a column of the design file {design.path}; "
                         f"its design variables are {known}")
    tested = [s for _, members in groups for s in members]
    cells = variables[name].reindex(tested)
    if cells.isna().any():
        sample = cells.index[cells.isna()][0]
        raise UsageError(f"{what}: sample {sample!r} has no {name} in the design file "
                         f"{design.path}; give every sample of the groups a value")
    if cells.nunique() < 2:
        raise UsageError(f"{what}: every sample has {name} {cells.iloc[0]!r} in the design "
                         f"file {design.path}; a design variable needs two levels or more")
    if key == "block" and cells.nunique() == len(cells):
        raise UsageError(f"{what}: no two samples share a value of {name} in the design "
                         f"file {design.path}; a block is a level that samples share")


def _formula_variables(formula, variables, given):
    """The design variables a formula names besides the groups."""
    import formulaic

    try:
        required = formulaic.Formula(formula).required_variables
    except Exception as exc:  # noqa: BLE001 - formulaic's parse errors have no common base
        raise UsageError(f"{_given(given, 'formula', formula)} is not a formula ({type(exc).__name__}); "
                         "write it as ~ 0 + group + batch") from None
    known = {GROUP, *variables.columns}
    unknown = sorted(str(v) for v in required if str(v) not in known)
    if unknown:
        raise UsageError(f"{_given(given, 'formula', formula)}: {unknown[0]!r} is not a design "
                         f"variable; the formula may name group and the design file's "
                         f"variables ({listing(list(variables.columns)) or 'none'})")
    return [v for v in variables.columns if v in required]


def _samples(groups, variables, used):
    """The samples of the test: their group and the variables the model
    uses, numbers where a variable holds only numbers."""
    tested = [s for _, members in groups for s in members]
    frame = pd.DataFrame({GROUP: [name for name, members in groups for _ in members]},
                         index=tested, dtype=object)
    for name in dict.fromkeys(used):
        frame[name] = typed(variables[name].reindex(tested))
    return frame


def _design(formula, samples, given):
    """The design matrix with R's column names, and the columns of the terms
    that name variables other than the groups (which the figures remove)."""
    import formulaic

    try:
        matrix = formulaic.model_matrix(formula, samples, na_action="raise")
    except Exception as exc:  # noqa: BLE001 - formulaic's errors have no common base
        raise UsageError(f"the model {formula}: "
                         f"formulaic cannot build the design ({type(exc).__name__}); check "
                         "the formula's terms") from None
    names = r_names(matrix.columns)
    removed = []
    for term, columns in matrix.model_spec.term_slices.items():
        named = {str(v) for factor in term.factors
                 for v in re.findall(r"`[^`]+`|[A-Za-z_.][A-Za-z0-9_.]*", str(factor))}
        if named - {GROUP, "C", "1"} and named & set(samples.columns) - {GROUP}:
            removed += names[columns]
    design = pd.DataFrame(np.asarray(matrix, dtype=float), index=samples.index, columns=names)
    return design, tuple(removed)


def parse_contrast(text):
    """--contrast NAME=EXPR or EXPR: (name, expression); an expression given
    alone is named by itself without spaces."""
    name, sep, expression = text.partition("=")
    if not sep:
        name, expression = "", name
    expression = expression.strip()
    return (name.strip() or re.sub(r"\s+", "", expression)), expression


def _contrasts(values, given, groups, coefficients):
    """The run's Contrasts and whether they were given: --contrast's, or the
    first group minus the second, or every group but the last minus the last."""
    names = [name for name, _ in groups]
    texts = values.get("contrast")
    if texts:
        pairs = [parse_contrast(text) for text in texts]
    elif len(names) == 2:
        pairs = [(f"{names[0]}-{names[1]}", f"{quoted(names[0])} - {quoted(names[1])}")]
    else:
        pairs = [(f"{name}-{names[-1]}", f"{quoted(name)} - {quoted(names[-1])}")
                 for name in names[:-1]]
    contrasts, files = [], {}
    for name, expression in pairs:
        label = f"--contrast {Contrast(name, expression, '').text}" if texts else \
            "the groups' contrast"
        if not expression:
            raise UsageError(f"{label}: has no expression; write it as B-A or NAME=B-A")
        contrast = Contrast(name, expression, _translate(expression, names, coefficients, label))
        if contrast.file in files or not contrast.file:
            other = files.get(contrast.file)
            why = f"as {other!r} does" if other is not None else "no letter or digit"
            raise UsageError(f"{label}: its name gives the file name "
                             f"volcano_{contrast.file}.png, {why}; name it with NAME=EXPR, "
                             "e.g. --contrast HvsN=H-N")
        files[contrast.file] = name
        contrasts.append(contrast)
    return contrasts, bool(texts)


def _translate(expression, groups, coefficients, label):
    """The expression over the design's coefficients: each group name (bare
    or between backquotes) becomes its coefficient; a coefficient stays."""
    out = []
    for space, backquoted, number, bare, other in _TOKENS.findall(expression):
        name = bare or backquoted
        if not name:
            out.append(space or number or other)
            continue
        if name in groups:
            coefficient = f"{GROUP}{name}"
            if coefficient not in coefficients:
                raise UsageError(f"{label}: group {name!r} has no coefficient of its own in "
                                 "the model (the intercept stands for it); write the contrast "
                                 f"over the coefficients {listing(coefficients)}")
        elif name in coefficients:
            coefficient = name
        else:
            raise UsageError(f"{label}: {name!r} is neither a group ({listing(groups)}) nor a "
                             f"coefficient of the model ({listing(coefficients)})")
        out.append(f"`{coefficient}`")
    return "".join(out)


def _check_with_module(model, given):
    """Runs test_contrasts on a table without rows: it refuses a design that
    is not of full rank or a contrast it cannot read before anything is read
    or computed, and the refusal is worded here from its attributes."""
    from tessera.tools import differential

    empty = pd.DataFrame(np.empty((0, len(model.samples))), columns=model.samples.index)
    try:
        with warnings.catch_warnings():   # the run's own call warns where it applies
            warnings.simplefilter("ignore")
            differential.test_contrasts(empty, model.samples, model.design,
                                        {c.name: c.coefficients for c in model.contrasts},
                                        block=model.block)
    except ValueError as exc:
        raise UsageError(model_refusal(exc, model, given)) from None


def model_refusal(exc, model, given):
    """test_contrasts' refusal of the model in the options' words."""
    parameter = getattr(exc, "parameter", None)
    if parameter == "formula" and isinstance(exc.value, tuple):
        dependent = list(exc.value)
        owners = [v for v in model.kinds
                  if any(c.startswith(v) or c.startswith(f"`{v}") for c in dependent)]
        culprit = (f"{owners[0]} is confounded with the groups or the other terms (its "
                   "levels follow them)") if owners else "the terms are confounded"
        which = "is a linear combination" if len(dependent) == 1 else \
            "are linear combinations"
        return (f"the model {model.formula} is not of full rank: column"
                f"{'' if len(dependent) == 1 else 's'} {listing(dependent)} {which} of the "
                f"columns before; {culprit}; drop it from the model")
    if parameter == "contrasts":
        contrast = next((c for c in model.contrasts if c.name == exc.value), None)
        text = f"--contrast {contrast.text}" if contrast else "a contrast"
        return (f"{text}: is not a contrast of the groups; write it with group names, "
                "numbers, + - * / and parentheses, e.g. B-A or C-(A+B)/2")
    return f"the model {model.formula} cannot be tested: {exc}"


def without_covariates(table, model):
    """The complete rows of ``table``'s tested samples with the covariates'
    fitted effects subtracted, as limma's removeBatchEffect does: each row
    fitted on the whole design by least squares, the groups' part kept."""
    values = table[list(model.samples.index)].astype(float)
    values = values[np.isfinite(values).all(axis=1)]
    design = model.design.to_numpy()
    removed = [model.design.columns.get_loc(c) for c in model.removed]
    if not len(values) or not removed:
        return values
    beta, *_ = np.linalg.lstsq(design, values.to_numpy().T, rcond=None)
    effect = design[:, removed] @ beta[removed]
    return values - effect.T


def model_words(model):
    """The model in words, for the lines printed before the run."""
    kinds = "; ".join(f"{name}: {kind}" for name, kind in model.kinds.items())
    text = model.formula + (f" ({kinds})" if kinds else "")
    if model.f_only:
        text += "; F test of the contrasts " + ", ".join(c.name for c in model.contrasts)
    else:
        text += "; contrasts " + ", ".join(c.text for c in model.contrasts)
    if model.block:
        text += f"; block {model.block} (correlation within it estimated)"
    if model.sample_weights:
        text += "; sample weights estimated"
    if model.treat is not None:
        text += f"; each contrast tested against |fold change| <= {model.treat:g} (treat)"
    return text

