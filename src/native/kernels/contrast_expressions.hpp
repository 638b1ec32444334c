// Contrast expressions over the coefficients of a design, read as limma's
// makeContrasts reads them: "B - A", "C - (A + B)/2", "0.5*A - `(Intercept)`".
//
// An expression is R arithmetic (+, -, *, /, parentheses, numbers) over
// names of coefficients, each name standing for its unit vector; a name
// that is not a syntactic R name is written between backquotes. The result
// must be linear in the coefficients: a product of two names, a division by
// a name or a constant term is refused. The arithmetic is done element by
// element in the order R evaluates it, so the weights are R's to the bit.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessera::kernels::contrast_expressions {

// The weights of an expression (one per name), or why it was refused.
struct parsed {
    std::vector<double> weights;
    std::string error;  // empty when the expression was read
    std::string unknown;  // the name that is no coefficient, when that is the error
};

// Reads `text` over the coefficient names `names`.
parsed parse(std::string_view text, const std::vector<std::string>& names);

}  // namespace tessera::kernels::contrast_expressions
