// Whole-file save and load through each system's file layer: a replaced file
// leaves no temporary file behind, a failure leaves the old file whole, paths
// are UTF-8 everywhere, and every message is a prefix, the system's own words
// and " (os error N)". Where systems differ, the helpers below say how.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/file_io.hpp"

#if !defined(_WIN32)
#include <sys/resource.h>

#include <csignal>
#endif

namespace velt {
namespace {

namespace fs = std::filesystem;

std::string utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return {reinterpret_cast<const char*>(text.data()), text.size()};
}

// The error each system gives: its code, and its words where they are known
// (Windows words follow the system's language).
struct SystemError {
    int code;
    std::string_view words;
};

#if defined(_WIN32)
constexpr SystemError missing_file{2, {}};    // ERROR_FILE_NOT_FOUND
constexpr SystemError missing_folder{3, {}};  // ERROR_PATH_NOT_FOUND
constexpr SystemError folder_as_file{5, {}};  // ERROR_ACCESS_DENIED: a folder cannot be opened as a file
constexpr SystemError read_only{5, {}};
// Opening a folder fails already, before any read.
constexpr std::string_view load_folder_prefix = "Cannot open file: ";
#else
constexpr SystemError missing_file{2, "No such file or directory"};  // ENOENT
constexpr SystemError missing_folder = missing_file;
constexpr SystemError folder_as_file{21, "Is a directory"};  // EISDIR
constexpr SystemError read_only{13, "Permission denied"};    // EACCES
// A folder opens for reading; the read fails.
constexpr std::string_view load_folder_prefix = "Read error: ";
#endif

// Checks that `message` is `prefix`, then the system's words (Windows ends them
// with a full stop, never with a space or line break), then " (os error {code})".
void expect_system_message(const std::string& message, std::string_view prefix, SystemError error) {
    const std::string suffix = " (os error " + std::to_string(error.code) + ")";
    ASSERT_GT(message.size(), prefix.size() + suffix.size()) << message;
    EXPECT_EQ(message.substr(0, prefix.size()), prefix) << message;
    EXPECT_EQ(message.substr(message.size() - suffix.size()), suffix) << message;
    const std::string words = message.substr(prefix.size(), message.size() - prefix.size() - suffix.size());
    if (!error.words.empty()) {
        EXPECT_EQ(words, error.words);
    }
    EXPECT_EQ(words.find_first_of("\r\n"), std::string::npos) << message;
    EXPECT_NE(words.back(), ' ') << message;
}

std::string error_of(auto&& operation) {
    try {
        operation();
    } catch (const ValueError& error) {
        return error.what();
    }
    ADD_FAILURE() << "no ValueError";
    return {};
}

std::string contents_of(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder for each test, removed afterwards.
class FileIo : public testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        folder_ = fs::temp_directory_path() / ("velt-file-io-" + std::to_string(random()) + std::to_string(random()));
        fs::create_directory(folder_);
    }
    void TearDown() override {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder_)) {
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
        }
        fs::remove_all(folder_);
    }

    // The names in the test's folder.
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder_)) found.push_back(utf8(entry.path().filename()));
        std::sort(found.begin(), found.end());
        return found;
    }

    fs::path folder_;
};

TEST_F(FileIo, SaveReplacesAnExistingFileAndLeavesNothingElse) {
    const fs::path target = folder_ / "sketch.bin";
    write_file(target, "the old contents, longer than the new");
    save_file(utf8(target), "new", FileErrorStyle::separate);
    EXPECT_EQ(contents_of(target), "new");
    EXPECT_EQ(load_file(utf8(target), FileErrorStyle::separate), "new");
    EXPECT_EQ(names(), std::vector<std::string>{"sketch.bin"});
}

TEST_F(FileIo, PathsAreUtf8) {
    const fs::path folder = folder_ / u8"día";
    fs::create_directory(folder);
    const std::string bytes("\x00\xff\xfe binary", 10);
    save_file(utf8(folder) + "/" + reinterpret_cast<const char*>(u8"ñ.bin"), bytes, FileErrorStyle::separate);
    // The system sees the name as the characters it spells, not as its bytes.
    EXPECT_EQ(contents_of(folder / u8"ñ.bin"), bytes);
    EXPECT_EQ(load_file(utf8(folder / u8"ñ.bin"), FileErrorStyle::separate), bytes);
    EXPECT_EQ(names(), std::vector<std::string>{reinterpret_cast<const char*>(u8"día")});
}

