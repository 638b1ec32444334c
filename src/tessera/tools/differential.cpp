// tessera.tools.differential: per-group counts of measured values, the
// per-group filter, imputation, and (differential_methods.cpp) per-feature
// tests on the measured values.
//
// A value is measured when it is finite. `groups` is a mapping
// {name: [column labels]} or a sequence of (name, [column labels]) pairs, in
// order; every function checks it the same way (read_groups).
#include "differential.hpp"

#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/module.hpp"
#include "pyapi/numbers.hpp"

#include <cmath>
#include <cstring>

namespace tessera::differential {

namespace {

PyObject* numpy_of(module_state* st) { return (*st)[object::numpy]; }

// Python's name of obj's type, for messages.
const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

bool is_text(PyObject* obj) { return PyUnicode_Check(obj) || PyBytes_Check(obj); }

// A refusal about one column label: of a group (argument `groups`) or, with
// no group, of the argument `columns`.
pyapi::fault label_fault(PyObject* label, PyObject* group_name, PyObject* value = nullptr) {
    return {group_name ? "groups" : "columns", label, group_name, value};
}

// The position of `label` among `columns`; 1 found, 0 refused (ValueError
// set), -1 on any other error. KeyError and pandas' InvalidIndexError mean
// the table has no such column.
int locate(module_state* st, PyObject* columns, PyObject* label, PyObject* group_name,
           Py_ssize_t& position) {
    ref found = pyapi::call_method(columns, "get_loc", {label});
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError) &&
            !PyErr_ExceptionMatches((*st)[object::invalid_index]))
            return -1;
        PyErr_Clear();
        const pyapi::fault at = label_fault(label, group_name);
        if (group_name)
            pyapi::refuse(PyExc_ValueError, at, "group %R: the table has no column %R", group_name,
                          label);
        else
            pyapi::refuse(PyExc_ValueError, at, "the table has no column %R", label);
        return 0;
    }
    if (PyLong_Check(found.get()) && !PyBool_Check(found.get())) {
        position = PyLong_AsSsize_t(found.get());
        return position == -1 && PyErr_Occurred() ? -1 : 1;
    }
    pyapi::refuse(PyExc_ValueError, label_fault(label, group_name),
                  "label %R does not name a single column of the table", label);
    return 0;
}

// 1 when dtype holds real numbers (numpy int/uint/float, pandas nullable
// Int/Float), 0 when not, -1 on error.
int numeric_dtype(PyObject* dtype) {
    ref kind = pyapi::attr(dtype, "kind");
    if (!kind) return -1;
    if (!PyUnicode_Check(kind.get())) return 0;
    const char* text = PyUnicode_AsUTF8(kind.get());
    if (!text) return -1;
    return std::strcmp(text, "i") == 0 || std::strcmp(text, "u") == 0 || std::strcmp(text, "f") == 0;
}

// ValueError unless column `position` of df (dtypes: df.dtypes as a list) is numeric.
int check_numeric(PyObject* dtypes, Py_ssize_t position, PyObject* label, PyObject* group_name) {
    PyObject* dtype = PyList_GET_ITEM(dtypes, position);
    const int numeric = numeric_dtype(dtype);
    if (numeric < 0) return -1;
    if (numeric) return 0;
    const pyapi::fault at = label_fault(label, group_name, dtype);
    if (group_name)
        return pyapi::refuse(PyExc_ValueError, at, "group %R: column %R is not numeric (dtype %S)",
                             group_name, label, dtype);
    return pyapi::refuse(PyExc_ValueError, at, "column %R is not numeric (dtype %S)", label, dtype);
}

// A list of the labels in `labels` (a list-like of column labels, not a string).
ref label_list(PyObject* labels, PyObject* group_name) {
    if (is_text(labels) || !PyObject_HasAttrString(labels, "__iter__")) {
        if (group_name)
            pyapi::refuse(PyExc_ValueError, {"groups", nullptr, group_name, labels},
                          "group %R: its columns must be a list of column labels, got %R",
                          group_name, labels);
        else
            pyapi::refuse(PyExc_TypeError, {"columns", nullptr, nullptr, labels},
                          "columns must be a list of column labels, got %R", labels);
        return {};
    }
    return ref::steal(PySequence_List(labels));
}

