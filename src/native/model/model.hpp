// The native part of vexaro.core.femap_model: readers that run the parser's record
// walks over a parser's blocks and deliver columns (NumPy arrays, small dicts).
#pragma once
#include <algorithm>
#include <cstdlib>
#include <type_traits>
#include <cmath>
#include <vector>

#include "block_lines.hpp"
#include "record_titles.hpp"
#include "text/grow_buffer.hpp"
#include "text/plain_lines.hpp"
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
    template <class Pairs>
    int64_t read_plain_pairs(int64_t i, int64_t n, Pairs&& pairs) {
        const int64_t k = BlockLines::read_plain_pairs(i, n, pairs);
        if (k > i) last = k - 1;
        return k;
    }
    template <class Push>
    int64_t read_plain_reals(int64_t i, int64_t n, size_t want, Push&& push) {
        const int64_t k = BlockLines::read_plain_reals(i, n, want, push);
        if (k > i) last = k - 1;
        return k;
    }
    int64_t last = -1;
};

// Fields of one line read leniently: a missing line or field, or one that does not
// convert (also to 32 bits), gives the fallback. Only errors that end the call give
// false: with the host's lines (TrackedLines) memory or a line of the wrong type, with
// an error set; with PlainLines whatever the Python-free readers leave undecided.
// Kept across records: its field list is reused.
template <class Lines>
class LooseLineOf {
public:
    // Reads line i of `lines` (at most `limit` fields). A missing line has no fields.
    bool load(Lines& lines, int64_t i, size_t limit = SIZE_MAX) {
        present_ = i >= 0 && i < lines.size();
        if (!present_) return true;
        Conv c = lines.split_in_guard(i, f_, limit);
        present_ = c == Conv::Ok;
        return c != Conv::Fail;
    }
    size_t size() const { return present_ ? f_.size() : 0; }
    bool int_at(size_t k, int32_t fallback, int32_t& out) {
        return field(k, fallback, out, [&] { return f_.to_int32(k, out); });
    }
    bool real_at(size_t k, double fallback, double& out) {
        return field(k, fallback, out, [&] { return f_.to_double(k, out); });
    }
    // The count of a count line (exactly one field, an integer >= 0), else -1.
    bool count(int64_t& out) {
        int32_t c = -1;
        if (size() == 1 && !int_at(0, -1, c)) return false;
        out = c < 0 ? -1 : c;
        return true;
    }

private:
    // The conversion of field k (made only when it exists) or the fallback.
    template <class T, class Convert>
    bool field(size_t k, T fallback, T& out, Convert&& convert) {
        Conv c = k < size() ? convert() : Conv::Reject;
        if (c == Conv::Fail) {
            if constexpr (std::is_same_v<Lines, PlainLines>) {
                return false;
            } else {  // ValueError and OverflowError mean "use the fallback"
                if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError))
                    return false;
                PyErr_Clear();
            }
        }
        if (c != Conv::Ok) out = fallback;
        return true;
    }
    typename Lines::Fields f_;
    bool present_ = false;
};
using LooseLine = LooseLineOf<TrackedLines>;

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

// A one- or two-dimensional array over the buffer's memory, which it takes over.
template <class T>
PyObject* adopt_array(GrowBuffer<T>&& values, int columns = 1);
extern template PyObject* adopt_array(GrowBuffer<int32_t>&&, int);
extern template PyObject* adopt_array(GrowBuffer<double>&&, int);
template <class T>
PyObject* adopt_array(std::vector<T>&& values, int columns = 1);
extern template PyObject* adopt_array(std::vector<int32_t>&&, int);
extern template PyObject* adopt_array(std::vector<int64_t>&&, int);
extern template PyObject* adopt_array(std::vector<double>&&, int);

// The readers: each takes a FEMAPParser and returns a new object, or null with an
// error set.
PyObject* read_block_sizes(FEMAPParserObject* parser);
// The vector table, with blocks of ASCII bytes walked in parts (of `part_bytes` at
// least) on up to `threads` threads.
PyObject* read_vectors(FEMAPParserObject* parser, size_t threads, size_t part_bytes);
// (get_nodes_arrays(), get_elements_arrays(), the vector table): with `threads` > 1
// the nodes and elements are read beside the table on threads of their own.
PyObject* read_arrays(FEMAPParserObject* parser, size_t threads, size_t part_bytes);
PyObject* read_output_sets(FEMAPParserObject* parser);
PyObject* read_properties(FEMAPParserObject* parser);
PyObject* read_materials(FEMAPParserObject* parser);

}  // namespace femap::model
