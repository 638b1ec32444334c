"""The per-run report: one self-contained HTML file from a record.RunRecord.

Everything the page shows is inside it: figures as base64 PNG or inline
SVG, the CSS in a <style> element, no script, no link to any other file or
address, so the file opens offline in any browser and can be sent as it is.
Every text that comes from the run (file names, identifiers, annotations,
settings) is escaped. Sections, in order: what was run, the steps, quality
control, the results, the figures of the test.
"""
import base64
import html

import numpy as np
import pandas as pd

from tessera.cli.interactive import svg_style
from tessera.cli.results import fold_change_name


CSS = """
:root { --ink: #1d1d1f; --muted: #5a5a60; --line: #d9d9de; --band: #f5f5f7;
  --accent: #2a5db0; }
* { box-sizing: border-box; }
body { margin: 0; color: var(--ink); background: #fff;
  font: 15px/1.5 system-ui, -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif; }
main { max-width: 1120px; margin: 0 auto; padding: 24px 28px 48px; }
header h1 { font-size: 26px; margin: 0 0 4px; }
header p { margin: 0; color: var(--muted); }
nav { margin: 14px 0 8px; display: flex; flex-wrap: wrap; gap: 6px 18px; }
nav a { color: var(--accent); text-decoration: none; font-weight: 600; }
section { border-top: 2px solid var(--line); margin-top: 30px; padding-top: 6px; }
h2 { font-size: 21px; margin: 10px 0 12px; }
h3 { font-size: 16px; margin: 20px 0 8px; }
p.lead { color: var(--muted); margin: 0 0 12px; }
table { border-collapse: collapse; margin: 0 0 12px; font-size: 14px; }
th, td { padding: 5px 12px 5px 0; text-align: left; vertical-align: top;
  border-bottom: 1px solid var(--line); }
thead th { border-bottom: 2px solid #9a9aa2; }
th[scope=row] { color: var(--muted); font-weight: 600; white-space: nowrap; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; padding-left: 12px; }
tbody tr:nth-child(even) > * { background: var(--band); }
table.settings td, table.facts td { overflow-wrap: anywhere; }
code, .mono { font-family: ui-monospace, "DejaVu Sans Mono", monospace; font-size: 13px; }
.hash { word-break: break-all; }
.option { white-space: nowrap; }
.wide { overflow-x: auto; }
.grid { display: grid; grid-template-columns: minmax(0, 3fr) minmax(0, 2fr); gap: 28px; }
@media (max-width: 760px) { .grid { grid-template-columns: minmax(0, 1fr); } }
figure { margin: 8px 0 24px; break-inside: avoid; page-break-inside: avoid; }
figure img { max-width: 100%; height: auto; display: block; border: 1px solid var(--line); }
figure figcaption { color: var(--muted); font-size: 13.5px; margin-top: 6px; max-width: 80ch; }
figure figcaption b { color: var(--ink); }
table.top td.num { white-space: nowrap; }
table.top td:not(.num) { min-width: 8ch; overflow-wrap: anywhere; }
.counts td.num { font-size: 16px; font-weight: 600; }
.empty { color: var(--muted); font-style: italic; }
footer { margin-top: 36px; color: var(--muted); font-size: 13px; }
@media print {
  body { font-size: 11pt; }
  main { max-width: none; padding: 0; }
  nav { display: none; }
  section { break-before: auto; }
  h2, h3 { break-after: avoid; }
  tr { break-inside: avoid; }
  .grid { display: block; }
  .wide { overflow: visible; }
}
"""


def _e(value):
    return html.escape(str(value), quote=True)


def _number(value):
    """Counts as they are; other numbers with four significant digits."""
    if isinstance(value, (bool, np.bool_)):
        return str(bool(value))
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        value = float(value)
        return "" if np.isnan(value) else f"{value:.4g}"
    return str(value)


