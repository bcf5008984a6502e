#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>

#include "../error/panic_exception.hpp"

namespace morvex {
namespace {

void raise_fault(InternalFault fault) {
    if (!fault.reported) {
        std::fprintf(stderr, "morvex_log_py_bindings: internal fault: %s\n", fault.message.c_str());
        std::fflush(stderr);
    }
    PyObject* panic = panic_exception_type();
    if (!panic) return;  // the failure to make the class is pending instead
    HeldException::deferred(panic, fault.message).raise();
}

}  // namespace

void raise_error(CallError error) noexcept {
    if (auto* exception = std::get_if<HeldException>(&error)) {
        std::move(*exception).raise();
        return;
    }
    raise_fault(std::move(std::get<InternalFault>(error)));
}

void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace morvex
