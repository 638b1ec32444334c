"""The test table's owner: which features are significant, and what is
counted of them."""
import numpy as np
import pandas as pd
import pytest

from tessera.cli.results import ResultColumns, result_counts, significant

N = np.nan
WELCH = ResultColumns("Welch", "fdr_bh", ("a", "b"), "group")


@pytest.mark.parametrize("p, adjusted, fc, threshold, expected", [
    (0.0, 0.0, 2.0, None, True),        # an underflowed p-value is below every level
    (0.0, 0.0, -0.5, 1.0, False),       # and still needs the fold-change threshold
    (0.0, 0.0, N, None, False),         # and a fold change where one is asked for
    (0.0, 0.2, 2.0, None, False),       # what counts is the adjusted p-value
    (1e-6, 0.05, 2.0, None, False),     # at the level is not below it
    (1e-6, 0.049, -1.0, 1.0, True),     # at the threshold, in either direction
    (1e-6, 0.049, 0.0, None, True),     # any fold change without a threshold
    (N, N, 2.0, None, False),           # not tested
    (N, 0.01, 2.0, None, False),        # an adjusted p-value without a p-value
])
def test_one_rule_decides_significance(p, adjusted, fc, threshold, expected):
    p, adjusted, fc = (pd.Series([v]) for v in (p, adjusted, fc))
    assert significant(p, adjusted, fc, fc_threshold=threshold).tolist() == [expected]


@pytest.mark.parametrize("fold_change, threshold, expected", [
    ("group", None, {"tested": 5, "significant": 3,
                     "direction": {"higher in a": 2, "higher in b": 1}}),
    ("group", 1.0, {"tested": 5, "significant": 2,
                    "direction": {"higher in a": 1, "higher in b": 1}}),
    # three or more groups: no fold change, so no direction and no threshold
    (None, 1.0, {"tested": 5, "significant": 4, "direction": {}}),
])
def test_counts_take_p_values_of_zero_like_any_other(fold_change, threshold, expected):
    columns = ResultColumns("Welch", "fdr_bh", ("a", "b"), fold_change)
    table = pd.DataFrame({"Welch_p": [0.0, 0.0, 1e-4, 0.3, N, 1e-5],
                          "Welch_fdr_bh": [0.0, 0.0, 0.01, 0.4, N, 0.02],
                          "group_fc": [3.0, 0.5, -2.0, 1.0, 4.0, N]})
    assert result_counts(table, columns, fc_threshold=threshold) == expected
