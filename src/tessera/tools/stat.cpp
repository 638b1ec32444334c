// tessera.tools.stat: the two-group test and fold-change function.
//
// scipy.stats and permute.core are imported inside every call, so the module
// loads without them and each call reports their absence. The permutation
// test's fast route is the C++ kernel (same random stream, same statistic,
// same counts), reference-exact once it has reproduced the installed library
// on a few inputs in this process.
#include "pyapi/buffer.hpp"
#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/module.hpp"
#include "pyapi/quiet.hpp"

#include "kernels/permutation.hpp"

#include <cmath>
#include <cstdint>

namespace tessera::stat {

using pyapi::ref;

namespace {

constexpr std::size_t permutation_reps = kernels::default_reps;
constexpr std::int64_t permutation_seed = kernels::default_seed;

// The permutation kernel is taken once it has reproduced the installed
// library on a few inputs; `matched` is that library function.
enum class object { matched, count };  // permute.core.two_sample the kernel matched

struct module_state {
    pyapi::object_slots<object> objects;
    int kernel_state;       // 0 not checked yet, 2 being checked, 1 matches, -1 disagrees
    unsigned long checker;  // the thread running the check while kernel_state == 2
};

module_state* state_of(PyObject* module) { return pyapi::state_of<module_state>(module); }

PyObject* namespace_of(PyObject* module) { return PyModule_GetDict(module); }

ref np_attr(PyObject* module, const char* name) {
    return pyapi::attr(pyapi::global(namespace_of(module), "np"), name);
}

// (first, None)
PyObject* with_none(ref first) {
    if (!first) return nullptr;
    return PyTuple_Pack(2, first.get(), Py_None);
}

// np.float64(value)
ref float64(PyObject* numpy, double value) {
    ref v = ref::steal(PyFloat_FromDouble(value));
    return pyapi::call(pyapi::attr(numpy, "float64"), {v.get()});
}

// (np.mean(x) <op> np.mean(y), None): the fold changes of two group means.
PyObject* combined_means(PyObject* module, PyObject* x, PyObject* y,
                         PyObject* (*op)(PyObject*, PyObject*)) {
    ref mean = np_attr(module, "mean");
    ref mx = pyapi::call(mean, {x});
    ref my = pyapi::call(mean, {y});
    if (!mx || !my) return nullptr;
    return with_none(ref::steal(op(mx.get(), my.get())));
}

// The statistic the library computes before permuting: the pooled t of the
// two samples as it concatenates and splits them. Empty when it cannot be
// computed here (the library then reports its own error).
ref observed_t(PyObject* stats, PyObject* numpy, PyObject* x, PyObject* y) {
    ref pair = ref::steal(PyList_New(2));
    if (!pair) return {};
    PyList_SET_ITEM(pair.get(), 0, Py_NewRef(x));
    PyList_SET_ITEM(pair.get(), 1, Py_NewRef(y));
    ref pooled = pyapi::call(pyapi::attr(numpy, "concatenate"), {pair.get()});
    Py_ssize_t nx = PyObject_Length(x);
    if (!pooled || nx < 0) return {};
    ref head = ref::steal(PySlice_New(nullptr, ref::steal(PyLong_FromSsize_t(nx)).get(), nullptr));
    ref tail = ref::steal(PySlice_New(ref::steal(PyLong_FromSsize_t(nx)).get(), nullptr, nullptr));
    ref result = pyapi::call(pyapi::attr(stats, "ttest_ind"),
                             {pyapi::item(pooled.get(), head.get()).get(),
                              pyapi::item(pooled.get(), tail.get()).get()},
                             {{"equal_var", Py_True}});
    return pyapi::item(result.get(), Py_ssize_t{0});
}

// Loads a 1-D float64 numpy array for the kernel: 1 when loaded, 0 when
// `obj` is anything else, -1 with an exception set.
int kernel_sample(PyObject* numpy, PyObject* obj, ref& array, pyapi::buffer& view) {
    ref ndarray = pyapi::attr(numpy, "ndarray");
    if (!ndarray) return -1;
    if (Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(ndarray.get())) return 0;
    ref dtype = pyapi::attr(obj, "dtype");
    ref f64 = pyapi::call(pyapi::attr(numpy, "dtype"), {ref(pyapi::str("float64")).get()});
    ref ndim = pyapi::attr(obj, "ndim");
    if (!dtype || !f64 || !ndim) return -1;
    const long dimensions = PyLong_AsLong(ndim.get());
    if (dimensions == -1 && PyErr_Occurred()) return -1;
    if (dtype.get() != f64.get() || dimensions != 1) return 0;
    array = pyapi::call(pyapi::attr(numpy, "ascontiguousarray"), {obj});
    if (!array || view.acquire(array.get(), PyBUF_FORMAT) < 0) return -1;
    return view.itemsize() == 8 ? 1 : 0;
}

// Runs the kernel on two float64 samples: 1 with (t, p) set, 0 when the
// kernel does not take these inputs, -1 with an exception (KeyboardInterrupt).
int run_kernel(const double* x, std::size_t nx, const double* y, std::size_t ny, std::size_t reps,
               double& t, double& p);

// The permutation branch: returns the (t, p) tuple.
PyObject* permutation(PyObject* module, PyObject* stats, PyObject* two_sample, PyObject* x,
                      PyObject* y);

// hypothesis_test(x, y, method="t", equal_var=True, **kwargs)
PyObject* hypothesis_test(PyObject* module, pyapi::bound_args& a) {
    PyObject* x = a[0];
    PyObject* y = a[1];
    PyObject* method = a[2];
    PyObject* g = namespace_of(module);
    ref stats = pyapi::import_from(g, "scipy", "stats", 0);
    if (!stats) return nullptr;
    ref two_sample = pyapi::import_from(g, "permute.core", "two_sample", 0);
    if (!two_sample) return nullptr;

    auto is = [method](const char* name) { return pyapi::equals(method, name); };
    int hit;
    if ((hit = is("t")) != 0) {
        if (hit < 0) return nullptr;
        return pyapi::call(pyapi::attr(stats, "ttest_ind"), {x, y}, {{"equal_var", a[3]}})
            .release();
    }
    if ((hit = is("paired_t")) != 0) {
        if (hit < 0) return nullptr;
        ref diff = ref::steal(PyNumber_Subtract(x, y));
        if (!diff) return nullptr;
        ref zero = ref::steal(PyLong_FromLong(0));
        return pyapi::call(pyapi::attr(stats, "ttest_1samp"), {diff.get(), zero.get()}).release();
    }
    if ((hit = is("Welch")) != 0) {
        if (hit < 0) return nullptr;
        return pyapi::call(pyapi::attr(stats, "ttest_ind"), {x, y}, {{"equal_var", Py_False}})
            .release();
    }
    if ((hit = is("Wilcoxon")) != 0) {
        if (hit < 0) return nullptr;
        return pyapi::call(pyapi::attr(stats, "wilcoxon"), {x, y}).release();
    }
    if ((hit = is("Mannwhiteneyu")) != 0) {
        if (hit < 0) return nullptr;
        return pyapi::call(pyapi::attr(stats, "mannwhitneyu"), {x, y}).release();
    }
    if ((hit = is("permutation")) != 0) {
        if (hit < 0) return nullptr;
        return permutation(module, stats.get(), two_sample.get(), x, y);
    }
    if ((hit = is("log2fc")) != 0) {
        if (hit < 0) return nullptr;
        return combined_means(module, x, y, PyNumber_Subtract);
    }
    if ((hit = is("fc")) != 0) {
        if (hit < 0) return nullptr;
        return combined_means(module, x, y, PyNumber_TrueDivide);
    }
    if ((hit = is("plog2fc")) != 0) {
        if (hit < 0) return nullptr;
        ref array = np_attr(module, "array");
        PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
        ref ax = pyapi::call(array, {x}, {{"dtype", float_type}});
        if (!ax) return nullptr;
        ref ay = pyapi::call(array, {y}, {{"dtype", float_type}});
        if (!ay) return nullptr;
        ref diff = ref::steal(PyNumber_Subtract(ax.get(), ay.get()));
        if (!diff) return nullptr;
        return with_none(pyapi::call(np_attr(module, "mean"), {diff.get()}));
    }
    Py_RETURN_NONE;
}

// Reference route of the permutation branch, with the NaN rule: a NaN observed
// statistic (a NaN in a sample, or two constant groups) yields (nan, nan)
// without permuting, since no permutation could be counted as extreme.
PyObject* library_permutation(PyObject* stats, PyObject* numpy, PyObject* two_sample,
                              PyObject* x, PyObject* y) {
    // On an ordinary error the library call below reports the problem itself.
    ref observed = observed_t(stats, numpy, x, y);
    if (observed) {
        double value = PyFloat_AsDouble(observed.get());
        if (value == -1.0 && PyErr_Occurred()) {
            if (pyapi::clear_ordinary_error() < 0) return nullptr;
        } else if (Py_IS_NAN(value)) {
            ref nan = float64(numpy, value);
            if (!nan) return nullptr;
            return PyTuple_Pack(2, nan.get(), nan.get());
        }
    } else if (pyapi::clear_ordinary_error() < 0) {
        return nullptr;
    }
    ref reps = ref::steal(PyLong_FromSize_t(permutation_reps));
    ref stat = pyapi::str("t");
    ref alternative = pyapi::str("two-sided");
    ref seed = ref::steal(PyLong_FromLongLong(permutation_seed));
    ref result = pyapi::call(two_sample, {x, y},
                             {{"reps", reps.get()}, {"stat", stat.get()},
                              {"alternative", alternative.get()}, {"seed", seed.get()}});
    ref p_and_t[2];
    if (pyapi::unpack(result.get(), 2, p_and_t) < 0) return nullptr;
    return PyTuple_Pack(2, p_and_t[1].get(), p_and_t[0].get());
}

}  // namespace
}  // namespace tessera::stat