TEST_F(FileIo, MissingFilesAndFoldersGiveTheSystemsMessages) {
    const std::string in_missing_folder = utf8(folder_ / "missing" / "sketch.bin");
    const std::string missing = utf8(folder_ / "missing.bin");
    expect_system_message(error_of([&] { save_file(in_missing_folder, "x", FileErrorStyle::separate); }),
                          "Cannot create file: ", missing_folder);
    expect_system_message(error_of([&] { save_file(in_missing_folder, "x", FileErrorStyle::combined); }),
                          "Write error: ", missing_folder);
    expect_system_message(error_of([&] { load_file(missing, FileErrorStyle::separate); }), "Cannot open file: ",
                          missing_file);
    expect_system_message(error_of([&] { load_file(missing, FileErrorStyle::combined); }), "Read error: ",
                          missing_file);
    EXPECT_TRUE(names().empty());
}

TEST_F(FileIo, AFolderIsNeitherSavedNorLoaded) {
    const std::string folder = utf8(folder_);
    expect_system_message(error_of([&] { save_file(folder, "x", FileErrorStyle::separate); }), "Cannot create file: ",
                          folder_as_file);
    expect_system_message(error_of([&] { load_file(folder, FileErrorStyle::separate); }), load_folder_prefix,
                          folder_as_file);
    expect_system_message(error_of([&] { load_file(folder, FileErrorStyle::combined); }), "Read error: ", folder_as_file);
}

// Whether this process may write a file whose permissions say read-only: a
// privileged process (root) may on POSIX; Windows lets no one.
bool writes_read_only_files([[maybe_unused]] const fs::path& file) {
#if defined(_WIN32)
    return false;
#else
    return std::ofstream(file, std::ios::app).is_open();
#endif
}

// A read-only file is refused, and stays as it was. A process the system lets
// write anyway replaces it, and it stays read-only.
TEST_F(FileIo, AReadOnlyTargetIsRefusedOrStaysReadOnly) {
    const fs::path target = folder_ / "sketch.bin";
    write_file(target, "old");
    fs::permissions(target, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    if (writes_read_only_files(target)) {
        save_file(utf8(target), "new", FileErrorStyle::separate);
        EXPECT_EQ(contents_of(target), "new");
        EXPECT_EQ(fs::status(target).permissions() & fs::perms::owner_write, fs::perms::none);
    } else {
        expect_system_message(error_of([&] { save_file(utf8(target), "new", FileErrorStyle::separate); }),
                              "Cannot create file: ", read_only);
        EXPECT_EQ(contents_of(target), "old");
    }
    EXPECT_EQ(names(), std::vector<std::string>{"sketch.bin"});
}

// Makes the write step of a save fail while the object lives: on POSIX a file
// size limit stops the write, on Windows another open of the target, which
// does not share deletion, stops the replacement.
class FailingWrite {
public:
#if defined(_WIN32)
    explicit FailingWrite(const fs::path& target) : holder_(target, std::ios::binary) {}

private:
    std::ifstream holder_;
#else
    explicit FailingWrite(const fs::path&) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = 4;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FailingWrite() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_handler_);
    }

private:
    rlimit saved_{};
    void (*previous_handler_)(int) = nullptr;
#endif
};

TEST_F(FileIo, AFailedSaveLeavesTheOldFileWholeAndNoTemporaryFile) {
    const fs::path target = folder_ / "sketch.bin";
    write_file(target, "old");
    std::string message;
    {
        const FailingWrite failing(target);
        message = error_of([&] { save_file(utf8(target), "more than four bytes", FileErrorStyle::separate); });
    }
    EXPECT_EQ(message.rfind("Write error: ", 0), 0u) << message;
    EXPECT_NE(message.find(" (os error "), std::string::npos) << message;
    EXPECT_EQ(contents_of(target), "old");
    EXPECT_EQ(names(), std::vector<std::string>{"sketch.bin"});
}

}  // namespace
}  // namespace velt
