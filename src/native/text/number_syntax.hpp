// Integer and real conversion of ASCII field text, exactly as int() and float() of
// the text decide, for the forms the fast path is written for. Anything else comes
// back as Unsure and is handed to the interpreter.
#pragma once
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "outcomes.hpp"
#include "powers_of_five.hpp"

namespace femap {

// int(text) for ASCII text: at most 18 digits, no underscores.
Parse parse_int_ascii(std::string_view text, int64_t& value) noexcept;

namespace detail {

inline bool is_digit(char c) noexcept { return unsigned(c - '0') < 10; }

// Consumes an optional sign at p (which must be readable); true for a minus. Without a
// branch: the signs of values in a file are as good as random.
inline bool take_sign(const char*& p) noexcept {
    bool minus = *p == '-';
    p += static_cast<int>(minus | (*p == '+'));
    return minus;
}

// Leading digits of the 8 bytes at p, read as one little-endian word: how many there
// are (0 to 8) and their value. Borrows and carries run towards later bytes only, so
// the bytes before the first non-digit are judged right.
struct EightDigits {
    unsigned count;
    uint64_t value;
};

inline EightDigits eight_digits(uint64_t x) noexcept {
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
// in all, which the caller leaves to the general reader. The text starts at `begin`:
// fewer than 8 bytes before `e` are read as the end of the 8 bytes before it.
inline bool take_digits(const char*& p, const char* e, const char* begin, uint64_t& mantissa, int& digits) noexcept {
    static constexpr uint64_t kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
    auto take = [&](EightDigits d) {
        if (digits + static_cast<int>(d.count) > 19) return false;
        mantissa = mantissa * kScale[d.count] + d.value;
        digits += static_cast<int>(d.count);
        p += d.count;
        return true;
    };
    if constexpr (std::endian::native == std::endian::little) {
        uint64_t x;
        while (e - p >= 8) {
            std::memcpy(&x, p, 8);
            EightDigits d = eight_digits(x);
            if (!take(d)) return false;
            if (d.count < 8) return true;
        }
        if (p < e && e - begin >= 8) {
            std::memcpy(&x, e - 8, 8);
            return take(eight_digits(x >> (8 * (8 - (e - p)))));  // the bytes past e read as 0, not digits
        }
    }
    for (; p < e && is_digit(*p); ++p, ++digits) {
        if (digits == 19) return false;
        mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    }
    return true;
}

// The double nearest to w * 10**q (w below 2**64), with ties to even, by one or two
// 64x128-bit multiplications with the significand of 5**q (Eisel and Lemire's method);
// false for results that are not normal doubles and for the rare products too close
// to a tie to be told apart, which the caller leaves to the general reader.
inline bool scale_by_power_of_ten(uint64_t w, int q, bool neg, double& out) noexcept {
#if defined(__SIZEOF_INT128__)
    using u128 = unsigned __int128;
    if (w == 0 || q < kSmallestPowerOfFive || q > kLargestPowerOfFive) return false;
    const uint64_t* power = &kPowersOfFive[2 * (q - kSmallestPowerOfFive)];
    const int lz = __builtin_clzll(w);
    w <<= lz;
    u128 first = u128(w) * power[0];
    uint64_t high = uint64_t(first >> 64), low = uint64_t(first);
    constexpr uint64_t kPrecisionMask = ~uint64_t(0) >> 55;  // below the 52 + 3 bits kept
    if ((high & kPrecisionMask) == kPrecisionMask) {
        uint64_t second_high = uint64_t((u128(w) * power[1]) >> 64);
        low += second_high;
        high += second_high > low;
        // Still all ones below the kept bits: the truncated powers may be too coarse.
        if (low == ~uint64_t(0) && (q < -27 || q > 55)) return false;
    }
    const int upper = int(high >> 63);
    const int shift = upper + 64 - 52 - 3;
    uint64_t mantissa = high >> shift;
    int power2 = ((217706 * q) >> 16) + 63 + upper - lz + 1023;  // 217706 / 2**16 ~ log2(10)
    if (power2 <= 0) return false;  // subnormal
    // Exactly halfway between two doubles (possible only where 5**q fits in 64 bits):
    // round to even, not up.
    if (low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == high) mantissa &= ~uint64_t(1);
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (uint64_t(2) << 52)) {
        mantissa = uint64_t(1) << 52;
        ++power2;
    }
    mantissa &= ~(uint64_t(1) << 52);
    if (power2 >= 0x7FF) return false;  // overflow: the host's error
    out = std::bit_cast<double>(mantissa | uint64_t(power2) << 52 | uint64_t(neg) << 63);
    return true;
#else
    (void)w, (void)q, (void)neg, (void)out;
    return false;
#endif
}

// The double nearest to (-1 if neg) * mantissa * 10**scale: one correctly rounded
// multiplication or division where the mantissa is below 2**53 and the power of ten at
// most 22, else scale_by_power_of_ten (false where that leaves the number).
inline bool to_double(uint64_t mantissa, int scale, bool neg, double& out) noexcept {
    if (mantissa > (uint64_t(1) << 53) || scale < -22 || scale > 22) return scale_by_power_of_ten(mantissa, scale, neg, out);
    // Both a product and a quotient, one of them by 1 (exact): no branch on the sign of
    // the scale, which varies from value to value. Indexed by scale + 22.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    static constexpr auto kTimes = [] {
        std::array<double, 45> t{};
        for (int s = -22; s <= 22; ++s) t[size_t(s + 22)] = s > 0 ? kPow10[s] : 1;
        return t;
    }();
    static constexpr auto kOver = [] {
        std::array<double, 45> t{};
        for (int s = -22; s <= 22; ++s) t[size_t(s + 22)] = s < 0 ? kPow10[-s] : 1;
        return t;
    }();
    const double d = static_cast<double>(mantissa) * kTimes[size_t(scale + 22)] / kOver[size_t(scale + 22)];
    out = std::bit_cast<double>(std::bit_cast<uint64_t>(d) ^ (static_cast<uint64_t>(neg) << 63));
    return true;
}

}  // namespace detail

