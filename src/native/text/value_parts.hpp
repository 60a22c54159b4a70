// The value scan of one large section of a byte view in parts: the section is cut at
// lines where an entry seems to start, and the parts after the first are scanned on
// threads of their own without the host while the caller's lines scan the first. A
// part is taken when the scan before it stopped exactly on its first line (an entry
// starts there) and it met nothing left to the host; any other part is scanned again
// with the caller's lines, so the outcome is always the one-thread scan's. No Python
// here.
#pragma once
#include <algorithm>
#include <cstdint>
#include <vector>

#include "grow_buffer.hpp"
#include "plain_lines.hpp"
#include "record_walks.hpp"
#include "threads.hpp"

namespace femap {

// Whether a line ends a value section: fields -1 and 0 (as the walks read them).
inline bool ends_values(std::string_view text) {
    if (!may_be_minus_one(text)) return false;
    FieldViews f;
    split_fields_ascii(text, f, 2);
    int64_t id;
    double zero;
    return f.size() == 2 && parse_int_ascii(f[0], id) == Parse::Ok && id == -1 &&
           parse_real_ascii(f[1], zero) == Parse::Ok && zero == 0;
}

// Where an entry seems to start: fields 0 and 1 integers (a range line), or two fields
// with an integer first (an `id, value` line).
inline bool looks_like_entry(std::string_view text) {
    FieldViews f;
    split_fields_ascii(text, f, 3);
    int64_t v;
    return f.size() >= 2 && parse_int_ascii(f[0], v) == Parse::Ok &&
           (f.size() == 2 || parse_int_ascii(f[1], v) == Parse::Ok);
}

// The start of the first line in [from, end) (from a line start) that ends a value
// section, or end: lines are only looked at where "-1" follows a line end or a blank,
// found 64 bytes at a time, and blanks or commas only lead back to the line's start.
// (A line that starts with commas before "-1" is passed over: the cuts only need to
// fall near the end.)
inline size_t find_section_end(const char* data, size_t from, size_t end, bool has_cr) {
    auto ends_at = [&](size_t dash) -> size_t {  // the line of a "-1" at `dash`, if it ends the section
        size_t i = dash;
        while (i > from && (data[i - 1] == ' ' || data[i - 1] == ',' || data[i - 1] == '\t')) --i;  // to the line's start
        if (i > from && data[i - 1] != '\n' && data[i - 1] != '\r') return end;
        LineEnd le = find_line_end(data, end, i, has_cr);
        return ends_values(std::string_view(data + i, le.text_end - i)) ? i : end;
    };
    if (end - from >= 2 && data[from] == '-' && data[from + 1] == '1')
        if (size_t at = ends_at(from); at != end) return at;
    size_t q = from + 1;
#if defined(__SSE2__)
    const __m128i dash = _mm_set1_epi8('-'), one = _mm_set1_epi8('1');
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), blank = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t');
    for (; q + 65 <= end; q += 64) {
        uint64_t hits = 0;
        for (int k = 0; k < 4; ++k) {
            const char* p = data + q + 16 * k;
            __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1));
            __m128i after_gap = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(before, lf), _mm_cmpeq_epi8(before, cr)),
                                             _mm_or_si128(_mm_cmpeq_epi8(before, blank), _mm_cmpeq_epi8(before, tab)));
            __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), dash);
            __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)), one);
            hits |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_and_si128(after_gap, _mm_and_si128(a, b))))) << (16 * k);
        }
        for (; hits; hits &= hits - 1)
            if (size_t at = ends_at(q + static_cast<size_t>(__builtin_ctzll(hits))); at != end) return at;
    }
#endif
    for (; q + 1 < end; ++q)
        if (data[q] == '-' && data[q + 1] == '1' && (data[q - 1] == '\n' || data[q - 1] == '\r' || data[q - 1] == ' ' || data[q - 1] == '\t'))
            if (size_t at = ends_at(q); at != end) return at;
    return end;
}

