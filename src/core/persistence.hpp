// The six persistence operations, written once for every structure. A
// structure S provides its record type `S::Record`, `record()`,
// `S::from_record(record)` (which validates the state), its binary `S::format`
// and its `S::file_errors` style.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "core/codec/binary.hpp"
#include "core/codec/json_reader.hpp"
#include "core/codec/json_writer.hpp"
#include "core/codec/record.hpp"
#include "core/error.hpp"
#include "core/file_io.hpp"

namespace velt {

// A structure from a decoded record: the layout version of a versioned record
// first, then the structure's own checks.
template <class S>
S from_record(typename S::Record record) {
    using R = typename S::Record;
    if constexpr (codec::VersionedRecord<R>) {
        if (record.version != R::layout.current) {
            throw ValueError("Unsupported " + std::string(R::layout.structure) + " data version");
        }
    }
    return S::from_record(std::move(record));
}

// use(the structure's record). A structure opened read-only from its file
// keeps its array in the mapping, outside the record: it is written from a
// writable copy.
template <class S, class Use>
decltype(auto) with_record(const S& structure, Use&& use) {
    if constexpr (requires { structure.is_read_only(); }) {
        if (structure.is_read_only()) return use(S(structure).record());
    }
    return use(structure.record());
}

template <class S>
std::string to_bytes(const S& structure) {
    return with_record(structure, [](const auto& record) { return codec::to_binary(record, S::format); });
}

// to_bytes into the buffer that `allocate(size)` returns (see codec::write_binary).
template <class S, class Allocate>
void write_bytes(const S& structure, Allocate&& allocate) {
    with_record(structure, [&](const auto& record) { codec::write_binary(record, S::format, allocate); });
}

template <class S>
S from_bytes(std::string_view data) {
    return from_record<S>(codec::from_binary<typename S::Record>(data, S::format));
}

template <class S>
std::string to_json(const S& structure) {
    return with_record(structure, [](const auto& record) { return codec::to_json(record); });
}

template <class S>
S from_json(std::string_view text) {
    return from_record<S>(codec::from_json<typename S::Record>(text));
}

template <class S>
void save(const S& structure, const std::string& path) {
    save_file(path, to_bytes(structure), S::file_errors);
}

template <class S>
S load(const std::string& path) {
    return from_bytes<S>(load_file(path, S::file_errors));
}

}  // namespace velt
