// The error kinds of the core. Each carries the exact message a user sees; the
// binding layer maps each kind to one Python exception type.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velt {

// Invalid settings, configuration mismatches, invalid serialised data, file errors.
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A counter that would pass its limit.
struct OverflowError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "Cannot {action}: {field} mismatch ({mine} vs {theirs})", for combining two
// structures whose configurations differ.
inline std::string mismatch_message(std::string_view action, std::string_view field, std::uint64_t mine,
                                    std::uint64_t theirs) {
    return "Cannot " + std::string(action) + ": " + std::string(field) + " mismatch (" + std::to_string(mine) +
           " vs " + std::to_string(theirs) + ")";
}

}  // namespace velt
