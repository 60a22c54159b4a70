// FEMAPParser: the type, its Python methods, the table of operations and the
// override check of its public entries.
#include <algorithm>

#include "method_defs.hpp"
#include "parser.hpp"
#include "pickling.hpp"
#include "py_errors.hpp"
#include "text/constants.hpp"

using namespace femap;

namespace {

FEMAPParserObject* as_parser(PyObject* o) { return reinterpret_cast<FEMAPParserObject*>(o); }

// ---- Override check -------------------------------------------------------------

// Finds a Python override of a public entry: only for instances of classes made by a
// class statement or with an attribute dictionary. `out` is the override, or stays null
// when the module's own method applies. False with an error set on failure.
bool find_override(FEMAPParserObject* self, const char* name, PyCFunction own, Ref& out) {
    PyTypeObject* t = Py_TYPE(self);
    if (t->tp_dictoffset == 0 && !(t->tp_flags & (Py_TPFLAGS_IS_ABSTRACT | Py_TPFLAGS_HEAPTYPE))) return true;
    Ref m = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(self), name));
    if (!m) return false;
    if (!PyCFunction_Check(m.get()) || PyCFunction_GET_FUNCTION(m.get()) != own) out = std::move(m);
    return true;
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

// ---- Public entries -------------------------------------------------------------
//
// Each public entry has two doors. Its Python method runs the module's own code (the
// method found is the method called: nothing to look up). Its entry in the table of
// operations, which the module's code calls with skip_dispatch 0, first looks for a
// Python override and calls that instead.

// A public entry: `call_override(method)` when there is an override, else `impl()`.
template <class CallOverride, class Impl>
PyObject* dispatch(FEMAPParserObject* self, int skip_dispatch, const char* name, PyCFunction own,
                   CallOverride&& call_override, Impl&& impl) {
    if (!skip_dispatch) {
        Ref ov;
        if (!find_override(self, name, own, ov)) return nullptr;
        if (ov) return call_override(ov.get());
    }
    return impl();
}

// The name of a public entry as a template argument.
template <size_t N>
struct EntryName {
    char text[N];
    constexpr EntryName(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// The Python method of a public entry without arguments.
template <PyObject* (*impl)(FEMAPParserObject*)>
PyObject* method_without_args(PyObject* self, PyObject*) {
    return impl(as_parser(self));
}

// The table entry of a public entry without arguments; an override's result must be
// of `result_type` (or None).
template <EntryName name, PyObject* (*impl)(FEMAPParserObject*), PyTypeObject* result_type>
PyObject* entry_without_args(FEMAPParserObject* self, int skip_dispatch) {
    return dispatch(
        self, skip_dispatch, name.text, method_without_args<impl>,
        [](PyObject* ov) { return call_override(ov, result_type, {}); }, [self] { return impl(self); });
}

// The method table's row of a public entry without arguments.
template <PyObject* (*impl)(FEMAPParserObject*)>
PyMethodDef method_without_args_row(const char* name, const char* doc) {
    return method_noargs(name, method_without_args<impl>, doc);
}

PyObject* parse_impl(FEMAPParserObject* self) {
    Py_INCREF(self->blocks);
    return self->blocks;
}

PyObject* get_blocks_impl(FEMAPParserObject* self, int32_t block_id) {
    if (self->blocks == Py_None) {
        raise_none_attribute("get");
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

PyObject* get_blocks_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"block_id", nullptr};
    PyObject* id_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:get_blocks", const_cast<char**>(kwlist), &id_obj))
        return nullptr;
    int32_t id;
    if (!int_arg_to_int32(id_obj, id)) return nullptr;
    return get_blocks_impl(as_parser(self), id);
}

PyObject* get_blocks_entry(FEMAPParserObject* self, int32_t block_id, int skip_dispatch) {
    return dispatch(
        self, skip_dispatch, "get_blocks", reinterpret_cast<PyCFunction>(get_blocks_method),
        [&](PyObject* ov) { return call_override(ov, &PyList_Type, {PyLong_FromLong(block_id)}); },
        [&] { return get_blocks_impl(self, block_id); });
}

PyObject* get_nodes_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"force_2d", nullptr};
    PyObject* flag = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:get_nodes", const_cast<char**>(kwlist), &flag))
        return nullptr;
    int on = flag == Py_True ? 1 : (flag == Py_False || flag == Py_None) ? 0 : PyObject_IsTrue(flag);
    if (on < 0) return nullptr;
    return extract_nodes(as_parser(self), on != 0);
}

