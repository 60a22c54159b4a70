// Byte-level facts about text: the host's ASCII white space, ASCII and UTF-8 checks,
// line ends. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The set bits of x, without a call where there is no popcnt instruction.
inline unsigned popcount64(uint64_t x) noexcept {
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
    return static_cast<unsigned>((x * 0x0101010101010101ULL) >> 56);
}

namespace detail {

// Bit i set where p[i] == c, for i in [0, 64).
[[gnu::always_inline]] inline uint64_t byte_mask64(const char* p, char c) noexcept {
    uint64_t m = 0;
#if defined(__SSE2__)
    const __m128i v = _mm_set1_epi8(c);
    for (int k = 0; k < 4; ++k)
        m |= uint64_t(uint32_t(_mm_movemask_epi8(
                 _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k)), v))))
             << (16 * k);
#else
    for (int i = 0; i < 64; ++i) m |= uint64_t(p[i] == c) << i;
#endif
    return m;
}

}  // namespace detail

// Line ends as universal newlines translate them: "\n", "\r\n" or a lone "\r".
struct LineEnd {
    size_t text_end;    // end of the line's text
    size_t next_start;  // start of the next line
};

// The end of the line that starts at `pos` (pos < size). `has_cr` tells whether
// the buffer holds any "\r" at all. Lines are short: 16 bytes are tested at once
// inline, which beats a library call per line.
inline LineEnd find_line_end(const char* data, size_t size, size_t pos, bool has_cr) noexcept {
    size_t i = pos;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    for (; i + 16 <= size; i += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        __m128i hits = _mm_cmpeq_epi8(chunk, nl);
        if (has_cr) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(chunk, cr));
        if (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits))) {
            i += static_cast<size_t>(__builtin_ctz(mask));
            goto found;
        }
    }
#endif
    for (; i < size; ++i)
        if (data[i] == '\n' || (has_cr && data[i] == '\r')) goto found;
    return {size, size};
found:
    if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n') return {i, i + 2};
    return {i, i + 1};
}

// The start of the line `count` (>= 1) lines after the one that starts at `pos`, in
// text without any "\r"; size when the text ends first.
size_t skip_lf_lines(const char* data, size_t size, size_t pos, int64_t count) noexcept;

}  // namespace femap