namespace tessera::stat {
namespace {

int run_kernel(const double* x, std::size_t nx, const double* y, std::size_t ny, std::size_t reps,
               double& t, double& p) {
    pyapi::cancel_watch watch;
    kernels::cancel_hook hook;
    hook.should_stop = pyapi::should_cancel;
    hook.context = &watch;
    hook.interval = kernels::cancel_interval(nx + ny);
    kernels::two_sample_result r;
    if (pyapi::without_gil([&] {
            r = kernels::permutation_t_test(x, nx, y, ny, reps, permutation_seed,
                                            kernels::alternative::two_sided, hook);
        }) < 0)
        return -1;
    switch (r.status) {
        case kernels::run_status::ok:
            t = r.t_observed;
            p = r.p_value;
            return 1;
        case kernels::run_status::cancelled:
            return watch.result() < 0 ? -1 : 0;
        case kernels::run_status::out_of_memory:
            PyErr_NoMemory();
            return -1;
        default:
            return 0;
    }
}

// A few small inputs on which the kernel must reproduce the library exactly
// (a short run of the same stream: the statistic, the shuffles and the counts).
int kernel_agrees_with(PyObject* numpy, PyObject* two_sample) {
    static const double samples[][2][6] = {
        {{1.0, 2.0, 3.0, 4.0, 0, 0}, {2.5, 3.5, 1.5, 6.0, 0, 0}},
        {{1.0, 1.0, 2.0, 0, 0, 0}, {1.0, 2.0, 2.0, 0, 0, 0}},
        {{0.3, 1.7, 2.2, 5.1, 0.9, 0}, {2.2, 3.1, 4.4, 0, 0, 0}},
    };
    static const std::size_t sizes[][2] = {{4, 4}, {3, 3}, {5, 3}};
    constexpr std::size_t check_reps = 60;
    ref reps = ref::steal(PyLong_FromSize_t(check_reps));
    ref stat = pyapi::str("t");
    ref alternative = pyapi::str("two-sided");
    ref seed = ref::steal(PyLong_FromLongLong(permutation_seed));
    ref array = pyapi::attr(numpy, "array");
    if (!reps || !stat || !alternative || !seed || !array) return -1;
    for (std::size_t k = 0; k < 3; ++k) {
        ref xs[2];
        for (int s = 0; s < 2; ++s) {
            ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(sizes[k][s])));
            if (!list) return -1;
            for (std::size_t i = 0; i < sizes[k][s]; ++i)
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                                PyFloat_FromDouble(samples[k][s][i]));
            xs[s] = pyapi::call(array, {list.get()});
            if (!xs[s]) return -1;
        }
        ref result = pyapi::call(two_sample, {xs[0].get(), xs[1].get()},
                                 {{"reps", reps.get()}, {"stat", stat.get()},
                                  {"alternative", alternative.get()}, {"seed", seed.get()}});
        ref p_and_t[2];
        if (pyapi::unpack(result.get(), 2, p_and_t) < 0) return -1;
        const double lib_p = PyFloat_AsDouble(p_and_t[0].get());
        const double lib_t = PyFloat_AsDouble(p_and_t[1].get());
        if (PyErr_Occurred()) return -1;
        double t = 0, p = 0;
        int ran = run_kernel(samples[k][0], sizes[k][0], samples[k][1], sizes[k][1], check_reps,
                             t, p);
        if (ran < 0) return -1;
        if (ran == 0 || t != lib_t || p != lib_p) return 0;
    }
    return 1;
}

