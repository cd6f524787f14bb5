#include "checks.hpp"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "core/persistence.hpp"

namespace velt::fuzz {
namespace {

[[noreturn]] void finding(std::string_view what, std::string_view detail = {}) {
    std::fprintf(stderr, "\nfinding: %.*s", static_cast<int>(what.size()), what.data());
    if (!detail.empty()) std::fprintf(stderr, ": %.*s", static_cast<int>(detail.size()), detail.data());
    std::fprintf(stderr, "\n");
    std::abort();
}

// An accepted structure must read back from both of its forms as itself. The
// binary form is the record field by field, so equal bytes mean equal records.
// Reading back runs the structure's validation again: a decoder that accepted
// a state this validation refuses is caught here too.
template <class S>
void check_round_trips(const S& structure) {
    try {
        const std::string bytes = to_bytes(structure);
        if (to_bytes(from_bytes<S>(bytes)) != bytes) finding("the binary form reads back as another structure");
        const std::string text = to_json(structure);
        const S from_text = from_json<S>(text);
        if (to_bytes(from_text) != bytes) finding("the JSON text reads back as another structure");
        if (to_json(from_text) != text) finding("the JSON text read back is written differently");
    } catch (const std::exception& error) {
        finding("an accepted structure does not read back", error.what());
    }
}

// A decoder either refuses its input with one of the system's error kinds (or
// bad_alloc, which users see as MemoryError) or gives a structure that passes
// check_round_trips.
template <class S, class Decode>
void check_decoder(Decode decode) {
    std::optional<S> structure;
    try {
        structure.emplace(decode());
    } catch (const ValueError&) {
        return;
    } catch (const OverflowError&) {
        return;
    } catch (const std::bad_alloc&) {
        return;
    } catch (const std::exception& error) {
        finding("the decoder threw an exception of no error kind", error.what());
    }
    check_round_trips(*structure);
}

}  // namespace

template <class S>
void check_from_bytes(std::string_view payload) {
    check_decoder<S>([payload] { return from_bytes<S>(codec::encode_envelope(S::format, payload)); });
}

template <class S>
void check_from_json(std::string_view text) {
    check_decoder<S>([text] { return from_json<S>(text); });
}

void check_envelope(std::string_view data) {
    static constexpr std::array formats{BloomFilter::format,
                                        CountingBloomFilter::format,
                                        ScalableBloomFilter::format,
                                        CuckooFilter::format,
                                        HyperLogLog::format,
                                        CountMinSketch::format,
                                        MinHash::format,
                                        TopK::format,
                                        BlockedBloomFilter::format,
                                        MinHashLSH::format};
    for (const codec::Format format : formats) {
        std::string_view payload;
        try {
            payload = codec::decode_envelope(data, format);
        } catch (const ValueError&) {
            continue;
        }
        // Every header field is either checked or derived from the payload.
        if (codec::encode_envelope(format, payload) != data) finding("an accepted envelope is written differently");
    }
}

#define VELT_FUZZ_DEFINE_CHECKS(S)                       \
    template void check_from_bytes<S>(std::string_view); \
    template void check_from_json<S>(std::string_view);
VELT_FUZZ_DEFINE_CHECKS(BloomFilter)
VELT_FUZZ_DEFINE_CHECKS(CountingBloomFilter)
VELT_FUZZ_DEFINE_CHECKS(ScalableBloomFilter)
VELT_FUZZ_DEFINE_CHECKS(CuckooFilter)
VELT_FUZZ_DEFINE_CHECKS(HyperLogLog)
VELT_FUZZ_DEFINE_CHECKS(CountMinSketch)
VELT_FUZZ_DEFINE_CHECKS(MinHash)
VELT_FUZZ_DEFINE_CHECKS(TopK)
VELT_FUZZ_DEFINE_CHECKS(BlockedBloomFilter)
VELT_FUZZ_DEFINE_CHECKS(MinHashLSH)
#undef VELT_FUZZ_DEFINE_CHECKS

}  // namespace velt::fuzz
