// Arrays for the array extractors: built directly from native buffers while the
// module global `np` is NumPy itself, else through `np.array(list, dtype=...)`
// exactly as Python code would call it.
#pragma once
#include <vector>

#include "pyref.hpp"

namespace femap {

// True when `np` is NumPy with its own array, int32 and float64; false otherwise or
// on error (then an error is set only if `np` could not be looked up at all).
bool numpy_is_own();

// New C-contiguous arrays copied from native buffers (NumPy's own path).
PyObject* int32_array(const std::vector<int32_t>& values);
PyObject* float64_array(const std::vector<double>& values, int columns);

// np.array(list, dtype=np.<dtype_name>) with every name looked up now.
PyObject* np_array_call(PyObject* list, const char* dtype_name);

// Python lists of a buffer's values: ints, floats, or tuples of `columns` floats.
PyObject* int_list(const std::vector<int32_t>& values);
PyObject* float_list(const std::vector<double>& values);
PyObject* tuple_list(const std::vector<double>& values, int columns);

enum class Elem { Int32, Float64 };

// The buffer requirement of a typed array variable: an ndarray of `ndim`
// dimensions holding `elem` elements.
bool require_array(PyObject* array, int ndim, Elem elem);

// An empty one-dimensional float64 ndarray as shape (0, columns); any other object
// is returned as it is. New reference.
PyObject* empty_rows(PyObject* array, int columns);

}  // namespace femap
