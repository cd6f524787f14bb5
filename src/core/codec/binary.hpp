// The binary form: a record's payload, written field by field in record order,
// wrapped in the 21-byte envelope (magic, version, payload length, checksum).
//
// Payload rules: integers and doubles little-endian at their own width; a vector
// is a u64 element count then its elements; a std::array its elements alone; text
// a u64 byte count then UTF-8; an optional a tag byte (0 absent, 1 present) then
// the value; a nested record its fields inline. No padding, names or terminator.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/codec/record.hpp"
#include "core/error.hpp"
#include "core/tuning.hpp"

namespace velt::codec {

// ---- Envelope -------------------------------------------------------------

// The header, in order: the structure's magic, the envelope version, the payload's
// length (u64) and the payload's checksum (u64, seeded XXH3); the payload follows.
inline constexpr std::size_t magic_size = 4;
inline constexpr std::size_t version_offset = magic_size;
inline constexpr std::size_t length_offset = version_offset + sizeof(std::uint8_t);
inline constexpr std::size_t checksum_offset = length_offset + sizeof(std::uint64_t);
inline constexpr std::size_t envelope_header_size = checksum_offset + sizeof(std::uint64_t);
static_assert(envelope_header_size == 21, "the envelope's layout is fixed by the format");
// Seed of the payload checksum: the ASCII bytes "VELTSKET" read big-endian.
inline constexpr std::uint64_t checksum_seed = 0x56454C54534B4554ULL;

// Identifies a structure's binary form: four ASCII magic bytes and the one
// envelope version it writes and reads.
struct Format {
    std::string_view magic;
    std::uint8_t version;
};

// Header and payload as one byte string.
std::string encode_envelope(Format format, std::string_view payload);

// Writes the 21 header bytes for `payload` at `out`.
void write_envelope_header(char* out, Format format, std::string_view payload);

// The payload of `data` after checking magic, version, length and checksum, in
// that order; throws ValueError with the envelope's messages. Without
// `verify_checksum` the payload is not hashed (for a trusted file opened in place).
std::string_view decode_envelope(std::string_view data, Format format, bool verify_checksum = true);

// ---- Little-endian scalars ------------------------------------------------

// memcpy that accepts the null data pointer of an empty container.
inline void copy_bytes(void* to, const void* from, std::size_t size) {
    if (size != 0) std::memcpy(to, from, size);
}

template <class T>
inline void store_le(char* out, T value) {
    if constexpr (std::same_as<T, double>) {
        store_le(out, std::bit_cast<std::uint64_t>(value));
    } else if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, &value, sizeof value);
    } else {
        for (std::size_t i = 0; i < sizeof value; ++i) out[i] = static_cast<char>(value >> (8 * i));
    }
}

template <class T>
inline T load_le(const char* in) {
    if constexpr (std::same_as<T, double>) {
        return std::bit_cast<double>(load_le<std::uint64_t>(in));
    } else if constexpr (std::endian::native == std::endian::little) {
        T value;
        std::memcpy(&value, in, sizeof value);
        return value;
    } else {
        T value = 0;
        for (std::size_t i = 0; i < sizeof value; ++i)
            value |= static_cast<T>(static_cast<std::uint8_t>(in[i])) << (8 * i);
        return value;
    }
}

template <class T>
concept ScalarField = UnsignedField<T> || std::same_as<T, double>;

// ---- Writing ----------------------------------------------------------------

// Two passes over the record: one to size the buffer, one to fill it.
class PayloadSizer {
public:
    std::size_t size = 0;

    template <class T>
    void operator()(std::string_view, const T& value, MayBeAbsent = {}) { add(value); }

    template <class T>
    void add(const T& value) {
        if constexpr (ScalarField<T>) {
            size += sizeof(T);
        } else if constexpr (std::same_as<T, std::string>) {
            size += 8 + value.size();
        } else if constexpr (VectorField<T> || ArrayField<T>) {
            if constexpr (VectorField<T>) size += 8;
            if constexpr (ScalarField<typename T::value_type>) {
                size += value.size() * sizeof(typename T::value_type);
            } else {
                for (const auto& element : value) add(element);
            }
        } else if constexpr (OptionalField<T>) {
            size += 1;
            if (value) add(*value);
        } else {
            visit_fields(value, *this);
        }
    }
};

class PayloadWriter {
public:
    explicit PayloadWriter(char* out) : out_(out) {}

    template <class T>
    void operator()(std::string_view, const T& value, MayBeAbsent = {}) { write(value); }

