// Owning reference to a Python object: one owner per reference, released on scope exit.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <utility>

class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (may be null).
    static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
    // Adds a reference to a borrowed object (may be null).
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) { PyObject* old = p_; p_ = std::exchange(o.p_, nullptr); Py_XDECREF(old); }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* o = nullptr) noexcept { PyObject* old = p_; p_ = o; Py_XDECREF(old); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Replaces *slot with a new reference to value, releasing the old one last
// (the release may run arbitrary code, so the slot is already consistent).
inline void assign_slot(PyObject** slot, PyObject* value) noexcept {
    PyObject* old = *slot;
    Py_XINCREF(value);
    *slot = value;
    Py_XDECREF(old);
}
