// The record rules of every extractor, written once and shared by the dict and the
// array forms through a sink. Python-free: `Lines` and its `Fields` are template
// parameters (see block_lines.hpp for the ones the module uses).
//
// Lines:  int64_t size();  bool split(int64_t i, Fields&, size_t limit = all)
//         (false: error pending; with a limit, the fields past it may be left out);
//         Conv split_in_guard(i, Fields&, limit)  (Reject: i is past the end now);
//         Conv split_if_text(i, Fields&, limit)   (Reject: no such line, or not text)
//         bool count_fields(i, limit, size_t& count, bool& field0_may_read_minus_one)
//         optional: RealLine read_reals(i, push), read_entry(i, EntryLine&, push)
//         (see field_split.hpp)
// Fields: size_t size();   Conv to_int32(k, int32_t&);  Conv to_double(k, double&);
//         Conv check_int(k);  Conv to_int64_clamped(k, int64_t&);
//         bool is(k, std::string_view text);  bool starts_with(k, char)
#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <vector>

#include "field_split.hpp"
#include "grow_buffer.hpp"
#include "outcomes.hpp"

namespace femap {

// Returns the step's outcome unless it is Ok (local to this header).
#define FEMAP_TRY_CONV(expr)                    \
    do {                                        \
        ::femap::Conv c_ = (expr);              \
        if (c_ != ::femap::Conv::Ok) return c_; \
    } while (0)

// ---- Record lengths from count lines -----------------------------------------------

// `at` moved on by `step` lines; any position past the block is its end, where the
// walk stops.
inline int64_t advance(int64_t at, uint64_t step, int64_t n) {
    return at >= n || step >= uint64_t(n - at) ? n : at + int64_t(step);
}

inline uint64_t lines_for(uint64_t count, uint64_t per_line) { return count / per_line + (count % per_line != 0); }

// Line i (below n) as a count line: exactly one field, an integer >= 0 (clamped to
// the 64-bit range). Reject when it is none, missing or not text.
template <class Lines>
Conv read_count_line(Lines& lines, int64_t n, int64_t i, typename Lines::Fields& f, uint64_t& count) {
    if (i >= n) return Conv::Reject;
    FEMAP_TRY_CONV(lines.split_if_text(i, f, 2));
    if (f.size() != 1) return Conv::Reject;
    int64_t v;
    FEMAP_TRY_CONV(f.to_int64_clamped(0, v));
    if (v < 0) return Conv::Reject;
    count = uint64_t(v);
    return Conv::Ok;
}

// Node line: more than 13 fields; field 0 the identifier, 11 to 13 the coordinates.
// sink.node(id, x, y, z) -> bool. Lines [from, to) (to < 0: to the end).
template <class Lines, class Sink>
bool walk_nodes(Lines& lines, Sink& sink, int64_t from = 0, int64_t to = -1) {
    typename Lines::Fields f;
    const int64_t n = to < 0 ? lines.size() : std::min(to, lines.size());
    for (int64_t i = from; i < n; ++i) {
        if (!lines.split(i, f, 14)) return false;
        if (f.size() <= 13) continue;
        int32_t id;
        double xyz[3];
        auto convert = [&]() -> Conv {
            FEMAP_TRY_CONV(f.to_int32(0, id));
            for (int c = 0; c < 3; ++c) FEMAP_TRY_CONV(f.to_double(11 + c, xyz[c]));
            return Conv::Ok;
        };
        Conv c = convert();
        if (c == Conv::Fail) return false;
        if (c == Conv::Ok && !sink.node(id, xyz[0], xyz[1], xyz[2])) return false;
    }
    return true;
}

// Converts every field of a node list line, keeping the non-zero values.
template <class Fields>
Conv collect_node_numbers(Fields& f, std::vector<int32_t>& out) {
    for (size_t k = 0; k < f.size(); ++k) {
        int32_t v;
        FEMAP_TRY_CONV(f.to_int32(k, v));
        if (v != 0) out.push_back(v);
    }
    return Conv::Ok;
}

// Element record: a header line of more than 4 fields (0 id, 2 property,
// 4 topology), two node list lines, four lines never read; stride 7, else 1.
// sink.element(id, prop, topo, const std::vector<int32_t>& nodes) -> bool
template <class Lines, class Sink>
bool walk_elements(Lines& lines, Sink& sink) {
    typename Lines::Fields f;
    std::vector<int32_t> nodes;
    const int64_t n = lines.size();
    for (int64_t i = 0; i < n;) {
        if (!lines.split(i, f, 5)) return false;
        if (f.size() <= 4) { ++i; continue; }
        int32_t id, prop, topo;
        auto convert = [&]() -> Conv {
            FEMAP_TRY_CONV(f.to_int32(0, id));
            FEMAP_TRY_CONV(f.to_int32(2, prop));
            FEMAP_TRY_CONV(f.to_int32(4, topo));
            nodes.clear();
            for (int64_t j = i + 1; j <= i + 2 && j < n; ++j) {
                if constexpr (requires { lines.read_node_numbers(j, nodes); })
                    if (lines.read_node_numbers(j, nodes)) continue;
                FEMAP_TRY_CONV(lines.split_in_guard(j, f));
                FEMAP_TRY_CONV(collect_node_numbers(f, nodes));
            }
            return Conv::Ok;
        };
        Conv c = convert();
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) { ++i; continue; }
        if (!sink.element(id, prop, topo, nodes)) return false;
        i += 7;
    }
    return true;
}

