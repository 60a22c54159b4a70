// FEMAPParser: the type, its Python methods, the table of operations and the
// override check of its public entries.
#include "parser.hpp"
#include "pickling.hpp"
#include "py_errors.hpp"
#include "text/constants.hpp"

using namespace femap;

namespace {

FEMAPParserObject* as_parser(PyObject* o) { return reinterpret_cast<FEMAPParserObject*>(o); }

// ---- Override check -------------------------------------------------------------

// Finds a Python override of a public entry: only for instances of classes made by a
// class statement or with an attribute dictionary. Returns 1 with `out` set to the
// override, 0 when the module's own method applies, -1 on error.
int find_override(FEMAPParserObject* self, const char* name, PyCFunction own, Ref& out) {
    PyTypeObject* t = Py_TYPE(self);
    if (t->tp_dictoffset == 0 && !(t->tp_flags & (Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE))) return 0;
    Ref m = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(self), name));
    if (!m) return -1;
    if (PyCFunction_Check(m.get()) && PyCFunction_GET_FUNCTION(m.get()) == own) return 0;
    out = std::move(m);
    return 1;
}

// Calls an override and checks its result type (the type itself or None).
PyObject* call_override(PyObject* method, PyTypeObject* result_type, std::initializer_list<PyObject*> args) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    if (!tuple) return nullptr;
    Py_ssize_t k = 0;
    for (PyObject* a : args) {
        if (!a) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), k++, a);
    }
    Ref r = Ref::steal(PyObject_Call(method, tuple.get(), nullptr));
    if (r && !check_exact(r.get(), result_type)) return nullptr;
    return r.release();
}

// ---- Python methods -------------------------------------------------------------

