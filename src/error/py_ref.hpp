// Owned reference to a Python object; may only be made, copied or dropped with the
// interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace morvex {

class PyRef {
  public:
    PyRef() = default;
    // Takes over a new reference (which may be NULL).
    explicit PyRef(PyObject* owned) : object_(owned) {}
    static PyRef borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

  private:
    PyObject* object_ = nullptr;
};

}  // namespace morvex
