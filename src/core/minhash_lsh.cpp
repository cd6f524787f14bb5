#include "core/minhash_lsh.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <numeric>

#include "core/error.hpp"
#include "core/hash.hpp"
#include "core/platform/hints.hpp"
#include "core/tuning.hpp"

namespace velt {

std::size_t IndexKeyHash::operator()(const IndexKey& key) const {
    return static_cast<std::size_t>(key.is_text() ? hash_with_seed(key.text, 0) : splitmix_finalise(key.number + 1));
}

// ---- Bands and rows ------------------------------------------------------------------------

namespace {

// The chance that sets of similarity s become candidates.
double candidate_probability(double s, std::uint64_t bands, std::uint64_t rows) {
    return 1.0 - std::pow(1.0 - std::pow(s, static_cast<double>(rows)), static_cast<double>(bands));
}

// Composite Simpson's rule over [low, high].
template <class F>
double integrate(F&& f, double low, double high) {
    constexpr int intervals = 128;
    if (high <= low) return 0.0;
    const double step = (high - low) / intervals;
    double sum = f(low) + f(high);
    for (int i = 1; i < intervals; ++i) sum += f(low + i * step) * (i % 2 == 1 ? 4.0 : 2.0);
    return sum * step / 3.0;
}

}  // namespace

namespace {

BandsAndRows search_bands_and_rows(double threshold, std::uint64_t num_hashes) {
    const std::uint64_t slots = std::min<std::uint64_t>(num_hashes, tuning::lsh_parameter_search_slots);
    BandsAndRows best{1, 1};
    double least = INFINITY;
    for (std::uint64_t bands = 1; bands <= slots; ++bands) {
        for (std::uint64_t rows = 1; rows <= slots / bands; ++rows) {
            const double false_positives =
                integrate([&](double s) { return candidate_probability(s, bands, rows); }, 0.0, threshold);
            const double false_negatives =
                integrate([&](double s) { return 1.0 - candidate_probability(s, bands, rows); }, threshold, 1.0);
            const double error = 0.5 * false_positives + 0.5 * false_negatives;
            if (error < least) {
                least = error;
                best = {bands, rows};
            }
        }
    }
    return best;
}

}  // namespace

BandsAndRows optimal_bands_and_rows(double threshold, std::uint64_t num_hashes) {
    // The search evaluates the S-curve a few hundred thousand times (about 10 ms at 128
    // slots); programs make many indexes of the same few settings, so answers are kept.
    static std::mutex mutex;
    static std::map<std::pair<double, std::uint64_t>, BandsAndRows> known;
    const std::lock_guard lock(mutex);
    const auto found = known.find({threshold, num_hashes});
    if (found != known.end()) return found->second;
    if (known.size() >= tuning::lsh_parameter_answers_kept) known.clear();
    const BandsAndRows best = search_bands_and_rows(threshold, num_hashes);
    known.emplace(std::pair{threshold, num_hashes}, best);
    return best;
}

// ---- Creation and records -------------------------------------------------------------------

void MinHashLSH::check_settings() const {
    if (!(threshold_ >= 0.0 && threshold_ <= 1.0)) throw ValueError("threshold must be between 0 and 1");
    if (num_hashes_ == 0) throw ValueError("num_hashes must be positive");
    if (bands_ == 0 || rows_ == 0) throw ValueError("bands and rows must be positive");
    if (bands_ > num_hashes_ / rows_) throw ValueError("bands * rows must not exceed num_hashes");
    if (num_hashes_ > signatures_.max_size()) throw std::bad_alloc();
}

MinHashLSH MinHashLSH::create(const MinHashLSHSettings& settings) {
    MinHashLSH index;
    index.threshold_ = settings.threshold;
    index.num_hashes_ = settings.num_hashes;
    index.seed_ = settings.seed;
    index.scheme_ = settings.scheme;
    if (settings.bands.has_value() != settings.rows.has_value()) {
        throw ValueError("bands and rows must be given together");
    }
    if (!(settings.threshold >= 0.0 && settings.threshold <= 1.0)) {
        throw ValueError("threshold must be between 0 and 1");
    }
    if (settings.num_hashes == 0) throw ValueError("num_hashes must be positive");
    const BandsAndRows chosen = settings.bands ? BandsAndRows{*settings.bands, *settings.rows}
                                               : optimal_bands_and_rows(settings.threshold, settings.num_hashes);
    index.bands_ = chosen.bands;
    index.rows_ = chosen.rows;
    index.check_settings();
    return index;
}

MinHashLSHData MinHashLSH::record() const {
    MinHashLSHData record;
    record.threshold = threshold_;
    record.num_hashes = num_hashes_;
    record.seed = seed_;
    record.bands = bands_;
    record.rows = rows_;
    record.scheme = static_cast<std::uint8_t>(scheme_);
    record.keys = keys_;
    record.signatures = signatures_;
    return record;
}

MinHashLSH MinHashLSH::from_record(MinHashLSHData record) {
    MinHashLSH index;
    index.threshold_ = record.threshold;
    index.num_hashes_ = record.num_hashes;
    index.seed_ = record.seed;
    index.bands_ = record.bands;
    index.rows_ = record.rows;
    if (record.scheme > static_cast<std::uint8_t>(SignatureScheme::multiply_shift)) {
        throw ValueError("unknown signature scheme");
    }
    index.scheme_ = static_cast<SignatureScheme>(record.scheme);
    index.check_settings();
    if (record.signatures.size() / index.num_hashes_ != record.keys.size() ||
        record.signatures.size() % index.num_hashes_ != 0) {
        throw ValueError("signatures do not match the keys");
    }
    index.reserve(record.keys.size());
    for (std::size_t i = 0; i < record.keys.size(); ++i) {
        const IndexKey& key = record.keys[i];
        if (key.kind > 1 || (key.is_text() ? key.number != 0 : !key.text.empty())) throw ValueError("invalid key");
        if (index.contains(key)) throw ValueError("duplicate key");
        index.add_entry(key, {record.signatures.data() + i * index.num_hashes_, index.num_hashes_});
    }
    return index;
}

// ---- Band tables ------------------------------------------------------------------------------

std::uint64_t MinHashLSH::band_key(std::span<const std::uint64_t> signature, std::uint64_t band) const {
    const std::string_view bytes(reinterpret_cast<const char*>(signature.data() + band * rows_),
                                 rows_ * sizeof(std::uint64_t));
    // The band's number is mixed in after hashing: seeded XXH3 of structured
    // inputs with seeds one apart can collide, while the sum below collides
    // only when the hashes themselves do.
    return splitmix_finalise(hash_with_seed(bytes, 0) + band * golden_gamma);
}

std::vector<std::uint64_t> MinHashLSH::band_keys(std::span<const std::uint64_t> signature) const {
    std::vector<std::uint64_t> keys(static_cast<std::size_t>(bands_));
    for (std::uint64_t band = 0; band < bands_; ++band) {
        keys[band] = band_key(signature, band);
        // Each band's slot is a cache miss in a large table: fetched together, they overlap.
        if (!table_.empty()) platform::prefetch_for_read(&table_[static_cast<std::size_t>(keys[band]) & (table_.size() - 1)]);
    }
    return keys;
}

std::span<const std::uint64_t> MinHashLSH::signature_of(std::uint32_t id) const {
    return {signatures_.data() + id * num_hashes_, static_cast<std::size_t>(num_hashes_)};
}

std::size_t MinHashLSH::find_slot(std::uint64_t key) const {
    const std::size_t mask = table_.size() - 1;
    std::size_t position = static_cast<std::size_t>(key) & mask;
    while (table_[position].first != empty_entry && table_[position].key != key) position = (position + 1) & mask;
    return position;
}

void MinHashLSH::reserve(std::size_t entries) {
    signatures_.reserve(entries * num_hashes_);
    keys_.reserve(entries);
    ids_.reserve(entries);
    // Room for every band of every entry at most half full, made at once.
    const std::size_t slots = 2 * entries * static_cast<std::size_t>(bands_);
    if (slots > table_.size()) grow_table(std::bit_ceil(slots));
}

void MinHashLSH::grow_table(std::size_t size) {
    LargeArray<BandSlot> old = std::move(table_);
    table_.assign(size, BandSlot{0, empty_entry, 0});
    for (const BandSlot& slot : old) {
        if (slot.first != empty_entry) table_[find_slot(slot.key)] = slot;
    }
}

void MinHashLSH::link(std::uint64_t key, std::uint32_t id) {
    BandSlot& slot = table_[find_slot(key)];
    if (slot.first == empty_entry) {
        slot = {key, id, 0};
        ++table_used_;
    } else if (slot.more == 0) {
        std::uint32_t list;
        if (free_lists_.empty()) {
            list = static_cast<std::uint32_t>(lists_.size());
            lists_.emplace_back();
        } else {
            list = free_lists_.back();
            free_lists_.pop_back();
        }
        lists_[list].push_back(id);
        slot.more = list + 1;
    } else {
        lists_[slot.more - 1].push_back(id);
    }
}

// Backward-shift deletion: entries after the freed slot whose home lies at or
// before it move up, so that no search stops early.
void MinHashLSH::erase_slot(std::size_t position) {
    const std::size_t mask = table_.size() - 1;
    std::size_t hole = position;
    for (std::size_t next = (hole + 1) & mask; table_[next].first != empty_entry; next = (next + 1) & mask) {
        const std::size_t home = static_cast<std::size_t>(table_[next].key) & mask;
        // Whether `home` lies cyclically in (hole, next]: then the entry stays.
        const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
        if (!stays) {
            table_[hole] = table_[next];
            hole = next;
        }
    }
    table_[hole].first = empty_entry;
    --table_used_;
}

void MinHashLSH::unlink(std::uint64_t key, std::uint32_t id) {
    const std::size_t position = find_slot(key);
    BandSlot& slot = table_[position];
    if (slot.more == 0) {
        erase_slot(position);
        return;
    }
    std::vector<std::uint32_t>& list = lists_[slot.more - 1];
    if (slot.first == id) {
        slot.first = list.back();
        list.pop_back();
    } else {
        *std::find(list.begin(), list.end(), id) = list.back();
        list.pop_back();
    }
    if (list.empty()) {
        free_lists_.push_back(slot.more - 1);
        slot.more = 0;
    }
}

void MinHashLSH::relink(std::uint64_t key, std::uint32_t from, std::uint32_t to) {
    BandSlot& slot = table_[find_slot(key)];
    if (slot.first == from) slot.first = to;
    else *std::find(lists_[slot.more - 1].begin(), lists_[slot.more - 1].end(), from) = to;
}

template <class Visit>
void MinHashLSH::for_each_in_band(std::uint64_t key, Visit&& visit) const {
    if (table_.empty()) return;
    const BandSlot& slot = table_[find_slot(key)];
    if (slot.first == empty_entry) return;
    visit(slot.first);
    if (slot.more != 0) {
        for (const std::uint32_t id : lists_[slot.more - 1]) visit(id);
    }
}

// ---- Entries ----------------------------------------------------------------------------------

void MinHashLSH::check_signature(std::span<const std::uint64_t> signature) const {
    if (signature.size() != num_hashes_) {
        throw ValueError("signature has " + std::to_string(signature.size()) + " values; the index takes " +
                         std::to_string(num_hashes_));
    }
}

void MinHashLSH::check_minhash(std::uint64_t num_hashes, std::uint64_t seed) const {
    if (scheme_ != SignatureScheme::classic) {
        throw ValueError("a MinHash signature is of the classic scheme; this index takes " +
                         std::string(scheme_name(scheme_)) + " signatures");
    }
    require_same_settings("use the MinHash", {{"num_hashes", num_hashes_, num_hashes}, {"seed", seed_, seed}});
}

void MinHashLSH::add_entry(const IndexKey& key, std::span<const std::uint64_t> signature) {
    if (keys_.size() >= empty_entry) throw ValueError("the index holds at most 4294967294 keys");
    const auto id = static_cast<std::uint32_t>(keys_.size());
    // Everything that may fail to allocate comes before the first band is linked.
    signatures_.insert(signatures_.end(), signature.begin(), signature.end());
    keys_.push_back(key);
    ids_.emplace(key, id);
    if (2 * (table_used_ + bands_) > table_.size()) grow_table(std::bit_ceil(std::max<std::size_t>(64, 4 * (table_used_ + bands_))));
    for (const std::uint64_t band_key : band_keys(signature)) link(band_key, id);
}

void MinHashLSH::insert(const IndexKey& key, std::span<const std::uint64_t> signature) {
    check_signature(signature);
    if (contains(key)) throw ValueError("key already in the index");
    add_entry(key, signature);
}

void MinHashLSH::update(std::span<const IndexKey> keys, std::span<const std::uint64_t> signatures) {
    if (signatures.size() != keys.size() * num_hashes_) {
        throw ValueError("keys and signatures differ in number");
    }
    std::unordered_map<IndexKey, std::uint32_t, IndexKeyHash> seen;
    for (const IndexKey& key : keys) {
        if (contains(key) || !seen.emplace(key, 0).second) throw ValueError("key already in the index");
    }
    reserve(keys_.size() + keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) add_entry(keys[i], signatures.subspan(i * num_hashes_, num_hashes_));
}

std::vector<const IndexKey*> MinHashLSH::query(std::span<const std::uint64_t> signature) const {
    check_signature(signature);
    std::vector<std::uint32_t> ids;
    for (const std::uint64_t key : band_keys(signature)) {
        for_each_in_band(key, [&](std::uint32_t id) { ids.push_back(id); });
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::vector<const IndexKey*> candidates;
    candidates.reserve(ids.size());
    for (const std::uint32_t id : ids) candidates.push_back(&keys_[id]);
    return candidates;
}

void MinHashLSH::remove(const IndexKey& key) {
    const auto found = ids_.find(key);
    if (found == ids_.end()) throw ValueError("key not in the index");
    const std::uint32_t id = found->second;
    for (std::uint64_t band = 0; band < bands_; ++band) unlink(band_key(signature_of(id), band), id);
    ids_.erase(found);
    // The last entry moves into the freed place.
    const auto last = static_cast<std::uint32_t>(keys_.size() - 1);
    if (id != last) {
        for (std::uint64_t band = 0; band < bands_; ++band) relink(band_key(signature_of(last), band), last, id);
        std::copy_n(signatures_.begin() + static_cast<std::ptrdiff_t>(last * num_hashes_), num_hashes_,
                    signatures_.begin() + static_cast<std::ptrdiff_t>(id * num_hashes_));
        keys_[id] = std::move(keys_[last]);
        ids_[keys_[id]] = id;
    }
    keys_.pop_back();
    signatures_.resize(signatures_.size() - num_hashes_);
}

void MinHashLSH::merge(const MinHashLSH& other) {
    require_same_settings("merge", {{"num_hashes", num_hashes_, other.num_hashes_},
                                    {"seed", seed_, other.seed_},
                                    {"bands", bands_, other.bands_},
                                    {"rows", rows_, other.rows_},
                                    {"scheme", static_cast<std::uint64_t>(scheme_),
                                     static_cast<std::uint64_t>(other.scheme_)}});
    // A key in both is one entry when it has one signature: the union keeps it once.
    const auto already_here = [&](std::uint32_t id) {
        const auto found = ids_.find(other.keys_[id]);
        if (found == ids_.end()) return false;
        const auto mine = signature_of(found->second);
        const auto theirs = other.signature_of(id);
        if (!std::equal(mine.begin(), mine.end(), theirs.begin())) {
            throw ValueError("Cannot merge: a key is in both indexes with different signatures");
        }
        return true;
    };
    std::vector<std::uint32_t> new_ids;
    for (std::uint32_t id = 0; id < other.keys_.size(); ++id) {
        if (!already_here(id)) new_ids.push_back(id);
    }
    reserve(keys_.size() + new_ids.size());
    for (const std::uint32_t id : new_ids) add_entry(other.keys_[id], other.signature_of(id));
}

void MinHashLSH::clear() {
    keys_.clear();
    signatures_.clear();
    ids_.clear();
    table_.clear();
    table_used_ = 0;
    lists_.clear();
    free_lists_.clear();
}

// ---- Duplicates -------------------------------------------------------------------------------

namespace {

// Union-find whose root is always the smallest id of its set.
class SmallestRoot {
public:
    explicit SmallestRoot(std::size_t size) : parent_(size) { std::iota(parent_.begin(), parent_.end(), 0u); }
    std::uint32_t find(std::uint32_t id) {
        while (parent_[id] != id) id = parent_[id] = parent_[parent_[id]];
        return id;
    }
    void join(std::uint32_t a, std::uint32_t b) {
        a = find(a);
        b = find(b);
        if (a < b) parent_[b] = a;
        else parent_[a] = b;
    }

private:
    std::vector<std::uint32_t> parent_;
};

}  // namespace

std::vector<std::uint32_t> MinHashLSH::leaders(bool verify) const {
    SmallestRoot groups(keys_.size());
    const auto similar = [&](std::uint32_t a, std::uint32_t b) {
        const auto x = signature_of(a);
        const auto y = signature_of(b);
        std::uint64_t equal = 0;
        for (std::size_t i = 0; i < x.size(); ++i) equal += x[i] == y[i];
        return static_cast<double>(equal) >= threshold_ * static_cast<double>(num_hashes_);
    };
    std::vector<std::uint32_t> members;
    for (const BandSlot& slot : table_) {
        if (slot.first == empty_entry || slot.more == 0) continue;
        members.assign(1, slot.first);
        const auto& more = lists_[slot.more - 1];
        members.insert(members.end(), more.begin(), more.end());
        for (std::size_t i = 1; i < members.size(); ++i) {
            if (!verify) {
                groups.join(members[0], members[i]);
                continue;
            }
            for (std::size_t j = 0; j < i; ++j) {
                if (groups.find(members[i]) != groups.find(members[j]) && similar(members[i], members[j])) {
                    groups.join(members[i], members[j]);
                }
            }
        }
    }
    std::vector<std::uint32_t> leader(keys_.size());
    for (std::uint32_t id = 0; id < keys_.size(); ++id) leader[id] = groups.find(id);
    return leader;
}

KeyGroups MinHashLSH::duplicates(bool verify) const {
    const std::vector<std::uint32_t> leader = leaders(verify);
    std::vector<std::uint32_t> size(keys_.size(), 0);
    for (const std::uint32_t root : leader) ++size[root];
    std::vector<std::size_t> group_of(keys_.size(), SIZE_MAX);
    KeyGroups groups;
    for (std::uint32_t id = 0; id < keys_.size(); ++id) {
        const std::uint32_t root = leader[id];
        if (size[root] < 2) continue;
        if (group_of[root] == SIZE_MAX) {
            group_of[root] = groups.size();
            groups.emplace_back();
        }
        groups[group_of[root]].push_back(&keys_[id]);
    }
    return groups;
}

std::vector<const IndexKey*> MinHashLSH::group_leaders(bool verify) const {
    const std::vector<std::uint32_t> leader = leaders(verify);
    std::vector<const IndexKey*> keys(leader.size());
    for (std::size_t id = 0; id < leader.size(); ++id) keys[id] = &keys_[leader[id]];
    return keys;
}

// ---- Description -------------------------------------------------------------------------------

std::uint64_t MinHashLSH::size_in_bytes() const {
    std::uint64_t bytes = signatures_.capacity() * sizeof(std::uint64_t) + table_.capacity() * sizeof(BandSlot) +
                          keys_.capacity() * sizeof(IndexKey);
    for (const IndexKey& key : keys_) bytes += key.text.capacity() > 15 ? key.text.capacity() + 1 : 0;
    // The key map: a node (key, id, link, cached hash) per key and a bucket pointer each.
    bytes += ids_.size() * (sizeof(IndexKey) + 4 * sizeof(void*)) + ids_.bucket_count() * sizeof(void*);
    for (const auto& list : lists_) bytes += sizeof(list) + list.capacity() * sizeof(std::uint32_t);
    return bytes;
}

std::string MinHashLSH::repr() const {
    char threshold[32];
    std::snprintf(threshold, sizeof threshold, "%.4g", threshold_);
    return "MinHashLSH(threshold=" + std::string(threshold) + ", num_hashes=" + std::to_string(num_hashes_) +
           ", bands=" + std::to_string(bands_) + ", rows=" + std::to_string(rows_) + ", scheme='" +
           std::string(scheme_name(scheme_)) + "', len=" + std::to_string(keys_.size()) + ")";
}

}  // namespace velt
