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

// Calls field(b, e) for each field of the line, in order, until `limit` fields were
// found (the fields found are those of the full split); returns their number.
template <class Field>
size_t for_each_field_ascii(std::string_view line, size_t limit, Field&& field) {
    size_t found = 0;
    size_t e = line.size();
    while (e > 0 && line[e - 1] == ',') --e;
    std::string_view s = strip_space(line.substr(0, e));
    if (s.empty() || limit == 0) return 0;
    const char* p = s.data();
    const char* end = p + s.size();
    if (std::memchr(p, ',', s.size())) {
        const char* piece = p;
        // Takes the piece that ends at `comma`; false once the limit is reached.
        auto cut = [&](const char* comma) {
            const char* b = piece;
            const char* e = comma;
            b = skip_blanks(b, e, end);
            while (b < e && is_space(static_cast<unsigned char>(*b))) ++b;
            while (e > b && is_space(static_cast<unsigned char>(e[-1]))) --e;
            if (e > b) field(b, e), ++found;
            piece = comma + 1;
            return found < limit;
        };
        const char* q = p;
#if defined(__SSE2__)
        // Pieces are short: find the commas of 16 bytes at once.
        const __m128i commas = _mm_set1_epi8(',');
        for (; end - q >= 16; q += 16) {
            __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, commas)));
            for (; mask; mask &= mask - 1)
                if (!cut(q + __builtin_ctz(mask))) return found;
        }
#endif
        for (; q < end; ++q)
            if (*q == ',' && !cut(q)) return found;
        cut(end);
        return found;
    }
    while (p < end && found < limit) {
        while (p < end && is_space(static_cast<unsigned char>(*p))) ++p;
        const char* b = p;
        while (p < end && !is_space(static_cast<unsigned char>(*p))) ++p;
        if (p > b) field(b, p), ++found;
    }
    return found;
}

inline void split_fields_ascii(std::string_view line, FieldViews& out, size_t limit = SIZE_MAX) {
    out.clear();
    for_each_field_ascii(line, limit, [&](const char* b, const char* e) { out.emplace_back(b, size_t(e - b)); });
}

#if defined(__SSE2__)
// The number of comma-separated fields of stripped text that holds a comma, 16 bytes at
// a time: a field starts at a byte that is neither white space nor a comma and is the
// first such byte of the text or the first event (comma or such byte) after a comma.
// Adding the commas, moved up one place, to the white space mask carries each comma
// over the blanks after it onto the event that follows them.
inline size_t count_comma_fields(const char* p, const char* end) noexcept {
    size_t fields = *p != ',';
    uint32_t in = 0;  // a comma or a carry running over blanks from the previous chunk
    char tail[16];
    while (p < end) {
        const size_t n = std::min<size_t>(16, size_t(end - p));
        const char* chunk = p;
        if (n < 16) {
            std::memset(tail, ' ', sizeof tail);
            std::memcpy(tail, p, n);
            chunk = tail;
        }
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk));
        __m128i space = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                         _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x08)), _mm_cmplt_epi8(v, _mm_set1_epi8(0x0e)))),
            _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x1b)), _mm_cmplt_epi8(v, _mm_set1_epi8(0x20))));
        const uint32_t valid = n == 16 ? 0xffffu : (1u << n) - 1;
        const uint32_t comma = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')))) & valid;
        const uint32_t blank = uint32_t(_mm_movemask_epi8(space)) | (~valid & 0xffffu);
        const uint32_t sig = ~(comma | blank) & 0xffffu;
        const uint32_t sum = ((comma << 1) | in) + blank;
        fields += size_t(__builtin_popcount(sum & sig));
        in = ((comma >> 15) | (sum >> 16)) & 1u;
        p += n;
    }
    return fields;
}
#endif

inline size_t count_fields_ascii(std::string_view line, size_t limit = SIZE_MAX) {
#if defined(__SSE2__)
    size_t e = line.size();
    while (e > 0 && line[e - 1] == ',') --e;
    std::string_view s = strip_space(line.substr(0, e));
    if (!s.empty() && std::memchr(s.data(), ',', s.size()))
        return std::min(limit, count_comma_fields(s.data(), s.data() + s.size()));
#endif
    return for_each_field_ascii(line, limit, [](const char*, const char*) {});
}

// False when field 0 of the line cannot read as the integer -1 (as a terminator's
// does): after white space and commas it is not '-', any '0' or '_', then '1' and the
// end of the field.
inline bool may_be_minus_one(std::string_view line) noexcept {
    size_t k = 0;
    while (k < line.size() && (line[k] == ',' || is_space(static_cast<unsigned char>(line[k])))) ++k;
    if (k == line.size() || line[k++] != '-') return false;
    while (k < line.size() && (line[k] == '0' || line[k] == '_')) ++k;
    if (k == line.size() || line[k++] != '1') return false;
    return k == line.size() || line[k] == ',' || is_space(static_cast<unsigned char>(line[k]));
}

}  // namespace femap
