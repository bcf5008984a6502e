// PanicException: the class that internal faults become. It derives directly from
// BaseException so that `except Exception` does not swallow it.
#pragma once

#include "py_ref.hpp"

namespace morvex {

// The class, made on first need and kept for the life of the process (lock held).
// NULL with an exception set if it cannot be made.
PyObject* panic_exception_type();

}  // namespace morvex
