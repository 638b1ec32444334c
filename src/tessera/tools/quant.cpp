// tessera.tools.quant: roll-up of a long table of precursor (or peptide)
// quantities to a protein x run table: MaxLFQ, median polish, top N and sum.
//
// Each function reads the table's label columns as int32 codes and its
// quantity column as float64, then runs the roll-up kernel without the GIL,
// the proteins spread over the cores, and puts the result in a frame.
#include "frames/codes.hpp"
#include "frames/columns.hpp"
#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/module.hpp"
#include "pyapi/numbers.hpp"

#include "kernels/rollup.hpp"

#include <cmath>
#include <cstring>

namespace tessera::quant {

using pyapi::ref;

namespace {

enum class object { numpy, pandas, frame_type, invalid_index, count };

struct module_state {
    pyapi::object_slots<object> objects;

    PyObject* operator[](object o) const { return objects[o]; }
};

module_state* state_of(PyObject* module) { return pyapi::state_of<module_state>(module); }

// The Series of `df` named `label`, the `role` column of a call (for messages).
ref column_of(module_state* st, PyObject* df, PyObject* label, const char* role) {
    ref columns = pyapi::attr(df, "columns");
    ref position = pyapi::call_method(columns.get(), "get_loc", {label});
    if (!position) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError) &&
            !PyErr_ExceptionMatches((*st)[object::invalid_index]) &&
            !PyErr_ExceptionMatches(PyExc_TypeError))
            return {};
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "the table has no column %R (given as %s)", label, role);
        return {};
    }
    if (!PyLong_Check(position.get()) || PyBool_Check(position.get())) {
        PyErr_Format(PyExc_ValueError,
                     "%R (given as %s) names more than one column of the table; rename the "
                     "copies",
                     label, role);
        return {};
    }
    ref iloc = pyapi::attr(df, "iloc");
    ref all_rows = ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    ref key = ref::steal(all_rows ? PyTuple_Pack(2, all_rows.get(), position.get()) : nullptr);
    return pyapi::item(iloc.get(), key.get());
}

// The quantity column as contiguous float64 (missing values NaN), held in view.
int load_quantity(module_state* st, PyObject* series, PyObject* label, ref& array,
                  pyapi::buffer& view) {
    ref dtype = pyapi::attr(series, "dtype");
    ref kind = pyapi::attr(dtype, "kind");
    if (!kind) return -1;
    const char* k = PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8(kind.get()) : "";
    if (!k) return -1;
    if (std::strcmp(k, "f") != 0 && std::strcmp(k, "i") != 0 && std::strcmp(k, "u") != 0) {
        PyErr_Format(PyExc_ValueError,
                     "the quantity column %R is not numeric (dtype %S); give the column of "
                     "intensities",
                     label, dtype.get());
        return -1;
    }
    ref f64 = pyapi::str("float64");
    ref nan = pyapi::attr((*st)[object::numpy], "nan");
    ref values = pyapi::call_method(series, "to_numpy", {},
                                    {{"dtype", f64.get()}, {"na_value", nan.get()}});
    array = pyapi::call(pyapi::attr((*st)[object::numpy], "ascontiguousarray"), {values.get()});
    if (!array || view.acquire(array.get(), PyBUF_FORMAT | PyBUF_ND) < 0) return -1;
    if (view.itemsize() != 8 || view.ndim() != 1 || std::strcmp(view.format(), "d") != 0) {
        PyErr_SetString(PyExc_SystemError, "pandas returned quantities of an unexpected type");
        return -1;
    }
    return 0;
}

// A count of at least 1.
int read_positive(PyObject* value, const char* what, std::size_t& out) {
    std::int64_t count = 0;
    if (pyapi::read_count(value, what, 1, count) < 0) return -1;
    out = static_cast<std::size_t>(count);
    return 0;
}

