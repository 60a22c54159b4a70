#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL femap_ARRAY_API
#include "numpy_arrays.hpp"

#include <numpy/arrayobject.h>

#include <cstring>

#include "module_state.hpp"
#include "py_build.hpp"

namespace femap {

bool numpy_is_own() {
    PyObject* np = PyDict_GetItemString(PyModule_GetDict(g_state.module), "np");
    if (np != g_state.numpy) return false;
    struct { const char* name; PyObject* own; } names[] = {
        {"array", g_state.np_array}, {"int32", g_state.np_int32}, {"float64", g_state.np_float64}};
    for (auto& n : names) {
        Ref v = Ref::steal(PyObject_GetAttrString(np, n.name));
        if (!v) {
            PyErr_Clear();
            return false;
        }
        if (v.get() != n.own) return false;
    }
    return true;
}

PyObject* new_array(bool real, size_t rows, int columns, const void* values) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), columns};
    PyObject* array = PyArray_SimpleNew(columns == 1 ? 1 : 2, dims, real ? NPY_FLOAT64 : NPY_INT32);
    if (array && rows)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values,
                    rows * size_t(columns) * (real ? sizeof(double) : sizeof(int32_t)));
    return array;
}

PyObject* np_array_call(PyObject* list, const char* dtype_name) {
    GcResume python_runs;
    Ref np = Ref::borrow(module_global("np"));
    if (!np) return nullptr;
    Ref array = Ref::steal(PyObject_GetAttrString(np.get(), "array"));
    if (!array) return nullptr;
    np = Ref::borrow(module_global("np"));
    if (!np) return nullptr;
    Ref dtype = Ref::steal(PyObject_GetAttrString(np.get(), dtype_name));
    if (!dtype) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, list));
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "dtype", dtype.get()));
    if (!args || !kwargs) return nullptr;
    return PyObject_Call(array.get(), args.get(), kwargs.get());
}

template <class T, class Make>
static PyObject* list_of(std::span<const T> values, size_t step, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size() / step)));
    if (!list) return nullptr;
    for (size_t k = 0; k * step < values.size(); ++k) {
        PyObject* item = make(&values[k * step]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

PyObject* int_list(std::span<const int32_t> values) {
    return list_of(values, 1, [](const int32_t* v) { return PyLong_FromLong(*v); });
}

PyObject* float_list(std::span<const double> values) {
    return list_of(values, 1, [](const double* v) { return PyFloat_FromDouble(*v); });
}

PyObject* tuple_list(std::span<const double> values, int columns) {
    return list_of(values, size_t(columns), [columns](const double* v) -> PyObject* {
        Ref t = Ref::steal(PyTuple_New(columns));
        if (!t) return nullptr;
        for (int c = 0; c < columns; ++c) {
            PyObject* f = PyFloat_FromDouble(v[c]);
            if (!f) return nullptr;
            PyTuple_SET_ITEM(t.get(), c, f);
        }
        return t.release();
    });
}

PyObject* empty_rows(PyObject* array, int columns) {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_Check(array) && PyArray_NDIM(a) == 1 && PyArray_SIZE(a) == 0 && PyArray_TYPE(a) == NPY_FLOAT64) {
        npy_intp dims[2] = {0, columns};
        PyArray_Dims shape = {dims, 2};
        return PyArray_Newshape(a, &shape, NPY_CORDER);
    }
    Py_INCREF(array);
    return array;
}

bool require_array(PyObject* array, int ndim, Elem elem) {
    int typenum = elem == Elem::Int32 ? NPY_INT32 : NPY_FLOAT64;
    const char* type_name = elem == Elem::Int32 ? "int32_t" : "float64_t";
    if (!PyArray_Check(array)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to numpy.ndarray", Py_TYPE(array)->tp_name);
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_NDIM(a) != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     PyArray_NDIM(a));
        return false;
    }
    if (!PyArray_EquivTypenums(PyArray_TYPE(a), typenum) || !PyArray_ISNOTSWAPPED(a)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'", type_name,
                     PyArray_DESCR(a)->typeobj->tp_name);
        return false;
    }
    return true;
}

}  // namespace femap
