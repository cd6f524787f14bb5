#include "core/codec/json_reader.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "core/codec/json_writer.hpp"
#include "core/codec/number_text.hpp"
#include "core/codec/utf8.hpp"
#include "core/error.hpp"

namespace velt::codec::json_detail {

namespace {

constexpr std::string_view eof_value = "EOF while parsing a value";
constexpr std::string_view eof_list = "EOF while parsing a list";
constexpr std::string_view eof_object = "EOF while parsing an object";
constexpr std::string_view eof_string = "EOF while parsing a string";
constexpr std::string_view expected_value = "expected value";
constexpr std::string_view expected_ident = "expected ident";
constexpr std::string_view key_must_be_string = "key must be a string";
constexpr std::string_view expected_colon = "expected `:`";
constexpr std::string_view expected_list_comma = "expected `,` or `]`";
constexpr std::string_view expected_object_comma = "expected `,` or `}`";
constexpr std::string_view trailing_comma = "trailing comma";
constexpr std::string_view trailing_characters = "trailing characters";
constexpr std::string_view invalid_number = "invalid number";
constexpr std::string_view number_out_of_range = "number out of range";
constexpr std::string_view invalid_escape = "invalid escape";
constexpr std::string_view lone_surrogate = "lone leading surrogate in hex escape";
constexpr std::string_view unexpected_end_of_escape = "unexpected end of hex escape";
constexpr std::string_view control_character =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr std::string_view recursion_limit = "recursion limit exceeded";
constexpr std::string_view invalid_code_point = "invalid unicode code point";

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The character a one-letter escape stands for, or 0 when the letter is none.
char unescaped(char letter) {
    switch (letter) {
        case '"': return '"';
        case '\\': return '\\';
        case '/': return '/';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        default: return 0;
    }
}

// Characters a quoted string in a message shows as \u{..}: controls, and the
// invisible ones (format characters, separators, private use) that would
// otherwise be lost in the message.
bool shown_as_escape(std::uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD || (c >= 0x300 && c <= 0x36F) ||
           c == 0x61C || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) || c == 0x3000 ||
           (c >= 0xE000 && c <= 0xF8FF) || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF ||
           (c >= 0xFFF9 && c <= 0xFFFB) || c >= 0xF0000;
}

// The text in double quotes with escapes, as `string "..."` in messages shows it.
std::string quoted(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const std::optional<CodePoint> decoded = decode_code_point(text, i);
        if (!decoded) {
            out.push_back(text[i++]);  // not UTF-8: shown as it is
            continue;
        }
        const std::uint32_t c = decoded->value;
        const std::size_t length = decoded->length;
        switch (c) {
            case 0: out += "\\0"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            default:
                if (shown_as_escape(c)) {
                    out += "\\u{";
                    int shift = 28;
                    while (shift > 0 && ((c >> shift) & 0xF) == 0) shift -= 4;
                    for (; shift >= 0; shift -= 4) out.push_back(hex[(c >> shift) & 0xF]);
                    out.push_back('}');
                } else {
                    out.append(text.substr(i, length));
                }
        }
        i += length;
    }
    out.push_back('"');
    return out;
}

std::string describe(const Number& number) {
    switch (number.kind) {
        case Number::Kind::unsigned_integer:
            return "integer `" + std::to_string(number.unsigned_value) + "`";
        case Number::Kind::negative_integer:
            return "integer `" + std::to_string(number.negative_value) + "`";
        case Number::Kind::floating:
            break;
    }
    std::string out = "floating point `";
    append_plain_decimal(out, number.floating_value);
    out.push_back('`');
    return out;
}

}  // namespace

// ---- Messages shared with the record templates ----

std::string missing_field(std::string_view name) {
    return "missing field `" + std::string(name) + "`";
}

std::string duplicate_field(std::string_view name) {
    return "duplicate field `" + std::string(name) + "`";
}

std::string invalid_length(std::size_t given, std::string_view expected) {
    return "invalid length " + std::to_string(given) + ", expected " + std::string(expected);
}

std::string record_with_elements(std::string_view name, std::size_t count) {
    return "struct " + std::string(name) + " with " + std::to_string(count) +
           (count == 1 ? " element" : " elements");
}

std::uint64_t field_bit(std::size_t index) {
    if (index >= 64) throw std::logic_error("a JSON record may have at most 64 fields");
    return std::uint64_t{1} << index;
}

// ---- Errors ----

