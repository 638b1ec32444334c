// tessera.tools._native: direct access to kernels, for tests and benchmarks.
//
// permutation_t_test(x, y, reps, seed) runs the permutation kernel with any
// number of repetitions, so that it can be compared with the library on
// short runs of the same random stream.
#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/buffer.hpp"
#include "pyapi/module.hpp"

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

const pyapi::function_spec functions[] = {
    {"permutation_t_test", {{{"x"}, {"y"}, {"reps"}, {"seed"}}}, false, permutation_t_test},
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
