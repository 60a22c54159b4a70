// Byte-level facts about text: the host's ASCII white space, ASCII and UTF-8 checks,
// line ends. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace femap {

// White space as str.strip()/split()/int()/float() see it in the ASCII range:
// \t \n \v \f \r, \x1c-\x1f and blank.
inline constexpr struct SpaceTable {
    bool is[256] = {};
    constexpr SpaceTable() {
        for (int c : {0x20, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x1c, 0x1d, 0x1e, 0x1f}) is[c] = true;
    }
} kSpace;

inline bool is_space(unsigned char c) noexcept { return kSpace.is[c]; }

inline std::string_view strip_space(std::string_view s) noexcept {
    size_t b = 0, e = s.size();
    while (b < e && is_space(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && is_space(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Offset of the first byte >= 0x80, or size when all bytes are ASCII.
size_t first_non_ascii(const char* data, size_t size) noexcept;

inline bool is_ascii(std::string_view s) noexcept {
    return first_non_ascii(s.data(), s.size()) == s.size();
}

// True when the bytes are well-formed UTF-8 as the host's strict decoder
// accepts it (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(const char* data, size_t size) noexcept;

// Line ends as universal newlines translate them: "\n", "\r\n" or a lone "\r".
struct LineEnd {
    size_t text_end;    // end of the line's text
    size_t next_start;  // start of the next line
};

// The end of the line that starts at `pos` (pos < size). `has_cr` tells whether
// the buffer holds any "\r" at all; without one, a single memchr finds the end.
inline LineEnd find_line_end(const char* data, size_t size, size_t pos, bool has_cr) noexcept {
    const char* p = data + pos;
    size_t rest = size - pos;
    const void* nl = std::memchr(p, '\n', rest);
    size_t n = nl ? static_cast<size_t>(static_cast<const char*>(nl) - data) : size;
    if (has_cr) {
        const void* cr = std::memchr(p, '\r', n - pos);
        if (cr) {
            size_t r = static_cast<size_t>(static_cast<const char*>(cr) - data);
            return {r, (r + 1 == n && nl) ? n + 1 : r + 1};
        }
    }
    return {n, nl ? n + 1 : size};
}

}  // namespace femap
