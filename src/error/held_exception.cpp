#include "held_exception.hpp"

namespace morvex {

HeldException HeldException::deferred(PyObject* type, std::string message) {
    HeldException held;
    held.static_type_ = type;
    held.message_ = std::move(message);
    return held;
}

HeldException HeldException::normalised(PyRef type, PyRef value, PyRef traceback) {
    HeldException held;
    held.type_ = std::move(type);
    held.value_ = std::move(value);
    held.traceback_ = std::move(traceback);
    return held;
}

void HeldException::normalise() {
    if (type_) return;
    PyRef text(
        PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (text) {
        PyErr_SetObject(static_type_, text.get());
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = PyRef(type);
    value_ = PyRef(value);
    traceback_ = PyRef(traceback);
}

PyObject* HeldException::value() {
    normalise();
    return value_.get();
}

void HeldException::raise() && {
    normalise();
    PyObject* type = type_.get();
    if (!type || !PyExceptionClass_Check(type)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

}  // namespace morvex
