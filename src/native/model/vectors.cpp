// Every output vector of blocks 1051 and 451 in one pass of the parser's vector
// record walk: a table with one row per vector, and all (id, value) pairs in
// delivery order, each vector's pairs at offsets[k]:offsets[k + 1].
#include "model.hpp"

namespace femap::model {

namespace {

constexpr size_t kComponents = 20;

struct VectorTable {
    // The value scan appends here (its buffered form).
    GrowBuffer<int32_t> ids;
    GrowBuffer<double> values;
    // One row per vector.
    std::vector<int32_t> set_ids, vec_ids, output_types, ent_types, components;
    std::vector<double> extremes;  // min, max, absolute max
    std::vector<int64_t> offsets{0};
    Ref titles = Ref::steal(PyList_New(0));

    int64_t start = 0;
    Ref current_title;
    LooseLine line;

    bool pair(int32_t id, double value) { return ids.push(id) && values.push(value); }

    Conv title(TrackedLines& lines, int64_t index) {
        start = lines.last;
        return take_title(current_title, lines, index);
    }

    RecordOutcome record(TrackedLines& lines, int64_t n, int32_t set_id, int32_t vec_id, const VectorHeader& header,
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
        offsets.push_back(static_cast<int64_t>(ids.size()));
        return PyList_Append(titles.get(), current_title.get()) == 0 ? RecordOutcome::Next : RecordOutcome::Fail;
    }

    struct Row {
        double extremes[3];
        int32_t components[kComponents];
        int32_t output_type = -1;
    };

    // What the header lines say: min, max, absolute max (start + 2), component
    // vectors (start + 3 and + 4), output type (field 2 of the entity-type line).
    bool read_header(TrackedLines& lines, const VectorHeader& header, Row& row) {
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

    // (set_id, vec_id, title, output_type, ent_type, components, extremes, offsets, ids, values)
    PyObject* result() {
        return build_tuple({adopt_array(std::move(set_ids)), adopt_array(std::move(vec_ids)), titles.release(),
                            adopt_array(std::move(output_types)), adopt_array(std::move(ent_types)),
                            adopt_array(std::move(components), kComponents), adopt_array(std::move(extremes), 3),
                            adopt_array(std::move(offsets)), adopt_array(std::move(ids)),
                            adopt_array(std::move(values))});
    }
};

}  // namespace

PyObject* read_vectors(FEMAPParserObject* parser) {
    VectorTable table;
    if (!table.titles) return nullptr;
    Ref all = Ref::steal(parser->vtab->_get_output_vector_blocks(parser));
    if (!all) return nullptr;
    bool ok = walk_block_list(all.get(), [&](TrackedLines& lines) {
        return walk_vector_records(lines, table) != RecordOutcome::Fail;
    });
    return ok ? table.result() : nullptr;
}

}  // namespace femap::model
