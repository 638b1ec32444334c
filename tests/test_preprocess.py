"""Behaviour and failure paths of the public functions of tessera.tools.preprocess:
table import, decoy removal, log transform, missing-value filter, median
normalisation, noise filter and the pipeline that chains them."""
import math
import operator
import os
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from conftest import message_of, outcome, real_data
from tessera.tools import preprocess as tp

FAIL = "Fail to do log transform\n"
NAN = np.nan


def frame(data, labels, name="INDEX"):
    return pd.DataFrame(data, index=pd.Index(labels, name=name))
CSV_ROWS = [["INDEX", "S1", "S2"], ["P1", "1.5", "2"], ["P2", "", "4"]]
IMPORTED = frame({"S1": [1.5, NAN], "S2": [2, 4]}, ["P1", "P2"])


def write_rows(path, sep, rows=CSV_ROWS):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(sep.join(r) + "\n" for r in rows))
    return str(path)


@pytest.mark.parametrize("name, sep", [
    ("t.csv", ","),
    ("t.tsv", "\t"),
    ("run.1.tsv", "\t"),    # only the last extension counts
    ("run.tsv.csv", ","),
])
def test_import_reader_follows_extension(tmp_path, capsys, name, sep):
    result = tp.import_data_by_file_name(write_rows(tmp_path / name, sep), {})
    pd.testing.assert_frame_equal(result, IMPORTED)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name", [
    "t.CSV", "t.Tsv", "t.XLSX", "t.xls", "t.txt", "t", "t.csv.bak",
    ".csv",                          # a leading dot starts no extension
    os.path.join("d.csv", "table"),  # the dot is in the directory, not the file
])
def test_import_unrecognised_extension_gives_none(tmp_path, capsys, name):
    path = write_rows(tmp_path / name, ",")  # readable content, never read
    assert tp.import_data_by_file_name(path, {"index": "INDEX"}) is None
    assert capsys.readouterr().out == ""


def test_import_reads_first_sheet_only(tmp_path):
    path = tmp_path / "t.xlsx"
    with pd.ExcelWriter(path) as writer:
        pd.DataFrame({"ID": ["P1", "P2"], "S1": [1.5, 2.5]}).to_excel(
            writer, sheet_name="values", index=False)
        pd.DataFrame({"ID": ["Q9"], "S9": [7.0]}).to_excel(
            writer, sheet_name="Sheet1", index=False)
    result = tp.import_data_by_file_name(str(path), {"index": "ID"})
    expected = frame({"S1": [1.5, 2.5]}, ["P1", "P2"], name="ID")
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("param, expected", [
    ({}, IMPORTED),
    ({"normalize": "log_median_0", "other": 1}, IMPORTED),
    ({"index": "S2"}, frame({"INDEX": ["P1", "P2"], "S1": [1.5, NAN]}, [2, 4], name="S2")),
])
def test_import_index_column(tmp_path, param, expected):
    result = tp.import_data_by_file_name(write_rows(tmp_path / "t.csv", ","), param)
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("param, missing", [({}, "INDEX"), ({"index": "Protein"}, "Protein")])
def test_import_missing_index_column_raises_key_error(tmp_path, param, missing):
    rows = [["ID", "S1"], ["P1", "1"]]
    with pytest.raises(KeyError, match=re.escape(missing)):
        tp.import_data_by_file_name(write_rows(tmp_path / "t.csv", ",", rows), param)


@pytest.mark.parametrize("name", ["t.unknown", "absent.csv", "absent.xlsx"])
@pytest.mark.parametrize("param", [None, ["index"], "index"])
def test_import_param_without_get_fails_before_reading(tmp_path, name, param):
    msg = f"'{type(param).__name__}' object has no attribute 'get'"
    with pytest.raises(AttributeError, match=re.escape(msg)):
        tp.import_data_by_file_name(str(tmp_path / name), param)
LABELS = ["REV__P1", "P2", "P3_REV__", "rev__P4", "PX5", "P.6", "A|B", "B7", "P21"]


@pytest.mark.parametrize("pattern, removed", [
    ("REV__", ["REV__P1", "P3_REV__"]),  # anywhere in the label, case-sensitive
    ("", LABELS),                        # the empty pattern is in every label
    (1, ["REV__P1", "P21"]),             # a number looks for its decimal text
    (21, ["P21"]),
    ("P.5", ["PX5"]),                    # "." is any character
    ("A|B", ["A|B", "B7"]),              # "|" is alternation
    ("^P", ["P2", "P3_REV__", "PX5", "P.6", "P21"]),
])
def test_remove_decoy_pattern(capsys, pattern, removed):
    df = frame({"S1": np.arange(len(LABELS), dtype=float)}, LABELS)
    result = tp.remove_decoy(df, pattern)
    expected = df.loc[[label for label in LABELS if label not in removed]]
    pd.testing.assert_frame_equal(result, expected)
    assert capsys.readouterr().out == ""


