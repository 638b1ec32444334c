"""The figures of an analysis run, as matplotlib Figure objects.

They are built without pyplot, so no global backend is chosen or changed and
nothing opens a window; ``Figure.savefig`` renders PNG files with Agg.
"""
import numpy as np
import pandas as pd

from tessera.cli import results

# The volcano plot labels this many of the most significant features.
TOP_LABELLED = 10
# Longer labels are shortened to this many characters, the last an ellipsis.
LABEL_CHARS = 24

# The boxes of samples in no group.
UNGROUPED = "0.85"
PALETTE = ["tab:orange", "tab:cyan", "tab:green", "tab:pink", "tab:olive", "tab:purple",
           "tab:brown", "tab:blue", "tab:red"]


def _figure(width, height):
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), dpi=100, layout="constrained")


def framed_figure(width, height, *, left=0.75, right=0.2, bottom=0.6, top=0.55, **grid):
    """A figure whose subplots sit at fixed margins (in inches) rather than
    under a layout engine: their positions are known at once, so labels can
    be placed before any drawing, and saving draws once instead of running
    the layout's extra passes over every text. ``grid`` goes to
    ``subplots_adjust`` (wspace, hspace)."""
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width, height), dpi=100)
    fig.subplots_adjust(left=left / width, right=1 - right / width, bottom=bottom / height,
                        top=1 - top / height, **grid)
    return fig


def text_inches(texts, fontsize):
    """The width in inches of the widest of ``texts`` at ``fontsize``, as Agg draws it."""
    from matplotlib.backends.backend_agg import RendererAgg
    from matplotlib.font_manager import FontProperties

    renderer, font = RendererAgg(1, 1, 100), FontProperties(size=fontsize)
    widths = [renderer.get_text_width_height_descent(str(t), font, ismath=False)[0]
              for t in texts]
    return max(widths, default=0.0) / 100.0


def plain(text):
    """``text`` with its dollar signs escaped, so that matplotlib draws it as
    it is instead of reading a pair of them as mathematics."""
    return str(text).replace("$", r"\$")


def group_colours(groups):
    """{column: colour}, one colour per group of (name, columns) pairs."""
    colours = {}
    for i, (_, columns) in enumerate(groups):
        colours.update(dict.fromkeys(columns, PALETTE[i % len(PALETTE)]))
    return colours


