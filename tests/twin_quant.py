"""Plain numpy twins of tessera.tools.quant, one protein at a time and one
pair of runs at a time: slow, and written to be obviously what the
docstrings say."""
import numpy as np
import pandas as pd


def maxlfq_block(logs, min_shared=1, ridge=1e-4):
    """MaxLFQ of one features x runs block of natural logs (NaN missing)."""
    features, runs = logs.shape
    present = ~np.isnan(logs)
    active = np.flatnonzero(present.any(axis=0))
    laplacian, b = np.zeros((runs, runs)), np.zeros(runs)
    for a, j in enumerate(active):
        for k in active[a + 1:]:
            both = present[:, j] & present[:, k]
            if both.sum() >= max(min_shared, 1):
                r = np.median(logs[both, j] - logs[both, k])
                laplacian[[j, k], [j, k]] += 1
                laplacian[[j, k], [k, j]] -= 1
                b[j] += r
                b[k] -= r
    degree = np.diag(laplacian).copy()
    top = np.full(runs, np.nan)
    top[active] = np.nanmax(logs[:, active], axis=0)
    x = np.full(runs, np.nan)
    for members in _connected(laplacian < 0, active):
        if len(members) == 1:
            j = members[0]
            if present[:, j].sum() >= max(min_shared, 1):
                x[j] = top[j]
            continue
        a, d = laplacian[np.ix_(members, members)], degree[members]
        if ridge > 0:
            x[members] = np.linalg.solve(a + ridge * np.diag(d), b[members] + ridge * d * top[members])
        else:
            y = np.linalg.lstsq(a, b[members], rcond=None)[0]
            x[members] = y + np.sum(d * (top[members] - y)) / np.sum(d)
    return x


def _connected(adjacent, nodes):
    left, sets = set(int(n) for n in nodes), []
    while left:
        stack = [left.pop()]
        found = set(stack)
        while stack:
            for v in np.flatnonzero(adjacent[stack.pop()]):
                if int(v) in left:
                    left.remove(int(v))
                    found.add(int(v))
                    stack.append(int(v))
        sets.append(np.array(sorted(found)))
    return sets


def median_polish_block(logs2):
    """Tukey's median polish of a features x runs block of log2 values:
    the overall level plus each run's effect (NaN for runs without values)."""
    runs = np.flatnonzero(~np.isnan(logs2).all(axis=0))
    z = logs2[:, runs]
    z = z[~np.isnan(z).all(axis=1)]
    out = np.full(logs2.shape[1], np.nan)
    if z.shape[0] == 1:
        out[runs] = z[0]
        return out
    row, col, overall, previous = np.zeros(z.shape[0]), np.zeros(z.shape[1]), 0.0, 0.0
    for _ in range(10):
        delta = np.nanmedian(z, axis=1)
        z, row = z - delta[:, None], row + delta
        shift = np.median(col)
        col, overall = col - shift, overall + shift
        delta = np.nanmedian(z, axis=0)
        z, col = z - delta, col + delta
        shift = np.median(row)
        row, overall = row - shift, overall + shift
        total = np.nansum(np.abs(z))
        done = total == 0 or abs(total - previous) < 0.01 * total
        previous = total
        if done:
            break
    out[runs] = overall + col
    return out


def roll_up(table, method, protein="protein_group", run="run", feature="precursor",
            quantity="quantity", **options):
    """The protein x run frame the compiled function returns."""
    rows = table[[protein, run, feature]].notna().all(axis=1)
    counted = set(table[protein][rows])
    proteins = [p for p in _labels(table[protein]) if p in counted]
    runs = _labels(table[run], every=True)
    out = pd.DataFrame(np.nan, index=pd.Index(proteins, name=protein),
                       columns=pd.Index(runs, name=run))
    values = pd.to_numeric(table[quantity]).astype(float)
    values = values.where(np.isfinite(values) & (values > 0))
    frame = pd.DataFrame({"p": table[protein], "r": table[run], "f": table[feature],
                          "q": values})[rows.to_numpy()]
    for name, part in frame.groupby("p", sort=False, observed=True):
        block = part.pivot(index="f", columns="r", values="q").reindex(columns=runs)
        block = block.to_numpy(dtype=float)
        if method == "maxlfq":
            if block.shape[0] == 1:
                level = block[0]
            else:
                level = np.exp(maxlfq_block(np.log(block), **options))
        elif method == "median_polish":
            level = np.exp2(median_polish_block(np.log2(block)))
        elif method == "top_n":
            n = options.get("n", 3)
            level = np.array([np.mean(np.sort(c[~np.isnan(c)])[::-1][:n]) if (~np.isnan(c)).any()
                              else np.nan for c in block.T])
        else:
            level = np.array([np.sum(c[~np.isnan(c)]) if (~np.isnan(c)).any() else np.nan
                              for c in block.T])
        out.loc[name] = level
    return out


def _labels(column, every=False):
    """Labels in the order the compiled functions give them."""
    if isinstance(column.dtype, pd.CategoricalDtype):
        if every:
            return list(column.cat.categories)
        used = set(column.dropna())
        return [c for c in column.cat.categories if c in used]
    return list(pd.unique(column.dropna()))