# What pandas raises for a bad pattern: re.error, or pyarrow's ArrowInvalid
# where pandas keeps text in pyarrow arrays (its default once pyarrow is there).
BAD_PATTERN = outcome(lambda: frame({"S1": [1.0]}, ["P1"]).index.str.contains("("))


@pytest.mark.parametrize("df, pattern, error, msg", [
    (pd.DataFrame({"S1": [1.0, 2.0]}, index=[10, 20]), "1", AttributeError,
     "Can only use .str accessor"),  # labels that are not text
    (frame({"S1": [1.0]}, ["P1"]), "(", type(BAD_PATTERN), str(BAD_PATTERN)),
])
def test_remove_decoy_errors(df, pattern, error, msg):
    with pytest.raises(error, match=re.escape(msg)):
        tp.remove_decoy(df, pattern)
@pytest.mark.parametrize("base, values, logs", [
    (2, [2.0, 8.0, NAN, np.inf, 0.5], [1.0, 3.0, NAN, np.inf, -1.0]),
    ("10", [10.0, 1000.0, NAN, 0.1, 1.0], [1.0, 3.0, NAN, -1.0, 0.0]),
    (2.5, [2.0, 8.0, NAN, 4.0, 1.0], [1.0, 3.0, NAN, 2.0, 0.0]),  # the fraction is cut off
    (10.99, [10.0, 100.0, NAN, 1.0, 1e6], [1.0, 2.0, NAN, 0.0, 6.0]),
])
def test_log_transform_values(capsys, base, values, logs):
    df = frame({"S1": values, "S2": [4, 16, 1, 2, 32]}, list("abcde"))
    result = tp.log_transform(df, base)
    exp_s2 = [math.log(v, int(float(base))) for v in [4, 16, 1, 2, 32]]
    expected = frame({"S1": logs, "S2": exp_s2}, list("abcde"))
    pd.testing.assert_frame_equal(result, expected)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("data, base", [
    ({"S1": [2.0, 0.0, 8.0]}, 2),  # one zero spoils the whole table
    ({"S1": [2.0, -4.0, 8.0]}, 2),
    ({"S1": [2.0, 4.0, -np.inf]}, 2),
    ({"S1": [2.0, 4.0, 8.0], "gene": ["g1", "g2", "g3"]}, 2),  # text float() rejects
    ({"S1": [2.0, 4.0, 8.0]}, "2.5"),  # text int() rejects
    ({"S1": [2.0, 4.0, 8.0]}, "two"),
    ({"S1": [2.0, 4.0, 8.0]}, 0),
    ({"S1": [2.0, 4.0, 8.0]}, -1),
])
def test_log_transform_failure_returns_input_untouched(capsys, data, base):
    df = frame({**data, "S2": [1.0, NAN, 3.0]}, ["a", "b", "c"])
    before = df.copy(deep=True)
    result = tp.log_transform(df, base)
    assert result is df
    pd.testing.assert_frame_equal(df, before)
    assert capsys.readouterr().out == FAIL


@pytest.mark.parametrize("base, error", [
    (1, ZeroDivisionError),
    (None, TypeError),
    ([2], TypeError),
])
def test_log_transform_uncaught_errors(capsys, base, error):
    df = frame({"S1": [2.0, 4.0]}, ["a", "b"])
    msg = message_of(lambda: math.log(2.0, int(base)))
    with pytest.raises(error, match=re.escape(msg)):
        tp.log_transform(df, base)
    assert capsys.readouterr().out == ""
FOUR = frame({"a": [1.0, 1.0, 1.0, 1.0, NAN],
              "b": [1.0, 1.0, 1.0, NAN, NAN],
              "c": [1.0, 1.0, NAN, NAN, NAN],
              "d": [1.0, NAN, NAN, NAN, NAN]}, ["r4", "r3", "r2", "r1", "r0"])


