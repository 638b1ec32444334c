// tessera.tools.preprocess: table import and the cleaning steps of the pipeline.
//
// Every function looks its libraries and sibling functions up in the module
// namespace when it runs. The per-cell steps (log transform, noise filter)
// have a fast route over float64/int64 columns that is reference-exact (the
// same frame as the reference route, mapping the per-cell Python function
// over the table); any table or namespace the fast route cannot vouch for
// takes the reference route.
#include "frames/columns.hpp"
#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/module.hpp"
#include "pyapi/outcome.hpp"

#include "kernels/cellwise.hpp"
#include "kernels/columnwise.hpp"
#include "kernels/parallel.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace tessera::preprocess {

using frames::column_set;
using frames::column_view;
using frames::output_column;
using pyapi::outcome;
using pyapi::ref;

namespace {

// Library objects captured at import; the fast routes run only while the
// namespace still holds these very objects.
enum class object {
    numpy, math, math_log, frame_type, frame_map, frame_median, frame_notnull, index_type,
    series_type, float64, int64, count
};

struct module_state {
    pyapi::object_slots<object> objects;

    PyObject* operator[](object o) const { return objects[o]; }
};

module_state* state_of(PyObject* module) { return pyapi::state_of<module_state>(module); }

PyObject* namespace_of(PyObject* module) { return PyModule_GetDict(module); }

// import_data_by_file_name(file_name, param)
PyObject* import_data_by_file_name(PyObject* module, pyapi::bound_args& a) {
    PyObject* g = namespace_of(module);
    PyObject* file_name = a[0];
    ref key = pyapi::str("index");
    ref fallback = pyapi::str("INDEX");
    ref index = pyapi::call_method(a[1], "get", {key.get(), fallback.get()});
    if (!index) return nullptr;

    ref parts = pyapi::call(pyapi::attr(pyapi::attr(pyapi::global(g, "os"), "path"), "splitext"),
                            {file_name});
    ref base_and_ext[2];
    if (pyapi::unpack(parts.get(), 2, base_and_ext) < 0) return nullptr;
    PyObject* ext = base_and_ext[1].get();

    ref df;
    int is = pyapi::equals(ext, ".xlsx");
    if (is < 0) return nullptr;
    if (is) {
        ref zero = ref::steal(PyLong_FromLong(0));
        df = pyapi::call(pyapi::attr(pyapi::global(g, "pd"), "read_excel"), {file_name},
                         {{"sheet_name", zero.get()}});
    } else {
        const char* sep = nullptr;
        if ((is = pyapi::equals(ext, ".csv")) < 0) return nullptr;
        if (is) sep = ",";
        else {
            if ((is = pyapi::equals(ext, ".tsv")) < 0) return nullptr;
            if (!is) Py_RETURN_NONE;
            sep = "\t";
        }
        ref sep_text = pyapi::str(sep);
        df = pyapi::call(pyapi::attr(pyapi::global(g, "pd"), "read_csv"), {file_name},
                         {{"sep", sep_text.get()}});
    }
    if (!df) return nullptr;
    // The column becomes the row index. pandas deprecates set_index's
    // inplace form; the frame it returns is the same table.
    return pyapi::call_method(df.get(), "set_index", {index.get()}).release();
}

bool is_frame(module_state* st, PyObject* df) {
    return Py_TYPE(df) == reinterpret_cast<PyTypeObject*>((*st)[object::frame_type]);
}

// 1 when `df` is a plain DataFrame whose method `name` is still the one
// captured at import (nobody replaced it on the class), 0 when not, -1 on error.
int frame_method_is(module_state* st, PyObject* df, const char* name, PyObject* captured) {
    if (!is_frame(st, df)) return 0;
    ref method = pyapi::attr((*st)[object::frame_type], name);
    if (!method) return -1;
    return method.get() == captured;
}

// Loads the columns of a plain numeric DataFrame: 1 when loaded, 0 when the
// table needs pandas' own route (other dtypes, no rows or columns), -1 on error.
int load_numeric(module_state* st, PyObject* df, const char* method, object captured,
                 column_set& cols) {
    int ok = frame_method_is(st, df, method, (*st)[captured]);
    if (ok <= 0) return ok;
    return cols.load(df, (*st)[object::numpy], (*st)[object::float64], (*st)[object::int64]);
}

// A frame with df's index and columns over a (columns, rows) block.
ref frame_from_block(module_state* st, PyObject* df, frames::output_block& block) {
    ref values = pyapi::attr(block.take(), "T");
    ref index = pyapi::attr(df, "index");
    ref columns = pyapi::attr(df, "columns");
    if (!values || !index || !columns) return {};
    return pyapi::call((*st)[object::frame_type], {values.get()},
                       {{"index", index.get()}, {"columns", columns.get()}, {"copy", Py_False}});
}

// The frame DataFrame.map builds from per-column result arrays: the arrays
// keyed by position, then df's index and columns.
ref frame_from_arrays(module_state* st, PyObject* df, const std::vector<ref>& arrays) {
    ref data = ref::steal(PyDict_New());
    if (!data) return {};
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        ref key = ref::steal(PyLong_FromSize_t(i));
        if (!key || PyDict_SetItem(data.get(), key.get(), arrays[i].get()) < 0) return {};
    }
    ref result = pyapi::call((*st)[object::frame_type], {}, {{"data", data.get()}});
    if (!result) return {};
    if (pyapi::set_attr(result.get(), "index", pyapi::attr(df, "index").get()) < 0 ||
        pyapi::set_attr(result.get(), "columns", pyapi::attr(df, "columns").get()) < 0)
        return {};
    return result;
}

