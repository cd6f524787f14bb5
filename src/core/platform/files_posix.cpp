// The file layer on Linux, macOS and the other POSIX systems.
#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/platform/files.hpp"

namespace velt::platform {
namespace {

FileFailure failure(FileStep step, int error) { return {step, system_reason(static_cast<unsigned long>(error))}; }

// Closes a descriptor on every path out of a scope, unless closed before.
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

// Flushes the file's bytes to the disk itself; 0 or the error number. On macOS
// fsync hands them to the drive, whose cache may still lose them: F_FULLFSYNC
// asks the drive to write them through, and file systems that cannot refuse it.
int flush_to_disk(int fd) {
#if defined(F_FULLFSYNC)
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    return ::fsync(fd) == 0 ? 0 : errno;
}

// The target with symlinks resolved, so that the rename replaces the file the link points to.
std::optional<std::string> resolve(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string result(resolved);
    std::free(resolved);
    return result;
}

// The name of a temporary file beside `target`, as mkostemp wants it.
std::string temporary_name(const std::string& target) {
    const std::size_t slash = target.rfind('/');
    return target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".tmp-XXXXXX";
}

// Fills the new temporary file `temp` with `bytes`, as the target's owner and
// with its permission bits, and renames it over the target; removes it again
// on failure.
std::optional<FileFailure> fill_and_rename(FileDescriptor& temp, const std::string& temp_path, const std::string& target,
                                           const struct stat& target_status, std::string_view bytes) {
    ::fchmod(temp.get(), target_status.st_mode & 07777);
    // Keeps the owner when a privileged process saves over another user's file; may be refused.
    if (::fchown(temp.get(), target_status.st_uid, target_status.st_gid) != 0) errno = 0;
    int error = write_all(temp.get(), bytes);
    if (error == 0) error = flush_to_disk(temp.get());
    if (error == 0) error = temp.close();
    if (error == 0 && ::rename(temp_path.c_str(), target.c_str()) != 0) error = errno;
    if (error == 0) return std::nullopt;
    ::unlink(temp_path.c_str());
    return failure(FileStep::transfer, error);
}

}  // namespace

std::string system_reason(unsigned long code) {
    return std::string(std::strerror(static_cast<int>(code))) + " (os error " + std::to_string(code) + ")";
}

std::optional<FileFailure> replace_file(const std::string& path, std::string_view bytes) {
    // Opening the target the way a plain create would (without truncating it)
    // gives the usual errors for a missing directory, a directory, or no permission,
    // and creates a new file with the permission bits 0o666 less the umask.
    FileDescriptor target(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (target.get() < 0) return failure(FileStep::open, errno);
    struct stat status {};
    if (::fstat(target.get(), &status) != 0) return failure(FileStep::transfer, errno);

    if (S_ISREG(status.st_mode)) {
        if (const std::optional<std::string> resolved = resolve(path)) {
            std::string temp_path = temporary_name(*resolved);
            FileDescriptor temp(::mkostemp(temp_path.data(), O_CLOEXEC));
            if (temp.get() >= 0) return fill_and_rename(temp, temp_path, *resolved, status, bytes);
        }
        // No temporary file can live beside the target (a read-only directory
        // holding a writable file): write in place, as a plain save would.
        if (::ftruncate(target.get(), 0) != 0) return failure(FileStep::transfer, errno);
    }
    // Devices and pipes are written in place; they cannot be replaced by a rename.
    int error = write_all(target.get(), bytes);
    if (error == 0) error = target.close();
    if (error != 0) return failure(FileStep::transfer, error);
    return std::nullopt;
}

std::optional<FileFailure> read_file(const std::string& path, std::string& contents) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return failure(FileStep::open, errno);

    struct stat status {};
    if (::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode)) {
        contents.reserve(static_cast<std::size_t>(status.st_size));
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return failure(FileStep::transfer, errno);
        }
        if (got == 0) return std::nullopt;
        contents.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace velt::platform

#endif
