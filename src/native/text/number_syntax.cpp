#include "number_syntax.hpp"

#include <charconv>
#include <cstring>

#include "text_bytes.hpp"

namespace femap {

namespace {
inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Consumes an optional sign at s[i]; true when it is a minus.
inline bool take_sign(std::string_view s, size_t& i) noexcept {
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) return s[i++] == '-';
    return false;
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

// Short decimals (at most 19 digits, a mantissa below 2**53, a power of ten of at
// most 22): one correctly rounded multiplication or division gives the exact
// result, quicker than the general reader. False leaves the text to it.
bool short_decimal(const char* p, const char* e, double& out) noexcept {
    uint64_t mantissa = 0;
    int digits = 0, scale = 0;
    for (; p < e && is_digit(*p); ++p, ++digits) mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    if (p < e && *p == '.') {
        for (++p; p < e && is_digit(*p); ++p, ++digits, --scale)
            mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    }
    if (digits == 0 || digits > 19 || mantissa > (uint64_t(1) << 53)) return false;
    if (p < e && (*p == 'e' || *p == 'E' || *p == 'd' || *p == 'D')) {
        ++p;
        std::string_view rest(p, static_cast<size_t>(e - p));
        size_t i = 0;
        bool neg = take_sign(rest, i);
        int exponent = 0, exp_digits = 0;
        for (; i < rest.size() && is_digit(rest[i]) && exp_digits < 4; ++i, ++exp_digits)
            exponent = exponent * 10 + (rest[i] - '0');
        if (exp_digits == 0 || i != rest.size()) return false;
        scale += neg ? -exponent : exponent;
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
        value = neg ? -d : d;
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
