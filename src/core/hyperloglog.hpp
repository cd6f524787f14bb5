// HyperLogLog (Flajolet, Fusy, Gandouet and Meunier 2007): distinct counting
// with m = 2^p one-byte registers. The top p bits of an item's 64-bit hash pick
// a register, which keeps the largest rank (position of the first set bit) seen
// among the remaining bits. The harmonic mean of 2^register estimates the
// cardinality with a relative standard error of about 1.04 / sqrt(m); linear
// counting takes over in the small range and a logarithmic correction near the
// top of the 64-bit hash range. Beside that classic estimate stands Ertl's
// improved raw estimate (2017), which needs no hand-over and is unbiased over
// the whole range.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/codec/binary.hpp"
#include "core/codec/record.hpp"
#include "core/file_io.hpp"
#include "core/hash.hpp"
#include "core/large_array.hpp"

namespace velt {

// The counter's whole state, which is also its serialised record.
struct HyperLogLogData {
    static constexpr std::string_view record_name = "HyperLogLogData";

    // Absent from a JSON text, the version reads as 0, which validation refuses.
    std::uint8_t version = 0;
    // Register i holds the largest rank seen for index i, 0 when none.
    LargeArray<std::uint8_t> registers;
    std::uint8_t precision = 0;
    std::uint64_t count = 0;  // insertions applied, duplicates included, saturating
    std::uint64_t seed = 0;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("version", version, codec::may_be_absent);
        visit("registers", registers);
        visit("precision", precision);
        visit("count", count);
        visit("seed", seed);
    }
};

// The confidence interval of an estimate: [lower, upper].
struct CardinalityInterval {
    double lower;
    double upper;
};

class HyperLogLog {
public:
    using Record = HyperLogLogData;
    static constexpr codec::Format format{"VTHL", 1};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::combined;
    static constexpr std::uint8_t record_version = 2;
    static constexpr std::uint8_t min_precision = 4;
    static constexpr std::uint8_t max_precision = 18;

    // An empty counter with 2^precision registers.
    static HyperLogLog create(std::uint8_t precision, std::uint64_t seed);
    // A counter from a decoded record, after checking it.
    static HyperLogLog from_record(HyperLogLogData record);
    const HyperLogLogData& record() const { return data_; }

    void add(std::string_view item) {
        apply(hash_with_seed(item, data_.seed));
        count_insertions(1);
    }
    // Caller hashes are spread with the seed first, never re-hashed with XXH3.
    void add_hash(std::uint64_t hash) {
        apply(mix_caller_hash(hash, data_.seed));
        count_insertions(1);
    }
    void update(std::span<const std::string_view> items);
    void update_hashes(std::span<const std::uint64_t> hashes);

    // The register that a 64-bit hash value selects (its top p bits) and the
    // rank it offers there: one more than the leading zeros of the remaining
    // 64 - p bits, and 65 - p when they are all zero.
    std::pair<std::uint32_t, std::uint8_t> index_and_rank(std::uint64_t hash) const {
        const unsigned p = data_.precision;
        const auto index = static_cast<std::uint32_t>(hash >> (64 - p));
        // A sentinel bit just below the shifted-in zeros caps the rank at 65 - p.
        const std::uint64_t rest = (hash << p) | (std::uint64_t{1} << (p - 1));
        return {index, static_cast<std::uint8_t>(std::countl_zero(rest) + 1)};
    }

    // The cardinality estimate E (positive infinity when the registers lie
    // beyond what a 64-bit hash can tell apart).
    double cardinality() const;
    // The normal interval around E; confidence must be 0.80, 0.90, 0.95 or 0.99.
    CardinalityInterval confidence_interval(double confidence) const;
    // E rounded half away from zero, saturating to the unsigned 64-bit range.
    std::uint64_t rounded_cardinality() const;

    // The improved raw estimate (Ertl 2017, "New cardinality estimation
    // algorithms for HyperLogLog sketches"): one formula from an empty counter to
    // the top of the hash range, so without the bias of the hand-over from linear
    // counting near 2.5 m (positive infinity when every register is saturated).
    double unbiased_cardinality() const;
    // The normal interval around it, from its own standard error at the estimate
    // (smaller than 1.04 / sqrt(m) while many registers are empty); the same
    // confidence levels as confidence_interval.
    CardinalityInterval unbiased_confidence_interval(double confidence) const;

    void merge(const HyperLogLog& other);
    void clear();

    std::uint8_t precision() const { return data_.precision; }
    std::uint64_t register_count() const { return std::uint64_t{1} << data_.precision; }
    std::uint64_t size_in_bytes() const { return register_count(); }
    std::uint64_t count() const { return data_.count; }
    std::uint64_t seed() const { return data_.seed; }
    double standard_error() const;
    // The standard error as a percentage.
    double relative_error() const { return standard_error() * 100.0; }
    std::string repr() const;

private:
    explicit HyperLogLog(HyperLogLogData data) : data_(std::move(data)) {}

    void apply(std::uint64_t hash) {
        const auto [index, rank] = index_and_rank(hash);
        std::uint8_t& slot = data_.registers[index];
        if (rank > slot) slot = rank;
    }
    void count_insertions(std::uint64_t n);

    HyperLogLogData data_;
};

}  // namespace velt
