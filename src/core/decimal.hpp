// Decimal text of 64-bit integers, as Python's str() writes them: the item bytes
// of an int, whether it comes as a Python object or as a value of a column.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <string_view>
#include <type_traits>

namespace velt {

// Room for the sign and the twenty digits of any 64-bit integer.
using DecimalBuffer = std::array<char, 24>;

// Write the digits of `value` (a '-' first for a negative one) at `out` and
// return their end.
char* write_decimal(char* out, std::uint64_t value);
char* write_signed_decimal(char* out, std::int64_t value);

// The decimal text of `value`, written into `buffer`.
template <std::integral Integer>
std::string_view decimal_text(Integer value, DecimalBuffer& buffer) {
    char* const first = buffer.data();
    if constexpr (std::is_signed_v<Integer>) {
        return {first, write_signed_decimal(first, value)};
    } else {
        return {first, write_decimal(first, value)};
    }
}

}  // namespace velt