def _facts(rows, cls="facts"):
    body = "".join(f'<tr><th scope="row">{_e(k)}</th><td>{v}</td></tr>' for k, v in rows)
    return f'<table class="{cls}"><tbody>{body}</tbody></table>'


def _value_text(value):
    if isinstance(value, (list, tuple)):
        return ", ".join(_value_text(v) for v in value)
    if isinstance(value, str):
        return value
    return _number(value)


def _duration(seconds):
    seconds = float(seconds)
    if seconds < 60:
        return f"{seconds:.1f} s"
    minutes, rest = divmod(seconds, 60)
    return f"{int(minutes)} min {rest:.0f} s"


def _run_section(r):
    facts = [
        ("input file", f'<span class="mono">{_e(r.input_file)}</span>'),
        ("SHA-256", f'<code class="hash">{_e(r.sha256)}</code>'),
        *([("input check", _e(r.input_check))] if r.input_check else []),
        ("format recognised", _e(r.input_format)),
        ("quantity", _e(r.quantity)),
        ("date", _e(r.date)),
        ("elapsed", f'<span id="elapsed">{_e(_duration(r.elapsed))}</span>'),
    ]
    if r.command:
        # an option stays on one line: a break after its first hyphen would read as two
        words = (f'<span class="option">{_e(w)}</span>' if w.startswith("-") else _e(w)
                 for w in r.command.split(" "))
        facts.insert(0, ("command", f"<code>{' '.join(words)}</code>"))
    groups = "".join(
        f'<tr><th scope="row">{_e(name)}</th><td class="num">{len(columns)}</td>'
        f'<td class="mono">{_e(", ".join(map(str, columns)))}</td></tr>'
        for name, columns in r.groups)
    settings = _facts([(k, f'<span class="mono">{_e(_value_text(v))}</span>')
                       for k, v in r.settings.items()], "settings")
    versions = _facts([(k, _e(v)) for k, v in r.versions.items()], "versions")
    return (
        '<section id="run"><h2>What was run</h2>' + _facts(facts) +
        '<h3>Groups</h3><table class="groups"><thead><tr><th>group</th>'
        '<th class="num">samples</th><th>columns</th></tr></thead>'
        f"<tbody>{groups}</tbody></table>"
        '<div class="grid"><div><h3>Settings</h3>' + settings + "</div>"
        '<div><h3>Versions</h3>' + versions + "</div></div></section>")


def _count(value):
    return "" if value is None else str(int(value))


def _shifts_table(r):
    """Each sample's normalisation shift, the amount subtracted from its values."""
    if not r.shifts:
        return ""
    rows = "".join(f'<tr><td class="mono">{_e(sample)}</td>'
                   f'<td class="num">{_e(f"{shift:+.4f}")}</td></tr>'
                   for sample, shift in r.shifts.items())
    return (f'<h3>Normalisation shifts ({_e(r.normalize)})</h3><p class="lead">Subtracted from '
            "each sample's values.</p><table class=\"shifts\"><thead><tr><th>sample</th>"
            f'<th class="num">shift</th></tr></thead><tbody>{rows}</tbody></table>')


def _steps_section(r):
    if not r.steps:
        return '<section id="steps"><h2>Steps</h2><p class="empty">no steps ran</p></section>'
    rows = "".join(
        f'<tr><td>{_e(s.name)}</td><td class="num">{_count(s.kept)}</td>'
        f'<td class="num">{_count(s.removed)}</td><td>{_e(s.why)}</td></tr>' for s in r.steps)
    return ('<section id="steps"><h2>Steps</h2><p class="lead">One line per step, in the '
            'order they ran.</p><table class="steps"><thead><tr><th>step</th>'
            '<th class="num">rows kept</th><th class="num">rows removed</th><th>what it did'
            f"</th></tr></thead><tbody>{rows}</tbody></table>{_shifts_table(r)}</section>")


