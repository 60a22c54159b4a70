#include "real_runs.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "field_split.hpp"
#include "number_syntax.hpp"
#include "text_bytes.hpp"

// FEMAP_PORTABLE builds the code other processors run (the core test builds it too).
#if !defined(FEMAP_PORTABLE) && (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define FEMAP_SSE41_REALS 1
#define FEMAP_SSE41 __attribute__((target("ssse3,sse4.1")))
#endif

namespace femap {

namespace {

// The loop over a run's fields, for any field reader: commas found 64 bytes at a time,
// the end of the run taken as one more; the fields' ends gathered first, then read in a
// loop of a known count (the branches of one do not stall the reading of the others).
template <class Field>
[[gnu::always_inline]] inline const char* walk_run(Field&& field, const char* p, const char* e, const char* limit,
                                                   double* out, size_t& count, bool& done) noexcept {
    const char* ends[kRealBatch];
    size_t m = 0;
    bool last = false;
    for (const char* q = p; m < kRealBatch && !last; q += 64) {
        const size_t left = size_t(e - q);
        uint64_t mask = 0;
        if (limit - q >= 64)
            mask = detail::byte_mask64(q, ',');
        else
            for (size_t k = 0; k < std::min<size_t>(64, left); ++k) mask |= uint64_t(q[k] == ',') << k;
        if (left < 64) {
            mask = (mask & ((uint64_t(1) << left) - 1)) | (uint64_t(1) << left);
            last = true;
        }
        for (; mask && m < kRealBatch; mask &= mask - 1) ends[m++] = q + __builtin_ctzll(mask);
        if (mask) last = false;  // the batch is full first
    }
    const char* start = p;
    for (size_t k = 0; k < m; ++k) {
        if (!field(start, ends[k], limit, out[k])) return nullptr;
        start = ends[k] + 1;
    }
    count = m;
    done = last;
    return last ? e : start;
}

// The loop over plain `id,value` lines for any field reader: line ends and commas
// found 64 bytes at a time, each window serving the lines that end in it.
template <class Field>
[[gnu::always_inline]] inline size_t walk_pair_lines(Field&& field, const char*& p, const char* end,
                                                     const char* readable, size_t most, int32_t* ids,
                                                     double* values, const char*& last, const char** nexts) noexcept {
    size_t count = 0;
    const char* window = p;
    uint64_t window_ends = 0, window_commas = 0;
    for (; count < most; ++count) {
        unsigned o = unsigned(p - window);
        uint64_t ends = o < 64 ? window_ends >> o : 0;
        if (!ends) {
            if (readable - p < 64) break;
            window = p, o = 0;
            window_ends = ends = detail::byte_mask64(p, '\n');
            window_commas = detail::byte_mask64(p, ',');
            if (!ends) break;
        }
        const unsigned e = unsigned(__builtin_ctzll(ends));
        if (p + e >= end) break;  // the block ends first
        const uint64_t commas = window_commas >> o;
        const uint64_t in_line = (uint64_t(1) << e) - 1;
        const unsigned c0 = unsigned(__builtin_ctzll(commas | (uint64_t(1) << e)));
        if (c0 == 0 || c0 > 9) break;
        int32_t id = 0;
        unsigned j = 0;
        for (; j < c0 && detail::is_digit(p[j]); ++j) id = id * 10 + (p[j] - '0');
        if (j < c0) break;
        const uint64_t after = commas & in_line & ~((uint64_t(2) << c0) - 1);
        const unsigned c1 = after ? unsigned(__builtin_ctzll(after)) : e;
        if ((in_line & ~((uint64_t(1) << c1) - 1)) & ~commas) break;  // only commas after the value
        if (!field(p + c0 + 1, p + c1, readable, values[count])) break;
        ids[count] = id;
        last = p;
        p += e + 1;
        if (nexts) nexts[count] = p;
    }
    return count;
}

// One field as a real: blanks, a number parse_real_prefix takes, blanks.
struct ScalarField {
    bool operator()(const char* b, const char* e, const char*, double& out) const noexcept {
        while (b < e && is_space(static_cast<unsigned char>(*b))) ++b;
        const char* q = parse_real_prefix(b, e, out);
        if (!q) return false;
        while (q < e && is_space(static_cast<unsigned char>(*q))) ++q;
        return q == e;
    }
};

#if FEMAP_SSE41_REALS
bool has_sse41() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1");
}

const bool kSse41 = has_sse41();

// The plain decimal that is all of [b, b + size), size 1 to 16, with 16 bytes readable
// at b: an optional sign, digits with at most one point among them (at least one
// digit), then optionally E, e, D or d, an optional sign and 1 to 4 digits. False for
// any other text, and where to_double leaves the number.
FEMAP_SSE41 inline bool sse41_real(const char* b, unsigned size, double& out) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const unsigned in_field = (1u << size) - 1;
    const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
    const unsigned letters = static_cast<unsigned>(_mm_movemask_epi8(
                                 _mm_or_si128(_mm_cmpeq_epi8(folded, _mm_set1_epi8('e')),
                                              _mm_cmpeq_epi8(folded, _mm_set1_epi8('d'))))) &
                             in_field;
    const unsigned exp_at = letters ? static_cast<unsigned>(__builtin_ctz(letters)) : size;
    const bool neg = b[0] == '-';
    const unsigned sign = unsigned(neg | (b[0] == '+'));
    const unsigned mantissa_bytes = ((1u << exp_at) - 1) & ~((1u << sign) - 1);
    const unsigned points =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('.')))) & mantissa_bytes;
    const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8('0'));
    const unsigned digits =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d)));
    if (((digits | points) & mantissa_bytes) != mantissa_bytes || (points & (points - 1)) ||
        mantissa_bytes == points)
        return false;
    // Digits after the point; 16 (none) without one.
    const int fraction = points ? int(exp_at) - 1 - __builtin_ctz(points) : 16;
    // Byte j of the shuffle takes the digit 15 - j places from the last one, one byte
    // further left once past the point, zero (high bit set) before the first digit.
    const __m128i from_last = _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    __m128i source = _mm_sub_epi8(_mm_set1_epi8(char(exp_at - 1)), from_last);
    source = _mm_add_epi8(source, _mm_cmpgt_epi8(from_last, _mm_set1_epi8(char(fraction - 1))));
    source = _mm_or_si128(source, _mm_cmpgt_epi8(_mm_set1_epi8(char(sign)), source));
    const __m128i placed = _mm_shuffle_epi8(d, source);
    const __m128i pairs = _mm_maddubs_epi16(placed, _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1));
    const __m128i eights = _mm_madd_epi16(_mm_packus_epi32(fours, fours),
                                          _mm_setr_epi16(10000, 1, 10000, 1, 10000, 1, 10000, 1));
    const uint64_t mantissa = uint64_t(uint32_t(_mm_cvtsi128_si32(eights))) * 100000000u +
                              uint32_t(_mm_extract_epi32(eights, 1));
    int scale = points ? -fraction : 0;
    if (letters) {
        const char* p = b + exp_at + 1;
        const char* e = b + size;
        if (p == e) return false;
        const bool exp_neg = *p == '-';
        p += static_cast<int>(exp_neg | (*p == '+'));
        if (p == e || e - p > 4) return false;
        int exponent = 0;
        for (; p < e; ++p) {
            if (!detail::is_digit(*p)) return false;
            exponent = exponent * 10 + (*p - '0');
        }
        scale += exp_neg ? -exponent : exponent;
    }
    return detail::to_double(mantissa, scale, neg, out);
}

