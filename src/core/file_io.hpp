// Whole-file save and load with the system's messages: every failure is a
// ValueError whose reason is the operating system's description and code.
#pragma once

#include <string>
#include <string_view>

namespace velt {

// Most structures tell creating/opening a file apart from writing/reading it;
// HyperLogLog and the cuckoo filter report every failure as a write or read error.
enum class FileErrorStyle { separate, combined };

// Replaces the file at `path` by `bytes` without ever leaving a truncated file
// behind: the bytes go to a temporary file in the target's directory, which is
// flushed to disk and renamed over the target (keeping its permission bits, and
// following a symlink to its target).
void save_file(const std::string& path, std::string_view bytes, FileErrorStyle style);

// The whole contents of the file at `path`.
std::string load_file(const std::string& path, FileErrorStyle style);

}  // namespace velt
