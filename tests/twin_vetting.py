"""Plain-Python twin of tessera.tools.vetting.

The class and its helpers are the straightforward per-row / per-value pandas
code that the compiled module must reproduce exactly; the behaviour tests run
against both, and differential tests and benchmarks can use this one as the
reference route. `hypothesis_test` is the two-group kernel of
tessera.tools.stat, written out here so the twin needs no compiled module.
"""
import pandas as pd
import numpy as np
import math


def hypothesis_test(x, y, method="t", equal_var=True, **kwargs):
    from scipy import stats
    from permute.core import two_sample

    if method == "t":
        return stats.ttest_ind(x, y, equal_var=equal_var)
    if method == "paired_t":
        return stats.ttest_1samp(x - y, 0)
    if method == "Welch":
        return stats.ttest_ind(x, y, equal_var=False)
    if method == "Wilcoxon":
        return stats.wilcoxon(x, y)
    if method == "Mannwhiteneyu":
        return stats.mannwhitneyu(x, y)
    if method == "permutation":
        # two_sample's own observed statistic: the pooled t-test on the
        # concatenated samples split after x. When it is NaN (a NaN value, or
        # both groups constant) no permutation can be compared with it and
        # the library would report the smallest p-value; report NaN instead.
        pooled = np.concatenate([x, y])
        observed = stats.ttest_ind(pooled[:len(x)], pooled[len(x):], equal_var=True)[0]
        if np.isnan(observed):
            return np.float64(np.nan), np.float64(np.nan)
        p, t = two_sample(x, y, reps=10000, stat="t", alternative="two-sided", seed=20)
        return t, p
    if method == "log2fc":
        fc = np.mean(x) - np.mean(y)
        return fc, None
    if method == "fc":
        fc = np.mean(x) / np.mean(y)
        return fc, None
    if method == "plog2fc":
        fc = np.mean(np.array(x, dtype=float) - np.array(y, dtype=float))
        return fc, None
    return None


from tessera.tools.result import Result
from scipy.stats import f_oneway
from statsmodels.stats.multitest import multipletests


def _adjust_pvalues(p, method):
    """Multiple-testing adjustment that skips missing p-values.

    The non-NaN p-values are adjusted among themselves (the number of tests is
    their count) and NaN stays where the p-value is NaN. Without NaN this is
    one plain multipletests call on the whole array. Without any non-NaN value
    the library is still called on the whole array, so an unknown method name
    raises its error (some library versions fail on an empty array, so the
    empty subset is never passed), and every entry is NaN.
    """
    p = np.array(p, dtype=float)
    missing = np.isnan(p)
    if not missing.any():
        return multipletests(p, method=method)[1]
    if missing.all():
        multipletests(p, method=method)
        return np.full(p.shape, np.nan)
    adjusted = np.full(p.shape, np.nan)
    adjusted[~missing] = multipletests(p[~missing], method=method)[1]
    return adjusted


