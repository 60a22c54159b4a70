// Entries of a PyMethodDef table by calling convention, with the cast each one needs
// made here.
#pragma once
#include "pyref.hpp"

namespace femap {

inline PyMethodDef method_noargs(const char* name, PyCFunction fn, const char* doc) {
    return {name, fn, METH_NOARGS, doc};
}

inline PyMethodDef method_with_keywords(const char* name, PyCFunctionWithKeywords fn, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(fn), METH_VARARGS | METH_KEYWORDS, doc};
}

// The entry that ends a table.
inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};

}  // namespace femap
