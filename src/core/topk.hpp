// The Top-K tracker: the Space-Saving algorithm (Metwally, Agrawal and El Abbadi,
// "Efficient Computation of Frequent and Top-k Elements in Data Streams", 2005).
//
// At most k counters each name an item with an estimated count and an error
// bound; the true count lies in [count - error, count]. An untracked item that
// arrives when all k counters are in use takes over the last counter (a
// smallest count) and inherits that count as its error. Every item whose true
// frequency is at least n/k (n the total count) is tracked.
//
// Counters stand in order of count, largest first. A counter that gains count
// moves in front of every counter it now strictly exceeds and never passes one
// of equal count, so among equal counts reached by adds the one that got there
// first stands first; a merge orders equal counts by item bytes.
//
// Unlike the hashing structures, the tracker keeps the item texts themselves
// and has no seed: a hash table private to the process finds a tracked item's counter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec/binary.hpp"
#include "core/codec/record.hpp"
#include "core/file_io.hpp"

namespace velt {

// One tracked item.
struct TopKCounter {
    static constexpr std::string_view record_name = "Counter";

    std::string item;         // UTF-8 text
    std::uint64_t count = 0;  // an upper bound of the item's true count, saturating
    std::uint64_t error = 0;  // how much `count` may overstate it; never above `count`

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("item", item);
        visit("count", count);
        visit("error", error);
    }

    friend bool operator==(const TopKCounter&, const TopKCounter&) = default;
};

// The serialised record: the counters in order and k. The item index is not
// stored; it is rebuilt on reading.
struct TopKData {
    static constexpr std::string_view record_name = "TopKData";
    static constexpr std::uint8_t current_version = 1;

    std::uint8_t version = current_version;  // JSON may leave it out: it then reads as 1
    std::vector<TopKCounter> counters;       // largest count first
    std::uint64_t k = 0;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("version", version, codec::may_be_absent);
        visit("counters", counters);
        visit("k", k);
    }
};

class TopK {
public:
    using Record = TopKData;
    static constexpr codec::Format format{"VTTK", 1};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::separate;

    // An empty tracker of at most k counters; k must be positive.
    explicit TopK(std::uint64_t k);
    // A tracker from a decoded record, after checking it.
    static TopK from_record(TopKData record);
    TopKData record() const;

    // Adds `count` occurrences of `item`; a count of 0 changes nothing.
    void add(std::string_view item, std::uint64_t count = 1);
    // Adds each item once, in order.
    void update(std::span<const std::string_view> items);

    // The item's estimated count, or 0 when it is not tracked.
    std::uint64_t query(std::string_view item) const;
    std::vector<std::uint64_t> query_many(std::span<const std::string_view> items) const;
    bool contains(std::string_view item) const { return find(item) != none; }

    // The first n counters in order, largest count first.
    std::vector<TopKCounter> top(std::uint64_t n = std::numeric_limits<std::uint64_t>::max()) const;
    // The count of the last counter, or 0 when there is none.
    std::uint64_t min_count() const;

    // Sums both trackers' counts (an item missing on one side is charged that
    // side's minimum when that side is full), then keeps the k largest.
    void merge(const TopK& other);
    void clear();

    std::uint64_t k() const { return k_; }
    std::uint64_t tracked() const { return nodes_.size(); }
    // An estimate: 32 bytes per possible counter plus 16 and the text per tracked
    // item; saturates at 2^64 - 1.
    std::uint64_t size_in_bytes() const;
    std::string repr() const;

private:
    // The counters are kept as the paper's Stream-Summary: the order is a list
    // of groups of equal count, largest first, each group a list of its
    // counters, first arrived first. A counter that gains count leaves its
    // group and joins the end of the group of its new count (made when
    // missing): that is exactly the place that stepping past every counter it
    // now strictly exceeds would reach, found in one step for a gain of one,
    // however many counters share its old count.
    static constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

    struct Node {
        TopKCounter counter;
        std::uint64_t hash = 0;  // of the item, as indexed
        std::size_t group = none;
        std::size_t previous = none;  // neighbours within the group
        std::size_t next = none;
    };

    struct Group {
        std::uint64_t count = 0;
        std::size_t first = none;  // nodes
        std::size_t last = none;
        std::size_t previous = none;  // the group of the next larger count
        std::size_t next = none;      // the group of the next smaller count; for a free group, the next free one
    };

    // Finds a tracked item's node: open addressing with linear probing over a
    // power-of-two table of (item hash, node) slots, kept at most a quarter full.
    // Texts are compared only where hashes agree, and a removal shifts the
    // entries behind it back, so the table never fills with tombstones. Item
    // hashes use a key drawn once per process, so that no input can be
    // crafted to collide in every process.
    class Index {
    public:
        // text_of(node) is the text that the node tracks.
        template <class TextOf>
        std::size_t find(std::string_view item, std::uint64_t hash, TextOf&& text_of) const {
            if (slots_.empty()) return none;
            for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
                const Slot& slot = slots_[at];
                if (slot.node == none) return none;
                if (slot.hash == hash && text_of(slot.node) == item) return slot.node;
            }
        }
        // Adds a node whose text is not in the index; room must have been reserved.
        void insert(std::uint64_t hash, std::size_t node);
        // Removes the node, indexed under `hash`.
        void erase(std::uint64_t hash, std::size_t node);
        // Makes room for `count` entries in all, so that inserting them allocates nothing.
        void reserve(std::size_t count);
        void clear();

    private:
        struct Slot {
            std::uint64_t hash = 0;
            std::size_t node = none;
        };
        std::vector<Slot> slots_;
        std::size_t mask_ = 0;
        std::size_t size_ = 0;
    };

    static std::uint64_t item_hash(std::string_view item);
    std::size_t find(std::string_view item, std::uint64_t hash) const {
        return index_.find(item, hash,
                           [this](std::size_t node) -> const std::string& { return nodes_[node].counter.item; });
    }
    std::size_t find(std::string_view item) const { return find(item, item_hash(item)); }

    // Replaces every counter by `ordered`, which is sorted by descending count
    // and holds no item twice; equal counts keep their order.
    void assign(std::vector<TopKCounter> ordered);
    // Gives a tracked counter its new, larger count and moves it into place.
    void raise_count(std::size_t node, std::uint64_t count);
    // Takes a node out of its group. Returns its group, or the group in front
    // of it when the node was the group's only one.
    std::size_t unlink(std::size_t node);
    // Puts a node at the end of the group of its count, searching from
    // `search_from` towards larger counts; no group in front of the search
    // start may have a smaller count than the node.
    void link(std::size_t node, std::size_t search_from);
    // Makes sure a free group exists, so that `link` never allocates. Inline:
    // every add calls it, and a free group nearly always exists.
    void reserve_group() {
        if (free_groups_ == none) add_free_group();
    }
    void add_free_group();
    void release_group(std::size_t group);

    template <class Visit>
    void for_each_counter(Visit&& visit) const;

    std::uint64_t k_;
    std::vector<Node> nodes_;  // one per tracked item; a replaced item's node is reused
    std::vector<Group> groups_;
    std::size_t first_group_ = none;  // largest count
    std::size_t last_group_ = none;   // smallest count
    std::size_t free_groups_ = none;
    Index index_;  // item -> its node
};

}  // namespace velt
