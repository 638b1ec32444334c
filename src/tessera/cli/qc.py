"""Quality-control figures of the samples, as matplotlib Figure objects.

Each function takes plain frames (features in rows, samples in columns) and
the groups as [(name, [columns])], uses only the group columns, and draws
what it can of any table: missing values, constant samples and fewer
features than samples give a figure that says what is missing, not an
error. Like ``figures``, nothing here touches pyplot.
"""
import numpy as np
import pandas as pd

from tessera.cli.figures import (PALETTE, _covered, _fixed_layout, _inside, _overlap,
                                 framed_figure, offset_label, place_labels, plain, shorten,
                                 text_inches)

# The correlation heatmap writes its values into the cells up to this many samples.
ANNOTATED_SAMPLES = 8
# A sample with fewer measured values than this share of the median sample's
# is marked as sparse in the missing-values figure.
SPARSE_SHARE = 0.5


def short_names(samples):
    """({sample: name in the figures}, note): the names without the prefix and
    suffix that all of them share, cut at a separator (a character that is
    neither letter nor digit) so that no name loses part of a word, and the
    note that says so ("" when nothing was removed). The full names are kept
    when removing leaves a name empty or makes two of them equal."""
    samples = [str(s) for s in samples]
    full = {s: s for s in samples}
    if len(samples) < 2:
        return full, ""
    prefix = _separated(_common_start(samples), at_end=True)
    rest = [s[len(prefix):] for s in samples]
    suffix = _separated(_common_start([r[::-1] for r in rest])[::-1], at_end=False)
    names = [r[:len(r) - len(suffix)] for r in rest]
    if not (prefix or suffix) or not all(names) or len(set(names)) < len(names):
        return full, ""
    parts = [f"prefix '{shorten(prefix, 40)}'"] if prefix else []
    parts += [f"suffix '{shorten(suffix, 40)}'"] if suffix else []
    return dict(zip(samples, names)), "sample names without their common " + " and ".join(parts)


def _common_start(texts):
    start = texts[0]
    for text in texts[1:]:
        while not text.startswith(start):
            start = start[:-1]
    return start


def _separated(common, *, at_end):
    """The part of a common prefix (``at_end``) or suffix that ends, or
    starts, at a separator."""
    cuts = [i for i, ch in enumerate(common) if not ch.isalnum()]
    if not cuts:
        return ""
    return common[:cuts[-1] + 1] if at_end else common[cuts[0]:]


def _note(fig, note, bottom=0.08):
    """The note on shortened names at the figure's lower left."""
    if note:
        fig.text(bottom / fig.get_figwidth(), bottom / fig.get_figheight(), plain(note),
                 fontsize=7.5, color="0.3", ha="left", va="bottom", gid="names-note")


def _samples(groups):
    return [column for _, columns in groups for column in columns]


def _values(table, columns):
    """The columns as floats, with infinities as missing values."""
    values = table[columns].apply(pd.to_numeric, errors="coerce").to_numpy(dtype=float)
    return np.where(np.isfinite(values), values, np.nan)


def _group_of(groups):
    """{column: (group index, group name)}."""
    return {column: (i, name) for i, (name, columns) in enumerate(groups)
            for column in columns}


def _colour(i):
    return PALETTE[i % len(PALETTE)]


def _group_legend(ax, groups, **kwargs):
    from matplotlib.patches import Patch

    handles = [Patch(color=_colour(i), label=plain(name)) for i, (name, _) in enumerate(groups)]
    return ax.legend(handles=handles, fontsize=8, frameon=False, **kwargs)


def _empty(ax, text):
    ax.text(0.5, 0.5, text, ha="center", va="center", transform=ax.transAxes, wrap=True,
            fontsize=9, color="0.3")
    ax.set_xticks([])
    ax.set_yticks([])


