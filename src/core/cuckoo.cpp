#include "core/cuckoo.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <random>

#include "core/error.hpp"
#include "core/platform/hints.hpp"
#include "core/saturating.hpp"
#include "core/tuning.hpp"

namespace velt {
namespace {

// Seed of the fingerprint hash whose low bits pick the alternate bucket.
constexpr std::uint64_t alternate_seed = 0xD6E8FEB86659FD93ULL;

// Capacity is sized so that it fills at most this share of the slots.
constexpr double target_slot_load = 0.95;

// The source of relocation victims: one SplitMix64 generator per thread,
// seeded from the operating system on its first use in that thread. No filter
// stores it, so the layout after relocations is not reproducible; the
// membership answers are.
class RelocationRandom {
public:
    static RelocationRandom& this_thread() {
        thread_local RelocationRandom random;
        return random;
    }

    std::uint64_t next() {
        state_ += golden_gamma;
        return splitmix_finalise(state_);
    }

private:
    RelocationRandom() {
        std::random_device os;
        state_ = static_cast<std::uint64_t>(os()) << 32 | os();
    }

    std::uint64_t state_;
};

}  // namespace

std::uint64_t CuckooFilter::bucket_count(std::uint64_t capacity) {
    const std::uint64_t buckets_needed = saturating_add(capacity, slots_per_bucket - 1) / slots_per_bucket;
    const std::uint64_t buckets = saturating_u64(std::ceil(static_cast<double>(buckets_needed) / target_slot_load));
    // At most ceil((2^62 - 1) / 0.95) < 2^63, so bit_ceil never overflows.
    return buckets <= 1 ? 1 : std::bit_ceil(buckets);
}

CuckooFilter CuckooFilter::create(std::uint64_t capacity, std::uint64_t seed) {
    if (capacity == 0) throw ValueError("capacity must be positive");
    const std::uint64_t num_buckets = bucket_count(capacity);
    check_total_allocation(saturating_multiply(num_buckets, sizeof(CuckooBucket)));
    CuckooFilterData data;
    data.version = CuckooFilterData::layout.current;
    data.buckets.resize(num_buckets);
    data.num_buckets = num_buckets;
    data.capacity = capacity;
    data.seed = seed;
    return CuckooFilter(std::move(data));
}

CuckooFilter CuckooFilter::from_record(CuckooFilterData record) {
    if (!std::has_single_bit(record.num_buckets)) {
        throw ValueError("Invalid Cuckoo filter: bucket count must be a non-zero power of two");
    }
    if (record.buckets.size() != record.num_buckets) {
        throw ValueError("Invalid Cuckoo filter: bucket array length does not match metadata");
    }
    const std::uint64_t slots = saturating_multiply(record.num_buckets, slots_per_bucket);
    const std::uint64_t capacity = record.capacity.value_or(slots);
    if (capacity == 0 || capacity > slots || record.count > capacity) {
        throw ValueError("Invalid Cuckoo filter: capacity metadata is out of range");
    }
    std::uint64_t occupied = 0;
    for (const CuckooBucket& bucket : record.buckets) {
        for (std::uint16_t fingerprint : bucket.fingerprints) occupied += fingerprint != 0;
    }
    if (occupied != record.count) throw ValueError("Invalid Cuckoo filter: stored count does not match occupied slots");
    record.capacity = capacity;
    return CuckooFilter(std::move(record));
}

// ---- Placement ----------------------------------------------------------------

CuckooFilter::Placement CuckooFilter::placement(std::uint64_t fingerprint_hash, std::uint64_t index_hash) const {
    // 0 marks an empty slot, so a fingerprint whose low bits are 0 is stored as 1.
    const auto fingerprint = std::max<std::uint16_t>(static_cast<std::uint16_t>(fingerprint_hash), 1);
    return {fingerprint, index_hash & (data_.num_buckets - 1)};
}

CuckooFilter::Placement CuckooFilter::item_placement(std::string_view item) const {
    return placement(hash_with_seed(item, data_.seed ^ golden_gamma), hash_with_seed(item, data_.seed));
}

// Caller hashes are mixed with the seed by SplitMix64, never re-hashed with XXH3.
CuckooFilter::Placement CuckooFilter::hash_placement(std::uint64_t hash) const {
    return placement(mix_caller_hash(hash, data_.seed ^ golden_gamma), mix_caller_hash(hash, data_.seed));
}

std::uint64_t CuckooFilter::alternate_bucket(std::uint64_t bucket, std::uint16_t fingerprint) const {
    const char bytes[2] = {static_cast<char>(fingerprint & 0xFF), static_cast<char>(fingerprint >> 8)};
    return bucket ^ (hash_with_seed({bytes, 2}, data_.seed ^ alternate_seed) & (data_.num_buckets - 1));
}

// ---- Slots ----------------------------------------------------------------------

bool CuckooFilter::store(std::uint64_t bucket, std::uint16_t fingerprint) {
    for (std::uint16_t& slot : data_.buckets[bucket].fingerprints) {
        if (slot == 0) {
            slot = fingerprint;
            ++data_.count;
            return true;
        }
    }
    return false;
}

bool CuckooFilter::bucket_holds(std::uint64_t bucket, std::uint16_t fingerprint) const {
    const auto& slots = data_.buckets[bucket].fingerprints;
    return std::find(slots.begin(), slots.end(), fingerprint) != slots.end();
}

bool CuckooFilter::holds(Placement at) const {
    return bucket_holds(at.bucket, at.fingerprint) ||
           bucket_holds(alternate_bucket(at.bucket, at.fingerprint), at.fingerprint);
}

// ---- Inserting and removing ----------------------------------------------------------

bool CuckooFilter::insert(Placement at) {
    // The capacity is a promise about the false-positive rate: slots beyond it stay empty.
    if (data_.count >= capacity()) return false;
    if (store(at.bucket, at.fingerprint)) return true;
    const std::uint64_t second = alternate_bucket(at.bucket, at.fingerprint);
    if (store(second, at.fingerprint)) return true;
    return relocate(at.bucket, second, at.fingerprint);
}

bool CuckooFilter::relocate(std::uint64_t first, std::uint64_t second, std::uint16_t fingerprint) {
    struct Kick {
        std::uint64_t bucket;
        std::size_t slot;
        std::uint16_t victim;
    };
    // On the stack: the relocation loop never allocates.
    std::array<Kick, max_kicks> undo_log;
    RelocationRandom& random = RelocationRandom::this_thread();

    // One 32-bit draw picks the starting bucket by its top bit.
    const bool start_at_first = (static_cast<std::uint32_t>(random.next()) >> 31) != 0;
    std::uint64_t bucket = start_at_first ? first : second;
    std::uint16_t carried = fingerprint;
    for (std::size_t kick = 0; kick < max_kicks; ++kick) {
        const std::size_t slot = random.next() & (slots_per_bucket - 1);
        std::uint16_t& target = data_.buckets[bucket].fingerprints[slot];
        undo_log[kick] = {bucket, slot, target};
        std::swap(carried, target);
        bucket = alternate_bucket(bucket, carried);
        if (store(bucket, carried)) return true;
    }
    // No room: put every victim back, last kick first, so the filter is exactly as before.
    for (std::size_t kick = max_kicks; kick-- > 0;) {
        data_.buckets[undo_log[kick].bucket].fingerprints[undo_log[kick].slot] = undo_log[kick].victim;
    }
    return false;
}

bool CuckooFilter::remove(std::string_view item) {
    const Placement at = item_placement(item);
    for (const std::uint64_t bucket : {at.bucket, alternate_bucket(at.bucket, at.fingerprint)}) {
        for (std::uint16_t& slot : data_.buckets[bucket].fingerprints) {
            if (slot == at.fingerprint) {
                slot = 0;
                --data_.count;
                return true;
            }
        }
    }
    return false;
}

// ---- Batches ----------------------------------------------------------------------

// Batches place a block of items before touching the buckets, prefetching each
// one's first bucket meanwhile (for_each_in_blocks of hash.hpp), so that cache
// misses overlap instead of following one another.
void CuckooFilter::prefetch(Placement at) const { platform::prefetch_for_read(&data_.buckets[at.bucket]); }

template <class PlacementOf>
std::uint64_t CuckooFilter::insert_all(std::size_t count, PlacementOf&& placement_of) {
    std::uint64_t added = 0;
    for_each_in_blocks(
        count, placement_of, [this](Placement at) { prefetch(at); },
        [&](std::size_t, Placement at) { added += insert(at); });
    return added;
}

template <class PlacementOf>
std::vector<std::uint8_t> CuckooFilter::test_all(std::size_t count, PlacementOf&& placement_of) const {
    return answers_in_blocks(
        count, placement_of, [this](Placement at) { prefetch(at); }, [this](Placement at) { return holds(at); });
}

std::uint64_t CuckooFilter::update(std::span<const std::string_view> items) {
    return insert_all(items.size(), [&](std::size_t i) { return item_placement(item_prefetching_ahead(items, i)); });
}

std::uint64_t CuckooFilter::update_hashes(std::span<const std::uint64_t> hashes) {
    return insert_all(hashes.size(), [&](std::size_t i) { return hash_placement(hashes[i]); });
}

std::vector<std::uint8_t> CuckooFilter::query_many(std::span<const std::string_view> items) const {
    return test_all(items.size(), [&](std::size_t i) { return item_placement(item_prefetching_ahead(items, i)); });
}

std::vector<std::uint8_t> CuckooFilter::query_hashes(std::span<const std::uint64_t> hashes) const {
    return test_all(hashes.size(), [&](std::size_t i) { return hash_placement(hashes[i]); });
}

// ---- Whole filter ---------------------------------------------------------------------

void CuckooFilter::clear() {
    std::fill(data_.buckets.begin(), data_.buckets.end(), CuckooBucket{});
    data_.count = 0;
}

double CuckooFilter::load_factor() const { return static_cast<double>(data_.count) / static_cast<double>(capacity()); }

std::string_view CuckooFilter::health() const {
    const double load = load_factor();
    if (load >= 0.95) return "saturated";
    if (load >= 0.85) return "warning";
    return "healthy";
}

std::string CuckooFilter::repr() const {
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.2f", load_factor() * 100.0);
    return "CuckooFilter(capacity=" + std::to_string(capacity()) + ", count=" + std::to_string(data_.count) +
           ", load_factor=" + percent + "%)";
}

}  // namespace velt
