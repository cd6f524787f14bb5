// The properties every decoder keeps, whatever bytes it is given. Each fuzz
// target feeds its input to one of these checks; a check that finds a property
// broken prints what it found and aborts, and libFuzzer keeps the input.
#pragma once

#include <string_view>

#include "core/blocked_bloom.hpp"
#include "core/bloom.hpp"
#include "core/count_min_sketch.hpp"
#include "core/counting_bloom.hpp"
#include "core/cuckoo.hpp"
#include "core/hyperloglog.hpp"
#include "core/minhash.hpp"
#include "core/minhash_lsh.hpp"
#include "core/scalable_bloom.hpp"
#include "core/topk.hpp"

namespace velt::fuzz {

// `from_bytes` of the structure's binary form around `payload`. The envelope is
// built here, with a correct length and checksum, so that mutations of the
// payload reach the payload decoder and the structure's validation.
template <class S>
void check_from_bytes(std::string_view payload);

// `from_json` of `text`.
template <class S>
void check_from_json(std::string_view text);

// The envelope alone, read with the magic and version of every structure.
void check_envelope(std::string_view data);

// The checks are compiled once, in checks.cpp, for every structure.
#define VELT_FUZZ_DECLARE_CHECKS(S)                             \
    extern template void check_from_bytes<S>(std::string_view); \
    extern template void check_from_json<S>(std::string_view);
VELT_FUZZ_DECLARE_CHECKS(BloomFilter)
VELT_FUZZ_DECLARE_CHECKS(CountingBloomFilter)
VELT_FUZZ_DECLARE_CHECKS(ScalableBloomFilter)
VELT_FUZZ_DECLARE_CHECKS(CuckooFilter)
VELT_FUZZ_DECLARE_CHECKS(HyperLogLog)
VELT_FUZZ_DECLARE_CHECKS(CountMinSketch)
VELT_FUZZ_DECLARE_CHECKS(MinHash)
VELT_FUZZ_DECLARE_CHECKS(TopK)
VELT_FUZZ_DECLARE_CHECKS(MinHashLSH)
#undef VELT_FUZZ_DECLARE_CHECKS

}  // namespace velt::fuzz
