// The tuning knobs: every constant that trades speed or memory without changing
// a single answer or byte. Each line says what it trades and what shows its
// effect: a fact measured on these machines (see the design notes), or the
// benchmark row of bench/ (`make bench`) to read before and after changing it.
// Safety caps are marked as such: they bound what untrusted input can make us
// allocate. The binding layer's knobs are here too, so there is one place to look.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velt::tuning {

// ---- Memory ---------------------------------------------------------------------

// Arrays this large get 2 MiB-aligned memory advised for transparent huge pages:
// smaller ones would waste most of a huge page. Touching 64 MiB takes ~200 ms with
// 4 KiB pages and ~4 ms with huge pages; a 256 MiB Bloom filter answers in ~225 ns
// an item instead of ~1000 (design notes, "Performance facts").
inline constexpr std::size_t huge_page_threshold = std::size_t{4} << 20;

// Safety cap: a decoder reserves room for at most this many bytes of elements ahead
// of the bytes that actually arrive, whatever count a record claims.
inline constexpr std::size_t max_decoder_reservation_bytes = std::size_t{1} << 20;

// A TopK reserves room for at most this many counters up front (k may be 10**18);
// beyond it storage grows as counters are taken. Shows in bench/frequency.py, TopK rows.
inline constexpr std::uint64_t topk_initial_counters = 1024;

// ---- Signatures ---------------------------------------------------------------------

// The classic signature and MinHash.update keep each slot's XXH3 secret (192 bytes)
// for items longer than 240 bytes, so that seeded XXH3 does not derive it again per
// item, up to this many slots (24 KiB at 128); beyond, long items hash with the seed
// as MinHash.add does. Shows in bench/similarity.py, the signature rows, on
// documents of long items.
inline constexpr std::size_t classic_secret_slots = 1024;

// The classic signature and MinHash.update keep a table of each slot's XXH3 keys
// (296 bytes a slot, 37 KiB at 128) for items up to 240 bytes, up to this many slots
// (1.2 MiB); beyond, they make the keys as they go, about half as fast, rather than
// take 37 times the signature's memory. Shows in bench/similarity.py, the signature rows.
inline constexpr std::size_t seeded_key_table_slots = 4096;

// The vector loops of that table hash this many blocks of four slots in a pass, round
// by round, their sums (1 KiB) kept in the level-1 cache; shows in the same rows.
inline constexpr std::size_t seeded_blocks_per_pass = 32;

// Safety cap: the search for an index's bands and rows looks at bands * rows up to
// this many slots (a few hundred thousand S-curve points at 1024); a longer
// signature still indexes, with its further slots kept for the Jaccard estimates.
inline constexpr std::uint64_t lsh_parameter_search_slots = 1024;
// Answers of that search kept for later indexes of the same threshold and num_hashes
// (all forgotten when this many are kept). Shows in the construction of a MinHashLSH.
inline constexpr std::size_t lsh_parameter_answers_kept = 64;

// ---- Batches over a table ---------------------------------------------------------
// A batch hashes a block of items before touching the table and prefetches what the
// block will touch, so that cache misses overlap. Larger blocks overlap more misses
// but keep more positions in flight, and a block's prefetches may be evicted before
// they are used. Shown by the update and
// query_many rows of bench/filters.py and bench/frequency.py on tables beyond the cache.

// How far ahead every batch prefetches the bytes of an item (they are scattered objects).
inline constexpr std::size_t item_prefetch_distance = 16;
// Items hashed per block by the Bloom family's queries, the scalable filter's adds
// and the cuckoo filter, and the most per block for the counting filter's adds.
inline constexpr std::size_t items_per_block = 16;
// A blocked Bloom filter's batches hash this many items before touching the filter,
// then visit their blocks in order, prefetching the block of the item this many
// places on. Shown by bench/filters.py, blocked_bloom rows.
inline constexpr std::size_t blocked_hashes_per_run = 512;
inline constexpr std::size_t blocked_prefetch_distance = 16;
// Bit positions a Bloom filter block lists (and prefetches) before setting them; a
// filter with more hash functions than this sets them item by item.
inline constexpr std::size_t bloom_positions_per_block = 128;
// Counter positions a counting Bloom filter block lists before adding.
inline constexpr std::size_t counting_positions_per_block = 512;
// Counters a counting Bloom filter query prefetches per item (a test stops at the
// first zero, so prefetching all k would fetch what is seldom read).
inline constexpr std::uint32_t counting_prefetched_positions = 16;
// Counters a Count-Min block keeps in flight (depth per item); a deeper sketch takes
// one item per block.
inline constexpr std::size_t count_min_counters_per_block = 128;
// A Count-Min table at most this large stays in cache: prefetching it costs more
// than it saves (as for a 1.2 MB Bloom filter, design notes).
inline constexpr std::uint64_t count_min_cached_table_bytes = std::uint64_t{1} << 20;

// ---- Binding: item batches ---------------------------------------------------------

// How far ahead a list or tuple walk prefetches its element objects.
inline constexpr std::ptrdiff_t element_prefetch_distance = 8;
// Safety cap: a batch reserves room for at most this many items up front, whatever
// length its argument claims.
inline constexpr std::ptrdiff_t max_reserved_items = std::ptrdiff_t{1} << 22;
// Items of at most this many bytes are copied into the batch's arena (contiguous,
// no reference kept); longer ones are viewed in place. Shown by bench/filters.py,
// BloomFilter.update str against ''.join.
inline constexpr std::size_t longest_copied_item = 64;
// The arena's blocks double from the first size to the largest; the largest is at
// the huge page threshold so that it is given huge pages.
inline constexpr std::size_t arena_first_block = std::size_t{4} << 10;
inline constexpr std::size_t arena_largest_block = huge_page_threshold;
// A thread keeps the buffers of its last batch, and the hash array of its last batch
// hashed a block at a time, each up to this size, for the next one:
// fresh memory costs ~3 ns a byte on first touch here (12 us a 4 KiB page), about
// 40 ns an item for a batch that mallocs 16 MB of scratch (design notes).
inline constexpr std::size_t retained_batch_bytes = std::size_t{64} << 20;
// Items of a list converted and then hashed per block by the filters that hash
// first and set bits after (the Bloom filters): a block's objects (about 64 bytes
// each) stay in the level-2 cache between the two, and on scattered objects a
// block of 512 is ~20 % faster than one of 4096. The classic filter also hashes
// the item bytes of a column this many at a time before listing their positions.
// Shown by bench/filters.py, BloomFilter.update str and the blocked_bloom rows.
inline constexpr std::size_t hashed_block_items = std::size_t{1} << 9;
// Column values converted per block, so that one block's views and decimal text stay
// within a few MiB however long the column is. Shown by bench/columns.py.
inline constexpr std::size_t column_block_values = std::size_t{1} << 12;

}  // namespace velt::tuning
