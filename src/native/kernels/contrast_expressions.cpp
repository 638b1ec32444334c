#include "kernels/contrast_expressions.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace tessera::kernels::contrast_expressions {

namespace {

// A value of the arithmetic: a constant, or a vector over the names.
struct value {
    bool linear = false;
    double constant = 0;
    std::vector<double> weights;
};

struct refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class reader {
public:
    reader(std::string_view text, const std::vector<std::string>& names)
        : text_(text), names_(names) {}

    value read() {
        value v = sum();
        skip_space();
        if (at_ < text_.size())
            throw refused("unexpected '" + std::string(1, text_[at_]) + "' at position " +
                          std::to_string(at_ + 1));
        return v;
    }

private:
    void skip_space() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }

    bool take(char c) {
        skip_space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    // Element-wise R arithmetic; a constant is recycled over the vector.
    value combine(const value& a, const value& b, char op) {
        if (!a.linear && !b.linear) {
            value v;
            v.constant = op == '+' ? a.constant + b.constant
                         : op == '-' ? a.constant - b.constant
                         : op == '*' ? a.constant * b.constant
                                     : a.constant / b.constant;
            return v;
        }
        if ((op == '+' || op == '-') && (!a.linear || !b.linear))
            throw refused("a constant term is not a contrast of coefficients");
        if (op == '*' && a.linear && b.linear)
            throw refused("a product of coefficients is not linear");
        if (op == '/' && b.linear) throw refused("a division by a coefficient is not linear");
        if (op == '/' && b.constant == 0) throw refused("a division by 0");
        value v;
        v.linear = true;
        v.weights.resize(names_.size());
        for (std::size_t i = 0; i < names_.size(); ++i) {
            const double x = a.linear ? a.weights[i] : a.constant;
            const double y = b.linear ? b.weights[i] : b.constant;
            v.weights[i] = op == '+' ? x + y : op == '-' ? x - y : op == '*' ? x * y : x / y;
        }
        return v;
    }

    value sum() {
        value v = product();
        for (;;) {
            if (take('+'))
                v = combine(v, product(), '+');
            else if (take('-'))
                v = combine(v, product(), '-');
            else
                return v;
        }
    }

    value product() {
        value v = unary();
        for (;;) {
            if (take('*'))
                v = combine(v, unary(), '*');
            else if (take('/'))
                v = combine(v, unary(), '/');
            else
                return v;
        }
    }

    value unary() {
        if (take('-')) {
            value v = unary();
            if (!v.linear) {
                v.constant = -v.constant;
            } else {
                for (double& w : v.weights) w = -w;
            }
            return v;
        }
        if (take('+')) return unary();
        return primary();
    }

    value name_value(const std::string& name) {
        for (std::size_t i = 0; i < names_.size(); ++i)
            if (names_[i] == name) {
                value v;
                v.linear = true;
                v.weights.assign(names_.size(), 0.0);
                v.weights[i] = 1.0;
                return v;
            }
        unknown_ = name;
        throw refused("unknown coefficient '" + name + "'");
    }

public:
    // The name read that is no coefficient, once read() has refused it.
    const std::string& unknown() const { return unknown_; }

private:

    value primary() {
        skip_space();
        if (at_ >= text_.size()) throw refused("the expression ends too early");
        const char c = text_[at_];
        if (c == '(') {
            ++at_;
            value v = sum();
            if (!take(')')) throw refused("a '(' is not closed");
            return v;
        }
        if (c == '`') {
            const std::size_t end = text_.find('`', at_ + 1);
            if (end == std::string_view::npos) throw refused("a '`' is not closed");
            const std::string name(text_.substr(at_ + 1, end - at_ - 1));
            at_ = end + 1;
            return name_value(name);
        }
        const bool digit_next = at_ + 1 < text_.size() &&
                                std::isdigit(static_cast<unsigned char>(text_[at_ + 1]));
        if (std::isdigit(static_cast<unsigned char>(c)) || (c == '.' && digit_next)) {
            // R's numeric literal: digits, a decimal point, an exponent
            std::size_t end = at_;
            while (end < text_.size() &&
                   (std::isdigit(static_cast<unsigned char>(text_[end])) || text_[end] == '.'))
                ++end;
            if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
                std::size_t e = end + 1;
                if (e < text_.size() && (text_[e] == '+' || text_[e] == '-')) ++e;
                if (e < text_.size() && std::isdigit(static_cast<unsigned char>(text_[e]))) {
                    while (e < text_.size() && std::isdigit(static_cast<unsigned char>(text_[e]))) ++e;
                    end = e;
                }
            }
            const std::string literal(text_.substr(at_, end - at_));
            char* stop = nullptr;
            value v;
            v.constant = std::strtod(literal.c_str(), &stop);
            if (stop != literal.c_str() + literal.size()) throw refused("bad number '" + literal + "'");
            at_ = end;
            return v;
        }
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '.') {
            // a syntactic R name: letters, digits, '.' and '_', not starting with a digit
            std::size_t end = at_;
            while (end < text_.size() &&
                   (std::isalnum(static_cast<unsigned char>(text_[end])) || text_[end] == '.' ||
                    text_[end] == '_'))
                ++end;
            const std::string name(text_.substr(at_, end - at_));
            at_ = end;
            return name_value(name);
        }
        throw refused("unexpected '" + std::string(1, c) + "' at position " + std::to_string(at_ + 1));
    }

    std::string_view text_;
    const std::vector<std::string>& names_;
    std::size_t at_ = 0;
    std::string unknown_;
};

}  // namespace

parsed parse(std::string_view text, const std::vector<std::string>& names) {
    parsed out;
    reader expression(text, names);
    try {
        value v = expression.read();
        if (!v.linear) {
            out.error = "it has no coefficient";
            return out;
        }
        bool any = false;
        for (double w : v.weights) any = any || w != 0;
        if (!any) {
            out.error = "it weighs every coefficient by 0";
            return out;
        }
        out.weights = std::move(v.weights);
    } catch (const refused& e) {
        out.error = e.what();
        out.unknown = expression.unknown();
    }
    return out;
}

}  // namespace tessera::kernels::contrast_expressions