// Where the walk goes on after the property record stored at line i: past its
// laminate values (count at i+3, 8 per line) and property values (count after them, 5
// per line) when both counts are there, else 7 lines on.
template <class Lines>
Conv after_property(Lines& lines, int64_t n, int64_t i, typename Lines::Fields& f, int64_t& next) {
    next = i + 7;
    uint64_t laminate, values;
    Conv c = read_count_line(lines, n, i + 3, f, laminate);
    if (c != Conv::Ok) return c == Conv::Fail ? c : Conv::Ok;
    int64_t at = advance(i + 4, lines_for(laminate, 8), n);
    c = read_count_line(lines, n, at, f, values);
    if (c == Conv::Ok) next = advance(at + 1, lines_for(values, 5), n);
    return c == Conv::Fail ? c : Conv::Ok;
}

// Property record: a line of more than 2 fields whose fields 0 and 2 are
// integers, then its title line; its length from its counts, else 7; else 1.
// sink.property(lines, title_index_or_-1, id, material) -> Conv (Reject: the record is passed over)
template <class Lines, class Sink>
bool walk_properties(Lines& lines, Sink& sink) {
    typename Lines::Fields f;
    const int64_t n = lines.size();
    for (int64_t i = 0; i < n;) {
        if (!lines.split(i, f, 3)) return false;
        if (f.size() <= 2) { ++i; continue; }
        int32_t id, mat;
        Conv c = f.to_int32(0, id);
        if (c == Conv::Ok) c = f.to_int32(2, mat);
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) { ++i; continue; }
        c = sink.property(lines, i + 1 < n ? i + 1 : -1, id, mat);
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) { ++i; continue; }
        if (after_property(lines, n, i, f, i) == Conv::Fail) return false;
    }
    return true;
}

// Material line: any line whose field 0 is an integer. After one, the count groups
// that follow its title (a count line, then its values 10 per line) are stepped
// over; without any, the next line is tried. sink.material(id) -> bool
template <class Lines, class Sink>
bool walk_materials(Lines& lines, Sink& sink) {
    typename Lines::Fields f;
    const int64_t n = lines.size();
    for (int64_t i = 0; i < n;) {
        if (!lines.split(i, f, 1)) return false;
        int32_t id;
        Conv c = f.size() == 0 ? Conv::Reject : f.to_int32(0, id);
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) { ++i; continue; }
        if (!sink.material(id)) return false;
        int64_t j = i + 2;
        uint64_t count;
        while ((c = read_count_line(lines, n, j, f, count)) == Conv::Ok) j = advance(j + 1, lines_for(count, 10), n);
        if (c == Conv::Fail) return false;
        i = j > i + 2 ? j : i + 1;
    }
    return true;
}

