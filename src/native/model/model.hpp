// The native part of vexaro.core.femap_model: readers that run the parser's record
// walks over a parser's blocks and deliver columns (NumPy arrays, small dicts).
#pragma once
#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <vector>

#include "block_lines.hpp"
#include "record_results.hpp"
#include "text/record_walks.hpp"

namespace femap::model {

// The parser module's classes, looked up when this module is imported.
extern PyTypeObject* block_type;
extern PyTypeObject* parser_type;

// Lines of a block that remember the last line a walk split with `split`: the
// start line of the record it hands to its sink next.
class TrackedLines : public BlockLines {
public:
    bool split(int64_t i, LineFields& f, size_t limit = SIZE_MAX) {
        last = i;
        return BlockLines::split(i, f, limit);
    }
    template <class Push>
    RealLine read_reals(int64_t i, Push&& push) {
        last = i;
        return BlockLines::read_reals(i, push);
    }
    template <class Push>
    RealLine read_entry(int64_t i, EntryLine& out, Push&& push) {
        last = i;
        return BlockLines::read_entry(i, out, push);
    }
    int64_t last = -1;
};

// Fields of one line read leniently: a missing line or field, or one that does not
// convert (also to 32 bits), gives the fallback. Only errors that end the call
// (memory, a line of the wrong type) give false. Kept across records: its field
// list is reused.
class LooseLine {
public:
    // Reads line i of `lines` (at most `limit` fields); false with an error set on
    // failure. A missing line has no fields.
    bool load(TrackedLines& lines, int64_t i, size_t limit = SIZE_MAX);
    size_t size() const { return present_ ? f_.size() : 0; }
    bool int_at(size_t k, int32_t fallback, int32_t& out);
    bool real_at(size_t k, double fallback, double& out);
    // The count of a count line (exactly one field, an integer >= 0), else -1.
    bool count(int64_t& out);

private:
    LineFields f_;
    bool present_ = false;
};

// Runs walk(lines) over each block of a block list (a list of FEMAPBlock, as
// get_blocks gives it). False with an error set on failure.
template <class Walk>
bool walk_block_list(PyObject* all, Walk&& walk) {
    if (all == Py_None) {
        raise_none_use(NoneUse::Iter);
        return false;
    }
    GcPause pause;
    TrackedLines lines;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(all); ++k) {
        Ref item = Ref::borrow(PyList_GET_ITEM(all, k));
        if (!PyObject_TypeCheck(item.get(), block_type)) {
            raise_cannot_convert(item.get(), block_type);
            return false;
        }
        auto* block = reinterpret_cast<FEMAPBlockObject*>(item.get());
        if (!lines.bind(block, NoneUse::Len) || !walk(lines)) return false;
    }
    return true;
}

// Values gathered for an array that takes their memory over: grown by realloc, which
// moves large blocks without copying them (so growing never holds two copies);
// MemoryError when memory runs out. The value scan's buffer shape (push, size, truncate).
template <class T>
class GrowBuffer {
public:
    GrowBuffer() = default;
    GrowBuffer(const GrowBuffer&) = delete;
    GrowBuffer& operator=(const GrowBuffer&) = delete;
    ~GrowBuffer() { std::free(data_); }
    bool push(T v) {
        if (size_ == capacity_ && !grow()) return false;
        data_[size_++] = v;
        return true;
    }
    size_t size() const { return size_; }
    void truncate(size_t n) { size_ = std::min(size_, n); }
    // The memory (malloc'd, `size()` values), now the caller's to free.
    T* release() {
        T* d = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return d;
    }

private:
    bool grow() {
        const size_t capacity = std::max<size_t>(1024, 2 * capacity_);
        void* d = capacity > SIZE_MAX / sizeof(T) ? nullptr : std::realloc(data_, capacity * sizeof(T));
        if (!d) {
            PyErr_NoMemory();
            return false;
        }
        data_ = static_cast<T*>(d);
        capacity_ = capacity;
        return true;
    }
    T* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

// A one- or two-dimensional array over the buffer's memory, which it takes over.
template <class T>
PyObject* adopt_array(GrowBuffer<T>&& values);
extern template PyObject* adopt_array(GrowBuffer<int32_t>&&);
extern template PyObject* adopt_array(GrowBuffer<double>&&);
template <class T>
PyObject* adopt_array(std::vector<T>&& values, int columns = 1);
extern template PyObject* adopt_array(std::vector<int32_t>&&, int);
extern template PyObject* adopt_array(std::vector<int64_t>&&, int);
extern template PyObject* adopt_array(std::vector<double>&&, int);

// The readers: each takes a FEMAPParser and returns a new object, or null with an
// error set.
PyObject* read_block_sizes(FEMAPParserObject* parser);
PyObject* read_vectors(FEMAPParserObject* parser);
PyObject* read_output_sets(FEMAPParserObject* parser);
PyObject* read_properties(FEMAPParserObject* parser);
PyObject* read_materials(FEMAPParserObject* parser);

}  // namespace femap::model
