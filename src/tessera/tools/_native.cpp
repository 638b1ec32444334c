// tessera.tools._native: direct access to kernels, for tests and benchmarks.
//
// permutation_t_test(x, y, reps, seed) runs the permutation kernel with any
// number of repetitions, so that it can be compared with the library on
// short runs of the same random stream.
//
// array_weights(values, design) and duplicate_correlation(values, design,
// block, weights=None) run the estimates test_contrasts makes before its
// fit, so that benchmarks can time each on its own.
//
// moderated_fit(values, groups, n_groups, legacy=False, trend=False,
// robust=False) runs the moderated kernel up to its statistics, with the
// moderated F for any number of groups (test_features reports it for three
// or more), so that tests can set it beside the moderated t of two groups.
#include "frames/columns.hpp"
#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/buffer.hpp"
#include "pyapi/module.hpp"

#include <algorithm>

#include "kernels/array_weights.hpp"
#include "kernels/duplicate_correlation.hpp"
#include "kernels/moderated.hpp"
#include "kernels/permutation.hpp"

namespace tessera::native {

using pyapi::ref;

namespace {

int float_samples(PyObject* obj, ref& array, pyapi::buffer& view) {
    ref numpy = pyapi::import("numpy");
    ref f64 = pyapi::str("float64");
    array = pyapi::call(pyapi::attr(numpy, "ascontiguousarray"), {obj}, {{"dtype", f64.get()}});
    if (!array || view.acquire(array.get(), PyBUF_FORMAT | PyBUF_ND) < 0) return -1;
    if (view.itemsize() != 8) {
        PyErr_SetString(PyExc_ValueError, "samples must be one-dimensional float64 arrays");
        return -1;
    }
    return 0;
}

// permutation_t_test(x, y, reps, seed) -> (t, p, hits_greater, hits_less)
PyObject* permutation_t_test(PyObject*, pyapi::bound_args& a) {
    ref ax, ay;
    pyapi::buffer bx, by;
    if (float_samples(a[0], ax, bx) < 0 || float_samples(a[1], ay, by) < 0) return nullptr;
    const Py_ssize_t reps = PyLong_AsSsize_t(a[2]);
    const long long seed = PyLong_AsLongLong(a[3]);
    if (PyErr_Occurred()) return nullptr;
    if (reps < 0) {
        PyErr_SetString(PyExc_ValueError, "reps must not be negative");
        return nullptr;
    }
    kernels::two_sample_result r;
    if (pyapi::without_gil([&] {
            r = kernels::permutation_t_test(static_cast<const double*>(bx.data()),
                                            static_cast<std::size_t>(bx.length()),
                                            static_cast<const double*>(by.data()),
                                            static_cast<std::size_t>(by.length()),
                                            static_cast<std::size_t>(reps),
                                            static_cast<std::int64_t>(seed));
        }) < 0)
        return nullptr;
    if (r.status == kernels::run_status::out_of_memory) return PyErr_NoMemory();
    if (r.status != kernels::run_status::ok) {
        PyErr_SetString(PyExc_ValueError, "the kernel does not take these samples");
        return nullptr;
    }
    return Py_BuildValue("(ddKK)", r.t_observed, r.p_value,
                         static_cast<unsigned long long>(r.hits_greater),
                         static_cast<unsigned long long>(r.hits_less));
}

// A new float64 array of the n values at `values`.
ref array_of(PyObject* numpy, const double* values, std::size_t n) {
    frames::output_column out(numpy, n);
    if (!out) return {};
    std::copy(values, values + n, out.data());
    return out.take();
}

// moderated_fit(values, groups, n_groups, legacy=False, trend=False, robust=False)
// -> {"t": (rows, n_groups - 1), "df_total", "F", "f_df1", "f_df2", "s2_prior", "df_prior"}
PyObject* moderated_fit(PyObject*, pyapi::bound_args& a) {
    namespace md = kernels::moderated;
    ref numpy = pyapi::import("numpy");
    ref f64 = pyapi::str("float64"), intc = pyapi::str("intc");
    ref values = pyapi::call(pyapi::attr(numpy, "ascontiguousarray"), {a[0]}, {{"dtype", f64.get()}});
    ref groups = pyapi::call(pyapi::attr(numpy, "ascontiguousarray"), {a[1]}, {{"dtype", intc.get()}});
    pyapi::buffer vb, gb;
    if (!values || !groups || vb.acquire(values.get(), PyBUF_ND) < 0 ||
        gb.acquire(groups.get(), PyBUF_ND) < 0)
        return nullptr;
    const Py_ssize_t n_groups = PyLong_AsSsize_t(a[2]);
    int options[3];
    for (int i = 0; i < 3; ++i)
        if ((options[i] = PyObject_IsTrue(a[3 + i])) < 0) return nullptr;
    if (n_groups == -1 && PyErr_Occurred()) return nullptr;
    if (vb.ndim() != 2 || gb.ndim() != 1 || gb.extent(0) != vb.extent(1) || n_groups < 2) {
        PyErr_SetString(PyExc_ValueError,
                        "values must be (rows, columns), groups one index per column, n_groups >= 2");
        return nullptr;
    }
    const auto rows = static_cast<std::size_t>(vb.extent(0));
    const auto k = static_cast<std::size_t>(n_groups) - 1;
    md::fit_input in;
    in.values = static_cast<const double*>(vb.data());
    in.rows = rows;
    in.cols = static_cast<std::size_t>(vb.extent(1));
    in.group = static_cast<const int*>(gb.data());
    in.groups = static_cast<std::size_t>(n_groups);
    in.method = options[0] ? md::estimate::classic : md::estimate::automatic;
    in.trend = options[1];
    in.robust = options[2];
    md::fit_buffers fit;
    md::status status = md::ok;
    if (pyapi::without_gil([&] {
            fit.allocate(rows, k);
            status = md::moderated_fit(in, fit.out);
        }) < 0)
        return nullptr;
    if (status != md::ok) {
        PyErr_Format(PyExc_ValueError, "the moderated fit stopped with status %d", static_cast<int>(status));
        return nullptr;
    }
    ref shape = ref::steal(
        Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(k)));
    ref ts = shape ? pyapi::call_method(array_of(numpy.get(), fit.t.data(), rows * k).get(), "reshape",
                                        {shape.get()})
                   : ref();
    ref f_df1 = ref::steal(PyLong_FromSize_t(fit.out.f_df1));
    ref entries[] = {ts,
                     array_of(numpy.get(), fit.df_total.data(), rows),
                     array_of(numpy.get(), fit.f.data(), rows),
                     f_df1,
                     array_of(numpy.get(), fit.f_df2.data(), rows),
                     array_of(numpy.get(), fit.s2_prior.data(), rows),
                     array_of(numpy.get(), fit.df_prior.data(), rows)};
    const char* names[] = {"t", "df_total", "F", "f_df1", "f_df2", "s2_prior", "df_prior"};
    ref dict = ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (!entries[i] || PyDict_SetItemString(dict.get(), names[i], entries[i].get()) < 0)
            return nullptr;
    return dict.release();
}

// A 2-D float64 array held in view: its rows and columns.
int matrix_of(PyObject* obj, ref& array, pyapi::buffer& view, std::size_t& rows, std::size_t& cols) {
    ref numpy = pyapi::import("numpy");
    ref f64 = pyapi::str("float64");
    array = pyapi::call(pyapi::attr(numpy, "ascontiguousarray"), {obj}, {{"dtype", f64.get()}});
    if (!array || view.acquire(array.get(), PyBUF_ND) < 0) return -1;
    if (view.ndim() != 2) {
        PyErr_SetString(PyExc_ValueError, "expected a two-dimensional array");
        return -1;
    }
    rows = static_cast<std::size_t>(view.extent(0));
    cols = static_cast<std::size_t>(view.extent(1));
    return 0;
}

// array_weights(values, design) -> the sample weights
PyObject* array_weights(PyObject*, pyapi::bound_args& a) {
    ref values, design;
    pyapi::buffer vb, db;
    std::size_t rows = 0, n = 0, dn = 0, p = 0;
    if (matrix_of(a[0], values, vb, rows, n) < 0 || matrix_of(a[1], design, db, dn, p) < 0) return nullptr;
    if (dn != n) {
        PyErr_SetString(PyExc_ValueError, "the design needs one row per column of values");
        return nullptr;
    }
    std::vector<double> w;
    if (pyapi::without_gil([&] {
            w = kernels::array_weights::estimate(static_cast<const double*>(vb.data()), rows,
                                                 static_cast<const double*>(db.data()), n, p);
        }) < 0)
        return nullptr;
    ref numpy = pyapi::import("numpy");
    return numpy ? array_of(numpy.get(), w.data(), w.size()).release() : nullptr;
}

// duplicate_correlation(values, design, block, weights=None) -> (consensus, atanh correlations)
PyObject* duplicate_correlation(PyObject*, pyapi::bound_args& a) {
    ref values, design, weights_array;
    pyapi::buffer vb, db, wb;
    std::size_t rows = 0, n = 0, dn = 0, p = 0;
    if (matrix_of(a[0], values, vb, rows, n) < 0 || matrix_of(a[1], design, db, dn, p) < 0) return nullptr;
    ref numpy = pyapi::import("numpy");
    ref intc = pyapi::str("intc");
    ref block = numpy ? pyapi::call(pyapi::attr(numpy, "ascontiguousarray"), {a[2]}, {{"dtype", intc.get()}})
                      : ref();
    pyapi::buffer bb;
    if (!block || bb.acquire(block.get(), PyBUF_ND) < 0) return nullptr;
    const double* weights = nullptr;
    if (a[3] != Py_None) {
        ref f64 = pyapi::str("float64");
        weights_array = pyapi::call(pyapi::attr(numpy, "ascontiguousarray"), {a[3]}, {{"dtype", f64.get()}});
        if (!weights_array || wb.acquire(weights_array.get(), PyBUF_ND) < 0) return nullptr;
        weights = static_cast<const double*>(wb.data());
    }
    const int* codes = static_cast<const int*>(bb.data());
    if (dn != n || static_cast<std::size_t>(bb.length()) != n ||
        (weights && static_cast<std::size_t>(wb.length()) != n)) {
        PyErr_SetString(PyExc_ValueError, "design, block and weights need one entry per column of values");
        return nullptr;
    }
    int blocks = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (codes[i] < 0) {
            PyErr_SetString(PyExc_ValueError, "block indices must not be negative");
            return nullptr;
        }
        blocks = std::max(blocks, codes[i] + 1);
    }
    kernels::duplicate_correlation::outcome out;
    if (pyapi::without_gil([&] {
            out = kernels::duplicate_correlation::estimate(
                static_cast<const double*>(vb.data()), rows, static_cast<const double*>(db.data()), n,
                p, codes, static_cast<std::size_t>(blocks), weights);
        }) < 0)
        return nullptr;
    ref atanh = array_of(numpy.get(), out.atanh_correlations.data(), out.atanh_correlations.size());
    return atanh ? Py_BuildValue("(dO)", out.consensus, atanh.get()) : nullptr;
}

using pyapi::false_default;

const pyapi::function_spec functions[] = {
    {"array_weights", {{{"values"}, {"design"}}}, false, array_weights},
    {"duplicate_correlation",
     {{{"values"}, {"design"}, {"block"}, {"weights", pyapi::none_default()}}},
     false,
     duplicate_correlation},
    {"permutation_t_test", {{{"x"}, {"y"}, {"reps"}, {"seed"}}}, false, permutation_t_test},
    {"moderated_fit",
     {{{"values"}, {"groups"}, {"n_groups"}, {"legacy", false_default()}, {"trend", false_default()},
       {"robust", false_default()}}},
     false,
     moderated_fit},
};

int exec_module(PyObject* module) {
    if (pyapi::ready_function_type() < 0) return -1;
    for (const auto& spec : functions)
        if (pyapi::define_function(module, spec) < 0) return -1;
    return 0;
}

}  // namespace
}  // namespace tessera::native

PyMODINIT_FUNC PyInit__native() {
    return tessera::pyapi::module_init({"_native", 0, tessera::native::exec_module});
}
