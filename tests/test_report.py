"""The per-run report, its figures and run.toml."""
import base64
import hashlib
import html
import re
import tomllib
import xml.etree.ElementTree as ET
from dataclasses import replace
from html.parser import HTMLParser
from itertools import combinations
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from conftest import NO_DEFAULT_STEPS, Recorder, read_test, real_data, run_cli

from tessera.cli import figures, qc
from tessera.cli.interactive import volcano_svg
from tessera.cli.options import build_parser
from tessera.cli.outputs import OUTPUT_BY_NAME
from tessera.cli.record import (ReportFigure, RunRecord, Step, dumps_run_toml, input_status,
                                record_facts, resolved_settings, toml_string)
from tessera.cli.render import png_bytes
from tessera.cli.report import render_html
from tessera.cli.results import ResultColumns, fold_change_label, result_counts, top_features
from tessera.cli.settings import example_path, resolve

EXAMPLE = Path(str(example_path()))
HOSTILE = '<script>alert("x")</script> & \'q\' </td><img src=http://a/b>'
GROUPS = [("treat", [f"t{i}" for i in range(1, 5)]), ("ctrl", [f"c{i}" for i in range(1, 5)])]
# the test table of a Welch test of treat against ctrl
WELCH = ResultColumns("Welch", "fdr_bh", ("treat", "ctrl"), "group")


