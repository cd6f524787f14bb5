// The decimal text of doubles, written and read, against exact expectations and,
// where the standard library has floating-point std::to_chars and std::from_chars,
// against them: random bit patterns, subnormals, powers of two and their
// neighbours, integers near 2^53, the doubles of the golden records, random
// decimal texts and midpoints between doubles.
//
// VELT_NUMBER_TEXT_CASES sets the random cases of each kind (default 100000;
// the midpoints, slower, a hundredth of it): `make test-number-text-long` runs
// 10^8.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/codec/json_writer.hpp"
#include "core/codec/number_text.hpp"

namespace velt::codec {
namespace {

std::uint64_t random_cases() {
    const char* const text = std::getenv("VELT_NUMBER_TEXT_CASES");
    return text == nullptr ? 100'000 : std::strtoull(text, nullptr, 10);
}

std::uint64_t bits_of(double value) { return std::bit_cast<std::uint64_t>(value); }

std::string hex(std::uint64_t bits) {
    char text[20];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return text;
}

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double largest = std::numeric_limits<double>::max();

// Counts the cases of one kind and reports the first few that fail: a fault
// would otherwise fill the log with millions.
class Tally {
public:
    explicit Tally(std::string kind) : kind_(std::move(kind)) {}

    template <class Describe>
    void check(bool passed, Describe describe) {
        ++cases_;
        if (!passed && failures_++ < 10) ADD_FAILURE() << kind_ << ": " << describe();
    }

    void finish() const {
        std::printf("[ number text ] %s: %llu cases, %llu failed\n", kind_.c_str(),
                    static_cast<unsigned long long>(cases_), static_cast<unsigned long long>(failures_));
        EXPECT_EQ(failures_, 0U) << kind_;
    }

private:
    std::string kind_;
    std::uint64_t cases_ = 0;
    std::uint64_t failures_ = 0;
};

#ifdef __cpp_lib_to_chars
// The standard library's shortest digits of |value|, from its "d.ddde+XX".
ShortestDecimal library_shortest(double value) {
    char text[40];
    const char* const end =
        std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::scientific).ptr;
    ShortestDecimal decimal;
    int count = 0;
    const char* p = text;
    for (; *p != 'e'; ++p) {
        if (*p == '.') continue;
        decimal.digits = decimal.digits * 10 + static_cast<std::uint64_t>(*p - '0');
        ++count;
    }
    ++p;
    if (*p == '+') ++p;
    std::from_chars(p, end, decimal.exponent);
    decimal.exponent -= count - 1;
    for (; decimal.digits % 10 == 0; decimal.digits /= 10) ++decimal.exponent;
    return decimal;
}

// The standard library's reading, or nothing where it finds the number out of range.
std::optional<double> library_read(std::string_view text) {
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) return std::nullopt;
    return value;
}
#endif

// The writer on one double: its JSON text reads back as the same double, and
// its shortest digits are the standard library's.
void check_writer(double value, Tally& tally) {
    const ShortestDecimal ours = shortest_decimal(value);
    std::string text;
    json_detail::append_json_double(text, value);
    bool passed = bits_of(parse_decimal(text)) == bits_of(value);
#ifdef __cpp_lib_to_chars
    const ShortestDecimal theirs = library_shortest(value);
    passed = passed && ours.digits == theirs.digits && ours.exponent == theirs.exponent;
#endif
    tally.check(passed, [&] {
        return hex(bits_of(value)) + " written " + text + ", digits " + std::to_string(ours.digits) + "e" +
               std::to_string(ours.exponent);
    });
}

// The reader on one text: `expected` when known, and the standard library's
// reading, where it has one; a number it finds out of range is infinite when
// `too_large` and zero otherwise, with the text's sign.
void check_reader(const std::string& text, std::optional<double> expected, bool too_large, Tally& tally) {
    const double ours = parse_decimal(text);
    bool passed = !expected || bits_of(ours) == bits_of(*expected);
#ifdef __cpp_lib_to_chars
    const double negative = text[0] == '-' ? -1.0 : 1.0;
    const double theirs = library_read(text).value_or(negative * (too_large ? infinity : 0.0));
    passed = passed && bits_of(ours) == bits_of(theirs);
#else
    static_cast<void>(too_large);
#endif
    tally.check(passed, [&] { return text + " read as " + hex(bits_of(ours)); });
}

// ---- Writing ----

TEST(NumberTextWriter, RandomBitPatterns) {
    std::mt19937_64 random(1);
    Tally tally("writer, random bit patterns");
    for (std::uint64_t i = 0, cases = random_cases(); i < cases;) {
        const double value = std::bit_cast<double>(random());
        if (!std::isfinite(value) || value == 0) continue;
        check_writer(value, tally);
        ++i;
    }
    tally.finish();
}

