#include "text_bytes.hpp"

// FEMAP_PORTABLE builds the code other processors run (the core test builds it too).
#if !defined(FEMAP_PORTABLE) && (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define FEMAP_AVX2_LINES 1
#endif

namespace femap {

namespace {

// The newlines of 16 bytes found at once, however many lines they end.
size_t skip_lf_lines_sse2(const char* data, size_t size, size_t i, int64_t count) noexcept {
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    for (; i + 16 <= size; i += 16) {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, nl))); mask;
             mask &= mask - 1)
            if (--count == 0) return i + static_cast<size_t>(__builtin_ctz(mask)) + 1;
    }
#endif
    for (; i < size; ++i)
        if (data[i] == '\n' && --count == 0) return i + 1;
    return size;
}

#if FEMAP_AVX2_LINES
bool has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}

const bool kAvx2 = has_avx2();

// The newlines of 64 bytes counted at once (lines of numbers are long, most windows
// end one or two); the window that holds the last one is searched bit by bit.
__attribute__((target("avx2,popcnt"))) size_t skip_lf_lines_avx2(const char* data, size_t size, size_t i,
                                                                  int64_t count) noexcept {
    const __m256i nl = _mm256_set1_epi8('\n');
    for (; i + 64 <= size; i += 64) {
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32));
        uint64_t mask = uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, nl)))) |
                        uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, nl)))) << 32;
        const int64_t here = __builtin_popcountll(mask);
        if (here < count) {
            count -= here;
            continue;
        }
        for (; count > 1; --count) mask &= mask - 1;
        return i + static_cast<size_t>(__builtin_ctzll(mask)) + 1;
    }
    return skip_lf_lines_sse2(data, size, i, count);
}
#endif

}  // namespace

size_t skip_lf_lines(const char* data, size_t size, size_t pos, int64_t count) noexcept {
#if FEMAP_AVX2_LINES
    if (kAvx2) return skip_lf_lines_avx2(data, size, pos, count);
#endif
    return skip_lf_lines_sse2(data, size, pos, count);
}

size_t first_non_ascii(const char* data, size_t size) noexcept {
    size_t i = 0;
    constexpr uint64_t high = 0x8080808080808080ull;
    for (; i + 32 <= size; i += 32) {
        uint64_t a, b, c, d;
        std::memcpy(&a, data + i, 8);
        std::memcpy(&b, data + i + 8, 8);
        std::memcpy(&c, data + i + 16, 8);
        std::memcpy(&d, data + i + 24, 8);
        if ((a | b | c | d) & high) break;
    }
    for (; i < size; ++i)
        if (static_cast<unsigned char>(data[i]) & 0x80) return i;
    return size;
}

}  // namespace femap