// Where the walk goes on after the output set record stored at line i: past its
// notes when line i+4 counts them, and past the three lines FEMAP 10 and later write
// after them (the first holding three integers); else 6 lines on.
template <class Lines>
Conv after_output_set(Lines& lines, int64_t n, int64_t i, typename Lines::Fields& f, int64_t& next) {
    next = i + 6;
    uint64_t notes;
    Conv c = read_count_line(lines, n, i + 4, f, notes);
    if (c != Conv::Ok) return c == Conv::Fail ? c : Conv::Ok;
    next = advance(i + 5, notes, n);
    c = next < n ? lines.split_if_text(next, f, 4) : Conv::Reject;
    if (c == Conv::Ok && f.size() == 3)
        for (size_t k = 0; k < 3 && c == Conv::Ok; ++k) c = f.check_int(k);
    else if (c == Conv::Ok)
        c = Conv::Reject;
    if (c == Conv::Ok) next = advance(next, 3, n);
    return c == Conv::Fail ? c : Conv::Ok;
}

// Output set record: a line whose field 0 is an integer, its title line, one
// line not read, the value line (field 0 a real), the count of note lines and the
// notes; its length from that count, else 6; else 1.
// sink.title(lines, index_or_-1) -> Conv (Reject: passed over), then sink.output_set(id, value) -> bool
template <class Lines, class Sink>
bool walk_output_sets(Lines& lines, Sink& sink) {
    typename Lines::Fields f;
    const int64_t n = lines.size();
    for (int64_t i = 0; i < n;) {
        if (!lines.split(i, f, 1)) return false;
        if (f.size() == 0) { ++i; continue; }
        int32_t id;
        Conv c = f.to_int32(0, id);
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) { ++i; continue; }
        c = sink.title(lines, i + 1 < n ? i + 1 : -1);
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) { ++i; continue; }
        double value = 0.0;
        if (i + 3 < n) {
            c = lines.split_in_guard(i + 3, f, 1);
            if (c == Conv::Ok && f.size() > 0) c = f.to_double(0, value);
        }
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) { ++i; continue; }
        if (!sink.output_set(id, value)) return false;
        if (after_output_set(lines, n, i, f, i) == Conv::Fail) return false;
    }
    return true;
}

// ---- Output vectors -------------------------------------------------------------

struct VectorHeader {
    int32_t ent_type = -1;
    bool found = false;
    int64_t result_start = 0;
};

// The terminator as a continuation line of a range must spell it: "-1", "0.".
template <class Fields>
bool is_terminator(Fields& f) {
    return f.size() >= 2 && f.is(0, "-1") && f.is(1, "0.");
}

// The terminator where an entry starts: fields 0 and 1 read as the integer -1 and a
// real 0 (`-1,0.`, `-1, 0.0`, `-1, 0.0D+00`). Ok when it is one, Reject when not.
template <class Fields>
Conv ends_value_section(Fields& f) {
    if (f.size() < 2) return Conv::Reject;
    if (f.is(0, "-1") && f.is(1, "0.")) return Conv::Ok;
    if (!f.starts_with(0, '-')) return Conv::Reject;  // int() of a stripped "-1" needs its sign first
    int64_t first;
    double second;
    FEMAP_TRY_CONV(f.to_int64_clamped(0, first));
    if (first != -1) return Conv::Reject;
    FEMAP_TRY_CONV(f.to_double(1, second));
    return second == 0.0 ? Conv::Ok : Conv::Reject;
}