PyObject* py_parse(PyObject* self, PyObject*);
PyObject* py_get_blocks(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_get_header(PyObject* self, PyObject*);
PyObject* py_get_nodes(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* py_get_nodes_arrays(PyObject* self, PyObject*);
PyObject* py_get_properties(PyObject* self, PyObject*);
PyObject* py_get_elements(PyObject* self, PyObject*);
PyObject* py_get_elements_arrays(PyObject* self, PyObject*);
PyObject* py_get_materials(PyObject* self, PyObject*);
PyObject* py_get_output_sets(PyObject* self, PyObject*);
PyObject* py_get_output_vectors(PyObject* self, PyObject*);
PyObject* py_get_output_vectors_arrays(PyObject* self, PyObject* args, PyObject* kwargs);

// A public entry: `call_override(method)` when there is an override, else `impl()`.
template <class CallOverride, class Impl>
PyObject* dispatch(FEMAPParserObject* self, int skip_dispatch, const char* name, PyCFunction own,
                   CallOverride&& call_override, Impl&& impl) {
    if (!skip_dispatch) {
        Ref ov;
        int found = find_override(self, name, own, ov);
        if (found < 0) return nullptr;
        if (found) return call_override(ov.get());
    }
    return impl();
}

// A public entry without arguments.
template <PyObject* (*impl)(FEMAPParserObject*), PyCFunction own, PyTypeObject* result_type>
PyObject* entry_without_args(FEMAPParserObject* self, const char* name, int skip_dispatch) {
    return dispatch(
        self, skip_dispatch, name, own, [](PyObject* ov) { return call_override(ov, result_type, {}); },
        [self] { return impl(self); });
}

PyObject* parse_impl(FEMAPParserObject* self) {
    Py_INCREF(self->blocks);
    return self->blocks;
}

PyObject* get_blocks_impl(FEMAPParserObject* self, int32_t block_id) {
    if (self->blocks == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'get'");
        return nullptr;
    }
    Ref blocks = Ref::borrow(self->blocks);
    Ref key = Ref::steal(PyLong_FromLong(block_id));
    if (!key) return nullptr;
    Ref value = Ref::borrow(PyDict_GetItemWithError(blocks.get(), key.get()));
    if (!value) return PyErr_Occurred() ? nullptr : PyList_New(0);
    if (!check_exact(value.get(), &PyList_Type)) return nullptr;
    return value.release();
}

#define ENTRY(name, impl, result_type)                                                   \
    PyObject* vt_##name(FEMAPParserObject* self, int skip_dispatch) {                   \
        return entry_without_args<impl, py_##name, result_type>(self, #name, skip_dispatch); \
    }
ENTRY(parse, parse_impl, &PyDict_Type)
ENTRY(get_header, extract_header, &PyDict_Type)
ENTRY(get_nodes_arrays, extract_nodes_arrays, &PyTuple_Type)
ENTRY(get_properties, extract_properties, &PyDict_Type)
ENTRY(get_elements, extract_elements, &PyList_Type)
ENTRY(get_elements_arrays, extract_elements_arrays, &PyTuple_Type)
ENTRY(get_materials, extract_materials, &PyDict_Type)
ENTRY(get_output_sets, extract_output_sets, &PyDict_Type)
ENTRY(get_output_vectors, extract_output_vectors, &PyList_Type)
#undef ENTRY

PyObject* vt_get_blocks(FEMAPParserObject* self, int32_t block_id, int skip_dispatch) {
    return dispatch(
        self, skip_dispatch, "get_blocks", reinterpret_cast<PyCFunction>(py_get_blocks),
        [&](PyObject* ov) { return call_override(ov, &PyList_Type, {PyLong_FromLong(block_id)}); },
        [&] { return get_blocks_impl(self, block_id); });
}

PyObject* vt_get_nodes(FEMAPParserObject* self, int force_2d, int skip_dispatch) {
    return dispatch(
        self, skip_dispatch, "get_nodes", reinterpret_cast<PyCFunction>(py_get_nodes),
        [&](PyObject* ov) { return call_override(ov, &PyDict_Type, {PyBool_FromLong(force_2d)}); },
        [&] { return extract_nodes(self, force_2d != 0); });
}

PyObject* vt_get_output_vectors_arrays(FEMAPParserObject* self, int32_t set_id_filter, int32_t vec_id_filter,
                                       int skip_dispatch) {
    return dispatch(
        self, skip_dispatch, "get_output_vectors_arrays",
        reinterpret_cast<PyCFunction>(py_get_output_vectors_arrays),
        [&](PyObject* ov) {
            return call_override(ov, &PyTuple_Type, {PyLong_FromLong(set_id_filter), PyLong_FromLong(vec_id_filter)});
        },
        [&] { return extract_output_vectors_arrays(self, set_id_filter, vec_id_filter); });
}

PyObject* py_parse(PyObject* self, PyObject*) { return as_parser(self)->vtab->parse(as_parser(self), 1); }
PyObject* py_get_header(PyObject* self, PyObject*) { return as_parser(self)->vtab->get_header(as_parser(self), 1); }
PyObject* py_get_nodes_arrays(PyObject* self, PyObject*) {
    return as_parser(self)->vtab->get_nodes_arrays(as_parser(self), 1);
}
PyObject* py_get_properties(PyObject* self, PyObject*) {
    return as_parser(self)->vtab->get_properties(as_parser(self), 1);
}
PyObject* py_get_elements(PyObject* self, PyObject*) { return as_parser(self)->vtab->get_elements(as_parser(self), 1); }
PyObject* py_get_elements_arrays(PyObject* self, PyObject*) {
    return as_parser(self)->vtab->get_elements_arrays(as_parser(self), 1);
}
PyObject* py_get_materials(PyObject* self, PyObject*) {
    return as_parser(self)->vtab->get_materials(as_parser(self), 1);
}
PyObject* py_get_output_sets(PyObject* self, PyObject*) {
    return as_parser(self)->vtab->get_output_sets(as_parser(self), 1);
}
PyObject* py_get_output_vectors(PyObject* self, PyObject*) {
    return as_parser(self)->vtab->get_output_vectors(as_parser(self), 1);
}

PyObject* py_get_blocks(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"block_id", nullptr};
    PyObject* id_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_blocks", const_cast<char**>(kwlist), &id_obj))
        return nullptr;
    int32_t id;
    if (!int_arg_to_int32(id_obj, id)) return nullptr;
    return as_parser(self)->vtab->get_blocks(as_parser(self), id, 1);
}

PyObject* py_get_nodes(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"force_2d", nullptr};
    PyObject* flag = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:get_nodes", const_cast<char**>(kwlist), &flag))
        return nullptr;
    int on = flag == Py_True ? 1 : (flag == Py_False || flag == Py_None) ? 0 : PyObject_IsTrue(flag);
    if (on < 0) return nullptr;
    return as_parser(self)->vtab->get_nodes(as_parser(self), on, 1);
}