PyObject* permutation(PyObject* module, PyObject* stats, PyObject* two_sample, PyObject* x,
                      PyObject* y) {
    module_state* st = state_of(module);
    ref numpy = pyapi::import("numpy");
    if (!numpy) return nullptr;
    // One thread checks the kernel, inside a quiet block: the check's own
    // library runs may warn (constant permutations), which is not the
    // caller's business. The block is exclusive, so a thread arriving while
    // another checks waits in it for the verdict. The checking thread itself
    // (should the library call back in here) takes the reference route.
    const unsigned long me = PyThread_get_thread_ident();
    if (st->kernel_state == 0 || (st->kernel_state == 2 && st->checker != me)) {
        const int checked = pyapi::quietly([&] {
            if (st->kernel_state != 0) return 0;
            st->kernel_state = 2;
            st->checker = me;
            const int agrees = kernel_agrees_with(numpy.get(), two_sample);
            if (agrees < 0) {
                st->kernel_state = 0;  // an interrupted check runs again next time
                return -1;
            }
            st->kernel_state = agrees ? 1 : -1;
            return st->objects.set(object::matched, ref::borrow(two_sample));
        });
        if (checked < 0) return nullptr;
    }
    if (st->kernel_state != 1 || two_sample != st->objects[object::matched])
        return library_permutation(stats, numpy.get(), two_sample, x, y);

    ref ax, ay;
    pyapi::buffer bx, by;
    int usable = kernel_sample(numpy.get(), x, ax, bx);
    if (usable > 0) usable = kernel_sample(numpy.get(), y, ay, by);
    if (usable < 0) return nullptr;
    if (usable == 0 || bx.length() == 0 || by.length() == 0)
        return library_permutation(stats, numpy.get(), two_sample, x, y);

    const auto* xs = static_cast<const double*>(bx.data());
    const auto* ys = static_cast<const double*>(by.data());
    const auto nx = static_cast<std::size_t>(bx.length());
    const auto ny = static_cast<std::size_t>(by.length());
    double t = kernels::pooled_t_statistic(xs, nx, ys, ny);
    double p = t;  // NaN statistic: no permutation can be extreme; report (nan, nan)
    if (!std::isnan(t)) {
        int ran = run_kernel(xs, nx, ys, ny, permutation_reps, t, p);
        if (ran < 0) return nullptr;
        if (ran == 0) return library_permutation(stats, numpy.get(), two_sample, x, y);
    }
    ref t_obj = float64(numpy.get(), t);
    ref p_obj = float64(numpy.get(), p);
    if (!t_obj || !p_obj) return nullptr;
    return PyTuple_Pack(2, t_obj.get(), p_obj.get());
}

const pyapi::function_spec functions[] = {
    {"hypothesis_test",
     {{{"x"}, {"y"}, {"method", pyapi::text_default("t")}, {"equal_var", pyapi::true_default()}}},
     true,
     hypothesis_test},
};

int exec_module(PyObject* module) {
    if (pyapi::ready_function_type() < 0) return -1;
    if (!pyapi::import_as(module, "numpy", "np")) return -1;
    for (const auto& spec : functions)
        if (pyapi::define_function(module, spec) < 0) return -1;
    return 0;
}

}  // namespace
}  // namespace tessera::stat

PyMODINIT_FUNC PyInit_stat() {
    using namespace tessera::stat;
    return tessera::pyapi::module_init<module_state>("stat", exec_module);
}
