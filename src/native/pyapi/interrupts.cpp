#include "interrupts.hpp"

#include "call.hpp"
#include "errors.hpp"

#include <csignal>

namespace tessera::pyapi {

namespace {

// Written by the signal handler, read by check_interrupt.
volatile std::sig_atomic_t noted = 0;
// The C handler ours replaced (the interpreter's own), called after noting.
PyOS_sighandler_t previous = nullptr;
// Open scopes on the main thread; only touched with the GIL held.
int depth = 0;
unsigned long owner = 0;

extern "C" void note_interrupt(int signum) {
    noted = 1;
    PyOS_sighandler_t next = previous;
    if (next && next != SIG_DFL && next != SIG_IGN) next(signum);
}

// 1 when this is the main thread and SIGINT has its standard meaning.
int standard_ctrl_c_here() {
    ref threading = import("threading");
    ref main = call(attr(threading, "main_thread"), {});
    ref ident = attr(main, "ident");
    if (!ident) return -1;
    const unsigned long main_id = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return -1;
    if (main_id != PyThread_get_thread_ident()) return 0;
    ref signal = import("signal");
    ref number = ref::steal(PyLong_FromLong(SIGINT));
    ref current = call(attr(signal, "getsignal"), {number.get()});
    ref standard = attr(signal, "default_int_handler");
    if (!current || !standard) return -1;
    return current.get() == standard.get();
}

}  // namespace

interrupt_scope::interrupt_scope() noexcept {
    if (depth > 0) {
        // nested: the outer scope already notes presses if this is its thread
        if (owner == PyThread_get_thread_ident()) {
            ++depth;
            active_ = true;
        }
        return;
    }
    int standard;
    {
        // an exception already pending is left exactly as it is
        saved_error pending;
        standard = standard_ctrl_c_here();
        if (standard < 0) PyErr_Clear();
    }
    if (standard <= 0) return;
    PyOS_sighandler_t current = PyOS_getsig(SIGINT);
    if (current == SIG_ERR || current == SIG_DFL || current == SIG_IGN) return;
    previous = current;
    noted = 0;
    if (PyOS_setsig(SIGINT, note_interrupt) == SIG_ERR) return;
    depth = 1;
    owner = PyThread_get_thread_ident();
    active_ = true;
}

interrupt_scope::~interrupt_scope() {
    if (!active_ || --depth > 0) return;
    // someone may have installed another handler meanwhile: theirs stays
    if (PyOS_getsig(SIGINT) == note_interrupt) PyOS_setsig(SIGINT, previous);
    noted = 0;
}

int check_interrupt() {
    if (PyErr_Occurred()) return -1;
    if (PyErr_CheckSignals() < 0) return -1;
    if (depth > 0 && noted && owner == PyThread_get_thread_ident()) {
        noted = 0;
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        return -1;
    }
    return 0;
}

bool should_cancel(void* context) {
    auto* watch = static_cast<cancel_watch*>(context);
    if (watch->stopped.load(std::memory_order_relaxed)) return true;
    if (std::this_thread::get_id() != watch->caller) return false;
    PyGILState_STATE gil = PyGILState_Ensure();
    const bool stop = check_interrupt() < 0;  // the exception stays set for the caller
    PyGILState_Release(gil);
    if (stop) watch->stopped = true;
    return stop;
}

}  // namespace tessera::pyapi
