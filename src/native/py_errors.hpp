// The errors the module raises in the host's words, made here and nowhere else: what
// Python code doing the same step would raise (type checks, operations on None, index
// errors, the integer argument rule, 32-bit narrowing). Errors that are the module's own
// live with their concern: pickling.cpp (checksums), numpy_arrays.cpp (the buffers a
// replaced `np` returns).
#pragma once
#include "pyref.hpp"
#include <cstdint>
#include <string_view>

#include "text/outcomes.hpp"

namespace femap {

// TypeError "Expected <type>, got <type of obj>".
void raise_expected(const char* type_name, PyObject* obj);
// TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
void raise_argument_type(const char* arg, const char* type_name, PyObject* obj);
// OverflowError "value too large to convert to int".
void raise_int_overflow();
// TypeError "Cannot convert <type of obj> to <type>": a list entry of the wrong class.
void raise_cannot_convert(PyObject* obj, PyTypeObject* type);

// What Python code does to None, by the error the host gives for it.
enum class NoneUse : uint8_t {
    Len,        // len(None): TypeError "object of type 'NoneType' has no len()"
    Iter,       // for x in None: TypeError "'NoneType' object is not iterable"
    Subscript,  // None[k]: TypeError "'NoneType' object is not subscriptable"
};
void raise_none_use(NoneUse use);
// AttributeError "'NoneType' object has no attribute '<name>'".
void raise_none_attribute(const char* name);
// IndexError "<container> index out of range" ("list", "tuple").
void raise_index_error(const char* container);
// NameError "name '<name>' is not defined".
void raise_undefined_name(const char* name);
// NotImplementedError "__del__": deleting an attribute that can only be set.
void raise_no_deleter();

// Exact-type test of an argument: the type itself or None passes.
bool check_argument(PyObject* obj, PyTypeObject* type, const char* arg);
// Exact-type test of an attribute or state item, with "Expected ..., got ...".
bool check_exact(PyObject* obj, PyTypeObject* type);

// The integer rule for arguments and attributes: an int (or bool) directly, any
// other object through its __int__; "an integer is required" otherwise.
bool int_arg_to_int64(PyObject* obj, int64_t& out);
bool int_arg_to_int32(PyObject* obj, int32_t& out);

// Narrowing of an int object to 32 bits with the two OverflowError texts.
bool narrow_to_int32(PyObject* pylong, int32_t& out);

// After a failed call inside a record's guard: Reject (error cleared) for a
// ValueError or IndexError, Fail for any other error.
Conv reject_on_value_error();

// str of ASCII or UTF-8 bytes.
PyObject* str_from_ascii(std::string_view s);

}  // namespace femap
