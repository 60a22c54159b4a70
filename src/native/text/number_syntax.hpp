// Integer and real conversion of ASCII field text, exactly as int() and float() of
// the text decide, for the forms the fast path is written for. Anything else comes
// back as Unsure and is handed to the interpreter.
#pragma once
#include <cstdint>
#include <string_view>

namespace femap {

enum class Parse : uint8_t {
    Ok,       // converted; the value is exact
    Invalid,  // the host's conversion raises ValueError for this text
    Unsure,   // not decided here (underscores, long digit strings, inf/nan, ...)
};

// int(text) for ASCII text: at most 18 digits, no underscores.
Parse parse_int_ascii(std::string_view text, int64_t& value) noexcept;

// int(text) for a field of at most nine digits with an optional sign and no white
// space, the common case, inline; false leaves the text to parse_int_ascii.
inline bool parse_small_int(std::string_view t, int32_t& value) noexcept {
    size_t i = 0, n = t.size();
    bool neg = n > 0 && t[0] == '-';
    if (n > 0 && (t[0] == '-' || t[0] == '+')) i = 1;
    if (i == n || n - i > 9) return false;
    int32_t v = 0;
    for (; i < n; ++i) {
        unsigned d = static_cast<unsigned char>(t[i]) - unsigned('0');
        if (d > 9) return false;
        v = v * 10 + static_cast<int32_t>(d);
    }
    value = neg ? -v : v;
    return true;
}

// float(text) for ASCII text, also reading one exponent letter D or d as E.
Parse parse_real_ascii(std::string_view text, double& value) noexcept;

}  // namespace femap
