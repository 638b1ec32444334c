// Owning handle over a PyObject* and the few conversions every module needs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tessera::pyapi {

// Owns one strong reference; an empty handle means "an exception is set".
class ref {
public:
    ref() noexcept = default;
    ref(const ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    ref(ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~ref() { Py_XDECREF(p_); }

    ref& operator=(ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference (or nullptr from a failed call).
    static ref steal(PyObject* p) noexcept { return ref(p); }
    // Adds a reference to a borrowed pointer.
    static ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller, typically CPython as a return value.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new str from UTF-8 text.
inline ref str(const char* text) { return ref::steal(PyUnicode_FromString(text)); }

// None, True and False as owned handles.
inline ref none() { return ref::borrow(Py_None); }
inline ref boolean(bool v) { return ref::borrow(v ? Py_True : Py_False); }

}  // namespace tessera::pyapi