// The header search: from start + 3 on, the first pair of an entity-type line and a
// flag line of integer fields, 4 and 3 of them, or 5 and 4 (FEMAP 10 and later); the
// entity type is field 3. The line count is taken anew on every pass. Returns Fail
// on an error that ends the call.
template <class Lines>
Conv locate_vector_header(Lines& lines, int64_t start, VectorHeader& out) {
    typename Lines::Fields a, b;
    int64_t s = start + 3;
    bool have_a = false;  // `a` already holds the fields of line s
    for (; s + 1 < lines.size(); ++s) {
        if (!have_a && !lines.split(s, a)) return Conv::Fail;
        if (!lines.split(s + 1, b)) return Conv::Fail;
        if ((a.size() == 4 && b.size() == 3) || (a.size() == 5 && b.size() == 4)) {
            int32_t ent_type = 0;
            auto convert = [&]() -> Conv {
                for (size_t k = 0; k < a.size(); ++k) FEMAP_TRY_CONV(k == 3 ? a.to_int32(3, ent_type) : a.check_int(k));
                for (size_t k = 0; k < b.size(); ++k) FEMAP_TRY_CONV(b.check_int(k));
                return Conv::Ok;
            };
            Conv c = convert();
            if (c == Conv::Fail) return c;
            if (c == Conv::Ok) {
                out = {ent_type, true, s + 2};
                return Conv::Ok;
            }
        }
        std::swap(a, b);
        have_a = true;
    }
    out = {-1, false, lines.size()};
    return Conv::Ok;
}

// The range line's entity count: end - start + 1 when both identifiers fit 32 bits,
// 0 when that is not positive or exceeds 2**31 - 1.
inline int64_t range_count(int64_t first, int64_t last) {
    int64_t count = last - first + 1;
    return count > std::numeric_limits<int32_t>::max() ? 0 : std::max<int64_t>(count, 0);
}

// Where a value scan or a skip walk ended: `next` is the index the record walk goes
// on at; on Reject, `failed_line` is the line whose conversion failed.
struct ScanEnd {
    int64_t next = 0;
    int64_t failed_line = -1;
};

// A buffer in the shape the value scan writes into (push -> bool, size, truncate).
template <class T>
struct ScanBuffer {
    std::vector<T> v;
    bool push(T x) { v.push_back(x); return true; }
    bool append(std::span<const T> x) { v.insert(v.end(), x.begin(), x.end()); return true; }
    bool append_run(int32_t first, size_t n) {
        const size_t at = v.size();
        v.resize(at + n);
        write_id_run(v.data() + at, first, n);
        return true;
    }
    size_t size() const { return v.size(); }
    void truncate(size_t n) { v.resize(std::min(n, v.size())); }
};