// The (name, labels) pairs of `groups`, in order.
ref group_entries(module_state* st, PyObject* groups, bool& mapping) {
    const int is_mapping = is_text(groups) ? 0 : PyObject_IsInstance(groups, (*st)[object::mapping_type]);
    if (is_mapping < 0) return {};
    mapping = is_mapping;
    if (mapping) return ref::steal(PySequence_List(pyapi::call_method(groups, "items", {}).get()));
    if (is_text(groups) || !PyObject_HasAttrString(groups, "__iter__")) {
        pyapi::refuse(PyExc_TypeError, {"groups", nullptr, nullptr, groups},
                      "groups must be a mapping {name: [column labels]} or a sequence of "
                      "(name, [column labels]) pairs, got %.200s",
                      type_name(groups));
        return {};
    }
    return ref::steal(PySequence_List(groups));
}

// Reads one (name, labels) entry; 0, or -1 with an exception set.
int split_entry(PyObject* entry, Py_ssize_t i, bool mapping, ref& name, ref& labels) {
    if (!mapping && !((PyTuple_Check(entry) || PyList_Check(entry)) && PySequence_Size(entry) == 2)) {
        return pyapi::refuse(PyExc_ValueError, {"groups", nullptr, nullptr, entry},
                             "groups[%zd] must be a (name, [column labels]) pair, got %R", i, entry);
    }
    name = pyapi::item(entry, Py_ssize_t{0});
    labels = pyapi::item(entry, Py_ssize_t{1});
    if (!name || !labels) return -1;
    if (!PyUnicode_Check(name.get()) || PyUnicode_GetLength(name.get()) == 0) {
        return pyapi::refuse(PyExc_ValueError, {"groups", nullptr, nullptr, name.get()},
                             "group names must be non-empty strings, got %R", name.get());
    }
    return 0;
}

}  // namespace

int check_frame(module_state* st, PyObject* df) {
    const int is_frame = PyObject_IsInstance(df, (*st)[object::frame_type]);
    if (is_frame < 0) return -1;
    if (is_frame) return 0;
    return pyapi::refuse(PyExc_TypeError, {"df", nullptr, nullptr, df},
                         "df must be a pandas DataFrame, got %.200s", type_name(df));
}

int read_groups(module_state* st, PyObject* df, PyObject* groups, std::vector<group>& out) {
    out.clear();
    bool mapping = false;
    ref entries = group_entries(st, groups, mapping);
    ref columns = pyapi::attr(df, "columns");
    ref dtypes = pyapi::call_method(pyapi::attr(df, "dtypes").get(), "tolist", {});
    if (!entries || !columns || !dtypes) return -1;
    const Py_ssize_t width = PyList_GET_SIZE(dtypes.get());
    std::vector<int> owner(static_cast<std::size_t>(width), -1);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        ref name, labels;
        if (split_entry(PyList_GET_ITEM(entries.get(), i), i, mapping, name, labels) < 0) return -1;
        for (const group& seen : out) {
            const int same = PyObject_RichCompareBool(seen.name.get(), name.get(), Py_EQ);
            if (same < 0) return -1;
            if (same) {
                return pyapi::refuse(PyExc_ValueError, {"groups", nullptr, name.get()},
                                     "group name %R is used twice", name.get());
            }
        }
        ref listed = label_list(labels.get(), name.get());
        if (!listed) return -1;
        if (PyList_GET_SIZE(listed.get()) == 0) {
            return pyapi::refuse(PyExc_ValueError, {"groups", nullptr, name.get(), labels.get()},
                                 "group %R has no columns", name.get());
        }
        group g;
        const int index = static_cast<int>(out.size());
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(listed.get()); ++k) {
            PyObject* label = PyList_GET_ITEM(listed.get(), k);
            Py_ssize_t position = -1;
            const int found = locate(st, columns.get(), label, name.get(), position);
            if (found <= 0) return -1;
            if (position < 0 || position >= width) {
                PyErr_SetString(PyExc_SystemError, "column position out of range");
                return -1;
            }
            int& taken = owner[static_cast<std::size_t>(position)];
            if (taken == index) {
                return pyapi::refuse(PyExc_ValueError, label_fault(label, name.get()),
                                     "group %R lists column %R twice", name.get(), label);
            }
            if (taken >= 0) {
                return pyapi::refuse(PyExc_ValueError, label_fault(label, name.get()),
                                     "column %R is in group %R and in group %R", label,
                                     out[static_cast<std::size_t>(taken)].name.get(), name.get());
            }
            taken = index;
            if (check_numeric(dtypes.get(), position, label, name.get()) < 0) return -1;
            g.positions.push_back(position);
        }
        g.name = name;
        out.push_back(std::move(g));
    }
    if (out.empty()) {
        return pyapi::refuse(PyExc_ValueError, {"groups", nullptr, nullptr, groups},
                             "groups is empty: name at least one group of columns");
    }
    return 0;
}

