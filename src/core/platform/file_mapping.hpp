// Read-only mappings of whole files: mmap on POSIX, CreateFileMappingW and
// MapViewOfFile on Windows. Processes that map one file share its pages in
// the system's page cache, so a file mapped by many of them is in memory once.
// Paths are UTF-8 on every system (Windows converts them to UTF-16).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace velt::platform {

// Why a file could not be mapped: at opening it, or at mapping its contents.
struct MappingFailure {
    enum class Step { open, map } step;
    // The system's description of the error and its code: "{words} (os error {code})".
    std::string reason;
};

class FileMapping {
public:
    FileMapping() = default;
    FileMapping(FileMapping&& other) noexcept;
    FileMapping& operator=(FileMapping&& other) noexcept;
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;
    ~FileMapping();

    // Maps the whole regular file at `path` read-only into `mapping`. An empty
    // file gives an empty mapping (no address), a directory the read error
    // "Is a directory".
    static std::optional<MappingFailure> map(const std::string& path, FileMapping& mapping);

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }

    // Whether the file still holds every mapped byte. Reading a mapped page
    // that a truncation cut off stops the process (SIGBUS) on POSIX systems, so
    // readers ask this before a batch; Windows refuses to truncate a mapped
    // file, and there it is always true.
    bool file_is_whole() const;

private:
    void release() noexcept;

    const char* data_ = nullptr;
    std::size_t size_ = 0;
#if defined(_WIN32)
    void* view_ = nullptr;
#else
    int descriptor_ = -1;  // kept open to watch the file's size
#endif
};

}  // namespace velt::platform
