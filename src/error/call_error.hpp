// Every way a call can fail short of success: a Python exception held as a value, or an
// internal fault that the call boundary turns into PanicException.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "held_exception.hpp"
#include "morvex_log_error.hpp"
#include "result.hpp"

namespace morvex {

struct InternalFault {
    std::string message;
    // A fault resumed from a PanicException raised by Python code has been printed already.
    bool reported = false;
};

using CallError = std::variant<HeldException, InternalFault>;

template <class T>
using CallResult = Result<T, CallError>;

inline Failure<CallError> fault(std::string message) {
    return {CallError(InternalFault{std::move(message)})};
}

inline Failure<CallError> held(HeldException exception) {
    return {CallError(std::move(exception))};
}

// A decode failure as the exception it becomes: ValueError with the display text. Makes
// no Python object, so it may run without the interpreter lock.
inline HeldException to_held_exception(MorvexLogError error) {
    return HeldException::deferred(PyExc_ValueError, error.display());
}

// The interpreter's pending exception, taken as a value. A PanicException raised by Python
// code resumes as an internal fault.
CallError fetch_pending();

// Sets `message` (a str) as the argument of a new `type` exception and takes it back as a
// held value.
CallError error_with_message(PyObject* type, PyRef message);

}  // namespace morvex
