// What the module keeps between calls: its types, NumPy's own objects, constants.
#pragma once
#include "pyref.hpp"
#include "femap_parser.h"

extern PyTypeObject FEMAPBlock_Type;
extern PyTypeObject FEMAPParser_Type;

namespace femap {

struct ModuleState {
    PyObject* module = nullptr;      // borrowed: the module lives as long as the process
    PyObject* numpy = nullptr;       // NumPy's module and its own array, int32, float64
    PyObject* np_array = nullptr;
    PyObject* np_int32 = nullptr;
    PyObject* np_float64 = nullptr;
    PyObject* no_match = nullptr;    // (None, None, -1, -1, -1)
    PyObject* block_checksum = nullptr;
    PyObject* parser_checksum = nullptr;
};
extern ModuleState g_state;

// A module global looked up by name, as Python code would: NameError if absent.
PyObject* module_global(const char* name);

}  // namespace femap
