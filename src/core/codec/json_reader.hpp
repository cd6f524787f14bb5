// Reading a record from JSON text.
//
// A small strict pull parser streams the text straight into the record (no
// document tree). A record may be given as an object (keys in any order,
// unknown keys skipped, every field present except `std::optional` and
// `may_be_absent` ones) or as an array of its field values in record order.
//
// Every failure is a velt::ValueError "Deserialization error: {detail} at line
// {line} column {column}". The details and the positions follow the messages
// users of Rust's serde_json know ("invalid type: string \"x\", expected u64",
// "missing field `seed`", ...), so that they read the same everywhere.
//
// Only a byte offset is kept while parsing; the line and column are worked out
// from it when an error is raised, which keeps the hot path short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "core/codec/record.hpp"

namespace velt::codec {

namespace json_detail {

// Names the type being read ("u64", "struct BloomFilterData"); called only
// when an error message needs it.
using Describe = std::string (*)();

// A JSON number as the tokenizer classifies it: an integer token that fits u64
// is unsigned, a negative one that fits i64 is negative, everything else
// (fraction, exponent, too large, and "-0") is floating.
struct Number {
    enum class Kind { unsigned_integer, negative_integer, floating };
    Kind kind = Kind::unsigned_integer;
    std::uint64_t unsigned_value = 0;
    std::int64_t negative_value = 0;
    double floating_value = 0.0;
};

// The tokenizer and the value readers the record templates are built from.
// Container protocol: open_*, then next_element / next_key until they return
// false, then close_*.
class Parser {
public:
    // Arrays and objects nest at most this deep, the outermost counting as 1.
    static constexpr int max_depth = 127;

    explicit Parser(std::string_view text) : text_(text) {}

    // Skips white space and returns the next byte without consuming it, or -1
    // at the end of the text.
    int peek() {
        // Local pointers: the indentation before each element of a large array
        // is most of the text this loop walks.
        const char* p = text_.data() + pos_;
        const char* const end = text_.data() + text_.size();
        while (p != end && is_white_space(*p)) ++p;
        pos_ = static_cast<std::size_t>(p - text_.data());
        return p == end ? -1 : static_cast<unsigned char>(*p);
    }

    // Scalars. Each reads one whole value or throws.
    std::uint64_t read_unsigned(std::uint64_t max, Describe expected);
    double read_double(Describe expected);
    void read_string(std::string& out, Describe expected);
    // Consumes a `null` and returns true; returns false before any other value.
    bool read_null();

    // Arrays: open_array fails with `invalid type` on anything but '['.
    void open_array(Describe expected);
    // Moves to the next element; false at the closing ']' (left for close_array).
    bool next_element(bool& first);
    // Consumes the ']'; anything else left in the array is "trailing characters".
    void close_array();

    // A record is an object or an array; returns the bracket it opened.
    char open_record(Describe expected);
    // Reads the next key (escapes decoded); false at the closing '}'.
    bool next_key(bool& first, std::string_view& key);
    void expect_colon();
    void close_object();

    // Skips one value of any kind, still checking its syntax and depth.
    void skip_value();
    // Only white space may follow the top-level value.
    void finish();

    // A record-level failure (missing field, duplicate field, invalid length)
    // is reported where the reader stands once the enclosing ']' or '}' (if it
    // is next) has been consumed.
    [[noreturn]] void fail_in_array(std::string_view detail);
    [[noreturn]] void fail_in_object(std::string_view detail);

private:
    static bool is_white_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
    int peek_raw() const {
        return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1;
    }
    void enter_container();
    void expect_ident(std::string_view rest);
    Number read_number(Describe expected);
    Number parse_number();
    double parse_double(std::size_t start);
    void parse_string(std::string& out);
    std::string_view parse_key();
    void parse_escape(std::string& out);
    std::uint32_t parse_hex4();
    void skip_number();
    void skip_string();
    void skip_array();
    void skip_object();

    [[noreturn]] void fail_invalid_type(Describe expected);
    [[noreturn]] void fail_at(std::size_t offset, std::string_view detail) const;
    // Syntax errors: after what has been consumed, or after the byte peeked at.
    [[noreturn]] void fail_here(std::string_view detail) const;
    [[noreturn]] void fail_peek(std::string_view detail) const;

