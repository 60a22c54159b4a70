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

// Walks the buffer once from `start`. `identify(line_view, int32_t& id) -> Conv` is Ok
// when the line names a block, Reject when it opens none (a "-1" line or no integer:
// the guard around int() of the line), Fail on error. `emit(id, span)` returns false on
// error. Returns false when either failed.
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
        Conv c = identify(std::string_view(data + id_pos, id_le.text_end - id_pos), id);
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) {
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
