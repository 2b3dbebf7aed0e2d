// Decimal texts of doubles.
#include "types/decimal.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

namespace kestro {

namespace {

// d = (negative ? -1 : 1) * 0.<digits> * 10^(exponent + 1): the shortest round-trip digits, as
// to_chars gives them in scientific form.
struct digits_of {
    bool negative = false;
    std::string digits;
    int exponent = 0;

    explicit digits_of(double d) {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
        std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
        if (text.front() == '-') {
            negative = true;
            text.remove_prefix(1);
        }
        const std::size_t e = text.find('e');
        for (char c : text.substr(0, e)) {
            if (c != '.') digits += c;
        }
        std::string_view exp_text = text.substr(e + 1);
        if (exp_text.front() == '+') exp_text.remove_prefix(1);
        std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
    }
};

}  // namespace

std::string plain_decimal(double d) {
    // Laid out from the shortest digits: fixed notation of to_chars would print a large value's
    // exact integer part instead (18446744073709551616 for 2^64, where the shortest digits give
    // 18446744073709552000).
    const digits_of s(d);
    std::string out = s.negative ? "-" : "";
    const std::string& digits = s.digits;
    if (s.exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-s.exponent - 1), '0');
        out += digits;
    } else if (static_cast<std::size_t>(s.exponent) + 1 >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(s.exponent) + 1 - digits.size(), '0');
        out += ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(s.exponent) + 1);
        out += '.';
        out += digits.substr(static_cast<std::size_t>(s.exponent) + 1);
    }
    return out;
}

std::string shortest_decimal(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    const double magnitude = std::fabs(d);
    if (magnitude < 1e16 && (magnitude == 0.0 || magnitude >= 1e-4)) return plain_decimal(d);
    const digits_of s(d);
    std::string out = s.negative ? "-" : "";
    out += s.digits.front();
    if (s.digits.size() > 1) {
        out += '.';
        out.append(s.digits, 1);
    }
    out += 'e';
    out += std::to_string(s.exponent);
    return out;
}

}  // namespace kestro
