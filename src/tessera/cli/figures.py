"""The figures of an analysis run, as matplotlib Figure objects.

They are built without pyplot, so no global backend is chosen or changed and
nothing opens a window; ``Figure.savefig`` renders PNG files with Agg.
"""
import numpy as np

from tessera.cli.options import ALPHA

# The volcano plot labels this many of the most significant features.
TOP_LABELLED = 10

PALETTE = ["tab:orange", "tab:cyan", "tab:green", "tab:pink", "tab:olive", "tab:purple",
           "tab:brown", "tab:blue", "tab:red"]


def _figure(width, height):
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), dpi=100, layout="constrained")


def group_colours(groups):
    """{column: colour}, one colour per group of (name, columns) pairs."""
    colours = {}
    for i, (_, columns) in enumerate(groups):
        colours.update(dict.fromkeys(columns, PALETTE[i % len(PALETTE)]))
    return colours


def volcano(fc, p, adjusted, *, alpha, top, labels, xlabel, ylabel, title, names=None):
    """Fold change against -log10 p; features with ``adjusted`` below ``alpha``
    in colour (``labels`` names the up and down sets), the ``top`` most
    significant of them labelled with their name in ``names`` (aligned with
    ``p``), or their row label without it."""
    fc, p, adjusted = (s.astype(float) for s in (fc, p, adjusted))
    shown = fc.notna() & p.notna() & (p > 0)
    y = -np.log10(p.where(shown))
    significant = shown & (adjusted < alpha)
    up, down = significant & (fc > 0), significant & (fc <= 0)
    rest = shown & ~significant

    fig = _figure(7, 5.5)
    ax = fig.add_subplot()
    ax.scatter(fc[rest], y[rest], s=6, color="0.65", linewidths=0, label="not significant")
    ax.scatter(fc[up], y[up], s=9, color="tab:red", linewidths=0,
               label=f"{labels[0]} ({up.sum()})")
    ax.scatter(fc[down], y[down], s=9, color="tab:blue", linewidths=0,
               label=f"{labels[1]} ({down.sum()})")
    if significant.any():
        # the least significant of the significant features marks the cut-off
        threshold = y[significant].min()
        ax.axhline(threshold, color="0.3", linestyle="--", linewidth=0.8)
        ax.annotate(f"adjusted p = {alpha}", (1, threshold), xycoords=("axes fraction", "data"),
                    xytext=(-4, 3), textcoords="offset points", ha="right", fontsize=7,
                    color="0.3")
        order = np.argsort(p.where(significant).to_numpy(), kind="stable")
        for i in order[:min(top, significant.sum())]:
            # labels point away from the centre, where the points are densest
            right = fc.iloc[i] > 0
            name = p.index[i] if names is None else names.iloc[i]
            ax.annotate(str(name), (fc.iloc[i], y.iloc[i]),
                        xytext=(3 if right else -3, 2), textcoords="offset points",
                        ha="left" if right else "right", fontsize=7)
    ax.axvline(0, color="0.8", linewidth=0.8, zorder=0)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.set_title(title)
    ax.legend(loc="lower left", fontsize=8, frameon=False)
    return fig


def intensities(panels, colours, ylabel):
    """One boxplot per sample column for each (title, table) panel, side by side."""
    columns = list(panels[-1][1].columns)
    width = max(5.0, 0.45 * len(columns) + 1.5)
    fig = _figure(width * len(panels), 4.5)
    axes = fig.subplots(1, len(panels), squeeze=False)[0]
    for ax, (title, df) in zip(axes, panels):
        values = [df[c].astype(float).dropna().to_numpy() for c in columns]
        measured = np.concatenate([v for v in values] + [np.empty(0)])
        boxes = ax.boxplot([v if len(v) else [np.nan] for v in values], patch_artist=True,
                           showfliers=False, widths=0.6, medianprops={"color": "black"})
        for box, column in zip(boxes["boxes"], columns):
            box.set_facecolor(colours.get(column, "0.85"))
        ax.set_xticks(range(1, len(columns) + 1), [str(c) for c in columns],
                      rotation=90, fontsize=8)
        ax.set_title(title)
        ax.set_ylabel(ylabel)
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


def volcano_figure(table, run, labels=None):
    """The volcano plot of a two-group test table; ``labels`` (a Series on the
    feature identifiers) names the labelled points, the identifier standing
    in where a feature has no label."""
    fc_column = f"{run.fold_change_method}_fc"
    (first, _), (second, _) = run.groups
    names = table.index.to_series()
    if labels is not None:
        given = labels.reindex(table.index)
        names = given.where(given.notna() & (given.str.strip() != ""), names)
    return volcano(
        table[fc_column], table[f"{run.method}_p"],
        table[f"{run.method}_{run.multipletest_method}"],
        alpha=ALPHA, top=TOP_LABELLED, labels=(f"higher in {first}", f"higher in {second}"),
        xlabel=f"{fc_column}: mean {first} minus mean {second}",
        ylabel=f"-log10 p ({run.method})",
        title=f"{run.method} test, adjusted with {run.multipletest_method}", names=names)


def intensity_figure(pre, run, sample_labels=None):
    """Per-sample distributions before and after normalisation; the samples
    are named by ``sample_labels`` ({sample: label}) where it has them."""
    if pre.before_normalize is None:
        panels = [("preprocessed (not normalised)", pre.table)]
    else:
        panels = [("before normalisation", pre.before_normalize),
                  ("after normalisation", pre.table)]
    ylabel = f"log{pre.log_base} intensity" if pre.log_base else "intensity"
    colours = group_colours(run.groups)
    if sample_labels:
        panels = [(title, df.rename(columns=sample_labels)) for title, df in panels]
        colours = {sample_labels.get(c, c): colour for c, colour in colours.items()}
    return intensities(panels, colours, ylabel)


def pvalue_figure(table, run):
    return pvalue_histogram(table[f"{run.test_name}_p"], f"p-value ({run.test_name})")