def volcano(fc, p, adjusted, *, alpha, top, labels, xlabel, ylabel, title, names=None,
            fc_threshold=None, max_chars=LABEL_CHARS):
    """Fold change against -log10 p.

    Significant features (``results.significant``: adjusted p-value below
    ``alpha`` and, with ``fc_threshold``, an absolute fold change of at least
    that, drawn as dotted lines at plus and minus it) are in colour
    (``labels`` names the up and down sets). A p-value of 0, which has no
    place on a log axis, is drawn as a triangle on the top edge. The ``top``
    significant ones with the smallest adjusted p-values are labelled with
    their entry in ``names`` (a Series on the same index; the row identifier
    where it has none), shortened to ``max_chars`` characters, placed where
    they cover neither each other, the labelled points, the threshold note
    nor the legend, and left out where no such place is found. The title's
    second line says how many features are on the top edge and how many
    have no p-value and are not drawn.
    """
    fc, p, adjusted = (s.astype(float) for s in (fc, p, adjusted))
    if names is not None:
        names = names[~names.index.duplicated()]
    shown = fc.notna() & p.notna()
    edge = shown & (p == 0)
    significant = results.significant(p, adjusted, fc, alpha=alpha, fc_threshold=fc_threshold)
    up, down = significant & (fc > 0), significant & (fc <= 0)
    rest = shown & ~significant

    fig = framed_figure(7, 5.5, left=0.7, bottom=0.6, top=0.55)
    ax = fig.add_subplot()
    y = -np.log10(p.where(shown & ~edge))
    _volcano_limits(ax, fc[shown], y[shown & ~edge], fc_threshold)
    y[edge] = ax.get_ylim()[1]
    for chosen, size, colour, label in (
            (rest, 6, "0.65", "not significant"),
            (up, 9, "tab:red", f"{plain(labels[0])} ({up.sum()})"),
            (down, 9, "tab:blue", f"{plain(labels[1])} ({down.sum()})")):
        ax.scatter(fc[chosen & ~edge], y[chosen & ~edge], s=size, color=colour, linewidths=0,
                   label=label)
        if edge.any():
            ax.scatter(fc[chosen & edge], y[chosen & edge], s=3 * size, color=colour,
                       marker="^", linewidths=0, clip_on=False, gid="volcano-edge")
    note = _threshold_note(ax, p, adjusted, alpha)
    if fc_threshold:
        for x in (-fc_threshold, fc_threshold):
            ax.axvline(x, color="0.45", linestyle=":", linewidth=0.8)
    ax.axvline(0, color="0.8", linewidth=0.8, zorder=0)
    ax.set_xlabel(plain(xlabel))
    ax.set_ylabel(plain(ylabel))
    on_edge = f", {edge.sum()} with p = 0 on the top edge (\u25b2)" if edge.any() else ""
    ax.set_title(f"{plain(title)}\n{shown.sum()} features drawn{on_edge}; "
                 f"{_not_drawn(fc, p)}", fontsize=10)
    renderer = _fixed_layout(fig)
    drawn = np.flatnonzero(shown.to_numpy())
    points = ax.transData.transform(np.column_stack([fc.to_numpy()[drawn],
                                                     y.to_numpy()[drawn]]))
    legend = _place_legend(ax, renderer, points, avoid=[note])

    if top and significant.any():
        chosen = np.flatnonzero(significant.to_numpy())
        order = np.lexsort((p.to_numpy()[chosen], adjusted.to_numpy()[chosen]))
        chosen = chosen[order[:top]]
        texts = [shorten(_label_of(fc.index[i], names), max_chars) for i in chosen]
        anchors = ax.transData.transform(np.column_stack([fc.to_numpy()[chosen],
                                                          y.to_numpy()[chosen]]))
        obstacles = [a.get_window_extent(renderer) for a in (note, legend) if a is not None]
        place_labels(ax, renderer, anchors, texts, points=points, obstacles=obstacles,
                     gid="volcano-label")
    return fig


def _threshold_note(ax, p, adjusted, alpha):
    """Draws the -log10 p at which the adjusted p-value reaches ``alpha`` (the
    largest p whose adjusted p is below it) with its note, when that lies in
    the plotted range; with no such p the note says that no feature reaches
    ``alpha``, so that a volcano without colour is not read as a drawing
    fault. Returns the note."""
    reached = results.significant(p, adjusted, alpha=alpha)
    if not reached.any():
        return ax.annotate(f"no feature reaches adjusted p < {alpha}", (1, 1),
                           xycoords="axes fraction", xytext=(-4, -4),
                           textcoords="offset points", ha="right", va="top", fontsize=8,
                           color="0.3")
    threshold = -np.log10(float(p[reached].max()))
    low, high = ax.get_ylim()
    if not low <= threshold <= high:
        return None
    ax.axhline(threshold, color="0.3", linestyle="--", linewidth=0.8)
    return ax.annotate(f"adjusted p = {alpha}", (1, threshold),
                       xycoords=("axes fraction", "data"), xytext=(-4, 3),
                       textcoords="offset points", ha="right", fontsize=7, color="0.3")


# Where the volcano's legend may go, in order of preference: the lower corners
# are the emptiest part of a volcano and leave the top to the labels.
_LEGEND_CORNERS = ("lower left", "lower right", "upper left", "upper right")


def _place_legend(ax, renderer, points, avoid=()):
    """The legend, framed, in the corner where it covers the fewest of
    ``points`` (display coordinates) and none of the ``avoid`` artists."""
    boxes = [a.get_window_extent(renderer) for a in avoid if a is not None]
    style = dict(fontsize=8, frameon=True, framealpha=0.85, facecolor="white",
                 edgecolor="0.8")
    best = None
    for corner in _LEGEND_CORNERS:
        box = ax.legend(loc=corner, **style).get_window_extent(renderer)
        cost = _covered((box.x0, box.y0, box.x1, box.y1), points, 0).sum()
        cost += len(points) + 1 if any(box.overlaps(b) for b in boxes) else 0
        if best is None or cost < best[0]:
            best = (cost, corner)
    return ax.legend(loc=best[1], **style)


