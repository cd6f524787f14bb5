// The file layer on Windows: UTF-16 paths and the Win32 file calls, with the
// system's own words for every error.
#if defined(_WIN32)

#include "core/platform/windows_api.hpp"

#include <algorithm>
#include <atomic>
#include <climits>

#include "core/platform/files.hpp"

namespace velt::platform {
namespace {

// `length` UTF-16 units at `text` as UTF-8.
std::string utf8_from_wide(const wchar_t* text, int length) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    return result;
}

FileFailure failure(FileStep step, DWORD code) { return {step, system_reason(code)}; }

// Closes a handle on every path out of a scope, unless closed before.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (valid()) ::CloseHandle(handle_);
    }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    // Closes now; 0 or the error of CloseHandle.
    DWORD close() {
        const BOOL closed = ::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        return closed ? 0 : ::GetLastError();
    }

private:
    HANDLE handle_;
};

// Every other process may read, write, rename or delete the file meanwhile, as on POSIX.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// 0 when every byte was written, else the error code.
DWORD write_all(HANDLE file, std::string_view bytes) {
    constexpr std::size_t largest_write = std::size_t{1} << 30;
    while (!bytes.empty()) {
        const auto chunk = static_cast<DWORD>(std::min(bytes.size(), largest_write));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data(), chunk, &written, nullptr)) return ::GetLastError();
        bytes.remove_prefix(written);
    }
    return 0;
}

// The path of the file that `file` is open on, links resolved ("\\?\C:\...").
std::optional<std::wstring> final_path(HANDLE file) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
        const DWORD length = ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()), flags);
        if (length == 0) return std::nullopt;
        const bool fits = length < path.size();  // else `length` is the size needed, its terminating null included
        path.resize(length);
        if (fits) return path;
    }
}

// The attributes of a file that its replacement takes over, as POSIX keeps the
// permission bits: those a new file can be created with.
DWORD kept_attributes(DWORD attributes) {
    constexpr DWORD settable =
        FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    return (attributes & settable) != 0 ? attributes & settable : FILE_ATTRIBUTE_NORMAL;
}

// A new, empty file beside `target` whose name no other file has, open for
// writing, with the given attributes; its path is left in `temp_path`.
// INVALID_HANDLE_VALUE when the folder takes no new file.
HANDLE create_temporary(const std::wstring& target, DWORD attributes, std::wstring& temp_path) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.find_last_of(L"\\/");
    const std::wstring prefix = target.substr(0, slash + 1) + L"." + target.substr(slash + 1) + L".tmp-" +
                                std::to_wstring(::GetCurrentProcessId()) + L"-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_path = prefix + std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(counter++);
        const HANDLE temp = ::CreateFileW(temp_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, attributes, nullptr);
        if (temp != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) return temp;
    }
    return INVALID_HANDLE_VALUE;
}

// Fills the new temporary file `temp` with `bytes`, flushes it, and renames it
// over the target in one step, itself written through to the disk; removes it
// again on failure.
std::optional<FileFailure> fill_and_rename(FileHandle& temp, const std::wstring& temp_path, const std::wstring& target,
                                           std::string_view bytes) {
    DWORD error = write_all(temp.get(), bytes);
    if (error == 0 && !::FlushFileBuffers(temp.get())) error = ::GetLastError();
    const DWORD close_error = temp.close();
    if (error == 0) error = close_error;
    const DWORD move_flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (error == 0 && !::MoveFileExW(temp_path.c_str(), target.c_str(), move_flags)) error = ::GetLastError();
    if (error == 0) return std::nullopt;
    ::DeleteFileW(temp_path.c_str());
    return failure(FileStep::transfer, error);
}

}  // namespace

// The words end with the system's full stop, as Windows' own messages do; only
// the line break is dropped: "Access is denied. (os error 5)".
std::string system_reason(unsigned long code) {
    wchar_t* message = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string words = length == 0 ? std::string("Unknown error") : utf8_from_wide(message, static_cast<int>(length));
    ::LocalFree(message);
    while (!words.empty() && std::string_view(" \r\n").find(words.back()) != std::string_view::npos) words.pop_back();
    return words + " (os error " + std::to_string(code) + ")";
}

// The UTF-16 form of a UTF-8 path, or nothing when it is not valid UTF-8 (the
// error is then GetLastError's).
std::optional<std::wstring> wide_path(const std::string& path) {
    if (path.empty()) return std::wstring();
    if (path.size() > INT_MAX) {
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return std::nullopt;
    }
    const int path_length = static_cast<int>(path.size());
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), path_length, nullptr, 0);
    if (length == 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), path_length, wide.data(), length);
    return wide;
}

std::optional<FileFailure> replace_file(const std::string& path, std::string_view bytes) {
    const std::optional<std::wstring> wide = wide_path(path);
    if (!wide) return failure(FileStep::open, ::GetLastError());
    // Opening the target the way a plain create would (without truncating it)
    // gives the usual errors for a missing folder, a folder, or no permission.
    FileHandle target(
        ::CreateFileW(wide->c_str(), GENERIC_WRITE, share_all, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target.valid()) return failure(FileStep::open, ::GetLastError());

    if (::GetFileType(target.get()) == FILE_TYPE_DISK) {
        BY_HANDLE_FILE_INFORMATION information{};
        if (!::GetFileInformationByHandle(target.get(), &information)) {
            return failure(FileStep::transfer, ::GetLastError());
        }
        // Windows opens no read-only file for writing, whoever asks; where the
        // open went through all the same (Wine running as root), the rename would
        // still be refused, so the file is refused here as the open refuses it.
        if (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return failure(FileStep::open, ERROR_ACCESS_DENIED);
        if (const std::optional<std::wstring> resolved = final_path(target.get())) {
            std::wstring temp_path;
            FileHandle temp(create_temporary(*resolved, kept_attributes(information.dwFileAttributes), temp_path));
            if (temp.valid()) {
                target.close();  // an open file cannot be replaced
                return fill_and_rename(temp, temp_path, *resolved, bytes);
            }
        }
        // No temporary file can live beside the target: write in place, as a plain save would.
        if (!::SetFilePointerEx(target.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) || !::SetEndOfFile(target.get())) {
            return failure(FileStep::transfer, ::GetLastError());
        }
    }
    // Devices and pipes (NUL, CON, named pipes) are written in place.
    DWORD error = write_all(target.get(), bytes);
    if (error == 0) error = target.close();
    if (error != 0) return failure(FileStep::transfer, error);
    return std::nullopt;
}

std::optional<FileFailure> read_file(const std::string& path, std::string& contents) {
    const std::optional<std::wstring> wide = wide_path(path);
    if (!wide) return failure(FileStep::open, ::GetLastError());
    // A folder cannot be opened this way: it gives the system's "Access is denied".
    FileHandle file(
        ::CreateFileW(wide->c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return failure(FileStep::open, ::GetLastError());

    LARGE_INTEGER size{};
    if (::GetFileType(file.get()) == FILE_TYPE_DISK && ::GetFileSizeEx(file.get(), &size) && size.QuadPart > 0) {
        contents.reserve(static_cast<std::size_t>(size.QuadPart));
    }
    char buffer[1 << 16];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE) return std::nullopt;  // a pipe's end of file
            return failure(FileStep::transfer, error);
        }
        if (got == 0) return std::nullopt;
        contents.append(buffer, got);
    }
}

}  // namespace velt::platform

#endif