// The value scan: single value lines, range lines with continuation lines, ignored
// lines, up to and including the terminator line. sink.pair(id, value) -> bool; a sink
// that keeps pairs in order may instead offer its buffers (`values`, `ids`, shaped as
// ScanBuffer), into which range values are read directly.
template <class Lines, class Sink>
Conv scan_vector_values(Lines& lines, int64_t n, int64_t k, Sink& sink, ScanEnd& end) {
    constexpr bool buffered = requires { sink.values.truncate(0); sink.ids.append_run(0, 0); };
    typename Lines::Fields f;
    ScanBuffer<double> own;
    auto& values = [&]() -> auto& {
        if constexpr (buffered) return sink.values; else return own;
    }();
    auto push = [&](double v) { return values.push(v); };
    auto push_all = [&](std::span<const double> v) { return values.append(v); };
    // Pairs in batches: appended to a buffered sink's columns, else one by one.
    auto pairs_of = [&](std::span<const int32_t> ids, std::span<const double> vs) {
        if constexpr (buffered) return sink.ids.append(ids) && sink.values.append(vs);
        for (size_t j = 0; j < ids.size(); ++j)
            if (!sink.pair(ids[j], vs[j])) return false;
        return true;
    };
    auto read_values = [&](size_t from) -> Conv {
        for (size_t j = from; j < f.size(); ++j) {
            double v;
            FEMAP_TRY_CONV(f.to_double(j, v));
            if (!push(v)) return Conv::Fail;
        }
        return Conv::Ok;
    };
    for (; k < n;) {
        if constexpr (requires { lines.read_plain_pairs(k, n, pairs_of); }) {
            // Plain `id, value` lines are read in one pass.
            k = lines.read_plain_pairs(k, n, pairs_of);
            if (k < 0) return Conv::Fail;
            if (k == n) break;
        }
        end.failed_line = k;
        const size_t base = buffered ? values.size() : 0;
        values.truncate(base);
        int32_t first, last;
        bool read = false;
        if constexpr (requires(EntryLine e) { lines.read_entry(k, e, push); }) {
            // A plain `id, value` or range line is read without splitting it.
            EntryLine entry;
            RealLine r = lines.read_entry(k, entry, push);
            if (r == RealLine::PushFailed) return Conv::Fail;
            if (r == RealLine::Read && !entry.range) {
                if (!sink.pair(entry.first, entry.value)) return Conv::Fail;
                ++k;
                continue;
            }
            read = r == RealLine::Read;
            if (read) first = entry.first, last = entry.second;
            else values.truncate(base);
        }
        if (!read) {
            FEMAP_TRY_CONV(lines.split_in_guard(k, f));
            if (Conv t = ends_value_section(f); t != Conv::Reject) {
                if (t == Conv::Fail) return t;
                ++k;
                break;
            }
            if (f.size() < 2) { ++k; continue; }
            if (f.size() == 2) {
                int32_t id;
                double v;
                FEMAP_TRY_CONV(f.to_int32(0, id));
                FEMAP_TRY_CONV(f.to_double(1, v));
                if (!sink.pair(id, v)) return Conv::Fail;
                ++k;
                continue;
            }
            FEMAP_TRY_CONV(f.to_int32(0, first));
            FEMAP_TRY_CONV(f.to_int32(1, last));
            FEMAP_TRY_CONV(read_values(2));
        }
        const int64_t count = range_count(first, last);
        ++k;
        while (int64_t(values.size() - base) < count && k < n) {
            if constexpr (requires { lines.read_plain_reals(k, n, size_t(0), push_all); }) {
                // Plain lines of values are read in one pass.
                const int64_t j = lines.read_plain_reals(k, n, size_t(count - int64_t(values.size() - base)), push_all);
                if (j < 0) return Conv::Fail;
                if (j > k) {
                    k = j;
                    continue;
                }
            }
            end.failed_line = k;
            if constexpr (requires { lines.read_reals(k, [](double) { return true; }); }) {
                // A plain line of values is read without splitting it.
                const size_t mark = values.size();
                RealLine r = lines.read_reals(k, push);
                if (r == RealLine::PushFailed) return Conv::Fail;
                if (r == RealLine::Read) { ++k; continue; }
                values.truncate(mark);
            }
            FEMAP_TRY_CONV(lines.split_in_guard(k, f));
            if (is_terminator(f)) break;
            FEMAP_TRY_CONV(read_values(0));
            ++k;
        }
        const size_t m = size_t(std::clamp<int64_t>(count, 0, int64_t(values.size() - base)));
        if constexpr (buffered) {
            values.truncate(base + m);
            if (!sink.ids.append_run(first, m)) return Conv::Fail;
        } else {
            for (size_t off = 0; off < m; ++off)
                if (!sink.pair(static_cast<int32_t>(first + int64_t(off)), values.v[off])) return Conv::Fail;
        }
    }
    end.next = k;
    return Conv::Ok;
}

