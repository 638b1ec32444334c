// Ctrl-C during long calls.
//
// SIGINT becomes KeyboardInterrupt at the interpreter's next check on the
// main thread. When that check falls inside a callback whose exceptions the
// interpreter ignores (a weakref callback, __del__; pandas runs such
// callbacks all the time), the exception is printed and dropped and the
// press is lost. While an interrupt_scope is alive, a C-level handler of ours
// notes every press before handing it to the interpreter's own handler, and
// check_interrupt() raises KeyboardInterrupt for a press whose exception was
// dropped.
#pragma once

#include "handle.hpp"

#include <atomic>
#include <thread>

namespace tessera::pyapi {

// Notes SIGINT for its lifetime, on the main thread only and only while
// Ctrl-C has its standard meaning (the Python-level handler is
// signal.default_int_handler); elsewhere it does nothing, so other threads
// and programs that handle SIGINT themselves are unaffected. Scopes nest; the
// outermost one restores the previous C handler. Never fails.
class interrupt_scope {
public:
    interrupt_scope() noexcept;
    ~interrupt_scope();
    interrupt_scope(const interrupt_scope&) = delete;
    interrupt_scope& operator=(const interrupt_scope&) = delete;

private:
    bool active_ = false;
};

// The one Ctrl-C check of long loops: runs the interpreter's pending signal
// handlers and raises KeyboardInterrupt for a press noted by a scope. 0, or
// -1 with an exception set (also when one is already pending).
int check_interrupt();

// Ctrl-C checks for kernel work running without the GIL, on the calling
// thread and on workers. Only the thread that made the watch takes the GIL
// and checks; once a check has failed, every thread is told to stop.
struct cancel_watch {
    std::atomic<bool> stopped{false};
    std::thread::id caller = std::this_thread::get_id();

    // After the work, with the GIL held: -1 with the exception set when a
    // check stopped it (KeyboardInterrupt if none is set), else 0.
    int result() const {
        if (!stopped.load()) return 0;
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return -1;
    }
};

// A kernel's cancel hook (`context` is a cancel_watch): true when the work
// must stop.
bool should_cancel(void* context);

}  // namespace tessera::pyapi
