#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace quarvel {

namespace {

// The shortest round-trip digits of |v| > 0 and its decimal exponent, from
// the scientific form "d.ddde±x": 1234.5 -> ("12345", 3).
std::pair<std::string, long> shortest_digits(double v) {
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific);
    const std::string sci(buf, result.ptr);
    const std::size_t e_at = sci.find('e');
    std::string digits;
    for (std::size_t i = 0; i < e_at; ++i)
        if (sci[i] != '.') digits += sci[i];
    return {digits, std::strtol(sci.c_str() + e_at + 1, nullptr, 10)};
}

}  // namespace

std::string format_f64(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    const std::string sign = std::signbit(v) ? "-" : "";
    if (v == 0.0) return sign + "0.0";

    const auto [digits, exponent] = shortest_digits(v);
    const long n = static_cast<long>(digits.size());
    // Very small or large magnitudes use the exponent form: 1e16, 1.5e-5.
    if (std::fabs(v) < 1e-4 || std::fabs(v) >= 1e16) {
        std::string mantissa = digits.substr(0, 1);
        if (n > 1) mantissa += "." + digits.substr(1);
        return sign + mantissa + "e" + std::to_string(exponent);
    }
    std::string out = sign;
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
        out += ".0";
    } else {
        out += digits.substr(0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(exponent + 1));
    }
    return out;
}

}  // namespace quarvel