def _not_drawn(fc, p):
    """What the volcano leaves out: features without a p-value (or fold change)."""
    missing = int((p.isna() | fc.isna()).sum())
    return f"{missing} without a p-value not drawn" if missing else \
        "every feature has a p-value"


def _label_of(identifier, names):
    """A feature's label: its entry in ``names`` when that is set, else its identifier."""
    if names is not None:
        value = names.get(identifier)
        if isinstance(value, str) and value.strip():
            return value.strip()
        if value is not None and not isinstance(value, str) and not pd.isna(value):
            return str(value)
    return str(identifier)


def shorten(text, max_chars=LABEL_CHARS):
    """``text`` cut to ``max_chars`` characters, the last one an ellipsis."""
    text = " ".join(str(text).split())
    return text if len(text) <= max_chars else text[:max(max_chars - 1, 1)].rstrip() + "\u2026"


def _volcano_limits(ax, x, y, fc_threshold):
    """Limits with room above the highest point for labels, fixed so that the
    labels can be placed in display coordinates."""
    if len(x):
        lo, hi = float(x.min()), float(x.max())
        if fc_threshold:
            lo, hi = min(lo, -fc_threshold), max(hi, fc_threshold)
        pad = 0.06 * (hi - lo) if hi > lo else 1.0
        ax.set_xlim(lo - pad, hi + pad)
        top = float(y.max())
        ax.set_ylim(0, top * 1.12 if top > 0 else 1.0)