// The ridge: a finite number >= 0.
int read_ridge(PyObject* value, double& out) {
    if (pyapi::read_real(value, "ridge", out) < 0) return -1;
    if (std::isfinite(out) && out >= 0.0) return 0;
    PyErr_Format(PyExc_ValueError, "ridge must be a finite number >= 0, got %R", value);
    return -1;
}

// Where a table's columns are, once read.
struct long_table {
    frames::coded_column protein, run, feature;
    ref quantity_array;
    pyapi::buffer quantity;
    PyObject* protein_label = nullptr;
    PyObject* run_label = nullptr;
    PyObject* feature_label = nullptr;

    kernels::coded_rows rows() const {
        kernels::coded_rows r;
        r.protein = protein.codes();
        r.feature = feature.codes();
        r.run = run.codes();
        r.quantity = static_cast<const double*>(quantity.data());
        r.rows = protein.rows();
        r.proteins = protein.count();
        r.features = feature.count();
        r.runs = run.count();
        return r;
    }
};

// Reads table, protein, run, feature and quantity (arguments 0 to 4).
int read_table(module_state* st, pyapi::bound_args& a, long_table& t) {
    PyObject* df = a[0];
    const int is_frame = PyObject_IsInstance(df, (*st)[object::frame_type]);
    if (is_frame < 0) return -1;
    if (!is_frame) {
        PyErr_Format(PyExc_TypeError, "table must be a pandas DataFrame, got %.200s",
                     Py_TYPE(df)->tp_name);
        return -1;
    }
    t.protein_label = a[1];
    t.run_label = a[2];
    t.feature_label = a[3];
    PyObject* numpy = (*st)[object::numpy];
    PyObject* pandas = (*st)[object::pandas];
    ref protein = column_of(st, df, a[1], "protein");
    if (!protein || t.protein.load(protein.get(), numpy, pandas) < 0) return -1;
    ref run = column_of(st, df, a[2], "run");
    if (!run || t.run.load(run.get(), numpy, pandas) < 0) return -1;
    ref feature = column_of(st, df, a[3], "feature");
    if (!feature || t.feature.load(feature.get(), numpy, pandas) < 0) return -1;
    ref quantity = column_of(st, df, a[4], "quantity");
    if (!quantity || load_quantity(st, quantity.get(), a[4], t.quantity_array, t.quantity) < 0)
        return -1;
    if (t.protein.rows() > kernels::max_rows) {
        PyErr_Format(PyExc_ValueError, "the table has %zu rows; the roll-up takes at most %zu",
                     t.protein.rows(), kernels::max_rows);
        return -1;
    }
    return 0;
}

// ValueError naming the feature measured twice in one run.
void refuse_repeated(const long_table& t, const kernels::repeated_cell& cell) {
    ref protein = pyapi::item(t.protein.labels(), static_cast<Py_ssize_t>(cell.protein));
    ref feature = pyapi::item(t.feature.labels(), static_cast<Py_ssize_t>(cell.feature));
    ref run = pyapi::item(t.run.labels(), static_cast<Py_ssize_t>(cell.run));
    if (!protein || !feature || !run) return;
    PyErr_Format(PyExc_ValueError,
                 "%S %R of %S %R has more than one row in %S %R; give one quantity per feature "
                 "and run (sum the rows, or tell them apart in the feature column)",
                 t.feature_label, feature.get(), t.protein_label, protein.get(), t.run_label,
                 run.get());
}

// The protein x run frame of the kernel's values: index the proteins with
// rows, columns every run label.
ref result_frame(module_state* st, const long_table& t, const kernels::protein_rows& groups,
                 ref values) {
    frames::output_block codes((*st)[object::numpy], 1, groups.present.size(), "int64");
    if (!codes) return {};
    std::int64_t* c = codes.column_as<std::int64_t>(0);
    for (std::size_t i = 0; i < groups.present.size(); ++i) c[i] = groups.present[i];
    ref taken = pyapi::item(codes.take().get(), Py_ssize_t{0});
    ref index = pyapi::call_method(pyapi::call_method(t.protein.labels(), "take", {taken.get()}).get(),
                                   "rename", {t.protein_label});
    ref columns = pyapi::call_method(t.run.labels(), "rename", {t.run_label});
    if (!index || !columns) return {};
    return pyapi::call((*st)[object::frame_type], {values.get()},
                       {{"index", index.get()}, {"columns", columns.get()}, {"copy", Py_False}});
}

