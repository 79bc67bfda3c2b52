// The one owned-reference type of the core. Construction says which way the reference moves:
// `steal` takes over a new reference, `borrow` adds one to a borrowed pointer. Py_DECREF appears
// nowhere else, so a leak or a double free shows up as a wrong constructor.
#pragma once

#include <Python.h>

namespace jarn {

class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : ptr_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Owned() { Py_XDECREF(ptr_); }

    // Takes ownership of a new reference (possibly null, for results of failing API calls).
    static Owned steal(PyObject* new_reference) noexcept { return Owned(new_reference); }
    // Adds a reference to a borrowed pointer.
    static Owned borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Owned(borrowed);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference back to C; the caller now owns it.
    PyObject* release() noexcept {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    Owned new_ref() const noexcept { return borrow(ptr_); }
    void reset(PyObject* new_reference = nullptr) noexcept {
        // Clear the field before the decref: a finaliser may look at this object again.
        PyObject* old = ptr_;
        ptr_ = new_reference;
        Py_XDECREF(old);
    }

private:
    explicit Owned(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace jarn
