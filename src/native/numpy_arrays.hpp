// Arrays for the array extractors: built directly from native buffers while the
// module global `np` is NumPy itself, else through `np.array(list, dtype=...)`
// exactly as Python code would call it.
#pragma once
#include <algorithm>
#include <cstdint>
#include <span>
#include <type_traits>

#include "pyref.hpp"
#include "text/grow_buffer.hpp"

namespace femap {

// True when `np` is NumPy with its own array, int32 and float64; false otherwise or
// on error (then an error is set only if `np` could not be looked up at all).
bool numpy_is_own();

// A one-dimensional ndarray of `capacity` int32 or float64 elements (uninitialised),
// and its resizing in place to `rows` x `columns` (one dimension for one column).
PyObject* new_column_array(bool real, size_t capacity);
bool resize_column_array(PyObject* array, size_t rows, int columns);
void* array_data(PyObject* array);

// The values of one result array, written straight into the ndarray that returns
// them: grown in place (realloc moves large blocks without copying them) and cut to
// their length and shape at the end.
template <class T>
class Column : public Appender<Column<T>, T> {
    static_assert(std::is_same_v<T, int32_t> || std::is_same_v<T, double>);
    friend class Appender<Column<T>, T>;
    using Appender<Column<T>, T>::data_, Appender<Column<T>, T>::size_, Appender<Column<T>, T>::capacity_;

public:
    // The ndarray of the values, `columns` to a row; the column is left empty.
    PyObject* to_array(int columns = 1) {
        if (!array_ && !grow(0)) return nullptr;
        if (!resize_column_array(array_.get(), size_ / size_t(columns), columns)) return nullptr;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return array_.release();
    }

private:
    bool grow(size_t need) {
        size_t capacity = this->next_capacity(need);
        if (!array_) {
            array_ = Ref::steal(new_column_array(std::is_same_v<T, double>, capacity));
            if (!array_) return false;
        } else if (!resize_column_array(array_.get(), capacity, 1)) {
            return false;
        }
        data_ = static_cast<T*>(array_data(array_.get()));
        capacity_ = capacity;
        return true;
    }
    Ref array_;
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
