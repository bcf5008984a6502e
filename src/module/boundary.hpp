// The call boundary: runs a call's work under the panic trap and turns its failure, held
// exception or internal fault, into the raised Python exception.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "../error/call_error.hpp"
#include "gil.hpp"

namespace morvex {

// Raises `error` as the interpreter's current exception (lock held).
void raise_error(CallError error) noexcept;

// Ends the process when a fault escapes while an exception is being raised.
[[noreturn]] void abort_at_boundary() noexcept;

template <class Work>
PyObject* call_boundary(Work&& work) noexcept {
    LockCount held_here;
    CallError error = InternalFault{"native code failed with an internal fault"};
    try {
        CallResult<PyRef> result = work();
        if (result) return result.value().release();
        error = std::move(result.error());
    } catch (const std::bad_alloc&) {
        error = InternalFault{"memory allocation failed"};
    } catch (const std::exception& e) {
        error = InternalFault{e.what()};
    } catch (...) {
    }
    try {
        raise_error(std::move(error));
    } catch (...) {
        abort_at_boundary();
    }
    return nullptr;
}

}  // namespace morvex