    template <class T>
    void write(const T& value) {
        if constexpr (ScalarField<T>) {
            store_le(out_, value);
            out_ += sizeof(T);
        } else if constexpr (std::same_as<T, std::string>) {
            write(static_cast<std::uint64_t>(value.size()));
            copy_bytes(out_, value.data(), value.size());
            out_ += value.size();
        } else if constexpr (VectorField<T> || ArrayField<T>) {
            using Element = typename T::value_type;
            if constexpr (VectorField<T>) write(static_cast<std::uint64_t>(value.size()));
            if constexpr (ScalarField<Element> && std::endian::native == std::endian::little) {
                copy_bytes(out_, value.data(), value.size() * sizeof(Element));
                out_ += value.size() * sizeof(Element);
            } else {
                for (const auto& element : value) write(element);
            }
        } else if constexpr (OptionalField<T>) {
            write(static_cast<std::uint8_t>(value ? 1 : 0));
            if (value) write(*value);
        } else {
            visit_fields(value, *this);
        }
    }

private:
    char* out_;
};

// Writes the record's payload inside its envelope straight into the buffer
// that `allocate(size)` returns, sized up front, so that a large record is
// written once, where it is to stay.
template <Record R, class Allocate>
void write_binary(const R& record, Format format, Allocate&& allocate) {
    PayloadSizer sizer;
    sizer.add(record);
    char* out = allocate(envelope_header_size + sizer.size);
    PayloadWriter writer(out + envelope_header_size);
    writer.write(record);
    write_envelope_header(out, format, {out + envelope_header_size, sizer.size});
}

template <Record R>
std::string to_binary(const R& record, Format format) {
    std::string out;
    write_binary(record, format, [&out](std::size_t size) {
        out.resize(size);
        return out.data();
    });
    return out;
}

// ---- Reading ----------------------------------------------------------------

[[noreturn]] void throw_decode_error(std::string_view detail);
[[noreturn]] void throw_unexpected_end();
void check_utf8_text(std::string_view bytes);

class PayloadReader {
public:
    explicit PayloadReader(std::string_view payload)
        : at_(payload.data()), end_(payload.data() + payload.size()) {}

    template <class T>
    void operator()(std::string_view, T& value, MayBeAbsent = {}) { read(value); }

    template <class T>
    void read(T& value) {
        if constexpr (ScalarField<T>) {
            value = load_le<T>(take(sizeof(T)));
        } else if constexpr (std::same_as<T, std::string>) {
            const std::uint64_t length = read_count();
            if (length > remaining()) throw_unexpected_end();
            const char* bytes = take(length);
            check_utf8_text({bytes, static_cast<std::size_t>(length)});
            value.assign(bytes, length);
        } else if constexpr (VectorField<T>) {
            read_vector(value, read_count());
        } else if constexpr (ArrayField<T>) {
            for (auto& element : value) read(element);
        } else if constexpr (OptionalField<T>) {
            std::uint8_t tag;
            read(tag);
            if (tag > 1) throw_decode_error("tag for enum is not valid, found " + std::to_string(tag));
            if (tag == 1) read(value.emplace());
            else value.reset();
        } else {
            value.fields(*this);
        }
    }

private:
    // A claimed count is never trusted: room is reserved for a bounded number of
    // elements ahead of the bytes that actually arrive.
    template <class V>
    void read_vector(V& vector, std::uint64_t count) {
        using Element = typename V::value_type;
        vector.clear();
        if constexpr (ScalarField<Element>) {
            // Fixed-width elements: all of them must be present before anything is allocated.
            if (count > remaining() / sizeof(Element)) throw_unexpected_end();
            vector.resize(count);
            const char* bytes = take(count * sizeof(Element));
            if constexpr (std::endian::native == std::endian::little) {
                copy_bytes(vector.data(), bytes, count * sizeof(Element));
            } else {
                for (std::size_t i = 0; i < count; ++i) vector[i] = load_le<Element>(bytes + i * sizeof(Element));
            }
        } else {
            vector.reserve(std::min<std::uint64_t>(count, tuning::max_decoder_reservation_bytes / sizeof(Element)));
            for (std::uint64_t i = 0; i < count; ++i) read(vector.emplace_back());
        }
    }

    std::uint64_t read_count() {
        std::uint64_t count;
        read(count);
        return count;
    }

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - at_); }

    const char* take(std::size_t n) {
        if (n > remaining()) throw_unexpected_end();
        const char* start = at_;
        at_ += n;
        return start;
    }

    const char* at_;
    const char* end_;
};

// A record from its payload; bytes after the last field are ignored.
template <Record R>
R decode_payload(std::string_view payload) {
    R record{};
    PayloadReader reader(payload);
    reader.read(record);
    return record;
}

template <Record R>
R from_binary(std::string_view data, Format format) {
    return decode_payload<R>(decode_envelope(data, format));
}

}  // namespace velt::codec
