// Per-column reductions over contiguous buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessera::kernels {

// Median of the non-NaN cells as numpy.median takes it: the middle order
// statistic added to 0.0, or the two middle ones added to 0.0 in turn and
// halved (so a zero median is always +0.0, whichever zero was picked); NaN
// when no cell is left. `scratch` holds at least n doubles. Sets
// `huge_middle` when an odd count's middle value exceeds half the largest
// double, where a median that sums the middle value with itself overflows.
double nan_median(const double* in, std::size_t n, double* scratch, bool& huge_middle);

// Adds 1 to counts[i] for every cell i that holds a value (is not NaN).
void add_present(const double* in, std::size_t n, std::int64_t* counts);
// Adds 1 to every count: an integer cell always holds a value.
void add_present_all(std::size_t n, std::int64_t* counts);

// keep[i] = counts[i] / width >= threshold, in double arithmetic.
void keep_measured(const std::int64_t* counts, std::size_t n, std::int64_t width,
                   double threshold, bool* keep);

}  // namespace tessera::kernels