// Carries df's metadata (attrs, flags) over, as DataFrame.map does last.
ref finish_like_map(PyObject* df, ref result) {
    ref how = pyapi::str("map");
    if (!result || !how) return {};
    return pyapi::call_method(result.get(), "__finalize__", {df, how.get()});
}

constexpr std::int64_t exact_double_limit = std::int64_t{1} << 53;

// Batch log transform; declines when a cell has no logarithm (the reference
// route then reports the failure as the per-cell function meets it).
outcome batch_log(module_state* st, PyObject* df, const column_set& cols, std::int64_t base) {
    const std::size_t n = cols.rows();
    frames::output_block block((*st)[object::numpy], cols.size(), n);
    if (!block) return ref();
    std::vector<std::size_t> done(cols.size());
    if (pyapi::without_gil([&] {
            kernels::parallel_for(cols.size(), [&](std::size_t c) {
                const column_view& in = cols[c];
                done[c] = in.is_int ? kernels::log_cells(in.ints(), block.column(c), n, base)
                                    : kernels::log_cells(in.doubles(), block.column(c), n, base);
            });
        }) < 0 || pyapi::check_interrupt() < 0)
        return ref();
    for (std::size_t c = 0; c < cols.size(); ++c)
        if (done[c] != n) return outcome::decline();
    return finish_like_map(df, frame_from_block(st, df, block));
}

// Batch noise filter over loaded columns.
ref batch_noise(module_state* st, PyObject* df, const column_set& cols, std::int64_t t,
                double missing) {
    const std::size_t n = cols.rows();
    // An int64 column keeps its dtype when no cell falls below the threshold.
    std::vector<std::size_t> below(cols.size(), 1);
    if (pyapi::without_gil([&] {
            kernels::parallel_for(cols.size(), [&](std::size_t c) {
                if (cols[c].is_int) below[c] = kernels::count_below(cols[c].ints(), n, t);
            });
        }) < 0)
        return {};
    bool all_float = true;
    for (std::size_t b : below) all_float = all_float && b;

    auto filter = [&](std::size_t c, double* dest) {
        const column_view& in = cols[c];
        if (in.is_int) kernels::noise_cells(in.ints(), dest, n, t, missing);
        else kernels::noise_cells(in.doubles(), dest, n, t, missing);
    };
    if (all_float) {
        frames::output_block block((*st)[object::numpy], cols.size(), n);
        if (!block) return {};
        if (pyapi::without_gil([&] {
                kernels::parallel_for(cols.size(), [&](std::size_t c) { filter(c, block.column(c)); });
            }) < 0 || pyapi::check_interrupt() < 0)
            return {};
        return finish_like_map(df, frame_from_block(st, df, block));
    }

    std::vector<std::unique_ptr<output_column>> dest(cols.size());
    for (std::size_t c = 0; c < cols.size(); ++c) {
        if (!below[c]) continue;
        dest[c] = std::make_unique<output_column>((*st)[object::numpy], n);
        if (!*dest[c]) return {};
    }
    if (pyapi::without_gil([&] {
            kernels::parallel_for(cols.size(), [&](std::size_t c) {
                if (dest[c]) filter(c, dest[c]->data());
            });
        }) < 0 || pyapi::check_interrupt() < 0)
        return {};
    std::vector<ref> arrays;
    for (std::size_t c = 0; c < cols.size(); ++c) {
        arrays.push_back(dest[c] ? dest[c]->take() : cols.copy_of(c));
        if (!arrays.back()) return {};
    }
    return finish_like_map(df, frame_from_arrays(st, df, arrays));
}

