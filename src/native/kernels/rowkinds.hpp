// Per-row classification for the rank tests: scipy picks a different
// computation per sample (exact null distribution, normal approximation,
// sign-flip enumeration) from the ties, zeros and missing values it sees, so
// a batch of rows is only equivalent to per-row calls when every row in it
// would take the same computation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessera::kernels {

enum class row_kind : std::uint8_t {
    missing = 0,    // a NaN in either sample: the test gives NaN, NaN
    distinct = 1,   // no NaN, no tied values (no zero difference for paired rows)
    tied = 2,       // no NaN, but tied values (or a zero difference)
    nonfinite = 3,  // paired rows only: a difference that is not finite
};

// True when two of the n values compare equal (0.0 and -0.0 do); sorts them.
bool has_ties(double* values, std::size_t n);

// Two independent samples per row: x = xs[r*nx .. r*nx+nx), y likewise.
// Ties are looked for among the pooled values (0.0 and -0.0 tie).
void two_sample_kinds(const double* xs, std::size_t nx, const double* ys, std::size_t ny,
                      std::size_t rows, row_kind* kinds);

// Paired samples of n values per row, tested through d = x - y: ties are
// looked for among |d|, and a zero d counts as tied.
void paired_kinds(const double* xs, const double* ys, std::size_t n, std::size_t rows,
                  row_kind* kinds);

// The computation scipy's "auto" takes for one row of this kind, as its
// `method` argument ("exact" or "asymptotic"), so that a batch of such rows
// can name it: for the signed-rank test (paired, n pairs) or the rank-sum
// test (nx and ny values). nullptr when the kind has no batched form: the
// rows are tested one at a time (or, missing, give NaN).
const char* rank_method(row_kind kind, bool paired, std::size_t nx, std::size_t ny);

}  // namespace tessera::kernels
