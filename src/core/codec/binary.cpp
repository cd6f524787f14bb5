#include "core/codec/binary.hpp"

#include "core/codec/utf8.hpp"
#include "core/hash.hpp"

namespace velt::codec {

void write_envelope_header(char* out, Format format, std::string_view payload) {
    std::memcpy(out, format.magic.data(), magic_size);
    out[version_offset] = static_cast<char>(format.version);
    store_le(out + length_offset, static_cast<std::uint64_t>(payload.size()));
    store_le(out + checksum_offset, hash_with_seed(payload, checksum_seed));
}

std::string encode_envelope(Format format, std::string_view payload) {
    std::string out;
    out.reserve(envelope_header_size + payload.size());
    out.resize(envelope_header_size);
    out.append(payload);
    write_envelope_header(out.data(), format, payload);
    return out;
}

std::string_view decode_envelope(std::string_view data, Format format, bool verify_checksum) {
    // The cheap header checks come first; the payload is hashed only when they pass.
    if (data.size() < envelope_header_size || data.substr(0, magic_size) != format.magic) {
        throw ValueError("invalid Velt binary format");
    }
    const auto version = static_cast<std::uint8_t>(data[version_offset]);
    if (version != format.version) {
        throw ValueError("unsupported binary format version: " + std::to_string(version) + " (expected " +
                         std::to_string(format.version) + ")");
    }
    const std::string_view payload = data.substr(envelope_header_size);
    if (load_le<std::uint64_t>(data.data() + length_offset) != payload.size()) {
        throw ValueError("binary payload length does not match header");
    }
    if (verify_checksum &&
        load_le<std::uint64_t>(data.data() + checksum_offset) != hash_with_seed(payload, checksum_seed)) {
        throw ValueError("binary payload checksum mismatch");
    }
    return payload;
}

void throw_decode_error(std::string_view detail) {
    throw ValueError("Deserialization error: " + std::string(detail));
}

void throw_unexpected_end() { throw_decode_error("io error: unexpected end of file"); }

void check_utf8_text(std::string_view bytes) {
    if (const auto error = find_utf8_error(bytes)) {
        throw_decode_error("string is not valid utf8: " + error->description());
    }
}

}  // namespace velt::codec