// df.median(axis=0) of an all-float64 table: a float64 Series over df's
// columns. Declines when a column's middle value is so large that pandas'
// small-table median (which sums it with itself) would overflow.
outcome batch_medians(module_state* st, PyObject* df, const column_set& cols) {
    const std::size_t n = cols.rows();
    output_column medians((*st)[object::numpy], cols.size());
    if (!medians) return ref();
    std::vector<char> huge(cols.size());
    if (pyapi::without_gil([&] {
            kernels::parallel_for(cols.size(), [&](std::size_t c) {
                std::vector<double> scratch(n);
                bool h = false;
                medians.data()[c] = kernels::nan_median(cols[c].doubles(), n, scratch.data(), h);
                huge[c] = h;
            });
        }) < 0)
        return ref();
    for (char h : huge)
        if (h) return outcome::decline();
    ref index = pyapi::attr(df, "columns");
    if (!index) return ref();
    return pyapi::call((*st)[object::series_type], {medians.take().get()}, {{"index", index.get()}});
}

// True when a pattern holds no regular-expression syntax, so that searching
// for it is a plain substring search.
bool is_plain_pattern(PyObject* pattern) {
    static const char special[] = ".^$*+?{}[]\\|()";
    const Py_ssize_t n = PyUnicode_GET_LENGTH(pattern);
    const int kind = PyUnicode_KIND(pattern);
    const void* data = PyUnicode_DATA(pattern);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        for (const char* s = special; *s; ++s)
            if (c == static_cast<Py_UCS4>(*s)) return false;
    }
    return true;
}

// The rows to keep when every row label is a str and the pattern is plain:
// a bool array. Declines when the labels need pandas' own matching.
outcome plain_decoy_mask(PyObject* module, PyObject* df, PyObject* pattern) {
    module_state* st = state_of(module);
    if (!is_frame(st, df) || !is_plain_pattern(pattern)) return outcome::decline();
    ref index = pyapi::attr(df, "index");
    if (!index) return ref();
    if (Py_TYPE(index.get()) != reinterpret_cast<PyTypeObject*>((*st)[object::index_type]))
        return outcome::decline();
    ref labels = pyapi::call_method(index.get(), "tolist", {});
    if (!labels) return ref();
    const Py_ssize_t n = PyList_GET_SIZE(labels.get());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(labels.get(), i))) return outcome::decline();

    ref size = ref::steal(PyLong_FromSsize_t(n));
    ref kind = pyapi::str("bool");
    ref keep = pyapi::call(pyapi::attr((*st)[object::numpy], "empty"), {size.get()},
                           {{"dtype", kind.get()}});
    pyapi::buffer out;
    if (!keep || out.acquire(keep.get(), PyBUF_WRITABLE) < 0) return ref();
    bool* flags = static_cast<bool*>(out.data());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* label = PyList_GET_ITEM(labels.get(), i);
        Py_ssize_t at = PyUnicode_Find(label, pattern, 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) return ref();
        flags[i] = at == -1;
    }
    return keep;
}

// remove_decoy(df, param)
PyObject* remove_decoy(PyObject* module, pyapi::bound_args& a) {
    ref prefix = ref::steal(PyObject_Str(a[1]));
    if (!prefix) return nullptr;
    outcome fast = plain_decoy_mask(module, a[0], prefix.get());
    if (fast.failed()) return nullptr;
    ref keep = fast.take();
    if (fast.declined()) {
        ref mask = pyapi::call_method(pyapi::attr(pyapi::attr(a[0], "index"), "str").get(),
                                      "contains", {prefix.get()});
        if (!mask) return nullptr;
        keep = ref::steal(PyNumber_Invert(mask.get()));
    }
    return pyapi::item(a[0], keep.get()).release();
}

