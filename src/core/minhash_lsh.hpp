// MinHash LSH (Indyk and Motwani 1998; Broder 1997; chapter 3 of Leskovec,
// Rajaraman and Ullman, "Mining of Massive Datasets"): an index from keys to
// MinHash signatures that finds, without comparing every pair, the keys whose
// sets are probably similar to a query's. The first bands * rows slots of a
// signature are cut into `bands` bands of `rows` slots; two signatures become
// candidates when they agree on every slot of at least one band, which for sets
// of Jaccard similarity s happens with probability 1 - (1 - s^rows)^bands.
// Bands and rows are chosen, unless given, to minimise the area under that
// S-curve below the threshold (false positives) plus the area above it missed
// (false negatives), each integrated numerically.
//
// Memory per entry: 8 * num_hashes bytes of signature (kept whole, for the
// Jaccard estimates of duplicates()), the key, and about 2 * 16 bytes per band
// in the band tables (kept at most half full).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/codec/binary.hpp"
#include "core/codec/record.hpp"
#include "core/file_io.hpp"
#include "core/large_array.hpp"
#include "core/signatures.hpp"

namespace velt {

// A key: a text, or a non-negative integer.
struct IndexKey {
    static constexpr std::string_view record_name = "IndexKey";
    // 0: the key is `text`; 1: the key is `number`.
    std::uint8_t kind = 0;
    std::string text;
    std::uint64_t number = 0;

    static IndexKey of_text(std::string_view text) { return {0, std::string(text), 0}; }
    static IndexKey of_number(std::uint64_t number) { return {1, {}, number}; }
    bool is_text() const { return kind == 0; }
    bool operator==(const IndexKey&) const = default;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("kind", kind);
        visit("text", text);
        visit("number", number);
    }
};

struct IndexKeyHash {
    std::size_t operator()(const IndexKey& key) const;
};

// The index's whole serialised state: its settings, then its keys and their
// signatures in insertion order (num_hashes values each). The band tables are
// built again from the signatures.
struct MinHashLSHData {
    static constexpr std::string_view record_name = "MinHashLSHData";

    double threshold = 0;
    std::uint64_t num_hashes = 0;
    std::uint64_t seed = 0;
    std::uint64_t bands = 0;
    std::uint64_t rows = 0;
    std::uint8_t scheme = 0;
    std::vector<IndexKey> keys;
    LargeArray<std::uint64_t> signatures;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("threshold", threshold);
        visit("num_hashes", num_hashes);
        visit("seed", seed);
        visit("bands", bands);
        visit("rows", rows);
        visit("scheme", scheme);
        visit("keys", keys);
        visit("signatures", signatures);
    }
};

struct BandsAndRows {
    std::uint64_t bands;
    std::uint64_t rows;
};

// The bands and rows, bands * rows <= num_hashes, that minimise the false
// positive plus false negative areas of the S-curve around `threshold`.
BandsAndRows optimal_bands_and_rows(double threshold, std::uint64_t num_hashes);

// Settings of a new index; bands and rows both given, or both left to the threshold.
struct MinHashLSHSettings {
    double threshold = 0.8;
    std::uint64_t num_hashes = 128;
    std::uint64_t seed = 0;
    std::optional<std::uint64_t> bands;
    std::optional<std::uint64_t> rows;
    SignatureScheme scheme = SignatureScheme::classic;
};

// Groups of keys joined by candidate pairs, each group in insertion order of
// its first key, and the keys of each group in insertion order.
using KeyGroups = std::vector<std::vector<const IndexKey*>>;

class MinHashLSH {
public:
    using Record = MinHashLSHData;
    static constexpr codec::Format format{"VTLS", 1};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::separate;

    static MinHashLSH create(const MinHashLSHSettings& settings);
    static MinHashLSH from_record(MinHashLSHData record);
    MinHashLSHData record() const;

    // Checks a signature before it is inserted or queried: its length.
    void check_signature(std::span<const std::uint64_t> signature) const;
    // Checks a MinHash's settings against the index's (a MinHash is of the classic scheme).
    void check_minhash(std::uint64_t num_hashes, std::uint64_t seed) const;

