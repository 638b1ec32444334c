"""Plain-Python twin of tessera.tools.preprocess.

Each function is the straightforward per-cell / per-row pandas code that the
compiled module must reproduce exactly. Tests compare the two on random
tables; the benchmarks time the compiled module against it.
"""
import math
import os
import re

import numpy as np
import pandas as pd


def import_data_by_file_name(file_name, param):
    index = param.get("index", "INDEX")
    bn, ext = os.path.splitext(file_name)
    if ext == ".xlsx":
        df = pd.read_excel(file_name, sheet_name=0)
    elif ext == ".csv":
        df = pd.read_csv(file_name, sep=",")
    elif ext == ".tsv":
        df = pd.read_csv(file_name, sep="\t")
    else:
        return None
    return df.set_index(index)


def remove_decoy(df, param):
    prefix = str(param)
    return df[~df.index.str.contains(prefix)]


def log_transform(df, param):
    try:
        log_base = int(param)
        return df.map(lambda i: math.log(float(i), log_base))
    except ValueError:
        print("Fail to do log transform")
        return df


def remove_missing_values(df, param):
    rm_percent = float(str(param).strip("%"))
    fraction = df.notnull().sum(axis=1) / df.shape[1]
    return df[fraction >= rm_percent / 100.0]


def normalize(df, param):
    data_type, norm_method, norm_value = re.split("_", param)
    norm_value = float(norm_value)
    if norm_method == "median":
        medians = df.median(axis=0)
        if data_type == "log":
            df -= medians + norm_value
        elif data_type == "origin":
            df /= medians * norm_value
    return df


def noise_filter(df, param):
    threshold = int(param)
    return df.map(lambda i: np.nan if i < threshold else i)


def preprocess(file_name, param):
    df = import_data_by_file_name(file_name=file_name, param=param)
    for step in ("remove_decoy", "noise_filter", "log_transform",
                 "remove_missing_values", "normalize"):
        if step in param:
            df = globals()[step](df, param=param[step])
    return df
