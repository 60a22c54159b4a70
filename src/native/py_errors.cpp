#include "py_errors.hpp"

#include "text/number_syntax.hpp"

namespace femap {

void raise_expected(const char* type_name, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", type_name, Py_TYPE(obj)->tp_name);
}

void raise_argument_type(const char* arg, const char* type_name, PyObject* obj) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 type_name, Py_TYPE(obj)->tp_name);
}

void raise_int_overflow() { PyErr_SetString(PyExc_OverflowError, "value too large to convert to int"); }

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

namespace {

Ref exact_int(PyObject* str) {
    return Ref::steal(PyLong_FromUnicodeObject(str, 10));
}

// float() of the text; a text with exactly one D or d is also read with an E there.
Conv exact_double(PyObject* str, double& out) {
    Ref f = Ref::steal(PyFloat_FromString(str));
    if (!f) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return Conv::Fail;
        Py_ssize_t n = PyUnicode_GET_LENGTH(str);
        Py_ssize_t d_at = -1, d_count = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 ch = PyUnicode_READ_CHAR(str, i);
            if (ch == 'D' || ch == 'd') { d_at = i; ++d_count; }
        }
        if (d_count != 1) return reject_on_value_error();
        PyErr_Clear();
        Ref copy = Ref::steal(PyUnicode_New(n, PyUnicode_MAX_CHAR_VALUE(str)));
        if (!copy || PyUnicode_CopyCharacters(copy.get(), 0, str, 0, n) < 0 ||
            PyUnicode_WriteChar(copy.get(), d_at, 'E') < 0)
            return Conv::Fail;
        f = Ref::steal(PyFloat_FromString(copy.get()));
        if (!f) return reject_on_value_error();
    }
    out = PyFloat_AS_DOUBLE(f.get());
    return Conv::Ok;
}

// The text of an ASCII str.
std::string_view ascii_text(PyObject* str) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str))};
}

template <class Fn>
Conv with_str(std::string_view ascii, Fn&& fn) {
    Ref s = Ref::steal(str_from_ascii(ascii));
    if (!s) return Conv::Fail;
    return fn(s.get());
}

}  // namespace

Conv str_to_int32(PyObject* str, int32_t& out) {
    if (PyUnicode_IS_ASCII(str))
        return text_to_int32(ascii_text(str), out);
    Ref v = exact_int(str);
    if (!v) return reject_on_value_error();
    return narrow_to_int32(v.get(), out) ? Conv::Ok : Conv::Fail;
}

Conv str_is_int(PyObject* str) {
    int64_t v;
    return str_to_int64_clamped(str, v);
}

Conv str_to_double(PyObject* str, double& out) {
    if (PyUnicode_IS_ASCII(str))
        return text_to_double(ascii_text(str), out);
    return exact_double(str, out);
}

Conv text_to_int32(std::string_view ascii, int32_t& out) {
    int64_t v;
    switch (parse_int_ascii(ascii, v)) {
        case Parse::Ok:
            if (v < INT32_MIN || v > INT32_MAX) {
                raise_int_overflow();
                return Conv::Fail;
            }
            out = static_cast<int32_t>(v);
            return Conv::Ok;
        case Parse::Invalid: return Conv::Reject;
        default: break;
    }
    return with_str(ascii, [&](PyObject* s) {
        Ref r = exact_int(s);
        if (!r) return reject_on_value_error();
        return narrow_to_int32(r.get(), out) ? Conv::Ok : Conv::Fail;
    });
}

Conv text_is_int(std::string_view ascii) {
    int64_t v;
    return text_to_int64_clamped(ascii, v);
}

namespace {

Conv clamped_value(PyObject* str, int64_t& out) {
    Ref r = exact_int(str);
    if (!r) return reject_on_value_error();
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(r.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return Conv::Fail;
    out = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : x;
    return Conv::Ok;
}

}  // namespace

Conv str_to_int64_clamped(PyObject* str, int64_t& out) {
    if (PyUnicode_IS_ASCII(str))
        return text_to_int64_clamped(ascii_text(str), out);
    return clamped_value(str, out);
}

// The fast reader's outcome where it decided, else the host's on a str of the text.
template <class Host>
Conv decided_or_host(Parse fast, std::string_view ascii, Host&& host) {
    if (fast == Parse::Ok) return Conv::Ok;
    if (fast == Parse::Invalid) return Conv::Reject;
    return with_str(ascii, host);
}

Conv text_to_int64_clamped(std::string_view ascii, int64_t& out) {
    return decided_or_host(parse_int_ascii(ascii, out), ascii, [&](PyObject* s) { return clamped_value(s, out); });
}

Conv text_to_double_rest(std::string_view ascii, double& out) {
    return decided_or_host(parse_real_rest(ascii, out), ascii, [&](PyObject* s) { return exact_double(s, out); });
}

}  // namespace femap
