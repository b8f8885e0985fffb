#include "index/structures/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <system_error>

namespace vorlane {

std::string float_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    std::string out = std::signbit(value) ? "-" : "";
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0) return out + "0.0";

    // Shortest round-trip digits in scientific form: d[.ddd]e[+-]XX.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
    const size_t e_pos = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_pos)) {
        if (c != '.') digits.push_back(c);
    }
    int exponent = 0;
    const std::string_view exp_text = sci.substr(e_pos + 1);
    std::from_chars(exp_text.data() + (exp_text[0] == '+' ? 1 : 0), exp_text.data() + exp_text.size(), exponent);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    const int n = static_cast<int>(digits.size());
    if (magnitude >= 1e16 || magnitude < 1e-4) {
        out += digits[0];
        if (n > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += 'e';
        out += std::to_string(exponent);
        return out;
    }
    if (exponent >= n - 1) {
        out += digits;
        out.append(static_cast<size_t>(exponent - (n - 1)), '0');
        out += ".0";
    } else if (exponent >= 0) {
        out.append(digits, 0, static_cast<size_t>(exponent + 1));
        out += '.';
        out.append(digits, static_cast<size_t>(exponent + 1), std::string::npos);
    } else {
        out += "0.";
        out.append(static_cast<size_t>(-exponent - 1), '0');
        out += digits;
    }
    return out;
}

std::string quoted_text(std::string_view text) {
    std::string out = "\"";
    auto escape_code = [&out](unsigned code) {
        char esc[16];
        std::snprintf(esc, sizeof esc, "\\u{%x}", code);
        out += esc;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (c < 0x20 || c == 0x7f) {
            escape_code(c);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // C1 control characters, U+0080 to U+009F.
            escape_code(static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace vorlane