@pytest.mark.parametrize("param, kept", [
    (50, ["r4", "r3", "r2"]),        # two of four values is exactly 50%: kept
    (50.0, ["r4", "r3", "r2"]),
    ("50", ["r4", "r3", "r2"]),
    ("50%", ["r4", "r3", "r2"]),
    ("%50%%", ["r4", "r3", "r2"]),
    (75, ["r4", "r3"]),
    ("25.5", ["r4", "r3", "r2"]),
    (0, ["r4", "r3", "r2", "r1", "r0"]),
    (-10, ["r4", "r3", "r2", "r1", "r0"]),
    (100, ["r4"]),
    (100.01, []),
    ("150%", []),
])
def test_remove_missing_values_threshold(capsys, param, kept):
    result = tp.remove_missing_values(FOUR, param)
    pd.testing.assert_frame_equal(result, FOUR.loc[kept])
    assert capsys.readouterr().out == ""


def test_remove_missing_values_counts_every_column():
    df = FOUR.assign(gene=["g"] * 5)  # r1 now has 2 of 5 cells filled
    result = tp.remove_missing_values(df, 40)
    pd.testing.assert_frame_equal(result, df.loc[["r4", "r3", "r2", "r1"]])


@pytest.mark.parametrize("param", [0, 50])
def test_remove_missing_values_without_columns_drops_all_rows(param):
    df = pd.DataFrame(index=pd.Index(["a", "b"], name="INDEX"))
    result = tp.remove_missing_values(df, param)
    pd.testing.assert_frame_equal(result, df.iloc[:0])


@pytest.mark.parametrize("param, text", [("half", "half"), ("5%0", "5%0"),
                                         ("%", ""), (None, "None")])
def test_remove_missing_values_non_number_raises_value_error(param, text):
    with pytest.raises(ValueError, match=re.escape(message_of(float, text))):
        tp.remove_missing_values(FOUR, param)
def sample_table():
    return frame({"S1": [1.0, 2.0, 3.0, NAN], "S2": [10.0, 20.0, 40.0, 80.0]},
                 ["a", "b", "c", "d"])


@pytest.mark.parametrize("param, combine, median", [
    ("log_median_0", lambda df, m: df - m, 0.0),
    ("log_median_1", lambda df, m: df - m - 1, -1.0),
    ("log_median_-1", lambda df, m: df - m + 1, 1.0),
    ("log_median_2.5", lambda df, m: df - m - 2.5, -2.5),
    ("origin_median_1", lambda df, m: df / m, 1.0),
    ("origin_median_2", lambda df, m: df / (2 * m), 0.5),
    ("origin_median_0.25", lambda df, m: df / (0.25 * m), 4.0),
])
def test_normalize_in_place(capsys, param, combine, median):
    df = sample_table()
    original = df.copy(deep=True)
    result = tp.normalize(df, param)
    assert result is df
    expected = combine(original, original.median())
    pd.testing.assert_frame_equal(df, expected)
    pd.testing.assert_series_equal(df.median(), pd.Series(median, index=["S1", "S2"]))
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("data, param, normalized", [
    ({"S1": [1, 2, 3], "S2": [4, 8, 100]}, "origin_median_1",  # int64 in, float out
     {"S1": [0.5, 1.0, 1.5], "S2": [0.5, 1.0, 12.5]}),
    ({"S1": [0.0, 0.0, 1.0], "S2": [1.0, 2.0, 3.0]}, "origin_median_0",  # no error
     {"S1": [NAN, NAN, np.inf], "S2": [np.inf] * 3}),
])
def test_normalize_dtype_and_division_by_zero(data, param, normalized):
    df = frame(data, ["a", "b", "c"])
    assert tp.normalize(df, param) is df
    pd.testing.assert_frame_equal(df, frame(normalized, ["a", "b", "c"]))


@pytest.mark.parametrize("param", ["log_mean_0", "raw_median_0", "LOG_median_0",
                                   "log_Median_0", "_median_0", "log_mean_-3"])
def test_normalize_unrecognised_setting_is_no_op(capsys, param):
    df = sample_table()
    result = tp.normalize(df, param)
    assert result is df
    pd.testing.assert_frame_equal(df, sample_table())
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("param, msg", [
    ("log", "need more than 1 value to unpack"),
    ("log_median", "need more than 2 values to unpack"),
    ("log_median_0_1", "too many values to unpack (expected 3)"),
    ("log_median_x", message_of(float, "x")),
    ("log_mean_x", message_of(float, "x")),  # the number is read before the method
    ("raw_median_", message_of(float, "")),
])
def test_normalize_bad_setting_raises_value_error(param, msg):
    df = sample_table()
    with pytest.raises(ValueError, match=re.escape(msg)):
        tp.normalize(df, param)
    pd.testing.assert_frame_equal(df, sample_table())


