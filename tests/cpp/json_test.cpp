// The JSON text codec: layout, number and string formatting, the two accepted
// record forms, and the exact messages and positions of the reader's errors.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/codec/json_reader.hpp"
#include "core/codec/json_writer.hpp"
#include "core/error.hpp"

namespace velt::codec {
namespace {

struct BloomFilterData {
    static constexpr std::string_view record_name = "BloomFilterData";
    std::vector<std::uint64_t> bits;
    std::uint64_t num_bits = 0;
    std::uint32_t num_hashes = 0;
    std::uint64_t count = 0;
    std::uint64_t seed = 0;
    template <class V>
    void fields(V& v) {
        v("bits", bits);
        v("num_bits", num_bits);
        v("num_hashes", num_hashes);
        v("count", count);
        v("seed", seed);
    }
    bool operator==(const BloomFilterData&) const = default;
};

struct Slot {
    static constexpr std::string_view record_name = "Slot";
    std::array<std::uint16_t, 4> lanes{};
    std::uint8_t tag = 0;
    template <class V>
    void fields(V& v) {
        v("lanes", lanes);
        v("tag", tag);
    }
    bool operator==(const Slot&) const = default;
};

struct Entry {
    static constexpr std::string_view record_name = "Entry";
    std::string label;
    std::optional<std::uint64_t> hits = 7;  // an absent key must still read as empty
    Slot slot;
    template <class V>
    void fields(V& v) {
        v("label", label);
        v("hits", hits);
        v("slot", slot);
    }
    bool operator==(const Entry&) const = default;
};

struct SketchData {
    static constexpr std::string_view record_name = "SketchData";
    std::uint8_t version = 3;
    std::vector<Entry> entries;
    double ratio = 0;
    std::vector<std::vector<std::uint64_t>> table;
    template <class V>
    void fields(V& v) {
        v("version", version, may_be_absent);
        v("entries", entries);
        v("ratio", ratio);
        v("table", table);
    }
    bool operator==(const SketchData&) const = default;
};

struct Single {
    static constexpr std::string_view record_name = "Single";
    std::string name;
    template <class V>
    void fields(V& v) {
        v("name", name);
    }
};

// A record holding records of its own kind: as arrays, every level is one
// more bracket, so typed fields can reach the depth limit.
struct Tree {
    static constexpr std::string_view record_name = "Tree";
    std::vector<Tree> children;
    template <class V>
    void fields(V& v) {
        v("children", children);
    }
};

template <class R>
std::string error_of(std::string_view text) {
    try {
        from_json<R>(text);
    } catch (const ValueError& e) {
        return e.what();
    }
    return "no error";
}

std::string repeat(std::string_view part, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += part;
    return out;
}

// ---- Writing (the layout of every record kind is pinned by the golden files) ----

TEST(JsonWriter, DoublesUseShortestDigitsAndSwitchToScientificOutsideMinus5To15) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {2.0, "2.0"}, {0.00001, "0.00001"}, {1e15, "1000000000000000.0"}, {1e-6, "1e-6"}, {1e16, "1e+16"},
        {-2.5e-7, "-2.5e-7"}, {0.1 + 0.2, "0.30000000000000004"}, {-98765.4321, "-98765.4321"}, {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e+308"}, {-0.0, "-0.0"},
        {std::numeric_limits<double>::infinity(), "null"}, {std::numeric_limits<double>::quiet_NaN(), "null"},
    };
    for (const auto& c : cases) {
        SketchData s;
        s.ratio = c.value;
        EXPECT_NE(to_json(s).find("\"ratio\": " + std::string(c.text) + ",\n"), std::string::npos) << c.text;
        // What is written reads back to the same value.
        if (std::isfinite(c.value)) {
            const double back = from_json<SketchData>(to_json(s)).ratio;
            EXPECT_EQ(back, c.value) << c.text;
            EXPECT_EQ(std::signbit(back), std::signbit(c.value)) << c.text;
        }
    }
}

TEST(JsonWriter, StringsEscapeOnlyQuotesBackslashesAndControlCharacters) {
    const struct {
        std::string raw;
        const char* written;
    } cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {std::string("\0\x01\x1f\x0b", 4), "\"\\u0000\\u0001\\u001f\\u000b\""},
        {"/ \x7f caf\xc3\xa9 \xf0\x9f\x98\x80", "\"/ \x7f caf\xc3\xa9 \xf0\x9f\x98\x80\""},
    };
    for (const auto& c : cases) {
        Single record{c.raw};
        const std::string text = to_json(record);
        EXPECT_EQ(text, "{\n  \"name\": " + std::string(c.written) + "\n}");
        EXPECT_EQ(from_json<Single>(text).name, c.raw);
    }
}

