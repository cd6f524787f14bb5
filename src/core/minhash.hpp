// MinHash (Broder 1997): a signature of a set made of the smallest value each
// of `num_hashes` independent hash functions takes over the set's items. Two
// signatures agree in a slot with probability equal to the Jaccard similarity
// of their sets, so the share of equal slots estimates it, with standard error
// about 1 / sqrt(num_hashes). The slot-wise minimum of two signatures is the
// signature of the union of their sets.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "core/codec/binary.hpp"
#include "core/codec/record.hpp"
#include "core/file_io.hpp"
#include "core/hash.hpp"
#include "core/large_array.hpp"
#include "core/statistics.hpp"

namespace velt {

// The signature's whole state, which is also its serialised record.
struct MinHashData {
    static constexpr std::string_view record_name = "MinHashData";

    static constexpr codec::LayoutVersion layout{.current = 2, .when_absent = 0, .structure = "MinHash"};

    std::uint8_t version = layout.when_absent;
    // Slot i holds the smallest slot-i hash seen; all bits set marks an empty slot.
    LargeArray<std::uint64_t> signature;
    std::uint64_t num_hashes = 0;
    std::uint64_t seed = 0;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("version", version, codec::may_be_absent);
        visit("signature", signature);
        visit("num_hashes", num_hashes);
        visit("seed", seed);
    }
};

class MinHash {
public:
    using Record = MinHashData;
    static constexpr codec::Format format{"VTMH", 1};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::separate;
    // The value of a slot that has seen no item: above every hash, so the first one replaces it.
    static constexpr std::uint64_t empty_slot = std::numeric_limits<std::uint64_t>::max();

    // An empty signature of `num_hashes` slots.
    static MinHash create(std::uint64_t num_hashes, std::uint64_t seed);
    // A signature from a decoded record, after checking it;
    // velt::from_record checks its version first.
    static MinHash from_record(MinHashData record);
    const MinHashData& record() const { return data_; }

    // One seeded XXH3 of the item per slot.
    void add(std::string_view item);
    // The caller's hash mixed with each slot's seed by the SplitMix64 finaliser.
    void add_hash(std::uint64_t hash);
    void update(std::span<const std::string_view> items);
    void update_hashes(std::span<const std::uint64_t> hashes);

    // The share of slots at which the two signatures agree.
    double jaccard(const MinHash& other) const;
    // The normal approximation around jaccard(other) at confidence 0.80, 0.90, 0.95 or 0.99.
    ConfidenceInterval jaccard_interval(const MinHash& other, double confidence) const;
    void merge(const MinHash& other);
    void clear();
    bool is_empty() const;
    double standard_error() const;

    std::uint64_t num_hashes() const { return data_.num_hashes; }
    std::uint64_t seed() const { return data_.seed; }
    // The signature exists in memory, so 8 bytes per slot cannot overflow.
    std::uint64_t size_in_bytes() const { return 8 * data_.num_hashes; }
    std::span<const std::uint64_t> signature() const { return data_.signature; }
    std::string repr() const;

private:
    explicit MinHash(MinHashData data) : data_(std::move(data)) {}

    // Lowers every slot to the value hash_of_slot(slot seed) if that is smaller.
    template <class HashOfSlot>
    void lower_slots(HashOfSlot&& hash_of_slot);

    MinHashData data_;
};

}  // namespace velt