PyObject* roll_up(PyObject* module, pyapi::bound_args& a, const kernels::rollup_settings& settings) {
    // from the start: reading the table runs pandas, where a press can land
    // in a callback that drops its exception
    pyapi::interrupt_scope ctrl_c;
    module_state* st = state_of(module);
    long_table t;
    if (read_table(st, a, t) < 0) return nullptr;
    const kernels::coded_rows rows = t.rows();
    kernels::protein_rows groups;
    if (pyapi::without_gil([&] { groups = kernels::group_by_protein(rows); }) < 0) return nullptr;
    frames::output_block values((*st)[object::numpy], groups.present.size(), rows.runs);
    if (!values) return nullptr;
    pyapi::cancel_watch watch;
    kernels::cancel_hook hook;
    hook.should_stop = pyapi::should_cancel;
    hook.context = &watch;
    kernels::repeated_cell repeated;
    kernels::rollup_status status = kernels::rollup_status::ok;
    if (pyapi::without_gil([&] {
            status = kernels::roll_up(rows, groups, settings, hook, values.column(0), repeated);
        }) < 0)
        return nullptr;
    if (status == kernels::rollup_status::cancelled) {
        watch.result();
        return nullptr;
    }
    if (status == kernels::rollup_status::repeated) {
        refuse_repeated(t, repeated);
        return nullptr;
    }
    return result_frame(st, t, groups, values.take()).release();
}

// maxlfq(table, protein, run, feature, quantity, min_shared=1, ridge=0.0001)
PyObject* maxlfq(PyObject* module, pyapi::bound_args& a) {
    kernels::rollup_settings s;
    s.method = kernels::rollup_method::maxlfq;
    if (read_positive(a[5], "min_shared", s.maxlfq.min_shared) < 0 ||
        read_ridge(a[6], s.maxlfq.ridge) < 0)
        return nullptr;
    return roll_up(module, a, s);
}

// median_polish(table, protein, run, feature, quantity)
PyObject* median_polish(PyObject* module, pyapi::bound_args& a) {
    kernels::rollup_settings s;
    s.method = kernels::rollup_method::median_polish;
    return roll_up(module, a, s);
}

// top_n(table, protein, run, feature, quantity, n=3)
PyObject* top_n(PyObject* module, pyapi::bound_args& a) {
    kernels::rollup_settings s;
    s.method = kernels::rollup_method::top_n;
    if (read_positive(a[5], "n", s.top) < 0) return nullptr;
    return roll_up(module, a, s);
}

// sum(table, protein, run, feature, quantity)
PyObject* sum(PyObject* module, pyapi::bound_args& a) {
    kernels::rollup_settings s;
    s.method = kernels::rollup_method::sum;
    return roll_up(module, a, s);
}

const char maxlfq_doc[] = R"(Protein quantities by MaxLFQ (Cox et al., MCP 2014).

table is a long DataFrame with one row per feature (precursor or peptide) and
run, as tessera.readers.read_precursors returns it; protein, run, feature and
quantity name its columns (group by genes with protein="genes"). Returns a
DataFrame of proteins x runs: linear quantities, NaN where a protein is not
quantified in a run. Rows are the proteins with at least one row, columns
every run; both in the order of the column's categories when it is
categorical, else in order of first appearance. A quantity that is missing,
infinite or not above 0 is not measured; a row whose protein, run or feature
is missing is left out. A feature with two rows in one run is refused.

