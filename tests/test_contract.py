"""What every public callable of the compiled modules shares: names, argument
binding messages, the module namespace and the decoration at import."""
import importlib.util
import pickle
import re

import pytest

import tessera.tools.utils as utils
from tessera.tools import preprocess as tp

PREPROCESS_NAMES = ["import_data_by_file_name", "remove_decoy", "log_transform",
                    "remove_missing_values", "normalize", "noise_filter", "preprocess"]


def fresh_module(name):
    """Imports a new instance of a compiled module, running its exec step again."""
    spec = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_preprocess_namespace_order():
    names = [n for n in vars(tp) if not n.startswith("__")]
    assert names == ["re", "os", "np", "pd", "math", "print_result"] + PREPROCESS_NAMES


@pytest.mark.parametrize("name", PREPROCESS_NAMES)
def test_functions_look_like_python_functions(name):
    fn = getattr(tp, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "tessera.tools.preprocess"
    assert fn.__doc__ is None
    assert pickle.loads(pickle.dumps(fn)) is fn
    first = "file_name" if name in ("import_data_by_file_name", "preprocess") else "df"
    assert str(__import__("inspect").signature(fn)) == f"({first}, param)"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "normalize() takes exactly 2 positional arguments (0 given)"),
    ((1,), {}, "normalize() takes exactly 2 positional arguments (1 given)"),
    ((1, 2, 3), {}, "normalize() takes exactly 2 positional arguments (3 given)"),
    ((), {"param": 1}, "normalize() takes exactly 2 positional arguments (0 given)"),
    ((), {"df": 1}, "normalize() takes exactly 2 positional arguments (1 given)"),
    ((1, 2), {"df": 1}, "normalize() got multiple values for keyword argument 'df'"),
    ((1,), {"param": 2, "other": 3}, "normalize() got an unexpected keyword argument 'other'"),
    ((1, 2), {"other": 3}, "normalize() got an unexpected keyword argument 'other'"),
    ((1, 2), {5: 3}, "normalize() keywords must be strings"),
])
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        tp.normalize(*args, **kwargs)


def test_keyword_and_positional_calls_agree(tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("INDEX,a\nx,1\n")
    by_position = tp.import_data_by_file_name(str(path), {})
    by_keyword = tp.import_data_by_file_name(param={}, file_name=str(path))
    assert by_position.equals(by_keyword)


class Recorder:
    def __init__(self):
        self.seen = []

    def __call__(self, fn):
        self.seen.append((fn.__name__, fn.__module__))

        def wrapper(*args, **kwargs):
            self.seen.append(("call", fn.__name__))
            return fn(*args, **kwargs)

        return wrapper


def test_each_function_is_decorated_once_in_order(monkeypatch, tmp_path):
    recorder = Recorder()
    monkeypatch.setattr(utils, "print_result", recorder)
    module = fresh_module("tessera.tools.preprocess")
    assert recorder.seen == [(n, "tessera.tools.preprocess") for n in PREPROCESS_NAMES]
    assert module.print_result is recorder

    # the pipeline calls the decorated objects, looked up when it runs
    path = tmp_path / "t.csv"
    path.write_text("INDEX,a\nx,1\nREV__y,2\n")
    recorder.seen.clear()
    result = module.preprocess(str(path), {"remove_decoy": "REV__", "noise_filter": 0})
    assert recorder.seen == [("call", "preprocess"), ("call", "import_data_by_file_name"),
                             ("call", "remove_decoy"), ("call", "noise_filter")]
    assert list(result.index) == ["x"]


def test_pipeline_uses_replaced_step(monkeypatch, tmp_path):
    path = tmp_path / "t.csv"
    path.write_text("INDEX,a\nx,1\n")
    monkeypatch.setattr(tp, "remove_decoy", lambda df, param: "replaced " + param)
    assert tp.preprocess(str(path), {"remove_decoy": "R"}) == "replaced R"


def test_import_fails_without_print_result(monkeypatch):
    monkeypatch.delattr(utils, "print_result")
    with pytest.raises(ImportError, match=re.escape("cannot import name print_result")):
        fresh_module("tessera.tools.preprocess")


def test_decorator_error_aborts_import(monkeypatch):
    def broken(fn):
        raise RuntimeError("no")

    monkeypatch.setattr(utils, "print_result", broken)
    with pytest.raises(RuntimeError, match="no"):
        fresh_module("tessera.tools.preprocess")


def test_reimport_gives_independent_working_module():
    import pandas as pd

    module = fresh_module("tessera.tools.preprocess")
    assert module is not tp and module.normalize is not tp.normalize
    df = pd.DataFrame({"a": [1.0, 3.0]})
    pd.testing.assert_frame_equal(module.noise_filter(df, 2), tp.noise_filter(df, 2))


DIFFERENTIAL_SIGNATURES = {
    "count_valid": "(df, groups)",
    "filter_valid": "(df, groups, min_valid, mode='each')",
    "impute": "(df, columns, method='downshift', shift=1.8, width=0.3, quantile=0.01, seed=0)",
    "test_features": "(df, groups, method, min_valid=2, multipletest_method='fdr_bh', trend=False, "
                     "robust=False, legacy=False)",
    "normalize": "(df, columns, method='ratio_mode', reference=None, reference_column=None, "
                 "min_features=10)",
    "test_hurdle": "(df, groups, method, min_valid=2, multipletest_method='fdr_bh', level=0.05, "
                   "**kwargs)",
    "test_contrasts": "(df, samples, formula, contrasts, *, block=None, sample_weights=False, lfc=0.0, "
                      "trend=False, robust=False, legacy=False, multipletest_method='fdr_bh')",
}


@pytest.mark.parametrize("name", DIFFERENTIAL_SIGNATURES)
def test_differential_functions_and_signatures(name):
    from tessera.tools import differential as td

    fn = getattr(td, name)
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "tessera.tools.differential"
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert str(__import__("inspect").signature(fn)) == DIFFERENTIAL_SIGNATURES[name]
    assert [n for n in vars(td) if not n.startswith("__")] == [*DIFFERENTIAL_SIGNATURES, "METHODS"]


def test_reimported_differential_module_works():
    import pandas as pd

    from tessera.tools import differential as td

    module = fresh_module("tessera.tools.differential")
    assert module is not td and module.test_features is not td.test_features
    df = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, float("nan")], "c": [1.0, 5.0], "d": [2.0, 2.5]})
    groups = {"A": ["a", "b"], "B": ["c", "d"]}
    pd.testing.assert_frame_equal(module.test_features(df, groups, "Welch"),
                                  td.test_features(df, groups, "Welch"))