int float_columns::load(module_state* st, PyObject* df, const std::vector<Py_ssize_t>& positions) {
    pointers_.clear();
    from_int_.clear();
    converted_.clear();
    views_.clear();
    const Py_ssize_t height = PyObject_Length(pyapi::attr(df, "index").get());
    const Py_ssize_t width = PyObject_Length(pyapi::attr(df, "columns").get());
    if (height < 0 || width < 0) return -1;
    rows_ = static_cast<std::size_t>(height);
    if (positions.empty() || rows_ == 0) {
        pointers_.assign(positions.size(), nullptr);
        return 0;
    }
    // float64 and int64 columns in one call per dtype: the whole frame when
    // the columns are most of it (its memory is then read without a copy),
    // else the columns taken out of it
    PyObject* numpy = numpy_of(st);
    PyObject* f64_type = (*st)[object::float64];
    PyObject* i64_type = (*st)[object::int64];
    const bool whole = 2 * static_cast<Py_ssize_t>(positions.size()) >= width;
    int plain = whole ? plain_.load(df, numpy, f64_type, i64_type) : 0;
    if (plain < 0) return -1;
    ref all_rows = ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    ref part;
    if (!plain) {
        ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
        if (!all_rows || !list) return -1;
        for (std::size_t k = 0; k < positions.size(); ++k) {
            PyObject* p = PyLong_FromSsize_t(positions[k]);
            if (!p) return -1;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), p);
        }
        ref key = ref::steal(PyTuple_Pack(2, all_rows.get(), list.get()));
        part = pyapi::item(pyapi::attr(df, "iloc").get(), key.get());
        plain = part ? plain_.load(part.get(), numpy, f64_type, i64_type) : -1;
        if (plain < 0) return -1;
    }
    if (plain > 0) {
        for (std::size_t k = 0; k < positions.size(); ++k) {
            const frames::column_view& c = plain_[part ? k : static_cast<std::size_t>(positions[k])];
            if (!c.is_int) {
                pointers_.push_back(c.doubles());
                continue;
            }
            from_int_.emplace_back(rows_);
            kernels::int_to_double(c.ints(), rows_, from_int_.back().data());
            pointers_.push_back(from_int_.back().data());
        }
        return 0;
    }
    // other numeric columns (nullable, float32, uint) one at a time, pd.NA as NaN
    ref f64 = pyapi::str("float64");
    ref nan = pyapi::attr(numpy, "nan");
    ref contiguous = pyapi::attr(numpy, "ascontiguousarray");
    ref iloc = pyapi::attr(part, "iloc");
    if (!f64 || !nan || !contiguous || !iloc) return -1;
    for (std::size_t k = 0; k < positions.size(); ++k) {
        ref where = ref::steal(PyLong_FromSize_t(k));
        ref column_key = ref::steal(where ? PyTuple_Pack(2, all_rows.get(), where.get()) : nullptr);
        ref values = pyapi::call_method(pyapi::item(iloc.get(), column_key.get()).get(), "to_numpy",
                                        {}, {{"dtype", f64.get()}, {"na_value", nan.get()}});
        ref array = pyapi::call(contiguous, {values.get()}, {{"dtype", f64.get()}});
        if (!array) return -1;
        auto view = std::make_unique<pyapi::buffer>();
        if (view->acquire(array.get(), PyBUF_FORMAT) < 0) return -1;
        if (view->itemsize() != 8 || static_cast<std::size_t>(view->length()) != rows_) {
            PyErr_SetString(PyExc_SystemError, "a converted column is not float64");
            return -1;
        }
        pointers_.push_back(static_cast<const double*>(view->data()));
        converted_.push_back(std::move(array));
        views_.push_back(std::move(view));
    }
    return 0;
}

