#include "core/signatures.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/error.hpp"
#include "core/length_class.hpp"
#include "core/minhash.hpp"
#include "core/platform/cpu_features.hpp"
#include "core/platform/hints.hpp"
#include "core/tuning.hpp"

namespace velt {

// ---- Schemes -------------------------------------------------------------------------

std::string_view scheme_name(SignatureScheme scheme) {
    return scheme == SignatureScheme::classic ? "classic" : "multiply_shift";
}

SignatureScheme scheme_from_name(std::string_view name) {
    if (name == "classic") return SignatureScheme::classic;
    if (name == "multiply_shift") return SignatureScheme::multiply_shift;
    throw ValueError("scheme must be 'classic' or 'multiply_shift'");
}

// ---- Shingles --------------------------------------------------------------------------

Shingler::Shingler(std::string_view kind, std::uint64_t n) : n_(0) {
    if (kind == "word") kind_ = ShingleKind::word;
    else if (kind == "character") kind_ = ShingleKind::character;
    else throw ValueError("shingle must be 'word' or 'character'");
    if (n == 0) throw ValueError("n must be positive");
    // A shingle of more tokens or code points than the address space holds is the whole text.
    n_ = static_cast<std::size_t>(std::min<std::uint64_t>(n, SIZE_MAX));
}

std::size_t multibyte_whitespace_length(std::string_view rest) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(rest[i]); };
    const unsigned char first = byte(0);
    // U+0085 and U+00A0
    if (first == 0xC2 && rest.size() >= 2) return byte(1) == 0x85 || byte(1) == 0xA0 ? 2 : 0;
    if (rest.size() < 3) return 0;
    const unsigned second = byte(1);
    const unsigned third = byte(2);
    if (first == 0xE1) return second == 0x9A && third == 0x80 ? 3 : 0;  // U+1680
    if (first == 0xE3) return second == 0x80 && third == 0x80 ? 3 : 0;  // U+3000
    if (first != 0xE2) return 0;
    // U+2000 .. U+200A, U+2028, U+2029, U+202F
    if (second == 0x80) return third <= 0x8A || third == 0xA8 || third == 0xA9 || third == 0xAF ? 3 : 0;
    return second == 0x81 && third == 0x9F ? 3 : 0;  // U+205F
}

// ---- Signing ---------------------------------------------------------------------------

SignatureMaker::SignatureMaker(std::uint64_t num_hashes, std::uint64_t seed, SignatureScheme scheme)
    : num_hashes_(num_hashes), seed_(seed), scheme_(scheme) {
    if (num_hashes == 0) throw ValueError("num_hashes must be positive");
    if (num_hashes > std::vector<std::uint64_t>().max_size()) throw std::bad_alloc();
    const auto slots = static_cast<std::size_t>(num_hashes);
    if (scheme == SignatureScheme::classic) {
        slot_seeds_.resize(slots);
        std::uint64_t slot_seed = seed;
        for (std::uint64_t& each : slot_seeds_) {
            each = slot_seed;
            slot_seed += golden_gamma;
        }
    } else {
        // Slot i takes the SplitMix64 outputs 2i + 1 and 2i + 2 after the seed.
        multipliers_.resize(slots);
        increments_.resize(slots);
        std::uint64_t state = seed;
        for (std::size_t i = 0; i < slots; ++i) {
            multipliers_[i] = splitmix_finalise(state += golden_gamma) | 1;
            increments_[i] = splitmix_finalise(state += golden_gamma);
        }
    }
}

void SignatureMaker::start(std::span<std::uint64_t> out) {
    std::fill(out.begin(), out.end(), MinHash::empty_slot);
    hashes_.clear();
}

void SignatureMaker::finish(std::span<std::uint64_t> out) {
    if (scheme_ == SignatureScheme::multiply_shift) lower_slots(hashes_, {multipliers_, increments_}, out);
}

namespace {

// Lowers every slot of `out` to the seeded XXH3 of an item of one length class.
template <class LengthClass>
VELT_FLATTEN void lower_by_seeded_hash(std::string_view item, std::span<const std::uint64_t> seeds,
                                           std::span<std::uint64_t> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        LengthClass::assume(item);
        out[i] = std::min(out[i], hash_with_seed(item, seeds[i]));
    }
}

}  // namespace

