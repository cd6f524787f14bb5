#include "core/codec/json_writer.hpp"

#include <cmath>

#include "core/codec/number_text.hpp"
#include "core/decimal.hpp"

namespace velt::codec {

namespace {

// A finite, non-zero double as its shortest round-trip digits d.ddd x 10^exponent.
struct Decimal {
    bool negative = false;
    char digits[24] = {};
    int count = 0;
    int exponent = 0;
};

Decimal decompose(double value) {
    const ShortestDecimal shortest = shortest_decimal(value);
    Decimal decimal;
    decimal.negative = std::signbit(value);
    decimal.count = static_cast<int>(write_decimal(decimal.digits, shortest.digits) - decimal.digits);
    decimal.exponent = shortest.exponent + decimal.count - 1;
    return decimal;
}

void append_zeros(std::string& out, int n) {
    if (n > 0) out.append(static_cast<std::size_t>(n), '0');
}

// d.ddd x 10^e without an exponent: "1234.5", "0.00012", "100.0".
void append_plain(std::string& out, const Decimal& d) {
    if (d.negative) out.push_back('-');
    if (d.exponent < 0) {
        out += "0.";
        append_zeros(out, -d.exponent - 1);
        out.append(d.digits, static_cast<std::size_t>(d.count));
        return;
    }
    const int integral_digits = d.exponent + 1;
    if (d.count <= integral_digits) {
        out.append(d.digits, static_cast<std::size_t>(d.count));
        append_zeros(out, integral_digits - d.count);
        out += ".0";
        return;
    }
    out.append(d.digits, static_cast<std::size_t>(integral_digits));
    out.push_back('.');
    out.append(d.digits + integral_digits, static_cast<std::size_t>(d.count - integral_digits));
}

// "1e-6", "1.5e+300": one leading digit, the rest after a point if any.
void append_scientific(std::string& out, const Decimal& d) {
    if (d.negative) out.push_back('-');
    out.push_back(d.digits[0]);
    if (d.count > 1) {
        out.push_back('.');
        out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
    }
    out.push_back('e');
    out.push_back(d.exponent < 0 ? '-' : '+');
    json_detail::append_unsigned(out, static_cast<std::uint64_t>(std::abs(d.exponent)));
}

}  // namespace

namespace json_detail {

void append_json_double(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (value == 0.0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    const Decimal decimal = decompose(value);
    if (decimal.exponent >= -5 && decimal.exponent <= 15) append_plain(out, decimal);
    else append_scientific(out, decimal);
}

void append_plain_decimal(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
    } else if (value == 0.0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
    } else {
        append_plain(out, decompose(value));
    }
}

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t run_start = 0;  // start of the pending run that needs no escaping
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + run_start, i - run_start);
        run_start = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case 0x08: out += "\\b"; break;
            case 0x09: out += "\\t"; break;
            case 0x0A: out += "\\n"; break;
            case 0x0C: out += "\\f"; break;
            case 0x0D: out += "\\r"; break;
            default:
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 0xF]);
        }
    }
    out.append(text.data() + run_start, text.size() - run_start);
    out.push_back('"');
}

}  // namespace json_detail

}  // namespace velt::codec
