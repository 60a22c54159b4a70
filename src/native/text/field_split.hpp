// The field splitter on ASCII text: trailing commas off, white space off both ends,
// then comma-separated (empty pieces dropped) when a comma is left, else split at
// runs of white space. Fields are views into the line.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "number_syntax.hpp"
#include "outcomes.hpp"
#include "real_runs.hpp"
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
            if (b < e && *b == ' ') b = skip_blanks(b, e, end);  // fixed-width padding
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

// The end of the text [p, e) without its trailing commas.
inline const char* trailing_commas_off(const char* p, const char* e) noexcept {
    while (e > p && e[-1] == ',') --e;
    return e;
}

// Every field of an ASCII line read as a real, in order, into push(double) -> bool,
// when the line is that simple: each field a number parse_real_prefix reads, with blanks
// at most around it, no empty field but the trailing commas. The fields and values are
// then those of the splitter and of float(). Bytes up to `limit` (by default the end of
// the line) may be read.
template <class Push>
RealLine read_real_line(std::string_view line, Push&& push, const char* limit = nullptr) {
    const char* p = line.data();
    const char* e = trailing_commas_off(p, p + line.size());
    if (!limit) limit = e;
    double batch[kRealBatch];
    for (bool done = false; !done;) {
        size_t n;
        p = read_real_run(p, e, limit, batch, n, done);
        if (!p) return RealLine::NotSimple;
        for (size_t k = 0; k < n; ++k)
            if (!push(batch[k])) return RealLine::PushFailed;
    }
    return RealLine::Read;
}

// An entry line of a value section read without splitting it, when it is simple (as
// for read_real_line): field 0 an integer of 1 to 9 digits without a sign, then either
// exactly one more field, a real (`id, value`: `range` false, the real in `value`), or
// an integer of 1 to 9 digits and reals, which go to push (a range line).
struct EntryLine {
    int32_t first = 0, second = 0;
    double value = 0;
    bool range = false;
};

// The identifiers of an entry line [p, e) (its trailing commas off), as
// read_entry_line takes them: NotSimple, Pair (`rest` the text after the first
// comma, its one field) or Range (out.first, out.second; `rest` the text after the
// second comma, its reals).
enum class EntryHead { NotSimple, Pair, Range };

inline EntryHead read_entry_head(const char* p, const char* e, EntryLine& out, const char*& rest) {
    auto blanks = [&](const char*& q) {
        while (q < e && is_space(static_cast<unsigned char>(*q))) ++q;
    };
    auto small_int = [&](const char*& q, int32_t& v) {
        const char* b = q;
        for (v = 0; q < e && q - b < 9 && detail::is_digit(*q); ++q) v = v * 10 + (*q - '0');
        return q > b && !(q < e && detail::is_digit(*q));
    };
    blanks(p);
    if (!small_int(p, out.first)) return EntryHead::NotSimple;
    blanks(p);
    if (p == e || *p != ',') return EntryHead::NotSimple;
    rest = ++p;
    if (!std::memchr(p, ',', size_t(e - p))) return EntryHead::Pair;  // `id, value`
    blanks(p);
    const char* second = p;
    double scratch;
    const char* q = parse_real_prefix(p, e, scratch);
    if (!q) return EntryHead::NotSimple;
    const char* second_end = q;
    blanks(q);  // a comma follows
    if (*q != ',' || !small_int(second, out.second) || second != second_end) return EntryHead::NotSimple;
    rest = q + 1;
    return EntryHead::Range;
}

template <class Push>
RealLine read_entry_line(std::string_view line, EntryLine& out, Push&& push, const char* limit = nullptr) {
    const char* p = line.data();
    const char* e = trailing_commas_off(p, p + line.size());
    if (!limit) limit = e;
    const char* rest;
    switch (read_entry_head(p, e, out, rest)) {
        case EntryHead::NotSimple: return RealLine::NotSimple;
        case EntryHead::Pair:
            if (!read_real_field(rest, e, limit, out.value)) return RealLine::NotSimple;
            out.range = false;
            return RealLine::Read;
        case EntryHead::Range: break;
    }
    out.range = true;
    return read_real_line(std::string_view(rest, size_t(e - rest)), push, limit);
}

inline void split_fields_ascii(std::string_view line, FieldViews& out, size_t limit = SIZE_MAX) {
    out.clear();
    for_each_field_ascii(line, limit, [&](const char* b, const char* e) { out.emplace_back(b, size_t(e - b)); });
}