def principal_components(table, groups, *, imputed=None, removed=None):
    """The samples on PC1 and PC2 with the share of variance each explains,
    coloured by group and labelled with their names.

    Computed on the features measured in every sample of ``table``, or on all
    features of ``imputed`` (the imputed table) when it is given; the title
    says which, and how many features entered, and names what was ``removed``
    from the values before (e.g. "donor's effects"), if anything."""
    samples = _samples(groups)
    source = table if imputed is None else imputed
    values = _values(source, samples)
    complete = np.isfinite(values).all(axis=1)
    x = values[complete].T
    x = x - x.mean(axis=0) if x.size else x
    where = "after imputation" if imputed is not None else "measured in every sample"
    if removed:
        where += f", {removed} removed"
    names, note = short_names(samples)
    fig = framed_figure(6.5, 5.45 if note else 5.2, left=0.8, top=0.6,
                        bottom=0.85 if note else 0.6)
    _note(fig, note)
    ax = fig.add_subplot()
    ax.set_title(f"Principal components of {len(samples)} samples\n"
                 f"on {int(complete.sum())} features {where}", fontsize=10)
    total = float((x ** 2).sum()) if x.size else 0.0
    if x.shape[1] < 2 or len(samples) < 3 or not np.isfinite(total) or total == 0:
        _empty(ax, "too few features " + where + " with values that vary\n"
                   "for principal components")
        return fig
    u, s, _ = np.linalg.svd(x, full_matrices=False)
    # a fixed sign: each component's largest sample score is positive
    for k in range(u.shape[1]):
        if u[np.argmax(np.abs(u[:, k])), k] < 0:
            u[:, k] = -u[:, k]
    scores = u * s
    share = s ** 2 / (s ** 2).sum()
    pc2 = scores[:, 1] if scores.shape[1] > 1 else np.zeros(len(samples))
    share2 = share[1] if len(share) > 1 else 0.0
    group_of = _group_of(groups)
    ax.scatter(scores[:, 0], pc2, s=40, c=[_colour(group_of[c][0]) for c in samples],
               edgecolors="white", linewidths=0.6, zorder=3)
    ax.set_xlabel(f"PC1 ({share[0]:.1%} of variance)")
    ax.set_ylabel(f"PC2 ({share2:.1%} of variance)")
    _pad_limits(ax, scores[:, 0], pc2)
    legend = _group_legend(ax, groups, loc="best")
    renderer = _fixed_layout(fig)
    anchors = ax.transData.transform(np.column_stack([scores[:, 0], pc2]))
    texts = [names[str(c)] for c in samples]
    obstacles = [legend.get_window_extent(renderer)]
    placed = place_labels(ax, renderer, anchors, texts, points=anchors, obstacles=obstacles,
                          fontsize=8, radius=4.5, gid="pca-label")
    _place_left_out(ax, renderer, anchors, texts, placed, obstacles, fontsize=8, radius=4.5,
                    gid="pca-label")
    return fig


def _place_left_out(ax, renderer, anchors, texts, placed, obstacles, *, fontsize, radius, gid):
    """Labels the points that ``place_labels`` left out, each at the place
    farther out (with a leader line) that overlaps the fewest labels, points
    and obstacles, inside the figure and preferably inside the axes: every
    sample is named, overlapping another label only where nothing else is
    left."""
    from matplotlib.font_manager import FontProperties
    from matplotlib.text import Text

    font = FontProperties(size=fontsize)
    taken = [(b.x0, b.y0, b.x1, b.y1) for b in obstacles]
    for label in placed:
        if label is not None:
            label.update_positions(renderer)    # an annotation finds its place when drawn
            taken.append(tuple(Text.get_window_extent(label, renderer).extents))
    frame, page = ax.get_window_extent(renderer), ax.figure.bbox
    scale, pad = ax.figure.dpi / 100.0, 2.0
    for k, ((x, y), text) in enumerate(zip(anchors, texts)):
        if placed[k] is not None:
            continue
        width, height, _ = renderer.get_text_width_height_descent(text, font, ismath=False)
        best = None
        for step in (12, 24, 40, 60, 85, 115, 150, 200, 260):
            distance = radius + pad + step * scale
            for dx in (-1, 0, 1):
                for dy in (-1, 0, 1):
                    if not dx and not dy:
                        continue
                    ox, oy = dx * distance, dy * distance
                    x0 = x + ox - (width if dx < 0 else width / 2 if dx == 0 else 0)
                    y0 = y + oy - (height if dy < 0 else height / 2 if dy == 0 else 0)
                    box = (x0 - pad, y0 - pad, x0 + width + pad, y0 + height + pad)
                    if not _inside(box, page):
                        continue
                    cost = (100 * sum(_overlap(box, t) for t in taken)
                            + 10 * (not _inside(box, frame))
                            + 3 * _covered(box, anchors, radius).sum() + step / 50.0)
                    if best is None or cost < best[0]:
                        best = (cost, dx, dy, ox, oy, box)
        if best is None:        # not even beside the point fits in the figure
            best = (0, 1, 1, radius + pad, radius + pad, (x, y, x + width, y + height))
        _, dx, dy, ox, oy, box = best
        taken.append(box)
        placed[k] = offset_label(ax, (x, y), text, (dx, dy), (ox, oy), fontsize=fontsize,
                                 gid=gid, leader=True, radius=radius)
    return placed



def _pad_limits(ax, x, y):
    """Limits with a margin wide enough for labels beside the outermost points."""
    for values, set_limits in ((x, ax.set_xlim), (y, ax.set_ylim)):
        lo, hi = float(np.min(values)), float(np.max(values))
        pad = 0.18 * (hi - lo) if hi > lo else 1.0
        set_limits(lo - pad, hi + pad)


