// A Python exception carried as a value until the call boundary raises it.
#pragma once

#include <string>

#include "py_ref.hpp"

namespace morvex {

class HeldException {
  public:
    // A static exception class and the UTF-8 text of its single argument; makes no Python
    // object, so it can be built with the interpreter lock released.
    static HeldException deferred(PyObject* type, std::string message);
    // Type, instance and traceback (which may be absent) of a normalised exception.
    static HeldException normalised(PyRef type, PyRef value, PyRef traceback);

    // Turns a deferred value into its normalised form (lock held).
    void normalise();
    PyObject* type() const { return type_ ? type_.get() : static_type_; }
    // The exception instance; normalises first.
    PyObject* value();

    // Sets this exception as the interpreter's current one, normalised (lock held).
    void raise() &&;

  private:
    PyObject* static_type_ = nullptr;  // deferred form: a class that lives for the process
    std::string message_;
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
};

}  // namespace morvex