// ---- Reading: what is accepted ----

TEST(JsonReader, AcceptsWhiteSpaceEscapedKeysSkippedValuesAndBothFormsAtEveryLevel) {
    const BloomFilterData expected{{5, 6}, 128, 3, 2, 18446744073709551615ULL};
    const char* const texts[] = {
        "{\"extra\": {\"a\": [1, -2.5e-3, \"\\ud800\", true, false, null, {}]}, \"bits\": [5,6],"
        " \"num_bits\": 128, \"num_hashes\": 3, \"count\": 2, \"seed\": 18446744073709551615,"
        " \"zzz\": 1e999}",
        " \t\r\n{ \"bits\" : [ 5 , 6 ] , \"num_bits\":128,\"num_hashes\":3,\"count\":2,"
        "\"se\\u0065d\":18446744073709551615 } \n",
    };
    for (const char* text : texts) EXPECT_EQ(from_json<BloomFilterData>(text), expected) << text;

    // Nested records take both forms too; absent optionals are empty and
    // absent `may_be_absent` fields keep their initial value.
    const auto sketch = from_json<SketchData>(
        "{\"entries\": [[\"x\", null, [[1, 2, 3, 4], 5]], {\"slot\": {\"tag\": 1, \"lanes\": "
        "[0, 0, 0, 0]}, \"label\": \"y\"}], \"ratio\": -0, \"table\": [[], [7]]}");
    EXPECT_EQ(sketch.version, 3);
    ASSERT_EQ(sketch.entries.size(), 2u);
    EXPECT_EQ(sketch.entries[0], (Entry{"x", std::nullopt, Slot{{1, 2, 3, 4}, 5}}));
    EXPECT_EQ(sketch.entries[1], (Entry{"y", std::nullopt, Slot{{0, 0, 0, 0}, 1}}));
    EXPECT_TRUE(std::signbit(sketch.ratio));
    EXPECT_EQ(sketch.table, (std::vector<std::vector<std::uint64_t>>{{}, {7}}));
}

TEST(JsonReader, NumbersAndStringsDecodeExactly) {
    const struct {
        const char* json;
        double value;
    } doubles[] = {
        {"0.1", 0.1},
        {"2.2250738585072014e-308", 2.2250738585072014e-308},
        {"18446744073709551616", 18446744073709551616.0},
        {"1e-400", 0.0},
    };
    for (const auto& c : doubles) {
        const std::string text =
            std::string("{\"entries\": [], \"ratio\": ") + c.json + ", \"table\": []}";
        EXPECT_EQ(from_json<SketchData>(text).ratio, c.value) << c.json;
    }
    const struct {
        const char* json;
        const char* value;
    } strings[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
        {"\"raw \xe2\x82\xac\"", "raw \xe2\x82\xac"},
    };
    for (const auto& c : strings) {
        const std::string text = std::string("{\"name\": ") + c.json + "}";
        EXPECT_EQ(from_json<Single>(text).name, c.value) << c.json;
    }
}

// ---- Reading: errors ----

struct ErrorCase {
    const char* text;
    const char* message;  // after "Deserialization error: "
};

class BloomFilterErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(BloomFilterErrors, NameTheFaultAndWhereItWasFound) {
    EXPECT_EQ(error_of<BloomFilterData>(GetParam().text),
              std::string("Deserialization error: ") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    JsonReader, BloomFilterErrors,
    testing::Values(
        // Record shape.
        ErrorCase{"{\n  \"bits\": [0],\n  \"num_bits\": 64,\n  \"num_hashes\": 1,\n"
                  "  \"count\": 0\n}",
                  "missing field `seed` at line 6 column 1"},
        ErrorCase{"{\"bits\":[0],\"bits\" :[1]}", "duplicate field `bits` at line 1 column 19"},
        ErrorCase{"[[0], 64, 1, 0]",
                  "invalid length 4, expected struct BloomFilterData with 5 elements "
                  "at line 1 column 15"},
        ErrorCase{"[[0], 64, 1, 0, 0, 9]", "trailing characters at line 1 column 20"},
        ErrorCase{"\"x\"", "invalid type: string \"x\", expected struct BloomFilterData "
                           "at line 1 column 3"},
        // Field types and ranges: positioned after the scalar, or where a
        // container starts.
        ErrorCase{"{\"num_hashes\": 4294967296}",
                  "invalid value: integer `4294967296`, expected u32 at line 1 column 25"},
        ErrorCase{"{\"seed\": -1}", "invalid value: integer `-1`, expected u64 at line 1 column 11"},
        ErrorCase{"{\"seed\": 1.5}",
                  "invalid type: floating point `1.5`, expected u64 at line 1 column 12"},
        ErrorCase{"{\"seed\": 18446744073709551616}",
                  "invalid type: floating point `18446744073709552000.0`, expected u64 "
                  "at line 1 column 29"},
        ErrorCase{"{\"seed\": -0}",
                  "invalid type: floating point `-0.0`, expected u64 at line 1 column 11"},
        ErrorCase{"{\"seed\": 2e-7}",
                  "invalid type: floating point `0.0000002`, expected u64 at line 1 column 13"},
        // Syntax.
        ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
        ErrorCase{"{", "EOF while parsing an object at line 1 column 1"},
        ErrorCase{"{\"seed\": ", "EOF while parsing a value at line 1 column 9"},
        ErrorCase{"{\"bits\": [1", "EOF while parsing a list at line 1 column 11"},
        ErrorCase{"{\"seed\": x}", "expected value at line 1 column 10"},
        ErrorCase{"{\"seed\": tru}", "expected ident at line 1 column 13"},
        ErrorCase{"{1: 2}", "key must be a string at line 1 column 2"},
        ErrorCase{"{\"seed\" 1}", "expected `:` at line 1 column 9"},
        ErrorCase{"{\"bits\": [1 2]}", "expected `,` or `]` at line 1 column 13"},
        ErrorCase{"{\"seed\": 01}", "invalid number at line 1 column 11"},
        ErrorCase{"{\"seed\": 1.}", "invalid number at line 1 column 12"},
        ErrorCase{"{\"seed\": 1e400}", "number out of range at line 1 column 14"},
        ErrorCase{"[[], 0, 0, 0, 0]\n\n  x", "trailing characters at line 3 column 3"},
        // Columns count characters, not bytes.
        ErrorCase{"{\"\xc3\xa9t\xc3\xa9\": 1,\n \"\xe2\x82\xac\": x}",
                  "expected value at line 2 column 7"},
        // Skipped values are checked as strictly as read ones.
        ErrorCase{"{\"x\": [1,]}", "expected value at line 1 column 10"},
        ErrorCase{"{\"x\": \"a\\qb\"}", "invalid escape at line 1 column 10"},
        ErrorCase{"{\"x\": \"a\tb\"}",
                  "control character (\\u0000-\\u001F) found while parsing a string "
                  "at line 1 column 8"}));

class SketchErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(SketchErrors, NameTheFaultAndWhereItWasFound) {
    EXPECT_EQ(error_of<SketchData>(GetParam().text),
              std::string("Deserialization error: ") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    JsonReader, SketchErrors,
    testing::Values(
        ErrorCase{"{\"table\": [[1], 2]}",
                  "invalid type: integer `2`, expected a sequence at line 1 column 17"},
        ErrorCase{"{\"entries\": [{\"label\": \"\\ud800\"}]}",
                  "unexpected end of hex escape at line 1 column 31"},
        ErrorCase{"{\"entries\": [{\"label\": \"\\ud800\\u0041\"}]}",
                  "lone leading surrogate in hex escape at line 1 column 36"},
        // Text is stored as read: bytes that are not UTF-8 are refused at the first bad one.
        ErrorCase{"{\"entries\": [{\"label\": \"ab\xe9" "c\"}]}", "invalid unicode code point at line 1 column 27"},
        ErrorCase{"{\"entries\": [{\"label\": \"\", \"slot\": {\"lanes\": [1, 2, 3], "
                  "\"tag\": 0}}]}",
                  "invalid length 3, expected an array of length 4 at line 1 column 54"},
        ErrorCase{"{\"entries\": [{\"label\": \"\", \"slot\": {\"lanes\": [0, 0, 0, 0]}}]}",
                  "missing field `tag` at line 1 column 58"},
        // An absent `may_be_absent` field still counts in the expected length.
        ErrorCase{"[]", "invalid length 1, expected struct SketchData with 4 elements "
                        "at line 1 column 2"}));

// ---- Depth ----

TEST(JsonReader, ContainersNestAtMost127Deep) {
    // The record is level 1, so an unknown key can hold 126 more levels.
    for (const auto& [open, close] : {std::pair{"[", "]"}, std::pair{"{\"k\":", "}"}}) {
        const auto skipped = [open = open, close = close](int levels) {
            return "{\"x\": " + repeat(open, levels) + "0" + repeat(close, levels) +
                   ", \"bits\": [], \"num_bits\": 0, \"num_hashes\": 0, \"count\": 0, \"seed\": 0}";
        };
        EXPECT_EQ(error_of<BloomFilterData>(skipped(126)), "no error") << open;
        const std::string too_deep = skipped(127);
        const std::size_t last_open = 6 + 127 * std::string_view(open).size() -
                                      std::string_view(open).size() + 1;
        EXPECT_EQ(error_of<BloomFilterData>(too_deep),
                  "Deserialization error: recursion limit exceeded at line 1 column " +
                      std::to_string(last_open))
            << open;
    }

    // Typed fields count the same way: a tree in array form alternates record
    // and sequence levels, so 126 brackets end in an empty sequence, 127 in a
    // record short of its field (reached, so not too deep), and 128 fail.
    const auto tree = [](int levels) { return repeat("[", levels) + repeat("]", levels); };
    EXPECT_EQ(error_of<Tree>(tree(126)), "no error");
    EXPECT_EQ(error_of<Tree>(tree(127)),
              "Deserialization error: invalid length 0, expected struct Tree with 1 element "
              "at line 1 column 128");
    EXPECT_EQ(error_of<Tree>(tree(128)),
              "Deserialization error: recursion limit exceeded at line 1 column 128");

    // Closing a container gives its level back: many siblings are fine.
    const std::string rows = "[" + repeat("[1],", 300) + "[]]";
    EXPECT_EQ(from_json<SketchData>("{\"entries\": [], \"ratio\": 0, \"table\": " + rows + "}")
                  .table.size(),
              301u);
    EXPECT_EQ(error_of<BloomFilterData>("{\"x\": " + rows + ", \"bits\": [], \"num_bits\": 0, "
                                        "\"num_hashes\": 0, \"count\": 0, \"seed\": 0}"),
              "no error");
}

}  // namespace
}  // namespace velt::codec
