#include "core/codec/utf8.hpp"

#include <cstdint>

namespace velt::codec {
namespace {

bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Checks the sequence starting at `bytes[i]`, whose first byte is not ASCII.
// Returns its length when valid; otherwise the error (relative to nothing: the caller
// fills in valid_up_to).
struct SequenceCheck {
    std::size_t length;              // valid sequence length, 0 when invalid
    std::optional<std::size_t> bad;  // invalid-sequence length, empty when incomplete
};

SequenceCheck check_sequence(std::string_view bytes, std::size_t i) {
    const auto at = [&](std::size_t j) { return static_cast<std::uint8_t>(bytes[j]); };
    const std::uint8_t first = at(i);
    std::size_t width = 0;
    if (first >= 0xC2 && first <= 0xDF) width = 2;
    else if (first >= 0xE0 && first <= 0xEF) width = 3;
    else if (first >= 0xF0 && first <= 0xF4) width = 4;
    else return {0, 1};

    // The second byte's range depends on the first (no overlongs, no surrogates, <= U+10FFFF).
    std::uint8_t low = 0x80, high = 0xBF;
    if (first == 0xE0) low = 0xA0;
    else if (first == 0xED) high = 0x9F;
    else if (first == 0xF0) low = 0x90;
    else if (first == 0xF4) high = 0x8F;

    if (i + 1 >= bytes.size()) return {0, std::nullopt};
    if (at(i + 1) < low || at(i + 1) > high) return {0, 1};
    for (std::size_t j = 2; j < width; ++j) {
        if (i + j >= bytes.size()) return {0, std::nullopt};
        if (!is_continuation(at(i + j))) return {0, j};
    }
    return {width, std::nullopt};
}

}  // namespace

std::string Utf8Error::description() const {
    if (error_len) {
        return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
               std::to_string(valid_up_to);
    }
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> find_utf8_error(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const SequenceCheck check = check_sequence(bytes, i);
        if (check.length == 0) return Utf8Error{i, check.bad};
        i += check.length;
    }
    return std::nullopt;
}

void append_code_point(std::uint32_t code_point, std::string& out) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

void append_utf8_lossy(std::string_view bytes, std::string& out) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::size_t i = 0;
    std::size_t chunk_start = 0;
    while (i < bytes.size()) {
        if (static_cast<std::uint8_t>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        const SequenceCheck check = check_sequence(bytes, i);
        if (check.length != 0) {
            i += check.length;
            continue;
        }
        out.append(bytes.substr(chunk_start, i - chunk_start));
        out.append(replacement);
        i = check.bad ? i + *check.bad : bytes.size();
        chunk_start = i;
    }
    out.append(bytes.substr(chunk_start));
}

}  // namespace velt::codec
