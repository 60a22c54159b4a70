// The field splitter on ASCII text: trailing commas off, white space off both ends,
// then comma-separated (empty pieces dropped) when a comma is left, else split at
// runs of white space. Fields are views into the line.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "text_bytes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace femap {

using FieldViews = std::vector<std::string_view>;

// Skips the leading blanks of the field [b, e) without a branch per blank (fixed-width
// fields are padded with a varying number of them); bytes up to `limit` may be read.
inline const char* skip_blanks(const char* b, const char* e, const char* limit) noexcept {
#if defined(__SSE2__)
    const __m128i blank = _mm_set1_epi8(' ');
    while (b < e && limit - b >= 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
        unsigned blanks = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, blank)));
        if (blanks != 0xffff) return std::min(e, b + __builtin_ctz(~blanks));
        b += 16;
    }
#endif
    (void)limit;
    return std::min(b, e);
}

// `limit` stops the split once that many fields are found (the later ones are not
// needed): the fields found are those of the full split.
inline void split_fields_ascii(std::string_view line, FieldViews& out, size_t limit = SIZE_MAX) {
    out.clear();
    size_t e = line.size();
    while (e > 0 && line[e - 1] == ',') --e;
    std::string_view s = strip_space(line.substr(0, e));
    if (s.empty()) return;
    const char* p = s.data();
    const char* end = p + s.size();
    if (std::memchr(p, ',', s.size())) {
        const char* piece = p;
        // Adds the piece that ends at `comma`; false once the limit is reached.
        auto cut = [&](const char* comma) {
            const char* b = piece;
            const char* e = comma;
            b = skip_blanks(b, e, end);
            while (b < e && is_space(static_cast<unsigned char>(*b))) ++b;
            while (e > b && is_space(static_cast<unsigned char>(e[-1]))) --e;
            if (e > b) out.emplace_back(b, static_cast<size_t>(e - b));
            piece = comma + 1;
            return out.size() < limit;
        };
        const char* q = p;
#if defined(__SSE2__)
        // Pieces are short: find the commas of 16 bytes at once.
        const __m128i commas = _mm_set1_epi8(',');
        for (; end - q >= 16; q += 16) {
            __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, commas)));
            for (; mask; mask &= mask - 1)
                if (!cut(q + __builtin_ctz(mask))) return;
        }
#endif
        for (; q < end; ++q)
            if (*q == ',' && !cut(q)) return;
        cut(end);
        return;
    }
    while (p < end && out.size() < limit) {
        while (p < end && is_space(static_cast<unsigned char>(*p))) ++p;
        const char* b = p;
        while (p < end && !is_space(static_cast<unsigned char>(*p))) ++p;
        if (p > b) out.emplace_back(b, static_cast<size_t>(p - b));
    }
}

}  // namespace femap
