// Wrapping of objects made for a call's result: an object the interpreter cannot create
// ends the call as an internal fault after its pending exception is printed.
#pragma once

#include "../error/call_error.hpp"

namespace log_parser {

inline morvex::InternalFault api_call_failed() {
    PyErr_Print();
    return morvex::InternalFault{"Python API call failed"};
}

inline morvex::CallResult<morvex::PyRef> made(PyObject* object) {
    if (!object) return morvex::Failure<morvex::CallError>{api_call_failed()};
    return morvex::PyRef(object);
}

}  // namespace log_parser
