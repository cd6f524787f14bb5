// The cuckoo filter (Fan, Andersen, Kaminsky and Mitzenmacher 2014): a
// fixed-capacity membership filter with deletion. Each item is reduced to a
// 16-bit fingerprint stored in one of two candidate buckets of four slots; the
// second bucket is the first XOR a hash of the fingerprint (partial-key cuckoo
// hashing), so a stored fingerprint can move between its buckets without the
// item. When both are full, stored fingerprints are kicked to their other
// bucket, at most 500 times, and the moves are undone if no room is found.
// Answers have false positives (fingerprint collisions) but never false
// negatives, as long as only inserted items are removed.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec/binary.hpp"
#include "core/codec/record.hpp"
#include "core/file_io.hpp"
#include "core/hash.hpp"
#include "core/large_array.hpp"

namespace velt {

// Four fingerprint slots; 0 marks an empty slot.
struct CuckooBucket {
    static constexpr std::string_view record_name = "Bucket";

    std::array<std::uint16_t, 4> fingerprints{};

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("fingerprints", fingerprints);
    }
};

// The filter's whole state, which is also its serialised record.
struct CuckooFilterData {
    static constexpr std::string_view record_name = "CuckooFilterData";

    // Absent from a JSON text, the version reads as 0, which validation refuses.
    std::uint8_t version = 0;
    LargeArray<CuckooBucket> buckets;
    std::uint64_t num_buckets = 0;  // a power of two
    // A record may leave it out (tag 0, or no key or null in JSON): it is then
    // every slot, 4 * num_buckets. A filter in memory always has it.
    std::optional<std::uint64_t> capacity;
    std::uint64_t count = 0;  // occupied slots
    std::uint64_t seed = 0;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("version", version, codec::may_be_absent);
        visit("buckets", buckets);
        visit("num_buckets", num_buckets);
        visit("capacity", capacity);
        visit("count", count);
        visit("seed", seed);
    }
};

class CuckooFilter {
public:
    using Record = CuckooFilterData;
    static constexpr codec::Format format{"VTCF", 1};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::combined;
    static constexpr std::uint8_t record_version = 2;
    static constexpr std::uint64_t slots_per_bucket = 4;
    // Relocations give up after this many kicks.
    static constexpr std::size_t max_kicks = 500;

    // An empty filter holding at most `capacity` fingerprints.
    static CuckooFilter create(std::uint64_t capacity, std::uint64_t seed);
    // The bucket count for a capacity: room for it at 95% of the slots,
    // rounded up to a power of two.
    static std::uint64_t bucket_count(std::uint64_t capacity);
    // A filter from a decoded record, after checking it.
    static CuckooFilter from_record(CuckooFilterData record);
    const CuckooFilterData& record() const { return data_; }

    // Where an item or a caller hash lives: its fingerprint (never 0) and first bucket.
    struct Placement {
        std::uint16_t fingerprint;
        std::uint64_t bucket;
    };
    Placement item_placement(std::string_view item) const;
    Placement hash_placement(std::uint64_t hash) const;
    // The other candidate bucket of `fingerprint` when it is in `bucket` (and back).
    std::uint64_t alternate_bucket(std::uint64_t bucket, std::uint16_t fingerprint) const;

    // Insertions return false when the filter is at capacity or no room was
    // found; the filter is then unchanged.
    bool add(std::string_view item) { return insert(item_placement(item)); }
    bool add_hash(std::uint64_t hash) { return insert(hash_placement(hash)); }
    bool contains(std::string_view item) const { return holds(item_placement(item)); }
    bool contains_hash(std::uint64_t hash) const { return holds(hash_placement(hash)); }
    // Removes one copy of the item's fingerprint; false when there is none.
    bool remove(std::string_view item);

    // The number of successful insertions.
    std::uint64_t update(std::span<const std::string_view> items);
    std::uint64_t update_hashes(std::span<const std::uint64_t> hashes);
    // One answer (0 or 1) per item, in order.
    std::vector<std::uint8_t> query_many(std::span<const std::string_view> items) const;
    std::vector<std::uint8_t> query_hashes(std::span<const std::uint64_t> hashes) const;

    void clear();

    std::uint64_t capacity() const { return *data_.capacity; }
    std::uint64_t count() const { return data_.count; }
    std::uint64_t seed() const { return data_.seed; }
    std::uint64_t num_buckets() const { return data_.num_buckets; }
    std::uint64_t size_in_bytes() const { return sizeof(CuckooBucket) * data_.num_buckets; }
    // Stored fingerprints over capacity (not over slots).
    double load_factor() const;
    std::string_view health() const;
    std::string repr() const;

private:
    explicit CuckooFilter(CuckooFilterData data) : data_(std::move(data)) {}

    Placement placement(std::uint64_t fingerprint_hash, std::uint64_t index_hash) const;
    bool insert(Placement placement);
    bool holds(Placement placement) const;
    // Puts the fingerprint in the bucket's first empty slot, if it has one.
    bool store(std::uint64_t bucket, std::uint16_t fingerprint);
    bool bucket_holds(std::uint64_t bucket, std::uint16_t fingerprint) const;
    // Kicks fingerprints between buckets to make room; undoes every move on failure.
    bool relocate(std::uint64_t first, std::uint64_t second, std::uint16_t fingerprint);
    // Calls visit(i, placement_of(i)) for i = 0 .. count-1, in order, a block at a time.
    template <class PlacementOf, class Visit>
    void for_each_placement(std::size_t count, PlacementOf&& placement_of, Visit&& visit) const;

    CuckooFilterData data_;
};

}  // namespace velt
