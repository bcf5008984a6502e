#include "panic_exception.hpp"

namespace morvex {

PyObject* panic_exception_type() {
    // Set once, with the interpreter lock held.
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "morvex_log_py_bindings.PanicException",
            "Raised when native code called from Python fails with an internal fault.\n\n"
            "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
            "typically propagates all the way up the stack and ends the interpreter.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace morvex
