// The entry point of every fuzz target. The build gives each target its check
// as VELT_FUZZ_CHECK, for example velt::fuzz::check_from_json<velt::TopK>.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "checks.hpp"

#ifndef VELT_FUZZ_CHECK
#error "VELT_FUZZ_CHECK names the check this target runs"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    VELT_FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
