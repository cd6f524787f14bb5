// libFuzzer target for every decoder: the binary payload and the JSON text of
// each structure's record, then the structure's own validation.
//
// Input: one selector byte, then the payload or text. Anything may be refused
// with a ValueError (or, for absurd sizes, bad_alloc); nothing may crash, and
// whatever is accepted must survive both of its round trips unchanged.
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string_view>

#include "bloom.hpp"
#include "count_min_sketch.hpp"
#include "counting_bloom.hpp"
#include "cuckoo.hpp"
#include "error.hpp"
#include "hyperloglog.hpp"
#include "minhash.hpp"
#include "persistence.hpp"
#include "scalable_bloom.hpp"
#include "topk.hpp"

namespace {

template <class S>
void check_round_trips(const S& structure) {
    const std::string bytes = velt::to_bytes(structure);
    if (velt::to_bytes(velt::from_bytes<S>(bytes)) != bytes) std::abort();
    const std::string text = velt::to_json(structure);
    if (velt::to_json(velt::from_json<S>(text)) != text) std::abort();
}

template <class S>
void decode(std::string_view input, bool as_json) {
    try {
        const S structure = as_json ? velt::from_json<S>(input)
                                    : S::from_record(velt::codec::decode_payload<typename S::Record>(input));
        check_round_trips(structure);
    } catch (const velt::ValueError&) {
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool as_json = data[0] & 1;
    switch ((data[0] >> 1) % 8) {
        case 0: decode<velt::BloomFilter>(input, as_json); break;
        case 1: decode<velt::HyperLogLog>(input, as_json); break;
        case 2: decode<velt::CountMinSketch>(input, as_json); break;
        case 3: decode<velt::MinHash>(input, as_json); break;
        case 4: decode<velt::TopK>(input, as_json); break;
        case 5: decode<velt::CountingBloomFilter>(input, as_json); break;
        case 6: decode<velt::CuckooFilter>(input, as_json); break;
        case 7: decode<velt::ScalableBloomFilter>(input, as_json); break;
    }
    return 0;
}
