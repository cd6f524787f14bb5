// <windows.h> without what clashes with standard C++: the min and max macros,
// and the rarely used parts that slow every compile down.
#pragma once

#if !defined(WIN32_LEAN_AND_MEAN)
#define WIN32_LEAN_AND_MEAN
#endif
#if !defined(NOMINMAX)
#define NOMINMAX
#endif
#include <windows.h>

#include <optional>
#include <string>

namespace velt::platform {

// The UTF-16 form of a UTF-8 path, or nothing when it is not valid UTF-8 (the
// error is then GetLastError's). Shared by the files and the file mappings.
std::optional<std::wstring> wide_path(const std::string& path);

}  // namespace velt::platform
