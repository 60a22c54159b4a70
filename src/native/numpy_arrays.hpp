// Arrays for the array extractors: built directly from native buffers while the
// module global `np` is NumPy itself, else through `np.array(list, dtype=...)`
// exactly as Python code would call it.
#pragma once
#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <span>
#include <type_traits>

#include "pyref.hpp"
#include "text/grow_buffer.hpp"

namespace femap {

// True when `np` is NumPy with its own array, int32 and float64; false otherwise or
// on error (then an error is set only if `np` could not be looked up at all).
bool numpy_is_own();

// An ndarray of `rows` x `columns` int32 or float64 elements (one dimension for one
// column) holding a copy of `values`.
PyObject* new_array(bool real, size_t rows, int columns, const void* values);

// The values of one result array: gathered in native memory grown by realloc (no
// filling, large blocks moved without copying) and copied once into an ndarray of
// their exact length and shape at the end. Growing an ndarray in place instead
// zero-fills each new part and, for blocks the allocator maps afresh, faults in
// every page again: several times the cost of the one copy.
template <class T>
class Column : public Appender<Column<T>, T> {
    static_assert(std::is_same_v<T, int32_t> || std::is_same_v<T, double>);
    friend class Appender<Column<T>, T>;
    using Appender<Column<T>, T>::data_, Appender<Column<T>, T>::size_, Appender<Column<T>, T>::capacity_;

public:
    // The ndarray of the values, `columns` to a row; the column is left empty.
    PyObject* to_array(int columns = 1) {
        PyObject* array = new_array(std::is_same_v<T, double>, size_ / size_t(columns), columns, data_);
        scratch_pool().give(data_, capacity_ * sizeof(T));
        data_ = nullptr;
        size_ = capacity_ = 0;
        return array;
    }

private:
    bool grow(size_t need) {
        if (!data_) {  // start in kept memory where there is some
            size_t bytes = 0;
            data_ = static_cast<T*>(scratch_pool().take(need * sizeof(T), bytes));
            capacity_ = bytes / sizeof(T);
        }
        return need <= capacity_ || this->realloc_for(need) || (PyErr_NoMemory(), false);
    }
};

// np.array(list, dtype=np.<dtype_name>) with every name looked up now.
PyObject* np_array_call(PyObject* list, const char* dtype_name);

// Python lists of a buffer's values: ints, floats, or tuples of `columns` floats.
PyObject* int_list(std::span<const int32_t> values);
PyObject* float_list(std::span<const double> values);
PyObject* tuple_list(std::span<const double> values, int columns);

enum class Elem { Int32, Float64 };

// The buffer requirement of a typed array variable: an ndarray of `ndim`
// dimensions holding `elem` elements.
bool require_array(PyObject* array, int ndim, Elem elem);

// An empty one-dimensional float64 ndarray as shape (0, columns); any other object
// is returned as it is. New reference.
PyObject* empty_rows(PyObject* array, int columns);

}  // namespace femap
