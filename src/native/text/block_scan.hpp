// The block scan over the bytes of a whole file: a delimiter line, an identifier
// line, then body lines up to the next delimiter line or the end of the file.
#pragma once
#include <cstdint>
#include <string_view>

#include "constants.hpp"
#include "number_syntax.hpp"
#include "text_bytes.hpp"

namespace femap {

// Fast reading of an ASCII identifier line: Ok when it names a block, with an
// identifier in the signed 64-bit range (narrowing is the caller's); Invalid when it
// opens none (it is "-1", or int() refuses it); Unsure when only the host can tell.
inline Parse classify_identifier_ascii(std::string_view line, int64_t& id) noexcept {
    std::string_view s = strip_space(line);
    return s == "-1" ? Parse::Invalid : parse_int_ascii(s, id);
}

struct BodySpan {
    size_t begin;     // offset of the first body line
    size_t end;       // offset just past the last body line (and its line end)
    int64_t n_lines;  // number of body lines
};

// The start of the first delimiter line at or after `from` (a line start), or `size`
// when there is none; `lines` gets the number of lines from `from` up to there. Lines
// end as find_line_end ends them. 64 bytes are looked at a time: a delimiter line
// starts 3 bytes before a "-1" that follows a line end by 4 bytes.
inline size_t find_delimiter_line(const char* data, size_t size, size_t from, bool has_cr, int64_t& lines) noexcept {
    constexpr std::string_view delimiter = kDelimiter;
    static_assert(delimiter.size() == 5 && delimiter[3] == '-' && delimiter[4] == '1');
    auto is_delimiter_at = [&](size_t p) {
        return size - p >= 5 && std::memcmp(data + p, delimiter.data(), 5) == 0 &&
               (p + 5 == size || data[p + 5] == '\n' || data[p + 5] == '\r');
    };
    lines = 0;
    if (from >= size) return size;
    if (is_delimiter_at(from)) return from;
    size_t q = from;
    uint64_t before = 0;  // the line ends of the previous 64 bytes
    for (; q + 65 <= size; q += 64) {
        const char* p = data + q;
        uint64_t ends = detail::byte_mask64(p, '\n');
        if (has_cr) ends |= detail::byte_mask64(p, '\r') & ~detail::byte_mask64(p + 1, '\n');
        uint64_t candidates =
            ((ends << 4) | (before >> 60)) & detail::byte_mask64(p, '-') & detail::byte_mask64(p + 1, '1');
        for (; candidates; candidates &= candidates - 1) {
            const unsigned b = static_cast<unsigned>(__builtin_ctzll(candidates));
            if (is_delimiter_at(q + b - 3)) {
                lines += b > 3 ? popcount64(ends & ((uint64_t(1) << (b - 3)) - 1)) : 0;
                return q + b - 3;
            }
        }
        lines += popcount64(ends);
        before = ends;
    }
    // The rest a byte at a time, from the line ends whose next line is not looked at yet.
    for (size_t i = q > from ? q - 4 : from; i < size; ++i) {
        const char c = data[i];
        if (c != '\n' && (c != '\r' || (i + 1 < size && data[i + 1] == '\n'))) continue;
        lines += i >= q;
        if (i + 1 < size && is_delimiter_at(i + 1)) return i + 1;
    }
    lines += data[size - 1] != '\n' && data[size - 1] != '\r';  // text after the last line end
    return size;
}

// Walks the buffer once from `start`. `identify(line_view, int32_t& id) -> Conv` is Ok
// when the line names a block, Reject when it opens none (a "-1" line or no integer:
// the guard around int() of the line), Fail on error. `emit(id, span)` returns false on
// error. Returns false when either failed.
template <class Identify, class Emit>
bool scan_blocks(const char* data, size_t size, size_t start, bool has_cr, Identify&& identify, Emit&& emit) {
    size_t pos = start;
    while (pos < size) {
        int64_t skipped;
        const size_t delimiter = find_delimiter_line(data, size, pos, has_cr, skipped);
        if (delimiter >= size) break;
        const size_t id_pos = find_line_end(data, size, delimiter, has_cr).next_start;
        if (id_pos >= size) break;  // the delimiter line is the last line
        LineEnd id_le = find_line_end(data, size, id_pos, has_cr);
        int32_t id = 0;
        Conv c = identify(std::string_view(data + id_pos, id_le.text_end - id_pos), id);
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) {
            pos = id_pos;  // the identifier line is examined as an ordinary line
            continue;
        }
        BodySpan span{id_le.next_start, size, 0};
        span.end = find_delimiter_line(data, size, span.begin, has_cr, span.n_lines);
        pos = span.end < size ? find_line_end(data, size, span.end, has_cr).next_start : size;
        if (!emit(id, span)) return false;
    }
    return true;
}

}  // namespace femap
