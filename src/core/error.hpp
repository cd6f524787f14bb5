// The error kinds of the core. Each carries the exact message a user sees; the
// binding layer maps each kind to one Python exception type.
#pragma once

#include <stdexcept>
#include <string>

namespace velt {

// Invalid settings, configuration mismatches, invalid serialised data, file errors.
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A counter that would pass its limit.
struct OverflowError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace velt
