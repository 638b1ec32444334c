// A minimal parallel loop for independent tasks (columns, features).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tessera::kernels {

// Number of worker threads to use for `tasks` independent tasks.
inline unsigned worker_count(std::size_t tasks) {
    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<std::size_t>(cores, tasks));
}

// Runs task(i) once for every i in [0, n), spread over the cores; each task
// writes only its own outputs, so the result does not depend on the schedule.
// The calling thread works too; if threads cannot be started, it does all.
// An exception thrown by a task (std::bad_alloc) stops the tasks not yet
// started and is rethrown on the calling thread once every worker is joined.
template <class Task>
void parallel_for(std::size_t n, const Task& task) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::mutex failure_lock;
    auto worker = [&] {
        try {
            for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < n;) task(i);
        } catch (...) {
            next.store(n);
            std::lock_guard<std::mutex> hold(failure_lock);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    const unsigned count = worker_count(n);
    try {
        for (unsigned t = 1; t < count; ++t) helpers.emplace_back(worker);
    } catch (...) {
        // fewer helpers: the remaining tasks are taken by those that started
    }
    worker();
    for (auto& h : helpers) h.join();
    if (failure) std::rethrow_exception(failure);
}

// Rows per task of the per-feature loops.
constexpr std::size_t block_rows = 512;

// body(r) for every row r in [0, rows), in blocks of block_rows over the cores.
template <class Body>
void for_row_blocks(std::size_t rows, const Body& body) {
    const std::size_t blocks = (rows + block_rows - 1) / block_rows;
    parallel_for(blocks, [&](std::size_t b) {
        const std::size_t end = std::min(rows, (b + 1) * block_rows);
        for (std::size_t r = b * block_rows; r < end; ++r) body(r);
    });
}

}  // namespace tessera::kernels
