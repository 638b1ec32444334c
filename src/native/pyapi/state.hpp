// Module state: the objects a module captures at import, owned in slots that
// one traverse/clear loop serves, beside any plain data the module keeps.
//
// A module's state struct (zero-filled by the interpreter, never constructed)
// holds an `object_slots<Slot>` member named `objects`, where Slot is an enum
// class whose last enumerator is `count`; state_hooks<State> supplies the
// garbage-collector and free hooks of the module definition.
#pragma once

#include "handle.hpp"

#include <cstddef>

namespace tessera::pyapi {

template <class Slot>
class object_slots {
public:
    // The object in slot s (borrowed), or nullptr when unset.
    PyObject* operator[](Slot s) const noexcept { return slots_[index(s)]; }
    // Takes over `value` for slot s, releasing what the slot held; -1 when
    // `value` is empty (an exception is set).
    int set(Slot s, ref value) noexcept {
        if (!value) return -1;
        Py_XSETREF(slots_[index(s)], value.release());
        return 0;
    }
    int traverse(visitproc visit, void* arg) const {
        for (PyObject* p : slots_) Py_VISIT(p);
        return 0;
    }
    void clear() noexcept {
        for (PyObject*& p : slots_) Py_CLEAR(p);
    }

private:
    static constexpr std::size_t index(Slot s) noexcept { return static_cast<std::size_t>(s); }
    PyObject* slots_[static_cast<std::size_t>(Slot::count)];
};

// The state of `module` as the module's own struct.
template <class State>
State* state_of(PyObject* module) {
    return static_cast<State*>(PyModule_GetState(module));
}

// m_traverse, m_clear and m_free for a module whose state is State.
template <class State>
struct state_hooks {
    static int traverse_state(PyObject* module, visitproc visit, void* arg) {
        State* st = state_of<State>(module);
        return st ? st->objects.traverse(visit, arg) : 0;
    }
    static int clear_state(PyObject* module) {
        if (State* st = state_of<State>(module)) st->objects.clear();
        return 0;
    }
    static void free_state(void* module) { clear_state(static_cast<PyObject*>(module)); }
};

}  // namespace tessera::pyapi
