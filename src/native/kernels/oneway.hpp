// One-way analysis of variance per row, with the floating-point operations
// scipy's f_oneway performs on one row: numpy's pairwise sums, and the C
// library's pow for the squares of scalars (a batched call squares with a
// multiplication instead, which differs in the last place now and then).
// The dot product of a row's centred values is left to the caller: numpy
// takes it from BLAS, whose summation order is BLAS's own.
#pragma once

#include <cstddef>

namespace tessera::kernels {

// Rows of `n` pooled values (the groups side by side): centred[r] holds the
// row minus its mean, offsets[r] the mean.
void oneway_centre(const double* pooled, std::size_t n, std::size_t rows, double* centred,
                   double* offsets);

// F statistic of each row from the pooled values, the groups' sizes (in
// order, summing to the row length), the offsets and centred values of
// oneway_centre, and dots[r], the dot product of centred row r with itself.
// NaN for a row with a NaN or with groups of one value each; inf when every
// group is constant, NaN when all values are equal.
void oneway_f(const double* pooled, const std::size_t* sizes, std::size_t groups,
              std::size_t rows, const double* offsets, const double* centred, const double* dots,
              double* f);

// What f_oneway computes of one pooled row before its statistic.
struct oneway_sums {
    bool missing;               // a NaN among the values
    double centred_sum;         // numpy's sum of the centred row
    double dot;                 // the centred row's dot product with itself
    const double* group_sums;   // each group's numpy sum of its values less the row's mean
    bool every_group_constant;  // within every group the values are equal
    bool all_constant;          // all the row's values are equal
};

// The F statistic of one row (see oneway_f) from its sums; `sizes` are the
// groups' sizes, summing to n.
double oneway_statistic(const oneway_sums& row, const std::size_t* sizes, std::size_t groups,
                        std::size_t n);

}  // namespace tessera::kernels
