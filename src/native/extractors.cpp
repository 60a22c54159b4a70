// The model extractors: header, nodes, elements, properties, materials and output
// sets, in their dict forms and (nodes, elements) their array forms.
#include "numpy_arrays.hpp"
#include "parser.hpp"
#include "py_errors.hpp"
#include "py_build.hpp"
#include "record_titles.hpp"
#include "text/array_sinks.hpp"
#include "text/constants.hpp"
#include "text/parts.hpp"
#include "text/record_walks.hpp"

namespace femap {

namespace {

const ResultKeys& keys() { return result_keys(); }

// ---- Sinks ----------------------------------------------------------------------

struct NodeDict {
    Ref result = Ref::steal(PyDict_New());
    bool force_2d;
    SharedFloats floats;
    bool node(int32_t id, double x, double y, double z) {
        if (force_2d && z > 0.0) return true;
        Ref k = Ref::steal(PyLong_FromLong(id));
        Ref t = Ref::steal(build_tuple({floats.get(x), floats.get(y), floats.get(z)}));
        return k && t && PyDict_SetItem(result.get(), k.get(), t.get()) == 0;
    }
};

struct ElementList {
    Ref result = Ref::steal(PyList_New(0));
    bool element(int32_t id, int32_t prop, int32_t topo, const std::vector<int32_t>& nodes) {
        Ref d = Ref::steal(build_dict({{keys().id, PyLong_FromLong(id)},
                                       {keys().prop_id, PyLong_FromLong(prop)},
                                       {keys().topology, PyLong_FromLong(topo)},
                                       {keys().nodes, int_list(nodes)}}));
        return d && PyList_Append(result.get(), d.get()) == 0;
    }
};

struct PropertyDict {
    Ref result = Ref::steal(PyDict_New());
    Conv property(BlockLines& lines, int64_t title_index, int32_t id, int32_t material) {
        Ref title;
        if (Conv c = take_title(title, lines, title_index); c != Conv::Ok) return c;
        Ref k = Ref::steal(PyLong_FromLong(id));
        Ref v = Ref::steal(build_dict({{keys().material_id, PyLong_FromLong(material)}, {keys().title, title.release()}}));
        return k && v && PyDict_SetItem(result.get(), k.get(), v.get()) == 0 ? Conv::Ok : Conv::Fail;
    }
};

struct MaterialDict {
    Ref result = Ref::steal(PyDict_New());
    bool material(int32_t id) {
        Ref k = Ref::steal(PyLong_FromLong(id));
        Ref v = Ref::steal(build_dict({{keys().id, PyLong_FromLong(id)}}));
        return k && v && PyDict_SetItem(result.get(), k.get(), v.get()) == 0;
    }
};

struct OutputSetDict {
    Ref result = Ref::steal(PyDict_New());
    Ref current_title;
    Conv title(BlockLines& lines, int64_t index) { return take_title(current_title, lines, index); }
    bool output_set(int32_t id, double value) {
        Ref k = Ref::steal(PyLong_FromLong(id));
        Ref v = Ref::steal(build_dict({{keys().title, Ref::borrow(current_title.get()).release()},
                                       {keys().value, PyFloat_FromDouble(value)}}));
        return k && v && PyDict_SetItem(result.get(), k.get(), v.get()) == 0;
    }
};

// Runs a record walk over every block of one identifier into a sink whose
// `result` is the dict or list returned.
template <class Sink>
PyObject* extract_with(FEMAPParserObject* self, int32_t block_id, NoneUse none_use, Sink& sink,
                       bool (*walk)(BlockLines&, Sink&)) {
    if (!sink.result) return nullptr;
    bool ok = walk_each_block(self, block_id, none_use, [&](BlockLines& lines) { return walk(lines, sink); });
    return ok ? sink.result.release() : nullptr;
}

// str.strip() of a line object; the result must be a str or None.
PyObject* stripped(PyObject* line) {
    Ref s = Ref::steal(PyObject_CallMethod(line, "strip", nullptr));
    if (s && !check_exact(s.get(), &PyUnicode_Type)) return nullptr;
    return s.release();
}

}  // namespace

PyObject* extract_header(FEMAPParserObject* self) {
    Ref all = Ref::steal(fetch_blocks(self, block_id::kHeader));
    if (!all) return nullptr;
    if (all.get() == Py_None || PyList_GET_SIZE(all.get()) == 0) Py_RETURN_NONE;
    Ref first = Ref::borrow(PyList_GET_ITEM(all.get(), 0));  // only the first block is read
    FEMAPBlockObject* block = as_block(first.get());
    BlockLines lines;
    if (!block || !lines.bind(block, NoneUse::Len)) return nullptr;
    if (lines.size() < 2) Py_RETURN_NONE;
    Ref l0 = Ref::steal(lines.line_object(0));
    Ref title = Ref::steal(l0 ? stripped(l0.get()) : nullptr);
    if (!title) return nullptr;
    Ref l1 = Ref::steal(lines.line_object(1));
    Ref version = Ref::steal(l1 ? stripped(l1.get()) : nullptr);
    if (!version) return nullptr;
    if (PyUnicode_Check(title.get()) && PyUnicode_CompareWithASCIIString(title.get(), "<NULL>") == 0)
        title = Ref::steal(PyUnicode_New(0, 0));
    return build_dict({{keys().title, title.release()}, {keys().version, version.release()}});
}

PyObject* extract_nodes(FEMAPParserObject* self, bool force_2d) {
    NodeDict sink{.force_2d = force_2d};
    return extract_with(self, block_id::kNodes, NoneUse::Iter, sink, +[](BlockLines& lines, NodeDict& s) {
        return walk_nodes_in_parts(lines, s, worker_threads(), kPartBytes);
    });
}

PyObject* extract_nodes_arrays(FEMAPParserObject* self) {
    NodeColumns<Column> sink;
    if (!walk_each_block(self, block_id::kNodes, NoneUse::Iter,
                         [&](BlockLines& lines) { return walk_nodes_in_parts(lines, sink, worker_threads(), kPartBytes); }))
        return nullptr;
    if (numpy_is_own()) return build_tuple({sink.ids.to_array(), sink.coords.to_array(3)});
    Ref node_list = Ref::steal(int_list(sink.ids.values()));
    Ref coord_list = Ref::steal(tuple_list(sink.coords.values(), 3));
    if (!node_list || !coord_list) return nullptr;
    Ref ids = Ref::steal(np_array_call(node_list.get(), "int32"));
    if (!ids || !require_array(ids.get(), 1, Elem::Int32)) return nullptr;
    Ref coords = Ref::steal(np_array_call(coord_list.get(), "float64"));
    if (!coords) return nullptr;
    if (sink.coords.values().empty()) coords = Ref::steal(empty_rows(coords.get(), 3));
    if (!coords || !require_array(coords.get(), 2, Elem::Float64)) return nullptr;
    return build_tuple({ids.release(), coords.release()});
}

PyObject* extract_elements(FEMAPParserObject* self) {
    ElementList sink;
    return extract_with(self, block_id::kElements, NoneUse::Len, sink, walk_elements);
}

PyObject* extract_elements_arrays(FEMAPParserObject* self) {
    ElementColumns<Column> sink;
    if (!sink.start()) return nullptr;
    if (!walk_each_block(self, block_id::kElements, NoneUse::Len,
                         [&](BlockLines& lines) { return walk_elements(lines, sink); }))
        return nullptr;
    Column<int32_t>* parts[] = {&sink.ids, &sink.props, &sink.topos, &sink.connectivity, &sink.offsets};
    bool own = numpy_is_own();
    Ref result = Ref::steal(PyTuple_New(5));
    if (!result) return nullptr;
    for (int k = 0; k < 5; ++k) {
        PyObject* a;
        if (own) {
            a = parts[k]->to_array();
        } else {
            Ref list = Ref::steal(int_list(parts[k]->values()));
            a = list ? np_array_call(list.get(), "int32") : nullptr;
        }
        if (!a) return nullptr;
        PyTuple_SET_ITEM(result.get(), k, a);
    }
    return result.release();
}

PyObject* extract_properties(FEMAPParserObject* self) {
    PropertyDict sink;
    return extract_with(self, block_id::kProperties, NoneUse::Len, sink, walk_properties);
}

PyObject* extract_materials(FEMAPParserObject* self) {
    MaterialDict sink;
    return extract_with(self, block_id::kMaterials, NoneUse::Len, sink, walk_materials);
}

PyObject* extract_output_sets(FEMAPParserObject* self) {
    OutputSetDict sink;
    return extract_with(self, block_id::kOutputSets, NoneUse::Len, sink, walk_output_sets);
}

}  // namespace femap