    // Adds `key` with `signature`; a key already present, or a signature of the
    // wrong length, raises ValueError and leaves the index as it was.
    void insert(const IndexKey& key, std::span<const std::uint64_t> signature);
    // insert() for many, all checked before the first is added: all or none.
    void update(std::span<const IndexKey> keys, std::span<const std::uint64_t> signatures);
    // The candidates for `signature`, in insertion order.
    std::vector<const IndexKey*> query(std::span<const std::uint64_t> signature) const;
    // Removes `key`; an absent key raises ValueError.
    void remove(const IndexKey& key);
    bool contains(const IndexKey& key) const { return ids_.contains(key); }
    std::uint64_t size() const { return keys_.size(); }
    // The keys in insertion order.
    std::span<const IndexKey> keys() const { return keys_; }

    // Adds every entry of `other`, an index of the same settings; a key in both
    // must have the same signature in both, and is kept once.
    void merge(const MinHashLSH& other);
    void clear();

    // Every group of two or more keys joined by candidate pairs; with
    // `verify`, only pairs whose estimated Jaccard similarity reaches the threshold join.
    KeyGroups duplicates(bool verify) const;
    // For each key in insertion order, the first key of its group (itself when alone).
    std::vector<const IndexKey*> group_leaders(bool verify) const;

    double threshold() const { return threshold_; }
    std::uint64_t num_hashes() const { return num_hashes_; }
    std::uint64_t seed() const { return seed_; }
    std::uint64_t bands() const { return bands_; }
    std::uint64_t rows() const { return rows_; }
    SignatureScheme scheme() const { return scheme_; }
    std::uint64_t size_in_bytes() const;
    std::string repr() const;

private:
    // Band tables: from a band key (the hash of the band's slots and its number)
    // to the entries whose band it is. One open-addressing table for every
    // band; an entry alone under its key stays in the slot, more go to a list.
    struct BandSlot {
        std::uint64_t key;
        std::uint32_t first;  // empty_entry when the slot is free
        std::uint32_t more;   // 0, or 1 + the index of the list of further entries
    };
    static constexpr std::uint32_t empty_entry = UINT32_MAX;

    MinHashLSH() = default;
    void check_settings() const;
    std::uint64_t band_key(std::span<const std::uint64_t> signature, std::uint64_t band) const;
    // The key of every band of `signature`, their table slots prefetched.
    std::vector<std::uint64_t> band_keys(std::span<const std::uint64_t> signature) const;
    std::span<const std::uint64_t> signature_of(std::uint32_t id) const;
    void add_entry(const IndexKey& key, std::span<const std::uint64_t> signature);
    void link(std::uint64_t key, std::uint32_t id);
    void unlink(std::uint64_t key, std::uint32_t id);
    void relink(std::uint64_t key, std::uint32_t from, std::uint32_t to);
    std::size_t find_slot(std::uint64_t key) const;
    // Makes room for `entries` entries in all, so that a batch grows nothing entry by entry.
    void reserve(std::size_t entries);
    void grow_table(std::size_t size);
    void erase_slot(std::size_t position);
    template <class Visit>
    void for_each_in_band(std::uint64_t key, Visit&& visit) const;
    std::vector<std::uint32_t> leaders(bool verify) const;

    double threshold_ = 0;
    std::uint64_t num_hashes_ = 0;
    std::uint64_t seed_ = 0;
    std::uint64_t bands_ = 0;
    std::uint64_t rows_ = 0;
    SignatureScheme scheme_ = SignatureScheme::classic;

    std::vector<IndexKey> keys_;
    LargeArray<std::uint64_t> signatures_;
    std::unordered_map<IndexKey, std::uint32_t, IndexKeyHash> ids_;
    LargeArray<BandSlot> table_;
    std::size_t table_used_ = 0;
    std::vector<std::vector<std::uint32_t>> lists_;
    std::vector<std::uint32_t> free_lists_;
};

}  // namespace velt
