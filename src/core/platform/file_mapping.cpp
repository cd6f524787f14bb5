#include "core/platform/file_mapping.hpp"

#include <utility>

#include "core/platform/files.hpp"

#if defined(_WIN32)
#include "core/platform/windows_api.hpp"
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#endif

namespace velt::platform {

FileMapping::FileMapping(FileMapping&& other) noexcept { *this = std::move(other); }

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
#if defined(_WIN32)
        view_ = std::exchange(other.view_, nullptr);
#else
        descriptor_ = std::exchange(other.descriptor_, -1);
#endif
    }
    return *this;
}

FileMapping::~FileMapping() { release(); }

#if defined(_WIN32)

namespace {

// Closes a handle on every path out of a scope.
class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

std::optional<MappingFailure> FileMapping::map(const std::string& path, FileMapping& mapping) {
    using Step = MappingFailure::Step;
    const std::optional<std::wstring> wide = wide_path(path);
    if (!wide) return MappingFailure{Step::open, system_reason(::GetLastError())};
    // Others may read the file, and delete or rename it (as a save that
    // replaces it does), but not write it while it is being mapped.
    const Handle file(::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return MappingFailure{Step::open, system_reason(::GetLastError())};
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return MappingFailure{Step::map, system_reason(::GetLastError())};
    if (static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX) {
        return MappingFailure{Step::map, system_reason(ERROR_NOT_ENOUGH_MEMORY)};
    }
    FileMapping result;
    if (size.QuadPart > 0) {
        // The view keeps the mapping object, and so the file, open once both handles are closed.
        const Handle section(::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (section.get() == nullptr) return MappingFailure{Step::map, system_reason(::GetLastError())};
        void* view = ::MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0);
        if (view == nullptr) return MappingFailure{Step::map, system_reason(::GetLastError())};
        result.view_ = view;
        result.data_ = static_cast<const char*>(view);
        result.size_ = static_cast<std::size_t>(size.QuadPart);
    }
    mapping = std::move(result);
    return std::nullopt;
}

bool FileMapping::file_is_whole() const { return true; }

void FileMapping::release() noexcept {
    if (view_ != nullptr) ::UnmapViewOfFile(view_);
    view_ = nullptr;
    data_ = nullptr;
    size_ = 0;
}

#else

std::optional<MappingFailure> FileMapping::map(const std::string& path, FileMapping& mapping) {
    using Step = MappingFailure::Step;
    FileMapping result;
    result.descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (result.descriptor_ < 0) return MappingFailure{Step::open, system_reason(static_cast<unsigned long>(errno))};
    struct stat status {};
    if (::fstat(result.descriptor_, &status) != 0) return MappingFailure{Step::map, system_reason(static_cast<unsigned long>(errno))};
    if (S_ISDIR(status.st_mode)) return MappingFailure{Step::map, system_reason(EISDIR)};
    if (!S_ISREG(status.st_mode)) return MappingFailure{Step::map, system_reason(ENODEV)};
    if (static_cast<std::uintmax_t>(status.st_size) > SIZE_MAX) return MappingFailure{Step::map, system_reason(EFBIG)};
    const auto size = static_cast<std::size_t>(status.st_size);
    if (size > 0) {
        void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, result.descriptor_, 0);
        if (address == MAP_FAILED) return MappingFailure{Step::map, system_reason(static_cast<unsigned long>(errno))};
        result.data_ = static_cast<const char*>(address);
        result.size_ = size;
    }
    mapping = std::move(result);
    return std::nullopt;
}

bool FileMapping::file_is_whole() const {
    struct stat status {};
    if (descriptor_ < 0 || ::fstat(descriptor_, &status) != 0) return true;  // nothing to tell
    return static_cast<std::uintmax_t>(status.st_size) >= size_;
}

void FileMapping::release() noexcept {
    if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
    if (descriptor_ >= 0) ::close(descriptor_);
    data_ = nullptr;
    size_ = 0;
    descriptor_ = -1;
}

#endif

}  // namespace velt::platform