def _per_run_section(r):
    """A precursor report's runs: the precursors (or peptides) and the
    proteins (or genes) each run quantified."""
    head = "".join(f'<th class="num">{_e(c)}</th>' for c in r.per_run.columns)
    rows = "".join(
        f'<tr><td class="mono">{_e(run)}</td>' +
        "".join(f'<td class="num">{int(n)}</td>' for n in row) + "</tr>"
        for run, row in zip(r.per_run.index, r.per_run.to_numpy()))
    return ('<section id="runs"><h2>Runs</h2><p class="lead">What each run quantified: '
            'its measured values after the filters, and the values the roll-up gave.</p>'
            f'<table class="runs"><thead><tr><th>run</th>{head}</tr></thead>'
            f"<tbody>{rows}</tbody></table></section>")


def _figure_html(f):
    if f.svg is not None:
        body = f'<div class="wide">{f.svg}</div>'
    elif f.png is not None:
        data = base64.b64encode(f.png).decode("ascii")
        body = f'<img src="data:image/png;base64,{data}" alt="{_e(f.title)}">'
    else:
        body = '<p class="empty">not drawn</p>'
    caption = f"<b>{_e(f.title)}.</b> {_e(f.caption)}"
    if f.file:
        caption += f' <span class="mono">({_e(f.file)})</span>'
    return f"<figure>{body}<figcaption>{caption}</figcaption></figure>"


def _figures_section(ident, title, lead, figures):
    body = "".join(_figure_html(f) for f in figures) or '<p class="empty">none drawn</p>'
    return (f'<section id="{ident}"><h2>{_e(title)}</h2><p class="lead">{_e(lead)}</p>'
            f"{body}</section>")


# Longer texts in the top table are cut there, whole in the cell's tooltip.
LONGEST_CELL = 60


def _cell_text(value):
    """The title attribute (the whole text, when cut) and the escaped text of
    a cell, which may break after each ";" of a list of identifiers."""
    text = "" if _missing(value) else str(value)
    title = ""
    if len(text) > LONGEST_CELL:
        title = f' title="{_e(text)}"'
        text = text[:LONGEST_CELL - 1].rstrip() + "\u2026"
    return title, ";<wbr>".join(_e(part) for part in text.split(";"))


def _top_table(top, fc_name="fold change"):
    if top is None or top.empty:
        return '<p class="empty">no feature has a p-value</p>'
    numeric = {c: pd.api.types.is_numeric_dtype(top[c]) for c in top.columns}
    head = f"<th>{_e(top.index.name or 'feature')}</th>" + "".join(
        f'<th class="{"num" if numeric[c] else ""}">'
        f'{_e(fc_name if c == "fold change" else c)}</th>' for c in top.columns)
    rows = []
    for ident, row in top.iterrows():
        # numbers stay on one line; texts wrap, and a very long one is cut
        title, text = _cell_text(ident)
        cells = [f'<td class="mono"{title}>{text}</td>']
        for c in top.columns:
            if numeric[c]:
                cells.append(f'<td class="num">{_e(_number(row[c]))}</td>')
            else:
                title, text = _cell_text(row[c])
                cells.append(f"<td{title}>{text}</td>")
        rows.append("<tr>" + "".join(cells) + "</tr>")
    return (f'<div class="wide"><table class="top"><thead><tr>{head}</tr></thead>'
            f'<tbody>{"".join(rows)}</tbody></table></div>')


def _missing(value):
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):
        return False


