// One item's XXH3-64 under many seeds at once: what a MinHash signature costs
// per item (one seeded hash per slot). Each result equals XXH3_64bits_withSeed
// of the item with that seed, for every length.
//
// Up to 240 bytes, seeded XXH3 reads its input in a pattern fixed by the length
// alone, and the seed only shifts the secret's words it meets (word + seed or
// word - seed). So each seed's shifted words, its keys, are made once and kept in
// a table; an item's words are read once; and one straight-line loop per exact
// XXH3 length range (17-32, 33-64, 65-96 and 97-128 bytes each have their own)
// combines them, with no branch on the length inside it. A single item, or more
// slots than a table is kept for (tuning.hpp), makes its keys as it goes instead,
// which costs less than a table for one item. Longer items take
// seeded XXH3 itself, with each seed's secret derived once and kept.
//
// The building blocks (avalanches, little-endian reads, the default secret) are
// xxhash.h's own; the 128-bit multiply is the platform layer's, so that its
// portable form is checked against xxHash too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/hash.hpp"
#include "core/platform/hints.hpp"
#include "core/platform/wide_arithmetic.hpp"

namespace velt::seeded_xxh3 {

// ---- The key table ----------------------------------------------------------------
// Seeds go in blocks of four (the last one padded), each block holding every key
// of its four seeds row by row: key[row][lane]. A loop over the seeds then finds
// the keys of four seeds at fixed offsets from one pointer, and a vector loop
// loads the four keys of a row at once.

inline constexpr std::size_t lanes = 4;

// The rows, in the order that items of growing length first read them. Up to
// 16 bytes: the hash of no bytes, and one or two secret words shifted by the seed.
inline constexpr std::size_t row_empty = 0;
inline constexpr std::size_t row_1_to_3 = 1;
inline constexpr std::size_t row_4_to_8 = 2;
inline constexpr std::size_t rows_9_to_16 = 3;
// Then the words of XXH3's 16-byte rounds, two per round. 17 to 240 bytes meet
// the secret's first 128 bytes (round words 0-15); 129 to 240 bytes also the
// rounds past the eighth, from secret byte 3 on (round words 16-29), and the
// last round's two words (30 and 31).
inline constexpr std::size_t first_round_row = 5;
inline constexpr std::size_t first_later_word = 16;
inline constexpr std::size_t last_round_word = 30;
inline constexpr std::size_t round_words = 32;
inline constexpr std::size_t row_count = first_round_row + round_words;

struct KeyBlock {
    std::uint64_t key[row_count][lanes];
};

// The default secret's 64-bit word at byte `offset`.
inline std::uint64_t secret_word(std::size_t offset) { return XXH_readLE64(XXH3_kSecret + offset); }

// The key of `row` under `seed`.
inline std::uint64_t key_of(std::size_t row, std::uint64_t seed) {
    if (row >= first_round_row) {
        // The words of a round pair up: the first takes + seed, the second - seed.
        const std::size_t word = row - first_round_row;
        std::size_t offset = 8 * word;
        if (word >= last_round_word) offset = XXH3_SECRET_SIZE_MIN - 17 + 8 * (word - last_round_word);
        else if (word >= first_later_word) offset = 3 + 8 * (word - first_later_word);
        return word % 2 == 0 ? secret_word(offset) + seed : secret_word(offset) - seed;
    }
    switch (row) {
        case row_empty: return XXH64_avalanche(seed ^ (secret_word(56) ^ secret_word(64)));
        case row_1_to_3: return (XXH_readLE32(XXH3_kSecret) ^ XXH_readLE32(XXH3_kSecret + 4)) + seed;
        case row_4_to_8: {
            // This range mixes the seed's low half, byte-swapped, into its high half.
            const std::uint64_t swapped = XXH_swap32(static_cast<std::uint32_t>(seed));
            return (secret_word(8) ^ secret_word(16)) - (seed ^ (swapped << 32));
        }
        case rows_9_to_16: return (secret_word(24) ^ secret_word(32)) + seed;
        default: return (secret_word(40) ^ secret_word(48)) - seed;
    }
}

// Fills rows [first, last) of the table of `seeds`.
inline void fill_rows(std::span<const std::uint64_t> seeds, std::size_t first, std::size_t last,
                      std::span<KeyBlock> table) {
    for (std::size_t b = 0; b < table.size(); ++b) {
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            // The padding lanes of the last block hash under seed 0; their results are never written out.
            const std::size_t slot = b * lanes + lane;
            const std::uint64_t seed = slot < seeds.size() ? seeds[slot] : 0;
            for (std::size_t row = first; row < last; ++row) table[b].key[row][lane] = key_of(row, seed);
        }
    }
}

