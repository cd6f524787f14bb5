// Filters opened in place: a saved filter whose record starts with its array
// of 64-bit words (the Bloom filters' bits and blocks) is mapped read-only,
// and its words are read from the mapping where the file keeps them, instead
// of being loaded into memory of the process's own. The stored format is
// unchanged, so the words sit 29 bytes into the file (the envelope, then the
// word count): every word is read with an unaligned little-endian load, which
// costs nothing more than an aligned one on x86-64 and aarch64.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/codec/binary.hpp"
#include "core/error.hpp"
#include "core/large_array.hpp"
#include "core/platform/file_mapping.hpp"

namespace velt {

class MappedWords {
public:
    MappedWords(platform::FileMapping mapping, const char* first, std::uint64_t count)
        : mapping_(std::move(mapping)), first_(first), count_(count) {}

    std::uint64_t operator[](std::uint64_t i) const { return codec::load_le<std::uint64_t>(first_ + 8 * i); }
    // The address of word i, to prefetch.
    const char* address(std::uint64_t i) const { return first_ + 8 * i; }
    std::uint64_t size() const { return count_; }

    // The words in memory of the process's own.
    LargeArray<std::uint64_t> copy() const {
        require_whole_file();
        LargeArray<std::uint64_t> words(count_);
        for (std::uint64_t i = 0; i < count_; ++i) words[i] = (*this)[i];
        return words;
    }

    // Throws ValueError when another program has truncated the file since it
    // was mapped: reading the cut-off pages would stop the process.
    void require_whole_file() const {
        if (!mapping_.file_is_whole()) throw ValueError("Read error: the file was truncated while it was open");
    }

private:
    platform::FileMapping mapping_;
    const char* first_;
    std::uint64_t count_;
};

// Prefetching reads the word at `address`, whether owned or mapped.
inline const void* word_address(const std::uint64_t* words, std::uint64_t i) { return words + i; }
inline const void* word_address(const MappedWords& words, std::uint64_t i) { return words.address(i); }

// A record whose first field is a sequence of 64-bit words, opened in place:
// its other fields decoded (`fields`, whose word array stays empty) and its
// words in the mapping.
template <class Record>
struct OpenedRecord {
    Record fields;
    MappedWords words;
};

// Maps the file at `path` and checks it as `load` would, with the same
// messages: the envelope (its checksum only when `verify_checksum`), then the
// payload's fields. The structure's own checks are left to the caller.
template <class Record>
OpenedRecord<Record> open_record(const std::string& path, codec::Format format, bool verify_checksum) {
    platform::FileMapping mapping;
    if (const auto failure = platform::FileMapping::map(path, mapping)) {
        const bool opening = failure->step == platform::MappingFailure::Step::open;
        throw ValueError((opening ? "Cannot open file: " : "Read error: ") + failure->reason);
    }
    const std::string_view payload =
        codec::decode_envelope({mapping.data(), mapping.size()}, format, verify_checksum);
    // The word count, then the words, then the other fields, whose size the
    // payload of a record without words shows.
    if (payload.size() < 8) codec::throw_unexpected_end();
    const auto count = codec::load_le<std::uint64_t>(payload.data());
    if (count > (payload.size() - 8) / 8) codec::throw_unexpected_end();
    static const std::string no_words = codec::to_binary(Record{}, format).substr(codec::envelope_header_size);
    const std::string_view rest = payload.substr(8 + 8 * count, no_words.size() - 8);
    Record fields = codec::decode_payload<Record>(no_words.substr(0, 8) + std::string(rest));
    return {std::move(fields), MappedWords(std::move(mapping), payload.data() + 8, count)};
}

}  // namespace velt
