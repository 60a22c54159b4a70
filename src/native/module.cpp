// Module initialisation of vexaro.core.femap_parser.
#define PY_ARRAY_UNIQUE_SYMBOL femap_ARRAY_API
#include "module_state.hpp"

#include <numpy/arrayobject.h>

#include "pickling.hpp"
#include "py_errors.hpp"
#include "text/constants.hpp"

extern PyMethodDef parse_csv_line_def;

namespace femap {

ModuleState g_state;

PyObject* module_global(const char* name) {
    PyObject* v = PyDict_GetItemString(PyModule_GetDict(g_state.module), name);
    if (!v) raise_undefined_name(name);
    return v;
}

namespace {

const char* module_doc =
    "\nFEMAP Neutral File Parser (C++ implementation, optimized for speed)\n\n"
    "This module parses FEMAP Neutral files and extracts structured data blocks.\n"
    "FEMAP files contain blocks identified by IDs, and blocks can appear in any order.\n";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "femap_parser", module_doc, -1, nullptr};

bool add_methods(PyTypeObject* type, PyMethodDef* defs) {
    for (PyMethodDef* d = defs; d->ml_name; ++d) {
        Ref descr = Ref::steal(PyDescr_NewMethod(type, d));
        if (!descr || PyDict_SetItemString(type->tp_dict, d->ml_name, descr.get()) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

// parse_csv_line as a static method with its annotations {'return': 'list'}.
bool add_parse_csv_line(PyObject* module) {
    Ref split = Ref::steal(PyCFunction_NewEx(&parse_csv_line_def, nullptr, nullptr));
    Ref ns = Ref::steal(Py_BuildValue("{sOsO}", "_split_fields", split.get(), "__builtins__", PyEval_GetBuiltins()));
    if (!split || !ns) return false;
    Ref r = Ref::steal(PyRun_String("def parse_csv_line(line) -> 'list':\n    return _split_fields(line)\n",
                                    Py_file_input, ns.get(), ns.get()));
    if (!r) return false;
    PyObject* fn = PyDict_GetItemString(ns.get(), "parse_csv_line");
    Ref doc = Ref::steal(PyUnicode_FromString(parse_csv_line_def.ml_doc));
    Ref qualname = Ref::steal(PyUnicode_FromString("FEMAPParser.parse_csv_line"));
    Ref modname = Ref::steal(PyUnicode_FromString("vexaro.core.femap_parser"));
    if (!fn || !doc || !qualname || !modname || PyObject_SetAttrString(fn, "__doc__", doc.get()) < 0 ||
        PyObject_SetAttrString(fn, "__qualname__", qualname.get()) < 0 ||
        PyObject_SetAttrString(fn, "__module__", modname.get()) < 0)
        return false;
    Ref method = Ref::steal(PyStaticMethod_New(fn));
    if (!method || PyDict_SetItemString(FEMAPParser_Type.tp_dict, "parse_csv_line", method.get()) < 0) return false;
    PyType_Modified(&FEMAPParser_Type);
    (void)module;
    return true;
}

bool init_module(PyObject* m) {
    g_state.module = m;

    g_state.numpy = PyImport_ImportModule("numpy");
    if (!g_state.numpy || PyModule_AddObjectRef(m, "np", g_state.numpy) < 0) return false;
    if (_import_array() < 0) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        if (value) {
            PyObject *t2, *v2, *tb2;
            PyErr_Fetch(&t2, &v2, &tb2);
            PyErr_NormalizeException(&t2, &v2, &tb2);
            PyException_SetCause(v2, value);
            PyErr_Restore(t2, v2, tb2);
        }
        Py_XDECREF(type);
        Py_XDECREF(tb);
        return false;
    }

    Ref typing = Ref::steal(PyImport_ImportModule("typing"));
    if (!typing) return false;
    for (const char* name : {"Dict", "List", "Tuple", "Optional"}) {
        Ref v = Ref::steal(PyObject_GetAttrString(typing.get(), name));
        if (!v || PyModule_AddObjectRef(m, name, v.get()) < 0) return false;
    }

    if (PyType_Ready(&FEMAPBlock_Type) < 0 || PyType_Ready(&FEMAPParser_Type) < 0) return false;
    if (!add_methods(&FEMAPBlock_Type, block_pickle_methods) || !add_methods(&FEMAPParser_Type, parser_pickle_methods))
        return false;
    if (!add_parse_csv_line(m)) return false;
    if (PyModule_AddObjectRef(m, "FEMAPBlock", reinterpret_cast<PyObject*>(&FEMAPBlock_Type)) < 0 ||
        PyModule_AddObjectRef(m, "FEMAPParser", reinterpret_cast<PyObject*>(&FEMAPParser_Type)) < 0)
        return false;
    if (PyModule_AddFunctions(m, pickle_module_functions) < 0) return false;

    g_state.no_match = Py_BuildValue("(OOiii)", Py_None, Py_None, -1, -1, -1);
    g_state.block_checksum = PyLong_FromLong(kBlockChecksums[0]);
    g_state.parser_checksum = PyLong_FromLong(kParserChecksums[0]);
    g_state.np_array = PyObject_GetAttrString(g_state.numpy, "array");
    g_state.np_int32 = PyObject_GetAttrString(g_state.numpy, "int32");
    g_state.np_float64 = PyObject_GetAttrString(g_state.numpy, "float64");
    return g_state.no_match && g_state.block_checksum && g_state.parser_checksum && g_state.np_array &&
           g_state.np_int32 && g_state.np_float64;
}

}  // namespace

}  // namespace femap

PyMODINIT_FUNC PyInit_femap_parser(void) {
    PyObject* m = PyModule_Create(&femap::module_def);
    if (!m) return nullptr;
    if (!femap::init_module(m)) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