    std::string_view text_;
    std::size_t pos_ = 0;
    int depth_ = 0;
    std::string key_buffer_;  // keys that hold escapes are decoded here
};

std::string missing_field(std::string_view name);
std::string duplicate_field(std::string_view name);
// "invalid length {given}, expected {expected}"
std::string invalid_length(std::size_t given, std::string_view expected);
// "struct {name} with {count} elements" (or "with 1 element")
std::string record_with_elements(std::string_view name, std::size_t count);

// Records keep track of the fields they have seen in a 64-bit mask.
std::uint64_t field_bit(std::size_t index);

template <class T>
void read_value(Parser& parser, T& out);

template <class T>
void read_vector(Parser& parser, T& out) {
    parser.open_array(&type_description<T>);
    out.clear();
    bool first = true;
    // Grow one element at a time: the text's length is the only bound.
    while (parser.next_element(first)) read_value(parser, out.emplace_back());
    parser.close_array();
}

template <class T>
void read_fixed_array(Parser& parser, T& out) {
    parser.open_array(&type_description<T>);
    bool first = true;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (!parser.next_element(first)) {
            parser.fail_in_array(invalid_length(i, type_description<T>()));
        }
        read_value(parser, out[i]);
    }
    parser.close_array();
}

// Object form: each key is matched against the field names in record order.
class KeyedFieldReader {
public:
    KeyedFieldReader(Parser& parser, std::string_view key, std::uint64_t& seen)
        : parser_(parser), key_(key), seen_(seen) {}

    template <class T>
    void operator()(std::string_view name, T& value, MayBeAbsent = {}) {
        // The key may live in the parser's buffer, which reading the value can
        // overwrite: compare only until the first match.
        if (!matched_ && name == key_) {
            matched_ = true;
            const std::uint64_t bit = field_bit(index_);
            if (seen_ & bit) parser_.fail_in_object(duplicate_field(name));
            seen_ |= bit;
            parser_.expect_colon();
            read_value(parser_, value);
        }
        ++index_;
    }

    bool matched() const { return matched_; }

private:
    Parser& parser_;
    std::string_view key_;
    std::uint64_t& seen_;
    std::size_t index_ = 0;
    bool matched_ = false;
};

// After the object: optional fields not given become empty, `may_be_absent`
// ones keep their value, and the first other field not given fails.
class AbsentFieldCheck {
public:
    AbsentFieldCheck(Parser& parser, std::uint64_t seen) : parser_(parser), seen_(seen) {}

    template <class T>
    void operator()(std::string_view name, T& value) {
        if (!(seen_ & field_bit(index_))) {
            if constexpr (OptionalField<T>) value.reset();
            else parser_.fail_in_object(missing_field(name));
        }
        ++index_;
    }
    template <class T>
    void operator()(std::string_view, T&, MayBeAbsent) {
        ++index_;
    }

private:
    Parser& parser_;
    std::uint64_t seen_;
    std::size_t index_ = 0;
};

// Array form: the values in record order. A `may_be_absent` field may be cut
// off by the end of the array; any other field missing there fails.
template <Record R>
class PositionalFieldReader {
public:
    explicit PositionalFieldReader(Parser& parser) : parser_(parser) {}

    template <class T>
    void operator()(std::string_view, T& value) {
        if (!parser_.next_element(first_)) {
            parser_.fail_in_array(
                invalid_length(index_, record_with_elements(R::record_name, field_count<R>())));
        }
        read_value(parser_, value);
        ++index_;
    }
    template <class T>
    void operator()(std::string_view, T& value, MayBeAbsent) {
        if (parser_.next_element(first_)) read_value(parser_, value);
        ++index_;
    }

private:
    Parser& parser_;
    bool first_ = true;
    std::size_t index_ = 0;
};

template <Record R>
void read_record(Parser& parser, R& record) {
    if (parser.open_record(&type_description<R>) == '[') {
        PositionalFieldReader<R> reader(parser);
        record.fields(reader);
        parser.close_array();
        return;
    }
    std::uint64_t seen = 0;
    bool first = true;
    std::string_view key;
    while (parser.next_key(first, key)) {
        KeyedFieldReader reader(parser, key, seen);
        record.fields(reader);
        if (!reader.matched()) {
            parser.expect_colon();
            parser.skip_value();
        }
    }
    AbsentFieldCheck check(parser, seen);
    record.fields(check);
    parser.close_object();
}

template <class T>
void read_value(Parser& parser, T& out) {
    if constexpr (UnsignedField<T>) {
        out = static_cast<T>(
            parser.read_unsigned(std::numeric_limits<T>::max(), &type_description<T>));
    } else if constexpr (std::same_as<T, double>) {
        out = parser.read_double(&type_description<T>);
    } else if constexpr (std::same_as<T, std::string>) {
        parser.read_string(out, &type_description<T>);
    } else if constexpr (OptionalField<T>) {
        // null is the empty optional; anything else must be the value itself.
        if (parser.read_null()) out.reset();
        else read_value(parser, out.emplace());
    } else if constexpr (VectorField<T>) {
        read_vector(parser, out);
    } else if constexpr (ArrayField<T>) {
        read_fixed_array(parser, out);
    } else if constexpr (Record<T>) {
        read_record(parser, out);
    } else {
        static_assert(sizeof(T) == 0, "not a record field type");
    }
}

}  // namespace json_detail

// Parses exactly one JSON value, the whole text, into a record of type R.
template <Record R>
R from_json(std::string_view text) {
    json_detail::Parser parser(text);
    R record{};
    json_detail::read_record(parser, record);
    parser.finish();
    return record;
}

}  // namespace velt::codec
