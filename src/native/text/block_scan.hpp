// The block scan over the bytes of a whole file: a delimiter line, an identifier
// line, then body lines up to the next delimiter line or the end of the file.
#pragma once
#include <cstdint>
#include <string_view>

#include "constants.hpp"
#include "number_syntax.hpp"
#include "text_bytes.hpp"

namespace femap {

enum class IdentKind : uint8_t { Block, MinusOne, NotInt, Unsure };

// Fast reading of an ASCII identifier line. Block when it names a block whose
// identifier fits the signed 64-bit range (narrowing is the caller's), MinusOne for
// "-1", NotInt when int() refuses it, Unsure when only the host can tell.
inline IdentKind classify_identifier_ascii(std::string_view line, int64_t& id) noexcept {
    std::string_view s = strip_space(line);
    if (s == "-1") return IdentKind::MinusOne;
    switch (parse_int_ascii(s, id)) {
        case Parse::Ok: return IdentKind::Block;
        case Parse::Invalid: return IdentKind::NotInt;
        default: return IdentKind::Unsure;
    }
}

struct BodySpan {
    size_t begin;     // offset of the first body line
    size_t end;       // offset just past the last body line (and its line end)
    int64_t n_lines;  // number of body lines
};

// Walks the buffer once from `start`. `identify(line_view, int32_t& id)` returns 1
// when the line names a block, 0 when it opens none (a "-1" line or no integer), -1 on
// error. `emit(id, span)` returns false on error. Returns false when either failed.
template <class Identify, class Emit>
bool scan_blocks(const char* data, size_t size, size_t start, bool has_cr, Identify&& identify, Emit&& emit) {
    constexpr std::string_view delimiter = kDelimiter;
    auto is_delimiter = [&](size_t pos, size_t text_end) {
        return text_end - pos == delimiter.size() && std::memcmp(data + pos, delimiter.data(), delimiter.size()) == 0;
    };
    size_t pos = start;
    while (pos < size) {
        LineEnd le = find_line_end(data, size, pos, has_cr);
        if (!is_delimiter(pos, le.text_end)) {
            pos = le.next_start;
            continue;
        }
        size_t id_pos = le.next_start;
        if (id_pos >= size) break;  // the delimiter line is the last line
        LineEnd id_le = find_line_end(data, size, id_pos, has_cr);
        int32_t id = 0;
        int r = identify(std::string_view(data + id_pos, id_le.text_end - id_pos), id);
        if (r < 0) return false;
        if (r == 0) {
            pos = id_pos;  // the identifier line is examined as an ordinary line
            continue;
        }
        BodySpan span{id_le.next_start, size, 0};
        pos = size;
        for (size_t p = span.begin; p < size;) {
            LineEnd b = find_line_end(data, size, p, has_cr);
            if (is_delimiter(p, b.text_end)) {
                span.end = p;
                pos = b.next_start;
                break;
            }
            ++span.n_lines;
            p = b.next_start;
        }
        if (!emit(id, span)) return false;
    }
    return true;
}

}  // namespace femap
