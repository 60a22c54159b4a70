#include "number_syntax.hpp"

#include <bit>
#include <charconv>
#include <cstring>

#include "text_bytes.hpp"

namespace femap {

namespace {
inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Consumes an optional sign at s[i]; true when it is a minus. Without a branch:
// signs of values in a file are as good as random.
inline bool take_sign(std::string_view s, size_t& i) noexcept {
    if (i >= s.size()) return false;
    char c = s[i];
    bool minus = c == '-';
    i += static_cast<size_t>(minus | (c == '+'));
    return minus;
}

inline double negate_if(double d, bool neg) noexcept {
    return std::bit_cast<double>(std::bit_cast<uint64_t>(d) ^ (static_cast<uint64_t>(neg) << 63));
}
}  // namespace

Parse parse_int_ascii(std::string_view text, int64_t& value) noexcept {
    std::string_view s = strip_space(text);
    size_t i = 0, n = s.size();
    bool neg = take_sign(s, i);
    size_t first = i;
    uint64_t v = 0;
    for (; i < n && is_digit(s[i]); ++i) v = v * 10 + static_cast<unsigned>(s[i] - '0');
    size_t digits = i - first;
    if (i < n) {
        // An underscore between digits is valid syntax; let the host decide.
        if (s[i] == '_' && digits > 0) return Parse::Unsure;
        return Parse::Invalid;
    }
    if (digits == 0) return Parse::Invalid;
    if (digits > 18) return Parse::Unsure;
    value = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return Parse::Ok;
}

namespace {

// Decides a text that is not a plain decimal: letters other than an exponent may
// spell inf/nan and underscores may join digits, so the host decides those; any
// other text is refused by float() (and by the reading of D as E).
Parse classify_unusual_real(std::string_view s) noexcept {
    for (char c : s) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if ((letter && c != 'e' && c != 'E' && c != 'd' && c != 'D') || c == '_') return Parse::Unsure;
    }
    return Parse::Invalid;
}

// Leading digits of the 8 bytes at p, read as one little-endian word: how many there
// are (0 to 8) and their value. Borrows and carries run towards later bytes only, so
// the bytes before the first non-digit are judged right.
struct EightDigits {
    unsigned count;
    uint64_t value;
};

inline EightDigits eight_digits(const char* p) noexcept {
    uint64_t x;
    std::memcpy(&x, p, 8);
    uint64_t t = x - 0x3030303030303030ULL;
    uint64_t bad = (t | (t + 0x7676767676767676ULL)) & 0x8080808080808080ULL;
    unsigned count = bad ? static_cast<unsigned>(__builtin_ctzll(bad)) / 8 : 8;
    if (count == 0) return {0, 0};
    // Keep the digits, moved up so that the bytes before them read as leading zeros.
    t <<= 8 * (8 - count);
    t = t * 10 + (t >> 8);
    t = (((t & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
         (((t >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >> 32;
    return {count, t};
}

// Reads the digits from p on into mantissa; false when there are more than 19 digits
// in all, which the caller leaves to the general reader.
inline bool take_digits(const char*& p, const char* e, uint64_t& mantissa, int& digits) noexcept {
    static constexpr uint64_t kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    while (std::endian::native == std::endian::little && e - p >= 8) {
        EightDigits d = eight_digits(p);
        if (digits + static_cast<int>(d.count) > 19) return false;
        mantissa = mantissa * kScale[d.count] + d.value;
        digits += static_cast<int>(d.count);
        p += d.count;
        if (d.count < 8) return true;
    }
    for (; p < e && is_digit(*p); ++p, ++digits) {
        if (digits == 19) return false;
        mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    }
    return true;
}

// Short decimals (at most 19 digits, a mantissa below 2**53, a power of ten of at
// most 22): one correctly rounded multiplication or division gives the exact
// result, quicker than the general reader. False leaves the text to it.
bool short_decimal(const char* p, const char* e, double& out) noexcept {
    uint64_t mantissa = 0;
    int digits = 0, scale = 0;
    if (!take_digits(p, e, mantissa, digits)) return false;
    if (p < e && *p == '.') {
        const char* fraction = ++p;
        if (!take_digits(p, e, mantissa, digits)) return false;
        scale = -static_cast<int>(p - fraction);
    }
    if (digits == 0 || mantissa > (uint64_t(1) << 53)) return false;
    if (p < e && (*p == 'e' || *p == 'E' || *p == 'd' || *p == 'D')) {
        ++p;
        std::string_view rest(p, static_cast<size_t>(e - p));
        size_t i = 0;
        bool neg = take_sign(rest, i);
        int exponent = 0, exp_digits = 0;
        for (; i < rest.size() && is_digit(rest[i]) && exp_digits < 4; ++i, ++exp_digits)
            exponent = exponent * 10 + (rest[i] - '0');
        if (exp_digits == 0 || i != rest.size()) return false;
        scale += (1 - 2 * static_cast<int>(neg)) * exponent;
    } else if (p != e) {
        return false;
    }
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (scale < -22 || scale > 22) return false;
    double d = static_cast<double>(mantissa);
    out = scale < 0 ? d / kPow10[-scale] : d * kPow10[scale];
    return true;
}

}  // namespace

Parse parse_real_ascii(std::string_view text, double& value) noexcept {
    std::string_view s = strip_space(text);
    size_t i = 0;
    bool neg = take_sign(s, i);
    const char* b = s.data() + i;
    const char* e = s.data() + s.size();
    // from_chars reads the decimal forms float() reads, and also a sign (ruled out by
    // this test, so "--1" stays refused) and inf/nan (left to the host by it).
    if (b == e || !(is_digit(*b) || *b == '.')) return classify_unusual_real(s);
    double d = 0;
    // A longer text holds more digits than the short path takes: do not scan it twice.
    if (e - b <= 21 && short_decimal(b, e, d)) {
        value = negate_if(d, neg);
        return Parse::Ok;
    }
    auto r = std::from_chars(b, e, d, std::chars_format::general);
    if (r.ec == std::errc() && r.ptr != e && (*r.ptr == 'd' || *r.ptr == 'D')) {
        // A Fortran exponent: read the same text with E in place of the D.
        char buf[128];
        size_t len = static_cast<size_t>(e - b);
        if (len > sizeof buf) return Parse::Unsure;
        std::memcpy(buf, b, len);
        buf[r.ptr - b] = 'e';
        b = buf;
        e = buf + len;
        r = std::from_chars(b, e, d, std::chars_format::general);
    }
    if (r.ec == std::errc::result_out_of_range) return Parse::Unsure;
    if (r.ec != std::errc() || r.ptr != e) return classify_unusual_real(s);
    value = neg ? -d : d;
    return Parse::Ok;
}

}  // namespace femap
