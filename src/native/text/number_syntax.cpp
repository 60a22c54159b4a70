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

Parse parse_real_ascii(std::string_view text, double& value) noexcept {
    std::string_view s = strip_space(text);
    size_t i = 0, n = s.size();
    bool neg = take_sign(s, i);
    size_t body = i;
    // The decimal digits as mantissa * 10**scale while they fit in 19 digits; `fits`
    // turns false when a non-zero digit had to be dropped.
    uint64_t mantissa = 0;
    int digits = 0;
    int64_t scale = 0;
    bool fits = true;
    size_t int_digits = 0, frac_digits = 0;
    for (; i < n && is_digit(s[i]); ++i, ++int_digits) {
        unsigned d = static_cast<unsigned>(s[i] - '0');
        if (digits < 19) {
            mantissa = mantissa * 10 + d;
            digits += mantissa != 0;
        } else {
            ++scale;
            fits &= d == 0;
        }
    }
    if (i < n && s[i] == '.') {
        for (++i; i < n && is_digit(s[i]); ++i, ++frac_digits) {
            unsigned d = static_cast<unsigned>(s[i] - '0');
            if (digits < 19) {
                mantissa = mantissa * 10 + d;
                digits += mantissa != 0;
                --scale;
            } else {
                fits &= d == 0;
            }
        }
    }
    size_t exp_pos = std::string_view::npos;
    bool mantissa_ok = int_digits + frac_digits > 0;
    int exponent = 0;
    if (mantissa_ok && i < n && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        exp_pos = i++;
        bool exp_neg = take_sign(s, i);
        size_t exp_digits = 0;
        for (; i < n && is_digit(s[i]); ++i, ++exp_digits)
            if (exponent < 100000)
                exponent = exponent * 10 + (s[i] - '0');
            else
                fits = false;  // too large for the fast path; from_chars decides
        if (exp_digits == 0) mantissa_ok = false;
        if (exp_neg) exponent = -exponent;
    }
    if (!mantissa_ok || i < n) {
        // Letters may spell inf/nan, underscores may join digits: the host decides.
        for (char c : s) {
            if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_') {
                if (c != 'e' && c != 'E' && c != 'd' && c != 'D') return Parse::Unsure;
            }
        }
        return Parse::Invalid;
    }
    // Exact when the digits fit in 53 bits and the power of ten is exact: one
    // correctly rounded multiplication or division.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (fits && mantissa > (uint64_t(1) << 53)) {
        while (mantissa % 10 == 0) mantissa /= 10, ++scale;  // trailing zeros
    }
    int64_t e10 = scale + exponent;
    if (fits && mantissa <= (uint64_t(1) << 53) && e10 >= -22 && e10 <= 22) {
        double d = static_cast<double>(mantissa);
        d = e10 < 0 ? d / kPow10[-e10] : d * kPow10[e10];
        value = neg ? -d : d;
        return Parse::Ok;
    }
    const char* b = s.data() + body;
    const char* e = s.data() + n;
    char buf[64];
    if (exp_pos != std::string_view::npos && (s[exp_pos] == 'd' || s[exp_pos] == 'D')) {
        size_t len = n - body;
        if (len > sizeof buf) return Parse::Unsure;
        std::memcpy(buf, b, len);
        buf[exp_pos - body] = 'e';
        b = buf;
        e = buf + len;
    }
    double d = 0;
    auto r = std::from_chars(b, e, d, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != e) return Parse::Unsure;
    value = neg ? -d : d;
    return Parse::Ok;
}

}  // namespace femap