PyObject* py_get_output_vectors_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"set_id_filter", "vec_id_filter", nullptr};
    PyObject *set_obj = nullptr, *vec_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:get_output_vectors_arrays", const_cast<char**>(kwlist),
                                     &set_obj, &vec_obj))
        return nullptr;
    int32_t set_id = -1, vec_id = -1;
    if (set_obj && !int_arg_to_int32(set_obj, set_id)) return nullptr;
    if (vec_obj && !int_arg_to_int32(vec_obj, vec_id)) return nullptr;
    return as_parser(self)->vtab->get_output_vectors_arrays(as_parser(self), set_id, vec_id, 1);
}

PyObject* py_parse_csv_line(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"line", nullptr};
    PyObject* line;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:parse_csv_line", const_cast<char**>(kwlist), &line))
        return nullptr;
    if (!check_argument(line, &PyUnicode_Type, "line")) return nullptr;
    return parser_vtable._parse_csv_line_fast(line);
}

// ---- Table of operations --------------------------------------------------------

PyObject* vt_parse_csv_line_fast(PyObject* line) {
    if (!PyUnicode_CheckExact(line)) {
        raise_expected("str", line);
        return nullptr;
    }
    return split_fields(line);
}

// ---- Type slots -----------------------------------------------------------------

PyObject* parser_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_parser(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->vtab = &parser_vtable;
    for (PyObject** field : {&self->filepath, &self->blocks, &self->BLOCK_DELIMITER}) {
        Py_INCREF(Py_None);
        *field = Py_None;
    }
    return reinterpret_cast<PyObject*>(self);
}

int parser_init(FEMAPParserObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"filepath", nullptr};
    PyObject* path;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", const_cast<char**>(kwlist), &path)) return -1;
    // A path object (os.PathLike) stands for the str its __fspath__ gives.
    Ref fspath;
    if (path != Py_None && !PyUnicode_Check(path) && !PyBytes_Check(path) &&
        PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(path)), "__fspath__")) {
        fspath = Ref::steal(PyOS_FSPath(path));
        if (!fspath) return -1;
        path = fspath.get();
    }
    if (!check_argument(path, &PyUnicode_Type, "filepath")) return -1;
    assign_slot(&self->filepath, path);
    Ref blocks = Ref::steal(PyDict_New());
    Ref delimiter = Ref::steal(PyUnicode_FromString(kDelimiter));
    if (!blocks || !delimiter) return -1;
    assign_slot(&self->blocks, blocks.get());
    assign_slot(&self->BLOCK_DELIMITER, delimiter.get());
    return self->vtab->_parse(self);
}

int parser_traverse(FEMAPParserObject* self, visitproc visit, void* arg) {
    Py_VISIT(self->blocks);
    return 0;
}

int parser_clear(FEMAPParserObject* self) {
    assign_slot(&self->blocks, Py_None);
    return 0;
}