def _results_section(r):
    fc_name = fold_change_name(r.settings.get("log_transform"))
    threshold = (f" and absolute {fc_name} at least {_number(r.fc_threshold)}"
                 if r.fc_threshold else "")
    counts = [("test", _e(r.method))]
    if r.model:
        counts.append(("model", _e(r.model)))
    counts.append(("features tested", f'<span id="tested">{int(r.tested)}</span>'))
    if not r.contrasts:
        counts.append((f"significant (adjusted p < {_number(r.alpha)}{threshold}, "
                       f"{r.adjustment})", f'<span id="significant">{int(r.significant)}</span>'))
        counts += [(name, f'<span class="direction">{int(n)}</span>')
                   for name, n in r.direction.items()]
    counts += [("estimated", _e(words)) for words in r.estimates]
    untested = sum(int(n) for n in r.untested.values())
    counts.append(("features without a p-value", f'<span id="untested">{untested}</span>'))
    parts = ['<section id="results"><h2>Results</h2>', _facts(
        [(k, v) for k, v in counts], "counts")]
    if r.sample_weights:
        rows = "".join(f'<tr><td class="mono">{_e(sample)}</td>'
                       f'<td class="num">{_e(_number(weight))}</td></tr>'
                       for sample, weight in r.sample_weights.items())
        parts.append('<h3>Sample weights</h3><table class="weights"><thead><tr><th>sample</th>'
                     f'<th class="num">weight</th></tr></thead><tbody>{rows}</tbody></table>')
    if r.untested:
        rows = "".join(f'<tr><td>{_e(why)}</td><td class="num">{int(n)}</td></tr>'
                       for why, n in r.untested.items())
        parts.append('<h3>Why features were not tested</h3><table class="untested"><thead>'
                     '<tr><th>reason</th><th class="num">features</th></tr></thead>'
                     f"<tbody>{rows}</tbody></table>")
    if r.contrasts:
        parts += [_contrast_part(c, fc_name) for c in r.contrasts]
    else:
        shown = 0 if r.top is None else len(r.top)
        parts.append(f"<h3>Top {shown} features by adjusted p-value</h3>"
                     + _top_table(r.top, fc_name))
    parts.append("</section>")
    return "".join(parts)


def _contrast_part(c, fc_name):
    """One test of a model: its line, its counts, its volcano and its top features."""
    counts = [("features tested", str(int(c.tested))),
              ("significant", f'<span class="significant">{int(c.significant)}</span>')]
    counts += [(name, f'<span class="direction">{int(n)}</span>')
               for name, n in c.direction.items()]
    shown = 0 if c.top is None else len(c.top)
    return (f'<div class="contrast"><h3>{_e(c.name)}</h3><p class="lead">{_e(c.summary)}</p>'
            + _facts(counts, "counts")
            + (_figure_html(c.figure) if c.figure is not None else "")
            + f"<h3>{_e(c.name)}: top {shown} features by adjusted p-value</h3>"
            + _top_table(c.top, fc_name) + "</div>")


def render_html(record):
    """The report of ``record`` as one HTML document (text)."""
    r = record
    name = str(r.input_file).replace("\\", "/").rsplit("/", 1)[-1]
    sections = [
        _run_section(r),
        _steps_section(r),
        *([_per_run_section(r)] if r.per_run is not None else []),
        _figures_section("qc", "Quality control",
                         "The samples before the test: how they group, how they agree and "
                         "where values are missing.", r.qc_figures),
        _results_section(r),
        _figures_section("test-figures", "Figures of the test",
                         "Hover over a point of the interactive volcano plot to see the "
                         "feature." if any(f.svg for f in r.test_figures) else
                         "The distribution of the test's p-values.", r.test_figures),
    ]
    nav = "".join(f'<a href="#{i}">{t}</a>' for i, t in [
        ("run", "What was run"), ("steps", "Steps"),
        *([("runs", "Runs")] if r.per_run is not None else []), ("qc", "Quality control"),
        ("results", "Results"), ("test-figures", "Figures of the test")])
    return (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>tessera report: {_e(name)}</title>"
        f"<style>{CSS}{svg_style()}</style></head><body><main>"
        f"<header><h1>tessera report: {_e(name)}</h1>"
        f"<p>{_e(r.method)} test on {len(r.groups)} groups, {_e(r.date)}</p>"
        f"<nav>{nav}</nav></header>" + "\n".join(sections) +
        f'<footer>Written by tessera {_e(r.versions.get("tessera", ""))}. This file holds '
        "everything it shows and needs no network access.</footer>"
        "</main></body></html>\n")