TEST(NumberTextWriter, Subnormals) {
    std::mt19937_64 random(2);
    Tally tally("writer, subnormals");
    constexpr std::uint64_t largest_fraction = (std::uint64_t{1} << 52) - 1;
    for (std::uint64_t fraction = 1; fraction <= 1000; ++fraction) {
        check_writer(std::bit_cast<double>(fraction), tally);
        check_writer(std::bit_cast<double>(largest_fraction + 1 - fraction), tally);
    }
    for (std::uint64_t i = 0, cases = random_cases(); i < cases;) {
        // Spread over every length of fraction, not only the long ones.
        const std::uint64_t fraction = (random() & largest_fraction) >> (random() % 52);
        if (fraction == 0) continue;
        check_writer(-std::bit_cast<double>(fraction), tally);
        ++i;
    }
    tally.finish();
}

TEST(NumberTextWriter, PowersOfTwoAndOfTenWithTheirNeighbours) {
    Tally tally("writer, powers of two and ten with their neighbours");
    const auto check_around = [&](double power) {
        check_writer(power, tally);
        if (power > std::numeric_limits<double>::denorm_min()) check_writer(std::nextafter(power, 0.0), tally);
        check_writer(std::nextafter(power, infinity), tally);
    };
    for (int e = -1074; e <= 1023; ++e) check_around(std::ldexp(1.0, e));
    for (int e = -323; e <= 308; ++e) check_around(parse_decimal("1e" + std::to_string(e)));
    check_writer(largest, tally);
    tally.finish();
}

TEST(NumberTextWriter, IntegersNear2To53) {
    Tally tally("writer, integers near 2^53");
    constexpr std::int64_t two_to_53 = std::int64_t{1} << 53;
    const auto half = static_cast<std::int64_t>(random_cases() / 2);
    for (std::int64_t i = two_to_53 - half; i < two_to_53 + half; ++i) check_writer(static_cast<double>(i), tally);
    tally.finish();
}

