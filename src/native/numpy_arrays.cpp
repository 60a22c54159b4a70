#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL femap_ARRAY_API
#include "numpy_arrays.hpp"

#include <numpy/arrayobject.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "module_state.hpp"
#include "py_build.hpp"

namespace femap {

bool numpy_is_own() {
    PyObject* np = PyDict_GetItemString(PyModule_GetDict(g_state.module), "np");
    if (np != g_state.numpy) return false;
    struct { const char* name; PyObject* own; } names[] = {
        {"array", g_state.np_array}, {"int32", g_state.np_int32}, {"float64", g_state.np_float64}};
    for (auto& n : names) {
        Ref v = Ref::steal(PyObject_GetAttrString(np, n.name));
        if (!v) {
            PyErr_Clear();
            return false;
        }
        if (v.get() != n.own) return false;
    }
    return true;
}

#if defined(__linux__) && defined(MADV_HUGEPAGE)
#define FEMAP_HUGE_ARRAYS 1

namespace {

// The data of large result arrays in mappings of their own, 2 MiB-aligned and advised
// for huge pages: a fresh array then faults in 2 MiB at a time instead of 4 KiB, which
// costs the caller that keeps the arrays several times less (on virtual machines above
// all). NumPy advises its own arrays from 4 MiB on, and not their first and last
// pages; these get it from kHugeFrom, where a mapping rounded up to whole huge pages
// wastes at most a quarter of the array (else its tail has small pages). The arrays
// carry the handler, so that NumPy frees and resizes them through it. Arrays from
// kMappedFrom on get mappings too, faulted in by one call (MADV_POPULATE_WRITE, where
// the kernel has it) rather than a fault a page: the arrays are written whole at once.
constexpr size_t kHuge = size_t(2) << 20;
constexpr size_t kHugeFrom = kHuge / 5 * 4;
constexpr size_t kMappedFrom = size_t(256) << 10;
constexpr size_t kColumnReserve = size_t(64) << 20;  // address space a column's mapping starts with

std::mutex g_mappings_mutex;  // guards what follows

// The arrays' mappings by start: their lengths (never destroyed, as arrays may outlive
// the module's state).
std::unordered_map<void*, size_t>& mappings() {
    static auto* m = new std::unordered_map<void*, size_t>();
    return *m;
}

// Mappings of freed arrays kept for the next ones of the same mapping length, their
// pages already faulted in: at most kKept of them, kKeptBytes in all, the oldest
// unmapped first.
constexpr size_t kKept = 8, kKeptBytes = size_t(32) << 20;
struct Kept {
    void* p;
    size_t len;
};
Kept g_kept[kKept];
size_t g_kept_count = 0, g_kept_bytes = 0;

size_t mapping_bytes(size_t size) {
    const size_t huge = (size + kHuge - 1) / kHuge * kHuge;
    return size >= kHugeFrom && huge - size <= size / 4 ? huge : (size + 4095) / 4096 * 4096;
}

// A kept mapping of `len` bytes taken out of the kept ones, or null.
void* take_kept(size_t len) {
    for (size_t k = 0; k < g_kept_count; ++k) {
        if (g_kept[k].len != len) continue;
        void* p = g_kept[k].p;
        std::copy(g_kept + k + 1, g_kept + g_kept_count, g_kept + k);
        --g_kept_count, g_kept_bytes -= len;
        return p;
    }
    return nullptr;
}

void keep_or_unmap(void* p, size_t len) {
    if (len > kKeptBytes) {
        munmap(p, len);
        return;
    }
    while (g_kept_count == kKept || g_kept_bytes + len > kKeptBytes) {
        munmap(g_kept[0].p, g_kept[0].len);
        g_kept_bytes -= g_kept[0].len;
        std::copy(g_kept + 1, g_kept + g_kept_count, g_kept);
        --g_kept_count;
    }
    g_kept[g_kept_count++] = {p, len};
    g_kept_bytes += len;
}

// A mapping of `len` bytes (mmap's `flags` besides private and anonymous), 2 MiB-aligned
// and advised for huge pages; null when none can be made.
char* huge_mapping(size_t len, int flags) noexcept {
    char* raw = static_cast<char*>(
        mmap(nullptr, len + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0));
    if (raw == MAP_FAILED) return nullptr;
    char* p = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(raw) + kHuge - 1) & ~uintptr_t(kHuge - 1));
    if (p > raw) munmap(raw, size_t(p - raw));
    munmap(p + len, size_t(raw + len + kHuge - (p + len)));
    madvise(p, len, MADV_HUGEPAGE);
    return p;
}

// A new mapping of `len` bytes for an array of `size`, zero-filled and faulted in;
// null when none can be made.
void* new_mapping(size_t size, size_t len) noexcept {
    void* p = size >= kHugeFrom ? huge_mapping(len, 0)
                                : mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (!p || p == MAP_FAILED) return nullptr;
#ifdef MADV_POPULATE_WRITE
    madvise(p, len, MADV_POPULATE_WRITE);  // (older kernels refuse it: then page by page)
#endif
    return p;
}

