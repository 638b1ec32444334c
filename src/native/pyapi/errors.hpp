// Pending exceptions: a scoped saver, the rule for falling back after an
// error, and refusals that name what they refuse.
#pragma once

#include "handle.hpp"

namespace tessera::pyapi {

// Sets the pending exception aside for the saver's lifetime, so that clean-up
// code can call into Python, and puts it back when the saver goes away. If
// the clean-up itself fails, drop() keeps the newer exception instead.
class saved_error {
public:
    saved_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &trace_);
#endif
    }
    saved_error(const saved_error&) = delete;
    saved_error& operator=(const saved_error&) = delete;
    ~saved_error() {
        if (dropped_) {
            Py_XDECREF(type_);
            Py_XDECREF(value_);
            Py_XDECREF(trace_);
            return;
        }
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_);
#else
        PyErr_Restore(type_, value_, trace_);
#endif
    }
    // Forgets the saved exception: the one now pending (if any) stands.
    void drop() noexcept { dropped_ = true; }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* trace_ = nullptr;
    bool dropped_ = false;
};

// Before a fallback route: clears a pending exception that derives from
// Exception and returns 0. Anything else (KeyboardInterrupt, SystemExit)
// stays set and gives -1, so that a fallback never swallows Ctrl-C.
int clear_ordinary_error();

// What a refusal names besides its message, for callers that word it their
// own way: the argument at fault and, where they apply, the column label,
// the group name and the offending value (nullptr: None). Borrowed.
struct fault {
    const char* parameter = nullptr;
    PyObject* column = nullptr;
    PyObject* group = nullptr;
    PyObject* value = nullptr;
};

// Raises `type` (ValueError, TypeError) with the message PyUnicode_FromFormat
// makes of `format`, carrying the fault as the attributes parameter, column,
// group and value (all four set, None where they do not apply). Returns -1.
int refuse(PyObject* type, const fault& at, const char* format, ...);

}  // namespace tessera::pyapi