// remove_missing_values(df, param)
PyObject* remove_missing_values(PyObject* module, pyapi::bound_args& a) {
    PyObject* df = a[0];
    module_state* st = state_of(module);
    ref text = ref::steal(PyObject_Str(a[1]));
    ref percent_sign = pyapi::str("%");
    ref stripped = pyapi::call_method(text.get(), "strip", {percent_sign.get()});
    if (!stripped) return nullptr;
    ref rm_percent = ref::steal(PyNumber_Float(stripped.get()));
    if (!rm_percent) return nullptr;
    ref hundred = ref::steal(PyFloat_FromDouble(100.0));
    ref threshold = ref::steal(PyNumber_TrueDivide(rm_percent.get(), hundred.get()));
    if (!threshold) return nullptr;

    column_set cols;
    int fast = load_numeric(st, df, "notnull", object::frame_notnull, cols);
    if (fast < 0) return nullptr;
    if (fast) {
        // measured fraction >= threshold, counted in C over the columns
        const std::size_t n = cols.rows();
        const auto width = static_cast<std::int64_t>(cols.size());
        const double limit = PyFloat_AS_DOUBLE(threshold.get());
        ref size = ref::steal(PyLong_FromSize_t(n));
        ref kind = pyapi::str("bool");
        ref keep = pyapi::call(pyapi::attr((*st)[object::numpy], "empty"), {size.get()},
                               {{"dtype", kind.get()}});
        pyapi::buffer out;
        if (!keep || out.acquire(keep.get(), PyBUF_WRITABLE) < 0) return nullptr;
        if (pyapi::without_gil([&] {
                std::vector<std::int64_t> counts(n, 0);
                for (std::size_t c = 0; c < cols.size(); ++c) {
                    if (cols[c].is_int) kernels::add_present_all(n, counts.data());
                    else kernels::add_present(cols[c].doubles(), n, counts.data());
                }
                kernels::keep_measured(counts.data(), n, width, limit,
                                       static_cast<bool*>(out.data()));
            }) < 0)
            return nullptr;
        out.release();
        return pyapi::item(df, keep.get()).release();
    }

    ref one = ref::steal(PyLong_FromLong(1));
    ref counts = pyapi::call_method(pyapi::call_method(df, "notnull", {}).get(), "sum", {},
                                    {{"axis", one.get()}});
    ref width = pyapi::item(pyapi::attr(df, "shape").get(), 1);
    if (!counts || !width) return nullptr;
    ref fraction = ref::steal(PyNumber_TrueDivide(counts.get(), width.get()));
    if (!fraction) return nullptr;
    ref mask = ref::steal(PyObject_RichCompare(fraction.get(), threshold.get(), Py_GE));
    return pyapi::item(df, mask.get()).release();
}

// normalize(df, param): changes df in place and returns it.
PyObject* normalize(PyObject* module, pyapi::bound_args& a) {
    PyObject* g = namespace_of(module);
    module_state* st = state_of(module);
    ref df = ref::borrow(a[0]);
    ref underscore = pyapi::str("_");
    ref fields = pyapi::call(pyapi::attr(pyapi::global(g, "re"), "split"),
                             {underscore.get(), a[1]});
    ref parts[3];
    if (pyapi::unpack(fields.get(), 3, parts) < 0) return nullptr;
    ref norm_value = ref::steal(PyNumber_Float(parts[2].get()));
    if (!norm_value) return nullptr;

    int is = pyapi::equals(parts[1].get(), "median");
    if (is < 0) return nullptr;
    if (!is) return df.release();

    ref medians;
    column_set cols;
    int fast = load_numeric(st, df.get(), "median", object::frame_median, cols);
    if (fast < 0) return nullptr;
    if (fast && cols.all_double()) {
        outcome computed = batch_medians(st, df.get(), cols);
        if (computed.failed()) return nullptr;
        medians = computed.take();
    }
    if (!medians) {
        ref zero = ref::steal(PyLong_FromLong(0));
        medians = pyapi::call_method(df.get(), "median", {}, {{"axis", zero.get()}});
        if (!medians) return nullptr;
    }
    if ((is = pyapi::equals(parts[0].get(), "log")) < 0) return nullptr;
    if (is) {
        ref shift = ref::steal(PyNumber_Add(medians.get(), norm_value.get()));
        if (!shift) return nullptr;
        return PyNumber_InPlaceSubtract(df.get(), shift.get());
    }
    if ((is = pyapi::equals(parts[0].get(), "origin")) < 0) return nullptr;
    if (is) {
        ref scale = ref::steal(PyNumber_Multiply(medians.get(), norm_value.get()));
        if (!scale) return nullptr;
        return PyNumber_InPlaceTrueDivide(df.get(), scale.get());
    }
    return df.release();
}

