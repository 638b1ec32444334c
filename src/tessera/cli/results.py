"""The test table of a run: the names of its columns, the one rule that makes
a feature significant, what the fold change is called, and what the printed
lines, the figures and the report count in it.

Every module that reads the test table takes its column names from
``ResultColumns`` (and, for a run of contrasts, each contrast's from
``ContrastColumns``) and its significant features from ``significant``, so
that the summary lines, the volcano plots and the report cannot disagree.
"""
from dataclasses import dataclass
from math import comb

import pandas as pd

# A feature is significant when its adjusted p-value is below ALPHA (and,
# with a fold-change threshold, its absolute fold change is at least that).
ALPHA = 0.05
# The features of the report's table of top features.
TOP_FEATURES = 20


# The name of the moderated F test of all the contrasts of a run, which
# names its columns as a contrast does (F_p, F_<adjustment>).
F_TEST = "F"
# The directions of a contrast's fold change.
CONTRAST_DIRECTIONS = ("up", "down")


@dataclass(frozen=True)
class ContrastColumns:
    """The columns of one test of differential.test_contrasts' table: a
    contrast ``name`` (its fold change ``<name>_logfc``, ``<name>_t``,
    ``<name>_p``, ``<name>_<adjustment>``), or the F test of all of them
    (F_TEST, without a fold change)."""
    name: str
    adjustment: str

    @property
    def p(self):
        return f"{self.name}_p"

    @property
    def adjusted(self):
        return f"{self.name}_{self.adjustment}"

    @property
    def fc(self):
        return None if self.name == F_TEST else f"{self.name}_logfc"

    @property
    def directions(self):
        return CONTRAST_DIRECTIONS


@dataclass(frozen=True)
class ResultColumns:
    """The names of a test table's columns.

    ``method`` is the test as the table names it, ``adjustment`` the
    multiple-testing method, ``groups`` the group names in the run's order
    and ``fold_change`` how the fold change was computed (group or paired),
    None when the run has no fold change (three or more groups, a model).

    A run of a model (test_contrasts) has ``contrasts``, the names of the
    contrasts whose columns the table holds, and ``f_only`` when the answer
    is their F test (three or more groups and no contrast given).
    """
    method: str
    adjustment: str
    groups: tuple
    fold_change: str | None = None
    contrasts: tuple = ()
    f_only: bool = False
    # the intensity test joined with the detection test (test_hurdle): the
    # answers are the combined p-values
    detection: bool = False
    sizes: tuple = ()       # the samples per group, with the detection test

    @property
    def tests(self):
        """A model's tests as its lines and the report give them: each
        contrast, then the F test of two or more (the F test alone when
        ``f_only``); empty for a run of group means."""
        contrasts = [] if self.f_only else \
            [ContrastColumns(name, self.adjustment) for name in self.contrasts]
        f_test = [ContrastColumns(F_TEST, self.adjustment)] if len(self.contrasts) > 1 else []
        return contrasts + f_test

    def contrast(self, name):
        """The columns of the contrast ``name`` of a model's table."""
        return ContrastColumns(name, self.adjustment)

    @property
    def headline(self):
        """The test whose p-values stand for the run's (histogram, whether
        any feature has one): the F test of two or more contrasts, else the
        one contrast, else the run's own columns."""
        return self.tests[-1] if self.contrasts else self

    @property
    def p(self):
        if self.contrasts:
            return self.headline.p
        return "hurdle_p" if self.detection else f"{self.method}_p"

    @property
    def adjusted(self):
        if self.contrasts:
            return self.headline.adjusted
        return f"hurdle_{self.adjustment}" if self.detection else \
            f"{self.method}_{self.adjustment}"

    @property
    def note(self):
        """Why a feature has no p-value; "" for a tested one."""
        return "note" if self.contrasts else f"{self.method}_note"

    @property
    def fc(self):
        return None if self.fold_change is None else f"{self.fold_change}_fc"

    @property
    def measured(self):
        """The measured values per feature and group, one column per group."""
        return [f"n_{name}" for name in self.groups]

    @property
    def imputed(self):
        """The imputed cells per feature and group, one column per group."""
        return [f"imputed_{name}" for name in self.groups]

    @property
    def directions(self):
        """The names of the two directions of a fold change: the first group
        higher, the second higher."""
        return tuple(f"higher in {name}" for name in self.groups[:2])


def significant(p, adjusted, fc=None, *, alpha=ALPHA, fc_threshold=None):
    """Which features are significant: those with a p-value whose adjusted
    p-value is below ``alpha``, and, where ``fc`` is given, with a fold change
    of at least ``fc_threshold`` in absolute value (any fold change without a
    threshold).

    A p-value of 0 is one that underflowed: below every level, so it counts
    like any other p-value. A feature without a p-value, or without a fold
    change where one is asked for, is never significant.
    """
    p, adjusted = p.astype(float), adjusted.astype(float)
    chosen = p.notna() & (adjusted < alpha)
    if fc is not None:
        fc = fc.astype(float)
        chosen &= fc.notna()
        if fc_threshold:
            chosen &= fc.abs() >= fc_threshold
    return chosen