// The skip walk: up to and including the terminator line, no value converted. It
// ends where the value scan would: a range line's two identifiers are read so that
// its continuation lines are counted by their fields; a range line whose identifiers
// do not convert is passed over as one line. Lines are only counted unless their
// field 0 may read as -1 or they are a range line.
template <class Lines>
bool skip_vector_values(Lines& lines, int64_t n, int64_t k, int64_t& next) {
    typename Lines::Fields f;
    size_t count;
    bool minus_one;
    while (k < n) {
        if constexpr (requires { lines.skip_short_lines(k, n); }) {
            // lines of fewer than three fields that cannot end the section, in bulk
            if ((k = lines.skip_short_lines(k, n)) == n) break;
        }
        const int64_t at = k++;
        if (!lines.count_fields(at, 3, count, minus_one)) return false;
        if (minus_one) {
            if (!lines.split(at, f)) return false;
            Conv c = ends_value_section(f);
            if (c == Conv::Fail) return false;
            if (c == Conv::Ok) break;
        }
        if (count < 3) continue;
        if (!lines.split(at, f)) return false;
        int64_t first, last;
        Conv c = f.to_int64_clamped(0, first);
        if (c == Conv::Ok) c = f.to_int64_clamped(1, last);
        if (c == Conv::Fail) return false;
        constexpr int64_t lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
        if (c == Conv::Reject || first < lo || first > hi || last < lo || last > hi) continue;
        const int64_t wanted = range_count(first, last);
        for (int64_t have = int64_t(f.size()) - 2; have < wanted && k < n; ++k) {
            if constexpr (requires { lines.count_value_lines(k, n, wanted, have); }) {
                // plain lines of values, in bulk
                if ((k = lines.count_value_lines(k, n, wanted, have)) == n || have >= wanted) break;
            }
            if (!lines.count_fields(k, SIZE_MAX, count, minus_one)) return false;
            if (minus_one) {
                if (!lines.split(k, f)) return false;
                if (is_terminator(f)) break;
            }
            have += int64_t(count);
        }
    }
    next = k;
    return true;
}

// The record walk over one block. For each vector start line (2 or more fields,
// fields 0 and 1 integers) it calls sink.title(lines, index_or_-1) -> Conv, searches the
// header, then sink.record(lines, n, set, vec, header, next) which sets `next`
// (after a dropped record: one past the failing line). The walk starts at line `from`
// and goes on from each line it reaches for which stop(i) is false; `end` is the first
// one for which it is true (or the number of lines). It never looks back before `from`.
struct NeverStop {
    bool operator()(int64_t) const noexcept { return false; }
};

// Line i read as a vector start line: Ok with its set and vector ids (2 or more fields,
// fields 0 and 1 integers), Reject when it is none, Fail when a conversion failed.
template <class Lines>
Conv read_vector_start(Lines& lines, int64_t i, typename Lines::Fields& f, int32_t& set_id, int32_t& vec_id) {
    if (!lines.split(i, f, 2)) return Conv::Fail;
    if (f.size() < 2) return Conv::Reject;
    Conv c = f.to_int32(0, set_id);
    if (c == Conv::Ok) c = f.to_int32(1, vec_id);
    return c;
}

template <class Lines, class Sink, class Stop = NeverStop>
RecordOutcome walk_vector_records(Lines& lines, Sink& sink, int64_t from = 0, Stop&& stop = {}, int64_t* end = nullptr) {
    typename Lines::Fields f;
    const int64_t n = lines.size();
    int64_t i = from;
    auto stopped = [&](RecordOutcome r) {
        if (end) *end = i;
        return r;
    };
    while (i < n) {
        if (stop(i)) return stopped(RecordOutcome::Next);
        int32_t set_id, vec_id;
        Conv c = read_vector_start(lines, i, f, set_id, vec_id);
        if (c == Conv::Fail) return RecordOutcome::Fail;
        if (c == Conv::Reject) { ++i; continue; }
        c = sink.title(lines, i + 1 < n ? i + 1 : -1);
        if (c == Conv::Fail) return RecordOutcome::Fail;
        if (c == Conv::Reject) { ++i; continue; }
        VectorHeader header;
        if (locate_vector_header(lines, i, header) == Conv::Fail) return RecordOutcome::Fail;
        int64_t next = i + 1;
        RecordOutcome r = sink.record(lines, n, set_id, vec_id, header, next);
        if (r != RecordOutcome::Next) return r;
        i = next;
    }
    return stopped(RecordOutcome::Next);
}

}  // namespace femap

#undef FEMAP_TRY_CONV