@pytest.mark.parametrize("param", [0, None, 1.5, ["log", "median", "0"]])
def test_normalize_non_text_setting_raises_type_error(param):
    with pytest.raises(TypeError, match=re.escape(message_of(re.split, "_", param))):
        tp.normalize(sample_table(), param)
@pytest.mark.parametrize("param, values, filtered", [
    (1000, [999.0, 1000.0, 1001.0, NAN], [NAN, 1000.0, 1001.0, NAN]),
    (0.9, [-0.5, 0.0, 0.5, NAN], [NAN, 0.0, 0.5, NAN]),      # threshold 0
    ("5", [4.0, 5.0, 6.0, NAN], [NAN, 5.0, 6.0, NAN]),
    (5.99, [4.0, 5.0, 5.5, NAN], [NAN, 5.0, 5.5, NAN]),      # cut, not rounded
    (-1.5, [-2.0, -1.0, -0.5, NAN], [NAN, -1.0, -0.5, NAN]),  # cut toward zero
    (2, [-np.inf, np.inf, 1.0, 2.0], [NAN, np.inf, NAN, 2.0]),
])
def test_noise_filter_threshold(capsys, param, values, filtered):
    df = frame({"S1": values, "S2": [5000.0] * 4}, list("abcd"))  # above every threshold
    result = tp.noise_filter(df, param)
    expected = frame({"S1": filtered, "S2": [5000.0] * 4}, list("abcd"))
    pd.testing.assert_frame_equal(result, expected)
    assert capsys.readouterr().out == ""


def test_noise_filter_keeps_rows_that_become_empty():
    df = frame({"S1": [1.0, 50.0], "S2": [NAN, 60.0]}, ["low", "high"])
    result = tp.noise_filter(df, 10)
    expected = frame({"S1": [NAN, 50.0], "S2": [NAN, 60.0]}, ["low", "high"])
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("param, expected_s1", [
    (5, pd.Series([5, 6], dtype="int64")),         # nothing below: stays int64
    (6, pd.Series([NAN, 6.0], dtype="float64")),
])
def test_noise_filter_integer_columns(param, expected_s1):
    df = frame({"S1": np.array([5, 6], dtype="int64"), "S2": [7.0, 8.0]}, ["a", "b"])
    result = tp.noise_filter(df, param)
    expected = frame({"S1": expected_s1.to_numpy(), "S2": [7.0, 8.0]}, ["a", "b"])
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("df, param, error, msg", [
    (frame({"S1": [1.0]}, ["a"]), "5.5", ValueError, message_of(int, "5.5")),
    (frame({"S1": [1.0]}, ["a"]), None, TypeError, message_of(int, None)),
    (frame({"gene": ["g1"], "S1": [1.0]}, ["a"]), 5, TypeError,
     message_of(operator.lt, "g1", 5)),
])
def test_noise_filter_errors(df, param, error, msg):
    with pytest.raises(error, match=re.escape(msg)):
        tp.noise_filter(df, param)
@pytest.mark.parametrize("name, param", [
    ("remove_decoy", "REV__"),
    ("log_transform", 2),
    ("log_transform", "x"),  # failure path: the very input comes back
    ("remove_missing_values", 50),
    ("noise_filter", 3),
])
def test_steps_other_than_normalize_leave_input_unchanged(name, param):
    df = frame({"S1": [2.0, NAN, 8.0], "S2": [1, 4, 16]}, ["REV__a", "b", "c"])
    before = df.copy(deep=True)
    result = getattr(tp, name)(df, param)
    pd.testing.assert_frame_equal(df, before)
    assert (result is df) == (param == "x")
PIPE = frame({"S1": [0.0, 4.0, 16.0, 64.0, 2.0],
              "S2": [8.0, 0.0, 2.0, 32.0, 4096.0],
              "S3": [2.0, 8.0, 4.0, 0.5, 1024.0]},
             ["P1", "P2", "P3", "P4", "REV__P5"])
ALL_STEPS = {"remove_decoy": "REV__", "noise_filter": 1, "log_transform": 2,
             "remove_missing_values": 100, "normalize": "log_median_0"}


@pytest.fixture
def pipe_csv(tmp_path):
    path = tmp_path / "pipe.csv"
    PIPE.to_csv(path)
    return str(path)


@pytest.mark.parametrize("param", [{}, {"index": "INDEX"}, {"remove-decoy": "REV__", "x": 1}])
def test_preprocess_without_steps_returns_imported_table(pipe_csv, capsys, param):
    result = tp.preprocess(pipe_csv, param)
    pd.testing.assert_frame_equal(result, PIPE)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("keys", [list(ALL_STEPS), list(reversed(ALL_STEPS)),
                                  ["normalize", "remove_decoy", "remove_missing_values",
                                   "noise_filter", "log_transform"]])