#if defined(__SSE2__)

// The number of comma-separated fields of text without its trailing commas, 64 bytes
// at a time, and whether it holds a comma at all (else its fields are the white space
// separated ones). A field starts at a byte that is neither white space nor a comma and
// is the first event (comma or such byte) after a comma or after the start. Adding the
// commas, moved up one place, to the white space mask carries each comma over the
// blanks after it onto the event that follows them. Bytes up to `limit` (>= end) may
// be read.
inline size_t count_comma_fields(const char* p, const char* end, const char* limit, bool& any_comma) noexcept {
    size_t fields = 0;
    uint64_t in = 1;  // a comma or a carry running over blanks from before the chunk
    uint64_t commas = 0;
    char tail[64];
    while (p < end) {
        const size_t n = std::min<size_t>(64, size_t(end - p));
        const char* chunk = p;
        if (limit - p < 64) {
            std::memset(tail, ' ', sizeof tail);
            std::memcpy(tail, p, n);
            chunk = tail;
        }
        uint64_t comma = 0, blank = 0;
        for (int k = 0; k < 4; ++k) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + 16 * k));
            __m128i space = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                             _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x08)), _mm_cmplt_epi8(v, _mm_set1_epi8(0x0e)))),
                _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x1b)), _mm_cmplt_epi8(v, _mm_set1_epi8(0x20))));
            comma |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(','))))) << (16 * k);
            blank |= uint64_t(uint32_t(_mm_movemask_epi8(space))) << (16 * k);
        }
        const uint64_t valid = n == 64 ? ~0ULL : (1ULL << n) - 1;
        comma &= valid;
        blank |= ~valid;
        commas |= comma;
        const uint64_t sig = ~(comma | blank);
        uint64_t sum;
        const bool carry = __builtin_add_overflow((comma << 1) | in, blank, &sum);
        fields += popcount64(sum & sig);
        in = (comma >> 63) | uint64_t(carry);
        p += n;
    }
    any_comma = commas != 0;
    return fields;
}
#endif

// True when [b, e) holds more than white space; bytes up to `limit` may be read.
inline bool has_text(const char* b, const char* e, const char* limit) noexcept {
    b = skip_blanks(b, e, limit);
    while (b < e && is_space(static_cast<unsigned char>(*b))) ++b;
    return b < e;
}

// The number of fields of the line, at most `limit`; bytes up to `readable` (at or
// past the line's end, if given) may be read.
inline size_t count_fields_ascii(std::string_view line, size_t limit = SIZE_MAX, const char* readable = nullptr) {
    size_t e = line.size();
    while (e > 0 && line[e - 1] == ',') --e;
    const char* b = line.data();
    const char* end = b + e;
    const char* comma;
#if defined(__SSE2__)
    if (e <= 64 && readable && readable - b >= 64) {
        // A short line in a readable buffer: its commas from one look at 64 bytes.
        uint64_t commas = 0;
        for (int k = 0; k < 4; ++k) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * k));
            commas |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(','))))) << (16 * k);
        }
        commas &= e == 64 ? ~0ULL : (1ULL << e) - 1;
        comma = commas ? b + __builtin_ctzll(commas) : nullptr;
        if (commas && (commas & (commas - 1)) == 0)
            return std::min<size_t>(limit, size_t(has_text(b, comma, readable)) + has_text(comma + 1, end, readable));
    } else
#endif
    {
        comma = e > 0 ? static_cast<const char*>(std::memchr(b, ',', e)) : nullptr;
    }
    if (comma && !std::memchr(comma + 1, ',', size_t(end - comma - 1)))  // `id, value` and the like
        return std::min<size_t>(limit, size_t(has_text(b, comma, end)) + has_text(comma + 1, end, end));
#if defined(__SSE2__)
    if (comma) {
        bool any_comma;
        return std::min(limit, count_comma_fields(b, end, std::max(end, readable ? readable : end), any_comma));
    }
#endif
    (void)readable;
    return for_each_field_ascii(line, limit, [](const char*, const char*) {});
}