def intensities(n, groups=GROUPS, missing=0.2, seed=0):
    """log-scale intensities with a group effect on a tenth of the features and
    missing values most likely at low intensity."""
    rng = np.random.default_rng(seed)
    columns = [c for _, cs in groups for c in cs]
    base = rng.normal(24, 2, size=(n, 1))
    values = base + rng.normal(0, 0.4, size=(n, len(columns)))
    values[: n // 10, : len(groups[0][1])] += 1.5
    chance = missing * 2 / (1 + np.exp(base - 23))
    values[rng.random(values.shape) < chance] = np.nan
    return pd.DataFrame(values, columns=columns,
                        index=pd.Index([f"P{i:05d}" for i in range(n)], name="Protein IDs"))


def volcano_inputs(n, seed=0, significant=0.3):
    rng = np.random.default_rng(seed)
    index = pd.Index([f"P{i:05d}" for i in range(n)], name="Protein IDs")
    fc = pd.Series(rng.normal(0, 1.2, n), index=index)
    p = pd.Series(10 ** -np.abs(rng.normal(0, 2, n)), index=index)
    hit = rng.random(n) < significant
    p[hit] = 10 ** -rng.uniform(4, 6, hit.sum())   # a crowded band of significant points
    adjusted = (p * 20).clip(upper=1.0)
    p.iloc[:7] = np.nan
    return fc, p, adjusted


class Page(HTMLParser):
    """Tags, attributes and text of an HTML page."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags, self.text, self.ids = [], [], {}
        self._open_id = None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.tags.append((tag, attrs))
        self._open_id = attrs.get("id")

    def handle_data(self, data):
        self.text.append(data)
        if self._open_id:
            self.ids[self._open_id] = data
            self._open_id = None


def record_of(test_table, figures_qc, figures_test, **changes):
    values = dict(
        input_file="/data/proteinGroups.txt", sha256="ab" * 32,
        input_format="MaxQuant proteinGroups", quantity="LFQ intensity", groups=GROUPS,
        settings={"file": "/data/proteinGroups.txt", "normalize": "log_median_0",
                  "remove_missing_values": 70.5},
        versions={"tessera": "0.1.0", "numpy": "2"}, date="2026-12-09 10:00:00",
        elapsed=1.25,
        steps=[Step("read", 120, 0, "120 rows"), Step("remove_decoy", 111, 9, "REV__")],
        tested=97, significant=12, alpha=0.05, adjustment="fdr_bh", method="Welch",
        untested={"1 value in ctrl, 2 needed": 9, "no variance in either group": 5},
        direction={"higher in treat": 8, "higher in ctrl": 4},
        top=top_features(test_table, WELCH, label="Gene names", annotations=["Gene names"],
                         n=8),
        qc_figures=figures_qc, test_figures=figures_test)
    values.update(changes)
    return RunRecord(**values)


@pytest.fixture(scope="module")
def drawn():
    """A record with real figures drawn from a synthetic table, and its page."""
    table = intensities(120)
    fc, p, adjusted = volcano_inputs(120)
    test = pd.DataFrame({"Welch_p": p, "Welch_fdr_bh": adjusted, "group_fc": fc,
                         "Gene names": [f"GENE{i}" for i in range(120)]}, index=fc.index)
    qc_figs = [ReportFigure("PCA", OUTPUT_BY_NAME["pca.png"].caption,
                            png=png_bytes(qc.principal_components(table, GROUPS))),
               ReportFigure("Missing", OUTPUT_BY_NAME["missingness.png"].caption,
                            png=png_bytes(qc.missingness(table, GROUPS)))]
    test_figs = [ReportFigure("Volcano", "", png=png_bytes(figures.volcano(
                     fc, p, adjusted, alpha=0.05, top=10, labels=("up", "down"), xlabel="fc",
                     ylabel="-log10 p", title="Welch"))),
                 ReportFigure("Interactive volcano", "", svg=volcano_svg(
                     fc, p, adjusted, alpha=0.05, names=test["Gene names"]))]
    record = record_of(test, qc_figs, test_figs)
    return record, render_html(record)


def assert_self_contained(page):
    """The page loads nothing from outside itself and has its sections in order."""
    # the inline images' base64 text may spell anything, "http" included
    text = re.sub(r"data:image/png;base64,[A-Za-z0-9+/=]*", "data:", page)
    assert "http" not in text.lower() and "url(" not in text and "@import" not in text
    parsed = Page(page)
    for tag, attrs in parsed.tags:
        assert tag not in ("link", "iframe", "object", "embed", "base"), tag
        if "src" in attrs:
            assert attrs["src"].startswith("data:image/png;base64,"), attrs["src"][:40]
        if "href" in attrs:
            assert attrs["href"].startswith("#"), attrs["href"]
            assert f'id="{attrs["href"][1:]}"' in page
        assert tag != "script"
    positions = [page.index(f'<section id="{s}"') for s in
                 ("run", "steps", "qc", "results", "test-figures")]
    assert positions == sorted(positions)
    return parsed


@pytest.mark.python_only
def test_report_needs_nothing_outside_the_file(drawn):
    assert_self_contained(drawn[1])


@pytest.mark.python_only
def test_report_shows_every_figure_and_the_record_numbers(drawn):
    record, page = drawn
    parsed = Page(page)
    images = [attrs["src"] for tag, attrs in parsed.tags if tag == "img"]
    pngs = [f.png for f in record.qc_figures + record.test_figures if f.png is not None]
    assert [base64.b64decode(src.split(",", 1)[1]) for src in images] == pngs
    assert page.count('<svg class="volcano"') == 1
    assert parsed.ids["tested"] == str(record.tested)
    assert parsed.ids["significant"] == str(record.significant)
    assert parsed.ids["untested"] == str(sum(record.untested.values()))
    text = " ".join(parsed.text)
    for reason, count in record.untested.items():
        assert re.search(re.escape(reason) + r"\s*" + str(count), text)
    steps = re.findall(r"<tr><td>([^<]*)</td><td class=\"num\">(\d*)</td>"
                       r"<td class=\"num\">(\d*)</td>", page)
    assert steps == [(s.name, str(s.kept), str(s.removed)) for s in record.steps]
    # the top table: identifiers in order of adjusted p, numbers as in the record
    rows = re.findall(r'<tr><td class="mono">([^<]*)</td>'
                      r'<td>([^<]*)</td><td class="num">([^<]*)</td>'
                      r'<td class="num">([^<]*)</td>'
                      r'<td class="num">([^<]*)</td></tr>', page)
    top = record.top
    assert [r[0] for r in rows] == list(top.index)
    for (_, gene, fc, p, adj), (_, row) in zip(rows, top.iterrows()):
        assert gene == row["Gene names"]
        assert float(fc) == pytest.approx(row["fold change"], rel=1e-3)
        assert float(p) == pytest.approx(row["p"], rel=1e-3)
        assert float(adj) == pytest.approx(row["adjusted p"], rel=1e-3)
    assert list(top["adjusted p"]) == sorted(top["adjusted p"])


@pytest.mark.python_only
def test_top_features_put_the_numbers_first_and_leave_out_uninformative_columns():
    fc, p, adjusted = volcano_inputs(30)
    ids = [f"P{i:05d};Q{i:05d}" for i in range(30)]
    table = pd.DataFrame({
        "Protein IDs": ids, "Majority protein IDs": ids[:-1] + ["other"],
        "Protein.Ids": fc.index, "Organism": "Homo sapiens",
        "Description": [f"protein {i}" for i in range(30)],
        "Gene names": [f"G{i}" for i in range(30)], "Empty": np.nan,
        "group_fc": fc, "Welch_p": p, "Welch_fdr_bh": adjusted}, index=fc.index)
    top = top_features(table, WELCH, label="Gene names", annotations=list(table.columns[:7]),
                       n=5)
    # the majority IDs differ from the protein IDs only on a row not shown
    assert list(top.columns) == ["Gene names", "fold change", "p", "adjusted p",
                                 "Protein IDs", "Description"]


@pytest.mark.python_only
@pytest.mark.parametrize("settings, name", [
    ({"log_transform": 2}, "log2 fold change"),
    ({"log_transform": 10}, "log10 fold change"),
    ({}, "fold change (difference of means)"),
])
def test_the_fold_change_is_named_for_its_scale(drawn, settings, name):
    page = render_html(replace(drawn[0], settings=settings, fc_threshold=1.0))
    assert f'<th class="num">{name}</th><th class="num">p</th>' in page
    assert f"significant (adjusted p &lt; 0.05 and absolute {name} at least 1, fdr_bh)" in page
    fc, p, adjusted = volcano_inputs(20)
    tips = ET.fromstring(volcano_svg(fc, p, adjusted, alpha=0.05, fc_name=name)).iter("title")
    assert all(f"\n{name} " in t.text for t in list(tips)[1:])


@pytest.mark.python_only
@pytest.mark.parametrize("check", ["", "input unchanged since the recorded run"])
def test_the_input_check_is_shown_when_there_is_one(drawn, check):
    page = render_html(replace(drawn[0], input_check=check))
    assert ("input check" in page) == bool(check) and check in page


@pytest.mark.python_only
def test_hostile_text_is_escaped_everywhere():
    index = pd.Index([HOSTILE, "P2", "P3"], name=HOSTILE)
    test = pd.DataFrame({"Welch_p": [0.001, 0.02, 0.5], "Welch_fdr_bh": [0.003, 0.03, 0.5],
                         "group_fc": [1.0, -2.0, 0.1], "Gene names": [HOSTILE, None, "G3"]},
                        index=index)
    svg = volcano_svg(test["group_fc"], test["Welch_p"], test["Welch_fdr_bh"], alpha=0.05,
                      names=test["Gene names"], xlabel=HOSTILE, title=HOSTILE)
    record = record_of(
        test, [ReportFigure(HOSTILE, HOSTILE, png=b"\x89PNG", file=HOSTILE)],
        [ReportFigure("svg", HOSTILE, svg=svg)],
        input_file=HOSTILE, input_format=HOSTILE, quantity=HOSTILE, method=HOSTILE,
        groups=[(HOSTILE, [HOSTILE, "b"]), ("g2", ["c", "d"])],
        settings={HOSTILE: HOSTILE, "list": [HOSTILE, 1]}, versions={HOSTILE: HOSTILE},
        steps=[Step(HOSTILE, 1, 0, HOSTILE)], untested={HOSTILE: 3},
        direction={HOSTILE: 1}, command=HOSTILE)
    page = render_html(record)
    parsed = Page(page)
    assert all(tag != "script" for tag, _ in parsed.tags)
    assert [attrs["src"][:5] for tag, attrs in parsed.tags if "src" in attrs] == ["data:"]
    # the text comes back whole: escaped, not dropped or cut
    assert sum(HOSTILE in t for t in parsed.text) >= 15
    ET.fromstring(svg)  # the SVG is well-formed XML


def label_boxes(fig, gid):
    """Display boxes of the label texts (without leader lines) after an Agg draw."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.text import Text

    canvas = FigureCanvasAgg(fig)
    canvas.draw()
    renderer = canvas.get_renderer()
    texts = [t for ax in fig.axes for t in ax.texts if t.get_gid() == gid]
    return [Text.get_window_extent(t, renderer) for t in texts], texts, renderer


@pytest.mark.python_only
@pytest.mark.parametrize("n, top, threshold, seed", [
    (3000, 10, None, 0), (3000, 25, 1.0, 1), (400, 10, 0.5, 2), (40, 10, None, 3)])
def test_volcano_labels_neither_overlap_nor_leave_the_figure(n, top, threshold, seed):
    fc, p, adjusted = volcano_inputs(n, seed)
    rng = np.random.default_rng(seed)
    # long names and names that collide once shortened
    names = pd.Series([f"GENE{i}" + "-very-long-annotation" * int(rng.integers(0, 3))
                       for i in range(n)], index=fc.index)
    names.iloc[::5] = None   # no name: the identifier is the label
    names.iloc[1::5] = "$\\frac{$ GENE"   # drawn as written, not as (broken) mathematics
    fig = figures.volcano(fc, p, adjusted, alpha=0.05, top=top, labels=("up", "down"),
                          xlabel="fc", ylabel="-log10 p (Welch)", title="Welch",
                          names=names, fc_threshold=threshold)
    boxes, texts, renderer = label_boxes(fig, "volcano-label")
    ax = fig.axes[0]
    significant = (adjusted < 0.05) & fc.notna() & p.notna()
    if threshold:
        significant &= fc.abs() >= threshold
    assert 0 < len(texts) <= min(top, significant.sum())
    frame = ax.get_window_extent(renderer)
    for box in boxes:
        assert frame.x0 <= box.x0 and box.x1 <= frame.x1, "label outside the axes"
        assert frame.y0 <= box.y0 and box.y1 <= frame.y1, "label outside the axes"
    for a, b in combinations(boxes, 2):
        assert not a.overlaps(b), "two labels overlap"
    note = [t for t in ax.texts if t.get_text().startswith("adjusted p =")]
    legend = ax.get_legend().get_window_extent(renderer)
    for box in boxes:
        assert not legend.overlaps(box)
        for t in note:
            assert not t.get_window_extent(renderer).overlaps(box)
    # each label names one of the most significant features, and covers no labelled point
    chosen = significant[significant].index
    order = np.lexsort((p[chosen].to_numpy(), adjusted[chosen].to_numpy()))
    best = list(chosen[order[:top]])
    labelled = []
    for t in texts:
        x, y = t.xy
        feature = fc.index[(np.isclose(fc, x)) & np.isclose(-np.log10(p), y)][0]
        labelled.append(feature)
        expected = names[feature] if isinstance(names[feature], str) else feature
        assert t.get_text() == figures.shorten(expected)
        assert len(t.get_text()) <= figures.LABEL_CHARS
    assert set(labelled) <= set(best)
    anchors = ax.transData.transform(np.column_stack([fc[labelled], -np.log10(p[labelled])]))
    for box in boxes:
        assert not any(box.contains(x, y) for x, y in anchors)
    title = ax.get_title()
    assert f"{int((p.isna() | fc.isna()).sum())} without a p-value" in title
    counts = {t.get_text().split(" (")[0]: int(t.get_text().split("(")[1].rstrip(")"))
              for t in ax.get_legend().get_texts()[1:]}
    assert counts == {"up": int((significant & (fc > 0)).sum()),
                      "down": int((significant & (fc <= 0)).sum())}
    # the report counts what the volcano colours
    table = pd.DataFrame({"Welch_p": p, "Welch_fdr_bh": adjusted, "group_fc": fc})
    assert result_counts(table, replace(WELCH, groups=("up", "down")),
                         fc_threshold=threshold)["direction"] == {
        f"higher in {name}": n for name, n in counts.items()}


@pytest.mark.python_only
@pytest.mark.parametrize("base, method, expected", [
    (2, "group", "log2 fold change (treat \u2212 ctrl)"),
    (None, "group", "fold change (mean treat \u2212 mean ctrl)"),
    (2, "paired", "log2 fold change (mean of paired differences treat \u2212 ctrl)"),
    (None, "paired", "fold change (mean of paired differences treat \u2212 ctrl)"),
])
def test_volcano_axis_names_the_fold_change(base, method, expected):
    assert fold_change_label(("treat", "ctrl"), base, method == "paired") == expected


@pytest.mark.python_only
@pytest.mark.parametrize("scale, note", [(1.0, "adjusted p = 0.05"),
                                         (1e6, "no feature reaches adjusted p < 0.05")])
def test_volcano_threshold_line_or_the_note_that_nothing_passes(scale, note):
    fc, p, adjusted = volcano_inputs(400, seed=4)
    adjusted = (adjusted * scale).clip(upper=1.0)
    fig = figures.volcano(fc, p, adjusted, alpha=0.05, top=10, labels=("up", "down"),
                          xlabel="fc", ylabel="-log10 p", title="Welch")
    _, _, renderer = label_boxes(fig, "volcano-label")
    ax = fig.axes[0]
    [text] = [t for t in ax.texts if t.get_text() == note]
    lines = [line.get_ydata()[0] for line in ax.get_lines() if line.get_linestyle() == "--"]
    passed = adjusted < 0.05
    # the line sits at the largest p that passes, inside the plotted range
    assert lines == ([-np.log10(p[passed].max())] if passed.any() else [])
    assert all(ax.get_ylim()[0] <= y <= ax.get_ylim()[1] for y in lines)
    legend = ax.get_legend()
    assert legend.get_frame_on()
    assert not legend.get_window_extent(renderer).overlaps(text.get_window_extent(renderer))


@pytest.mark.python_only
@pytest.mark.parametrize("groups, expected, legend", [
    ([("P", ["p1", "p2"]), ("E", ["e1", "e2"])], ["p1", "p2", "e1", "e2", "i1", "i2"],
     ["P", "E", "not in a group"]),
    ([("E", ["e2", "e1"]), ("I", ["i1", "i2"]), ("P", ["p1", "p2"])],
     ["e2", "e1", "i1", "i2", "p1", "p2"], ["E", "I", "P"]),
])
def test_intensity_boxes_follow_the_groups(groups, expected, legend):
    # the file interleaves the groups
    table = intensities(30, groups=[("x", ["e1", "i1", "p1", "e2", "i2", "p2"])])
    pre = SimpleNamespace(before_normalize=table + 1, before_impute=table, log_base=2)
    fig = figures.intensity_figure(pre, SimpleNamespace(groups=groups),
                                   sample_labels={"e1": "E one"})
    expected = ["E one" if c == "e1" else c for c in expected]
    for ax in fig.axes:
        assert [t.get_text() for t in ax.get_xticklabels()] == expected
    [key] = fig.legends
    assert [t.get_text() for t in key.get_texts()] == legend
    colours = dict(zip([t.get_text() for t in fig.axes[0].get_xticklabels()],
                       [b.get_facecolor() for b in fig.axes[0].patches]))
    assert colours["p1"] == colours["p2"] != colours["e2"]


@pytest.mark.python_only
def test_svg_volcano_has_one_titled_point_per_feature():
    fc, p, adjusted = volcano_inputs(500)
    names = pd.Series([f"G{i}" for i in range(500)], index=fc.index)
    svg = volcano_svg(fc, p, adjusted, alpha=0.05, names=names, fc_threshold=1.0)
    root = ET.fromstring(svg)
    circles = root.findall("circle")
    shown = fc.notna() & p.notna() & (p > 0)
    assert len(circles) == shown.sum()
    significant = shown & (adjusted < 0.05) & (fc.abs() >= 1.0)
    classes = pd.Series([c.get("class") for c in circles]).value_counts()
    assert classes.get("u", 0) == (significant & (fc > 0)).sum()
    assert classes.get("d", 0) == (significant & (fc <= 0)).sum()
    for circle in circles:
        assert set(circle.attrib) == {"class", "cx", "cy", "r"}
        ident, rest = circle.find("title").text.split(" \u00b7 ", 1)
        assert rest.startswith(names[ident])
        assert f"fold change {fc[ident]:.3f}" in rest and f"p {p[ident]:.3g}" in rest
        assert f"adjusted p {adjusted[ident]:.3g}" in rest


@pytest.mark.parametrize("threshold", [None, 1.0])
def test_volcanoes_draw_and_count_what_the_report_counts_p_values_of_zero_too(threshold):
    fc, p, adjusted = volcano_inputs(300, seed=4)
    p.iloc[7:12], adjusted.iloc[7:12] = 0.0, 0.0        # underflowed
    fc.iloc[7:12] = [3.0, -2.5, 0.2, 1.5, -0.1]
    table = pd.DataFrame({"Welch_p": p, "Welch_fdr_bh": adjusted, "group_fc": fc})
    found = result_counts(table, replace(WELCH, groups=("up", "down")), fc_threshold=threshold)
    expected = {name.removeprefix("higher in "): n for name, n in found["direction"].items()}

    fig = figures.volcano(fc, p, adjusted, alpha=0.05, top=5, labels=("up", "down"),
                          xlabel="fc", ylabel="-log10 p", title="Welch", fc_threshold=threshold)
    ax = fig.axes[0]
    legend = {t.get_text().split(" (")[0]: int(t.get_text().split("(")[1].rstrip(")"))
              for t in ax.get_legend().get_texts()[1:]}
    assert legend == expected
    assert "293 features drawn, 5 with p = 0 on the top edge" in ax.get_title()
    edge = [c for c in ax.collections if c.get_gid() == "volcano-edge"]
    assert sum(len(c.get_offsets()) for c in edge) == 5
    assert all(y == ax.get_ylim()[1] for c in edge for _, y in c.get_offsets())

    root = ET.fromstring(volcano_svg(fc, p, adjusted, alpha=0.05, fc_threshold=threshold))
    on_edge = root.findall("polygon")
    assert len(on_edge) == 5 and len(root.findall("circle")) == 288
    colours = pd.Series([point.get("class") for point in root.findall("polygon")
                         + root.findall("circle")]).value_counts()
    assert {"up": colours.get("u", 0), "down": colours.get("d", 0)} == expected
    assert "5 with p = 0 on the top edge" in ET.tostring(root, encoding="unicode")


TRICKY = ['say "hi"', "back\\slash \\d+", "tab\tnew\nline\r", "ctrl \x01\x7f",
          "ünïcödé ✓", "", "'single'", "a = [1]"]


@pytest.mark.python_only
@pytest.mark.parametrize("text", TRICKY)
def test_toml_strings_round_trip(text):
    assert tomllib.loads(f"v = {toml_string(text)}")["v"] == text


@pytest.mark.python_only
def test_run_toml_round_trips_settings_groups_and_record(tmp_path):
    settings = {"file": "data/x y.tsv", "index": "Protein IDs", "remove_decoy": "REV__|CON__",
                "noise_filter": 1, "remove_missing_values": 70.5, "tiny": 1e-300,
                "big": 1e16, "third": 1 / 3, "nan": float("nan"), "inf": float("-inf"),
                "flag": True, "list": [1, 2.5, "x"], np.str_("np"): np.float64(0.1),
                "count": np.int64(7)}
    groups = [("a b", ["S 1", 'S"2']), ("ctrl.x", ["S3", "S4"]), ("Ω", ["S5", "S6"])]
    record = record_facts(__file__, date="2026-12-09T10:00:00+00:00", format="MaxQuant",
                          versions={"tessera": "0.1.0"})
    path = tmp_path / "run.toml"
    path.write_text(dumps_run_toml(settings, groups, record), encoding="utf-8")
    loaded = tomllib.loads(path.read_text(encoding="utf-8"))
    loaded_record = loaded.pop("record")
    loaded_groups = list(loaded.pop("groups").items())
    assert loaded_groups == groups
    assert loaded_record == record
    assert np.isnan(loaded.pop("nan")) and np.isnan(settings.pop("nan"))
    assert loaded == settings
    assert [type(loaded[k]) for k in ("noise_filter", "remove_missing_values", "flag")] == \
        [int, float, bool]


@pytest.mark.python_only
@pytest.mark.parametrize("argv", [
    ["--group", "treat=treat_1,treat_2,treat_3", "--group", "ctrl=ctrl_1,ctrl_2,ctrl_3",
     "--method", "t", "--normalize", "log_median_0", "--remove-missing-values", "70"],
    ["--group", "a=treat_1,treat_2", "--group", "b=treat_3,treat_4", "--group",
     "c=ctrl_1,ctrl_2", "--noise-filter", "1", "--log-transform", "2",
     "--multipletest-method", "holm", "--remove-decoy", "REV__|\\d{3}\""],
])
def test_run_toml_repeats_the_resolved_run(argv, tmp_path):
    example = Path(__file__).resolve().parents[1] / "src" / "tessera" / "data" / "example_lfq.tsv"
    ns = build_parser().parse_args(["analyze", str(example), "--out", str(tmp_path / "r")] + argv)
    run = resolve(ns, example)
    path = tmp_path / "run.toml"
    # without the [record] table: that is the part the settings file reads
    path.write_text(dumps_run_toml(resolved_settings(run), run.groups), encoding="utf-8")
    again = resolve(build_parser().parse_args(["analyze", "--config", str(path)]), example)
    assert again == run


@pytest.mark.python_only
def test_input_status_tells_unchanged_from_changed(tmp_path):
    data = tmp_path / "table.tsv"
    data.write_bytes(b"id\ta\tb\nP1\t1\t2\n")
    record = record_facts(data)
    status = input_status(record, data)
    assert status.unchanged and status.message == "input unchanged since the recorded run"
    data.write_bytes(b"id\ta\tb\nP1\t1\t3\n")
    status = input_status(record, data)
    assert status.unchanged is False
    assert status.message == (f"input changed since the recorded run (sha256 "
                              f"{record['sha256']} now {status.current})")
    assert input_status({}, data).unchanged is None


def degenerate_tables():
    table = intensities(60, missing=0.3)
    constant = table.copy()
    constant["t2"] = 5.0
    few = intensities(3, missing=0.0)
    empty_sample = table.copy()
    empty_sample["c1"] = np.nan
    infinite = table.copy()
    infinite.iloc[::7, 2] = np.inf
    one = intensities(1, missing=0.0)
    cases = {"missing": table, "constant sample": constant, "fewer features than samples": few,
             "sample without values": empty_sample, "infinities": infinite, "one feature": one,
             "no features": table.iloc[:0]}
    cases = {name: (frame, GROUPS) for name, frame in cases.items()}
    # names that matplotlib would read as mathematics, some of them broken
    dollars = [("$G$", ["$a$", "b$", "$\\frac{", "d"]), ("g$2", ["e", "f$$", "g", "h"])]
    renamed = table.set_axis([c for _, cs in dollars for c in cs], axis=1)
    cases["dollar signs in names"] = (renamed, dollars)
    return cases


@pytest.mark.python_only
@pytest.mark.parametrize("case", list(degenerate_tables()))
def test_qc_figures_draw_any_table(case):
    table, groups = degenerate_tables()[case]
    filled = table.fillna(table.min().min() - 1 if table.notna().any().any() else 0)
    mask = table.isna()
    for fig in (qc.principal_components(table, groups),
                qc.principal_components(table, groups, imputed=filled),
                qc.correlation(table, groups), qc.missingness(table, groups),
                qc.imputation(filled, mask, groups)):
        assert png_bytes(fig).startswith(b"\x89PNG")


@pytest.mark.python_only
def test_pca_says_what_it_was_computed_on():
    table = intensities(200, missing=0.2)
    complete = int(table.notna().all(axis=1).sum())
    title = qc.principal_components(table, GROUPS).axes[0].get_title()
    assert f"on {complete} features measured in every sample" in title
    title = qc.principal_components(table, GROUPS, imputed=table.fillna(0)).axes[0].get_title()
    assert "on 200 features after imputation" in title


@pytest.mark.python_only
def test_qc_on_cd34_shows_the_sparse_sample():
    raw = pd.read_csv(real_data("cd34_lfq_proteinGroups.tsv"), sep="\t",
                      index_col="Majority protein IDs", low_memory=False)
    columns = [c for c in raw.columns if c.startswith("LFQ intensity ")]
    values = np.log2(raw[columns].astype(float).where(raw[columns] > 0))
    values.columns = [c.removeprefix("LFQ intensity ") for c in columns]
    groups = [(g, [f"{g}{i}" for i in range(1, 6)]) for g in "HLN"]
    fig = qc.missingness(values, groups)
    bars = dict(zip((t.get_text() for t in fig.axes[0].get_xticklabels()), fig.axes[0].patches))
    heights = {name: bar.get_height() for name, bar in bars.items()}
    assert min(heights, key=heights.get) == "N1" and max(heights, key=heights.get) == "N5"
    # N1 holds a tenth of the median sample's values: the only one marked, and named
    assert [n for n, bar in bars.items() if bar.get_gid() == "sparse-sample"] == ["N1"]
    title = fig.axes[0].get_title()
    assert "fewer than half the median sample's" in title and title.endswith(": N1")
    fig = qc.principal_components(values - values.median(), groups)
    labels = [t for t in fig.axes[0].texts if t.get_gid() == "pca-label"]
    assert sorted(t.get_text() for t in labels) == sorted(values.columns)
    boxes, _, _ = label_boxes(fig, "pca-label")
    assert not any(a.overlaps(b) for a, b in combinations(boxes, 2))


@pytest.mark.python_only
@pytest.mark.parametrize("samples, expected, note", [
    (["Olive_2023_P10_IZ_region1_2036", "Olive_2023_P10_remote_region_1_2037"],
     ["IZ_region1_2036", "remote_region_1_2037"], "common prefix 'Olive_2023_P10_'"),
    (["run_A_1.raw", "run_B_2.raw"], ["A_1", "B_2"], "prefix 'run_' and suffix '.raw'"),
    (["H1", "H2", "N1"], ["H1", "H2", "N1"], ""),            # no separator: nothing cut
    (["IDHmut_4", "IDHwt_1"], ["IDHmut_4", "IDHwt_1"], ""),   # not inside a word
    (["x_", "x_b"], ["x_", "x_b"], ""),                       # one name would be empty
    (["only_one"], ["only_one"], ""),
])
def test_short_names_drop_the_common_prefix_and_suffix(samples, expected, note):
    names, said = qc.short_names(samples)
    assert [names[s] for s in samples] == expected
    assert (note in said) if note else said == ""


@pytest.mark.python_only
def test_pca_labels_every_sample_of_a_crowded_plot():
    # long names sharing a prefix, on points too close together for all labels to fit
    groups = [(g, [f"Instrument_2023_batch_{g}_sample_{i:02d}_replicate_{i}"
                   for i in range(12)]) for g in "AB"]
    columns = [c for _, cs in groups for c in cs]
    table = intensities(300, groups=groups, missing=0)
    names, note = qc.short_names(columns)
    fig = qc.principal_components(table, groups)
    boxes, texts, _ = label_boxes(fig, "pca-label")
    assert sorted(t.get_text() for t in texts) == sorted(names.values())
    assert not any(a.overlaps(b) for a, b in combinations(boxes, 2))   # room was left
    assert all(not n.startswith("Instrument") for n in names.values())
    assert all(fig.bbox.contains(*b.min) and fig.bbox.contains(*b.max) for b in boxes)
    assert any(t.get_text() == note for t in fig.texts)


@pytest.mark.python_only
def test_correlation_scale_is_the_same_in_every_run():
    table = intensities(200, missing=0)
    opposed = table.copy()
    opposed["c1"] = -opposed["c1"]          # r about -1 with every other sample
    for values, low in ((table, 0.0), (opposed, -1.0)):
        image = qc.correlation(values, GROUPS).axes[0].images[0]
        assert image.get_clim() == (low, 1.0)


def small_table(path, seed=0, rows=60, samples=9, effect=3.0, sd=1.5):
    """A wide .csv table: an ID column, a Gene column and samples S1, ... with
    a group effect on the first tenth of the rows, half of it on the second
    tenth, and a fifth of the cells missing."""
    rng = np.random.default_rng(seed)
    values = rng.normal(20, sd, (rows, samples))
    values[: rows // 10, :3] += effect
    values[rows // 10: rows // 5, :3] += effect / 2
    values[rng.random(values.shape) < 0.2] = np.nan
    frame = pd.DataFrame(values, columns=[f"S{i}" for i in range(1, samples + 1)])
    frame.insert(0, "ID", [f"F{i}" for i in range(rows)])
    frame.insert(1, "Gene", [f"G{i}" for i in range(rows)])
    frame.to_csv(path, index=False)
    return path


TWO = ["--samples", "S*", "--group", "a=S1,S2,S3", "--group", "b=S4,S5,S6"]
THREE = TWO + ["--group", "c=S7,S8,S9"]
RUNS = {
    # the example runs the detection test, whose answers are the hurdle's
    "example": ([], "hurdle", None),
    "three groups, imputed": (THREE + ["--impute", "downshift"], "moderated", None),
    "paired, fold-change threshold": (TWO + ["--method", "paired_t", "--fc-threshold", "0.5",
                                             "--label-top", "3"], "paired_t", 0.5),
}


@pytest.mark.parametrize("case", list(RUNS))
def test_every_run_writes_a_report_of_its_own_numbers(case, tmp_path):
    options, method, threshold = RUNS[case]
    file = [] if case == "example" else [str(small_table(tmp_path / "t.csv"))]
    status, stdout, stderr = run_cli("analyze", *file, *options, "--out", str(tmp_path / "r"))
    assert (status, stderr) == (0, "")
    page = (tmp_path / "r_report.html").read_text(encoding="utf-8")
    parsed = assert_self_contained(page)
    # every figure written is in the page, as the same bytes
    images = [base64.b64decode(attrs["src"].split(",", 1)[1])
              for tag, attrs in parsed.tags if tag == "img"]
    written = {p.name: p.read_bytes() for p in tmp_path.glob("r_*.png")}
    assert sorted(images) == sorted(written.values())
    assert {"r_pca.png", "r_correlation.png", "r_missingness.png"} <= set(written)
    assert ("r_imputed.png" in written) == ("--impute" in options)
    assert page.count('<svg class="volcano"') == ("c=S7,S8,S9" not in options)

    test = read_test(tmp_path / "r_test.csv")
    p, adjusted = test[f"{method}_p"], test[f"{method}_fdr_bh"]
    significant = p.notna() & (adjusted < 0.05)
    if threshold:
        significant &= test["group_fc"].abs() >= threshold
    assert parsed.ids["tested"] == str(p.notna().sum())
    assert parsed.ids["significant"] == str(significant.sum())
    assert parsed.ids["untested"] == str(p.isna().sum())
    reasons = re.findall(r'<table class="untested">.*?</table>', page)
    note = test["moderated_note" if method == "hurdle" else f"{method}_note"]
    notes = note[p.isna() & (note != "")].value_counts()
    assert re.findall(r"<tr><td>([^<]*)</td><td class=\"num\">(\d+)</td>", "".join(reasons)) \
        == [(html.escape(why), str(n)) for why, n in notes.items()]
    # one row per printed step line, in order
    printed = [line[:22].strip() for line in stdout.splitlines()
               if line[:22].strip() and not line.startswith(("settings:", "groups:", "test:",
                                                            "wrote", "No input", "with its"))]
    steps = page[page.index('<section id="steps"'):page.index('<section id="qc"')]
    rows = re.findall(r'<tr><td>([^<]*)</td><td class="num">\d*</td>', steps)
    assert rows == printed
    record = tomllib.loads((tmp_path / "r_run.toml").read_text(encoding="utf-8"))["record"]
    source = EXAMPLE if case == "example" else tmp_path / "t.csv"
    assert record["sha256"] == hashlib.sha256(source.read_bytes()).hexdigest()


@pytest.mark.usefixtures("unrendered")
@pytest.mark.parametrize("case", ["example", "design and imputation"])
def test_config_run_toml_repeats_the_tables_byte_for_byte(case, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    if case == "example":
        args = []
    else:
        small_table(tmp_path / "t.csv")
        (tmp_path / "design.tsv").write_text("sample\tgroup\nS4\tb\nS1\ta\nS5\tb\nS2\ta\n"
                                             "S6\tb\nS3\ta\n")
        args = ["t.csv", "--samples", "S*", "--design", "design.tsv", "--impute", "downshift",
                "--impute-seed", "7", "--min-valid", "2", "--min-valid-mode", "any"]
    assert run_cli("analyze", *args, "--out", "first/r")[0] == 0
    toml_text = Path("first/r_run.toml").read_text(encoding="utf-8")
    assert ("[groups]" in toml_text) == (case == "example")
    status, stdout, stderr = run_cli("analyze", "--config", "first/r_run.toml", "--out",
                                     "again/r")
    assert (status, stderr) == (0, "")
    assert stdout.startswith("input unchanged since the recorded run\n")
    for name in ("preprocessed.csv", "test.csv"):
        assert Path(f"again/r_{name}").read_bytes() == Path(f"first/r_{name}").read_bytes()
    if case == "example":
        return
    # an edited input is named as such, and the run goes on with it
    table = pd.read_csv("t.csv")
    table.loc[0, "S1"] = 30.0
    table.to_csv("t.csv", index=False)
    status, stdout, _ = run_cli("analyze", "--config", "first/r_run.toml", "--out", "edited/r")
    assert status == 0
    recorded = tomllib.loads(toml_text)["record"]["sha256"]
    now = hashlib.sha256(Path("t.csv").read_bytes()).hexdigest()
    assert stdout.startswith(f"input changed since the recorded run (sha256 {recorded} now "
                             f"{now}); analysing the file as it is now\n")
    assert Path("edited/r_test.csv").read_bytes() != Path("first/r_test.csv").read_bytes()


def test_fc_threshold_and_label_top_reach_the_volcano(tmp_path, monkeypatch):
    volcano = Recorder(figures.volcano)
    monkeypatch.setattr(figures, "volcano", volcano)
    file = small_table(tmp_path / "t.csv", rows=200, effect=4, sd=0.4)
    status, stdout, _ = run_cli("analyze", str(file), *NO_DEFAULT_STEPS, *TWO, "--method", "t",
                                "--fc-threshold",
                                "2.5", "--label-top", "4", "--out", str(tmp_path / "r"))
    assert status == 0
    (_, kwargs), = volcano.calls
    assert (kwargs["top"], kwargs["fc_threshold"]) == (4, 2.5)
    assert kwargs["names"].tolist() == [f"G{i}" for i in range(200)]
    test = read_test(tmp_path / "r_test.csv")
    passed = test["t_fdr_bh"] < 0.05
    significant = passed & (test["group_fc"].abs() >= 2.5)
    assert 0 < significant.sum() < passed.sum()     # the threshold removes some
    assert f"{significant.sum()} significant at adjusted p < 0.05 and absolute fold change " \
           ">= 2.5 (fdr_bh)" in stdout