// p, with the mapping of `len` bytes at p entered in mappings() (the mutex held); null
// (the mapping unmapped) when it cannot be.
void* enter_mapping(void* p, size_t len) noexcept {
    try {
        mappings().emplace(p, len);
    } catch (...) {
        munmap(p, len);
        return nullptr;
    }
    return p;
}

// A mapping for `size` bytes: a kept one (`kept` set; it holds an earlier array's
// data), else a new one, zero-filled; null when none can be made.
void* map_array(size_t size, bool& kept) noexcept {
    const size_t len = mapping_bytes(size);
    std::lock_guard<std::mutex> lock(g_mappings_mutex);
    void* p = take_kept(len);
    kept = p != nullptr;
    if (!p && !(p = new_mapping(size, len))) return nullptr;
    return enter_mapping(p, len);
}

// The length of p's mapping when p is one of map_array's, else 0.
size_t mapped_bytes(void* p) noexcept {
    std::lock_guard<std::mutex> lock(g_mappings_mutex);
    auto it = mappings().find(p);
    return it == mappings().end() ? 0 : it->second;
}

// Frees p when it is one of map_array's (true).
bool free_mapped(void* p) noexcept {
    std::lock_guard<std::mutex> lock(g_mappings_mutex);
    auto it = mappings().find(p);
    if (it == mappings().end()) return false;
    keep_or_unmap(p, it->second);
    mappings().erase(it);
    return true;
}

// The mapping of a column that the array being made on this thread takes over.
thread_local void* t_adopted = nullptr;

// Cuts p's mapping (one of map_array's) to the length a new array of `size` bytes
// would get, where it is longer: its pages past that are given back.
void trim_mapping(void* p, size_t size) noexcept {
    const size_t want = mapping_bytes(size);
    std::lock_guard<std::mutex> lock(g_mappings_mutex);
    auto it = mappings().find(p);
    if (it == mappings().end() || it->second <= want) return;
    munmap(static_cast<char*>(p) + want, it->second - want);
    it->second = want;
}

void* array_malloc(void*, size_t size) noexcept {
    if (void* p = std::exchange(t_adopted, nullptr)) return p;
    bool kept;
    return size >= kMappedFrom ? map_array(size, kept) : std::malloc(size ? size : 1);
}

void* array_calloc(void*, size_t n, size_t elsize) noexcept {
    if (elsize && n > SIZE_MAX / elsize) return nullptr;
    if (n * elsize < kMappedFrom) return std::calloc(n ? n : 1, elsize ? elsize : 1);
    bool kept;
    void* p = map_array(n * elsize, kept);
    if (p && kept) std::memset(p, 0, n * elsize);
    return p;
}

void array_free(void*, void* p, size_t) noexcept {
    if (p && !free_mapped(p)) std::free(p);
}

void* array_realloc(void*, void* p, size_t size) noexcept {
    const size_t len = p ? mapped_bytes(p) : 0;
    if (!len) return std::realloc(p, size ? size : 1);
    void* q = array_malloc(nullptr, size);
    if (!q) return nullptr;
    std::memcpy(q, p, std::min(len, size));
    array_free(nullptr, p, 0);
    return q;
}

PyDataMem_Handler g_array_handler = {"vexaro_huge_pages", 1,
                                     {nullptr, array_malloc, array_calloc, array_realloc, array_free}};

// The handler's capsule, or null where NumPy's own advice is switched off
// (NUMPY_MADVISE_HUGEPAGE=0).
PyObject* array_handler() {
    static PyObject* const capsule = [] {
        const char* advise = std::getenv("NUMPY_MADVISE_HUGEPAGE");
        if (advise && std::atoi(advise) == 0) return static_cast<PyObject*>(nullptr);
        PyObject* c = PyCapsule_New(&g_array_handler, "mem_handler", nullptr);
        if (!c) PyErr_Clear();  // the arrays keep NumPy's memory
        return c;
    }();
    return capsule;
}

}  // namespace
#endif

// The bytes of an array of `rows` x `columns` int32 or float64 elements.
static size_t array_bytes(bool real, size_t rows, int columns) {
    return rows * size_t(columns) * (real ? sizeof(double) : sizeof(int32_t));
}

// A new array under the arrays' handler where they have mappings of their own and it is
// large enough for one, else under NumPy's own.
static PyObject* empty_array(bool real, size_t rows, int columns) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), columns};
#if FEMAP_HUGE_ARRAYS
    if (PyObject* handler = array_bytes(real, rows, columns) >= kMappedFrom ? array_handler() : nullptr) {
        Ref before = Ref::steal(PyDataMem_SetHandler(handler));
        if (!before) return nullptr;
        PyObject* array = PyArray_SimpleNew(columns == 1 ? 1 : 2, dims, real ? NPY_FLOAT64 : NPY_INT32);
        Ref mine = Ref::steal(PyDataMem_SetHandler(before.get()));
        if (!mine) Py_CLEAR(array);
        return array;
    }
