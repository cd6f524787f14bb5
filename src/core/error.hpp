// The error kinds of the core. Each carries the exact message a user sees; the
// binding layer maps each kind to one Python exception type.
#pragma once

#include <cstdint>
#include <initializer_list>
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

// A setting that two structures must share to be combined, with both sides' values.
struct Setting {
    std::string_view name;
    std::uint64_t mine;
    std::uint64_t theirs;
};

// Throws "Cannot {action}: {name} mismatch ({mine} vs {theirs})" for the first
// of the settings, in the order given, whose values differ.
inline void require_same_settings(std::string_view action, std::initializer_list<Setting> settings) {
    for (const Setting& setting : settings) {
        if (setting.mine != setting.theirs) {
            throw ValueError("Cannot " + std::string(action) + ": " + std::string(setting.name) + " mismatch (" +
                             std::to_string(setting.mine) + " vs " + std::to_string(setting.theirs) + ")");
        }
    }
}

}  // namespace velt
