#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "core/error.hpp"

namespace velt {
namespace {

std::string os_reason(int error) {
    return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

[[noreturn]] void fail(std::string_view prefix, const std::string& reason) {
    throw ValueError(std::string(prefix) + reason);
}

// Closes a descriptor on every path out of a scope, unless released.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now and reports the error of close itself, which can carry a delayed write error.
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// 0 when every byte was written, else the error number.
int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

// The target with symlinks resolved, so that the rename replaces the file the link points to.
std::optional<std::string> resolve(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

// Writes through a temporary file renamed over `target`. Returns false, having
// changed nothing, when no temporary file can be made beside the target.
bool save_by_rename(const std::string& target, const struct stat& target_status, std::string_view bytes,
                    std::string_view write_prefix) {
    const std::size_t slash = target.rfind('/');
    std::string temp_path = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".tmp-XXXXXX";
    FileDescriptor temp(::mkostemp(temp_path.data(), O_CLOEXEC));
    if (temp.get() < 0) return false;

    int error = 0;
    ::fchmod(temp.get(), target_status.st_mode & 07777);
    // Keeps the owner when a privileged process saves over another user's file; may be refused.
    if (::fchown(temp.get(), target_status.st_uid, target_status.st_gid) != 0) errno = 0;
    error = write_all(temp.get(), bytes);
    if (error == 0 && ::fsync(temp.get()) != 0) error = errno;
    if (error == 0) error = temp.close();
    if (error == 0 && ::rename(temp_path.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temp_path.c_str());
        fail(write_prefix, os_reason(error));
    }
    return true;
}

}  // namespace

void save_file(const std::string& path, std::string_view bytes, FileErrorStyle style) {
    const std::string_view create_prefix =
        style == FileErrorStyle::separate ? "Cannot create file: " : "Write error: ";
    const std::string_view write_prefix = "Write error: ";
    if (path.find('\0') != std::string::npos) fail(create_prefix, "file name contained an unexpected NUL byte");

    // Opening the target the way a plain create would (without truncating it)
    // gives the usual errors for a missing directory, a directory, or no permission,
    // and creates a new file with the permission bits 0o666 less the umask.
    FileDescriptor target(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (target.get() < 0) fail(create_prefix, os_reason(errno));
    struct stat status {};
    if (::fstat(target.get(), &status) != 0) fail(write_prefix, os_reason(errno));

    if (S_ISREG(status.st_mode)) {
        const std::optional<std::string> resolved = resolve(path);
        if (resolved && save_by_rename(*resolved, status, bytes, write_prefix)) return;
        // No temporary file can live beside the target (a read-only directory
        // holding a writable file): write in place, as a plain save would.
        if (::ftruncate(target.get(), 0) != 0) fail(write_prefix, os_reason(errno));
    }
    // Devices and pipes are written in place; they cannot be replaced by a rename.
    int error = write_all(target.get(), bytes);
    if (error == 0) error = target.close();
    if (error != 0) fail(write_prefix, os_reason(error));
}

std::string load_file(const std::string& path, FileErrorStyle style) {
    const std::string_view open_prefix = style == FileErrorStyle::separate ? "Cannot open file: " : "Read error: ";
    const std::string_view read_prefix = "Read error: ";
    if (path.find('\0') != std::string::npos) fail(open_prefix, "file name contained an unexpected NUL byte");

    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) fail(open_prefix, os_reason(errno));

    std::string contents;
    struct stat status {};
    if (::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode)) {
        contents.reserve(static_cast<std::size_t>(status.st_size));
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(read_prefix, os_reason(errno));
        }
        if (got == 0) break;
        contents.append(buffer, static_cast<std::size_t>(got));
    }
    return contents;
}

}  // namespace velt
