// Signatures of many documents at once: each document cut into shingles (word
// or character n-grams of its text, or items given as they are) and signed
// under one of two schemes.
//
// - classic: slot i holds the smallest XXH3 of the shingles seeded with
//   seed + i * G, exactly as MinHash::add computes it, so a row equals the
//   signature of a MinHash(num_hashes, seed) updated with the same shingles.
// - multiply_shift: each shingle is hashed once, h = XXH3(shingle, seed), and
//   slot i holds the smallest a_i * h + b_i (mod 2^64), with a_i odd and b_i
//   drawn from the seed by SplitMix64. Ordered as 64-bit integers, these values
//   compare by their high bits first, which are the multiply-add-shift hash of h
//   (Dietzfelbinger 1996); the low bits only break its ties. One hash and one
//   multiply-add per slot vectorise: the slot loop runs four slots per AVX2
//   instruction where the processor has it, and the same integer arithmetic
//   one slot at a time elsewhere.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/hash.hpp"
#include "core/seeded_hashes.hpp"

namespace velt {

enum class SignatureScheme : std::uint8_t { classic = 0, multiply_shift = 1 };

std::string_view scheme_name(SignatureScheme scheme);
// The scheme named `name`; a ValueError names the choices otherwise.
SignatureScheme scheme_from_name(std::string_view name);

// ---- Shingles -----------------------------------------------------------------------

enum class ShingleKind { word, character };

// Word n-grams are runs of n tokens, split on whitespace as Python's str.split()
// does and joined by one space; character n-grams are runs of n code points. A
// text shorter than n is one shingle; an empty text (or only whitespace, for
// words) has none.
class Shingler {
public:
    // `kind` is "word" or "character"; n must be positive.
    Shingler(std::string_view kind, std::uint64_t n);

    // Calls visit(shingle) for each shingle of the UTF-8 `text`, in order. The
    // view is valid until visit returns.
    template <class Visit>
    void for_each_shingle(std::string_view text, Visit&& visit) {
        if (kind_ == ShingleKind::word) for_each_word_shingle(text, visit);
        else for_each_character_shingle(text, visit);
    }

private:
    struct Token {
        std::size_t start;
        std::size_t end;
    };

    template <class Visit>
    void for_each_word_shingle(std::string_view text, Visit& visit);
    // Writes the text's words to normalised_, one space between each two, and
    // their places there to tokens_.
    void cut_into_words(std::string_view text);
    // Sets whitespace_ to one bit per byte of `text`, set where it is whitespace
    // and past its end, the first byte lowest.
    void mark_whitespace(std::string_view text);
    template <class Visit>
    void for_each_character_shingle(std::string_view text, Visit& visit);

    ShingleKind kind_;
    std::size_t n_;
    std::vector<Token> tokens_;
    std::string normalised_;
    std::vector<std::uint64_t> whitespace_;
    std::vector<std::size_t> code_point_starts_;
};

// ---- Signing ----------------------------------------------------------------------------

// Signs documents one after another, reusing its buffers. Not thread-safe.
class SignatureMaker {
public:
    SignatureMaker(std::uint64_t num_hashes, std::uint64_t seed, SignatureScheme scheme);

    std::uint64_t num_hashes() const { return num_hashes_; }

    // The signature of the document made of `items`, written to `out` (num_hashes slots).
    void sign_items(std::span<const std::string_view> items, std::span<std::uint64_t> out);
    // The signature of the document `text`, cut into shingles by `shingler`.
    void sign_text(std::string_view text, Shingler& shingler, std::span<std::uint64_t> out);

    // The multiply_shift scheme's slot parameters: slot i's value for hash h is
    // multipliers[i] * h + increments[i].
    std::span<const std::uint64_t> multipliers() const { return multipliers_; }
    std::span<const std::uint64_t> increments() const { return increments_; }

private:
    void start(std::span<std::uint64_t> out);
    void add(std::string_view item, std::span<std::uint64_t> out);
    void finish(std::span<std::uint64_t> out);

    std::uint64_t num_hashes_;
    std::uint64_t seed_;
    SignatureScheme scheme_;
    // classic: the seeded XXH3 of each slot.
    SeededHashes slot_hashes_;
    // multiply_shift: the slot parameters and the hashes of the document being signed.
    std::vector<std::uint64_t> multipliers_;
    std::vector<std::uint64_t> increments_;
    std::vector<std::uint64_t> hashes_;
};

// ---- The multiply_shift slot loop ----------------------------------------------------
// signature[i] = min(signature[i], min over h of multipliers[i] * h + increments[i]).

struct SlotParameters {
    std::span<const std::uint64_t> multipliers;
    std::span<const std::uint64_t> increments;
};

// The loop compiled for the target's baseline instruction set, which every
// processor of the target runs.
void lower_slots_baseline(std::span<const std::uint64_t> hashes, SlotParameters slots,
                          std::span<std::uint64_t> signature);
// The fastest loop this processor runs (AVX2 where it has it, else the baseline one).
void lower_slots(std::span<const std::uint64_t> hashes, SlotParameters slots, std::span<std::uint64_t> signature);
// The vectorised loop, or false when this build or processor has none.
bool lower_slots_vectorised(std::span<const std::uint64_t> hashes, SlotParameters slots,
                            std::span<std::uint64_t> signature);

// ---- Shingling, defined here because it visits --------------------------------------

template <class Visit>
void Shingler::for_each_word_shingle(std::string_view text, Visit& visit) {
    cut_into_words(text);
    const std::string_view normalised = normalised_;
    const std::size_t count = tokens_.size();
    if (count == 0) return;
    const std::size_t run = std::min(n_, count);
    for (std::size_t first = 0; first + run <= count; ++first) {
        const std::size_t start = tokens_[first].start;
        visit(normalised.substr(start, tokens_[first + run - 1].end - start));
    }
}

template <class Visit>
void Shingler::for_each_character_shingle(std::string_view text, Visit& visit) {
    if (text.empty()) return;
    code_point_starts_.clear();
    for (std::size_t at = 0; at < text.size(); ++at) {
        // Every byte but a continuation byte (10xxxxxx) starts a code point.
        if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80) code_point_starts_.push_back(at);
    }
    const std::size_t count = code_point_starts_.size();
    code_point_starts_.push_back(text.size());
    if (count <= n_) {
        visit(text);
        return;
    }
    for (std::size_t first = 0; first + n_ <= count; ++first) {
        const std::size_t start = code_point_starts_[first];
        visit(text.substr(start, code_point_starts_[first + n_] - start));
    }
}

}  // namespace velt