// The golden files keep the writer's text of their doubles: it must read back
// to the double that writes it again byte for byte.
TEST(NumberTextWriter, DoublesOfTheGoldenRecords) {
    Tally tally("writer and reader, doubles of the golden records");
    for (const auto& entry : std::filesystem::directory_iterator(VELT_TEST_DATA_DIR)) {
        if (entry.path().extension() != ".json") continue;
        std::ifstream file(entry.path());
        const std::string json((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (std::size_t i = 0; i < json.size();) {
            if (json[i] == '"') {  // a string: skipped, escapes and all
                for (++i; json[i] != '"'; ++i) i += json[i] == '\\' ? 1 : 0;
                ++i;
                continue;
            }
            const std::size_t end = json.find_first_not_of("+-.0123456789eE", i);
            if (end == i) {
                ++i;
                continue;
            }
            const std::string token = json.substr(i, end - i);
            i = end;
            if (token.find_first_of(".eE") == std::string::npos) continue;  // an integer
            const double value = parse_decimal(token);
            std::string written;
            json_detail::append_json_double(written, value);
            tally.check(written == token, [&] { return token + " written again as " + written; });
            check_reader(token, std::nullopt, false, tally);
            check_writer(value, tally);
        }
    }
    tally.finish();
}

// ---- Reading ----

TEST(NumberTextReader, ExactCases) {
    const struct {
        std::string text;
        double value;
    } cases[] = {
        {"0.1000000000000000055511151231257827021181583404541015625", 0.1},  // 0.1 exactly
        {"9007199254740993", 9007199254740992.0},                             // a midpoint: to even
        {"9007199254740993.0000000000000000000000000000001", 9007199254740994.0},
        {"9007199254740994.9999999999999999999999999999999", 9007199254740994.0},
        {"1.7976931348623157e308", largest},
        {"1.797693134862315807937289714053e308", largest},  // just below the midpoint to infinity
        {"1.797693134862315807937289714054e308", infinity},
        {"1e99999999999999999999999999", infinity},
        {"0.0000000000000000000000000000001e-99999999999999999999", 0.0},
        {"0.000e+999", 0.0},
        {"1" + std::string(400, '0') + "e-400", 1.0},
        {"0." + std::string(400, '0') + "1e401", 1.0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bits_of(parse_decimal(c.text)), bits_of(c.value)) << c.text;
        EXPECT_EQ(bits_of(parse_decimal("-" + c.text)), bits_of(-c.value)) << c.text;
    }
}

// A JSON number of 1 to 25 random digits, the point anywhere, after up to 30
// zeros, with an exponent or not (out of range or subnormal at times), and
// whether it is too large (rather than too small) when out of range: with so
// few digits, that is when the exponent is positive.
std::string random_number_text(std::mt19937_64& random, bool& too_large) {
    const auto below = [&](int n) { return static_cast<int>(random() % static_cast<std::uint64_t>(n)); };
    std::string text = below(2) == 0 ? "-" : "";
    const int count = 1 + below(25);
    std::string digits;
    for (int i = 0; i < count; ++i) digits.push_back(static_cast<char>('0' + below(10)));
    const int integral = below(count + 1);
    if (integral == 0) {
        text += "0.";
        text.append(static_cast<std::size_t>(below(4) == 0 ? below(31) : 0), '0');
        text += digits;
    } else {
        digits[0] = static_cast<char>('1' + below(9));  // no leading zero
        text += digits.substr(0, static_cast<std::size_t>(integral));
        if (integral < count) text += '.' + digits.substr(static_cast<std::size_t>(integral));
    }
    too_large = false;
    if (below(4) == 0) return text;
    text += below(2) == 0 ? "e" : "E";
    const int sign = below(3);
    too_large = sign != 2;
    text += sign == 0 ? "" : sign == 1 ? "+" : "-";
    switch (below(5)) {
        case 0: return text + std::to_string(below(30));
        case 1: return text + std::to_string(below(400));
        case 2: return text + std::to_string(280 + below(60));  // both ends of the range
        case 3: return text + std::to_string(300 + below(30));
        default: return text + (below(100) == 0 ? "123456789012345678901234567890" : std::to_string(below(1000)));
    }
}

TEST(NumberTextReader, RandomDecimalTexts) {
#ifndef __cpp_lib_to_chars
    GTEST_SKIP() << "compared with floating-point std::from_chars, which this library lacks";
#endif
    std::mt19937_64 random(3);
    Tally tally("reader, random decimal texts");
    for (std::uint64_t i = 0, cases = random_cases(); i < cases; ++i) {
        bool too_large = false;
        const std::string text = random_number_text(random, too_large);
        check_reader(text, std::nullopt, too_large, tally);
    }
    tally.finish();
}

// The exact decimal digits of odd x 2^exponent, and the power of ten of the last.
std::pair<std::string, int> exact_decimal(std::uint64_t odd, int exponent) {
    std::vector<std::uint64_t> limbs;  // base 10^9, least significant first
    constexpr std::uint64_t base = 1'000'000'000;
    for (; odd != 0; odd /= base) limbs.push_back(odd % base);
    const auto multiply = [&](std::uint64_t factor) {
        std::uint64_t carry = 0;
        for (std::uint64_t& limb : limbs) {
            carry += limb * factor;
            limb = carry % base;
            carry /= base;
        }
        for (; carry != 0; carry /= base) limbs.push_back(carry % base);
    };
    // A positive power of two as is; a negative one as 5^n x 10^-n.
    for (int n = std::abs(exponent); n > 0; n -= 13) {
        const int step = std::min(n, 13);
        std::uint64_t factor = 1;
        for (int i = 0; i < step; ++i) factor *= exponent > 0 ? 2 : 5;
        multiply(factor);
    }
    std::string digits = std::to_string(limbs.back());
    for (std::size_t i = limbs.size() - 1; i-- > 0;) {
        const std::string part = std::to_string(limbs[i]);
        digits += std::string(9 - part.size(), '0') + part;
    }
    return {digits, std::min(exponent, 0)};
}

// Three texts about the midpoint between the double `lower` and the next one
// up: the midpoint itself (read as the even one of the two), a hair above it
// and a hair below, with every digit.
void check_midpoint(std::uint64_t lower, Tally& tally) {
    const std::uint64_t upper = lower + 1;
    const int biased = static_cast<int>(lower >> 52);
    const std::uint64_t fraction = lower & ((std::uint64_t{1} << 52) - 1);
    const std::uint64_t significand = biased == 0 ? fraction : fraction | std::uint64_t{1} << 52;
    const int exponent = (biased == 0 ? 1 : biased) - 1075;
    const std::pair<std::string, int> exact = exact_decimal(2 * significand + 1, exponent - 1);
    std::string digits = exact.first;
    const auto text = [&](const std::string& d) {
        return d.substr(0, 1) + "." + d.substr(1) + "e" + std::to_string(exact.second + static_cast<int>(digits.size()) - 1);
    };
    const bool too_large = lower == bits_of(largest);
    const double even = std::bit_cast<double>(lower % 2 == 0 ? lower : upper);
    check_reader(text(digits), even, too_large, tally);
    check_reader('-' + text(digits + "0000000000000000000001"), -std::bit_cast<double>(upper), too_large, tally);
    std::size_t last = digits.size() - 1;  // one unit of the last digit less
    for (; digits[last] == '0'; --last) digits[last] = '9';
    --digits[last];
    check_reader(text(digits + "9999999999999999999999"), std::bit_cast<double>(lower), too_large, tally);
}

TEST(NumberTextReader, MidpointsBetweenDoubles) {
    Tally tally("reader, midpoints between doubles");
    // Half the smallest subnormal, about the largest subnormal, 2^53 and the largest double.
    for (const std::uint64_t lower : {std::uint64_t{0}, std::uint64_t{1}, (std::uint64_t{1} << 52) - 1,
                                      std::uint64_t{1} << 52, bits_of(9007199254740992.0), bits_of(largest)}) {
        check_midpoint(lower, tally);
    }
    std::mt19937_64 random(4);
    for (std::uint64_t i = 0, cases = random_cases() / 100; i < cases;) {
        const std::uint64_t lower = random() >> 1;
        if (lower >= bits_of(infinity)) continue;
        check_midpoint(lower, tally);
        ++i;
    }
    tally.finish();
}

}  // namespace
}  // namespace velt::codec
