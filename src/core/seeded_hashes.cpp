#include "core/seeded_hashes.hpp"

#include "core/platform/cpu_features.hpp"
#include "core/platform/vector_lanes.hpp"
#include "core/tuning.hpp"

namespace velt {

// ---- The AVX2 loops -------------------------------------------------------------------
// The same arithmetic four seeds at a time, a block's keys of a row in one vector.

namespace seeded_xxh3 {
namespace {

#if VELT_HAS_AVX2_LANES
using platform::Lanes64x4;

VELT_TARGET_AVX2 inline Lanes64x4 broadcast(std::uint64_t word) { return Lanes64x4{word, word, word, word}; }

// XXH3's avalanche of each lane (XXH3_avalanche).
VELT_TARGET_AVX2 inline Lanes64x4 avalanche_lanes(Lanes64x4 sum) {
    sum ^= sum >> 37;
    sum *= 0x165667919E3779F9ULL;
    return sum ^ (sum >> 32);
}

// Lowers the slots of `block` (the last one may be partial) to `hashes`, lane by lane.
VELT_TARGET_AVX2 inline void lower_block_lanes(std::span<std::uint64_t> out, std::size_t block, Lanes64x4 hashes) {
    std::uint64_t* const slots = &out[block * lanes];
    const std::size_t filled = std::min(lanes, out.size() - block * lanes);
    if (filled == lanes) {
        platform::store_lanes(slots, platform::min_lanes(hashes, platform::load_lanes(slots)));
        return;
    }
    std::uint64_t each[lanes];
    platform::store_lanes(each, hashes);
    for (std::size_t lane = 0; lane < filled; ++lane) slots[lane] = std::min(slots[lane], each[lane]);
}

// The item's words are broadcast once; then a pass of blocks goes round by round,
// each round adding its product into every block's sum (kept in memory), which
// holds only one round's two words in registers at a time: a block-by-block loop
// over four rounds or more keeps too many live values and spills them.
template <std::size_t pairs>
VELT_TARGET_AVX2 void lower_17_to_128_in_lanes(const unsigned char* input, std::size_t length,
                                               std::span<const KeyBlock> table, std::span<std::uint64_t> out) {
    std::uint64_t item_words[4 * pairs];
    read_17_to_128<pairs>(input, length, item_words);
    Lanes64x4 words[4 * pairs];
    for (std::size_t w = 0; w < 4 * pairs; ++w) words[w] = broadcast(item_words[w]);
    const Lanes64x4 start = broadcast(length * XXH_PRIME64_1);
    const std::size_t blocks = (out.size() + lanes - 1) / lanes;
    constexpr std::size_t blocks_per_pass = tuning::seeded_blocks_per_pass;
    Lanes64x4 sums[blocks_per_pass];
    for (std::size_t first = 0; first < blocks; first += blocks_per_pass) {
        const std::size_t count = std::min(blocks_per_pass, blocks - first);
        for (std::size_t b = 0; b < count; ++b) sums[b] = start;
        for (std::size_t word = 0; word < 4 * pairs; word += 2) {
            const Lanes64x4 low = words[word], high = words[word + 1];
            for (std::size_t b = 0; b < count; ++b) {
                const std::uint64_t(*const keys)[lanes] = table[first + b].key + first_round_row;
                sums[b] += platform::multiply_fold_lanes(low ^ platform::load_lanes(keys[word]),
                                                         high ^ platform::load_lanes(keys[word + 1]));
            }
        }
        for (std::size_t b = 0; b < count; ++b) lower_block_lanes(out, first + b, avalanche_lanes(sums[b]));
    }
}
#endif

}  // namespace

bool lower_in_lanes(std::string_view item, std::span<const KeyBlock> table, std::span<std::uint64_t> out) {
#if VELT_HAS_AVX2_LANES
    const std::size_t length = item.size();
    if (length <= 16 || length > 128 || !platform::cpu_has_avx2()) return false;
    const auto* const input = reinterpret_cast<const unsigned char*>(item.data());
    if (length > 96) lower_17_to_128_in_lanes<4>(input, length, table, out);
    else if (length > 64) lower_17_to_128_in_lanes<3>(input, length, table, out);
    else if (length > 32) lower_17_to_128_in_lanes<2>(input, length, table, out);
    else lower_17_to_128_in_lanes<1>(input, length, table, out);
    return true;
#else
    (void)item, (void)table, (void)out;
    return false;
#endif
}

}  // namespace seeded_xxh3

// ---- SeededHashes -----------------------------------------------------------------------

SeededHashes::SeededHashes(std::size_t count, std::uint64_t seed) : seed_(seed), seeds_(count) {
    for (std::uint64_t& each : seeds_) {
        each = seed;
        seed += golden_gamma;
    }
    if (count <= tuning::seeded_key_table_slots) keys_.resize((count + seeded_xxh3::lanes - 1) / seeded_xxh3::lanes);
}

void SeededHashes::lower_slot_by_slot(std::string_view item, std::uint64_t seed, std::span<std::uint64_t> out) {
    for (std::uint64_t& slot : out) {
        slot = std::min(slot, hash_with_seed(item, seed));
        seed += golden_gamma;
    }
}

void SeededHashes::lower_once(std::string_view item, std::uint64_t seed, std::span<std::uint64_t> out) {
    if (item.size() > 240) lower_slot_by_slot(item, seed, out);
    else seeded_xxh3::lower_up_to_240(item, seeded_xxh3::KeysOfSlots{seed}, out);
}

void SeededHashes::lower(std::string_view item, std::span<std::uint64_t> out) {
    if (item.size() > 240) {
        lower_longer_than_240(item, out);
        return;
    }
    if (keys_.empty()) {
        seeded_xxh3::lower_up_to_240(item, seeded_xxh3::KeysOfSlots{seed_}, out);
        return;
    }
    const std::size_t rows = seeded_xxh3::rows_read(item.size());
    if (rows > rows_filled_) {
        seeded_xxh3::fill_rows(seeds_, rows_filled_, rows, keys_);
        rows_filled_ = rows;
    }
    if (!seeded_xxh3::lower_in_lanes(item, keys_, out)) {
        seeded_xxh3::lower_up_to_240(item, seeded_xxh3::KeyTable{keys_}, out);
    }
}

void SeededHashes::lower_longer_than_240(std::string_view item, std::span<std::uint64_t> out) {
    if (seeds_.size() > tuning::classic_secret_slots) {
        lower_slot_by_slot(item, seed_, out);
        return;
    }
    if (secrets_.empty()) {
        secrets_.resize(seeds_.size() * XXH3_SECRET_DEFAULT_SIZE);
        for (std::size_t i = 0; i < seeds_.size(); ++i) {
            XXH3_generateSecret_fromSeed(&secrets_[i * XXH3_SECRET_DEFAULT_SIZE], seeds_[i]);
        }
    }
    // With the secret that XXH3_generateSecret_fromSeed makes from the seed, this
    // is exactly XXH3_64bits_withSeed (xxhash.h promises it for every length).
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint64_t hash = XXH3_64bits_withSecretandSeed(
            item.data(), item.size(), &secrets_[i * XXH3_SECRET_DEFAULT_SIZE], XXH3_SECRET_DEFAULT_SIZE, seeds_[i]);
        out[i] = std::min(out[i], hash);
    }
}

}  // namespace velt