def correlation(table, groups):
    """Heatmap of the Pearson correlation of every pair of samples on the
    features measured in both, samples ordered by group, with a bar of the
    group's colour along both edges."""
    samples = _samples(groups)
    values = pd.DataFrame(_values(table, samples), columns=range(len(samples)))
    r = values.corr(method="pearson", min_periods=3).to_numpy()
    n = len(samples)
    names, note = short_names(samples)
    labels = [plain(names[str(c)]) for c in samples]
    # the heatmap's side in inches, and margins that fit the sample names
    side = min(max(4.2, 0.32 * (n + 1)), 9.0)
    widest = text_inches(labels, 8) + 0.2
    left, bottom, top, right = widest + 0.1, widest + (0.3 if note else 0), 0.95, 1.2
    width, height = left + side + right, bottom + side + top
    fig = framed_figure(width, height, left=left, right=right, bottom=bottom, top=top)
    _note(fig, note)
    ax = fig.add_subplot()
    bar = fig.add_axes([(left + side + 0.25) / width, (bottom + 0.1 * side) / height,
                        0.18 / width, 0.8 * side / height])
    measured = np.isfinite(values.to_numpy())
    shared = measured.T.astype(int) @ measured.astype(int)
    off = r[~np.eye(n, dtype=bool)] if n > 1 else np.empty(0)
    off = off[np.isfinite(off)]
    # one scale for every run, 0 to 1, so that a colour means the same r in
    # any report; it reaches below 0 (in steps of 0.1) only for negative r
    low = min(0.0, np.floor(float(off.min()) * 10) / 10) if len(off) else 0.0
    from matplotlib import colormaps

    cmap = colormaps["viridis"].with_extremes(bad="0.85")
    image = ax.imshow(np.ma.masked_invalid(r), cmap=cmap, vmin=low, vmax=1.0,
                      interpolation="nearest", aspect="auto")
    step = 0.1 if low > -0.5 else 0.2
    fig.colorbar(image, cax=bar, label="Pearson r", ticks=np.arange(low, 1 + step / 2, step))
    # each text costs as much to draw as the rest of the heatmap: the values
    # are written into the cells of small tables only, in a size that fits
    # the cell and in black or white, whichever stands out from its colour
    if n <= ANNOTATED_SAMPLES:
        size = float(np.clip(side / n * 72 * 0.25, 7, 10))
        for i in range(n):
            for j in range(n):
                if np.isfinite(r[i, j]):
                    red, green, blue, _ = image.to_rgba(r[i, j])
                    light = 0.2126 * red + 0.7152 * green + 0.0722 * blue > 0.45
                    ax.text(j, i, f"{r[i, j]:.2f}", ha="center", va="center", fontsize=size,
                            color="black" if light else "white", gid="correlation-value")
    from matplotlib.patches import Rectangle

    group_of = _group_of(groups)
    for k, column in enumerate(samples):
        colour = _colour(group_of[column][0])
        ax.add_patch(Rectangle((k - 0.5, -1.3), 1, 0.6, color=colour, clip_on=False))
        ax.add_patch(Rectangle((-1.3, k - 0.5), 0.6, 1, color=colour, clip_on=False))
    start = 0
    for i, (name, columns) in enumerate(groups):
        middle = start + (len(columns) - 1) / 2
        ax.text(middle, -1.45, plain(name), ha="center", va="bottom", fontsize=8)
        start += len(columns)
    ax.set_xlim(-1.4, n - 0.5)
    ax.set_ylim(n - 0.5, -1.4)
    ax.set_xticks(range(n), labels, rotation=90, fontsize=8)
    ax.set_yticks(range(n), labels, fontsize=8)
    ax.tick_params(length=0)
    for spine in ax.spines.values():
        spine.set_visible(False)
    fewest = int(shared[~np.eye(n, dtype=bool)].min()) if n > 1 else 0
    ax.set_title(f"Correlation of {n} samples\non the features measured in both "
                 f"(at least {fewest} per pair)", fontsize=10, pad=18)
    return fig


