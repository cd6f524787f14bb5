#include "core/file_io.hpp"

#include <optional>

#include "core/error.hpp"
#include "core/platform/files.hpp"

namespace velt {
namespace {

[[noreturn]] void fail(std::string_view prefix, const std::string& reason) {
    throw ValueError(std::string(prefix) + reason);
}

constexpr std::string_view write_prefix = "Write error: ";
constexpr std::string_view read_prefix = "Read error: ";

}  // namespace

void save_file(const std::string& path, std::string_view bytes, FileErrorStyle style) {
    const std::string_view create_prefix = style == FileErrorStyle::separate ? "Cannot create file: " : write_prefix;
    if (path.find('\0') != std::string::npos) fail(create_prefix, "file name contained an unexpected NUL byte");
    if (const std::optional<platform::FileFailure> failure = platform::replace_file(path, bytes)) {
        fail(failure->step == platform::FileStep::open ? create_prefix : write_prefix, failure->reason);
    }
}

std::string load_file(const std::string& path, FileErrorStyle style) {
    const std::string_view open_prefix = style == FileErrorStyle::separate ? "Cannot open file: " : read_prefix;
    if (path.find('\0') != std::string::npos) fail(open_prefix, "file name contained an unexpected NUL byte");
    std::string contents;
    if (const std::optional<platform::FileFailure> failure = platform::read_file(path, contents)) {
        fail(failure->step == platform::FileStep::open ? open_prefix : read_prefix, failure->reason);
    }
    return contents;
}

}  // namespace velt
