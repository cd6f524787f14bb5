#include "core/platform/file_mapping.hpp"

#include <utility>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
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

std::string utf8_of(const wchar_t* wide, int length) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide, length, text.data(), size, nullptr, nullptr);
    return text;
}

// The system's message for `error`, without its line break, and the code.
std::string os_reason(DWORD error) {
    wchar_t* message = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string words = length == 0 ? "Unknown error" : utf8_of(message, static_cast<int>(length));
    if (message != nullptr) ::LocalFree(message);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ')) words.pop_back();
    return words + " (os error " + std::to_string(error) + ")";
}

// The UTF-16 form of a UTF-8 path; empty when it is not UTF-8.
std::wstring wide_path(const std::string& path) {
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                                           nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), wide.data(),
                              size);
    }
    return wide;
}

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
    const std::wstring wide = wide_path(path);
    if (wide.empty() && !path.empty()) return MappingFailure{Step::open, os_reason(ERROR_NO_UNICODE_TRANSLATION)};
    // Others may read the file, and delete or rename it (as a save that
    // replaces it does), but not write it while it is being mapped.
    const Handle file(::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) return MappingFailure{Step::open, os_reason(::GetLastError())};
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return MappingFailure{Step::map, os_reason(::GetLastError())};
    if (static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX) {
        return MappingFailure{Step::map, os_reason(ERROR_NOT_ENOUGH_MEMORY)};
    }
    FileMapping result;
    if (size.QuadPart > 0) {
        // The view keeps the mapping object, and so the file, open once both handles are closed.
        const Handle section(::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (section.get() == nullptr) return MappingFailure{Step::map, os_reason(::GetLastError())};
        void* view = ::MapViewOfFile(section.get(), FILE_MAP_READ, 0, 0, 0);
        if (view == nullptr) return MappingFailure{Step::map, os_reason(::GetLastError())};
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

namespace {

std::string os_reason(int error) {
    return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

}  // namespace

std::optional<MappingFailure> FileMapping::map(const std::string& path, FileMapping& mapping) {
    using Step = MappingFailure::Step;
    FileMapping result;
    result.descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (result.descriptor_ < 0) return MappingFailure{Step::open, os_reason(errno)};
    struct stat status {};
    if (::fstat(result.descriptor_, &status) != 0) return MappingFailure{Step::map, os_reason(errno)};
    if (S_ISDIR(status.st_mode)) return MappingFailure{Step::map, os_reason(EISDIR)};
    if (!S_ISREG(status.st_mode)) return MappingFailure{Step::map, os_reason(ENODEV)};
    if (static_cast<std::uintmax_t>(status.st_size) > SIZE_MAX) return MappingFailure{Step::map, os_reason(EFBIG)};
    const auto size = static_cast<std::size_t>(status.st_size);
    if (size > 0) {
        void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, result.descriptor_, 0);
        if (address == MAP_FAILED) return MappingFailure{Step::map, os_reason(errno)};
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
