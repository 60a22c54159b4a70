// Module initialisation of vexaro.core._femap_model, its functions and arrays that
// take over native buffers.
#define PY_ARRAY_UNIQUE_SYMBOL femap_model_ARRAY_API
#include "model.hpp"
#include "text/threads.hpp"

#include <new>

#include <numpy/arrayobject.h>

namespace femap::model {

PyTypeObject* block_type = nullptr;
PyTypeObject* parser_type = nullptr;

template <class T>
constexpr int typenum_of() {
    if constexpr (std::is_same_v<T, int32_t>) return NPY_INT32;
    else if constexpr (std::is_same_v<T, int64_t>) return NPY_INT64;
    else return NPY_FLOAT64;
}

// What an array's capsule base frees when the array goes.
struct Owned {
    void* owner;
    void (*release)(void*);
};

// An array of the `count` values at `data`, `columns` to a row, whose base frees
// `owner` by `release` (at once when the array cannot be made).
template <class T>
PyObject* array_over(T* data, size_t count, int columns, void* owner, void (*release)(void*)) {
    auto* owned = new (std::nothrow) Owned{owner, release};
    Ref base = owned ? Ref::steal(PyCapsule_New(owned, nullptr,
                                                [](PyObject* capsule) {
                                                    auto* o = static_cast<Owned*>(PyCapsule_GetPointer(capsule, nullptr));
                                                    o->release(o->owner);
                                                    delete o;
                                                }))
                     : Ref();
    if (!base) {
        delete owned;
        release(owner);
        return PyErr_Occurred() ? nullptr : PyErr_NoMemory();
    }
    npy_intp dims[2] = {static_cast<npy_intp>(count / size_t(columns)), columns};
    Ref array = Ref::steal(PyArray_SimpleNewFromData(columns == 1 ? 1 : 2, dims, typenum_of<T>(), data));
    if (!array || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0)
        return nullptr;
    return array.release();
}

template <class T>
PyObject* empty_array(int columns) {
    npy_intp dims[2] = {0, columns};
    return PyArray_SimpleNew(columns == 1 ? 1 : 2, dims, typenum_of<T>());
}

template <class T>
PyObject* adopt_array(std::vector<T>&& values, int columns) {
    if (values.empty()) return empty_array<T>(columns);
    auto* owned = new std::vector<T>(std::move(values));
    return array_over(owned->data(), owned->size(), columns, owned,
                      [](void* p) { delete static_cast<std::vector<T>*>(p); });
}

template <class T>
PyObject* adopt_array(GrowBuffer<T>&& values, int columns) {
    const size_t count = values.size();
    if (count == 0) return empty_array<T>(columns);
    T* data = values.release();
    return array_over(data, count, columns, data, std::free);
}

template PyObject* adopt_array(GrowBuffer<int32_t>&&, int);
template PyObject* adopt_array(GrowBuffer<double>&&, int);
template PyObject* adopt_array(std::vector<int32_t>&&, int);
template PyObject* adopt_array(std::vector<int64_t>&&, int);
template PyObject* adopt_array(std::vector<double>&&, int);

PyObject* read_block_sizes(FEMAPParserObject* parser) {
    Ref blocks = Ref::steal(parser->vtab->parse(parser, 0));
    if (!blocks) return nullptr;
    if (!PyDict_Check(blocks.get())) {
        PyErr_SetString(PyExc_TypeError, "the parser holds no blocks");
        return nullptr;
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *list;
    while (PyDict_Next(blocks.get(), &pos, &key, &list)) {
        if (!PyList_Check(list)) {
            raise_expected("list", list);
            return nullptr;
        }
        int64_t lines = 0;
        if (!walk_block_list(list, [&](TrackedLines& l) { return lines += l.size(), true; })) return nullptr;
        Ref counts = Ref::steal(Py_BuildValue("(nL)", PyList_GET_SIZE(list), static_cast<long long>(lines)));
        if (!counts || PyDict_SetItem(result.get(), key, counts.get()) < 0) return nullptr;
    }
    return result.release();
}

namespace {

bool is_parser(PyObject* parser) {
    if (PyObject_TypeCheck(parser, parser_type)) return true;
    PyErr_Format(PyExc_TypeError, "expected a FEMAPParser, got %.200s", Py_TYPE(parser)->tp_name);
    return false;
}

template <PyObject* (*read)(FEMAPParserObject*)>
PyObject* entry(PyObject*, PyObject* parser) {
    return is_parser(parser) ? read(reinterpret_cast<FEMAPParserObject*>(parser)) : nullptr;
}

// A count argument: `fallback` for None, else an int of at least 1 (at most `most`).
bool count_arg(PyObject* arg, const char* name, size_t fallback, size_t most, size_t& out) {
    out = fallback;
    if (arg == Py_None) return true;
    long long v = PyLong_AsLongLong(arg);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 1) {
        PyErr_Format(PyExc_ValueError, "%s must be at least 1", name);
        return false;
    }
    out = static_cast<size_t>(std::min<unsigned long long>(static_cast<unsigned long long>(v), most));
    return true;
}

// The arguments (parser, threads=None, part_bytes=None) of a reader that takes threads
// and parts; `format` names the function for the host's messages.
bool threaded_args(PyObject* args, const char* format, FEMAPParserObject*& parser, size_t& threads, size_t& bytes) {
    PyObject* p;
    PyObject* n = Py_None;
    PyObject* b = Py_None;
    if (!PyArg_ParseTuple(args, format, &p, &n, &b) || !is_parser(p) ||
        !count_arg(n, "threads", worker_threads(), 64, threads) ||
        !count_arg(b, "part_bytes", size_t(4) << 20, SIZE_MAX, bytes))
        return false;
    parser = reinterpret_cast<FEMAPParserObject*>(p);
    return true;
}

PyObject* vectors_entry(PyObject*, PyObject* args) {
    FEMAPParserObject* parser;
    size_t threads, bytes;
    return threaded_args(args, "O|OO:read_vectors", parser, threads, bytes) ? read_vectors(parser, threads, bytes)
                                                                             : nullptr;
}

PyObject* arrays_entry(PyObject*, PyObject* args) {
    FEMAPParserObject* parser;
    size_t threads, bytes;
    return threaded_args(args, "O|OO:read_arrays", parser, threads, bytes) ? read_arrays(parser, threads, bytes)
                                                                           : nullptr;
}

PyMethodDef functions[] = {
    {"read_arrays", arrays_entry, METH_VARARGS,
     "read_arrays(parser, threads=None, part_bytes=None) -> (get_nodes_arrays(), get_elements_arrays(), "
     "read_vectors(parser, threads, part_bytes)); with more than one thread the nodes and elements are read "
     "beside the vector table."},
    {"read_vectors", vectors_entry, METH_VARARGS,
     "read_vectors(parser, threads=None, part_bytes=None) -> (set_id, vec_id, title, output_type, ent_type, "
     "components, extremes, offsets, ids, values): the table of every output vector and all their (id, value) "
     "pairs; blocks read in parts of part_bytes (default 4 MiB) at least on up to `threads` threads (None: one "
     "per processor, at most 8)."},
    {"read_block_sizes", entry<read_block_sizes>, METH_O,
     "read_block_sizes(parser) -> dict: {block_id: (number of blocks, number of lines)}."},
    {"read_output_sets", entry<read_output_sets>, METH_O,
     "read_output_sets(parser) -> dict: {id: (title, value, program, analysis, notes)}."},
    {"read_properties", entry<read_properties>, METH_O,
     "read_properties(parser) -> dict: {id: (title, material, type, color, layer, csys, laminate, values)}."},
    {"read_materials", entry<read_materials>, METH_O,
     "read_materials(parser) -> dict: {id: (title, type, subtype, color, layer, groups)}."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_femap_model",
                          "Native readers behind vexaro.core.femap_model.", -1, functions};

bool init(PyObject*) {
    if (_import_array() < 0) return false;
    Ref parser_module = Ref::steal(PyImport_ImportModule("vexaro.core.femap_parser"));
    if (!parser_module) return false;
    Ref block = Ref::steal(PyObject_GetAttrString(parser_module.get(), "FEMAPBlock"));
    Ref parser = Ref::steal(PyObject_GetAttrString(parser_module.get(), "FEMAPParser"));
    if (!block || !parser) return false;
    if (!PyType_Check(block.get()) || !PyType_Check(parser.get())) {
        PyErr_SetString(PyExc_ImportError, "vexaro.core.femap_parser does not define its classes");
        return false;
    }
    block_type = reinterpret_cast<PyTypeObject*>(block.release());  // kept for the process's life
    parser_type = reinterpret_cast<PyTypeObject*>(parser.release());
    return true;
}

}  // namespace

}  // namespace femap::model

PyMODINIT_FUNC PyInit__femap_model(void) {
    PyObject* m = PyModule_Create(&femap::model::module_def);
    if (m && !femap::model::init(m)) Py_CLEAR(m);
    return m;
}
