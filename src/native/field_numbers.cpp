#include "field_numbers.hpp"

#include "py_errors.hpp"

namespace femap {

namespace {

Ref exact_int(PyObject* str) { return Ref::steal(PyLong_FromUnicodeObject(str, 10)); }

Conv exact_int32(PyObject* str, int32_t& out) {
    Ref r = exact_int(str);
    if (!r) return reject_on_value_error();
    return narrow_to_int32(r.get(), out) ? Conv::Ok : Conv::Fail;
}

Conv exact_int64_clamped(PyObject* str, int64_t& out) {
    Ref r = exact_int(str);
    if (!r) return reject_on_value_error();
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(r.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return Conv::Fail;
    out = overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : x;
    return Conv::Ok;
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

// The Python-free reader's outcome where it decided, else the host's on a str of the
// text.
template <class Host>
Conv decided_or_host(Parse fast, std::string_view ascii, Host&& host) {
    if (fast == Parse::Ok) return Conv::Ok;
    if (fast == Parse::Invalid) return Conv::Reject;
    Ref s = Ref::steal(str_from_ascii(ascii));
    return s ? host(s.get()) : Conv::Fail;
}

}  // namespace

Conv int32_rest(std::string_view ascii, int32_t& out) {
    int64_t v;
    Parse fast = parse_int_ascii(ascii, v);
    if (fast == Parse::Ok && (v < INT32_MIN || v > INT32_MAX)) {
        raise_int_overflow();
        return Conv::Fail;
    }
    if (fast == Parse::Ok) out = static_cast<int32_t>(v);
    return decided_or_host(fast, ascii, [&](PyObject* s) { return exact_int32(s, out); });
}

Conv double_rest(std::string_view ascii, double& out) {
    return decided_or_host(parse_real_rest(ascii, out), ascii, [&](PyObject* s) { return exact_double(s, out); });
}

Conv int64_clamped_of(std::string_view ascii, int64_t& out) {
    return decided_or_host(parse_int_ascii(ascii, out), ascii, [&](PyObject* s) { return exact_int64_clamped(s, out); });
}

Conv int32_of(PyObject* str, int32_t& out) {
    return PyUnicode_IS_ASCII(str) ? int32_of(ascii_text(str), out) : exact_int32(str, out);
}

Conv double_of(PyObject* str, double& out) {
    return PyUnicode_IS_ASCII(str) ? double_of(ascii_text(str), out) : exact_double(str, out);
}

Conv int64_clamped_of(PyObject* str, int64_t& out) {
    return PyUnicode_IS_ASCII(str) ? int64_clamped_of(ascii_text(str), out) : exact_int64_clamped(str, out);
}

}  // namespace femap
