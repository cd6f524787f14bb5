// Signatures: the vectorised multiply_shift loop against a plain one, and the
// classic scheme's slot secrets against seeded XXH3.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/minhash.hpp"
#include "core/signatures.hpp"

namespace velt {
namespace {

std::vector<std::uint64_t> random_values(std::size_t count, std::mt19937_64& random) {
    std::vector<std::uint64_t> values(count);
    for (std::uint64_t& value : values) value = random();
    return values;
}

TEST(Signatures, EveryInstructionSetLowersSlotsAlike) {
    std::mt19937_64 random(7);
    // Slot counts around the group of eight, and hash counts from none to many.
    for (const std::size_t slots : {1u, 7u, 8u, 9u, 64u, 128u, 131u}) {
        for (const std::size_t count : {0u, 1u, 3u, 500u}) {
            const auto hashes = random_values(count, random);
            const auto multipliers = random_values(slots, random);
            const auto increments = random_values(slots, random);
            const auto start = random_values(slots, random);
            std::vector<std::uint64_t> expected = start;
            for (std::size_t i = 0; i < slots; ++i) {
                for (const std::uint64_t hash : hashes) {
                    expected[i] = std::min(expected[i], multipliers[i] * hash + increments[i]);
                }
            }
            std::vector<std::uint64_t> baseline = start;
            lower_slots_baseline(hashes, {multipliers, increments}, baseline);
            EXPECT_EQ(baseline, expected);
            std::vector<std::uint64_t> vectorised = start;
            if (lower_slots_vectorised(hashes, {multipliers, increments}, vectorised)) {
                EXPECT_EQ(vectorised, expected);
            } else {
                GTEST_LOG_(INFO) << "no vectorised loop on this build or processor";
            }
        }
    }
}

TEST(Signatures, WordsAreCutAtEveryKindOfWhitespace) {
    // Texts made of known pieces, so that their words are known: every whitespace
    // character str.split() splits on, and letters that share a first byte with one.
    const std::vector<std::string> spaces = {" ", "\t", "\n", "\x0b", "\x0c", "\r", "\x1c", "\x1f", "\xc2\x85",
                                             "\xc2\xa0", "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x8a", "\xe2\x80\xa8",
                                             "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};
    const std::vector<std::string> letters = {"a", "xyz", "\x08", "!", "\xc3\xa9", "\xc2\xa1", "\xe2\x80\x90",
                                              "\xe3\x80\x81", "\xe1\x9a\x81", "\xf0\x9f\x98\x80"};
    std::mt19937_64 random(11);
    Shingler shingler("word", 1);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        std::vector<std::string> expected;
        bool in_word = false;
        for (std::size_t piece = random() % 120; piece > 0; --piece) {
            const bool space = random() % 3 == 0;
            const auto& choices = space ? spaces : letters;
            const std::string& chosen = choices[random() % choices.size()];
            text += chosen;
            if (!space && in_word) expected.back() += chosen;
            else if (!space) expected.push_back(chosen);
            in_word = !space;
        }
        std::vector<std::string> words;
        shingler.for_each_shingle(text, [&](std::string_view word) { words.emplace_back(word); });
        ASSERT_EQ(words, expected) << round;
    }
}

TEST(Signatures, ClassicRowsOfLongItemsEqualMinHash) {
    const std::string long_items[] = {std::string(241, 'a'), std::string(4000, 'b'), "short"};
    for (const std::uint64_t slots : {3u, 128u, 1100u}) {  // 1100 is past the slots that keep secrets
        std::vector<std::string_view> items(std::begin(long_items), std::end(long_items));
        MinHash minhash = MinHash::create(slots, 99);
        minhash.update(items);
        SignatureMaker maker(slots, 99, SignatureScheme::classic);
        std::vector<std::uint64_t> row(slots);
        maker.sign_items(items, row);
        EXPECT_TRUE(std::equal(row.begin(), row.end(), minhash.signature().begin())) << slots;
    }
}

}  // namespace
}  // namespace velt
