// The record rules of every extractor, written once and shared by the dict and the
// array forms through a sink. Python-free: `Lines` and its `Fields` are template
// parameters (see block_lines.hpp for the ones the module uses).
//
// Lines:  int64_t size();  bool split(int64_t i, Fields&, size_t limit = all)
//         (false: error pending; with a limit, the fields past it may be left out);
//         Conv split_in_guard(i, Fields&, limit)  (Reject: i is past the end now);
//         bool not_terminator(int64_t i)   (true only when line i is certainly none)
// Fields: size_t size();   Conv to_int32(k, int32_t&);  Conv to_double(k, double&);
//         Conv check_int(k);  bool is(k, std::string_view text)
#pragma once
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace femap {

// Outcome of a conversion: Reject is the ValueError a record guard swallows,
// Fail an error that ends the whole call.
enum class Conv : uint8_t { Ok, Reject, Fail };

#define FEMAP_TRY_CONV(expr)                    \
    do {                                        \
        ::femap::Conv c_ = (expr);              \
        if (c_ != ::femap::Conv::Ok) return c_; \
    } while (0)

// Node line: more than 13 fields; field 0 the identifier, 11 to 13 the coordinates.
// sink.node(id, x, y, z) -> bool
template <class Lines, class Sink>
bool walk_nodes(Lines& lines, Sink& sink) {
    typename Lines::Fields f;
    const int64_t n = lines.size();
    for (int64_t i = 0; i < n; ++i) {
        if (!lines.split(i, f)) return false;
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
        if (!lines.split(i, f)) return false;
        if (f.size() <= 4) { ++i; continue; }
        int32_t id, prop, topo;
        auto convert = [&]() -> Conv {
            FEMAP_TRY_CONV(f.to_int32(0, id));
            FEMAP_TRY_CONV(f.to_int32(2, prop));
            FEMAP_TRY_CONV(f.to_int32(4, topo));
            nodes.clear();
            for (int64_t j = i + 1; j <= i + 2 && j < n; ++j) {
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

// Property record: a line of more than 2 fields whose fields 0 and 2 are
// integers, then its title line; stride 7, else 1.
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
        i += c == Conv::Ok ? 7 : 1;
    }
    return true;
}

// Material line: any line whose field 0 is an integer. sink.material(id) -> bool
template <class Lines, class Sink>
bool walk_materials(Lines& lines, Sink& sink) {
    typename Lines::Fields f;
    const int64_t n = lines.size();
    for (int64_t i = 0; i < n; ++i) {
        if (!lines.split(i, f, 1)) return false;
        if (f.size() == 0) continue;
        int32_t id;
        Conv c = f.to_int32(0, id);
        if (c == Conv::Fail) return false;
        if (c == Conv::Ok && !sink.material(id)) return false;
    }
    return true;
}

// Output set record: a line whose field 0 is an integer, its title line, one
// line not read, the value line (field 0 a real); stride 6, else 1.
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
        i += 6;
    }
    return true;
}

// ---- Output vectors -------------------------------------------------------------

struct VectorHeader {
    int32_t ent_type = -1;
    bool found = false;
    int64_t result_start = 0;
};

template <class Fields>
bool is_terminator(Fields& f) {
    return f.size() >= 2 && f.is(0, "-1") && f.is(1, "0.");
}

// The header search: from start + 3 on, the first pair of an entity-type line
// (4 integer fields) and a flag line (3 integer fields). The line count is taken
// anew on every pass. Returns Fail on an error that ends the call.
template <class Lines>
Conv locate_vector_header(Lines& lines, int64_t start, VectorHeader& out) {
    typename Lines::Fields a, b;
    int64_t s = start + 3;
    bool have_a = false;  // `a` already holds the fields of line s
    for (; s + 1 < lines.size(); ++s) {
        if (!have_a && !lines.split(s, a)) return Conv::Fail;
        if (!lines.split(s + 1, b)) return Conv::Fail;
        if (a.size() == 4 && b.size() == 3) {
            int32_t ent_type = 0;
            auto convert = [&]() -> Conv {
                for (size_t k = 0; k < 3; ++k) FEMAP_TRY_CONV(a.check_int(k));
                FEMAP_TRY_CONV(a.to_int32(3, ent_type));
                for (size_t k = 0; k < 3; ++k) FEMAP_TRY_CONV(b.check_int(k));
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

// Where a value scan or a skip walk ended: `next` is the index the record walk goes
// on at; on Reject, `failed_line` is the line whose conversion failed.
struct ScanEnd {
    int64_t next = 0;
    int64_t failed_line = -1;
};

// The value scan: single value lines, range lines with continuation lines, ignored
// lines, up to and including the terminator line. sink.pair(id, value) -> bool; a sink
// that keeps pairs in order may instead offer its buffers (`values`, `ids`), into
// which range values are read directly.
template <class Lines, class Sink>
Conv scan_vector_values(Lines& lines, int64_t n, int64_t k, Sink& sink, ScanEnd& end) {
    constexpr bool buffered = requires { sink.values.data(); sink.ids.data(); };
    typename Lines::Fields f;
    std::vector<double> own;
    std::vector<double>& values = [&]() -> std::vector<double>& {
        if constexpr (buffered) return sink.values; else return own;
    }();
    for (; k < n;) {
        end.failed_line = k;
        FEMAP_TRY_CONV(lines.split_in_guard(k, f));
        if (is_terminator(f)) { ++k; break; }
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
        int32_t first, last;
        FEMAP_TRY_CONV(f.to_int32(0, first));
        FEMAP_TRY_CONV(f.to_int32(1, last));
        const size_t base = buffered ? values.size() : 0;
        values.resize(base);
        auto read_values = [&](size_t from) -> Conv {
            for (size_t j = from; j < f.size(); ++j) {
                double v;
                FEMAP_TRY_CONV(f.to_double(j, v));
                values.push_back(v);
            }
            return Conv::Ok;
        };
        FEMAP_TRY_CONV(read_values(2));
        int64_t count = int64_t(last) - int64_t(first) + 1;
        if (count > std::numeric_limits<int32_t>::max()) count = 0;
        ++k;
        while (int64_t(values.size() - base) < count && k < n) {
            end.failed_line = k;
            FEMAP_TRY_CONV(lines.split_in_guard(k, f));
            if (is_terminator(f)) break;
            FEMAP_TRY_CONV(read_values(0));
            ++k;
        }
        const size_t m = size_t(std::clamp<int64_t>(count, 0, int64_t(values.size() - base)));
        if constexpr (buffered) {
            values.resize(base + m);
            for (size_t off = 0; off < m; ++off) sink.ids.push_back(static_cast<int32_t>(first + int64_t(off)));
        } else {
            for (size_t off = 0; off < m; ++off)
                if (!sink.pair(static_cast<int32_t>(first + int64_t(off)), values[off])) return Conv::Fail;
        }
    }
    end.next = k;
    return Conv::Ok;
}

// The skip walk: up to and including the terminator line, nothing converted.
template <class Lines>
bool skip_vector_values(Lines& lines, int64_t n, int64_t k, int64_t& next) {
    typename Lines::Fields f;
    while (k < n) {
        if (lines.not_terminator(k)) {
            ++k;
            continue;
        }
        if (!lines.split(k, f)) return false;
        ++k;
        if (is_terminator(f)) break;
    }
    next = k;
    return true;
}

// What a record handler tells the walk.
enum class RecordOutcome : uint8_t { Next, Stop, Fail };

// The record walk over one block. For each vector start line (2 or more fields,
// fields 0 and 1 integers) it calls sink.title(lines, index_or_-1) -> Conv, searches the
// header, then sink.record(lines, n, set, vec, header, next) which sets `next`
// (after a dropped record: one past the failing line).
template <class Lines, class Sink>
RecordOutcome walk_vector_records(Lines& lines, Sink& sink) {
    typename Lines::Fields f;
    const int64_t n = lines.size();
    for (int64_t i = 0; i < n;) {
        if (!lines.split(i, f, 2)) return RecordOutcome::Fail;
        if (f.size() < 2) { ++i; continue; }
        int32_t set_id, vec_id;
        Conv c = f.to_int32(0, set_id);
        if (c == Conv::Ok) c = f.to_int32(1, vec_id);
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
    return RecordOutcome::Next;
}

}  // namespace femap
