#include "core/minhash.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "core/error.hpp"
#include "core/seeded_hashes.hpp"

namespace velt {
namespace {

// Signatures are comparable or mergeable only under the same slot hash functions.
void check_same_configuration(std::string_view action, const MinHashData& mine, const MinHashData& theirs) {
    require_same_settings(action,
                          {{"num_hashes", mine.num_hashes, theirs.num_hashes}, {"seed", mine.seed, theirs.seed}});
}

}  // namespace

MinHash MinHash::create(std::uint64_t num_hashes, std::uint64_t seed) {
    if (num_hashes == 0) throw ValueError("num_hashes must be positive");
    MinHashData data;
    // A slot count beyond the address space would otherwise be truncated on its way to size_t.
    if (num_hashes > data.signature.max_size()) throw std::bad_alloc();
    data.version = MinHashData::layout.current;
    data.signature.assign(static_cast<std::size_t>(num_hashes), empty_slot);
    data.num_hashes = num_hashes;
    data.seed = seed;
    return MinHash(std::move(data));
}

MinHash MinHash::from_record(MinHashData record) {
    if (record.num_hashes == 0) throw ValueError("num_hashes must be positive");
    if (record.signature.size() != record.num_hashes) {
        throw ValueError("signature length does not match num_hashes");
    }
    return MinHash(std::move(record));
}

template <class HashOfSlot>
void MinHash::lower_slots(HashOfSlot&& hash_of_slot) {
    // Slot i hashes with seed + i * G: the seeds follow by addition.
    std::uint64_t slot_seed = data_.seed;
    for (std::uint64_t& slot : data_.signature) {
        slot = std::min(slot, hash_of_slot(slot_seed));
        slot_seed += golden_gamma;
    }
}

void MinHash::add(std::string_view item) {
    SeededHashes::lower_once(item, data_.seed, data_.signature);
}

void MinHash::add_hash(std::uint64_t hash) {
    lower_slots([hash](std::uint64_t slot_seed) { return mix_caller_hash(hash, slot_seed); });
}

void MinHash::update(std::span<const std::string_view> items) {
    SeededHashes slot_hashes(data_.signature.size(), data_.seed);
    for (std::string_view item : items) slot_hashes.lower(item, data_.signature);
}

void MinHash::update_hashes(std::span<const std::uint64_t> hashes) {
    for (std::uint64_t hash : hashes) add_hash(hash);
}

double MinHash::jaccard(const MinHash& other) const {
    check_same_configuration("compare", data_, other.data_);
    std::uint64_t equal_slots = 0;
    for (std::size_t i = 0; i < data_.signature.size(); ++i) {
        equal_slots += data_.signature[i] == other.data_.signature[i];
    }
    return static_cast<double>(equal_slots) / static_cast<double>(data_.num_hashes);
}

ConfidenceInterval MinHash::jaccard_interval(const MinHash& other, double confidence) const {
    // A configuration mismatch is reported before the confidence level is looked at.
    const double estimate = jaccard(other);
    const double margin =
        normal_quantile(confidence) * std::sqrt(estimate * (1.0 - estimate) / static_cast<double>(data_.num_hashes));
    return {std::max(estimate - margin, 0.0), std::min(estimate + margin, 1.0)};
}

void MinHash::merge(const MinHash& other) {
    check_same_configuration("merge", data_, other.data_);
    std::transform(data_.signature.begin(), data_.signature.end(), other.data_.signature.begin(),
                   data_.signature.begin(), [](std::uint64_t a, std::uint64_t b) { return std::min(a, b); });
}

void MinHash::clear() { std::fill(data_.signature.begin(), data_.signature.end(), empty_slot); }

bool MinHash::is_empty() const {
    return std::all_of(data_.signature.begin(), data_.signature.end(),
                       [](std::uint64_t slot) { return slot == empty_slot; });
}

double MinHash::standard_error() const { return 1.0 / std::sqrt(static_cast<double>(data_.num_hashes)); }

std::string MinHash::repr() const {
    return "MinHash(num_hashes=" + std::to_string(data_.num_hashes) + ", is_empty=" + (is_empty() ? "true" : "false") +
           ")";
}

}  // namespace velt