int group_table::load(module_state* st, PyObject* df, const std::vector<group>& groups) {
    std::vector<Py_ssize_t> positions;
    for (const group& g : groups) positions.insert(positions.end(), g.positions.begin(), g.positions.end());
    if (values.load(st, df, positions) < 0) return -1;
    lists.clear();
    std::size_t first = 0;
    for (const group& g : groups) {
        lists.push_back(values.slice(first, g.positions.size()));
        first += g.positions.size();
    }
    return 0;
}

namespace {

// A DataFrame of block.T (block: one row per column of the result) with
// df's index and the given column labels, sharing the block's memory.
ref frame_of_block(module_state* st, PyObject* block, PyObject* df, PyObject* labels) {
    ref index = pyapi::attr(df, "index");
    ref values = pyapi::attr(block, "T");
    if (!index || !values) return {};
    return pyapi::call((*st)[object::frame_type], {values.get()},
                       {{"index", index.get()}, {"columns", labels}, {"copy", Py_False}});
}

ref group_names(const std::vector<group>& groups) {
    ref names = ref::steal(PyList_New(static_cast<Py_ssize_t>(groups.size())));
    if (!names) return {};
    for (std::size_t g = 0; g < groups.size(); ++g)
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(g), Py_NewRef(groups[g].name.get()));
    return names;
}

// The measured values of each group counted per row, as a (groups, rows) int64 block.
ref count_block(module_state* st, const group_table& table) {
    frames::output_block counts(numpy_of(st), table.lists.size(), table.rows(), "int64");
    if (!counts) return {};
    if (pyapi::without_gil([&] {
            for (std::size_t g = 0; g < table.lists.size(); ++g)
                kernels::count_finite(table.lists[g], table.rows(), counts.column_as<std::int64_t>(g));
        }) < 0)
        return {};
    return counts.take();
}

// count_valid(df, groups)
PyObject* count_valid(PyObject* module, pyapi::bound_args& a) {
    module_state* st = state_of(module);
    PyObject* df = a[0];
    std::vector<group> groups;
    group_table table;
    if (check_frame(st, df) < 0 || read_groups(st, df, a[1], groups) < 0 ||
        table.load(st, df, groups) < 0)
        return nullptr;
    ref counts = count_block(st, table);
    ref names = group_names(groups);
    if (!counts || !names) return nullptr;
    return frame_of_block(st, counts.get(), df, names.get()).release();
}

// The rule named by filter_valid's mode; 0, or -1 with ValueError set.
int read_mode(PyObject* mode, kernels::valid_rule& rule) {
    static const std::pair<const char*, kernels::valid_rule> rules[] = {
        {"each", kernels::valid_rule::each},
        {"any", kernels::valid_rule::any},
        {"all", kernels::valid_rule::all}};
    if (PyUnicode_Check(mode)) {
        for (const auto& [name, value] : rules) {
            if (PyUnicode_CompareWithASCIIString(mode, name) == 0) {
                rule = value;
                return 0;
            }
        }
    }
    return pyapi::refuse(PyExc_ValueError, {"mode", nullptr, nullptr, mode},
                         "unknown mode %R: choose 'each', 'any' or 'all'", mode);
}

