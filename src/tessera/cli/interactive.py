"""The report's interactive volcano: an inline SVG written directly, one
circle per feature whose <title> the browser shows on hover.

No plotting library and no script: the page stays one file that works
offline. Coordinates are rounded to 0.1 px and points carry only a class,
so 10,000 features make a few hundred kilobytes.
"""
import html
import math

import numpy as np

from tessera.cli import results

WIDTH, HEIGHT = 760, 520
LEFT, RIGHT, TOP, BOTTOM = 64, 18, 46, 52

STYLE = """
svg.volcano { font-family: system-ui, sans-serif; font-size: 12px; max-width: 100%;
  height: auto; background: #fff; }
svg.volcano .n { fill: #a9a9a9; }
svg.volcano .u { fill: #d62728; }
svg.volcano .d { fill: #1f77b4; }
svg.volcano circle:hover, svg.volcano polygon:hover { stroke: #000; stroke-width: 1.5px; }
svg.volcano .axis { stroke: #333; stroke-width: 1px; }
svg.volcano .grid { stroke: #e4e4e4; stroke-width: 1px; }
svg.volcano .cut { stroke: #555; stroke-width: 1px; stroke-dasharray: 5 3; }
svg.volcano .fc { stroke: #777; stroke-width: 1px; stroke-dasharray: 2 3; }
svg.volcano .note { fill: #555; font-size: 11px; }
svg.volcano .title { font-size: 14px; font-weight: 600; }
"""


def nice_ticks(lo, hi, count=6):
    """About ``count`` round tick values covering [lo, hi]: steps of 1, 2 or 5
    times a power of ten."""
    if not (math.isfinite(lo) and math.isfinite(hi)) or hi <= lo:
        return [lo] if math.isfinite(lo) else []
    raw = (hi - lo) / max(count - 1, 1)
    power = 10 ** math.floor(math.log10(raw))
    step = next(m * power for m in (1, 2, 5, 10) if m * power >= raw)
    first = math.ceil(lo / step - 1e-9)
    ticks = []
    k = first
    while k * step <= hi + 1e-9 * step:
        ticks.append(round(k * step, 12) + 0.0)
        k += 1
    return ticks


def _tick_text(value):
    return f"{value:g}"


def _text(x, y, text, anchor="middle", cls=None, extra=""):
    cls = f' class="{cls}"' if cls else ""
    return (f'<text x="{x:.1f}" y="{y:.1f}" text-anchor="{anchor}"{cls}{extra}>'
            f'{html.escape(str(text))}</text>')


