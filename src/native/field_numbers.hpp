// int() and float() of one field, each type with one ladder: the inline fast path on
// ASCII text, then the exact Python-free reader, then the host's own int() or float()
// for what neither decides. Errors are the host's: Reject for its ValueError (what a
// record guard swallows), Fail for any other (an int32 overflow among them).
#pragma once
#include <cstdint>
#include <string_view>

#include "pyref.hpp"
#include "text/number_syntax.hpp"
#include "text/outcomes.hpp"

namespace femap {

// The rungs past the inline ones.
Conv int32_rest(std::string_view ascii, int32_t& out);
Conv double_rest(std::string_view ascii, double& out);

// int(text) narrowed to 32 bits, float(text) (D or d read as E), and whether int(text)
// succeeds, of ASCII text.
inline Conv int32_of(std::string_view ascii, int32_t& out) {
    return parse_small_int(ascii, out) ? Conv::Ok : int32_rest(ascii, out);
}
inline Conv double_of(std::string_view ascii, double& out) {
    return parse_short_real(ascii, out) ? Conv::Ok : double_rest(ascii, out);
}
// int(text) clamped to the signed 64-bit range (no narrowing error): for the tests
// that only compare a value (a count, the -1 of a terminator).
Conv int64_clamped_of(std::string_view ascii, int64_t& out);
inline Conv is_int(std::string_view ascii) {
    int32_t v;
    int64_t w;
    return parse_small_int(ascii, v) ? Conv::Ok : int64_clamped_of(ascii, w);
}

// The same of a str: ASCII ones take the ladders above, any other the host's.
Conv int32_of(PyObject* str, int32_t& out);
Conv double_of(PyObject* str, double& out);
Conv int64_clamped_of(PyObject* str, int64_t& out);
inline Conv is_int(PyObject* str) {
    int64_t v;
    return int64_clamped_of(str, v);
}

}  // namespace femap
