// The known-answer files of tests/data, read and written back byte for byte by
// each class's codecs: the stored forms are the same on every system, whatever
// its byte order or compiler. (tests/python/codec/test_golden.py makes them.)
#include <gtest/gtest.h>

#include <string>

#include "core/bloom.hpp"
#include "core/count_min_sketch.hpp"
#include "core/counting_bloom.hpp"
#include "core/cuckoo.hpp"
#include "core/file_io.hpp"
#include "core/hyperloglog.hpp"
#include "core/minhash.hpp"
#include "core/persistence.hpp"
#include "core/scalable_bloom.hpp"
#include "core/topk.hpp"

namespace velt {
namespace {

// VELT_TEST_DATA_DIR is the source tree's tests/data, named by the build.
std::string data_file(const std::string& name) { return std::string(VELT_TEST_DATA_DIR) + "/" + name; }

template <class S>
void check_golden_files(const std::string& name) {
    SCOPED_TRACE(name);
    const std::string binary = load_file(data_file(name + ".bin"), FileErrorStyle::separate);
    const std::string text = load_file(data_file(name + ".json"), FileErrorStyle::separate);
    const S from_binary = from_bytes<S>(binary);
    EXPECT_EQ(to_bytes(from_binary), binary);
    EXPECT_EQ(to_json(from_binary), text);
    const S from_text = from_json<S>(text);
    EXPECT_EQ(to_bytes(from_text), binary);
    EXPECT_EQ(to_json(from_text), text);
}

TEST(GoldenFiles, ReadAndWriteBackByteForByte) {
    check_golden_files<BloomFilter>("bloom");
    check_golden_files<CountingBloomFilter>("counting_bloom");
    check_golden_files<ScalableBloomFilter>("scalable_bloom");
    check_golden_files<CuckooFilter>("cuckoo");
    check_golden_files<CountMinSketch>("count_min_sketch");
    check_golden_files<TopK>("topk");
    check_golden_files<HyperLogLog>("hyperloglog");
    check_golden_files<MinHash>("minhash");
}

}  // namespace
}  // namespace velt
