// Blocks of library calls with Python warnings ignored, one at a time in the
// whole process.
//
// warnings.catch_warnings saves the process-wide filter list on entry and
// puts it back on exit, so two blocks of different threads that interleave
// would restore each other's filters. One record per interpreter (kept in
// its state dict, shared by every module of the package) says which thread
// has a block open; a thread that opens one while another thread's is open
// waits for it with the GIL released, and a block opened inside one of its
// own thread's blocks is served by the outer one.
#pragma once

#include "handle.hpp"

namespace tessera::pyapi {

class quiet_warnings {
public:
    quiet_warnings() = default;
    quiet_warnings(const quiet_warnings&) = delete;
    quiet_warnings& operator=(const quiet_warnings&) = delete;
    // Opens the block: 0, or -1 with an exception set (KeyboardInterrupt
    // while waiting).
    int open();
    // Closes the block, keeping an exception already set: 0, or -1 with an
    // exception set (the pending one, or the failure to close).
    int close();
    ~quiet_warnings();

private:
    struct owner_record* record_ = nullptr;  // set while this block is the open one
    ref manager_;
};

// fn() (int-returning, -1 with an exception) run inside a quiet block.
template <class Fn>
int quietly(Fn&& fn) {
    quiet_warnings block;
    if (block.open() < 0) return -1;
    const int result = fn();
    if (block.close() < 0) return -1;
    return result;
}

}  // namespace tessera::pyapi