def _fixed_layout(fig):
    """Fixes the figure's layout, so that display coordinates stay as they
    are now when the figure is saved, and returns an Agg renderer for
    measuring text. A figure under a layout engine runs it once and keeps
    its result."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.layout_engine import PlaceHolderLayoutEngine

    canvas = FigureCanvasAgg(fig)
    engine = fig.get_layout_engine()
    if engine is not None and not isinstance(engine, PlaceHolderLayoutEngine):
        fig.draw_without_rendering()
        fig.set_layout_engine("none")
    return canvas.get_renderer()


# Candidate places of a label around its point: the four diagonals and the
# four sides, at these distances in pixels (at 100 dpi) beyond the point's
# marker and the label's padding, nearest first.
_DIRECTIONS = [(1, 1), (-1, 1), (1, -1), (-1, -1), (1, 0), (-1, 0), (0, 1), (0, -1)]
_DISTANCES = (1, 6, 14, 24, 36, 51)


def offset_label(ax, anchor, text, direction, offset, *, fontsize, gid, leader, radius):
    """The annotation of ``text`` placed ``offset`` pixels from ``anchor``
    (pixels) on the side ``direction`` points to, with a leader line from
    the label to the edge of the point when ``leader``."""
    (dx, dy), (ox, oy) = direction, offset
    to_points = 72.0 / ax.figure.dpi
    return ax.annotate(
        text, ax.transData.inverted().transform(anchor),
        xytext=(ox * to_points, oy * to_points), textcoords="offset points",
        ha="left" if dx > 0 else "right" if dx < 0 else "center",
        va="bottom" if dy > 0 else "top" if dy < 0 else "center",
        fontsize=fontsize, gid=gid, annotation_clip=False, parse_math=False,
        arrowprops={"arrowstyle": "-", "color": "0.45", "linewidth": 0.5,
                    "shrinkA": 0, "shrinkB": radius * to_points} if leader else None)


def place_labels(ax, renderer, anchors, texts, *, points=None, obstacles=(), fontsize=7,
                 radius=2.5, gid=None, pad=2.0):
    """Labels ``texts`` at the display positions ``anchors`` (in order of
    priority), each at the best of a fixed set of candidate offsets: inside
    the axes, covering no label placed before, no box of ``obstacles`` and no
    anchor's marker (``radius`` pixels), and as few of ``points`` (display
    coordinates) as can be. A label with no such place is left out rather
    than overlapped. Labels away from their point get a thin leader line.
    Returns the annotations placed, None for the ones left out."""
    from matplotlib.font_manager import FontProperties

    anchors = np.asarray(anchors, dtype=float).reshape(-1, 2)
    points = np.empty((0, 2)) if points is None else np.asarray(points, dtype=float)
    frame = ax.get_window_extent(renderer)
    taken = [(b.x0, b.y0, b.x1, b.y1) for b in obstacles]
    font = FontProperties(size=fontsize)
    scale = ax.figure.dpi / 100.0
    near = radius + pad
    placed = []
    for (x, y), text in zip(anchors, texts):
        width, height, _ = renderer.get_text_width_height_descent(text, font, ismath=False)
        best = None
        for step in _DISTANCES:
            distance = near + step * scale
            for dx, dy in _DIRECTIONS:
                # diagonal offsets put the box's corner at the distance
                ox, oy = dx * distance, dy * distance
                x0 = x + ox - (width if dx < 0 else width / 2 if dx == 0 else 0)
                y0 = y + oy - (height if dy < 0 else height / 2 if dy == 0 else 0)
                box = (x0 - pad, y0 - pad, x0 + width + pad, y0 + height + pad)
                if not _inside(box, frame) or any(_overlap(box, t) for t in taken):
                    continue
                if _covered(box, anchors, radius).any():
                    continue
                cost = _covered(box, points, radius).sum() + step / 20.0
                if best is None or cost < best[0]:
                    best = (cost, dx, dy, ox, oy, box, step)
            if best is not None and best[0] < 1:
                break       # nothing covered: nearer places were tried already
        if best is None:
            placed.append(None)
            continue
        _, dx, dy, ox, oy, box, step = best
        taken.append(box)
        placed.append(offset_label(ax, (x, y), text, (dx, dy), (ox, oy), fontsize=fontsize,
                                   gid=gid, leader=step > _DISTANCES[1], radius=radius))
    return placed


def _inside(box, frame):
    return box[0] >= frame.x0 and box[1] >= frame.y0 and box[2] <= frame.x1 and \
        box[3] <= frame.y1


def _overlap(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def _covered(box, points, radius):
    """Which points (with their radius) lie inside the box."""
    if not len(points):
        return np.zeros(0, dtype=bool)
    return ((points[:, 0] > box[0] - radius) & (points[:, 0] < box[2] + radius)
            & (points[:, 1] > box[1] - radius) & (points[:, 1] < box[3] + radius))


def intensities(panels, colours, ylabel, legend=()):
    """One boxplot per sample column for each (title, table) panel: side by
    side while the figure stays narrow enough to be read at its size in the
    report, one above the other for many samples. ``legend`` ((label, colour)
    pairs) is drawn in one row above the panels."""
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    columns = list(panels[-1][1].columns)
    names = [plain(c) for c in columns]
    n = len(panels)
    panel, height = max(3.6, 0.34 * len(columns) + 0.6), 3.3     # axes, inches
    left, right, top, gap = 0.8, 0.25, 0.4, 0.8
    bottom = text_inches(names, 8) + 0.3
    key = 0.35 if legend else 0.0       # the legend's row above the panels
    beside = n == 1 or left + n * panel + (n - 1) * gap + right <= 10
    if beside:
        width, total = left + n * panel + (n - 1) * gap + right, key + top + height + bottom
        boxes = [(left + k * (panel + gap), bottom) for k in range(n)]
    else:
        width, total = left + panel + right, key + n * (top + height + bottom)
        boxes = [(left, (n - 1 - k) * (top + height + bottom) + bottom) for k in range(n)]
    fig = Figure(figsize=(width, total), dpi=100)
    if legend:
        fig.legend([Patch(facecolor=colour, edgecolor="black", linewidth=0.6)
                    for _, colour in legend], [plain(label) for label, _ in legend],
                   loc="upper center", bbox_to_anchor=(0.5, 1), ncols=len(legend),
                   fontsize=8, frameon=False, handlelength=1.2, columnspacing=1.2)
    for (x0, y0), (title, df) in zip(boxes, panels):
        ax = fig.add_axes([x0 / width, y0 / total, panel / width, height / total])
        values = [df[c].astype(float).dropna().to_numpy() for c in columns]
        measured = np.concatenate([v for v in values] + [np.empty(0)])
        drawn = ax.boxplot([v if len(v) else [np.nan] for v in values], patch_artist=True,
                           showfliers=False, widths=0.6, medianprops={"color": "black"})
        for box, column in zip(drawn["boxes"], columns):
            box.set_facecolor(colours.get(column, UNGROUPED))
        ax.set_xticks(range(1, len(columns) + 1), names, rotation=90, fontsize=8)
        ax.set_title(plain(title), fontsize=10)
        ax.set_ylabel(plain(ylabel))
        # positive values spread over orders of magnitude (linear intensities)
        # are shown on a log axis
        if len(measured) and measured.min() > 0 and measured.max() / measured.min() >= 1e3:
            ax.set_yscale("log")
    return fig


def pvalue_histogram(p, xlabel, bins=20):
    """Histogram of the p-values, with the flat level expected when nothing changes."""
    p = p.astype(float).dropna()
    fig = _figure(6, 4.5)
    ax = fig.add_subplot()
    ax.hist(p, bins=bins, range=(0, 1), color="tab:gray", edgecolor="white")
    ax.axhline(len(p) / bins, color="tab:red", linestyle="--", linewidth=1,
               label="expected with no effect")
    ax.set_xlim(0, 1)
    ax.set_xlabel(xlabel)
    ax.set_ylabel("features")
    ax.set_title(f"{len(p)} p-values")
    ax.legend(fontsize=8, frameon=False)
    return fig


def volcano_arguments(table, run, names=None, contrast=None):
    """The arguments of a volcano plot, the PNG (``volcano``) and the report's
    SVG alike: fold change, p, adjusted p, the significance level and the
    texts; ``names`` (a Series on the table's index, e.g. the gene names)
    names the points instead of the row identifiers. It is the two groups'
    volcano, or that of ``contrast`` (a model.Contrast) of a run's model; a
    model of two groups without given contrasts draws its one contrast."""
    log_base = run.settings.get("log_transform")
    if run.model is None:
        columns = run.result_columns
        xlabel = results.fold_change_label(columns.groups, log_base,
                                           run.fold_change_method == "paired")
        labels, title = columns.directions, f"{run.method} test"
    else:
        contrast = contrast or run.model.contrasts[0]
        columns = run.result_columns.contrast(contrast.name)
        xlabel = results.contrast_label(contrast, log_base)
        labels = tuple(f"{contrast.name} {way}" for way in columns.directions)
        title = f"{run.method} test of {contrast.name}"
    return dict(
        fc=table[columns.fc], p=table[columns.p], adjusted=table[columns.adjusted],
        alpha=results.ALPHA, labels=labels, xlabel=xlabel, ylabel=f"-log10 p ({run.method})",
        title=f"{title}, adjusted with {run.multipletest_method}", names=names)


def volcano_figure(table, run, names=None, *, top=TOP_LABELLED, fc_threshold=None,
                   contrast=None):
    """The volcano plot of a run of two groups or of one contrast (see
    ``volcano_arguments``)."""
    return volcano(**volcano_arguments(table, run, names, contrast), top=top,
                   fc_threshold=fc_threshold)


def intensity_figure(pre, run, sample_labels=None):
    """Per-sample distributions before and after normalisation; the samples
    are named by ``sample_labels`` ({sample: label}) where it has them."""
    # the measured values only: an imputation after the normalisation has its own figure
    if pre.before_normalize is None:
        panels = [("preprocessed (not normalised)", pre.before_impute)]
    else:
        panels = [("before normalisation", pre.before_normalize),
                  ("after normalisation", pre.before_impute)]
    ylabel = f"log{pre.log_base} intensity" if pre.log_base else "intensity"
    colours = group_colours(run.groups)
    # the samples by group, in the run's group order, the ones in no group last
    grouped = [c for _, cs in run.groups for c in cs]
    panels = [(title, df[[c for c in grouped if c in df.columns]
                         + [c for c in df.columns if c not in colours]])
              for title, df in panels]
    legend = [(name, PALETTE[i % len(PALETTE)]) for i, (name, _) in enumerate(run.groups)]
    if any(c not in colours for c in panels[-1][1].columns):
        legend.append(("not in a group", UNGROUPED))
    if sample_labels:
        panels = [(title, df.rename(columns=sample_labels)) for title, df in panels]
        colours = {sample_labels.get(c, c): colour for c, colour in colours.items()}
    return intensities(panels, colours, ylabel, legend)


def pvalue_figure(table, run):
    """The histogram of the run's p-values: a model's are those of its F test
    of two or more contrasts, else of its one contrast."""
    columns = run.result_columns
    test = run.method if run.model is None else \
        f"{run.method}, {'F test' if columns.headline.fc is None else columns.headline.name}"
    return pvalue_histogram(table[columns.p], f"p-value ({test})")