// int(text) for a field of at most nine digits with an optional sign and no white
// space, the common case, inline; false leaves the text to parse_int_ascii.
inline bool parse_small_int(std::string_view t, int32_t& value) noexcept {
    const char* p = t.data();
    const char* e = p + t.size();
    if (p == e) return false;
    bool neg = detail::take_sign(p);
    if (p == e || e - p > 9) return false;
    int32_t v = 0;
    for (; p < e; ++p) {
        if (!detail::is_digit(*p)) return false;
        v = v * 10 + (*p - '0');
    }
    value = neg ? -v : v;
    return true;
}

// The plain decimal at the start of [p, e): an optional sign, at most 19 digits with
// an optional point, an optional exponent with E, e, D or d and at most 4 digits, that
// is a normal double. A mantissa below 2**53 with a power of ten of at most 22 takes
// one correctly rounded multiplication or division; any other (FEMAP's 17 digits) the
// 128-bit product with a power of five. Returns where the number ends (the first byte
// not read), or null when the text there is not such a number. Inline, with the signs
// read without a branch (signs of values in a file are as good as random).
inline const char* parse_real_prefix(const char* p, const char* e, double& out) noexcept {
    const char* const begin = p;
    if (p == e) return nullptr;
    bool neg = detail::take_sign(p);
    uint64_t mantissa = 0;
    int digits = 0, scale = 0;
    if (e - p >= 2 && detail::is_digit(p[0]) && p[1] == '.') {
        // The form of scientific notation: one digit before the point.
        mantissa = unsigned(p[0] - '0');
        digits = 1;
        ++p;
    } else if (!detail::take_digits(p, e, begin, mantissa, digits)) {
        return nullptr;
    }
    if (p < e && *p == '.') {
        const char* fraction = ++p;
        if (!detail::take_digits(p, e, begin, mantissa, digits)) return nullptr;
        scale = -static_cast<int>(p - fraction);
    }
    if (digits == 0) return nullptr;
    if (p < e && ((*p | 0x20) == 'e' || (*p | 0x20) == 'd')) {
        ++p;
        if (p == e) return nullptr;
        bool exp_neg = detail::take_sign(p);
        int exponent = 0, exp_digits = 0;
        for (; p < e && detail::is_digit(*p) && exp_digits < 4; ++p, ++exp_digits) exponent = exponent * 10 + (*p - '0');
        if (exp_digits == 0) return nullptr;
        scale += (1 - 2 * static_cast<int>(exp_neg)) * exponent;
    }
    return detail::to_double(mantissa, scale, neg, out) ? p : nullptr;
}

// float(text) for the texts that are one such number and nothing else; false leaves
// the text to parse_real_ascii.
inline bool parse_short_real(std::string_view t, double& out) noexcept {
    // More digits than this path takes: do not read them twice.
    if (t.empty() || t.size() > 27) return false;
    return parse_real_prefix(t.data(), t.data() + t.size(), out) == t.data() + t.size();
}

// What parse_real_ascii decides about a text that parse_short_real leaves.
Parse parse_real_rest(std::string_view text, double& value) noexcept;

// float(text) for ASCII text, also reading one exponent letter D or d as E.
inline Parse parse_real_ascii(std::string_view text, double& value) noexcept {
    return parse_short_real(text, value) ? Parse::Ok : parse_real_rest(text, value);
}

}  // namespace femap