class Vetting:
    def __init__(self, param):
        self.param = param

    def build_out_table_path(self, tag):
        return self.param.get("out_dir") + "_{}.csv".format(tag)

    def buil_out_figure_path(self, tag):
        return self.param.get("out_dir") + "_{}.png".format(tag)

    def pca(self, data):
        fig_result = Result(type="figure", content=None)
        tab_result = Result(type="table", content=pd.DataFrame())

    def pca3d(self, data):
        fig_result = Result(type="figure", content=None)
        tab_result = Result(type="table", content=pd.DataFrame())

    def normalization(self, df, method="med_norm", **kwargs):
        if method == "med_norm" or method == "mednorm":
            return self.med_norm(df, **kwargs)
        return None

    def median_df(self, df, **kwargs):
        medians = []
        all_cols = df.columns.values
        cols = kwargs.get("cols", all_cols)
        for col in cols:
            values = np.array(df[col], dtype=float)
            try:
                kept = []
                for v in values:
                    if v is not np.nan and v is not None and not math.isnan(v):
                        kept.append(float(v))
            except BaseException:
                # Show what the column held, then let the failure through:
                # there is no list of kept values to take a median of.
                for v in values:
                    print(v)
                    print(type(v))
                    if v is not np.nan and v is not None and not math.isnan(v):
                        print(float(v))
                raise
            medians.append(np.median(kept))
        return medians

    def med_norm(self, df, **kwargs):
        work = df.replace("None", np.nan)
        cols = df.columns.values
        medians = self.median_df(work, cols=cols)
        for i in range(len(cols)):
            col = cols[i]
            med = medians[i]
            shifted = [np.nan if j is np.nan else float(j) - med for j in list(work[col])]
            work[col] = np.array(shifted, dtype=float)
        return work

    def calc_medians(self, df, names):
        selected = df[df.index.isin(names)]
        return self.median_df(selected)

    def force_norm_df(self, df, medians):
        work = df.copy(deep=True)
        cols = list(work.columns.values)
        for i in range(len(cols)):
            m = np.nanmedian(work[cols[i]])
            work[cols[i]] -= m - medians[i]
        return work

    def detect_outlie(self, data):
        fig_result = Result(type="figure", content=None)
        tab_result = Result(type="table", content=pd.DataFrame())

    def detect_outlie2(self, data1, data2):
        fig_result = Result(type="figure", content=None)
        tab_result = Result(type="table", content=pd.DataFrame())

    def detect_outlie3(self, data_sets):
        fig_result = Result(type="figure", content=None)
        tab_result = Result(type="table", content=pd.DataFrame())

    def profiling(self, data):
        fig_result = Result(type="figure", content=None)
        tab_result = Result(type="table", content=pd.DataFrame())

    def count_features_per_sample(self, data):
        pass

    def plot_counts(self, data, count):
        pass

    def plot_normaliztion_result(self, data, result):
        pass

    def plot_outlie(self, data):
        pass

    def noise_filter(self, data):
        fig_result = Result(type="figure", content=None)
        tab_result = Result(type="table", content=pd.DataFrame())

    def stat_test_two_samples(self, df, groups, method, **kwargs):
        fc_method = kwargs.get("fold_change_method", "group")
        g1 = groups[0][1]
        g2 = groups[1][1]
        fold = []
        if fc_method == "group":
            fg = df.loc[:, g1].mean(axis=1)
            dg = df.loc[:, g2].mean(axis=1)
            fold = fg - dg
        elif fc_method == "paired":
            for index, row in df.iterrows():
                fc = []
                for i in range(len(g1)):
                    fc.append(row[g1[i]] - row[g2[i]])
                fold.append(np.mean(fc))
        rows = []
        for index, row in df.iterrows():
            # A row from iterrows may share memory with df on pandas without
            # copy-on-write; writing the statistics into it must not reach df.
            row = row.copy()
            x = np.array(row[groups[0][1]], dtype=float)
            y = np.array(row[groups[1][1]], dtype=float)
            stat, p = hypothesis_test(x, y, method, **kwargs)
            row[method + "_stat"] = stat
            row[method + "_p"] = p
            rows.append(row)
        rdf = pd.DataFrame(rows)
        p = np.array(rdf[method + "_p"], dtype=float)
        multipletest_method = kwargs.get("multipletest_method", "fdr_bh")
        rdf[method + "_" + multipletest_method] = _adjust_pvalues(p, multipletest_method)
        rdf[fc_method + "_fc"] = fold
        return rdf

    def stat_test_oneway(self, df, groups, **kwargs):
        rows = []
        for index, row in df.iterrows():
            row = row.copy()
            data = []
            for group in groups:
                data.append(np.array(row[group[1]], dtype=float))
            stat, p = f_oneway(*data)
            row["oneway_stat"] = stat
            row["oneway_p"] = p
            rows.append(row)
        rdf = pd.DataFrame(rows)
        p = np.array(rdf["oneway" + "_p"], dtype=float)
        multipletest_method = kwargs.get("multipletest_method", "fdr_bh")
        rdf["oneway" + "_" + multipletest_method] = _adjust_pvalues(p, multipletest_method)
        return rdf
