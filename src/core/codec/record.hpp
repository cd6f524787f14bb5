// The field-visitor convention: one description of a record drives its binary
// payload and its JSON text, in both directions.
//
// A record is a plain struct that names itself and lists its fields once, in
// record order:
//
//     struct BloomFilterData {
//         static constexpr std::string_view record_name = "BloomFilterData";
//         std::vector<std::uint64_t> bits;
//         std::uint64_t num_bits = 0;
//         ...
//         template <class Visitor> void fields(Visitor& visit) {
//             visit("bits", bits);
//             visit("num_bits", num_bits);
//             ...
//         }
//     };
//
// A field that JSON text may leave out is listed with `may_be_absent`; it then
// keeps the value the struct was initialised with. `std::optional` fields may
// always be left out (they read back as empty).
//
// A record whose layout has its own version (apart from the envelope's) states
// it in `layout`, and its field `version` starts from `layout.when_absent`:
//
//     static constexpr codec::LayoutVersion layout{.current = 2, .when_absent = 0, .structure = "MinHash"};
//     std::uint8_t version = layout.when_absent;
//
// Decoding refuses any other version than `current` (see core/persistence.hpp).
//
// Field types: unsigned 8/16/32/64-bit integers, double, std::string (UTF-8
// text), std::vector of any field type, std::array of any field type (a
// fixed-length array), std::optional of any field type, and nested records.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace velt::codec {

struct MayBeAbsent {};
inline constexpr MayBeAbsent may_be_absent{};

template <class T>
concept Record = requires(T& record) {
    { T::record_name } -> std::convertible_to<std::string_view>;
};

// The version of a record's layout, carried in its field "version".
struct LayoutVersion {
    std::uint8_t current;        // the one version written and accepted
    std::uint8_t when_absent;    // what a JSON text that leaves the field out reads as
    std::string_view structure;  // names it in "Unsupported {structure} data version"
};

template <class T>
concept VersionedRecord = Record<T> && requires(T& record) {
    { T::layout } -> std::convertible_to<LayoutVersion>;
    { record.version } -> std::convertible_to<std::uint8_t>;
};

template <class T>
concept UnsignedField = std::same_as<T, std::uint8_t> || std::same_as<T, std::uint16_t> ||
                        std::same_as<T, std::uint32_t> || std::same_as<T, std::uint64_t>;

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

template <class T>
struct IsArray : std::false_type {};
template <class T, std::size_t N>
struct IsArray<std::array<T, N>> : std::true_type {};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
concept VectorField = IsVector<T>::value;
template <class T>
concept ArrayField = IsArray<T>::value;
template <class T>
concept OptionalField = IsOptional<T>::value;

// Writers only read the record; the one `fields` member serves both directions.
template <Record R, class Visitor>
void visit_fields(const R& record, Visitor& visit) {
    const_cast<R&>(record).fields(visit);
}

struct FieldCounter {
    std::size_t n = 0;
    template <class T>
    void operator()(std::string_view, T&, MayBeAbsent = {}) { ++n; }
};

template <Record R>
std::size_t field_count() {
    FieldCounter counter;
    R record{};
    record.fields(counter);
    return counter.n;
}

// The name of a field type as the decoders' messages print it ("u64", "a sequence", ...).
template <class T>
std::string type_description() {
    if constexpr (std::same_as<T, std::uint8_t>) return "u8";
    else if constexpr (std::same_as<T, std::uint16_t>) return "u16";
    else if constexpr (std::same_as<T, std::uint32_t>) return "u32";
    else if constexpr (std::same_as<T, std::uint64_t>) return "u64";
    else if constexpr (std::same_as<T, double>) return "f64";
    else if constexpr (std::same_as<T, std::string>) return "a string";
    else if constexpr (VectorField<T>) return "a sequence";
    else if constexpr (ArrayField<T>) return "an array of length " + std::to_string(std::tuple_size_v<T>);
    else if constexpr (OptionalField<T>) return "option";
    else if constexpr (Record<T>) return "struct " + std::string(T::record_name);
    else static_assert(sizeof(T) == 0, "not a record field type");
}

}  // namespace velt::codec