// ---- Where the loops find the keys -------------------------------------------------
// keys.block(b)(row, lane) is the key of `row` under seed 4b + lane: read from a
// filled table, or made from the seed as the loop goes.

struct KeyTable {
    std::span<const KeyBlock> blocks;

    struct Block {
        const KeyBlock& keys;
        std::uint64_t operator()(std::size_t row, std::size_t lane) const { return keys.key[row][lane]; }
    };
    Block block(std::size_t b) const { return {blocks[b]}; }
};

// The keys of a MinHash's slot seeds: seed, seed + G, seed + 2G, ...
struct KeysOfSlots {
    std::uint64_t seed;

    struct Block {
        std::uint64_t first_seed;
        std::uint64_t operator()(std::size_t row, std::size_t lane) const {
            return key_of(row, first_seed + lane * golden_gamma);
        }
    };
    Block block(std::size_t b) const { return {seed + b * lanes * golden_gamma}; }
};

// ---- The loops, one per length range ----------------------------------------------
// Each lowers out[i] to the seeded XXH3 of the item under seed i, where that is
// smaller, with the keys of those seeds (a table's rows that it reads filled).

// XXH3's 128-bit multiply folded to 64 bits: the two halves of a * b xored.
inline std::uint64_t multiply_fold(std::uint64_t a, std::uint64_t b) {
    const platform::WideProduct product = platform::multiply_wide(a, b);
    return product.low ^ product.high;
}

template <class BlockKeys, class HashOfLane, std::size_t... lane>
VELT_ALWAYS_INLINE inline void lower_block(const BlockKeys& keys, std::uint64_t* out, HashOfLane& hash_of_lane,
                                           std::index_sequence<lane...>) {
    ((out[lane] = std::min(out[lane], hash_of_lane(keys, lane))), ...);
}

// out[i] = min(out[i], hash_of_lane(keys of block i / 4, i % 4)) for every slot,
// the four lanes of a block written out one after another so that their work overlaps.
template <class Keys, class HashOfLane>
VELT_ALWAYS_INLINE inline void lower_each(const Keys& keys, std::span<std::uint64_t> out, HashOfLane&& hash_of_lane) {
    const std::size_t full_blocks = out.size() / lanes;
    for (std::size_t b = 0; b < full_blocks; ++b) {
        lower_block(keys.block(b), &out[b * lanes], hash_of_lane, std::make_index_sequence<lanes>());
    }
    for (std::size_t lane = 0; lane < out.size() % lanes; ++lane) {
        std::uint64_t& slot = out[full_blocks * lanes + lane];
        slot = std::min(slot, hash_of_lane(keys.block(full_blocks), lane));
    }
}

template <class Keys>
void lower_empty(const Keys& keys, std::span<std::uint64_t> out) {
    lower_each(keys, out, [](const auto& block, std::size_t lane) { return block(row_empty, lane); });
}

// 1 to 3 bytes: the first, middle and last byte and the length, in one 32-bit word.
template <class Keys>
void lower_1_to_3(const unsigned char* input, std::size_t length, const Keys& keys, std::span<std::uint64_t> out) {
    const std::uint64_t combined = (std::uint32_t{input[0]} << 16) | (std::uint32_t{input[length >> 1]} << 24) |
                                   std::uint32_t{input[length - 1]} | (static_cast<std::uint32_t>(length) << 8);
    lower_each(keys, out, [&](const auto& block, std::size_t lane) {
        return XXH64_avalanche(combined ^ block(row_1_to_3, lane));
    });
}