// filter_valid(df, groups, min_valid, mode="each")
PyObject* filter_valid(PyObject* module, pyapi::bound_args& a) {
    module_state* st = state_of(module);
    PyObject* df = a[0];
    std::int64_t minimum = 0;
    kernels::valid_rule rule{};
    std::vector<group> groups;
    group_table table;
    if (check_frame(st, df) < 0 || pyapi::read_count(a[2], "min_valid", 0, minimum) < 0 ||
        read_mode(a[3], rule) < 0 || read_groups(st, df, a[1], groups) < 0 ||
        table.load(st, df, groups) < 0)
        return nullptr;
    ref counts = count_block(st, table);
    frames::output_block keep(numpy_of(st), 1, table.rows(), "bool");
    if (!counts || !keep) return nullptr;
    pyapi::buffer view;
    if (view.acquire(counts.get(), PyBUF_ND) < 0) return nullptr;
    std::vector<const std::int64_t*> columns;
    for (std::size_t g = 0; g < groups.size(); ++g)
        columns.push_back(static_cast<const std::int64_t*>(view.data()) + g * table.rows());
    if (pyapi::without_gil([&] {
            kernels::rows_with_valid(columns.data(), columns.size(), table.rows(), minimum, rule,
                                     keep.column_as<std::uint8_t>(0));
        }) < 0)
        return nullptr;
    ref mask = pyapi::item(keep.take().get(), Py_ssize_t{0});
    return pyapi::item(pyapi::attr(df, "iloc").get(), mask.get()).release();
}

}  // namespace

int read_columns(module_state* st, PyObject* df, PyObject* columns,
                 std::vector<Py_ssize_t>& positions) {
    ref listed = label_list(columns, nullptr);
    ref labels = pyapi::attr(df, "columns");
    ref dtypes = pyapi::call_method(pyapi::attr(df, "dtypes").get(), "tolist", {});
    if (!listed || !labels || !dtypes) return -1;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(listed.get()); ++k) {
        PyObject* label = PyList_GET_ITEM(listed.get(), k);
        Py_ssize_t position = -1;
        const int found = locate(st, labels.get(), label, nullptr, position);
        if (found <= 0) return -1;
        for (Py_ssize_t seen : positions) {
            if (seen == position) {
                return pyapi::refuse(PyExc_ValueError, label_fault(label, nullptr),
                                     "column %R is listed twice", label);
            }
        }
        if (check_numeric(dtypes.get(), position, label, nullptr) < 0) return -1;
        positions.push_back(position);
    }
    return 0;
}