PyObject* get_nodes_entry(FEMAPParserObject* self, int force_2d, int skip_dispatch) {
    return dispatch(
        self, skip_dispatch, "get_nodes", reinterpret_cast<PyCFunction>(get_nodes_method),
        [&](PyObject* ov) { return call_override(ov, &PyDict_Type, {PyBool_FromLong(force_2d)}); },
        [&] { return extract_nodes(self, force_2d != 0); });
}

PyObject* get_output_vectors_arrays_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"set_id_filter", "vec_id_filter", nullptr};
    PyObject *set_obj = nullptr, *vec_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:get_output_vectors_arrays", const_cast<char**>(kwlist),
                                     &set_obj, &vec_obj))
        return nullptr;
    int32_t set_id = -1, vec_id = -1;
    if (set_obj && !int_arg_to_int32(set_obj, set_id)) return nullptr;
    if (vec_obj && !int_arg_to_int32(vec_obj, vec_id)) return nullptr;
    return extract_output_vectors_arrays(as_parser(self), set_id, vec_id);
}

PyObject* get_output_vectors_arrays_entry(FEMAPParserObject* self, int32_t set_id_filter, int32_t vec_id_filter,
                                          int skip_dispatch) {
    return dispatch(
        self, skip_dispatch, "get_output_vectors_arrays",
        reinterpret_cast<PyCFunction>(get_output_vectors_arrays_method),
        [&](PyObject* ov) {
            return call_override(ov, &PyTuple_Type, {PyLong_FromLong(set_id_filter), PyLong_FromLong(vec_id_filter)});
        },
        [&] { return extract_output_vectors_arrays(self, set_id_filter, vec_id_filter); });
}

// ---- The field splitter ---------------------------------------------------------

PyObject* parse_csv_line_fast(PyObject* line) {
    if (!PyUnicode_CheckExact(line)) {
        raise_expected("str", line);
        return nullptr;
    }
    return split_fields(line);
}

PyObject* parse_csv_line_method(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"line", nullptr};
    PyObject* line;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:parse_csv_line", const_cast<char**>(kwlist), &line))
        return nullptr;
    if (!check_argument(line, &PyUnicode_Type, "line")) return nullptr;
    return parse_csv_line_fast(line);
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