def result_counts(table, columns, *, fc_threshold=None):
    """{"tested", "significant", "direction"} of a test table: the features
    with a p-value, the significant ones and, with a fold change, the
    significant ones per direction ({first group higher: fold change above
    0, second group higher: the rest}). ``columns`` is the run's
    ResultColumns or one test's ContrastColumns."""
    fc = fold_changes(table, columns)
    chosen = significant(table[columns.p], table[columns.adjusted], fc,
                         fc_threshold=fc_threshold)
    direction = {}
    if fc is not None:
        up = fc.astype(float) > 0
        higher_first, higher_second = columns.directions
        direction = {higher_first: int((chosen & up).sum()),
                     higher_second: int((chosen & ~up).sum())}
    return {"tested": int(table[columns.p].notna().sum()), "significant": int(chosen.sum()),
            "direction": direction}


def detection_reaches(sizes, alpha=ALPHA):
    """Whether Fisher's exact test of measured against not measured can give
    two groups of these sizes a p-value below ``alpha``: the smallest
    two-sided p-value over every split of every number of measured samples.
    With 3 and 3 samples it is 0.1, so the test never counts there."""
    first, second = sizes
    everyone = first + second
    for measured in range(1, everyone):
        probabilities = [comb(first, k) * comb(second, measured - k) / comb(everyone, measured)
                         for k in range(max(0, measured - second), min(first, measured) + 1)]
        least = min(probabilities)
        if sum(q for q in probabilities if q <= least * (1 + 1e-9)) < alpha:
            return True
    return False


def fold_changes(table, columns):
    """The fold change each feature is judged by; None without one. A feature
    that the detection test alone answers (one group measured it too rarely
    for a mean) changed without bound: +inf where the first group measured it
    in a larger share of its samples, -inf where the second did."""
    if columns.fc is None:
        return None
    fc = table[columns.fc].astype(float)
    if getattr(columns, "detection", False):
        first, second = (table[n].astype(float) / size for n, size in
                         zip(columns.measured, columns.sizes))
        alone = fc.isna() & (table["hurdle_evidence"] == "detection")
        fc = fc.mask(alone & (first > second), float("inf"))
        fc = fc.mask(alone & (first < second), float("-inf"))
    return fc


def untested_notes(table, columns):
    """The notes of the features without a p-value."""
    return table.loc[table[columns.p].isna(), columns.note]


def note_counts(notes):
    """{note: features} of a column of reasons ("" for a tested feature), the
    most frequent first."""
    notes = notes.fillna("").astype(str)
    found = notes[notes != ""].value_counts(sort=True)
    return {str(k): int(v) for k, v in found.items()}


def fold_change_name(log_base):
    """What the fold change is on the run's scale: a log2 fold change after a
    base-2 log transform (log10 after base 10, ...), otherwise the difference
    of the group means."""
    return f"log{log_base} fold change" if log_base else "fold change (difference of means)"


def contrast_label(contrast, log_base):
    """The fold change of a contrast (a model.Contrast) in words, for an axis."""
    how = contrast.expression.replace("-", "\u2212")
    return f"log{log_base} fold change ({how})" if log_base else f"fold change ({how})"


def fold_change_label(groups, log_base, paired):
    """The fold change in words, for an axis: which group minus which, as a
    difference of means or (``paired``) a mean of paired differences, a log
    fold change when the run took logarithms."""
    first, second = groups[:2]
    if paired:
        how = f"mean of paired differences {first} \u2212 {second}"
    else:
        how = f"{first} \u2212 {second}" if log_base else f"mean {first} \u2212 mean {second}"
    return f"log{log_base} fold change ({how})" if log_base else f"fold change ({how})"


def top_features(table, columns, *, label=None, annotations=(), n=TOP_FEATURES):
    """The ``n`` features with the smallest adjusted p-values (then p) as the
    report's table, on the table's index: the ``label`` column (e.g. the gene
    names), the fold change, p and adjusted p first, as a reader looks for
    them, then the other ``annotations``. An annotation column is left out
    when it has no text in these rows, holds one value on every row of the
    table (e.g. the organism), or repeats the identifier or a column already
    shown on every one of these rows."""
    p, adjusted = columns.p, columns.adjusted
    order = table[[adjusted, p]].astype(float).sort_values([adjusted, p], kind="stable",
                                                           na_position="last")
    rows = order.index[order[p].notna()][:n]
    names = ([label] if label is not None else []) + [a for a in annotations if a != label]
    shown = [_texts(pd.Series(rows, index=rows))]
    kept = {}
    for name in dict.fromkeys(names):
        if name not in table or table[name].nunique(dropna=False) <= 1:
            continue
        texts = _texts(table.loc[rows, name])
        if texts.eq("").all() or any(texts.equals(other) for other in shown):
            continue
        shown.append(texts)
        kept[name] = table.loc[rows, name]
    top = {}
    if label in kept:
        top[label] = kept.pop(label)
    if columns.fc is not None:
        top["fold change"] = table.loc[rows, columns.fc].astype(float)
    top["p"] = table.loc[rows, p].astype(float)
    top["adjusted p"] = table.loc[rows, adjusted].astype(float)
    top.update(kept)
    frame = pd.DataFrame(top, index=rows)
    frame.index.name = table.index.name or "feature"
    return frame


def _texts(values):
    """A column's cells as stripped text, "" where missing, to compare columns."""
    return values.astype(object).where(values.notna(), "").astype(str).str.strip()
