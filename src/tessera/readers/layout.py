"""What a format reader finds in a header: where the identifiers, the
annotations, the quantities per sample and the row flags are."""
import re
from fnmatch import fnmatchcase
from dataclasses import dataclass
from typing import Callable

import pandas as pd

# Extensions of mass-spectrometry run files, removed from run names. Only these
# are removed, so that a name such as 'sample_1.5ug' keeps its dot.
RUN_EXTENSIONS = (".raw", ".d", ".mzml", ".mzxml", ".wiff", ".wiff2", ".dia", ".mgf",
                  ".htrms", ".tdf", ".zip")


@dataclass(frozen=True)
class Flag:
    """Rows to remove: those for which `test` is true on column `column`."""

    reason: str                                   # the key in Table.removed
    column: str
    test: Callable[[pd.Series], pd.Series]        # text column -> boolean mask


@dataclass(frozen=True)
class Layout:
    format: str
    identifiers: tuple                 # columns that can be the index, the default first
    annotations: tuple                 # text columns carried with each feature
    quantities: dict                   # quantity -> [(sample, header)], the default first
    flags: tuple = ()
    missing: tuple = ()                # texts meaning "no value", besides empty and NaN
    zeros_missing: bool = False        # the format writes 0 for "not measured"
    gene_column: str | None = None     # the default label column


def plus(cells):
    """MaxQuant's flag columns: '+' marks a flagged row."""
    return cells.eq("+")


def starts_with(prefixes):
    def test(cells):
        return cells.str.startswith(prefixes).fillna(False)
    return test


def every_member_starts_with(prefixes):
    """A protein group all of whose ';'-separated members carry a prefix. A group
    that only shares peptides with such an entry is a real protein and stays."""
    alternatives = "|".join(re.escape(p) for p in prefixes)
    other = re.compile(rf"(?:^|;)\s*(?!{alternatives})")

    def test(cells):
        return (cells.notna() & ~cells.str.contains(other).fillna(True)).fillna(False)
    return test


def run_name(header):
    """The sample name of a run column named by its file path: the file name
    without folders (split at '/' and '\\' alike) and without the run file's
    extension."""
    name = re.split(r"[\\/]", header.strip())[-1]
    stripped = True
    while stripped:
        stripped = False
        for extension in RUN_EXTENSIONS:
            if name.lower().endswith(extension) and len(name) > len(extension):
                name = name[: -len(extension)]
                stripped = True
    return name


def present(header, names):
    return tuple(name for name in names if name in header)


def is_pattern(item):
    return any(c in item for c in "*?[")


def matches(item, name):
    """`name` is `item`, or matches it as a shell-style pattern (case-sensitive)."""
    return fnmatchcase(name, item) if is_pattern(item) else name == item


def matched_part(item, name):
    """The sample name of column `name` selected by `item`.

    A pattern's literal text before its first wildcard is cut off when a space
    ends it, and its literal text after the last wildcard when a space starts
    it: 'LFQ intensity *' names 'LFQ intensity H1' 'H1' and '* area' names
    'S1 area' 'S1', as a quantity is separated from the sample in such
    headers. 'treat_*' leaves 'treat_1' whole, and so does a name given
    without wildcards.
    """
    if not is_pattern(item):
        return name
    first = min(item.index(c) for c in "*?[" if c in item)
    last = max(item.rfind(c) for c in "*?]" if c in item)
    prefix, suffix = item[:first], item[last + 1:]
    start = len(prefix) if prefix.endswith(" ") else 0
    end = len(name) - len(suffix) if suffix.startswith(" ") else len(name)
    return name[start:end].strip() or name
