// Output sets (450), properties (402) and materials (601): the parser's record walks
// decide where each record starts; what a record holds beyond the parser's fields is
// read here from its lines, leniently (a short or odd record gives fallbacks).
#include "model.hpp"
#include "text/constants.hpp"

namespace femap::model {

namespace {

// A count group at line j: a count line c, then ceil(c / per_line) lines of values
// (reals; NaN for a field that does not convert), at most c of them, as a float64
// array in `out`. Moves j past the group. Reject: no count line at j.
Conv read_group(LooseLine& line, TrackedLines& lines, int64_t& j, int64_t per_line, Ref& out) {
    int64_t count;
    if (!line.load(lines, j) || !line.count(count)) return Conv::Fail;
    if (count < 0) return Conv::Reject;
    const int64_t rows = (count + per_line - 1) / per_line;
    const int64_t end = std::min(j + 1 + rows, lines.size());
    std::vector<double> values;
    for (int64_t k = j + 1; k < end; ++k) {
        if (!line.load(lines, k)) return Conv::Fail;
        for (size_t f = 0; f < line.size() && int64_t(values.size()) < count; ++f) {
            double v;
            if (!line.real_at(f, NAN, v)) return Conv::Fail;
            values.push_back(v);
        }
    }
    j += 1 + rows;
    out = Ref::steal(adopt_array(std::move(values)));
    return out ? Conv::Ok : Conv::Fail;
}

// Stores key -> value in a result dict (a later record replaces an earlier one).
bool store(PyObject* dict, int32_t id, PyObject* value) {
    Ref k = Ref::steal(PyLong_FromLong(id));
    Ref v = Ref::steal(value);
    return k && v && PyDict_SetItem(dict, k.get(), v.get()) == 0;
}

// Integer fields of one line, leniently (0 when missing).
template <size_t N>
bool ints_of(LooseLine& line, TrackedLines& lines, int64_t index, const size_t (&fields)[N], int32_t (&out)[N]) {
    if (!line.load(lines, index)) return false;
    for (size_t k = 0; k < N; ++k)
        if (!line.int_at(fields[k], 0, out[k])) return false;
    return true;
}

struct OutputSets {
    Ref result = Ref::steal(PyDict_New());
    TrackedLines* lines = nullptr;
    LooseLine line;
    int64_t start = 0;
    Ref current_title;

    Conv title(TrackedLines& l, int64_t index) {
        start = l.last;
        return take_title(current_title, l, index);
    }

    // Source program and analysis type (start + 2), the notes counted at start + 4.
    bool output_set(int32_t id, double value) {
        int32_t codes[2];
        int64_t count;
        if (!ints_of(line, *lines, start + 2, {0, 1}, codes) || !line.load(*lines, start + 4) || !line.count(count))
            return false;
        const int64_t first = start + 5, end = std::min(first + std::max<int64_t>(count, 0), lines->size());
        Ref notes = Ref::steal(PyList_New(0));
        if (!notes) return false;
        for (int64_t j = first; j < end; ++j) {
            Ref note = Ref::steal(title_at(*lines, j));
            if (!note || PyList_Append(notes.get(), note.get()) < 0) return false;
        }
        return store(result.get(), id,
                     Py_BuildValue("(OdiiO)", current_title.get(), value, codes[0], codes[1], notes.get()));
    }
};

struct Properties {
    Ref result = Ref::steal(PyDict_New());
    LooseLine line;

    // Color, type, layer, coordinate system from the start line; the laminate
    // values (count at start + 3, 8 per line) and the property values (5 per line)
    // that follow.
    Conv property(TrackedLines& lines, int64_t title_index, int32_t id, int32_t material) {
        const int64_t start = lines.last;
        Ref title;
        if (Conv c = take_title(title, lines, title_index); c != Conv::Ok) return c;
        int32_t f[4];
        if (!ints_of(line, lines, start, {1, 3, 4, 5}, f)) return Conv::Fail;
        Ref laminate, values;
        int64_t j = start + 3;
        Conv c = read_group(line, lines, j, 8, laminate);
        if (c == Conv::Ok) c = read_group(line, lines, j, 5, values);
        if (c == Conv::Fail) return c;
        if (!laminate) laminate = Ref::steal(adopt_array(std::vector<double>()));
        if (!values) values = Ref::steal(adopt_array(std::vector<double>()));
        if (!laminate || !values) return Conv::Fail;
        return store(result.get(), id,
                     Py_BuildValue("(OiiiiiOO)", title.get(), material, f[1], f[0], f[2], f[3], laminate.get(),
                                   values.get()))
                   ? Conv::Ok
                   : Conv::Fail;
    }
};

struct Materials {
    static constexpr int kGroups = 5;
    Ref result = Ref::steal(PyDict_New());
    TrackedLines* lines = nullptr;
    LooseLine line;

    // Color, type, subtype, layer from the start line, the title after it, then up
    // to five count groups of 10 values per line.
    bool material(int32_t id) {
        const int64_t start = lines->last;
        Ref title = Ref::steal(title_at(*lines, start + 1 < lines->size() ? start + 1 : -1));
        if (!title) return false;
        int32_t f[4];
        if (!ints_of(line, *lines, start, {2, 3, 4, 5}, f)) return false;
        Ref groups = Ref::steal(PyList_New(0));
        if (!groups) return false;
        int64_t j = start + 2;
        for (int g = 0; g < kGroups; ++g) {
            Ref values;
            Conv c = read_group(line, *lines, j, 10, values);
            if (c == Conv::Fail || (c == Conv::Ok && PyList_Append(groups.get(), values.get()) < 0)) return false;
            if (c == Conv::Reject) break;
        }
        return store(result.get(), id, Py_BuildValue("(OiiiiO)", title.get(), f[1], f[2], f[0], f[3], groups.get()));
    }
};

// Runs `walk` over every block `block_id` of the parser into `sink`, whose `lines`
// (when it has one) points at the block being walked.
template <class Sink>
PyObject* read_blocks(FEMAPParserObject* parser, int32_t block_id, Sink& sink, bool (*walk)(TrackedLines&, Sink&)) {
    if (!sink.result) return nullptr;
    Ref all = Ref::steal(parser->vtab->get_blocks(parser, block_id, 0));
    if (!all) return nullptr;
    bool ok = walk_block_list(all.get(), [&](TrackedLines& lines) {
        if constexpr (requires { sink.lines; }) sink.lines = &lines;
        return walk(lines, sink);
    });
    return ok ? sink.result.release() : nullptr;
}

}  // namespace

PyObject* read_output_sets(FEMAPParserObject* parser) {
    OutputSets sink;
    return read_blocks(parser, block_id::kOutputSets, sink, walk_output_sets<TrackedLines, OutputSets>);
}

PyObject* read_properties(FEMAPParserObject* parser) {
    Properties sink;
    return read_blocks(parser, block_id::kProperties, sink, walk_properties<TrackedLines, Properties>);
}

PyObject* read_materials(FEMAPParserObject* parser) {
    Materials sink;
    return read_blocks(parser, block_id::kMaterials, sink, walk_materials<TrackedLines, Materials>);
}

}  // namespace femap::model
