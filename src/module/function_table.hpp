// The functions of the `log_parser` submodule, in table order.
#pragma once

#include <span>

#include "../error/py_ref.hpp"

namespace morvex {

std::span<PyMethodDef> log_parser_functions();

}  // namespace morvex