#if defined(__SSE2__)
namespace detail {

// The value of the `count` (2 to 9) digits that end byte 16 of d (the bytes less '0').
inline uint32_t digits_value(__m128i d, unsigned count) noexcept {
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i placed = _mm_and_si128(d, _mm_cmpgt_epi8(index, _mm_set1_epi8(char(15 - count))));
    const __m128i tens = _mm_setr_epi16(10, 1, 10, 1, 10, 1, 10, 1);
    const __m128i pairs = _mm_packs_epi32(_mm_madd_epi16(_mm_unpacklo_epi8(placed, _mm_setzero_si128()), tens),
                                          _mm_madd_epi16(_mm_unpackhi_epi8(placed, _mm_setzero_si128()), tens));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
    const __m128i eights =
        _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
    return uint32_t(_mm_cvtsi128_si32(eights)) * 100000000u + uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(eights, 4)));
}

// The piece [b, c) of an int line read into `out` (non-zero values only): blanks, an
// optional '-', 1 to 9 digits, blanks; or blanks only. False for anything else. The
// 16 bytes before the piece's last digit may be read.
inline bool read_int_piece(const char* b, const char* c, std::vector<int32_t>& out) {
    const char* end = c;
    while (end > b && end[-1] == ' ') --end;
    if (end == b) return true;  // no field
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16));
    const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    const unsigned digits = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d)));
    const unsigned count = unsigned(__builtin_clz(~(digits << 16)));  // digits that end the piece
    if (count - 1 > 8 || end - b < ptrdiff_t(count)) return false;
    const char* first = end - count;
    const bool neg = first > b && first[-1] == '-';
    // blanks before: those of the 16 bytes as a mask, any further ones one by one
    const char* lead = std::max(b, end - 16);
    const unsigned blanks = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' '))));
    const unsigned from = unsigned(lead - (end - 16)), to = unsigned(first - neg - (end - 16));
    const unsigned need = (1u << to) - (1u << from);
    if ((blanks & need) != need) return false;
    for (const char* q = b; q < lead; ++q)
        if (*q != ' ') return false;
    const uint32_t value = count == 1 ? uint32_t(end[-1] - '0') : digits_value(d, count);
    if (value) out.push_back(neg ? -int32_t(value) : int32_t(value));
    return true;
}

}  // namespace detail
#endif

// Appends the non-zero integers of a line of at most 192 bytes with a comma whose
// pieces between commas are each blanks (' '), an optional '-', 1 to 9 digits and
// blanks, or blanks only (no field, as the splitter drops empty pieces): what int() of
// each field gives. False, with `out` as it was, for any other line (for the exact
// path). The bytes of [lo, hi) around the line may be read.
inline bool read_int_line(std::string_view line, const char* lo, const char* hi, std::vector<int32_t>& out) {
#if defined(__SSE2__)
    constexpr size_t kMost = 192;
    const size_t n = line.size();
    if (n > kMost) return false;
    const char* p = line.data();
    alignas(16) char padded[16 + kMost];
    if (p - lo < 16 || size_t(hi - p) < kMost) {  // too near the ends of what may be read: a copy
        std::memset(padded, ' ', sizeof padded);
        std::memcpy(padded + 16, p, n);
        p = padded + 16;
    }
    const size_t mark = out.size();
    const char* b = p;  // past the last comma: still p when the line has none
    for (size_t w = 0; w < n; w += 64) {
        uint64_t commas = detail::byte_mask64(p + w, ',');
        if (n - w < 64) commas &= (uint64_t(1) << (n - w)) - 1;
        for (; commas; commas &= commas - 1) {
            const char* c = p + w + __builtin_ctzll(commas);
            if (!detail::read_int_piece(b, c, out)) {
                out.resize(mark);
                return false;
            }
            b = c + 1;
        }
    }
    if (b == p || !detail::read_int_piece(b, p + n, out)) {
        out.resize(mark);
        return false;
    }
    return true;
#else
    (void)line, (void)lo, (void)hi, (void)out;
    return false;
#endif
}

// False when field 0 of the line cannot read as the integer -1 (as a terminator's
// does): after white space and commas it is not '-', any '0' or '_', then '1' and the
// end of the field.
inline bool may_be_minus_one(std::string_view line) noexcept {
    size_t k = size_t(skip_blanks(line.data(), line.data() + line.size(), line.data() + line.size()) - line.data());
    while (k < line.size() && (line[k] == ',' || is_space(static_cast<unsigned char>(line[k])))) ++k;
    if (k == line.size() || line[k++] != '-') return false;
    while (k < line.size() && (line[k] == '0' || line[k] == '_')) ++k;
    if (k == line.size() || line[k++] != '1') return false;
    return k == line.size() || line[k] == ',' || is_space(static_cast<unsigned char>(line[k]));
}

}  // namespace femap
