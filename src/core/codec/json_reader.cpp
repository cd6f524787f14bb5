#include "core/codec/json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <system_error>

#include "core/codec/json_writer.hpp"
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
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (lead >= 0x80 && (lead < 0xC0 || i + length > text.size())) {
            out.push_back(text[i++]);  // not UTF-8: shown as it is
            continue;
        }
        std::uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (text[i + k] & 0x3F);
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

// Whether a number token that std::from_chars found out of range is too large
// (rather than too small): its decimal order of magnitude is positive.
bool overflows(std::string_view token) {
    std::size_t i = token[0] == '-' ? 1 : 0;
    long long order = 0;
    bool significant = false;
    for (; i < token.size() && is_digit(token[i]); ++i) {
        significant = significant || token[i] != '0';
        if (significant) ++order;
    }
    if (i < token.size() && token[i] == '.') {
        for (++i; i < token.size() && is_digit(token[i]); ++i) {
            if (significant) continue;
            if (token[i] == '0') --order;
            else significant = true;
        }
    }
    long long exponent = 0;
    if (i < token.size()) {  // 'e' or 'E'
        ++i;
        const bool negative = token[i] == '-';
        if (token[i] == '-' || token[i] == '+') ++i;
        for (; i < token.size(); ++i) {
            exponent = std::min(exponent * 10 + (token[i] - '0'), 1'000'000'000'000LL);
        }
        if (negative) exponent = -exponent;
    }
    return order + exponent > 0;
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
    // Columns count characters, so UTF-8 continuation bytes do not count.
    std::size_t column = 0;
    for (std::size_t i = line_start; i < offset; ++i) {
        if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) ++column;
    }
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
            parse_string(text);
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
        parse_string(out);
        return;
    }
    if (c < 0) fail_peek(eof_value);
    fail_invalid_type(expected);
}

// The reader stands on '-' or a digit. Integers stay exact while they fit
// (u64, or i64 when negative); every other number is converted correctly
// rounded by std::from_chars.
Number Parser::parse_number() {
    const std::size_t start = pos_;
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    if (pos_ == text_.size()) fail_here(eof_value);

    const char lead = text_[pos_++];
    std::uint64_t magnitude = 0;
    bool integral = true;
    if (lead == '0') {
        if (is_digit(peek_raw())) fail_peek(invalid_number);  // no leading zeros
    } else if (is_digit(lead)) {
        magnitude = static_cast<std::uint64_t>(lead - '0');
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
                integral = false;  // beyond u64: read as a float
                while (p + 1 != end && is_digit(p[1])) ++p;
            }
        }
        pos_ = static_cast<std::size_t>(p - text_.data());
    } else {
        fail_here(invalid_number);
    }

    if (peek_raw() == '.') {
        ++pos_;
        if (!is_digit(peek_raw())) fail_peek(pos_ == text_.size() ? eof_value : invalid_number);
        while (is_digit(peek_raw())) ++pos_;
        integral = false;
    }
    if (peek_raw() == 'e' || peek_raw() == 'E') {
        ++pos_;
        if (peek_raw() == '+' || peek_raw() == '-') ++pos_;
        if (pos_ == text_.size()) fail_here(eof_value);
        if (!is_digit(text_[pos_++])) fail_here(invalid_number);
        while (is_digit(peek_raw())) ++pos_;
        integral = false;
    }

    Number number;
    constexpr std::uint64_t i64_min_magnitude = std::uint64_t{1} << 63;
    if (integral && !negative) {
        number.unsigned_value = magnitude;
    } else if (integral && magnitude != 0 && magnitude <= i64_min_magnitude) {
        number.kind = Number::Kind::negative_integer;
        number.negative_value = static_cast<std::int64_t>(0 - magnitude);  // wraps for i64 min
    } else {
        // Also "-0", which only a float can hold.
        number.kind = Number::Kind::floating;
        number.floating_value = parse_double(start);
    }
    return number;
}

double Parser::parse_double(std::size_t start) {
    const std::string_view token = text_.substr(start, pos_ - start);
    double value = 0.0;
    const auto result = std::from_chars(token.data(), token.data() + token.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        if (overflows(token)) fail_here(number_out_of_range);
        return token[0] == '-' ? -0.0 : 0.0;  // too small: rounds to zero
    }
    return value;
}

// ---- Strings ----

