// Number arguments of the modules' functions, checked with one set of messages.
#pragma once

#include "handle.hpp"

#include <cstdint>

namespace tessera::pyapi {

// An int argument of at least `minimum` (bools refused): 0, or -1 with
// TypeError "<what> must be an integer, got ...", or ValueError "<what> must
// be <minimum> or more, got ..." / "<what> is too large: ..."; the refusal's
// parameter is `what` and its value the argument.
int read_count(PyObject* value, const char* what, std::int64_t minimum, std::int64_t& out);

// A real number argument (bools and text refused): 0, or -1 with TypeError
// "<what> must be a number, got ...".
int read_real(PyObject* value, const char* what, double& out);

}  // namespace tessera::pyapi