void SignatureMaker::add_long_classic(std::string_view item, std::span<std::uint64_t> out) {
    if (slot_seeds_.size() > tuning::classic_secret_slots) {
        lower_by_seeded_hash<LengthClass<241, SIZE_MAX>>(item, slot_seeds_, out);
        return;
    }
    if (slot_secrets_.empty()) {
        slot_secrets_.resize(slot_seeds_.size() * XXH3_SECRET_DEFAULT_SIZE);
        for (std::size_t i = 0; i < slot_seeds_.size(); ++i) {
            XXH3_generateSecret_fromSeed(&slot_secrets_[i * XXH3_SECRET_DEFAULT_SIZE], slot_seeds_[i]);
        }
    }
    // With the secret that XXH3_generateSecret_fromSeed makes from the seed, this
    // is exactly XXH3_64bits_withSeed (xxhash.h promises it for every length).
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint64_t hash = XXH3_64bits_withSecretandSeed(
            item.data(), item.size(), &slot_secrets_[i * XXH3_SECRET_DEFAULT_SIZE], XXH3_SECRET_DEFAULT_SIZE,
            slot_seeds_[i]);
        out[i] = std::min(out[i], hash);
    }
}

void SignatureMaker::add(std::string_view item, std::span<std::uint64_t> out) {
    if (scheme_ == SignatureScheme::multiply_shift) {
        hashes_.push_back(hash_with_seed(item, seed_));
        return;
    }
    if (item.size() > 240) {
        add_long_classic(item, out);
        return;
    }
    with_length_class(item, [&](auto length_class) {
        lower_by_seeded_hash<decltype(length_class)>(item, slot_seeds_, out);
    });
}

void SignatureMaker::sign_items(std::span<const std::string_view> items, std::span<std::uint64_t> out) {
    start(out);
    for (std::string_view item : items) add(item, out);
    finish(out);
}

void SignatureMaker::sign_text(std::string_view text, Shingler& shingler, std::span<std::uint64_t> out) {
    start(out);
    shingler.for_each_shingle(text, [&](std::string_view shingle) { add(shingle, out); });
    finish(out);
}

// ---- The multiply_shift slot loop --------------------------------------------------------

namespace {

// One loop for both instruction sets: slots in groups of `group`, kept in
// registers while every hash goes by, so the compiler vectorises across a group.
VELT_ALWAYS_INLINE inline void lower_slots_in_groups(std::span<const std::uint64_t> hashes,
                                                         SlotParameters slots, std::span<std::uint64_t> signature) {
    constexpr std::size_t group = 8;
    const std::uint64_t* const multipliers = slots.multipliers.data();
    const std::uint64_t* const increments = slots.increments.data();
    std::uint64_t* const out = signature.data();
    const std::size_t count = signature.size();
    std::size_t first = 0;
    for (; first + group <= count; first += group) {
        std::uint64_t lowest[group];
        for (std::size_t j = 0; j < group; ++j) lowest[j] = out[first + j];
        for (const std::uint64_t hash : hashes) {
            for (std::size_t j = 0; j < group; ++j) {
                const std::uint64_t value = multipliers[first + j] * hash + increments[first + j];
                lowest[j] = value < lowest[j] ? value : lowest[j];
            }
        }
        for (std::size_t j = 0; j < group; ++j) out[first + j] = lowest[j];
    }
    for (; first < count; ++first) {
        std::uint64_t lowest = out[first];
        for (const std::uint64_t hash : hashes) lowest = std::min(lowest, multipliers[first] * hash + increments[first]);
        out[first] = lowest;
    }
}

#if VELT_HAS_AVX2_VARIANT
VELT_TARGET_AVX2 void lower_slots_avx2(std::span<const std::uint64_t> hashes, SlotParameters slots,
                                       std::span<std::uint64_t> signature) {
    lower_slots_in_groups(hashes, slots, signature);
}
#endif

}  // namespace

void lower_slots_baseline(std::span<const std::uint64_t> hashes, SlotParameters slots,
                          std::span<std::uint64_t> signature) {
    lower_slots_in_groups(hashes, slots, signature);
}

bool lower_slots_vectorised(std::span<const std::uint64_t> hashes, SlotParameters slots,
                            std::span<std::uint64_t> signature) {
#if VELT_HAS_AVX2_VARIANT
    if (platform::cpu_has_avx2()) {
        lower_slots_avx2(hashes, slots, signature);
        return true;
    }
#else
    (void)hashes, (void)slots, (void)signature;
#endif
    return false;
}

void lower_slots(std::span<const std::uint64_t> hashes, SlotParameters slots, std::span<std::uint64_t> signature) {
    if (!lower_slots_vectorised(hashes, slots, signature)) lower_slots_baseline(hashes, slots, signature);
}

}  // namespace velt
