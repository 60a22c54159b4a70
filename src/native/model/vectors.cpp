// Every output vector of blocks 1051 and 451 in one pass of the parser's vector
// record walk: a table with one row per vector, and all (id, value) pairs in
// delivery order, each vector's pairs at offsets[k]:offsets[k + 1].
//
// A large block of ASCII bytes is cut into parts at lines that end a value section,
// and the parts after the first are walked on threads of their own (no Python there)
// while this thread walks the first. A part is taken when the walk before it ended
// exactly where it starts, and when it met nothing it could not decide without the
// host; any other part is walked again here, so the result is always the walk's.
#include <algorithm>
#include <memory>

#include "model.hpp"
#include "text/parts.hpp"

namespace femap::model {

namespace {

constexpr size_t kComponents = 20;

// Titles made into str as each record is taken.
struct StrTitles {
    Ref all = Ref::steal(PyList_New(0));
    Ref current;
    Conv take(TrackedLines& lines, int64_t index) { return take_title(current, lines, index); }
    bool keep() { return PyList_Append(all.get(), current.get()) == 0; }
};

// Titles kept as the text of their line, for str made later on the host's thread.
struct TextTitles {
    std::vector<std::string_view> all;
    std::string_view current;
    Conv take(PlainLines& lines, int64_t index) {
        current = index < 0 ? std::string_view("") : lines.line(index);
        return Conv::Ok;
    }
    bool keep() {
        all.push_back(current);
        return true;
    }
};

template <class Lines, class Titles>
struct VectorTable {
    // The value scan appends here (its buffered form): the pairs after `done_pairs`.
    GrowBuffer<int32_t> ids;
    GrowBuffer<double> values;
    int64_t done_pairs = 0;
    // One row per vector.
    std::vector<int32_t> set_ids, vec_ids, output_types, ent_types, components;
    std::vector<double> extremes;  // min, max, absolute max
    std::vector<int64_t> offsets{0};
    Titles titles;

    int64_t start = 0;
    LooseLineOf<Lines> line;

    bool pair(int32_t id, double value) { return ids.push(id) && values.push(value); }

    Conv title(Lines& lines, int64_t index) {
        start = lines.last;
        return titles.take(lines, index);
    }

    RecordOutcome record(Lines& lines, int64_t n, int32_t set_id, int32_t vec_id, const VectorHeader& header,
                         int64_t& next) {
        // The header lines first: the walk goes on forward from the value scan.
        Row row;
        if (!read_header(lines, header, row)) return RecordOutcome::Fail;
        const size_t mark = ids.size();
        ScanEnd end;
        switch (scan_vector_values(lines, n, header.result_start, *this, end)) {
            case Conv::Fail: return RecordOutcome::Fail;
            case Conv::Reject:  // a dropped record leaves nothing behind
                ids.truncate(mark);
                values.truncate(mark);
                next = end.failed_line + 1;
                return RecordOutcome::Next;
            case Conv::Ok: break;
        }
        next = end.next;
        set_ids.push_back(set_id);
        vec_ids.push_back(vec_id);
        ent_types.push_back(header.found ? header.ent_type : -1);
        output_types.push_back(row.output_type);
        extremes.insert(extremes.end(), row.extremes, row.extremes + 3);
        components.insert(components.end(), row.components, row.components + kComponents);
        offsets.push_back(done_pairs + static_cast<int64_t>(ids.size()));
        return titles.keep() ? RecordOutcome::Next : RecordOutcome::Fail;
    }

    struct Row {
        double extremes[3];
        int32_t components[kComponents];
        int32_t output_type = -1;
    };

    // What the header lines say: min, max, absolute max (start + 2), component
    // vectors (start + 3 and + 4), output type (field 2 of the entity-type line).
    bool read_header(Lines& lines, const VectorHeader& header, Row& row) {
        if (!line.load(lines, start + 2, 3)) return false;
        for (size_t k = 0; k < 3; ++k)
            if (!line.real_at(k, NAN, row.extremes[k])) return false;
        for (size_t half = 0; half < 2; ++half) {
            if (!line.load(lines, start + 3 + int64_t(half), kComponents / 2)) return false;
            for (size_t k = 0; k < kComponents / 2; ++k)
                if (!line.int_at(k, 0, row.components[half * kComponents / 2 + k])) return false;
        }
        return !header.found || (line.load(lines, header.result_start - 2, 3) && line.int_at(2, -1, row.output_type));
    }
};

using PartTable = VectorTable<PlainLines, TextTitles>;

struct MainTable : VectorTable<TrackedLines, StrTitles> {
    // The pairs in chunks, in order: those filled before, then ids and values.
    std::vector<Ref> id_chunks, value_chunks;