For each pair of runs, the ratio is the median log-ratio of the features both
measured, when they share at least min_shared. The runs' log-abundances x
then minimise, within each set of runs connected by ratios,

    sum over pairs (x_j - x_k - ratio_jk)^2 + ridge * sum_j d_j (x_j - t_j)^2

where d_j is the number of ratios of run j and t_j the log of the most
intense feature of the protein in run j.

The absolute level: the second term anchors each connected set of runs to
its most intense features: the d-weighted mean of x_j - t_j over the set is
0. A run with no ratio (it shares no feature with any other run) gets its
most intense feature, when it measured at least min_shared features; a
protein with one feature keeps that feature's quantities. This is DIA-NN's
rule: with ridge=1e-4, Precursor.Normalised of every row of DIA-NN 1.7's
report grouped by Genes gives its Genes.MaxLFQ to the file's printed
precision. The ridge also moves the ratios slightly (by about ridge times
the spread of x - t); ridge=0 gives the exact least-squares ratios of the
published method, on the same level rule.)";

const char median_polish_doc[] = R"(Protein quantities by Tukey's median polish.

Columns and result as maxlfq. Per protein, the log2 quantities of its
features x runs are split into an overall level, feature effects, run effects
and residuals by median polish (at most 10 sweeps, each taking the feature
medians and then the run medians out, measured values only; it stops once the
sum of the absolute residuals changes by less than 1%). The quantity in a run
is 2 ** (overall level + run effect); a protein with one measured feature
keeps its quantities.)";

const char top_n_doc[] = R"(Protein quantities as the mean of the n most intense features.

Columns and result as maxlfq. Per protein and run, the mean of the n largest
quantities measured in that run (of all of them when fewer were measured).)";

const char sum_doc[] = R"(Protein quantities as the sum of their features.

Columns and result as maxlfq. Per protein and run, the sum of the quantities
measured in that run.)";

using pyapi::integer_default;
using pyapi::real_default;
using pyapi::text_default;

constexpr pyapi::param table{"table"};
constexpr pyapi::param protein{"protein", text_default("protein_group")};
constexpr pyapi::param run{"run", text_default("run")};
constexpr pyapi::param feature{"feature", text_default("precursor")};
constexpr pyapi::param quantity{"quantity", text_default("quantity")};

// The module's functions: names, parameters and defaults.
const pyapi::function_spec functions[] = {
    {"maxlfq",
     {{table, protein, run, feature, quantity, {"min_shared", integer_default(1)},
       {"ridge", real_default(1e-4)}}},
     false, maxlfq, -1, maxlfq_doc},
    {"median_polish", {{table, protein, run, feature, quantity}}, false, median_polish, -1,
     median_polish_doc},
    {"top_n", {{table, protein, run, feature, quantity, {"n", integer_default(3)}}}, false, top_n,
     -1, top_n_doc},
    {"sum", {{table, protein, run, feature, quantity}}, false, sum, -1, sum_doc},
};

int capture_state(PyObject* module) {
    module_state* st = state_of(module);
    auto& objects = st->objects;
    ref pd = pyapi::import("pandas");
    if (objects.set(object::numpy, pyapi::import("numpy")) < 0 ||
        objects.set(object::pandas, pd) < 0 ||
        objects.set(object::frame_type, pyapi::attr(pd, "DataFrame")) < 0 ||
        objects.set(object::invalid_index,
                    pyapi::attr(pyapi::import("pandas.errors"), "InvalidIndexError")) < 0)
        return -1;
    return 0;
}

int exec_module(PyObject* module) {
    if (pyapi::ready_function_type() < 0 || capture_state(module) < 0) return -1;
    for (const auto& spec : functions)
        if (pyapi::define_function(module, spec) < 0) return -1;
    return 0;
}

}  // namespace
}  // namespace tessera::quant

PyMODINIT_FUNC PyInit_quant() {
    using namespace tessera::quant;
    return tessera::pyapi::module_init<module_state>("quant", exec_module);
}
