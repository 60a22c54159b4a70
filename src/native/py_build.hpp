// Building result objects: dicts in key order and tuples from new references, and a
// pause of the cyclic collector while millions of containers are made.
#pragma once
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "pyref.hpp"

namespace femap {

// A new dict holding the pairs in order. Values are new references, taken over
// (a null value means its creation failed: everything is released).
PyObject* build_dict(std::initializer_list<std::pair<PyObject*, PyObject*>> items);
// A new tuple of new references, taken over likewise.
PyObject* build_tuple(std::initializer_list<PyObject*> items);
// A new empty dict with room for `n` items (no resizing while they are inserted).
PyObject* dict_with_room(Py_ssize_t n);

// Float objects for one call's values, +0.0 made once: results are often zero.
class SharedFloats {
public:
    SharedFloats() = default;
    SharedFloats(const SharedFloats&) = delete;
    SharedFloats& operator=(const SharedFloats&) = delete;
    ~SharedFloats() { Py_XDECREF(zero_); }
    // A new reference to float(v), or null with an error set.
    PyObject* get(double v) {
        if (std::bit_cast<uint64_t>(v) != 0) return PyFloat_FromDouble(v);
        if (!zero_ && !(zero_ = PyFloat_FromDouble(0.0))) return nullptr;
        return Py_NewRef(zero_);
    }

private:
    PyObject* zero_ = nullptr;
};

// Keys of the result dicts, made once.
struct ResultKeys {
    PyObject *title, *version, *id, *prop_id, *topology, *nodes, *material_id, *value, *set_id, *vec_id,
        *ent_type, *results;
};
const ResultKeys& result_keys();

// Keeps the cyclic collector off while in scope (it would rescan every result
// container built so far, again and again); restores its previous state. Python
// code run meanwhile sees the collector as it was (see GcResume).
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()), outer_(innermost_) { innermost_ = this; }
    ~GcPause() {
        innermost_ = outer_;
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    friend class GcResume;
    int was_enabled_;
    GcPause* outer_;
    static inline thread_local GcPause* innermost_ = nullptr;
};

// Lifts this thread's innermost pause while Python code runs. A collector state
// that the code leaves behind is kept: when it switched the collector off, the
// pause no longer switches it back on.
class GcResume {
public:
    GcResume() : pause_(GcPause::innermost_) {
        if (pause_ && pause_->was_enabled_) PyGC_Enable();
    }
    ~GcResume() {
        if (pause_ && pause_->was_enabled_ && !PyGC_Disable()) pause_->was_enabled_ = 0;
    }
    GcResume(const GcResume&) = delete;
    GcResume& operator=(const GcResume&) = delete;

private:
    GcPause* pause_;
};

}  // namespace femap