void Parser::fail_at(std::size_t offset, std::string_view detail) const {
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text_[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    const std::size_t column = count_characters(text_.substr(line_start, offset - line_start));
    throw ValueError("Deserialization error: " + std::string(detail) + " at line " +
                     std::to_string(line) + " column " + std::to_string(column));
}

void Parser::fail_here(std::string_view detail) const { fail_at(pos_, detail); }

void Parser::fail_peek(std::string_view detail) const {
    fail_at(std::min(text_.size(), pos_ + 1), detail);
}

// The value at the reader does not fit the expected type: read it whole (it
// must still be valid) to name it in the message.
void Parser::fail_invalid_type(Describe expected) {
    std::string found;
    switch (peek_raw()) {
        case 'n':
            ++pos_;
            expect_ident("ull");
            found = "null";
            break;
        case 't':
            ++pos_;
            expect_ident("rue");
            found = "boolean `true`";
            break;
        case 'f':
            ++pos_;
            expect_ident("alse");
            found = "boolean `false`";
            break;
        case '"': {
            ++pos_;
            std::string text;
            scan_string(&text);
            found = "string " + quoted(text);
            break;
        }
        // A container is reported where it starts, before its bracket (as
        // serde_json does: it names the container without entering it).
        case '[':
            found = "sequence";
            break;
        case '{':
            found = "map";
            break;
        default:
            if (peek_raw() == '-' || is_digit(peek_raw())) {
                found = describe(parse_number());
                break;
            }
            fail_peek(expected_value);
    }
    fail_here("invalid type: " + found + ", expected " + expected());
}

void Parser::fail_in_array(std::string_view detail) {
    if (peek() == ']') ++pos_;
    fail_here(detail);
}

void Parser::fail_in_object(std::string_view detail) {
    if (peek() == '}') ++pos_;
    fail_here(detail);
}

// ---- Scalars ----

void Parser::expect_ident(std::string_view rest) {
    for (const char expected : rest) {
        if (pos_ == text_.size()) fail_here(eof_value);
        if (text_[pos_++] != expected) fail_here(expected_ident);
    }
}

bool Parser::read_null() {
    if (peek() != 'n') return false;
    ++pos_;
    expect_ident("ull");
    return true;
}

Number Parser::read_number(Describe expected) {
    const int c = peek();
    if (c == '-' || is_digit(c)) return parse_number();
    if (c < 0) fail_peek(eof_value);
    fail_invalid_type(expected);
}

std::uint64_t Parser::read_unsigned(std::uint64_t max, Describe expected) {
    const Number number = read_number(expected);
    if (number.kind == Number::Kind::unsigned_integer && number.unsigned_value <= max) {
        return number.unsigned_value;
    }
    // An integer of the wrong range is the wrong value; a float, the wrong type.
    const char* kind = number.kind == Number::Kind::floating ? "invalid type: " : "invalid value: ";
    fail_here(kind + describe(number) + ", expected " + expected());
}

double Parser::read_double(Describe expected) {
    const Number number = read_number(expected);
    switch (number.kind) {
        case Number::Kind::unsigned_integer:
            return static_cast<double>(number.unsigned_value);
        case Number::Kind::negative_integer:
            return static_cast<double>(number.negative_value);
        case Number::Kind::floating:
            break;
    }
    return number.floating_value;
}

void Parser::read_string(std::string& out, Describe expected) {
    const int c = peek();
    if (c == '"') {
        ++pos_;
        scan_string(&out);
        return;
    }
    if (c < 0) fail_peek(eof_value);
    fail_invalid_type(expected);
}

// ---- Numbers ----

// The reader stands on '-' or a digit; it stops after the number.
Parser::NumberToken Parser::scan_number(Use use) {
    // Where the text ends before a digit it needs, a read number reports the
    // end of the value and a skipped one an invalid number.
    const std::string_view missing_digit_at_end = use == Use::read ? eof_value : invalid_number;
    NumberToken token;
    const std::size_t start = pos_;
    token.negative = text_[pos_] == '-';
    if (token.negative) ++pos_;
    if (pos_ == text_.size()) fail_here(missing_digit_at_end);

    const char lead = text_[pos_++];
    if (lead == '0') {
        if (is_digit(peek_raw())) fail_peek(invalid_number);  // no leading zeros
    } else if (is_digit(lead)) {
        std::uint64_t magnitude = static_cast<std::uint64_t>(lead - '0');
        constexpr std::uint64_t limit = std::numeric_limits<std::uint64_t>::max() / 10;
        constexpr std::uint64_t last_digit = std::numeric_limits<std::uint64_t>::max() % 10;
        // The hot loop of large integer arrays: local pointers, no division.
        const char* p = text_.data() + pos_;
        const char* const end = text_.data() + text_.size();
        for (; p != end && is_digit(*p); ++p) {
            const auto digit = static_cast<std::uint64_t>(*p - '0');
            if (magnitude < limit || (magnitude == limit && digit <= last_digit)) {
                magnitude = magnitude * 10 + digit;
            } else {
                token.integral = false;  // beyond u64: read as a float
                while (p + 1 != end && is_digit(p[1])) ++p;
            }
        }
        pos_ = static_cast<std::size_t>(p - text_.data());
        token.magnitude = magnitude;
    } else {
        fail_here(invalid_number);
    }

    if (peek_raw() == '.') {
        ++pos_;
        if (!is_digit(peek_raw())) fail_peek(pos_ == text_.size() ? missing_digit_at_end : invalid_number);
        while (is_digit(peek_raw())) ++pos_;
        token.integral = false;
    }
    if (peek_raw() == 'e' || peek_raw() == 'E') {
        ++pos_;
        if (peek_raw() == '+' || peek_raw() == '-') ++pos_;
        if (pos_ == text_.size()) fail_here(missing_digit_at_end);
        if (!is_digit(text_[pos_++])) fail_here(invalid_number);
        while (is_digit(peek_raw())) ++pos_;
        token.integral = false;
    }
    token.text = text_.substr(start, pos_ - start);
    return token;
}

// Integers stay exact while they fit (u64, or i64 when negative); every other
// number is converted correctly rounded.
Number Parser::parse_number() {
    const NumberToken token = scan_number(Use::read);
    Number number;
    constexpr std::uint64_t i64_min_magnitude = std::uint64_t{1} << 63;
    if (token.integral && !token.negative) {
        number.unsigned_value = token.magnitude;
    } else if (token.integral && token.magnitude != 0 && token.magnitude <= i64_min_magnitude) {
        number.kind = Number::Kind::negative_integer;
        number.negative_value = static_cast<std::int64_t>(0 - token.magnitude);  // wraps for i64 min
    } else {
        // Also "-0", which only a float can hold.
        number.kind = Number::Kind::floating;
        number.floating_value = parse_double(token.text);
    }
    return number;
}

// The reader stands just after the token.
double Parser::parse_double(std::string_view token) {
    const double value = parse_decimal(token);
    if (std::isinf(value)) fail_here(number_out_of_range);  // a too small one is zero
    return value;
}

// ---- Strings ----

// The reader stands just after the opening quote and stops after the closing
// one. With `decoded`, the string's text replaces its contents: the text
// between escapes is kept as it is, so it must be UTF-8 already. Without, the
// string is skipped.
void Parser::scan_string(std::string* decoded) {
    if (decoded) decoded->clear();
    for (;;) {
        const std::size_t run_start = pos_;
        while (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++pos_;
        }
        if (decoded) {
            // The error stands just after the first bad byte, as other faults in strings do.
            const std::string_view run = text_.substr(run_start, pos_ - run_start);
            if (const auto error = find_utf8_error(run)) fail_at(run_start + error->valid_up_to + 1, invalid_code_point);
            decoded->append(run);
        }
        if (pos_ == text_.size()) fail_here(eof_string);
        const char c = text_[pos_];
        if (c == '"') {
            ++pos_;
            return;
        }
        // A read string reports a control character just after it, a skipped one where it stands.
        if (c != '\\') fail_at(decoded ? pos_ + 1 : pos_, control_character);
        ++pos_;
        scan_escape(decoded);
    }
}

std::string_view Parser::parse_key() {
    // Keys are field names: usually plain, so a view of the text will do.
    const std::size_t start = pos_;
    for (std::size_t i = start; i < text_.size(); ++i) {
        const auto c = static_cast<unsigned char>(text_[i]);
        if (c == '"') {
            pos_ = i + 1;
            return text_.substr(start, i - start);
        }
        if (c == '\\' || c < 0x20) break;
    }
    scan_string(&key_buffer_);
    return key_buffer_;
}

std::uint32_t Parser::parse_hex4() {
    if (text_.size() - pos_ < 4) {
        pos_ = text_.size();
        fail_here(eof_string);
    }
    std::uint32_t value = 0;
    bool valid = true;
    for (int i = 0; i < 4; ++i) {
        const int digit = hex_value(text_[pos_ + static_cast<std::size_t>(i)]);
        valid = valid && digit >= 0;
        value = (value << 4) | static_cast<std::uint32_t>(digit & 0xF);
    }
    pos_ += 4;
    if (!valid) fail_here(invalid_escape);
    return value;
}

// The reader stands just after a backslash. A decoded \u escape must be a
// whole code point; a skipped one may be any code unit.
void Parser::scan_escape(std::string* decoded) {
    if (pos_ == text_.size()) fail_here(eof_string);
    const char letter = text_[pos_++];
    if (letter != 'u') {
        const char c = unescaped(letter);
        if (c == 0) fail_here(invalid_escape);
        if (decoded) decoded->push_back(c);
        return;
    }
    std::uint32_t code_point = parse_hex4();
    if (!decoded) return;
    if (code_point >= 0xDC00 && code_point <= 0xDFFF) fail_here(lone_surrogate);
    if (code_point >= 0xD800 && code_point <= 0xDBFF) {
        // A leading surrogate must be followed at once by "\u" and a trailing one.
        for (const char expected : {'\\', 'u'}) {
            if (pos_ == text_.size()) fail_here(eof_string);
            if (text_[pos_++] != expected) fail_here(unexpected_end_of_escape);
        }
        const std::uint32_t trailing = parse_hex4();
        if (trailing < 0xDC00 || trailing > 0xDFFF) fail_here(lone_surrogate);
        code_point = 0x10000 + ((code_point - 0xD800) << 10) + (trailing - 0xDC00);
    }
    append_code_point(code_point, *decoded);
}

// ---- Containers ----

void Parser::enter_container() {
    if (depth_ == max_depth) fail_peek(recursion_limit);
    ++depth_;
    ++pos_;
}

void Parser::leave_container() {
    --depth_;
    ++pos_;
}

void Parser::open_array(Describe expected) {
    const int c = peek();
    if (c == '[') return enter_container();
    if (c < 0) fail_peek(eof_value);
    fail_invalid_type(expected);
}

bool Parser::next_element(bool& first, Use use) {
    int c = peek();
    if (c == ']') return false;
    if (c == ',' && !first) {
        ++pos_;
        c = peek();
        // In a skipped array, a ']' after the comma is only not a value.
        if (c == ']' && use == Use::read) fail_peek(trailing_comma);
        if (c < 0) fail_peek(eof_value);
        return true;
    }
    if (c < 0) fail_peek(eof_list);
    if (!first) fail_peek(expected_list_comma);
    first = false;
    return true;
}

void Parser::close_array() {
    const int c = peek();
    if (c == ']') return leave_container();
    if (c < 0) fail_peek(eof_list);
    if (c == ',') {
        ++pos_;
        if (peek() == ']') fail_peek(trailing_comma);
    }
    fail_peek(trailing_characters);  // more values than the array may hold
}

char Parser::open_record(Describe expected) {
    const int c = peek();
    if (c == '{' || c == '[') {
        enter_container();
        return static_cast<char>(c);
    }
    if (c < 0) fail_peek(eof_value);
    fail_invalid_type(expected);
}

bool Parser::next_key(bool& first, std::string_view& key, Use use) {
    int c = peek();
    if (c == '}') return false;
    if (c == ',' && !first) {
        ++pos_;
        c = peek();
    } else if (c < 0) {
        fail_peek(eof_object);
    } else if (first) {
        first = false;
    } else {
        fail_peek(expected_object_comma);
    }
    if (c == '"') {
        ++pos_;
        if (use == Use::read) {
            key = parse_key();
        } else {
            scan_string(nullptr);
            key = {};
        }
        return true;
    }
    // In a skipped object, what follows a comma is only not a key.
    if (use == Use::read) {
        if (c == '}') fail_peek(trailing_comma);
        if (c < 0) fail_peek(eof_value);
    }
    fail_peek(c < 0 ? eof_object : key_must_be_string);
}

void Parser::expect_colon() {
    const int c = peek();
    if (c == ':') {
        ++pos_;
        return;
    }
    fail_peek(c < 0 ? eof_object : expected_colon);
}

void Parser::close_object() {
    const int c = peek();
    if (c == '}') return leave_container();
    if (c < 0) fail_peek(eof_object);
    fail_peek(c == ',' ? trailing_comma : trailing_characters);
}

void Parser::finish() {
    if (peek() >= 0) fail_peek(trailing_characters);
}

// ---- Skipping unknown values ----

void Parser::skip_value() {
    const int c = peek();
    switch (c) {
        case 'n': ++pos_; return expect_ident("ull");
        case 't': ++pos_; return expect_ident("rue");
        case 'f': ++pos_; return expect_ident("alse");
        case '"': ++pos_; return scan_string(nullptr);
        case '[': {
            enter_container();
            bool first = true;
            while (next_element(first, Use::skip)) skip_value();
            return close_array();
        }
        case '{': {
            enter_container();
            bool first = true;
            std::string_view key;
            while (next_key(first, key, Use::skip)) {
                expect_colon();
                skip_value();
            }
            return close_object();
        }
        default: break;
    }
    if (c == '-' || is_digit(c)) {
        scan_number(Use::skip);
        return;
    }
    fail_peek(c < 0 ? eof_value : expected_value);
}

}  // namespace velt::codec::json_detail
