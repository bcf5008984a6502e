// Argument binding (positional and keyword arguments to parameter slots) and conversion of
// the bound objects, with the exact messages callers see.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "../error/call_error.hpp"

namespace morvex {

inline constexpr size_t kMaxParameters = 4;

struct ParameterDescriptor {
    const char* function;                // e.g. "lz4_logs_to_flat_json"
    std::span<const char* const> names;  // every parameter: positional-or-keyword, required
};

// One borrowed argument per parameter, in parameter order.
using BoundArguments = std::array<PyObject*, kMaxParameters>;

CallResult<BoundArguments> bind_arguments(const ParameterDescriptor& descriptor, PyObject* args,
                                          PyObject* kwargs);

// Conversions of one bound argument; `name` is the parameter, used to prefix TypeErrors.
CallResult<std::string_view> convert_bytes(const char* name, PyObject* object);
CallResult<uint64_t> convert_size(const char* name, PyObject* object);
CallResult<bool> convert_bool(const char* name, PyObject* object);

}  // namespace morvex