// Pairs of a part, in the value scan's buffered shape.
struct PartPairs {
    GrowBuffer<int32_t> ids;
    GrowBuffer<double> values;
    bool pair(int32_t id, double value) { return ids.push(id) && values.push(value); }
};

struct ValuePart {
    size_t offset = 0;  // where its first line starts
    int64_t line = 0;   // its first line
    PartPairs pairs;
    ScanEnd end;  // lines counted from its first
    Conv outcome = Conv::Fail;
};

// scan_vector_values(lines, n, start, sink, end), in parts of `part_bytes` at least on up
// to `threads` threads where `lines` is a byte view of ASCII text. The sink keeps its
// pairs in order in buffers `ids` and `values` with append(span).
template <class Lines, class Sink>
Conv scan_values_in_parts(Lines& lines, int64_t n, int64_t start, Sink& sink, ScanEnd& end, size_t threads,
                          size_t part_bytes) {
    ByteLines* view = lines.byte_view();
    if (!view || !lines.all_ascii() || threads < 2 || start >= n) return scan_vector_values(lines, n, start, sink, end);
    const char* data = view->data();
    const bool has_cr = view->has_cr();
    const size_t begin = view->offset(start);
    if (view->end() - begin < 2 * part_bytes) return scan_vector_values(lines, n, start, sink, end);
    const size_t section_end = find_section_end(data, begin, view->end(), has_cr);
    const size_t parts = std::min(threads, (section_end - begin) / part_bytes);
    std::vector<ValuePart> rest;
    try {
        rest.reserve(parts);
        for (size_t j = 1; j < parts; ++j) {
            size_t p = std::max(begin + (section_end - begin) / parts * j, rest.empty() ? begin : rest.back().offset);
            p = find_line_end(data, section_end, p, has_cr).next_start;  // the next whole line
            for (int tries = 0; p < section_end && tries < 64; ++tries) {
                LineEnd le = find_line_end(data, section_end, p, has_cr);
                if (looks_like_entry(std::string_view(data + p, le.text_end - p))) {
                    rest.emplace_back().offset = p;
                    break;
                }
                p = le.next_start;
            }
        }
    } catch (const std::bad_alloc&) {
        rest.clear();
    }
    if (rest.empty()) return scan_vector_values(lines, n, start, sink, end);
    for (size_t j = 0; j < rest.size(); ++j)
        rest[j].line = (j ? rest[j - 1].line : start) + count_lines(data, j ? rest[j - 1].offset : begin, rest[j].offset, has_cr);

    auto scan_part = [&](size_t j) {
        ValuePart& part = rest[j];
        try {
            PlainLines plain;
            plain.bind(data, part.offset, view->end(), n - part.line, has_cr, lines.file_end());
            const int64_t stop = j + 1 < rest.size() ? rest[j + 1].line - part.line : -1;
            part.outcome = scan_vector_values(plain, plain.size(), 0, part.pairs, part.end, stop);
        } catch (...) {
            part.outcome = Conv::Fail;
        }
    };
    Threads started;
    for (size_t j = 0; j < rest.size(); ++j)
        if (!started.start(scan_part, j)) break;  // the parts not started are scanned here below
    Conv c = scan_vector_values(lines, n, start, sink, end, rest[0].line);
    started.join();
    for (size_t j = 0; c == Conv::Ok && end.stopped && j < rest.size(); ++j) {
        ValuePart& part = rest[j];  // the scan stopped on its first line
        const int64_t stop = j + 1 < rest.size() ? rest[j + 1].line : -1;
        if (part.outcome == Conv::Ok) {
            if (!sink.ids.append(part.pairs.ids.values()) || !sink.values.append(part.pairs.values.values()))
                return Conv::Fail;
            end = part.end;
            end.next += part.line;
        } else {
            end = ScanEnd{};
            c = scan_vector_values(lines, n, part.line, sink, end, stop);
        }
    }
    return c;
}

}  // namespace femap
