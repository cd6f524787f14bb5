// The binary payload codec over a record of every field kind: layout, bounds
// and messages. Each class's own layout is pinned by the golden files.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "core/codec/binary.hpp"

namespace velt::codec {
namespace {

struct Slot {
    static constexpr std::string_view record_name = "Slot";
    std::array<std::uint16_t, 2> values{};
    std::string label;
    template <class V>
    void fields(V& v) {
        v("values", values);
        v("label", label);
    }
    bool operator==(const Slot&) const = default;
};

struct Everything {
    static constexpr std::string_view record_name = "Everything";
    std::uint8_t version = 0;
    std::vector<std::uint64_t> words;
    std::uint32_t small = 0;
    double rate = 0;
    std::optional<std::uint64_t> maybe;
    std::vector<Slot> slots;
    std::vector<std::vector<std::uint64_t>> rows;
    template <class V>
    void fields(V& v) {
        v("version", version, may_be_absent);
        v("words", words);
        v("small", small);
        v("rate", rate);
        v("maybe", maybe);
        v("slots", slots);
        v("rows", rows);
    }
    bool operator==(const Everything&) const = default;
};

constexpr Format test_format{"VTXX", 3};

std::string payload_of(const Everything& record) {
    return std::string(decode_envelope(to_binary(record, test_format), test_format));
}

std::string le64(std::uint64_t v) {
    std::string out(8, '\0');
    store_le(out.data(), v);
    return out;
}

TEST(BinaryCodec, WritesFieldsInRecordOrderLittleEndian) {
    Everything record;
    record.version = 7;
    record.words = {0x0102030405060708ULL};
    record.small = 0x0A0B0C0D;
    record.rate = 2.0;
    record.maybe = 5;
    record.slots = {Slot{{1, 2}, "é"}};
    record.rows = {{9}, {}};

    std::string expected;
    expected += '\x07';
    expected += le64(1) + le64(0x0102030405060708ULL);
    expected += std::string("\x0D\x0C\x0B\x0A", 4);
    expected += le64(0x4000000000000000ULL);
    expected += '\x01' + le64(5);
    expected += le64(1) + std::string("\x01\x00\x02\x00", 4) + le64(2) + "é";
    expected += le64(2) + le64(1) + le64(9) + le64(0);
    EXPECT_EQ(payload_of(record), expected);
    EXPECT_EQ(decode_payload<Everything>(expected), record);
}

TEST(BinaryCodec, DecodeErrorsHaveTheirMessages) {
    Everything record;
    record.maybe = 1;
    record.slots = {Slot{{1, 2}, "ab"}};
    const std::string good = payload_of(record);
    const std::size_t tag_at = 1 + 8 + 4 + 8;
    const std::size_t label_at = tag_at + 9 + 8 + 4 + 8;

    struct Case {
        std::string payload;
        std::string message;
    };
    std::string bad_tag = good;
    bad_tag[tag_at] = 2;
    std::string bad_text = good;
    bad_text[label_at + 1] = '\xFF';
    std::string cut_text = good;
    cut_text[label_at + 1] = '\xE2';
    const std::vector<Case> cases = {
        {good.substr(0, 5), "Deserialization error: io error: unexpected end of file"},
        {good.substr(0, label_at + 1), "Deserialization error: io error: unexpected end of file"},
        {bad_tag, "Deserialization error: tag for enum is not valid, found 2"},
        {bad_text, "Deserialization error: string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1"},
        {cut_text, "Deserialization error: string is not valid utf8: incomplete utf-8 byte sequence from index 1"},
    };
    for (const Case& c : cases) {
        try {
            decode_payload<Everything>(c.payload);
            ADD_FAILURE() << "decoded: " << c.message;
        } catch (const ValueError& error) {
            EXPECT_EQ(error.what(), c.message);
        }
    }
}

TEST(BinaryCodec, HugeClaimedCountsFailWithoutAllocating) {
    // A vector of records claiming 2^60 elements, and one of words claiming 2^61.
    for (const std::string& payload : {std::string("\x01") + le64(0) + "\0\0\0\0" + le64(0) + '\0' + le64(1ULL << 60),
                                       std::string("\x01") + le64(1ULL << 61)}) {
        try {
            decode_payload<Everything>(payload);
            ADD_FAILURE() << "a huge claimed count was accepted";
        } catch (const ValueError& error) {
            EXPECT_STREQ(error.what(), "Deserialization error: io error: unexpected end of file");
        }
    }
}

}  // namespace
}  // namespace velt::codec
