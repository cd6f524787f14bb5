// The Count-Min sketch (Cormode and Muthukrishnan 2005): a table of `depth`
// rows by `width` columns of counters. An item adds its count to one counter
// per row and is estimated by the smallest of them, so an estimate never falls
// below the true count (while no counter has saturated) and exceeds it by at
// most e / width of the total count with probability 1 - e^-depth.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec/binary.hpp"
#include "core/codec/record.hpp"
#include "core/file_io.hpp"
#include "core/fixed_divisor.hpp"
#include "core/hash.hpp"
#include "core/large_array.hpp"

namespace velt {

// The sketch's whole state, which is also its serialised record.
struct CountMinSketchData {
    static constexpr std::string_view record_name = "CountMinSketchData";
    // The layout of this record, independent of the envelope's version.
    static constexpr std::uint8_t current_version = 2;

    // Absent from a JSON text it reads as 0, which validation refuses.
    std::uint8_t version = 0;
    // Row i, column j is table[i][j]; each row is one contiguous run of counters.
    std::vector<LargeArray<std::uint64_t>> table;
    std::uint64_t width = 0;
    std::uint64_t depth = 0;
    std::uint64_t count = 0;  // the sum of all counts added, saturating
    std::uint64_t seed = 0;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("version", version, codec::may_be_absent);
        visit("table", table);
        visit("width", width);
        visit("depth", depth);
        visit("count", count);
        visit("seed", seed);
    }
};

class CountMinSketch {
public:
    using Record = CountMinSketchData;
    static constexpr codec::Format format{"VTCM", 1};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::separate;

    // Takes width and depth as given, or sizes them from the error rate and
    // confidence: width = ceil(e / error_rate), depth = ceil(ln(1 / (1 - confidence))).
    // A table too large to hold throws std::bad_alloc.
    static CountMinSketch create(std::optional<std::uint64_t> width, std::optional<std::uint64_t> depth,
                                 std::optional<double> error_rate, std::optional<double> confidence,
                                 std::uint64_t seed);
    // A sketch from a decoded record, after checking it.
    static CountMinSketch from_record(CountMinSketchData record);
    const CountMinSketchData& record() const { return data_; }

    // Items are addressed by seeded XXH3, caller hashes by SplitMix64: the two
    // share the table but not their columns.
    void add(std::string_view item, std::uint64_t count = 1);
    void add_hash(std::uint64_t hash, std::uint64_t count = 1);
    std::uint64_t query(std::string_view item) const;
    std::uint64_t query_hash(std::uint64_t hash) const;

    void update(std::span<const std::string_view> items);
    void update_hashes(std::span<const std::uint64_t> hashes);
    LargeArray<std::uint64_t> query_many(std::span<const std::string_view> items) const;
    LargeArray<std::uint64_t> query_hashes(std::span<const std::uint64_t> hashes) const;

    void merge(const CountMinSketch& other);
    // The minimum over rows of the row's sum of counter products, saturating.
    std::uint64_t inner_product(const CountMinSketch& other) const;
    void clear();

    std::uint64_t width() const { return data_.width; }
    std::uint64_t depth() const { return data_.depth; }
    std::uint64_t total_count() const { return data_.count; }
    std::uint64_t seed() const { return data_.seed; }
    // The counters alone: width x depth x 8, saturating.
    std::uint64_t size_in_bytes() const;

    // The guarantee of the current shape: estimates exceed the truth by at
    // most error_rate() x total_count with probability confidence().
    double error_rate() const;
    double confidence() const;
    std::uint64_t error_bound() const;
    std::string repr() const;

private:
    explicit CountMinSketch(CountMinSketchData data) : data_(std::move(data)), columns_(data_.width) {}

    // Row i uses the row seed `seed` + i x G. `column_of(row_seed)` names the
    // item's or hash's column in that row.
    template <class ColumnOf>
    void add_to_rows(ColumnOf column_of, std::uint64_t count);
    template <class ColumnOf>
    std::uint64_t smallest_in_rows(ColumnOf column_of) const;

    std::uint64_t item_column(std::string_view item, std::uint64_t row_seed) const {
        return columns_.remainder(hash_with_seed(item, row_seed));
    }
    std::uint64_t hash_column(std::uint64_t hash, std::uint64_t row_seed) const {
        return columns_.remainder(mix_caller_hash(hash, row_seed));
    }
    // The item's column in every row, into columns[0 .. depth), for an item of
    // the given length class.
    template <class LengthClass>
    void item_columns_of_length(std::string_view item, std::uint64_t* columns) const;
    void item_columns(std::string_view item, std::uint64_t* columns) const;
    void hash_columns(std::uint64_t hash, std::uint64_t* columns) const;

    // The batches: columns_of(i, columns) fills entry i's column in every row,
    // for a block of entries at a time; every counter of the block is
    // prefetched before visit(i, columns) reads or updates them.
    template <class ColumnsOf, class Visit>
    void for_each_in_blocks(std::size_t count, ColumnsOf&& columns_of, Visit&& visit) const;
    // Adds 1 to every row's counter of each entry.
    template <class ColumnsOf>
    void add_one_each(std::size_t count, ColumnsOf&& columns_of);
    // The smallest counter over the rows of each entry.
    template <class ColumnsOf>
    LargeArray<std::uint64_t> smallest_of_each(std::size_t count, ColumnsOf&& columns_of) const;

    CountMinSketchData data_;
    FixedDivisor columns_;  // reduces a row hash to its column: hash % width
};

}  // namespace velt
