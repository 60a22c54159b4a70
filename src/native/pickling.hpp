// Pickling support of both classes: __reduce__/__setstate__ and the module-level
// restore functions.
#pragma once
#include "pyref.hpp"

extern PyMethodDef block_pickle_methods[];   // __reduce__, __setstate__ of FEMAPBlock
extern PyMethodDef parser_pickle_methods[];  // __reduce__, __setstate__ of FEMAPParser
extern PyMethodDef pickle_module_functions[];  // __qel_unpickle_FEMAPBlock, __qel_unpickle_FEMAPParser
