#include "quiet.hpp"

#include "call.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "interrupts.hpp"

#include <chrono>
#include <thread>

namespace tessera::pyapi {

// Which thread has a block open; read and written with the GIL held.
struct owner_record {
    int open;
    unsigned long thread;
};

namespace {

constexpr const char* record_key = "tessera.pyapi.quiet_warnings";

void free_record(PyObject* capsule) {
    delete static_cast<owner_record*>(PyCapsule_GetPointer(capsule, record_key));
}

// The interpreter's record, made by the first module that asks; nullptr
// with an exception set on failure.
owner_record* shared_record() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dict");
        return nullptr;
    }
    PyObject* found = PyDict_GetItemString(dict, record_key);  // borrowed
    if (found) return static_cast<owner_record*>(PyCapsule_GetPointer(found, record_key));
    auto* record = new (std::nothrow) owner_record{0, 0};
    if (!record) {
        PyErr_NoMemory();
        return nullptr;
    }
    ref capsule = ref::steal(PyCapsule_New(record, record_key, free_record));
    if (!capsule) {
        delete record;
        return nullptr;
    }
    return PyDict_SetItemString(dict, record_key, capsule.get()) < 0 ? nullptr : record;
}

}  // namespace

int quiet_warnings::open() {
    owner_record* record = shared_record();
    if (!record) return -1;
    const unsigned long me = PyThread_get_thread_ident();
    if (record->open && record->thread == me) return 0;  // nested: the outer block serves
    while (record->open) {
        if (without_gil([] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }) < 0 ||
            check_interrupt() < 0)
            return -1;
    }
    ref warnings = import("warnings");
    ref manager = call(attr(warnings, "catch_warnings"), {});
    if (!manager || !call_method(manager.get(), "__enter__", {})) return -1;
    record_ = record;
    manager_ = manager;
    record->open = 1;
    record->thread = me;
    ref ignore = str("ignore");
    if (!call(attr(warnings, "simplefilter"), {ignore.get()})) {
        close();
        return -1;
    }
    return 0;
}

int quiet_warnings::close() {
    if (!record_) return PyErr_Occurred() ? -1 : 0;
    saved_error pending;
    ref left = call_method(manager_.get(), "__exit__", {Py_None, Py_None, Py_None});
    record_->open = 0;
    record_ = nullptr;
    manager_ = ref();
    if (!left) pending.drop();
    return left ? 0 : -1;
}

quiet_warnings::~quiet_warnings() {
    if (record_) close();
}

}  // namespace tessera::pyapi