// The per-cell functions of the reference route carry (module, setting) as
// self. Each checks for a Ctrl-C press first: pandas' own loop over the cells
// has no check of its own.
PyObject* log_cell(PyObject* self, PyObject* cell) {
    if (pyapi::check_interrupt() < 0) return nullptr;
    PyObject* module = PyTuple_GET_ITEM(self, 0);
    PyObject* log_base = PyTuple_GET_ITEM(self, 1);
    ref log = pyapi::attr(pyapi::global(namespace_of(module), "math"), "log");
    if (!log) return nullptr;
    ref value = ref::steal(PyNumber_Float(cell));
    return pyapi::call(log, {value.get(), log_base}).release();
}

PyObject* noise_cell(PyObject* self, PyObject* cell) {
    if (pyapi::check_interrupt() < 0) return nullptr;
    PyObject* module = PyTuple_GET_ITEM(self, 0);
    PyObject* threshold = PyTuple_GET_ITEM(self, 1);
    int below = PyObject_RichCompareBool(cell, threshold, Py_LT);
    if (below < 0) return nullptr;
    if (below) return pyapi::attr(pyapi::global(namespace_of(module), "np"), "nan").release();
    return Py_NewRef(cell);
}

PyMethodDef log_cell_def = {"<lambda>", log_cell, METH_O, nullptr};
PyMethodDef noise_cell_def = {"<lambda>", noise_cell, METH_O, nullptr};

// df.map(cell_fn) with a per-cell function bound to (module, setting).
ref map_cells(PyObject* module, PyObject* df, PyMethodDef* def, PyObject* setting) {
    ref self = ref::steal(PyTuple_Pack(2, module, setting));
    if (!self) return {};
    ref fn = ref::steal(PyCFunction_New(def, self.get()));
    if (!fn) return {};
    pyapi::interrupt_scope ctrl_c;
    return pyapi::call_method(df, "map", {fn.get()});
}

// log_transform(df, param)
PyObject* log_transform(PyObject* module, pyapi::bound_args& a) {
    PyObject* df = a[0];
    module_state* st = state_of(module);
    ref result;
    ref log_base = ref::steal(PyNumber_Long(a[1]));
    if (log_base) {
        int overflow = 0;
        const long long base = PyLong_AsLongLongAndOverflow(log_base.get(), &overflow);
        // math.log(x, base) is log(x) / log(base); bases below 2 fail or
        // divide by zero, and are left to the reference route.
        int fast = base >= 2 && base <= exact_double_limit;
        if (fast > 0) fast = pyapi::namespace_holds(module, "math", (*st)[object::math]);
        if (fast > 0) {
            ref log = pyapi::attr((*st)[object::math], "log");
            if (!log) return nullptr;
            fast = log.get() == (*st)[object::math_log];
        }
        column_set cols;
        if (fast > 0) fast = load_numeric(st, df, "map", object::frame_map, cols);
        if (fast < 0) return nullptr;
        if (fast) {
            outcome logged = batch_log(st, df, cols, base);
            if (logged.declined()) PyErr_SetString(PyExc_ValueError, "math domain error");
            result = logged.take();
        } else {
            result = map_cells(module, df, &log_cell_def, log_base.get());
        }
    }
    if (result) return result.release();
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    PyErr_Clear();
    ref message = pyapi::str("Fail to do log transform");
    if (pyapi::print(message.get()) < 0) return nullptr;
    return Py_NewRef(df);
}

// noise_filter(df, param)
PyObject* noise_filter(PyObject* module, pyapi::bound_args& a) {
    PyObject* df = a[0];
    module_state* st = state_of(module);
    ref threshold = ref::steal(PyNumber_Long(a[1]));
    if (!threshold) return nullptr;
    int overflow = 0;
    const long long t = PyLong_AsLongLongAndOverflow(threshold.get(), &overflow);
    // Thresholds beyond 2**53 are not exact as doubles; pandas compares those.
    int fast = !overflow && t >= -exact_double_limit && t <= exact_double_limit;
    if (fast > 0) fast = pyapi::namespace_holds(module, "np", (*st)[object::numpy]);
    double missing = 0.0;
    if (fast > 0) {
        ref nan = pyapi::attr((*st)[object::numpy], "nan");
        if (!nan) return nullptr;
        fast = PyFloat_CheckExact(nan.get());
        if (fast) missing = PyFloat_AS_DOUBLE(nan.get());
    }
    column_set cols;
    if (fast > 0) fast = load_numeric(st, df, "map", object::frame_map, cols);
    if (fast < 0) return nullptr;
    if (!fast) return map_cells(module, df, &noise_cell_def, threshold.get()).release();
    return batch_noise(st, df, cols, t, missing).release();
}

