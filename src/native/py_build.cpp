#include "py_build.hpp"

namespace femap {

PyObject* build_dict(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    Ref dict = Ref::steal(PyDict_New());
    bool ok = static_cast<bool>(dict);
    for (auto& [key, value] : items) {
        Ref v = Ref::steal(value);
        ok = ok && v && PyDict_SetItem(dict.get(), key, v.get()) == 0;
    }
    return ok ? dict.release() : nullptr;
}

PyObject* build_tuple(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    bool ok = static_cast<bool>(tuple);
    Py_ssize_t k = 0;
    for (PyObject* item : items) {
        if (ok && item) {
            PyTuple_SET_ITEM(tuple.get(), k++, item);
        } else {
            ok = false;
            Py_XDECREF(item);
        }
    }
    return ok ? tuple.release() : nullptr;
}

const ResultKeys& result_keys() {
    static const ResultKeys keys = {
        PyUnicode_InternFromString("title"),    PyUnicode_InternFromString("version"),
        PyUnicode_InternFromString("id"),       PyUnicode_InternFromString("prop_id"),
        PyUnicode_InternFromString("topology"), PyUnicode_InternFromString("nodes"),
        PyUnicode_InternFromString("material_id"), PyUnicode_InternFromString("value"),
        PyUnicode_InternFromString("set_id"),   PyUnicode_InternFromString("vec_id"),
        PyUnicode_InternFromString("ent_type"), PyUnicode_InternFromString("results"),
    };
    return keys;
}

PyObject* dict_with_room(Py_ssize_t n) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(n);
#else
    (void)n;
    return PyDict_New();
#endif
}

}  // namespace femap