namespace {

enum class imputation { downshift, mindet };

// impute's settings, checked.
struct impute_settings {
    imputation method = imputation::downshift;
    double shift = 0, width = 0, quantile = 0;
};

int read_impute_settings(pyapi::bound_args& a, impute_settings& s) {
    PyObject* method = a[2];
    const int downshift = PyUnicode_Check(method) ? PyUnicode_CompareWithASCIIString(method, "downshift") == 0 : 0;
    const int mindet = PyUnicode_Check(method) ? PyUnicode_CompareWithASCIIString(method, "mindet") == 0 : 0;
    if (!downshift && !mindet) {
        return pyapi::refuse(PyExc_ValueError, {"method", nullptr, nullptr, method},
                             "unknown imputation method %R: choose 'downshift' or 'mindet'", method);
    }
    s.method = downshift ? imputation::downshift : imputation::mindet;
    if (pyapi::read_real(a[3], "shift", s.shift) < 0 ||
        pyapi::read_real(a[4], "width", s.width) < 0 ||
        pyapi::read_real(a[5], "quantile", s.quantile) < 0)
        return -1;
    if (!std::isfinite(s.shift)) {
        return pyapi::refuse(PyExc_ValueError, {"shift", nullptr, nullptr, a[3]},
                             "shift must be a finite number, got %R", a[3]);
    }
    if (!(s.width > 0.0 && std::isfinite(s.width))) {
        return pyapi::refuse(PyExc_ValueError, {"width", nullptr, nullptr, a[4]},
                             "width must be a positive finite number, got %R", a[4]);
    }
    if (!(s.quantile > 0.0 && s.quantile < 1.0)) {
        return pyapi::refuse(PyExc_ValueError, {"quantile", nullptr, nullptr, a[5]},
                             "quantile must lie strictly between 0 and 1, got %R", a[5]);
    }
    return 0;
}

// A 1-D float64 array as a buffer of n values; 0, or -1 with an exception.
int float_values(module_state* st, ref& array, pyapi::buffer& view, std::size_t n) {
    ref f64 = pyapi::str("float64");
    array = pyapi::call(pyapi::attr(numpy_of(st), "ascontiguousarray"), {array.get()},
                        {{"dtype", f64.get()}});
    if (!array || view.acquire(array.get(), PyBUF_FORMAT) < 0) return -1;
    if (static_cast<std::size_t>(view.length()) != n || view.itemsize() != 8) {
        PyErr_SetString(PyExc_SystemError, "the library returned an unexpected array");
        return -1;
    }
    return 0;
}

// Fills column c of `filled` / `marks` from column c of `values`.
int impute_column(module_state* st, const impute_settings& s, PyObject* rng,
                  const kernels::column_list& values, std::size_t c, std::size_t rows,
                  double mean, double std, std::size_t finite, frames::output_block& filled,
                  frames::output_block& marks) {
    const double* column = values.columns[c];
    ref fill;
    std::size_t wanted = 1;
    if (s.method == imputation::downshift) {
        double loc = 0, scale = 0;
        kernels::downshift(mean, std, s.shift, s.width, loc, scale);
        wanted = kernels::count_nan(column, rows);
        ref py_loc = ref::steal(PyFloat_FromDouble(loc));
        ref py_scale = ref::steal(PyFloat_FromDouble(scale));
        ref size = ref::steal(PyLong_FromSize_t(wanted));
        if (!py_loc || !py_scale || !size) return -1;
        fill = pyapi::call_method(rng, "normal", {py_loc.get(), py_scale.get()}, {{"size", size.get()}});
    } else {
        // numpy.nanquantile of the measured values: infinite cells are not measured
        frames::output_column measured(numpy_of(st), finite);
        if (!measured) return -1;
        kernels::copy_finite(column, rows, measured.data());
        ref q = ref::steal(PyFloat_FromDouble(s.quantile));
        fill = pyapi::call(pyapi::attr(numpy_of(st), "nanquantile"), {measured.take().get(), q.get()});
    }
    pyapi::buffer view;
    if (!fill || float_values(st, fill, view, wanted) < 0) return -1;
    kernels::fill_missing(column, rows, static_cast<const double*>(view.data()),
                          s.method == imputation::downshift, filled.column(c),
                          marks.column_as<std::uint8_t>(c));
    return 0;
}

// impute(df, columns, method="downshift", shift=1.8, width=0.3, quantile=0.01, seed=0)
PyObject* impute(PyObject* module, pyapi::bound_args& a) {
    module_state* st = state_of(module);
    PyObject* df = a[0];
    impute_settings settings;
    std::vector<Py_ssize_t> positions;
    float_columns values;
    if (check_frame(st, df) < 0 || read_impute_settings(a, settings) < 0 ||
        read_columns(st, df, a[1], positions) < 0 || values.load(st, df, positions) < 0)
        return nullptr;
    const std::size_t count = positions.size(), rows = values.rows();
    const kernels::column_list columns = values.slice(0, count);
    std::vector<double> means(count), stds(count), scratch(rows);
    std::vector<std::size_t> finite(count);
    ref labels = pyapi::attr(df, "columns");
    if (!labels) return nullptr;
    for (std::size_t c = 0; c < count; ++c) {
        finite[c] = rows ? kernels::finite_mean_std(columns.columns[c], rows, scratch.data(),
                                                    means[c], stds[c])
                         : 0;
        if (finite[c] < 2) {
            ref label = pyapi::item(labels.get(), positions[c]);
            if (!label) return nullptr;
            pyapi::refuse(PyExc_ValueError, label_fault(label.get(), nullptr),
                          "column %R has %zu finite value%s: imputation needs at least 2",
                          label.get(), finite[c], finite[c] == 1 ? "" : "s");
            return nullptr;
        }
    }
    ref rng = pyapi::call(pyapi::attr(pyapi::attr(numpy_of(st), "random"), "default_rng"), {a[6]});
    frames::output_block filled(numpy_of(st), count, rows);
    frames::output_block marks(numpy_of(st), count, rows, "bool");
    if (!rng || !filled || !marks) return nullptr;
    for (std::size_t c = 0; c < count; ++c)
        if (impute_column(st, settings, rng.get(), columns, c, rows, means[c], stds[c], finite[c],
                          filled, marks) < 0)
            return nullptr;

    ref filled_block = filled.take();
    ref marks_block = marks.take();
    ref table = pyapi::call_method(df, "copy", {}, {{"deep", Py_True}});
    if (!table) return nullptr;
    for (std::size_t c = 0; c < count; ++c) {
        ref where = ref::steal(PyLong_FromSsize_t(positions[c]));
        ref column = pyapi::item(filled_block.get(), static_cast<Py_ssize_t>(c));
        if (!where || !column || !pyapi::call_method(table.get(), "isetitem", {where.get(), column.get()}))
            return nullptr;
    }
    ref taken = ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!taken) return nullptr;
    for (std::size_t c = 0; c < count; ++c) {
        PyObject* p = PyLong_FromSsize_t(positions[c]);
        if (!p) return nullptr;
        PyList_SET_ITEM(taken.get(), static_cast<Py_ssize_t>(c), p);
    }
    ref imputed_labels = pyapi::call_method(labels.get(), "take", {taken.get()});
    ref imputed = imputed_labels ? frame_of_block(st, marks_block.get(), df, imputed_labels.get()) : ref();
    if (!imputed) return nullptr;
    return PyTuple_Pack(2, table.get(), imputed.get());
}

