// Per-cell transforms of one table column, over contiguous buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessera::kernels {

// Writes log(x) / log(base) for every cell, as the standard library's
// two-argument logarithm computes it (NaN and +inf pass through the division).
// Returns the index of the first cell whose logarithm is undefined (zero,
// negative, -inf), or n when every cell succeeded. base must be >= 2.
std::size_t log_cells(const double* in, double* out, std::size_t n, std::int64_t base);
std::size_t log_cells(const std::int64_t* in, double* out, std::size_t n, std::int64_t base);

// Number of cells strictly below the threshold (NaN is never below).
std::size_t count_below(const std::int64_t* in, std::size_t n, std::int64_t threshold);

// Copies every cell, writing `missing` where it lies strictly below the threshold.
// |threshold| must be at most 2**53 so that it is exact as a double.
void noise_cells(const double* in, double* out, std::size_t n, std::int64_t threshold,
                 double missing);
void noise_cells(const std::int64_t* in, double* out, std::size_t n, std::int64_t threshold,
                 double missing);

// out[i] = in[i] - shift, converting integer cells to double first.
void shift_cells(const double* in, double* out, std::size_t n, double shift);
void shift_cells(const std::int64_t* in, double* out, std::size_t n, double shift);

}  // namespace tessera::kernels