struct Sse41Field {
    FEMAP_SSE41 bool operator()(const char* b, const char* e, const char* limit, double& out) const noexcept {
        if (b < e && *b == ' ') b = skip_blanks(b, e, limit);  // fixed-width padding
        const unsigned size = static_cast<unsigned>(e - b);
        return (size - 1 < 16 && limit - b >= 16 && sse41_real(b, size, out)) || ScalarField{}(b, e, limit, out);
    }
};

[[gnu::flatten]] FEMAP_SSE41 size_t sse41_pair_lines(const char*& p, const char* end, const char* readable, size_t most,
                                                      int32_t* ids, double* values, const char*& last,
                                                      const char** nexts) noexcept {
    return walk_pair_lines(Sse41Field{}, p, end, readable, most, ids, values, last, nexts);
}

[[gnu::flatten]] FEMAP_SSE41 const char* sse41_run(const char* p, const char* e, const char* limit, double* out, size_t& count,
                                  bool& done) noexcept {
    return walk_run(Sse41Field{}, p, e, limit, out, count, done);
}
#endif

}  // namespace

bool read_real_field(const char* b, const char* e, const char* limit, double& out) noexcept {
#if FEMAP_SSE41_REALS
    if (kSse41) return Sse41Field{}(b, e, limit, out);
#endif
    return ScalarField{}(b, e, limit, out);
}

const char* read_real_run(const char* p, const char* e, const char* limit, double* out, size_t& count,
                          bool& done) noexcept {
#if FEMAP_SSE41_REALS
    if (kSse41) return sse41_run(p, e, limit, out, count, done);
#endif
    return walk_run(ScalarField{}, p, e, limit, out, count, done);
}

size_t read_pair_lines(const char*& p, const char* end, const char* readable, size_t most, int32_t* ids,
                       double* values, const char*& last, const char** nexts) noexcept {
#if FEMAP_SSE41_REALS
    if (kSse41) return sse41_pair_lines(p, end, readable, most, ids, values, last, nexts);
#endif
    return walk_pair_lines(ScalarField{}, p, end, readable, most, ids, values, last, nexts);
}

size_t read_real_lines(const char*& p, const char* end, const char* readable, size_t want, size_t most,
                       double* out, size_t room, size_t& lines, const char*& last, bool& full, uint32_t* counts,
                       const char** nexts) noexcept {
    size_t total = 0;
    lines = 0;
    full = false;
    while (total < want && lines < most) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        if (!nl) break;  // the block's last line: left to the line walk
        const std::string_view text(p, size_t(nl - p));
        if (may_be_minus_one(text)) break;
        const char* e = trailing_commas_off(p, nl);
        if (room - total < size_t(e - p) / 2 + 2) {  // its fields might not fit
            full = true;
            break;
        }
        size_t got = 0;
        bool done = false;
        for (const char* q = p; !done;) {
            size_t n;
            q = read_real_run(q, e, readable, out + total + got, n, done);
            if (!q) return total;
            got += n;
        }
        total += got;
        if (counts) counts[lines] = uint32_t(got);
        if (nexts) nexts[lines] = nl + 1;
        ++lines;
        last = p;
        p = nl + 1;
    }
    return total;
}

}  // namespace femap
