// Read-only file mappings: contents, empty files, failures, and a file cut short while mapped.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/platform/file_mapping.hpp"

namespace velt::platform {
namespace {

std::filesystem::path written(const std::string& name, const std::string& contents) {
    const auto path = std::filesystem::temp_directory_path() / name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

TEST(FileMapping, MapsTheWholeFileAndSeesItTruncated) {
    const std::string contents(10000, 'v');
    const auto path = written("velt_mapping_test.bin", contents);
    {
        FileMapping mapping;
        ASSERT_FALSE(FileMapping::map(path.string(), mapping).has_value());
        ASSERT_EQ(mapping.size(), contents.size());
        EXPECT_EQ(std::string(mapping.data(), mapping.size()), contents);
        EXPECT_TRUE(mapping.file_is_whole());
        FileMapping moved = std::move(mapping);
        EXPECT_EQ(mapping.data(), nullptr);
        std::error_code cut;
        std::filesystem::resize_file(path, 100, cut);
#if defined(_WIN32)
        EXPECT_TRUE(cut);  // Windows refuses to cut a mapped file
#else
        ASSERT_FALSE(cut);
        EXPECT_FALSE(moved.file_is_whole());
#endif
    }
    std::filesystem::remove(path);
}

TEST(FileMapping, EmptyFilesAndFailures) {
    const auto empty = written("velt_mapping_empty.bin", "");
    FileMapping mapping;
    ASSERT_FALSE(FileMapping::map(empty.string(), mapping).has_value());
    EXPECT_EQ(mapping.size(), 0u);
    std::filesystem::remove(empty);

    const auto missing = FileMapping::map((std::filesystem::temp_directory_path() / "velt_no_such_file").string(), mapping);
    ASSERT_TRUE(missing.has_value());
    EXPECT_EQ(missing->step, MappingFailure::Step::open);
    const auto directory = FileMapping::map(std::filesystem::temp_directory_path().string(), mapping);
    ASSERT_TRUE(directory.has_value());
#if !defined(_WIN32)
    EXPECT_EQ(directory->reason, "Is a directory (os error 21)");
#endif
}

}  // namespace
}  // namespace velt::platform
