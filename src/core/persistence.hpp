// The six persistence operations, written once for every structure. A
// structure S provides its record type `S::Record`, `record()`,
// `S::from_record(record)` (which validates), its binary `S::format` and its
// `S::file_errors` style.
#pragma once

#include <string>
#include <string_view>

#include "core/codec/binary.hpp"
#include "core/codec/json_reader.hpp"
#include "core/codec/json_writer.hpp"
#include "core/file_io.hpp"

namespace velt {

template <class S>
std::string to_bytes(const S& structure) {
    return codec::to_binary(structure.record(), S::format);
}

// to_bytes into the buffer that `allocate(size)` returns (see codec::write_binary).
template <class S, class Allocate>
void write_bytes(const S& structure, Allocate&& allocate) {
    codec::write_binary(structure.record(), S::format, allocate);
}

template <class S>
S from_bytes(std::string_view data) {
    return S::from_record(codec::from_binary<typename S::Record>(data, S::format));
}

template <class S>
std::string to_json(const S& structure) {
    return codec::to_json(structure.record());
}

template <class S>
S from_json(std::string_view text) {
    return S::from_record(codec::from_json<typename S::Record>(text));
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
