// Whole files through the operating system's own calls: the layer under
// core/file_io.hpp, which turns a failure into the user's message. Paths are
// UTF-8 on every system (Windows converts them to UTF-16).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velt::platform {

// The step of a whole-file operation that failed: creating or opening the
// file, or moving its bytes (writing, flushing and renaming; reading).
enum class FileStep { open, transfer };

struct FileFailure {
    FileStep step;
    // The system's description of the error and its code: "{words} (os error {code})".
    std::string reason;
};

// Replaces the contents of the file at `path` by `bytes`, creating it if need
// be, without ever leaving a truncated file: the bytes go to a temporary file
// in the target's folder, which is flushed to disk and then atomically put in
// the target's place (a link is followed to the file it names, whose POSIX
// permission bits and owner, or Windows attributes, are kept). A failure leaves the old file whole and no temporary
// file behind. Devices and pipes are written in place, and so is a file whose
// folder refuses new files.
std::optional<FileFailure> replace_file(const std::string& path, std::string_view bytes);

// Reads the whole file at `path` into `contents`.
std::optional<FileFailure> read_file(const std::string& path, std::string& contents);

// The system's description of error `code` (errno on POSIX, GetLastError() on
// Windows) and the code, as every file message gives it: "{words} (os error {code})".
// The file mappings (file_mapping.hpp) report their failures in the same words.
std::string system_reason(unsigned long code);

}  // namespace velt::platform