def test_preprocess_step_order_is_fixed(pipe_csv, capsys, keys):
    result = tp.preprocess(pipe_csv, {key: ALL_STEPS[key] for key in keys})
    x = PIPE[~PIPE.index.str.startswith("REV__")]
    x = np.log2(x.where(x >= 1))
    x = x[x.notnull().all(axis=1)]
    expected = x - x.median()
    pd.testing.assert_frame_equal(result, expected)
    assert capsys.readouterr().out == ""


def test_preprocess_noise_filter_spares_log_transform_the_zeros(pipe_csv, capsys):
    result = tp.preprocess(pipe_csv, {"log_transform": 2, "noise_filter": 1})
    pd.testing.assert_frame_equal(result, np.log2(PIPE.where(PIPE >= 1)))
    assert capsys.readouterr().out == ""


def test_preprocess_failed_log_leaves_linear_values_for_later_steps(pipe_csv, capsys):
    result = tp.preprocess(pipe_csv, {"log_transform": 2, "normalize": "origin_median_1"})
    pd.testing.assert_frame_equal(result, PIPE / PIPE.median())
    assert capsys.readouterr().out == FAIL


def test_preprocess_missing_value_filter_counts_noise_emptied_cells(pipe_csv):
    result = tp.preprocess(pipe_csv, {"remove_missing_values": "60%", "noise_filter": 3})
    x = PIPE.where(PIPE >= 3)
    expected = x[x.notnull().sum(axis=1) / 3 >= 0.6]
    assert list(expected.index) == ["P2", "P3", "P4", "REV__P5"]
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("param", [
    {}, {"index": "INDEX", "other": 1}, *({key: value} for key, value in ALL_STEPS.items())])
def test_preprocess_unrecognised_extension(tmp_path, capsys, param):
    path = tmp_path / "pipe.txt"
    PIPE.to_csv(path)
    if not set(param) & set(ALL_STEPS):
        assert tp.preprocess(str(path), param) is None
    else:  # the first step meets the None the import gave
        with pytest.raises(AttributeError, match=re.escape("'NoneType' object has no attribute")):
            tp.preprocess(str(path), param)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("key, error, msg", [
    ("noise_filter", TypeError, message_of(int, None)),
    ("log_transform", TypeError, message_of(int, None)),
    ("remove_missing_values", ValueError, message_of(float, "None")),
    ("normalize", TypeError, message_of(re.split, "_", None)),
])
def test_preprocess_step_with_none_setting_still_runs(pipe_csv, key, error, msg):
    with pytest.raises(error, match=re.escape(msg)):
        tp.preprocess(pipe_csv, {key: None})


def test_preprocess_decoy_pattern_none_looks_for_the_text_none(tmp_path):
    path = tmp_path / "t.csv"
    frame({"S1": [1.0, 2.0]}, ["P_None", "P2"]).to_csv(path)
    result = tp.preprocess(str(path), {"remove_decoy": None})
    pd.testing.assert_frame_equal(result, frame({"S1": [2.0]}, ["P2"]))
MAJORITY = "Majority protein IDs"
CD34 = "cd34_lfq_proteinGroups.tsv"


def test_cd34_decoy_removal_on_majority_ids():
    result = tp.preprocess(str(real_data(CD34)), {"index": MAJORITY, "remove_decoy": "REV__"})
    assert result.shape == (1442, 153)
    assert result.index.name == MAJORITY
    assert not result.index.str.contains("REV__").any()


def test_cd34_full_pipeline_on_lfq_columns(tmp_path):
    raw = pd.read_csv(real_data(CD34), sep="\t")
    lfq = [c for c in raw.columns if c.startswith("LFQ intensity ")]
    assert len(lfq) == 15
    path = tmp_path / "lfq.tsv"  # the LFQ columns only, in a scratch directory
    raw[[MAJORITY] + lfq].to_csv(path, sep="\t", index=False)
    result = tp.preprocess(str(path), {
        "index": MAJORITY, "remove_decoy": "REV__", "noise_filter": 1,
        "log_transform": 2, "remove_missing_values": 70, "normalize": "log_median_0"})

    x = raw.set_index(MAJORITY)[lfq]
    x = x[~x.index.str.contains("REV__", regex=False)].astype(float)
    x = np.log2(x.mask(x == 0))
    x = x[x.notna().mean(axis=1) >= 0.7]
    expected = x - x.median()
    assert len(expected) == 379
    pd.testing.assert_frame_equal(result, expected)
