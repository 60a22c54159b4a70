// Placeholder until pickling lands.
#include "pickling.hpp"

PyMethodDef block_pickle_methods[] = {{nullptr, nullptr, 0, nullptr}};
PyMethodDef parser_pickle_methods[] = {{nullptr, nullptr, 0, nullptr}};
PyMethodDef pickle_module_functions[] = {{nullptr, nullptr, 0, nullptr}};
