#include "call_error.hpp"

#include <cstdio>

#include "panic_exception.hpp"

namespace morvex {
namespace {

std::string str_of(PyObject* object, const char* fallback) {
    PyRef text(PyObject_Str(object));
    PyRef utf8(text ? PyUnicode_AsUTF8String(text.get()) : nullptr);
    if (!utf8) {
        PyErr_Clear();
        return fallback;
    }
    return std::string(PyBytes_AsString(utf8.get()), static_cast<size_t>(PyBytes_Size(utf8.get())));
}

// Prints a PanicException that Python code raised on our behalf and resumes it as a fault.
InternalFault resume_panic(PyRef type, PyRef value, PyRef traceback) {
    std::string message = str_of(value.get(), "Unwrapped panic from Python code");
    std::fputs(
        "--- morvex_log_py_bindings is resuming an internal fault raised by Python code ---\n"
        "Python stack trace below:\n",
        stderr);
    std::fflush(stderr);
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    return InternalFault{std::move(message), true};
}

}  // namespace

CallError fetch_pending() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) {
        return HeldException::deferred(PyExc_SystemError,
                                       "attempted to fetch exception but none was set");
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
    PyObject* panic = panic_exception_type();
    if (!panic) PyErr_Clear();
    if (panic && type == panic) {
        return resume_panic(std::move(owned_type), std::move(owned_value),
                            std::move(owned_traceback));
    }
    return HeldException::normalised(std::move(owned_type), std::move(owned_value),
                                     std::move(owned_traceback));
}

CallError error_with_message(PyObject* type, PyRef message) {
    if (message) PyErr_SetObject(type, message.get());
    return fetch_pending();
}

}  // namespace morvex
