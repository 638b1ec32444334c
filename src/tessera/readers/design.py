"""read_design: the sample design file, one row per sample with its group and,
optionally, its pair (for paired designs), a label for figures and any
number of design variables (a batch, a donor, a covariate)."""
import difflib
from dataclasses import dataclass

import pandas as pd

from .errors import ReadError, listing, plural
from .source import open_source, read_columns

REQUIRED = ("sample", "group")
OPTIONAL = ("pair", "label")


@dataclass(frozen=True, eq=False)
class Design:
    """Sample groups, in the order the file first names them.

    ``groups`` is ``[(group, [samples])]``. With a pair column every group
    lists its samples in the order of ``pairs``: the i-th sample of each group
    belongs to pair ``pairs[i]``. ``labels`` maps samples to their figure
    labels (samples without one are left out); ``unused`` lists the table's
    samples that the design does not name. ``variables`` holds the file's
    other columns, its design variables, as text indexed by sample in the
    file's order (None for an empty cell); without any it has no columns.
    """

    groups: list
    pairs: list | None
    labels: dict
    unused: list
    path: str
    variables: pd.DataFrame | None = None

    @property
    def samples(self):
        return [s for _, members in self.groups for s in members]


def read_design(path, samples=None):
    """Reads a design file (.csv, .tsv, .txt or .xlsx) with columns 'sample'
    and 'group' and optional 'pair' and 'label' (any letter case).

    ``samples`` (a Table or the table's sample names) is checked against:
    a design sample the table lacks is refused by name.
    """
    table_samples = None
    if samples is not None:
        table_samples = list(getattr(samples, "samples", samples))
    source = open_source(path)
    name = source.name
    columns, variables = {}, {}
    for position, header in enumerate(source.header):
        key = header.lower()
        if key in REQUIRED + OPTIONAL:
            if key in columns:
                raise ReadError(f"{name}: two {key!r} columns in the header; keep one",
                                path=name, column=header)
            columns[key] = position
        elif header:
            close = difflib.get_close_matches(key, REQUIRED + OPTIONAL, n=1, cutoff=0.75)
            if close and close[0] not in [h.lower() for h in source.header]:
                raise ReadError(f"{name}: unknown column {header!r}; did you mean "
                                f"{close[0]!r}? (columns: sample, group, pair, label)",
                                path=name, column=header)
            if header in variables:
                raise ReadError(f"{name}: two {header!r} columns in the header; keep one",
                                path=name, column=header)
            variables[header] = position
    missing = [key for key in REQUIRED if key not in columns]
    if missing:
        raise ReadError(f"{name}: no {' or '.join(repr(m) for m in missing)} column; a design "
                        "has columns sample and group (and optionally pair and label), "
                        f"its header is {listing(source.header)}", path=name)
    frame = read_columns(source, [], list(columns.values()) + list(variables.values()))
    cells = {key: [None if v != v else str(v).strip() or None for v in frame[p]]
             for key, p in (columns | variables).items()}
    rows = len(frame)
    if rows == 0:
        raise ReadError(f"{name}: has a header but no samples", path=name)

    sample_of = cells["sample"]
    blank = [source.line(r) for r in range(rows) if sample_of[r] is None]
    if blank:
        raise ReadError(f"{name}: no sample name on line {', '.join(map(str, blank[:5]))}; "
                        "give each row a sample or remove the row", path=name, column="sample",
                        row=blank[0])
    first_line = {}
    for r, sample in enumerate(sample_of):
        if sample in first_line:
            raise ReadError(f"{name}: sample {sample!r} is on lines {first_line[sample]} and "
                            f"{source.line(r)}; list each sample once", path=name,
                            column="sample", row=source.line(r), value=sample)
        first_line[sample] = source.line(r)

    ungrouped = [s for s, g in zip(sample_of, cells["group"]) if g is None]
    if ungrouped:
        raise ReadError(f"{name}: {plural(len(ungrouped), 'sample')} in no group: "
                        f"{listing(ungrouped)}; give each a group or remove its row",
                        path=name, column="group", value=ungrouped[0])
    if table_samples is not None:
        known = set(table_samples)
        absent = [s for s in sample_of if s not in known]
        if absent:
            lowered = {s.lower(): s for s in table_samples}
            close = [f"{s!r} -> {lowered[s.lower()]!r}" for s in absent if s.lower() in lowered]
            hint = f"names are case-sensitive ({', '.join(close[:3])})" if close else \
                f"the table's samples are {listing(table_samples)}"
            raise ReadError(f"{name}: {plural(len(absent), 'sample')} of the design not in "
                            f"the table: {listing(absent)}; {hint}", path=name,
                            column="sample", value=absent[0])

    groups = {}
    for sample, group in zip(sample_of, cells["group"]):
        groups.setdefault(group, []).append(sample)

    pairs = None
    if "pair" in cells:
        pairs = _pair_order(name, groups, dict(zip(sample_of, cells["pair"])))
        by_pair = dict(zip(sample_of, cells["pair"]))
        for members in groups.values():
            members.sort(key=lambda s: pairs.index(by_pair[s]))

    labels = {}
    if "label" in cells:
        owner = {}
        for sample, label in zip(sample_of, cells["label"]):
            if label is None:
                continue
            if label in owner:
                raise ReadError(f"{name}: samples {owner[label]!r} and {sample!r} have the "
                                f"same label {label!r}; give each its own label", path=name,
                                column="label", value=label)
            owner[label] = sample
            labels[sample] = label

    named = set(sample_of)
    unused = [s for s in table_samples if s not in named] if table_samples is not None else []
    return Design(groups=[(g, members) for g, members in groups.items()], pairs=pairs,
                  labels=labels, unused=unused, path=name,
                  variables=pd.DataFrame({v: cells[v] for v in variables}, index=sample_of,
                                         dtype=object))


def _pair_order(name, groups, pair_of):
    """The pair ids in the order the file first names them, once it is checked
    that every pair has exactly one sample in every group."""
    unpaired = [s for s, p in pair_of.items() if p is None]
    if unpaired:
        raise ReadError(f"{name}: {plural(len(unpaired), 'sample')} without a pair: "
                        f"{listing(unpaired)}; give every sample a pair, or remove the pair "
                        "column for an unpaired design", path=name, column="pair",
                        value=unpaired[0])
    order = list(dict.fromkeys(pair_of.values()))
    for group, members in groups.items():
        count = pd.Series([pair_of[s] for s in members]).value_counts()
        twice = count[count > 1]
        if len(twice):
            pair = twice.index[0]
            both = [s for s in members if pair_of[s] == pair]
            raise ReadError(f"{name}: pair {pair!r} has {len(both)} samples in group "
                            f"{group!r} ({listing(both)}); a pair has one sample per group",
                            path=name, column="pair", group=group, value=pair)
        lacking = [p for p in order if p not in count.index]
        if lacking:
            raise ReadError(f"{name}: pair {lacking[0]!r} has no sample in group {group!r}; "
                            "every pair needs one sample in each group", path=name,
                            column="pair", group=group, value=lacking[0])
    return order
