#include "py_errors.hpp"

namespace femap {

void raise_expected(const char* type_name, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type_name, Py_TYPE(obj)->tp_name);
}

void raise_argument_type(const char* arg, const char* type_name, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 type_name, Py_TYPE(obj)->tp_name);
}

void raise_int_overflow() { PyErr_SetString(PyExc_OverflowError, "value too large to convert to int"); }

void raise_cannot_convert(PyObject* obj, PyTypeObject* type) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, type->tp_name);
}

void raise_none_use(NoneUse use) {
    const char* text = use == NoneUse::Len    ? "object of type 'NoneType' has no len()"
                       : use == NoneUse::Iter ? "'NoneType' object is not iterable"
                                              : "'NoneType' object is not subscriptable";
    PyErr_SetString(PyExc_TypeError, text);
}

void raise_none_attribute(const char* name) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.200s'", name);
}

void raise_index_error(const char* container) { PyErr_Format(PyExc_IndexError, "%s index out of range", container); }

void raise_undefined_name(const char* name) { PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", name); }

void raise_no_deleter() { PyErr_SetString(PyExc_NotImplementedError, "__del__"); }

bool check_argument(PyObject* obj, PyTypeObject* type, const char* arg) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return true;
    raise_argument_type(arg, type->tp_name, obj);
    return false;
}

bool check_exact(PyObject* obj, PyTypeObject* type) {
    if (obj == Py_None || Py_IS_TYPE(obj, type)) return true;
    raise_expected(type->tp_name, obj);
    return false;
}

namespace {

// The object's int value: itself when it is an int, else the result of __int__.
Ref integer_value(PyObject* obj) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref r = Ref::steal(nb->nb_int(obj));
    if (!r) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
        return r;
    }
    if (PyLong_CheckExact(r.get())) return r;
    if (PyLong_Check(r.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            return Ref();
        return r;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
    return Ref();
}

}  // namespace

// An int object's value in 64 bits, with the host's text for larger values.
static bool to_int64(PyObject* pylong, int64_t& out) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(pylong, &overflow);
    if (overflow) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return false;
    }
    if (x == -1 && PyErr_Occurred()) return false;
    out = x;
    return true;
}

bool int_arg_to_int64(PyObject* obj, int64_t& out) {
    Ref v = integer_value(obj);
    return v && to_int64(v.get(), out);
}

bool narrow_to_int32(PyObject* pylong, int32_t& out) {
    int64_t x;
    if (!to_int64(pylong, x)) return false;
    if (x < INT32_MIN || x > INT32_MAX) {
        raise_int_overflow();
        return false;
    }
    out = static_cast<int32_t>(x);
    return true;
}

bool int_arg_to_int32(PyObject* obj, int32_t& out) {
    Ref v = integer_value(obj);
    return v && narrow_to_int32(v.get(), out);
}

PyObject* str_from_ascii(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

Conv reject_on_value_error() {
    if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError)) {
        PyErr_Clear();
        return Conv::Reject;
    }
    return Conv::Fail;
}

}  // namespace femap
