// What a fast route gives back: its result, "declined", or a failure.
//
// A fast route computes a whole table at once and takes only inputs it can
// vouch for, so that it is reference-exact; when it declines, the caller runs
// the reference route, which gives the same result (or raises the same
// error) one row or cell at a time.
#pragma once

#include "errors.hpp"

#include <utility>

namespace tessera::pyapi {

class outcome {
public:
    // The result of the route; an empty handle means failed, exception set.
    outcome(ref result) noexcept : result_(std::move(result)) {}  // NOLINT: implicit by design
    // The route does not take this input: the reference route runs.
    static outcome decline() noexcept { return outcome(true); }
    // From a check that did not pass: a negative verdict fails (exception
    // set), any other declines.
    static outcome from_check(int verdict) noexcept {
        return verdict < 0 ? outcome(ref()) : decline();
    }
    // A library call inside the route failed: an ordinary error declines
    // (the reference route then raises it in its place); an interrupt fails.
    static outcome after_library_error() noexcept { return from_check(clear_ordinary_error()); }

    bool declined() const noexcept { return declined_; }
    bool failed() const noexcept { return !declined_ && !result_; }
    // The result (empty unless the route ran).
    ref take() noexcept { return std::move(result_); }

private:
    explicit outcome(bool declined) noexcept : declined_(declined) {}
    ref result_;
    bool declined_ = false;
};

}  // namespace tessera::pyapi
