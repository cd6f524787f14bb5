#include "core/signatures.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "core/codec/binary.hpp"
#include "core/error.hpp"
#include "core/minhash.hpp"
#include "core/platform/cpu_features.hpp"
#include "core/platform/vector_lanes.hpp"

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

namespace {

// The length in bytes of the non-ASCII whitespace character (as str.isspace()
// decides) that `rest` starts with, or 0 when it starts with none.
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

constexpr std::uint64_t every_byte = 0x0101010101010101ULL;
constexpr std::uint64_t high_bits = 0x8080808080808080ULL;

// The ASCII whitespace among eight bytes (the first lowest), one bit per byte.
std::uint64_t ascii_whitespace_of_eight(std::uint64_t eight) {
    // Every byte raised to 0x80 or more: taking up to 0x21 from each borrows
    // from no neighbour, and leaves a byte's high bit set exactly where its low
    // seven bits were at least that much.
    const std::uint64_t raised = eight | high_bits;
    const auto at_least = [raised](std::uint64_t low) { return raised - low * every_byte; };
    const std::uint64_t tab_to_return = at_least(0x09) & ~at_least(0x0E);
    const std::uint64_t separators_and_space = at_least(0x1C) & ~at_least(0x21);
    const std::uint64_t marked = (tab_to_return | separators_and_space) & ~eight & high_bits;  // ASCII bytes only
    // Gathers the high bit of byte i to bit 56 + i; no two partial products meet.
    return ((marked >> 7) * 0x0102040810204080ULL) >> 56;
}

}  // namespace

void Shingler::mark_whitespace(std::string_view text) {
    const std::size_t size = text.size();
    whitespace_.assign(size / 64 + 1, 0);
    std::uint64_t* const bits = whitespace_.data();
    for (std::size_t at = 0; at < size; at += 8) {
        // The last bytes padded with NUL, which is not whitespace, to eight.
        std::uint64_t eight = 0;
        if (at + 8 <= size) {
            eight = codec::load_le<std::uint64_t>(text.data() + at);
        } else {
            for (std::size_t i = size; i-- > at;) eight = eight << 8 | static_cast<unsigned char>(text[i]);
        }
        bits[at / 64] |= ascii_whitespace_of_eight(eight) << (at % 64);
        if ((eight & high_bits) == 0) continue;
        // Non-ASCII whitespace, marked from the byte it starts with: never ASCII, never
        // a continuation byte (0x80-0xBF), and not 0xC0 or 0xC1 either.
        for (std::size_t i = at; i < std::min(at + 8, size); ++i) {
            if (static_cast<unsigned char>(text[i]) < 0xC2) continue;
            for (std::size_t end = i + multibyte_whitespace_length(text.substr(i)), j = i; j < end; ++j) {
                bits[j / 64] |= std::uint64_t{1} << (j % 64);
            }
        }
    }
    // Past the end counts as whitespace, so that the last word ends there.
    bits[size / 64] |= ~std::uint64_t{0} << (size % 64);
}

void Shingler::cut_into_words(std::string_view text) {
    mark_whitespace(text);
    // Most words are copied as 16 bytes whatever their length (one move instead
    // of a call): the buffer has room for that past the text's length.
    constexpr std::size_t short_word = 16;
    normalised_.resize(text.size() + short_word);
    char* const out = normalised_.data();
    std::size_t written = 0;
    tokens_.clear();
    // Words start and end where the whitespace bits change; before the text counts as whitespace.
    std::uint64_t before = 1;
    bool in_word = false;
    std::size_t word_start = 0;
    for (std::size_t w = 0; w < whitespace_.size(); ++w) {
        const std::uint64_t space = whitespace_[w];
        for (std::uint64_t changes = space ^ ((space << 1) | before); changes != 0; changes &= changes - 1) {
            const std::size_t at = w * 64 + static_cast<std::size_t>(std::countr_zero(changes));
            if (!in_word) {
                word_start = at;
            } else {
                if (!tokens_.empty()) out[written++] = ' ';
                if (at - word_start <= short_word && word_start + short_word <= text.size()) {
                    std::memcpy(out + written, text.data() + word_start, short_word);
                } else {
                    std::memcpy(out + written, text.data() + word_start, at - word_start);
                }
                tokens_.push_back({written, written + (at - word_start)});
                written += at - word_start;
            }
            in_word = !in_word;
        }
        before = space >> 63;
    }
    normalised_.resize(written);
}

// ---- Signing ---------------------------------------------------------------------------

SignatureMaker::SignatureMaker(std::uint64_t num_hashes, std::uint64_t seed, SignatureScheme scheme)
    : num_hashes_(num_hashes), seed_(seed), scheme_(scheme) {
    if (num_hashes == 0) throw ValueError("num_hashes must be positive");
    if (num_hashes > std::vector<std::uint64_t>().max_size()) throw std::bad_alloc();
    const auto slots = static_cast<std::size_t>(num_hashes);
    if (scheme == SignatureScheme::classic) {
        slot_hashes_ = SeededHashes(slots, seed);
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

void SignatureMaker::add(std::string_view item, std::span<std::uint64_t> out) {
    if (scheme_ == SignatureScheme::multiply_shift) {
        hashes_.push_back(hash_with_seed(item, seed_));
        return;
    }
    slot_hashes_.lower(item, out);
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

// Slot `slot` lowered by every hash, one multiply-add at a time.
inline void lower_slot(std::span<const std::uint64_t> hashes, SlotParameters slots, std::size_t slot,
                       std::span<std::uint64_t> signature) {
    std::uint64_t lowest = signature[slot];
    for (const std::uint64_t hash : hashes) {
        lowest = std::min(lowest, slots.multipliers[slot] * hash + slots.increments[slot]);
    }
    signature[slot] = lowest;
}

// The portable loop: slots in groups of `group`, kept in registers while every
// hash goes by, so that the compiler may vectorise across a group.
void lower_slots_in_groups(std::span<const std::uint64_t> hashes, SlotParameters slots,
                           std::span<std::uint64_t> signature) {
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
    for (; first < count; ++first) lower_slot(hashes, slots, first, signature);
}

#if VELT_HAS_AVX2_LANES
void lower_slots_avx2(std::span<const std::uint64_t> hashes, SlotParameters slots,
                      std::span<std::uint64_t> signature) {
    constexpr std::size_t group = platform::multiply_add_minima_lanes;
    std::size_t first = 0;
    for (; first + group <= signature.size(); first += group) {
        platform::lower_multiply_add_minima(hashes.data(), hashes.size(), &slots.multipliers[first],
                                            &slots.increments[first], &signature[first]);
    }
    for (; first < signature.size(); ++first) lower_slot(hashes, slots, first, signature);
}
#endif

}  // namespace

void lower_slots_baseline(std::span<const std::uint64_t> hashes, SlotParameters slots,
                          std::span<std::uint64_t> signature) {
    lower_slots_in_groups(hashes, slots, signature);
}

bool lower_slots_vectorised(std::span<const std::uint64_t> hashes, SlotParameters slots,
                            std::span<std::uint64_t> signature) {
#if VELT_HAS_AVX2_LANES
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