def volcano_svg(fc, p, adjusted, *, alpha, names=None, fc_threshold=None,
                labels=("up", "down"), xlabel="fold change", ylabel="-log10 p", title="",
                fc_name="fold change"):
    """An SVG volcano of fold change against -log10 p: one circle per feature
    with a fold change and a p-value, a triangle on the top edge for a
    p-value of 0, coloured as in the PNG volcano (``results.significant``:
    adjusted p below ``alpha`` and, with ``fc_threshold``, an absolute fold
    change of at least that); each point's title gives the identifier, the
    label from ``names`` (a Series on the same index), the fold change (named
    ``fc_name``, e.g. "log2 fold change"), p and adjusted p.
    Returns the SVG element as text."""
    chosen = results.significant(p, adjusted, fc, alpha=alpha, fc_threshold=fc_threshold)
    reached = results.significant(p, adjusted, alpha=alpha)   # the level, whatever the fold change
    fc, p, adjusted = (s.astype(float) for s in (fc, p, adjusted))
    shown = (np.isfinite(fc) & np.isfinite(p)).to_numpy()
    x = fc.to_numpy()[shown]
    pv = p.to_numpy()[shown]
    edge = pv == 0
    with np.errstate(divide="ignore"):
        y = -np.log10(pv)
    adj = adjusted.to_numpy()[shown]
    passed = reached.to_numpy()[shown]
    significant = chosen.to_numpy()[shown]
    index = fc.index[shown]

    if len(x):
        lo, hi = float(x.min()), float(x.max())
        if fc_threshold:
            lo, hi = min(lo, -fc_threshold), max(hi, fc_threshold)
        pad = 0.05 * (hi - lo) if hi > lo else 1.0
        lo, hi = lo - pad, hi + pad
        highest = float(y[~edge].max()) if (~edge).any() else 0.0
        top = highest * 1.05 if highest > 0 else 1.0
        y[edge] = top
    else:
        lo, hi, top = -1.0, 1.0, 1.0
    plot_w, plot_h = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM

    def sx(v):
        return LEFT + (np.asarray(v, dtype=float) - lo) / (hi - lo) * plot_w

    def sy(v):
        return TOP + plot_h - np.asarray(v, dtype=float) / top * plot_h

    # inline in HTML an <svg> needs no namespace attribute, and the page then
    # holds no address at all
    out = [f'<svg class="volcano" viewBox="0 0 {WIDTH} {HEIGHT}" width="{WIDTH}" '
           f'height="{HEIGHT}" role="img">',
           f"<title>{html.escape(title or 'volcano')}</title>"]
    for t in nice_ticks(lo, hi):
        px = float(sx(t))
        out.append(f'<line class="grid" x1="{px:.1f}" y1="{TOP}" x2="{px:.1f}" '
                   f'y2="{TOP + plot_h}"/>')
        out.append(_text(px, TOP + plot_h + 16, _tick_text(t)))
    for t in nice_ticks(0.0, top):
        py = float(sy(t))
        out.append(f'<line class="grid" x1="{LEFT}" y1="{py:.1f}" x2="{LEFT + plot_w}" '
                   f'y2="{py:.1f}"/>')
        out.append(_text(LEFT - 6, py + 4, _tick_text(t), anchor="end"))
    out.append(f'<line class="axis" x1="{LEFT}" y1="{TOP + plot_h}" x2="{LEFT + plot_w}" '
               f'y2="{TOP + plot_h}"/>')
    out.append(f'<line class="axis" x1="{LEFT}" y1="{TOP}" x2="{LEFT}" y2="{TOP + plot_h}"/>')
    out.append(_text(LEFT + plot_w / 2, HEIGHT - 12, xlabel))
    out.append(_text(16, TOP + plot_h / 2, ylabel,
                     extra=f' transform="rotate(-90 16 {TOP + plot_h / 2:.1f})"'))
    out.append(_text(LEFT, 18, title, anchor="start", cls="title"))
    up, down = significant & (x > 0), significant & (x <= 0)
    missing = int((~shown).sum())
    left_out = f"{missing} without a p-value, not drawn" if missing else \
        "every feature has a p-value"
    if edge.any():
        left_out += f"; {int(edge.sum())} with p = 0 on the top edge (triangles)"
    legend = (f"{labels[0]}: {int(up.sum())}, {labels[1]}: {int(down.sum())}, not significant: "
              f"{int((~significant).sum())}; {left_out}")
    out.append(_text(LEFT, 36, legend, anchor="start", cls="note"))

    if (passed & ~edge).any():
        cut = float(sy(y[passed & ~edge].min()))
        out.append(f'<line class="cut" x1="{LEFT}" y1="{cut:.1f}" x2="{LEFT + plot_w}" '
                   f'y2="{cut:.1f}"/>')
        out.append(_text(LEFT + plot_w - 4, cut - 4, f"adjusted p = {alpha}", anchor="end",
                         cls="note"))
    if fc_threshold:
        for t in (-fc_threshold, fc_threshold):
            px = float(sx(t))
            out.append(f'<line class="fc" x1="{px:.1f}" y1="{TOP}" x2="{px:.1f}" '
                       f'y2="{TOP + plot_h}"/>')

    px, py = np.round(sx(x), 1), np.round(sy(y), 1)
    label_of = None
    if names is not None:
        label_of = names[~names.index.duplicated()].reindex(index)
    cls = np.where(up, "u", np.where(down, "d", "n"))
    # grey first, so that coloured points lie on top
    for i in np.concatenate([np.flatnonzero(~significant), np.flatnonzero(significant)]):
        ident = str(index[i])
        label = label_of.iloc[i] if label_of is not None else None
        shown_label = (f" \u00b7 {label}" if isinstance(label, str) and label.strip()
                       and label != ident else "")
        tip = html.escape(f"{ident}{shown_label}\n{fc_name} {x[i]:.3f}\np {pv[i]:.3g}\n"
                          f"adjusted p {adj[i]:.3g}")
        if edge[i]:
            corners = (f"{px[i]:.1f},{py[i] - 4:.1f} {px[i] + 3.5:.1f},{py[i] + 2:.1f} "
                       f"{px[i] - 3.5:.1f},{py[i] + 2:.1f}")
            out.append(f'<polygon class="{cls[i]}" points="{corners}"><title>{tip}</title>'
                       "</polygon>")
        else:
            out.append(f'<circle class="{cls[i]}" cx="{px[i]:.1f}" cy="{py[i]:.1f}" r="2.5">'
                       f"<title>{tip}</title></circle>")
    out.append("</svg>")
    return "\n".join(out)


def svg_style():
    """The CSS of the SVG volcano, for the report's <style> element."""
    return STYLE