// The reader stands just after the opening quote; `out` receives the decoded
// text and the reader stops after the closing quote.
void Parser::parse_string(std::string& out) {
    out.clear();
    for (;;) {
        const std::size_t run_start = pos_;
        while (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++pos_;
        }
        // The text between escapes is kept as it is, so it must be UTF-8 already. The
        // error stands just after the first bad byte, as other faults in strings do.
        const std::string_view run = text_.substr(run_start, pos_ - run_start);
        if (const auto error = find_utf8_error(run)) fail_at(run_start + error->valid_up_to + 1, invalid_code_point);
        out.append(run);
        if (pos_ == text_.size()) fail_here(eof_string);
        const char c = text_[pos_++];
        if (c == '"') return;
        if (c != '\\') fail_here(control_character);
        parse_escape(out);
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
    parse_string(key_buffer_);
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

// The reader stands just after a backslash.
void Parser::parse_escape(std::string& out) {
    if (pos_ == text_.size()) fail_here(eof_string);
    switch (text_[pos_++]) {
        case '"': out.push_back('"'); return;
        case '\\': out.push_back('\\'); return;
        case '/': out.push_back('/'); return;
        case 'b': out.push_back('\b'); return;
        case 'f': out.push_back('\f'); return;
        case 'n': out.push_back('\n'); return;
        case 'r': out.push_back('\r'); return;
        case 't': out.push_back('\t'); return;
        case 'u': break;
        default: fail_here(invalid_escape);
    }
    std::uint32_t code_point = parse_hex4();
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
    append_code_point(code_point, out);
}

// ---- Containers ----

void Parser::enter_container() {
    if (depth_ == max_depth) fail_peek(recursion_limit);
    ++depth_;
    ++pos_;
}

void Parser::open_array(Describe expected) {
    const int c = peek();
    if (c == '[') return enter_container();
    if (c < 0) fail_peek(eof_value);
    fail_invalid_type(expected);
}

bool Parser::next_element(bool& first) {
    int c = peek();
    if (c == ']') return false;
    if (c == ',' && !first) {
        ++pos_;
        c = peek();
        if (c == ']') fail_peek(trailing_comma);
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
    if (c == ']') {
        ++pos_;
        --depth_;
        return;
    }
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

bool Parser::next_key(bool& first, std::string_view& key) {
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
        key = parse_key();
        return true;
    }
    if (c == '}') fail_peek(trailing_comma);
    if (c < 0) fail_peek(eof_value);
    fail_peek(key_must_be_string);
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
    if (c == '}') {
        ++pos_;
        --depth_;
        return;
    }
    if (c < 0) fail_peek(eof_object);
    fail_peek(c == ',' ? trailing_comma : trailing_characters);
}

void Parser::finish() {
    if (peek() >= 0) fail_peek(trailing_characters);
}

// ---- Skipping unknown values ----
//
// A skipped value is validated as strictly as a read one and counts for depth;
// only its numbers are not converted (so they cannot be out of range) and its
// strings not decoded.

void Parser::skip_value() {
    const int c = peek();
    switch (c) {
        case 'n': ++pos_; return expect_ident("ull");
        case 't': ++pos_; return expect_ident("rue");
        case 'f': ++pos_; return expect_ident("alse");
        case '"': ++pos_; return skip_string();
        case '[': enter_container(); return skip_array();
        case '{': enter_container(); return skip_object();
        default: break;
    }
    if (c == '-' || is_digit(c)) return skip_number();
    fail_peek(c < 0 ? eof_value : expected_value);
}

void Parser::skip_number() {
    if (peek_raw() == '-') ++pos_;
    const int lead = peek_raw();
    if (lead >= 0) ++pos_;
    if (lead == '0') {
        if (is_digit(peek_raw())) fail_peek(invalid_number);
    } else if (is_digit(lead)) {
        while (is_digit(peek_raw())) ++pos_;
    } else {
        fail_here(invalid_number);
    }
    if (peek_raw() == '.') {
        ++pos_;
        if (!is_digit(peek_raw())) fail_peek(invalid_number);
        while (is_digit(peek_raw())) ++pos_;
    }
    if (peek_raw() == 'e' || peek_raw() == 'E') {
        ++pos_;
        if (peek_raw() == '+' || peek_raw() == '-') ++pos_;
        const int c = peek_raw();
        if (c >= 0) ++pos_;
        if (!is_digit(c)) fail_here(invalid_number);
        while (is_digit(peek_raw())) ++pos_;
    }
}

void Parser::skip_string() {
    for (;;) {
        while (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"' || c == '\\' || c < 0x20) break;
            ++pos_;
        }
        if (pos_ == text_.size()) fail_here(eof_string);
        const char c = text_[pos_];
        if (c == '"') {
            ++pos_;
            return;
        }
        if (c != '\\') fail_here(control_character);
        ++pos_;
        if (pos_ == text_.size()) fail_here(eof_string);
        switch (text_[pos_++]) {
            case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
                break;
            case 'u':
                parse_hex4();  // any code unit will do in a skipped string
                break;
            default:
                fail_here(invalid_escape);
        }
    }
}

// The reader stands just after the '['.
void Parser::skip_array() {
    int c = peek();
    if (c == ']') {
        ++pos_;
        --depth_;
        return;
    }
    if (c < 0) fail_peek(eof_list);
    for (;;) {
        skip_value();
        c = peek();
        if (c == ',') {
            ++pos_;
            continue;
        }
        if (c == ']') {
            ++pos_;
            --depth_;
            return;
        }
        fail_peek(c < 0 ? eof_list : expected_list_comma);
    }
}

// The reader stands just after the '{'.
void Parser::skip_object() {
    int c = peek();
    if (c == '}') {
        ++pos_;
        --depth_;
        return;
    }
    for (;;) {
        c = peek();
        if (c != '"') fail_peek(c < 0 ? eof_object : key_must_be_string);
        ++pos_;
        skip_string();
        expect_colon();
        skip_value();
        c = peek();
        if (c == ',') {
            ++pos_;
            continue;
        }
        if (c == '}') {
            ++pos_;
            --depth_;
            return;
        }
        fail_peek(c < 0 ? eof_object : expected_object_comma);
    }
}

}  // namespace velt::codec::json_detail
