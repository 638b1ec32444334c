// The package's permutation test of many rows, as the modules run it: the
// kernel without the GIL, on every core, stopping at Ctrl-C.
#pragma once

#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"

#include "kernels/permutation.hpp"

namespace tessera::tools {

// kernels::permutation_rows over xs (rows x nx) and ys (rows x ny) into t
// and p: 1 done, 0 when the kernel does not take a row (t and p are then
// incomplete), -1 with an exception set (KeyboardInterrupt, MemoryError).
inline int permutation_rows(const double* xs, std::size_t nx, const double* ys, std::size_t ny,
                            std::size_t rows, double* t, double* p) {
    pyapi::cancel_watch watch;
    kernels::cancel_hook hook;
    hook.should_stop = pyapi::should_cancel;
    hook.context = &watch;
    hook.interval = kernels::cancel_interval(nx + ny);
    kernels::run_status status = kernels::run_status::ok;
    if (pyapi::without_gil([&] {
            status = kernels::permutation_rows(xs, nx, ys, ny, rows, hook, t, p);
        }) < 0 ||
        watch.result() < 0)
        return -1;
    if (status == kernels::run_status::out_of_memory) {
        PyErr_NoMemory();
        return -1;
    }
    return status == kernels::run_status::ok ? 1 : 0;
}

}  // namespace tessera::tools