    // Closes the chunk being filled; false with an error set on failure.
    bool close_chunk() {
        if (ids.size() == 0) return true;
        done_pairs += static_cast<int64_t>(ids.size());
        return keep_chunk(ids, values);
    }
    bool keep_chunk(GrowBuffer<int32_t>& i, GrowBuffer<double>& v) {
        Ref a = Ref::steal(adopt_array(std::move(i)));
        Ref b = Ref::steal(a ? adopt_array(std::move(v)) : nullptr);
        if (!b) return false;
        try {
            id_chunks.push_back(std::move(a));
            value_chunks.push_back(std::move(b));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    // Takes over a part's rows and pairs (a chunk of their own); false with an error
    // set on failure.
    bool take(PartTable& part) {
        if (!close_chunk()) return false;
        const int64_t base = done_pairs;
        done_pairs += static_cast<int64_t>(part.ids.size());
        if (!keep_chunk(part.ids, part.values)) return false;
        try {
            for (auto [to, from] : {std::pair{&set_ids, &part.set_ids}, {&vec_ids, &part.vec_ids},
                                    {&output_types, &part.output_types}, {&ent_types, &part.ent_types},
                                    {&components, &part.components}})
                to->insert(to->end(), from->begin(), from->end());
            extremes.insert(extremes.end(), part.extremes.begin(), part.extremes.end());
            for (size_t k = 1; k < part.offsets.size(); ++k) offsets.push_back(base + part.offsets[k]);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        for (std::string_view text : part.titles.all) {
            Ref title = Ref::steal(title_of_ascii(text));
            if (!title || PyList_Append(titles.all.get(), title.get()) < 0) return false;
        }
        return true;
    }

    // (set_id, vec_id, title, output_type, ent_type, components, extremes, offsets, id chunks, value
    // chunks): the pairs as lists of arrays, in order.
    PyObject* result() {
        if (!close_chunk()) return nullptr;
        if (id_chunks.empty() && !keep_chunk(ids, values)) return nullptr;  // no pairs: one empty chunk
        Ref id_list = Ref::steal(PyList_New(0)), value_list = Ref::steal(PyList_New(0));
        if (!id_list || !value_list) return nullptr;
        for (size_t k = 0; k < id_chunks.size(); ++k)
            if (PyList_Append(id_list.get(), id_chunks[k].get()) < 0 ||
                PyList_Append(value_list.get(), value_chunks[k].get()) < 0)
                return nullptr;
        return build_tuple({adopt_array(std::move(set_ids)), adopt_array(std::move(vec_ids)), titles.all.release(),
                            adopt_array(std::move(output_types)), adopt_array(std::move(ent_types)),
                            adopt_array(std::move(components), kComponents), adopt_array(std::move(extremes), 3),
                            adopt_array(std::move(offsets)), id_list.release(), value_list.release()});
    }
};

// Room for the pairs of `bytes` of text (each value takes two bytes at least), reserved
// so that the buffers never move while they fill: untouched, the room costs no memory.
template <class Table>
void reserve_for(Table& table, size_t bytes) {
    table.ids.reserve(table.ids.size() + bytes / 2);
    table.values.reserve(table.values.size() + bytes / 2);
}

// A part of a block walked on a thread of its own: from `begin` (a line start) on,
// starting records before `stop`.
struct Part {
    size_t begin = 0, stop = 0;
    int64_t lines_before = 0;  // lines of the block before `begin`
    std::unique_ptr<PartTable> table;
    bool ok = false;
    int64_t end_line = 0;  // where its walk stopped, counted from `begin`
};

// Whether a line ends a value section: fields -1 and 0 (as the walks read them).
bool ends_values(std::string_view text) {
    if (!may_be_minus_one(text)) return false;
    FieldViews f;
    split_fields_ascii(text, f, 2);
    int64_t id;
    double zero;
    return f.size() == 2 && parse_int_ascii(f[0], id) == Parse::Ok && id == -1 &&
           parse_real_ascii(f[1], zero) == Parse::Ok && zero == 0;
}

// Up to parts - 1 places to cut the block at, increasing: each the start of the line
// after one that ends a value section, found from an even share of the bytes on.
std::vector<size_t> find_cuts(ByteLines& view, size_t begin, size_t parts) {
    std::vector<size_t> cuts;
    const char* data = view.data();
    const size_t end = view.end();
    for (size_t j = 1; j < parts; ++j) {
        size_t p = std::max(begin + (end - begin) / parts * j, cuts.empty() ? begin : cuts.back());
        const size_t limit = begin + (end - begin) / parts * (j + 1);
        p = find_line_end(data, end, p, view.has_cr()).next_start;  // the next whole line
        while (p < limit && p < end) {
            LineEnd le = find_line_end(data, end, p, view.has_cr());
            if (ends_values(std::string_view(data + p, le.text_end - p))) {
                if (le.next_start < end) cuts.push_back(le.next_start);
                break;
            }
            p = le.next_start;
        }
    }
    return cuts;
}

// One block of the table, in parts of `part_bytes` at least where `threads` > 1.
bool walk_block(MainTable& table, TrackedLines& lines, size_t threads, size_t part_bytes) {
    ByteLines* view = lines.byte_view();
    if (!view || !lines.all_ascii() || threads < 2 || view->size() == 0)
        return walk_vector_records(lines, table) != RecordOutcome::Fail;
    const size_t begin = view->offset(0);
    const size_t parts = std::min(threads, (view->end() - begin) / part_bytes);
    std::vector<size_t> cuts = parts > 1 ? find_cuts(*view, begin, parts) : std::vector<size_t>();
    if (cuts.empty()) return walk_vector_records(lines, table) != RecordOutcome::Fail;

    const char* data = view->data();
    const size_t end = view->end();
    const int64_t n_lines = view->size();
    const bool has_cr = view->has_cr();
    const char* readable = lines.file_end();
    std::vector<Part> rest(cuts.size());
    const std::vector<int64_t> first = lines_before(*view, begin, cuts);
    for (size_t k = 0; k < rest.size(); ++k) {
        rest[k].begin = cuts[k];
        rest[k].stop = k + 1 < cuts.size() ? cuts[k + 1] : end;
        rest[k].lines_before = first[k];
    }

    // The parts after the first on threads of their own, the first here.
    auto walk_part = [&](size_t k) {
        Part& part = rest[k];
        try {
            part.table = std::make_unique<PartTable>();
            reserve_for(*part.table, part.stop - part.begin);
            PlainLines plain;
            plain.bind(data, part.begin, end, n_lines - part.lines_before, has_cr, readable);
            auto stop = [&](int64_t i) { return plain.offset(i) >= part.stop; };
            part.ok = walk_vector_records(plain, *part.table, 0, stop, &part.end_line) == RecordOutcome::Next;
        } catch (...) {
            part.ok = false;
        }
    };
    Threads started;
    started.start_each(rest.size(), walk_part);  // the parts not started are walked here below
    int64_t at = 0;
    auto walk_here = [&](size_t stop) {
        return walk_vector_records(
                   lines, table, at, [&](int64_t i) { return view->offset(i) >= stop; }, &at) != RecordOutcome::Fail;
    };
    reserve_for(table, rest[0].begin - begin);
    bool ok = walk_here(rest[0].begin);
    started.join();
    for (size_t k = 0; ok && k < rest.size(); ++k) {
        Part& part = rest[k];
        if (part.ok && at == part.lines_before) {
            ok = table.take(*part.table);
            at = part.lines_before + part.end_line;
        } else {
            ok = walk_here(part.stop);
        }
        part.table.reset();
    }
    return ok;
}

}  // namespace

PyObject* read_vectors(FEMAPParserObject* parser, size_t threads, size_t part_bytes) {
    MainTable table;
    if (!table.titles.all) return nullptr;
    Ref all = Ref::steal(parser->vtab->_get_output_vector_blocks(parser));
    if (!all) return nullptr;
    bool ok = walk_block_list(all.get(),
                              [&](TrackedLines& lines) { return walk_block(table, lines, threads, part_bytes); });
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_NoMemory();  // a buffer that could not grow
        return nullptr;
    }
    return table.result();
}

}  // namespace femap::model
