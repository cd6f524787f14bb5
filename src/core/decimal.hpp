// Decimal text of 64-bit integers, as Python's str() writes them: the item bytes
// of an int, whether it comes as a Python object or as a value of a column.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace velt {

// Room for the sign and the twenty digits of any 64-bit integer.
inline constexpr std::size_t decimal_room = 24;
using DecimalBuffer = std::array<char, decimal_room>;

// Write the digits of `value` (a '-' first for a negative one) at `out` and
// return their end.
char* write_decimal(char* out, std::uint64_t value);
char* write_signed_decimal(char* out, std::int64_t value);

// Writes the decimal text of any integer type at `out` (room for decimal_room
// bytes) and returns its end.
template <std::integral Integer>
char* write_decimal_text(char* out, Integer value) {
    if constexpr (std::is_signed_v<Integer>) {
        return write_signed_decimal(out, value);
    } else {
        return write_decimal(out, value);
    }
}

// The decimal text of `value`, written into `buffer`.
template <std::integral Integer>
std::string_view decimal_text(Integer value, DecimalBuffer& buffer) {
    return {buffer.data(), write_decimal_text(buffer.data(), value)};
}

}  // namespace velt
