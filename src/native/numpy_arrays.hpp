// Arrays for the array extractors: built directly from native buffers while the
// module global `np` is NumPy itself, else through `np.array(list, dtype=...)`
// exactly as Python code would call it.
#pragma once
#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstring>
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

// Memory a Column can gather values in for an array that then takes it over: one of
// the arrays' mappings, of 64 MiB of address space or `bytes` if more (its pages come as
// they are written), its length to `len`; null where arrays do not get mappings of their own (other
// systems, NumPy's huge pages switched off) or none can be made.
void* column_mapping(size_t bytes, size_t& len) noexcept;
// Gives back a column_mapping no array took.
void free_column_mapping(void* p) noexcept;
// An ndarray of `rows` x `columns` int32 or float64 elements over `data`, a
// column_mapping holding them, which the array owns from then on (freed on failure).
PyObject* adopting_array(bool real, size_t rows, int columns, void* data);

// The values of one result array: gathered in native memory grown by realloc (no
// filling, large blocks moved without copying) and copied once into an ndarray of
// their exact length and shape at the end. Growing an ndarray in place instead
// zero-fills each new part and, for blocks the allocator maps afresh, faults in
// every page again: several times the cost of the one copy.
// An adopting column (`Column(true)`) gathers large values in a column_mapping instead
// (moved to a larger one past its length), which the array takes over: the fresh memory a held array needs is then faulted in while
// the values are read (on a second thread, if one reads ahead, meanwhile), not after.
template <class T>
class Column : public Appender<Column<T>, T> {
    static_assert(std::is_same_v<T, int32_t> || std::is_same_v<T, double>);
    friend class Appender<Column<T>, T>;
    using Appender<Column<T>, T>::data_, Appender<Column<T>, T>::size_, Appender<Column<T>, T>::capacity_;

public:
    Column() = default;
    explicit Column(bool adopting) : adopting_(adopting) {}
    ~Column() { drop(); }
    // The ndarray of the values, `columns` to a row; the column is left empty.
    PyObject* to_array(int columns = 1) {
        const size_t rows = size_ / size_t(columns);
        PyObject* array;
        if (mapped_ && rows) {
            array = adopting_array(std::is_same_v<T, double>, rows, columns, data_);
            data_ = nullptr, mapped_ = false;
        } else {
            array = new_array(std::is_same_v<T, double>, rows, columns, data_);
            drop();
        }
        size_ = capacity_ = 0;
        return array;
    }

private:
    // Bytes from which an adopting column maps: about where a 2 MiB huge page costs less to
    // fault in than the 4 KiB pages of the values (at 1.2-1.5 us a page on virtual machines).
    static constexpr size_t kAdoptFrom = size_t(512) << 10;
    // The memory given back (kept for later columns); data_ null.
    void drop() noexcept {
        if (mapped_) free_column_mapping(data_);
        else scratch_pool().give(data_, std::max(block_bytes_, capacity_ * sizeof(T)));
        data_ = nullptr, mapped_ = false, block_bytes_ = 0;
    }
    bool grow(size_t need) {
        const size_t want = std::max(2 * capacity_, need);
        if (adopting_ && need * sizeof(T) >= kAdoptFrom) {
            size_t len;
            if (void* m = column_mapping(want * sizeof(T), len)) {
                if (size_) std::memcpy(m, data_, size_ * sizeof(T));
                drop();
                data_ = static_cast<T*>(m), capacity_ = len / sizeof(T), mapped_ = true;
                return true;
            }
        }
        if (mapped_) {  // no larger mapping: on in malloc'd memory
            T* d = static_cast<T*>(std::malloc(want * sizeof(T)));
            if (!d) return PyErr_NoMemory(), false;
            std::memcpy(d, data_, size_ * sizeof(T));
            free_column_mapping(data_);
            data_ = d, capacity_ = want, mapped_ = false;
            return true;
        }
        if (!data_) {  // start in kept memory where there is some (an adopting column up to where it maps)
            data_ = static_cast<T*>(scratch_pool().take(need * sizeof(T), block_bytes_));
            capacity_ = (adopting_ ? std::min(block_bytes_, kAdoptFrom - sizeof(T)) : block_bytes_) / sizeof(T);
        }
        if (need <= capacity_) return true;
        block_bytes_ = 0;  // (realloc'd: its capacity is its size)
        return this->realloc_for(need) || (PyErr_NoMemory(), false);
    }
    bool adopting_ = false;
    size_t block_bytes_ = 0;  // of a block from the scratch pool, which may be more than its capacity
    bool mapped_ = false;  // data_ is a column_mapping
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