using pyapi::false_default;
using pyapi::integer_default;
using pyapi::none_default;
using pyapi::real_default;
using pyapi::text_default;

// The module's functions: names, parameters and defaults.
const pyapi::function_spec functions[] = {
    {"count_valid", {{{"df"}, {"groups"}}}, false, count_valid},
    {"filter_valid", {{{"df"}, {"groups"}, {"min_valid"}, {"mode", text_default("each")}}}, false,
     filter_valid},
    {"impute",
     {{{"df"}, {"columns"}, {"method", text_default("downshift")}, {"shift", real_default(1.8)},
       {"width", real_default(0.3)}, {"quantile", real_default(0.01)},
       {"seed", integer_default(0)}}},
     false,
     impute},
    {"test_features",
     {{{"df"}, {"groups"}, {"method"}, {"min_valid", integer_default(2)},
       {"multipletest_method", text_default("fdr_bh")}, {"trend", false_default()},
       {"robust", false_default()}, {"legacy", false_default()}}},
     false,
     test_features},
    {"normalize",
     {{{"df"}, {"columns"}, {"method", text_default("ratio_mode")}, {"reference", none_default()},
       {"reference_column", none_default()}, {"min_features", integer_default(10)}}},
     false,
     normalize},
    {"test_hurdle",
     {{{"df"}, {"groups"}, {"method"}, {"min_valid", integer_default(2)},
       {"multipletest_method", text_default("fdr_bh")}, {"level", real_default(0.05)}}},
     true,
     test_hurdle},
    {"test_contrasts",
     {{{"df"}, {"samples"}, {"formula"}, {"contrasts"}, {"block", pyapi::none_default()},
       {"sample_weights", false_default()}, {"lfc", real_default(0.0)}, {"trend", false_default()},
       {"robust", false_default()}, {"legacy", false_default()},
       {"multipletest_method", text_default("fdr_bh")}}},
     false,
     test_contrasts,
     4},
};

