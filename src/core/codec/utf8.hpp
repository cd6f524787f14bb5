// UTF-8 checking with precise error positions, and lossy decoding that replaces
// each invalid sequence by U+FFFD (maximal-subpart rule).
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

// The UTF-8 of one Unicode scalar value (not a surrogate, at most U+10FFFF), appended to `out`.
void append_code_point(std::uint32_t code_point, std::string& out);

// `bytes` with every invalid sequence replaced by U+FFFD (EF BF BD), appended to `out`.
void append_utf8_lossy(std::string_view bytes, std::string& out);

}  // namespace velt::codec
