#include "core/count_min_sketch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "core/error.hpp"
#include "core/length_class.hpp"
#include "core/platform/hints.hpp"
#include "core/saturating.hpp"
#include "core/tuning.hpp"

namespace velt {
namespace {

// Euler's number, the double 0x4005BF0A8B145769.
constexpr double e = 2.718281828459045;

// A zeroed table of `depth` rows of `width` counters. Its total size is
// checked first, so that a table that can never fit fails before any row is
// allocated, and a product that would wrap is never formed.
std::vector<LargeArray<std::uint64_t>> zeroed_table(std::uint64_t width, std::uint64_t depth) {
    using Row = LargeArray<std::uint64_t>;
    constexpr std::uint64_t counter_bytes = sizeof(std::uint64_t);
    if (width > (max_u64 - sizeof(Row)) / counter_bytes) throw std::bad_alloc();
    const std::uint64_t row_bytes = width * counter_bytes + sizeof(Row);
    if (depth > max_u64 / row_bytes) throw std::bad_alloc();
    check_total_allocation(depth * row_bytes);

    std::vector<Row> table;
    table.reserve(depth);
    for (std::uint64_t i = 0; i < depth; ++i) table.emplace_back(width);
    return table;
}

}  // namespace

CountMinSketch CountMinSketch::create(std::optional<std::uint64_t> width, std::optional<std::uint64_t> depth,
                                      std::optional<double> error_rate, std::optional<double> confidence,
                                      std::uint64_t seed) {
    // Explicit dimensions win; the rate and confidence are then not even range-checked.
    std::uint64_t columns = 0;
    std::uint64_t rows = 0;
    if (width) {
        if (!depth) throw ValueError("Either provide (width, depth) or (error_rate, confidence)");
        columns = *width;
        rows = *depth;
    } else {
        if (depth || !error_rate || !confidence) {
            throw ValueError("Either provide (width, depth) or (error_rate, confidence)");
        }
        if (!(*error_rate > 0.0 && *error_rate < 1.0)) {
            throw ValueError("error_rate must be between 0 and 1 (exclusive)");
        }
        if (!(*confidence > 0.0 && *confidence < 1.0)) {
            throw ValueError("confidence must be between 0 and 1 (exclusive)");
        }
        columns = saturating_u64(std::ceil(e / *error_rate));
        // When 1 - confidence rounds to 1.0 this is depth 0, refused below.
        rows = saturating_u64(std::ceil(std::log(1.0 / (1.0 - *confidence))));
    }
    if (columns == 0) throw ValueError("width must be positive");
    if (rows == 0) throw ValueError("depth must be positive");

    CountMinSketchData data;
    data.version = CountMinSketchData::layout.current;
    data.table = zeroed_table(columns, rows);
    data.width = columns;
    data.depth = rows;
    data.seed = seed;
    return CountMinSketch(std::move(data));
}

CountMinSketch CountMinSketch::from_record(CountMinSketchData record) {
    if (record.width == 0 || record.depth == 0) throw ValueError("width and depth must be positive");
    const bool rows_match = record.table.size() == record.depth;
    if (!rows_match || std::any_of(record.table.begin(), record.table.end(),
                                   [&](const auto& row) { return row.size() != record.width; })) {
        throw ValueError("table dimensions do not match width and depth");
    }
    // The total is not compared with the counters: any value is kept as stored.
    return CountMinSketch(std::move(record));
}

// ---- Adding and querying ---------------------------------------------------------

template <class ColumnOf>
void CountMinSketch::add_to_rows(ColumnOf column_of, std::uint64_t count) {
    std::uint64_t row_seed = data_.seed;
    for (auto& row : data_.table) {
        std::uint64_t& counter = row[column_of(row_seed)];
        counter = saturating_add(counter, count);
        row_seed += golden_gamma;
    }
    data_.count = saturating_add(data_.count, count);
}

template <class ColumnOf>
std::uint64_t CountMinSketch::smallest_in_rows(ColumnOf column_of) const {
    std::uint64_t smallest = max_u64;
    std::uint64_t row_seed = data_.seed;
    for (const auto& row : data_.table) {
        smallest = std::min(smallest, row[column_of(row_seed)]);
        row_seed += golden_gamma;
    }
    return smallest;
}

void CountMinSketch::add(std::string_view item, std::uint64_t count) {
    if (count == 0) return;
    add_to_rows([&](std::uint64_t row_seed) { return item_column(item, row_seed); }, count);
}

void CountMinSketch::add_hash(std::uint64_t hash, std::uint64_t count) {
    if (count == 0) return;
    add_to_rows([&](std::uint64_t row_seed) { return hash_column(hash, row_seed); }, count);
}

std::uint64_t CountMinSketch::query(std::string_view item) const {
    return smallest_in_rows([&](std::uint64_t row_seed) { return item_column(item, row_seed); });
}

std::uint64_t CountMinSketch::query_hash(std::uint64_t hash) const {
    return smallest_in_rows([&](std::uint64_t row_seed) { return hash_column(hash, row_seed); });
}

// ---- Batches -------------------------------------------------------------------------
// An item costs one XXH3 per row and one counter per row. A block's columns
// are all computed first; in a table larger than the caches their counters are
// then prefetched, so that the misses overlap with each other and with the
// hashing. A table that fits in the cache gains nothing from prefetching: the
// instructions cost more than the latency they would hide.

template <class LengthClass>
VELT_FLATTEN void CountMinSketch::item_columns_of_length(std::string_view item, std::uint64_t* columns) const {
    std::uint64_t row_seed = data_.seed;
    for (std::size_t row = 0; row < data_.table.size(); ++row, row_seed += golden_gamma) {
        LengthClass::assume(item);
        columns[row] = item_column(item, row_seed);
    }
}

void CountMinSketch::item_columns(std::string_view item, std::uint64_t* columns) const {
    with_length_class(item, [&](auto length_class) { item_columns_of_length<decltype(length_class)>(item, columns); });
}

void CountMinSketch::hash_columns(std::uint64_t hash, std::uint64_t* columns) const {
    std::uint64_t row_seed = data_.seed;
    for (std::size_t row = 0; row < data_.table.size(); ++row, row_seed += golden_gamma) {
        columns[row] = hash_column(hash, row_seed);
    }
}

template <class ColumnsOf, class Visit>
void CountMinSketch::for_each_in_blocks(std::size_t count, ColumnsOf&& columns_of, Visit&& visit) const {
    const std::size_t depth = data_.table.size();
    const std::size_t block_size = std::max<std::size_t>(1, tuning::count_min_counters_per_block / depth);
    std::vector<std::uint64_t> block_columns(block_size * depth);
    const bool prefetch = size_in_bytes() > tuning::count_min_cached_table_bytes;

    for (std::size_t start = 0; start < count; start += block_size) {
        const std::size_t size = std::min(block_size, count - start);
        for (std::size_t j = 0; j < size; ++j) {
            std::uint64_t* columns = &block_columns[j * depth];
            columns_of(start + j, columns);
            if (!prefetch) continue;
            for (std::size_t row = 0; row < depth; ++row) platform::prefetch_for_read(&data_.table[row][columns[row]]);
        }
        for (std::size_t j = 0; j < size; ++j) visit(start + j, &block_columns[j * depth]);
    }
}

template <class ColumnsOf>
void CountMinSketch::add_one_each(std::size_t count, ColumnsOf&& columns_of) {
    for_each_in_blocks(count, columns_of, [&](std::size_t, const std::uint64_t* columns) {
        for (std::size_t row = 0; row < data_.table.size(); ++row) {
            std::uint64_t& counter = data_.table[row][columns[row]];
            counter = saturating_add(counter, 1);
        }
    });
    data_.count = saturating_add(data_.count, count);
}

template <class ColumnsOf>
LargeArray<std::uint64_t> CountMinSketch::smallest_of_each(std::size_t count, ColumnsOf&& columns_of) const {
    LargeArray<std::uint64_t> estimates;
    estimates.reserve(count);
    for_each_in_blocks(count, columns_of, [&](std::size_t, const std::uint64_t* columns) {
        std::uint64_t smallest = max_u64;
        for (std::size_t row = 0; row < data_.table.size(); ++row) {
            smallest = std::min(smallest, data_.table[row][columns[row]]);
        }
        estimates.push_back(smallest);
    });
    return estimates;
}

void CountMinSketch::update(std::span<const std::string_view> items) {
    add_one_each(items.size(), [&](std::size_t i, std::uint64_t* columns) {
        item_columns(item_prefetching_ahead(items, i), columns);
    });
}

void CountMinSketch::update_hashes(std::span<const std::uint64_t> hashes) {
    add_one_each(hashes.size(), [&](std::size_t i, std::uint64_t* columns) { hash_columns(hashes[i], columns); });
}

LargeArray<std::uint64_t> CountMinSketch::query_many(std::span<const std::string_view> items) const {
    return smallest_of_each(items.size(), [&](std::size_t i, std::uint64_t* columns) {
        item_columns(item_prefetching_ahead(items, i), columns);
    });
}

LargeArray<std::uint64_t> CountMinSketch::query_hashes(std::span<const std::uint64_t> hashes) const {
    return smallest_of_each(hashes.size(),
                            [&](std::size_t i, std::uint64_t* columns) { hash_columns(hashes[i], columns); });
}

// ---- Combining ---------------------------------------------------------------------

void CountMinSketch::merge(const CountMinSketch& other) {
    require_same_settings("merge", {{"width", data_.width, other.data_.width},
                                    {"depth", data_.depth, other.data_.depth},
                                    {"seed", data_.seed, other.data_.seed}});
    for (std::size_t i = 0; i < data_.table.size(); ++i) {
        auto& mine = data_.table[i];
        const auto& theirs = other.data_.table[i];
        for (std::size_t j = 0; j < mine.size(); ++j) mine[j] = saturating_add(mine[j], theirs[j]);
    }
    data_.count = saturating_add(data_.count, other.data_.count);
}

std::uint64_t CountMinSketch::inner_product(const CountMinSketch& other) const {
    if (data_.width != other.data_.width || data_.depth != other.data_.depth || data_.seed != other.data_.seed) {
        throw ValueError("Cannot compute inner product: sketches must have matching dimensions and seed");
    }
    std::uint64_t smallest = max_u64;
    for (std::size_t i = 0; i < data_.table.size(); ++i) {
        const auto& mine = data_.table[i];
        const auto& theirs = other.data_.table[i];
        std::uint64_t row_sum = 0;
        for (std::size_t j = 0; j < mine.size(); ++j) {
            row_sum = saturating_add(row_sum, saturating_multiply(mine[j], theirs[j]));
        }
        smallest = std::min(smallest, row_sum);
    }
    return smallest;
}

void CountMinSketch::clear() {
    for (auto& row : data_.table) std::fill(row.begin(), row.end(), 0);
    data_.count = 0;
}

// ---- Figures -------------------------------------------------------------------------

std::uint64_t CountMinSketch::size_in_bytes() const {
    return saturating_multiply(saturating_multiply(data_.width, data_.depth), 8);
}

double CountMinSketch::error_rate() const { return e / static_cast<double>(data_.width); }

double CountMinSketch::confidence() const { return 1.0 - std::pow(e, -static_cast<double>(data_.depth)); }

std::uint64_t CountMinSketch::error_bound() const {
    return saturating_u64(std::ceil(error_rate() * static_cast<double>(data_.count)));
}

std::string CountMinSketch::repr() const {
    return "CountMinSketch(width=" + std::to_string(data_.width) + ", depth=" + std::to_string(data_.depth) +
           ", total_count=" + std::to_string(data_.count) + ")";
}

}  // namespace velt