// preprocess(file_name, param)
PyObject* preprocess(PyObject* module, pyapi::bound_args& a) {
    PyObject* g = namespace_of(module);
    PyObject* param = a[1];
    ref df = pyapi::call(pyapi::global(g, "import_data_by_file_name"), {},
                         {{"file_name", a[0]}, {"param", param}});
    if (!df) return nullptr;
    static const char* const steps[] = {"remove_decoy", "noise_filter", "log_transform",
                                        "remove_missing_values", "normalize"};
    for (const char* step : steps) {
        ref key = pyapi::str(step);
        if (!key) return nullptr;
        int present = PySequence_Contains(param, key.get());
        if (present < 0) return nullptr;
        if (!present) continue;
        ref fn = pyapi::global(g, step);
        if (!fn) return nullptr;
        ref setting = pyapi::item(param, key.get());
        df = pyapi::call(fn, {df.get()}, {{"param", setting.get()}});
        if (!df) return nullptr;
    }
    return df.release();
}

// The module's public functions, in the order they are bound.
const pyapi::function_spec functions[] = {
    {"import_data_by_file_name", {{{"file_name"}, {"param"}}}, false, import_data_by_file_name},
    {"remove_decoy", {{{"df"}, {"param"}}}, false, remove_decoy},
    {"log_transform", {{{"df"}, {"param"}}}, false, log_transform},
    {"remove_missing_values", {{{"df"}, {"param"}}}, false, remove_missing_values},
    {"normalize", {{{"df"}, {"param"}}}, false, normalize},
    {"noise_filter", {{{"df"}, {"param"}}}, false, noise_filter},
    {"preprocess", {{{"file_name"}, {"param"}}}, false, preprocess},
};

int capture_state(PyObject* module) {
    module_state* st = state_of(module);
    PyObject* g = namespace_of(module);
    ref np = pyapi::global(g, "np");
    ref math = pyapi::global(g, "math");
    ref frame = pyapi::attr(pyapi::global(g, "pd"), "DataFrame");
    ref dtype = pyapi::attr(np, "dtype");
    auto& objects = st->objects;
    if (objects.set(object::numpy, np) < 0 || objects.set(object::math, math) < 0 ||
        objects.set(object::math_log, pyapi::attr(math, "log")) < 0 ||
        objects.set(object::frame_type, frame) < 0 ||
        objects.set(object::frame_map, pyapi::attr(frame, "map")) < 0 ||
        objects.set(object::frame_median, pyapi::attr(frame, "median")) < 0 ||
        objects.set(object::frame_notnull, pyapi::attr(frame, "notnull")) < 0 ||
        objects.set(object::index_type, pyapi::attr(pyapi::global(g, "pd"), "Index")) < 0 ||
        objects.set(object::series_type, pyapi::attr(pyapi::global(g, "pd"), "Series")) < 0 ||
        objects.set(object::float64, pyapi::call(dtype, {ref(pyapi::str("float64")).get()})) < 0 ||
        objects.set(object::int64, pyapi::call(dtype, {ref(pyapi::str("int64")).get()})) < 0)
        return -1;
    return 0;
}

int exec_module(PyObject* module) {
    if (pyapi::ready_function_type() < 0) return -1;
    if (!pyapi::import_as(module, "re", "re") || !pyapi::import_as(module, "os", "os") ||
        !pyapi::import_as(module, "numpy", "np") || !pyapi::import_as(module, "pandas", "pd") ||
        !pyapi::import_as(module, "math", "math") ||
        !pyapi::import_name(module, "utils", "print_result", 1))
        return -1;
    if (capture_state(module) < 0) return -1;
    for (const auto& spec : functions)
        if (pyapi::define_function(module, spec, "print_result") < 0) return -1;
    return 0;
}

}  // namespace
}  // namespace tessera::preprocess

PyMODINIT_FUNC PyInit_preprocess() {
    using namespace tessera::preprocess;
    return tessera::pyapi::module_init<module_state>("preprocess", exec_module);
}
