#include "inputs.hpp"

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace velt::bench {
namespace {

struct ItemSet {
    std::vector<std::string> keys;
    std::vector<std::string_view> views;
};

ItemSet make_short_items() {
    ItemSet set;
    set.keys.reserve(item_count);
    for (std::size_t i = 0; i < item_count; ++i) set.keys.push_back("user-" + std::to_string(i));
    set.views.assign(set.keys.begin(), set.keys.end());
    return set;
}

ItemSet make_zipf_items() {
    constexpr std::size_t key_count = 100'000;
    ItemSet set;
    std::vector<double> weights(key_count);
    for (std::size_t rank = 0; rank < key_count; ++rank) {
        set.keys.push_back("key-" + std::to_string(rank));
        weights[rank] = 1.0 / std::pow(static_cast<double>(rank + 1), 1.1);
    }
    std::mt19937_64 random(20240607);
    std::discrete_distribution<std::size_t> draw(weights.begin(), weights.end());
    set.views.reserve(item_count);
    for (std::size_t i = 0; i < item_count; ++i) set.views.push_back(set.keys[draw(random)]);
    return set;
}

}  // namespace

std::span<const std::string_view> short_items() {
    static const ItemSet items = make_short_items();
    return items.views;
}

std::span<const std::string_view> zipf_items() {
    static const ItemSet items = make_zipf_items();
    return items.views;
}

std::span<const std::uint64_t> caller_hashes() {
    static const std::vector<std::uint64_t> hashes = [] {
        std::mt19937_64 random(20240607);
        std::vector<std::uint64_t> values(item_count);
        for (auto& value : values) value = random();
        return values;
    }();
    return hashes;
}

}  // namespace velt::bench