void parser_dealloc(FEMAPParserObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(self->filepath);
    Py_CLEAR(self->blocks);
    Py_CLEAR(self->BLOCK_DELIMITER);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* get_blocks_attr(FEMAPParserObject* self, void*) {
    Py_INCREF(self->blocks);
    return self->blocks;
}

int set_blocks_attr(FEMAPParserObject* self, PyObject* value, void*) {
    if (value && !check_exact(value, &PyDict_Type)) return -1;
    assign_slot(&self->blocks, value ? value : Py_None);
    return 0;
}

PyGetSetDef parser_getset[] = {
    {"blocks", reinterpret_cast<getter>(get_blocks_attr), reinterpret_cast<setter>(set_blocks_attr), nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define NOARGS(name, doc) {#name, py_##name, METH_NOARGS, doc}
#define KWARGS(name, doc) {#name, reinterpret_cast<PyCFunction>(py_##name), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef parser_methods[] = {
    NOARGS(parse,
           "\n        Public method to return parsed blocks (for API compatibility).\n        \n        Returns:\n"
           "            Dictionary mapping block IDs to lists of blocks\n        "),
    KWARGS(get_blocks, "Get all blocks with the specified ID."),
    NOARGS(get_header,
           "\n        Extract header information from Block 100.\n\n        Returns:\n"
           "            Dictionary with 'title' and 'version' keys, or None if not found\n        "),
    KWARGS(get_nodes,
           "\n        Extract all nodes from Block 403.\n\n        Args:\n"
           "            force_2d: If True, skip nodes where z != 0.0\n\n        Returns:\n"
           "            Dictionary mapping node IDs to (x, y, z) coordinates\n        "),
    NOARGS(get_nodes_arrays,
           "\n        Extract all nodes from Block 403 as NumPy arrays (high performance).\n\n        Returns:\n"
           "            Tuple of (node_ids: np.ndarray[int32], coords: np.ndarray[float64, (n,3)])\n        "),
    NOARGS(get_properties,
           "\n        Extract all properties from Block 402.\n\n        Returns:\n"
           "            Dictionary mapping property IDs to property metadata\n        "),
    NOARGS(get_elements,
           "\n        Extract all elements from Block 404.\n\n        Returns:\n"
           "            List of element dictionaries with id, prop_id, topology, and nodes\n        "),
    NOARGS(get_elements_arrays,
           "\n        Extract all elements from Block 404 as NumPy arrays (high performance).\n\n        Returns:\n"
           "            Tuple of (element_ids, prop_ids, topologies, node_connectivity, offsets)\n"
           "            - element_ids: np.ndarray[int32] - element IDs\n"
           "            - prop_ids: np.ndarray[int32] - property IDs\n"
           "            - topologies: np.ndarray[int32] - topology codes\n"
           "            - connectivity: np.ndarray[int32] - flat node connectivity\n"
           "            - offsets: np.ndarray[int32] - offsets into connectivity for each element\n        "),
    NOARGS(get_materials,
           "\n        Extract all materials from Block 601.\n\n        Returns:\n"
           "            Dictionary mapping material IDs to material metadata\n        "),
    NOARGS(get_output_sets,
           "\n        Extract all output sets from Block 450.\n\n        Returns:\n"
           "            Dictionary mapping output set IDs to metadata\n        "),
    NOARGS(get_output_vectors,
           "\n        Extract all output data vectors from Blocks 1051 and 451.\n\n        Returns:\n"
           "            List of output vector dictionaries with metadata and results\n        "),
    KWARGS(get_output_vectors_arrays,
           "\n        Extract output vectors as NumPy arrays (high performance).\n        \n        Args:\n"
           "            set_id_filter: If >= 0, only extract vectors with this set_id\n"
           "            vec_id_filter: If >= 0, only extract vectors with this vec_id\n        \n"
           "        Returns:\n"
           "            Tuple of (entity_ids: np.ndarray[int32], values: np.ndarray[float64], \n"
           "                      set_id: int, vec_id: int, ent_type: int) for the first matching vector\n"
           "            Returns (None, None, -1, -1, -1) if no matching vectors found\n        "),
    {nullptr, nullptr, 0, nullptr},
};
#undef NOARGS
#undef KWARGS

}  // namespace

// The splitter behind the static method parse_csv_line, bound by the module.
PyMethodDef parse_csv_line_def = {
    "parse_csv_line", reinterpret_cast<PyCFunction>(py_parse_csv_line), METH_VARARGS | METH_KEYWORDS,
    "\n        Parse a FEMAP line that may be comma or space separated.\n        Public API-compatible wrapper.\n\n"
    "        Args:\n            line: Input line string\n\n        Returns:\n"
    "            List of field values as strings\n        "};

namespace femap {

FEMAPParserVTable parser_vtable = {
    scan_file,
    vt_parse_csv_line_fast,
    locate_output_vector_header,
    gather_output_vector_blocks,
    vt_parse,
    vt_get_blocks,
    vt_get_header,
    vt_get_nodes,
    vt_get_nodes_arrays,
    vt_get_properties,
    vt_get_elements,
    vt_get_elements_arrays,
    vt_get_materials,
    vt_get_output_sets,
    vt_get_output_vectors,
    vt_get_output_vectors_arrays,
};

}  // namespace femap

PyTypeObject FEMAPParser_Type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "vexaro.core.femap_parser.FEMAPParser";
    t.tp_basicsize = sizeof(FEMAPParserObject);
    t.tp_dealloc = reinterpret_cast<destructor>(parser_dealloc);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "\n    Parser for FEMAP Neutral files.\n\n"
        "    Handles blocks in any order and supports repeated blocks of the same type.\n    ";
    t.tp_traverse = reinterpret_cast<traverseproc>(parser_traverse);
    t.tp_clear = reinterpret_cast<inquiry>(parser_clear);
    t.tp_methods = parser_methods;
    t.tp_getset = parser_getset;
    t.tp_init = reinterpret_cast<initproc>(parser_init);
    t.tp_new = parser_new;
    return t;
}();
