#include "core/topk.hpp"

#include <algorithm>
#include <random>
#include <utility>

#include "core/error.hpp"
#include "core/hash.hpp"
#include "core/saturating.hpp"

namespace velt {
namespace {

// Room made for counters up front. k may be far larger than any stream's
// distinct items (TopK(10**18) is valid), so beyond this the storage grows
// only as counters are taken.
constexpr std::uint64_t max_initial_reservation = 1024;

// The per-process key of the item hash, drawn from the operating system on first use.
std::uint64_t process_key() {
    static const std::uint64_t key = [] {
        std::random_device source;
        return std::uint64_t{source()} << 32 | source();
    }();
    return key;
}

// Largest count first; equal counts in byte order of the item, a proper prefix first.
bool merged_order(const TopKCounter& a, const TopKCounter& b) {
    if (a.count != b.count) return a.count > b.count;
    return a.item < b.item;  // std::string compares bytes as unsigned char
}

}  // namespace

std::uint64_t TopK::item_hash(std::string_view item) { return hash_with_seed(item, process_key()); }

// ---- The item index ----------------------------------------------------------

void TopK::Index::insert(std::uint64_t hash, std::size_t node) {
    std::size_t at = hash & mask_;
    while (slots_[at].node != none) at = (at + 1) & mask_;
    slots_[at] = {hash, node};
    ++size_;
}

void TopK::Index::erase(std::uint64_t hash, std::size_t node) {
    std::size_t hole = hash & mask_;
    while (slots_[hole].node != node) hole = (hole + 1) & mask_;
    // Moves back every entry of the run after the hole that may sit there:
    // one whose home slot does not lie cyclically in (hole, at].
    for (std::size_t at = (hole + 1) & mask_; slots_[at].node != none; at = (at + 1) & mask_) {
        const std::size_t home = slots_[at].hash & mask_;
        if (((at - home) & mask_) >= ((at - hole) & mask_)) {
            slots_[hole] = slots_[at];
            hole = at;
        }
    }
    slots_[hole] = Slot{};
    --size_;
}

void TopK::Index::reserve(std::size_t count) {
    // At most a quarter full, which keeps the runs that lookups and removals
    // walk short; the first table has 64 slots.
    if (count <= slots_.size() / 4) return;
    std::size_t capacity = std::max<std::size_t>(slots_.size(), 64);
    while (count > capacity / 4) capacity *= 2;
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    mask_ = capacity - 1;
    size_ = 0;
    for (const Slot& slot : old) {
        if (slot.node != none) insert(slot.hash, slot.node);
    }
}

void TopK::Index::clear() {
    slots_.clear();
    mask_ = 0;
    size_ = 0;
}

// ---- Construction and records ------------------------------------------------

TopK::TopK(std::uint64_t k) : k_(k) {
    if (k == 0) throw ValueError("k must be positive");
    const auto reservation = static_cast<std::size_t>(std::min(k, max_initial_reservation));
    nodes_.reserve(reservation);
    index_.reserve(reservation);
}

TopK TopK::from_record(TopKData record) {
    if (record.version != TopKData::current_version) throw ValueError("Unsupported TopK data version");
    if (record.k == 0) throw ValueError("k must be positive");
    if (record.counters.size() > record.k) throw ValueError("number of counters exceeds k");

    Index seen;
    seen.reserve(record.counters.size());
    const auto text_of = [&](std::size_t i) -> const std::string& { return record.counters[i].item; };
    for (std::size_t i = 0; i < record.counters.size(); ++i) {
        const TopKCounter& counter = record.counters[i];
        if (counter.error > counter.count) throw ValueError("counter error exceeds count");
        const std::uint64_t hash = item_hash(counter.item);
        if (seen.find(counter.item, hash, text_of) != none) throw ValueError("duplicate tracked item");
        seen.insert(hash, i);
    }
    const auto out_of_order = std::adjacent_find(
        record.counters.begin(), record.counters.end(),
        [](const TopKCounter& before, const TopKCounter& after) { return after.count > before.count; });
    if (out_of_order != record.counters.end()) throw ValueError("counters must be sorted by descending count");

    TopK tracker(record.k);
    tracker.assign(std::move(record.counters));
    return tracker;
}

TopKData TopK::record() const {
    TopKData data;
    data.counters = top();
    data.k = k_;
    return data;
}

void TopK::assign(std::vector<TopKCounter> ordered) {
    clear();
    nodes_.reserve(ordered.size());
    index_.reserve(ordered.size());
    for (TopKCounter& counter : ordered) {
        reserve_group();
        const std::size_t node = nodes_.size();
        const std::uint64_t hash = item_hash(counter.item);
        index_.insert(hash, node);
        nodes_.push_back({std::move(counter), hash});
        link(node, last_group_);
    }
}

// ---- Adding ----------------------------------------------------------------------
// Every allocation comes before the first change, so a failed one leaves the
// tracker as it was.

void TopK::add(std::string_view item, std::uint64_t count) {
    if (count == 0) return;

    const std::uint64_t hash = item_hash(item);
    if (const std::size_t node = find(item, hash); node != none) {
        raise_count(node, saturating_add(nodes_[node].counter.count, count));
        return;
    }

    reserve_group();
    if (nodes_.size() < k_) {
        index_.reserve(nodes_.size() + 1);
        const std::size_t node = nodes_.size();
        nodes_.push_back({TopKCounter{std::string(item), count, 0}, hash});
        index_.insert(hash, node);
        link(node, last_group_);
        return;
    }

    // Full: the new item takes over the last counter, a smallest count, and
    // inherits that count as its error. The text is copied first: it is the
    // only step that may allocate (never for a short text, nor for one no
    // longer than the text it replaces).
    const std::size_t victim = groups_[last_group_].last;
    Node& taken = nodes_[victim];
    std::string& text = taken.counter.item;
    if (item.size() > text.capacity()) {
        std::string copy(item);
        text.swap(copy);
    } else {
        text.assign(item);
    }
    index_.erase(taken.hash, victim);
    index_.insert(hash, victim);
    taken.hash = hash;
    taken.counter.error = taken.counter.count;
    raise_count(victim, saturating_add(taken.counter.count, count));
}

void TopK::update(std::span<const std::string_view> items) {
    for (std::size_t i = 0; i < items.size(); ++i) add(item_prefetching_ahead(items, i));
}

void TopK::raise_count(std::size_t node, std::uint64_t count) {
    // A count that saturated already stays where it stands: it passes no one.
    if (count == nodes_[node].counter.count) return;
    reserve_group();
    const std::size_t search_from = unlink(node);
    nodes_[node].counter.count = count;
    link(node, search_from);
}

std::size_t TopK::unlink(std::size_t node_id) {
    Node& node = nodes_[node_id];
    const std::size_t group_id = node.group;
    Group& group = groups_[group_id];
    (node.previous == none ? group.first : nodes_[node.previous].next) = node.next;
    (node.next == none ? group.last : nodes_[node.next].previous) = node.previous;
    node.group = node.previous = node.next = none;
    if (group.first != none) return group_id;

    const std::size_t in_front = group.previous;
    (group.previous == none ? first_group_ : groups_[group.previous].next) = group.next;
    (group.next == none ? last_group_ : groups_[group.next].previous) = group.previous;
    release_group(group_id);
    return in_front;
}

void TopK::link(std::size_t node_id, std::size_t search_from) {
    const std::uint64_t count = nodes_[node_id].counter.count;
    std::size_t in_front = search_from;
    while (in_front != none && groups_[in_front].count < count) in_front = groups_[in_front].previous;

    std::size_t group_id = in_front;
    if (in_front == none || groups_[in_front].count != count) {
        // A new group right behind the last group of a larger count.
        group_id = free_groups_;
        free_groups_ = groups_[group_id].next;
        Group& group = groups_[group_id];
        group = Group{count};
        group.previous = in_front;
        group.next = in_front == none ? first_group_ : groups_[in_front].next;
        (group.previous == none ? first_group_ : groups_[group.previous].next) = group_id;
        (group.next == none ? last_group_ : groups_[group.next].previous) = group_id;
    }

    Group& group = groups_[group_id];
    Node& node = nodes_[node_id];
    node.group = group_id;
    node.previous = group.last;
    node.next = none;
    (group.last == none ? group.first : nodes_[group.last].next) = node_id;
    group.last = node_id;
}

void TopK::add_free_group() {
    groups_.emplace_back();
    release_group(groups_.size() - 1);
}

void TopK::release_group(std::size_t group) {
    groups_[group].next = free_groups_;
    free_groups_ = group;
}

// ---- Reading ---------------------------------------------------------------------

// Calls visit(counter) for each counter in order until it returns false.
template <class Visit>
void TopK::for_each_counter(Visit&& visit) const {
    for (std::size_t group = first_group_; group != none; group = groups_[group].next) {
        for (std::size_t node = groups_[group].first; node != none; node = nodes_[node].next) {
            if (!visit(nodes_[node].counter)) return;
        }
    }
}

std::uint64_t TopK::query(std::string_view item) const {
    const std::size_t node = find(item);
    return node == none ? 0 : nodes_[node].counter.count;
}

std::vector<std::uint64_t> TopK::query_many(std::span<const std::string_view> items) const {
    std::vector<std::uint64_t> counts;
    counts.reserve(items.size());
    for (std::string_view item : items) counts.push_back(query(item));
    return counts;
}

std::vector<TopKCounter> TopK::top(std::uint64_t n) const {
    std::vector<TopKCounter> counters;
    counters.reserve(static_cast<std::size_t>(std::min(n, tracked())));
    for_each_counter([&](const TopKCounter& counter) {
        if (counters.size() == n) return false;
        counters.push_back(counter);
        return true;
    });
    return counters;
}

std::uint64_t TopK::min_count() const { return last_group_ == none ? 0 : groups_[last_group_].count; }

std::uint64_t TopK::size_in_bytes() const {
    std::uint64_t total = k_ > max_u64 / 32 ? max_u64 : k_ * 32;
    for (const Node& node : nodes_) total = saturating_add(total, saturating_add(node.counter.item.size(), 16));
    return total;
}

std::string TopK::repr() const {
    return "TopK(k=" + std::to_string(k_) + ", tracked=" + std::to_string(tracked()) +
           ", min_count=" + std::to_string(min_count()) + ")";
}

// ---- Combining -------------------------------------------------------------------

void TopK::merge(const TopK& other) {
    if (k_ != other.k_) {
        throw ValueError(mismatch_message("merge", "k", k_, other.k_));
    }
    // An item one side does not track may have occurred there up to that
    // side's minimum times, but only once that side has had to evict.
    const auto full_minimum = [](const TopK& side) { return side.tracked() == side.k_ ? side.min_count() : 0; };
    const std::uint64_t self_min = full_minimum(*this);
    const std::uint64_t other_min = full_minimum(other);

    std::vector<TopKCounter> merged;
    merged.reserve(nodes_.size() + other.nodes_.size());
    for_each_counter([&](const TopKCounter& mine) {
        const std::size_t theirs = other.find(mine.item);
        if (theirs != none) {
            const TopKCounter& match = other.nodes_[theirs].counter;
            merged.push_back(
                {mine.item, saturating_add(mine.count, match.count), saturating_add(mine.error, match.error)});
        } else {
            merged.push_back({mine.item, saturating_add(mine.count, other_min), saturating_add(mine.error, other_min)});
        }
        return true;
    });
    other.for_each_counter([&](const TopKCounter& theirs) {
        if (!contains(theirs.item)) {
            merged.push_back(
                {theirs.item, saturating_add(theirs.count, self_min), saturating_add(theirs.error, self_min)});
        }
        return true;
    });

    std::sort(merged.begin(), merged.end(), merged_order);
    if (merged.size() > k_) merged.resize(static_cast<std::size_t>(k_));

    TopK result(k_);
    result.assign(std::move(merged));
    *this = std::move(result);
}

void TopK::clear() {
    nodes_.clear();
    groups_.clear();
    first_group_ = last_group_ = free_groups_ = none;
    index_.clear();
}

}  // namespace velt