#endif
    return PyArray_SimpleNew(columns == 1 ? 1 : 2, dims, real ? NPY_FLOAT64 : NPY_INT32);
}

PyObject* new_array(bool real, size_t rows, int columns, const void* values) {
    PyObject* array = empty_array(real, rows, columns);
    if (array && rows)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values, array_bytes(real, rows, columns));
    return array;
}

#if FEMAP_HUGE_ARRAYS
void* column_mapping(size_t bytes, size_t& len) noexcept {
    if (!array_handler()) return nullptr;
    // Address space only (pages come as the column writes them), 2 MiB-aligned and
    // advised for huge pages; the array gets it cut to its length.
    len = std::max(kColumnReserve, (bytes + kHuge - 1) / kHuge * kHuge);
    char* p = huge_mapping(len, MAP_NORESERVE);
    if (!p) return nullptr;
    std::lock_guard<std::mutex> lock(g_mappings_mutex);
    return enter_mapping(p, len);
}

void free_column_mapping(void* p) noexcept { free_mapped(p); }

PyObject* adopting_array(bool real, size_t rows, int columns, void* data) {
    const size_t bytes = array_bytes(real, rows, columns);
    trim_mapping(data, bytes);
    t_adopted = data;  // taken by the handler's malloc for the array's data
    PyObject* array = empty_array(real, rows, columns);
    if (std::exchange(t_adopted, nullptr)) {  // not taken: the values copied, if there is an array
        if (array) std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), data, bytes);
        free_mapped(data);
    }
    return array;
}
#else
void* column_mapping(size_t, size_t&) noexcept { return nullptr; }
void free_column_mapping(void*) noexcept {}
PyObject* adopting_array(bool real, size_t rows, int columns, void* data) { return new_array(real, rows, columns, data); }
#endif

PyObject* np_array_call(PyObject* list, const char* dtype_name) {
    GcResume python_runs;
    Ref np = Ref::borrow(module_global("np"));
    if (!np) return nullptr;
    Ref array = Ref::steal(PyObject_GetAttrString(np.get(), "array"));
    if (!array) return nullptr;
    np = Ref::borrow(module_global("np"));
    if (!np) return nullptr;
    Ref dtype = Ref::steal(PyObject_GetAttrString(np.get(), dtype_name));
    if (!dtype) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, list));
    Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "dtype", dtype.get()));
    if (!args || !kwargs) return nullptr;
    return PyObject_Call(array.get(), args.get(), kwargs.get());
}

template <class T, class Make>
static PyObject* list_of(std::span<const T> values, size_t step, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size() / step)));
    if (!list) return nullptr;
    for (size_t k = 0; k * step < values.size(); ++k) {
        PyObject* item = make(&values[k * step]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

PyObject* int_list(std::span<const int32_t> values) {
    return list_of(values, 1, [](const int32_t* v) { return PyLong_FromLong(*v); });
}

PyObject* float_list(std::span<const double> values) {
    return list_of(values, 1, [](const double* v) { return PyFloat_FromDouble(*v); });
}

PyObject* tuple_list(std::span<const double> values, int columns) {
    return list_of(values, size_t(columns), [columns](const double* v) -> PyObject* {
        Ref t = Ref::steal(PyTuple_New(columns));
        if (!t) return nullptr;
        for (int c = 0; c < columns; ++c) {
            PyObject* f = PyFloat_FromDouble(v[c]);
            if (!f) return nullptr;
            PyTuple_SET_ITEM(t.get(), c, f);
        }
        return t.release();
    });
}

PyObject* empty_rows(PyObject* array, int columns) {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_Check(array) && PyArray_NDIM(a) == 1 && PyArray_SIZE(a) == 0 && PyArray_TYPE(a) == NPY_FLOAT64) {
        npy_intp dims[2] = {0, columns};
        PyArray_Dims shape = {dims, 2};
        return PyArray_Newshape(a, &shape, NPY_CORDER);
    }
    Py_INCREF(array);
    return array;
}

bool require_array(PyObject* array, int ndim, Elem elem) {
    int typenum = elem == Elem::Int32 ? NPY_INT32 : NPY_FLOAT64;
    const char* type_name = elem == Elem::Int32 ? "int32_t" : "float64_t";
    if (!PyArray_Check(array)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to numpy.ndarray", Py_TYPE(array)->tp_name);
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    if (PyArray_NDIM(a) != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     PyArray_NDIM(a));
        return false;
    }
    if (!PyArray_EquivTypenums(PyArray_TYPE(a), typenum) || !PyArray_ISNOTSWAPPED(a)) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected '%s' but got '%s'", type_name,
                     PyArray_DESCR(a)->typeobj->tp_name);
        return false;
    }
    return true;
}

}  // namespace femap