// The spellings statsmodels' multipletests accepts (it lowercases the
// name), and the text listing its methods for an error message.
int capture_corrections(module_state* st) {
    ref multitest = pyapi::import("statsmodels.stats.multitest");
    ref described = pyapi::attr(multitest, "multitest_methods_names");
    if (!described) return -1;
    ref names = ref::steal(PySet_New(nullptr));
    ref choices = ref::steal(PyList_New(0));
    if (!names || !choices) return -1;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(described.get(), &pos, &key, &value)) {
        ref choice = ref::steal(PyUnicode_FromFormat("'%U' (%U)", key, value));
        if (!choice || PyList_Append(choices.get(), choice.get()) < 0 || PySet_Add(names.get(), key) < 0)
            return -1;
    }
    // the longer spellings, where this statsmodels lists them
    ref aliases = pyapi::attr(multitest, "_alias_list");
    if (!aliases) {
        if (pyapi::clear_ordinary_error() < 0) return -1;
    } else {
        ref it = ref::steal(PyObject_GetIter(aliases.get()));
        if (!it) return -1;
        while (ref spellings = ref::steal(PyIter_Next(it.get()))) {
            ref each = ref::steal(PyObject_GetIter(spellings.get()));
            if (!each) return -1;
            while (ref name = ref::steal(PyIter_Next(each.get())))
                if (PySet_Add(names.get(), name.get()) < 0) return -1;
            if (PyErr_Occurred()) return -1;
        }
        if (PyErr_Occurred()) return -1;
    }
    ref separator = pyapi::str(", ");
    ref text = ref::steal(separator ? PyUnicode_Join(separator.get(), choices.get()) : nullptr);
    if (st->objects.set(object::correction_names, ref::steal(PyFrozenSet_New(names.get()))) < 0 ||
        st->objects.set(object::correction_choices, text) < 0)
        return -1;
    return 0;
}

int capture_state(PyObject* module) {
    module_state* st = state_of(module);
    auto& objects = st->objects;
    ref np = pyapi::import("numpy");
    ref pd = pyapi::import("pandas");
    ref dtype = pyapi::attr(np, "dtype");
    ref special = pyapi::import("scipy.special");
    ref stats = pyapi::import("scipy.stats");
    ref abc = pyapi::import("collections.abc");
    if (objects.set(object::numpy, np) < 0 || objects.set(object::pandas, pd) < 0 ||
        objects.set(object::frame_type, pyapi::attr(pd, "DataFrame")) < 0 ||
        objects.set(object::float64, pyapi::call(dtype, {ref(pyapi::str("float64")).get()})) < 0 ||
        objects.set(object::int64, pyapi::call(dtype, {ref(pyapi::str("int64")).get()})) < 0 ||
        objects.set(object::mapping_type, pyapi::attr(abc, "Mapping")) < 0 ||
        objects.set(object::invalid_index,
                    pyapi::attr(pyapi::import("pandas.errors"), "InvalidIndexError")) < 0 ||
        objects.set(object::stats, stats) < 0 ||
        objects.set(object::hypothesis_test,
                    pyapi::import_from(PyModule_GetDict(module), "stat", "hypothesis_test", 1)) < 0 ||
        objects.set(object::stdtr, pyapi::attr(special, "stdtr")) < 0 ||
        objects.set(object::fdtrc, pyapi::attr(special, "fdtrc")) < 0 ||
        objects.set(object::chdtrc, pyapi::attr(special, "chdtrc")) < 0 ||
        objects.set(object::mannwhitneyu, pyapi::attr(stats, "mannwhitneyu")) < 0 ||
        objects.set(object::multipletests,
                    pyapi::attr(pyapi::import("statsmodels.stats.multitest"), "multipletests")) < 0)
        return -1;
    return capture_corrections(st);
}

int exec_module(PyObject* module) {
    if (pyapi::ready_function_type() < 0 || capture_state(module) < 0) return -1;
    for (const auto& spec : functions)
        if (pyapi::define_function(module, spec) < 0) return -1;
    return define_methods(module);
}

}  // namespace
}  // namespace tessera::differential

PyMODINIT_FUNC PyInit_differential() {
    using namespace tessera::differential;
    return tessera::pyapi::module_init<module_state>("differential", exec_module);
}
