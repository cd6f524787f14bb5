// JSON text of a record: one indented object per record, keys in record order.
//
// Layout: "{" and "[" open a container, every member or element sits on its own
// line indented by two spaces per nesting level, "," ends every line but the
// last of a container, and the closing bracket stands on its own line at the
// enclosing indentation. Empty containers are "[]" and "{}". No newline follows
// the final "}".
//
// Everything is appended to one std::string (no streams): a record may hold
// millions of integers.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/codec/record.hpp"

namespace velt::codec {

namespace json_detail {

void append_json_string(std::string& out, std::string_view text);
// A double as the JSON text writes it: shortest round-trip digits, plain
// decimal for exponents -5..15 ("2.0", "0.00001"), scientific otherwise
// ("1e-6", "1.5e+300"); "null" for infinities and NaN.
void append_json_double(std::string& out, double value);

// The double in plain decimal, never with an exponent, with ".0" appended to
// integral values (1e20 -> "100000000000000000000.0"). The reader quotes
// numbers this way in its messages.
void append_plain_decimal(std::string& out, double value);

inline void append_unsigned(std::string& out, std::uint64_t value) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

inline void start_line(std::string& out, std::size_t level) {
    out.push_back('\n');
    out.append(2 * level, ' ');
}

template <class T>
void write_value(std::string& out, const T& value, std::size_t level);

template <class Sequence>
void write_sequence(std::string& out, const Sequence& elements, std::size_t level) {
    if (elements.empty()) {
        out += "[]";
        return;
    }
    // Every element starts a line at the next level: build the line start once.
    // (Built in place: GCC 12 warns falsely about "\n" + std::string under -Wrestrict.)
    std::string line_start(1 + 2 * (level + 1), ' ');
    line_start[0] = '\n';
    out.push_back('[');
    bool first = true;
    for (const auto& element : elements) {
        if (!first) out.push_back(',');
        first = false;
        out += line_start;
        write_value(out, element, level + 1);
    }
    start_line(out, level);
    out.push_back(']');
}

// Writes each member of a record: the first opens the object.
class MemberWriter {
public:
    MemberWriter(std::string& out, std::size_t level) : out_(out), level_(level) {}

    template <class T>
    void operator()(std::string_view name, const T& value) {
        out_.push_back(first_ ? '{' : ',');
        first_ = false;
        start_line(out_, level_ + 1);
        append_json_string(out_, name);
        out_ += ": ";
        write_value(out_, value, level_ + 1);
    }
    template <class T>
    void operator()(std::string_view name, const T& value, MayBeAbsent) {
        (*this)(name, value);
    }

    bool wrote_nothing() const { return first_; }

private:
    std::string& out_;
    std::size_t level_;
    bool first_ = true;
};

template <Record R>
void write_record(std::string& out, const R& record, std::size_t level) {
    MemberWriter writer(out, level);
    visit_fields(record, writer);
    if (writer.wrote_nothing()) {
        out += "{}";
        return;
    }
    start_line(out, level);
    out.push_back('}');
}

template <class T>
void write_value(std::string& out, const T& value, std::size_t level) {
    if constexpr (UnsignedField<T>) {
        append_unsigned(out, value);
    } else if constexpr (std::same_as<T, double>) {
        append_json_double(out, value);
    } else if constexpr (std::same_as<T, std::string>) {
        append_json_string(out, value);
    } else if constexpr (OptionalField<T>) {
        if (value) write_value(out, *value, level);
        else out += "null";
    } else if constexpr (VectorField<T> || ArrayField<T>) {
        write_sequence(out, value, level);
    } else if constexpr (Record<T>) {
        write_record(out, value, level);
    } else {
        static_assert(sizeof(T) == 0, "not a record field type");
    }
}

}  // namespace json_detail

template <Record R>
std::string to_json(const R& record) {
    std::string out;
    json_detail::write_record(out, record, 0);
    return out;
}

}  // namespace velt::codec