// 4 to 8 bytes: the first and last four bytes, as one 64-bit word.
template <class Keys>
void lower_4_to_8(const unsigned char* input, std::size_t length, const Keys& keys, std::span<std::uint64_t> out) {
    const std::uint64_t words = XXH_readLE32(input + length - 4) + (std::uint64_t{XXH_readLE32(input)} << 32);
    lower_each(keys, out, [&](const auto& block, std::size_t lane) {
        return XXH3_rrmxmx(words ^ block(row_4_to_8, lane), length);
    });
}

// 9 to 16 bytes: the first and last eight bytes.
template <class Keys>
void lower_9_to_16(const unsigned char* input, std::size_t length, const Keys& keys, std::span<std::uint64_t> out) {
    const std::uint64_t first = XXH_readLE64(input);
    const std::uint64_t last = XXH_readLE64(input + length - 8);
    lower_each(keys, out, [&](const auto& block, std::size_t lane) {
        const std::uint64_t low = first ^ block(rows_9_to_16, lane);
        const std::uint64_t high = last ^ block(rows_9_to_16 + 1, lane);
        return XXH3_avalanche(length + XXH_swap64(low) + high + multiply_fold(low, high));
    });
}

// The sum of the 16-byte rounds whose input words are words[first, last), each
// round multiplying its two words shifted by their keys.
template <class BlockKeys>
VELT_ALWAYS_INLINE inline std::uint64_t round_sum(const std::uint64_t* words, std::size_t first, std::size_t last,
                                                  const BlockKeys& block, std::size_t lane) {
    std::uint64_t sum = 0;
    for (std::size_t word = first; word < last; word += 2) {
        sum += multiply_fold(words[word] ^ block(first_round_row + word, lane),
                             words[word + 1] ^ block(first_round_row + word + 1, lane));
    }
    return sum;
}

// 17 to 128 bytes, in `pairs` pairs of 16-byte rounds (1: 17-32 bytes, 2: 33-64,
// 3: 65-96, 4: 97-128): pair p reads 16 bytes from the front at 16p and 16 from
// the back ending at length - 16p, as round words 4p to 4p + 3.
template <std::size_t pairs>
void read_17_to_128(const unsigned char* input, std::size_t length, std::uint64_t (&words)[4 * pairs]) {
    for (std::size_t p = 0; p < pairs; ++p) {
        const unsigned char* const front = input + 16 * p;
        const unsigned char* const back = input + length - 16 * (p + 1);
        words[4 * p] = XXH_readLE64(front);
        words[4 * p + 1] = XXH_readLE64(front + 8);
        words[4 * p + 2] = XXH_readLE64(back);
        words[4 * p + 3] = XXH_readLE64(back + 8);
    }
}

template <std::size_t pairs, class Keys>
void lower_17_to_128(const unsigned char* input, std::size_t length, const Keys& keys, std::span<std::uint64_t> out) {
    std::uint64_t words[4 * pairs];
    read_17_to_128<pairs>(input, length, words);
    const std::uint64_t start = length * XXH_PRIME64_1;
    lower_each(keys, out, [&](const auto& block, std::size_t lane) {
        return XXH3_avalanche(start + round_sum(words, 0, 4 * pairs, block, lane));
    });
}

