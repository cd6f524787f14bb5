// UTF-8 checking with precise error positions, decoding, encoding, and lossy
// decoding that replaces each invalid sequence by U+FFFD (maximal-subpart rule).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velt::codec {

struct Utf8Error {
    std::size_t valid_up_to;                // bytes before the first invalid sequence
    std::optional<std::size_t> error_len;   // its length, or empty when the input ends inside it
    std::string description() const;       // "invalid utf-8 sequence of 1 bytes from index 3", ...
};

// The first error of `bytes`, or nothing when they are valid UTF-8.
std::optional<Utf8Error> find_utf8_error(std::string_view bytes);

// A code point decoded from UTF-8, and the length of its sequence in bytes.
struct CodePoint {
    std::uint32_t value;
    std::size_t length;
};

// The code point whose sequence starts at `bytes[i]`, or nothing when no valid
// sequence starts there.
std::optional<CodePoint> decode_code_point(std::string_view bytes, std::size_t i);

// How many characters `bytes` hold: the bytes that are not continuation bytes,
// so that a stray byte of invalid text counts as one character.
std::size_t count_characters(std::string_view bytes);

// The UTF-8 of one Unicode scalar value (not a surrogate, at most U+10FFFF), appended to `out`.
void append_code_point(std::uint32_t code_point, std::string& out);

// `bytes` with every invalid sequence replaced by U+FFFD (EF BF BD), appended to `out`.
void append_utf8_lossy(std::string_view bytes, std::string& out);

}  // namespace velt::codec