def missingness(table, groups, *, bins=10):
    """Measured values per sample (bars coloured by group) beside the share
    of missing values of each feature against the mean of its measured
    values, with the mean share in ``bins`` bins of equal feature counts."""
    samples = _samples(groups)
    values = _values(table, samples)
    measured = np.isfinite(values)
    group_of = _group_of(groups)
    n_features = len(values)
    names, note = short_names(samples)
    labels = [plain(names[str(c)]) for c in samples]
    bars, scatter = max(3.0, 0.3 * len(samples)), 4.2      # panel widths, inches
    bottom = max(0.6, text_inches(labels, 8) + 0.3) + (0.25 if note else 0)
    width, height = 0.75 + bars + 0.9 + scatter + 0.2, bottom + 3.2 + 0.6
    fig = framed_figure(width, height)
    _note(fig, note)
    left = fig.add_axes([0.75 / width, bottom / height, bars / width, 3.2 / height])
    right = fig.add_axes([(0.75 + bars + 0.9) / width, bottom / height, scatter / width,
                          3.2 / height])

    counts = measured.sum(axis=0)
    sparse = counts < SPARSE_SHARE * np.median(counts) if len(counts) else counts > 0
    drawn = left.bar(range(len(samples)), counts,
                     color=[_colour(group_of[c][0]) for c in samples], width=0.75)
    for patch, thin in zip(drawn, sparse):
        if thin:
            patch.set(hatch="////", edgecolor="tab:red", linewidth=1.2, gid="sparse-sample")
    left.set_xticks(range(len(samples)), labels, rotation=90, fontsize=8)
    for tick, thin in zip(left.get_xticklabels(), sparse):
        if thin:
            tick.set_color("tab:red")
    left.set_ylabel("measured values")
    # headroom above the dotted line of all features, for the legend
    left.set_ylim(0, max(n_features, 1) * 1.22)
    left.axhline(n_features, color="0.4", linestyle=":", linewidth=0.8)
    if sparse.any():
        thin = [labels[k] for k in np.flatnonzero(sparse)]
        listed = ", ".join(thin[:3]) + (f" and {len(thin) - 3} more" if len(thin) > 3 else "")
        left.set_title(f"Measured values per sample (of {n_features} features, dotted)\n"
                       f"hatched, fewer than half the median sample's {int(np.median(counts))}"
                       f": {listed}", fontsize=10)
    else:
        left.set_title(f"Measured values per sample\n(of {n_features} features, dotted)",
                       fontsize=10)
    _group_legend(left, groups, loc="upper center", ncols=min(len(groups), 6))

    with np.errstate(invalid="ignore", divide="ignore"):
        seen = measured.sum(axis=1)
        mean = np.where(seen > 0, np.nansum(values, axis=1) / np.maximum(seen, 1), np.nan)
    share = 1.0 - seen / max(len(samples), 1)
    has = np.isfinite(mean)
    none = int((~has).sum())
    if has.sum() < 2:
        _empty(right, "too few features with measured values")
    else:
        rng = np.random.default_rng(0)   # a fixed jitter: the same figure every run
        jitter = (rng.random(has.sum()) - 0.5) * (0.6 / max(len(samples), 1))
        right.scatter(mean[has], share[has] + jitter, s=4, color="0.55", alpha=0.35,
                      linewidths=0)
        order = np.argsort(mean[has], kind="stable")
        chunks = np.array_split(order, min(bins, has.sum()))
        centres = [float(np.mean(mean[has][c])) for c in chunks if len(c)]
        shares = [float(np.mean(share[has][c])) for c in chunks if len(c)]
        right.plot(centres, shares, color="tab:red", marker="o", markersize=4, linewidth=1.5,
                   label=f"mean share per bin of {len(order) // max(len(chunks), 1)} features")
        right.legend(fontsize=8, frameon=False, loc="upper right")
        right.set_ylim(-0.05, 1.05)
    right.set_xlabel("mean of the measured values")
    right.set_ylabel("share of values missing")
    note = f"{int(has.sum())} features; {none} with no measured value have no mean to plot" \
        if none else f"{int(has.sum())} features"
    right.set_title(f"Missing values against intensity\n({note})", fontsize=10)
    return fig


def imputation(table, imputed, groups, *, bins=40):
    """Histogram of the imputed cells over the measured ones, on the group
    columns; ``table`` is the imputed table and ``imputed`` the frame of
    booleans that is True where a value was filled in."""
    samples = _samples(groups)
    values = _values(table, samples)
    filled = imputed.reindex(index=table.index, columns=samples).fillna(False)
    filled = filled.to_numpy(dtype=bool)
    finite = np.isfinite(values)
    measured, made = values[finite & ~filled], values[finite & filled]
    fig = framed_figure(6.5, 4.3, top=0.4)
    ax = fig.add_subplot()
    ax.set_title(f"Imputed values: {made.size} of {values.size} cells", fontsize=10)
    both = np.concatenate([measured, made])
    if not both.size:
        _empty(ax, "no values")
        return fig
    lo, hi = float(both.min()), float(both.max())
    edges = np.linspace(lo, hi if hi > lo else lo + 1.0, bins + 1)
    ax.hist(measured, bins=edges, color="tab:gray", alpha=0.7,
            label=f"measured ({measured.size})")
    if made.size:
        ax.hist(made, bins=edges, color="tab:orange", alpha=0.7, label=f"imputed ({made.size})")
    ax.set_xlabel("value")
    ax.set_ylabel("cells")
    ax.legend(fontsize=8, frameon=False)
    return fig