// 129 to 240 bytes: eight rounds over the first 128 bytes, an avalanche, one
// round per further whole 16 bytes, and a last round over the final 16 bytes.
template <class Keys>
void lower_129_to_240(const unsigned char* input, std::size_t length, const Keys& keys, std::span<std::uint64_t> out) {
    const std::size_t later_words_end = 2 * (length / 16);
    std::uint64_t words[round_words];
    for (std::size_t word = 0; word < later_words_end; ++word) words[word] = XXH_readLE64(input + 8 * word);
    words[last_round_word] = XXH_readLE64(input + length - 16);
    words[last_round_word + 1] = XXH_readLE64(input + length - 8);
    const std::uint64_t start = length * XXH_PRIME64_1;
    lower_each(keys, out, [&](const auto& block, std::size_t lane) {
        const std::uint64_t first = XXH3_avalanche(start + round_sum(words, 0, first_later_word, block, lane));
        return XXH3_avalanche(first + round_sum(words, first_later_word, later_words_end, block, lane) +
                              round_sum(words, last_round_word, round_words, block, lane));
    });
}

// The rows an item of `length` bytes (at most 240) reads are all below this one.
inline std::size_t rows_read(std::size_t length) {
    if (length > 128) return row_count;
    if (length > 16) return first_round_row + 4 * ((length + 31) / 32);
    return first_round_row;
}

// Any item up to 240 bytes, by its length range (a table's rows up to rows_read(length) filled).
template <class Keys>
void lower_up_to_240(std::string_view item, const Keys& keys, std::span<std::uint64_t> out) {
    const auto* const input = reinterpret_cast<const unsigned char*>(item.data());
    const std::size_t length = item.size();
    if (length > 128) lower_129_to_240(input, length, keys, out);
    else if (length > 96) lower_17_to_128<4>(input, length, keys, out);
    else if (length > 64) lower_17_to_128<3>(input, length, keys, out);
    else if (length > 32) lower_17_to_128<2>(input, length, keys, out);
    else if (length > 16) lower_17_to_128<1>(input, length, keys, out);
    else if (length > 8) lower_9_to_16(input, length, keys, out);
    else if (length > 3) lower_4_to_8(input, length, keys, out);
    else if (length > 0) lower_1_to_3(input, length, keys, out);
    else lower_empty(keys, out);
}

// The same with four seeds per AVX2 instruction, where this build and processor
// have AVX2 and the length is one these loops serve (17 to 128 bytes); false,
// with out untouched, otherwise.
bool lower_in_lanes(std::string_view item, std::span<const KeyBlock> table, std::span<std::uint64_t> out);

}  // namespace velt::seeded_xxh3

namespace velt {

// The seeded XXH3 of items under the seeds of a MinHash's slots: seed, seed + G,
// seed + 2G, ... Not thread-safe: it fills its tables as the items need them.
class SeededHashes {
public:
    SeededHashes() = default;
    SeededHashes(std::size_t count, std::uint64_t seed);

    std::span<const std::uint64_t> seeds() const { return seeds_; }

    // Lowers out[i] to XXH3_64bits_withSeed(item, seeds()[i]) where that is
    // smaller; out has one value per seed.
    void lower(std::string_view item, std::span<std::uint64_t> out);
    // What SeededHashes(out.size(), seed).lower(item, out) does, for a single
    // item: the keys are made as they are used, which costs less than a table.
    static void lower_once(std::string_view item, std::uint64_t seed, std::span<std::uint64_t> out);

private:
    void lower_longer_than_240(std::string_view item, std::span<std::uint64_t> out);
    // Seeded XXH3 itself, slot by slot.
    static void lower_slot_by_slot(std::string_view item, std::uint64_t seed, std::span<std::uint64_t> out);

    std::uint64_t seed_ = 0;
    std::vector<std::uint64_t> seeds_;
    // The key table (none beyond tuning::seeded_key_table_slots), its rows filled
    // from row 0 up to rows_filled_ as items need them (a document of short items
    // needs only the first few).
    std::vector<seeded_xxh3::KeyBlock> keys_;
    std::size_t rows_filled_ = 0;
    // Each seed's XXH3 secret (made at the first item longer than 240 bytes), which
    // seeded XXH3 would otherwise derive again for every such item.
    std::vector<unsigned char> secrets_;
};

}  // namespace velt
