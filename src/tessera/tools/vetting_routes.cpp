#include "vetting_routes.hpp"

#include "pyapi/call.hpp"

namespace tessera::vetting::routes {

using pyapi::ref;

namespace {

module_state* state_of(PyObject* module) {
    return static_cast<module_state*>(PyModule_GetState(module));
}

ref global(PyObject* module, const char* name) {
    return pyapi::global(PyModule_GetDict(module), name);
}

}  // namespace

int capture(PyObject* module) {
    module_state* st = state_of(module);
    ref np = global(module, "np");
    ref pd = global(module, "pd");
    ref math = global(module, "math");
    ref test = global(module, "hypothesis_test");
    ref f_oneway = global(module, "f_oneway");
    ref mt = global(module, "multipletests");
    ref frame = pyapi::attr(pd, "DataFrame");
    ref dtype = pyapi::attr(np, "dtype");
    ref f64 = pyapi::call(dtype, {ref(pyapi::str("float64")).get()});
    ref i64 = pyapi::call(dtype, {ref(pyapi::str("int64")).get()});
    if (!np || !pd || !math || !test || !f_oneway || !mt || !frame || !f64 || !i64) return -1;
    st->numpy = np.release();
    st->pandas = pd.release();
    st->math = math.release();
    st->hypothesis_test = test.release();
    st->f_oneway = f_oneway.release();
    st->multipletests = mt.release();
    st->frame_type = frame.release();
    st->float64 = f64.release();
    st->int64 = i64.release();
    st->median_df = nullptr;
    return 0;
}

#define TESSERA_STATE_FIELDS(op)   \
    op(st->numpy);                 \
    op(st->pandas);                \
    op(st->math);                  \
    op(st->hypothesis_test);       \
    op(st->f_oneway);              \
    op(st->multipletests);         \
    op(st->frame_type);            \
    op(st->float64);               \
    op(st->int64);                 \
    op(st->median_df)

int traverse(PyObject* module, visitproc visit, void* arg) {
    module_state* st = state_of(module);
    if (st) { TESSERA_STATE_FIELDS(Py_VISIT); }
    return 0;
}

int clear(PyObject* module) {
    module_state* st = state_of(module);
    if (st) { TESSERA_STATE_FIELDS(Py_CLEAR); }
    return 0;
}

void free(void* module) { clear(static_cast<PyObject*>(module)); }

ref adjust_pvalues(PyObject* module, PyObject* p, PyObject* method) {
    ref np = global(module, "np");
    ref mt = global(module, "multipletests");
    ref missing = pyapi::call(pyapi::attr(np, "isnan"), {p});
    ref any = pyapi::call_method(missing.get(), "any", {});
    if (!any) return {};
    int some = PyObject_IsTrue(any.get());
    if (some < 0) return {};
    if (!some) return pyapi::item(pyapi::call(mt, {p}, {{"method", method}}).get(), Py_ssize_t{1});

    ref all = pyapi::call_method(missing.get(), "all", {});
    ref shape = pyapi::attr(p, "shape");
    ref nan = pyapi::attr(np, "nan");
    ref adjusted = pyapi::call(pyapi::attr(np, "full"), {shape.get(), nan.get()});
    if (!all || !adjusted) return {};
    int every = PyObject_IsTrue(all.get());
    if (every < 0) return {};
    if (every) {
        // still ask the library, so an unknown method name fails as it does
        if (!pyapi::call(mt, {p}, {{"method", method}})) return {};
        return adjusted;
    }
    ref keep = ref::steal(PyNumber_Invert(missing.get()));
    ref tested = pyapi::item(pyapi::call(mt, {pyapi::item(p, keep.get()).get()},
                                         {{"method", method}}).get(), Py_ssize_t{1});
    if (!tested || PyObject_SetItem(adjusted.get(), keep.get(), tested.get()) < 0) return {};
    return adjusted;
}

int fast_medians(PyObject*, PyObject*, PyObject*, PyObject*) { return 0; }

int fast_med_norm(PyObject*, PyObject*, PyObject*, PyObject*) { return 0; }

ref fast_two_samples(PyObject*, PyObject*, PyObject*, PyObject*, PyObject*, PyObject*) {
    return pyapi::none();
}

ref fast_oneway(PyObject*, PyObject*, PyObject*, PyObject*) { return pyapi::none(); }

}  // namespace tessera::vetting::routes
