#include "number_syntax.hpp"

#include <charconv>
#include <cstring>

#include "text_bytes.hpp"

namespace femap {

namespace {
using detail::is_digit;

// Consumes an optional sign at s[i]; true when it is a minus.
inline bool take_sign(std::string_view s, size_t& i) noexcept {
    if (i >= s.size()) return false;
    const char* p = s.data() + i;
    bool minus = detail::take_sign(p);
    i = static_cast<size_t>(p - s.data());
    return minus;
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

// Decides a text that is not a plain decimal, `start` past its sign: float() reads
// nothing that starts otherwise than with a digit, a point, inf or nan (titles and
// <NULL> among the lines a rule tries); past that, letters other than an exponent
// may spell inf/nan and underscores may join digits, so the host decides those; any
// other text is refused by float() (and by the reading of D as E).
Parse classify_unusual_real(std::string_view s, size_t start) noexcept {
    if (start < s.size()) {
        const char c = s[start], folded = static_cast<char>(c | 0x20);
        if (!is_digit(c) && c != '.' && folded != 'i' && folded != 'n') return Parse::Invalid;
    }
    for (char c : s) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if ((letter && c != 'e' && c != 'E' && c != 'd' && c != 'D') || c == '_') return Parse::Unsure;
    }
    return Parse::Invalid;
}

}  // namespace

Parse parse_real_rest(std::string_view text, double& value) noexcept {
    std::string_view s = strip_space(text);
    if (s.size() != text.size() && parse_short_real(s, value)) return Parse::Ok;
    size_t i = 0;
    bool neg = take_sign(s, i);
    const char* b = s.data() + i;
    const char* e = s.data() + s.size();
    // from_chars reads the decimal forms float() reads, and also a sign (ruled out by
    // this test, so "--1" stays refused) and inf/nan (left to the host by it).
    if (b == e || !(is_digit(*b) || *b == '.')) return classify_unusual_real(s, i);
    double d = 0;
    // A Fortran exponent: the D of the exponent, searched from the end. Any other D
    // (after an E, or a second one) makes the reading stop early and refuse the text.
    const char* letter = e;
    for (const char* q = e; q > b;) {
        char c = static_cast<char>(*--q | 0x20);
        if (c == 'd') letter = q;
        if (c == 'd' || c == 'e' || c == '.') break;
    }
    char buf[128];
    if (letter < e) {
        // Read the text with E in place of that D.
        size_t len = static_cast<size_t>(e - b);
        if (len > sizeof buf) return Parse::Unsure;
        std::memcpy(buf, b, len);
        buf[letter - b] = 'e';
        b = buf;
        e = buf + len;
    }
    auto r = std::from_chars(b, e, d, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) return Parse::Unsure;
    if (r.ec != std::errc() || r.ptr != e) return classify_unusual_real(s, i);
    value = neg ? -d : d;
    return Parse::Ok;
}

}  // namespace femap
