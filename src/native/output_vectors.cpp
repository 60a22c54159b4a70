// Output vectors (blocks 1051, then 451): every vector as a dict, or the first
// vector that passes the filters as arrays. One record walk serves both.
#include <algorithm>
#include <optional>

#include "numpy_arrays.hpp"
#include "parser.hpp"
#include "py_errors.hpp"
#include "py_build.hpp"
#include "record_titles.hpp"
#include "text/constants.hpp"
#include "text/record_walks.hpp"
#include "text/scan_ahead.hpp"
#include "text/threads.hpp"

namespace femap {

namespace {

const ResultKeys& keys() { return result_keys(); }

// Asks the cache for the line at `p`. GCC drops __builtin_prefetch of a pointer it has
// just loaded from memory, so on x86-64 the instruction is written out.
inline void prefetch_line([[maybe_unused]] const void* p) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#elif defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#endif
}

// Pairs in delivery order, in buffers reused from record to record.
struct ScanPairs {
    ScanBuffer<int32_t> ids;
    ScanBuffer<double> values;
    bool pair(int32_t id, double value) { return ids.push(id) && values.push(value); }
    void clear() { ids.v.clear(), values.v.clear(); }
};

// The int objects of entity identifiers, shared by the dicts of one call: the vectors
// of a file list the same entities, so each id is made once instead of once a vector.
// The span kept grows to take in the identifiers of each vector made anew, while it
// stays dense enough for that vector (vectors of nodes and of elements interleave).
class IdInts {
public:
    IdInts() = default;
    IdInts(const IdInts&) = delete;
    IdInts& operator=(const IdInts&) = delete;
    ~IdInts() {
        for (PyObject* o : slots_) Py_XDECREF(o);
    }
    // A new reference to int(id), or null with an error set.
    PyObject* get(int32_t id) {
        const int64_t at = int64_t(id) - base_;
        if (at < 0 || at >= int64_t(slots_.size())) return PyLong_FromLong(id);
        PyObject*& slot = slots_[size_t(at)];
        if (!slot && !(slot = PyLong_FromLong(id))) return nullptr;
        Py_INCREF(slot);
        return slot;
    }
    // Asks the cache for the int of `id` (made already) and the slot of `later`, so that
    // the reference count update and hashing of a later get do not wait on memory.
    void prefetch(int32_t id, int32_t later) const {
        const uint64_t at = uint64_t(int64_t(id) - base_), later_at = uint64_t(int64_t(later) - base_);
        if (at < slots_.size())
            if (PyObject* o = slots_[at]) {
                prefetch_line(o);  // its reference count, and its size and digit (hashing)
                prefetch_line(reinterpret_cast<const char*>(o) + kIntBytes - 1);
            }
        if (later_at < slots_.size()) prefetch_line(&slots_[later_at]);
    }
    // Widens the span to the identifiers of `ids` when it stays dense enough for them.
    void cover(const std::vector<int32_t>& ids) {
        if (ids.empty()) return;
        auto [lo_at, hi_at] = std::minmax_element(ids.begin(), ids.end());
        int64_t lo = *lo_at, hi = *hi_at;
        if (!slots_.empty()) {
            const int64_t top = base_ + int64_t(slots_.size()) - 1;
            if (lo >= base_ && hi <= top) return;
            lo = std::min(lo, base_), hi = std::max(hi, top);
        }
        const int64_t span = hi - lo + 1;
        if (span > 8 * int64_t(ids.size()) + 4096) return;
        try {
            std::vector<PyObject*> wider(size_t(span), nullptr);
            if (!slots_.empty()) std::copy(slots_.begin(), slots_.end(), wider.begin() + (base_ - lo));
            slots_.swap(wider);
            base_ = lo;
        } catch (const std::bad_alloc&) {  // then the ids outside are made anew
        }
    }

private:
    static constexpr size_t kIntBytes = 32;  // an int below 2**30; blocks of 32 may span two lines
    std::vector<PyObject*> slots_;
    int64_t base_ = 0;
};

// The pairs stored by entity identifier; a later value replaces an earlier one. With
// `like`, a dict made from the same ids in the same order: its copy has the keys in
// place already, and every value is set anew.
PyObject* results_dict(PyObject* like, const ScanPairs& pairs, IdInts& ints, SharedFloats& floats) {
    Ref dict = Ref::steal(like ? PyDict_Copy(like) : dict_with_room(Py_ssize_t(pairs.ids.size())));
    if (!dict) return nullptr;
    if (!like) ints.cover(pairs.ids.v);
    const size_t n = pairs.ids.size();
    constexpr size_t kNear = 8, kFar = 32;  // pairs ahead: the int objects, their slots
    for (size_t k = 0; k < n; ++k) {
        if (k + kFar < n) ints.prefetch(pairs.ids.v[k + kNear], pairs.ids.v[k + kFar]);
        Ref key = Ref::steal(ints.get(pairs.ids.v[k]));
        Ref value = Ref::steal(floats.get(pairs.values.v[k]));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

// Pairs appended in delivery order.
struct PairBuffers {
    Column<int32_t> ids{true};
    Column<double> values{true};
    bool pair(int32_t id, double value) { return ids.push(id) && values.push(value); }
};

// Lines read ahead for a value scan while it runs.
struct AheadScope {
    BlockLines& lines;
    ReadAhead ahead;
    AheadScope(BlockLines& l, const char* end, const char* readable) : lines(l), ahead(end, readable) {
        lines.read_ahead(&ahead);
    }
    AheadScope(const AheadScope&) = delete;
    AheadScope& operator=(const AheadScope&) = delete;
    ~AheadScope() { lines.read_ahead(nullptr); }
};

// The value scan of one record. An outcome when the record ends there (an error, or
// a dropped record: `next` is one past the failing line); else nothing, with `next`
// past the record.
template <class Sink>
std::optional<RecordOutcome> scan_values(BlockLines& lines, int64_t n, const VectorHeader& header, Sink& sink,
                                         int64_t& next) {
    ScanEnd end;
    std::optional<AheadScope> ahead;  // long sections of a byte view are read on two threads
    if (ByteLines* view = lines.byte_view()) ahead.emplace(lines, view->data() + view->end(), lines.file_end());
    switch (scan_vector_values(lines, n, header.result_start, sink, end)) {
        case Conv::Fail: return RecordOutcome::Fail;
        case Conv::Reject: next = end.failed_line + 1; return RecordOutcome::Next;
        case Conv::Ok: break;
    }
    next = end.next;
    return std::nullopt;
}

struct VectorList {
    Ref result = Ref::steal(PyList_New(0));
    Ref current_title;
    ScanPairs pairs;
    IdInts ints;
    SharedFloats floats;
    // The last dicts made anew, with their ids and size: vectors of one entity type
    // (interleaved with others) list the same ids.
    struct Made {
        Ref dict;
        std::vector<int32_t> ids;
        Py_ssize_t size;
    };
    static constexpr size_t kMadeKept = 4;
    std::vector<Made> made;
    // The next record's values, scanned on a second thread while this one's dict is built,
    // and the bytes it reads (released after the thread is joined).
    Ref scanned_bytes;
    ScanAhead<ScanPairs> ahead;
    static constexpr int64_t kLongScan = int64_t(kPartBytes / 256);  // lines (none in sanitizer builds)

    Conv title(BlockLines& lines, int64_t index) { return take_title(current_title, lines, index); }
    void end_block() { ahead.forget(); }

    RecordOutcome record(BlockLines& lines, int64_t n, int32_t set_id, int32_t vec_id, const VectorHeader& header,
                         int64_t& next) {
        pairs.clear();
        if (!ahead.take(header.result_start, pairs, next))
            if (auto ended = scan_values(lines, n, header, pairs, next)) return *ended;
        // a record of many lines is mostly followed by another such
        if (ByteLines* view = lines.byte_view(); view && lines.all_ascii() && next - header.result_start >= kLongScan) {
            ahead.forget();
            scanned_bytes = Ref::borrow(lines.byte_owner());
            ahead.start(*view, lines.file_end(), next);
        }
        Ref results;
        auto like = std::find_if(made.begin(), made.end(), [&](const Made& m) {
            return m.ids == pairs.ids.v && PyDict_GET_SIZE(m.dict.get()) == m.size;
        });
        if (like != made.end()) {
            results = Ref::steal(results_dict(like->dict.get(), pairs, ints, floats));
        } else {
            results = Ref::steal(results_dict(nullptr, pairs, ints, floats));
            if (results) {
                if (made.size() == kMadeKept) made.erase(made.begin());
                made.push_back({Ref::borrow(results.get()), pairs.ids.v, PyDict_GET_SIZE(results.get())});
            }
        }
        if (!results) return RecordOutcome::Fail;
        PyObject* ent_type = header.found ? PyLong_FromLong(header.ent_type) : Ref::borrow(Py_None).release();
        Ref d = Ref::steal(build_dict({{keys().set_id, PyLong_FromLong(set_id)},
                                       {keys().vec_id, PyLong_FromLong(vec_id)},
                                       {keys().title, Ref::borrow(current_title.get()).release()},
                                       {keys().ent_type, ent_type},
                                       {keys().results, results.release()}}));
        if (!d || PyList_Append(result.get(), d.get()) < 0) return RecordOutcome::Fail;
        return RecordOutcome::Next;
    }
};

struct FirstMatch {
    int32_t set_filter, vec_filter;
    Ref result;  // set on a match

    Conv title(BlockLines&, int64_t) { return Conv::Ok; }

    RecordOutcome record(BlockLines& lines, int64_t n, int32_t set_id, int32_t vec_id, const VectorHeader& header,
                         int64_t& next) {
        if ((set_filter >= 0 && set_id != set_filter) || (vec_filter >= 0 && vec_id != vec_filter))
            return skip_vector_values(lines, n, header.result_start, next) ? RecordOutcome::Next
                                                                           : RecordOutcome::Fail;
        PairBuffers pairs;
        if (auto ended = scan_values(lines, n, header, pairs, next)) return *ended;
        Ref ids, values;
        if (numpy_is_own()) {
            ids = Ref::steal(pairs.ids.to_array());
            values = Ref::steal(pairs.values.to_array());
        } else {
            Ref id_list = Ref::steal(int_list(pairs.ids.values()));
            if (!id_list) return RecordOutcome::Fail;
            Ref value_list = Ref::steal(float_list(pairs.values.values()));
            if (!value_list) return RecordOutcome::Fail;
            ids = Ref::steal(np_array_call(id_list.get(), "int32"));
            if (ids) values = Ref::steal(np_array_call(value_list.get(), "float64"));
        }
        if (!ids || !values) return RecordOutcome::Fail;
        result = Ref::steal(build_tuple({ids.release(), values.release(), PyLong_FromLong(set_id),
                                         PyLong_FromLong(vec_id), PyLong_FromLong(header.found ? header.ent_type : -1)}));
        return result ? RecordOutcome::Stop : RecordOutcome::Fail;
    }
};

// The record walk over every gathered block.
template <class Sink>
RecordOutcome walk_vectors(FEMAPParserObject* self, Sink& sink) {
    Ref all = Ref::steal(self->vtab->_get_output_vector_blocks(self));
    if (!all) return RecordOutcome::Fail;
    GcPause pause;
    BlockLines lines;
    RecordOutcome outcome = RecordOutcome::Next;
    bool ok = for_each_block(all.get(), [&](FEMAPBlockObject* block) {
        if (!lines.bind(block, NoneUse::Len)) return false;
        outcome = walk_vector_records(lines, sink);
        if constexpr (requires { sink.end_block(); }) sink.end_block();
        return outcome == RecordOutcome::Next;
    });
    if (!ok && outcome == RecordOutcome::Next) return RecordOutcome::Fail;
    return outcome;
}

}  // namespace

PyObject* gather_output_vector_blocks(FEMAPParserObject* self) {
    Ref first = Ref::steal(fetch_blocks(self, block_id::kOutputVectors));
    if (!first) return nullptr;
    Ref second = Ref::steal(fetch_blocks(self, block_id::kOutputVectorsOld));
    if (!second) return nullptr;
    return PyNumber_Add(first.get(), second.get());
}

PyObject* locate_output_vector_header(PyObject* lines, int32_t start_index) {
    if (!check_argument(lines, &PyList_Type, "lines")) return nullptr;
    if (lines == Py_None) {
        raise_none_use(NoneUse::Len);
        return nullptr;
    }
    BlockLines view;
    view.bind_list(lines);
    VectorHeader header;
    if (locate_vector_header(view, start_index, header) == Conv::Fail) return nullptr;
    return build_tuple({PyLong_FromLong(header.ent_type), PyBool_FromLong(header.found),
                        PyLong_FromLongLong(header.result_start)});
}

PyObject* extract_output_vectors(FEMAPParserObject* self) {
    VectorList sink;
    if (!sink.result) return nullptr;
    if (walk_vectors(self, sink) == RecordOutcome::Fail) return nullptr;
    return sink.result.release();
}

PyObject* extract_output_vectors_arrays(FEMAPParserObject* self, int32_t set_id_filter, int32_t vec_id_filter) {
    FirstMatch sink{set_id_filter, vec_id_filter, Ref()};
    switch (walk_vectors(self, sink)) {
        case RecordOutcome::Fail: return nullptr;
        case RecordOutcome::Stop: return sink.result.release();
        case RecordOutcome::Next: break;
    }
    Py_INCREF(g_state.no_match);
    return g_state.no_match;
}

}  // namespace femap