PyMethodDef parser_methods[] = {
    method_without_args_row<parse_impl>("parse",
        "\n        Public method to return parsed blocks (for API compatibility).\n        \n        Returns:\n"
        "            Dictionary mapping block IDs to lists of blocks\n        "),
    method_with_keywords("get_blocks", get_blocks_method, "Get all blocks with the specified ID."),
    method_without_args_row<extract_header>("get_header",
        "\n        Extract header information from Block 100.\n\n        Returns:\n"
        "            Dictionary with 'title' and 'version' keys, or None if not found\n        "),
    method_with_keywords("get_nodes", get_nodes_method,
        "\n        Extract all nodes from Block 403.\n\n        Args:\n"
        "            force_2d: If True, skip nodes where z != 0.0\n\n        Returns:\n"
        "            Dictionary mapping node IDs to (x, y, z) coordinates\n        "),
    method_without_args_row<extract_nodes_arrays>("get_nodes_arrays",
        "\n        Extract all nodes from Block 403 as NumPy arrays (high performance).\n\n        Returns:\n"
        "            Tuple of (node_ids: np.ndarray[int32], coords: np.ndarray[float64, (n,3)])\n        "),
    method_without_args_row<extract_properties>("get_properties",
        "\n        Extract all properties from Block 402.\n\n        Returns:\n"
        "            Dictionary mapping property IDs to property metadata\n        "),
    method_without_args_row<extract_elements>("get_elements",
        "\n        Extract all elements from Block 404.\n\n        Returns:\n"
        "            List of element dictionaries with id, prop_id, topology, and nodes\n        "),
    method_without_args_row<extract_elements_arrays>("get_elements_arrays",
        "\n        Extract all elements from Block 404 as NumPy arrays (high performance).\n\n        Returns:\n"
        "            Tuple of (element_ids, prop_ids, topologies, node_connectivity, offsets)\n"
        "            - element_ids: np.ndarray[int32] - element IDs\n"
        "            - prop_ids: np.ndarray[int32] - property IDs\n"
        "            - topologies: np.ndarray[int32] - topology codes\n"
        "            - connectivity: np.ndarray[int32] - flat node connectivity\n"
        "            - offsets: np.ndarray[int32] - offsets into connectivity for each element\n        "),
    method_without_args_row<extract_materials>("get_materials",
        "\n        Extract all materials from Block 601.\n\n        Returns:\n"
        "            Dictionary mapping material IDs to material metadata\n        "),
    method_without_args_row<extract_output_sets>("get_output_sets",
        "\n        Extract all output sets from Block 450.\n\n        Returns:\n"
        "            Dictionary mapping output set IDs to metadata\n        "),
    method_without_args_row<extract_output_vectors>("get_output_vectors",
        "\n        Extract all output data vectors from Blocks 1051 and 451.\n\n        Returns:\n"
        "            List of output vector dictionaries with metadata and results\n        "),
    method_with_keywords("get_output_vectors_arrays", get_output_vectors_arrays_method,
        "\n        Extract output vectors as NumPy arrays (high performance).\n        \n        Args:\n"
        "            set_id_filter: If >= 0, only extract vectors with this set_id\n"
        "            vec_id_filter: If >= 0, only extract vectors with this vec_id\n        \n"
        "        Returns:\n"
        "            Tuple of (entity_ids: np.ndarray[int32], values: np.ndarray[float64], \n"
        "                      set_id: int, vec_id: int, ent_type: int) for the first matching vector\n"
        "            Returns (None, None, -1, -1, -1) if no matching vectors found\n        "),
    kEndOfMethods,
};

}  // namespace

// The splitter behind the static method parse_csv_line, bound by the module.
PyMethodDef parse_csv_line_def = method_with_keywords(
    "parse_csv_line", parse_csv_line_method,
    "\n        Parse a FEMAP line that may be comma or space separated.\n        Public API-compatible wrapper.\n\n"
    "        Args:\n            line: Input line string\n\n        Returns:\n"
    "            List of field values as strings\n        ");

namespace femap {

FEMAPParserVTable parser_vtable = {
    scan_file,
    parse_csv_line_fast,
    locate_output_vector_header,
    gather_output_vector_blocks,
    entry_without_args<"parse", parse_impl, &PyDict_Type>,
    get_blocks_entry,
    entry_without_args<"get_header", extract_header, &PyDict_Type>,
    get_nodes_entry,
    entry_without_args<"get_nodes_arrays", extract_nodes_arrays, &PyTuple_Type>,
    entry_without_args<"get_properties", extract_properties, &PyDict_Type>,
    entry_without_args<"get_elements", extract_elements, &PyList_Type>,
    entry_without_args<"get_elements_arrays", extract_elements_arrays, &PyTuple_Type>,
    entry_without_args<"get_materials", extract_materials, &PyDict_Type>,
    entry_without_args<"get_output_sets", extract_output_sets, &PyDict_Type>,
    entry_without_args<"get_output_vectors", extract_output_vectors, &PyList_Type>,
    get_output_vectors_arrays_entry,
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
