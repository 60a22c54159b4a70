// The module's error texts and the conversions every entry shares: the integer
// argument rule, exact-type checks, and int()/float() of field text.
#pragma once
#include "pyref.hpp"
#include "text/number_syntax.hpp"
#include <cstdint>
#include <string_view>

#include "text/record_walks.hpp"

namespace femap {

// TypeError "Expected <type>, got <type of obj>".
void raise_expected(const char* type_name, PyObject* obj);
// TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
void raise_argument_type(const char* arg, const char* type_name, PyObject* obj);
// OverflowError "value too large to convert to int".
void raise_int_overflow();

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

// int() and float() of one field, given as ASCII bytes or as a str.
Conv text_to_int32(std::string_view ascii, int32_t& out);
Conv text_to_double_rest(std::string_view ascii, double& out);  // what the inline path leaves
inline Conv text_to_double(std::string_view ascii, double& out) {
    return parse_short_real(ascii, out) ? Conv::Ok : text_to_double_rest(ascii, out);
}
Conv text_is_int(std::string_view ascii);
// int() of the text, clamped to the signed 64-bit range (no narrowing error): for the
// tests that only compare a value (a count, the -1 of a terminator).
Conv text_to_int64_clamped(std::string_view ascii, int64_t& out);
Conv str_to_int64_clamped(PyObject* str, int64_t& out);
Conv str_to_int32(PyObject* str, int32_t& out);
Conv str_to_double(PyObject* str, double& out);
Conv str_is_int(PyObject* str);

// str of ASCII or UTF-8 bytes.
PyObject* str_from_ascii(std::string_view s);

}  // namespace femap
