#include "function_table.hpp"

#include "../log_parser/functions.hpp"
#include "arguments.hpp"
#include "boundary.hpp"

namespace morvex {
namespace {

constexpr const char* kBytesParameters[] = {"bytes"};
constexpr const char* kCompressedParameters[] = {"compressed", "raw_size"};
constexpr const char* kDictParameters[] = {"bytes", "raw_size", "time_as_str", "decode_utf8"};

constexpr ParameterDescriptor kLogsToFlatJsonStr{"logs_to_flat_json_str", kBytesParameters};
constexpr ParameterDescriptor kLz4LogsToFlatJsonStr{"lz4_logs_to_flat_json_str",
                                                    kCompressedParameters};
constexpr ParameterDescriptor kLz4LogsToFlatJson{"lz4_logs_to_flat_json", kDictParameters};

// Evaluates a CallResult expression; a failure ends the enclosing function with it.
#define MORVEX_TRY(target, expression)                                                   \
    auto target##_result = (expression);                                                 \
    if (!target##_result) return Failure<CallError>{std::move(target##_result.error())}; \
    auto target = std::move(target##_result.value())

CallResult<PyRef> call_logs_to_flat_json_str(PyObject* args, PyObject* kwargs) {
    MORVEX_TRY(bound, bind_arguments(kLogsToFlatJsonStr, args, kwargs));
    MORVEX_TRY(bytes, convert_bytes("bytes", bound[0]));
    return log_parser::logs_to_flat_json_str(bytes);
}

CallResult<PyRef> call_lz4_logs_to_flat_json_str(PyObject* args, PyObject* kwargs) {
    MORVEX_TRY(bound, bind_arguments(kLz4LogsToFlatJsonStr, args, kwargs));
    MORVEX_TRY(compressed, convert_bytes("compressed", bound[0]));
    MORVEX_TRY(raw_size, convert_size("raw_size", bound[1]));
    return log_parser::lz4_logs_to_flat_json_str(compressed, raw_size);
}

CallResult<PyRef> call_lz4_logs_to_flat_json(PyObject* args, PyObject* kwargs) {
    MORVEX_TRY(bound, bind_arguments(kLz4LogsToFlatJson, args, kwargs));
    MORVEX_TRY(bytes, convert_bytes("bytes", bound[0]));
    MORVEX_TRY(raw_size, convert_size("raw_size", bound[1]));
    MORVEX_TRY(time_as_str, convert_bool("time_as_str", bound[2]));
    MORVEX_TRY(decode_utf8, convert_bool("decode_utf8", bound[3]));
    return log_parser::lz4_logs_to_flat_json(bytes, raw_size, time_as_str, decode_utf8);
}

#undef MORVEX_TRY

PyObject* logs_to_flat_json_str_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_boundary([&] { return call_logs_to_flat_json_str(args, kwargs); });
}

PyObject* lz4_logs_to_flat_json_str_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_boundary([&] { return call_lz4_logs_to_flat_json_str(args, kwargs); });
}

PyObject* lz4_logs_to_flat_json_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_boundary([&] { return call_lz4_logs_to_flat_json(args, kwargs); });
}

template <class Entry>
PyCFunction as_function(Entry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// The docstrings hold only the text signature, which the interpreter reports as
// __text_signature__.
PyMethodDef functions[] = {
    {"logs_to_flat_json_str", as_function(logs_to_flat_json_str_entry),
     METH_VARARGS | METH_KEYWORDS, "logs_to_flat_json_str(bytes)\n--\n\n"},
    {"lz4_logs_to_flat_json_str", as_function(lz4_logs_to_flat_json_str_entry),
     METH_VARARGS | METH_KEYWORDS, "lz4_logs_to_flat_json_str(compressed, raw_size)\n--\n\n"},
    {"lz4_logs_to_flat_json", as_function(lz4_logs_to_flat_json_entry),
     METH_VARARGS | METH_KEYWORDS,
     "lz4_logs_to_flat_json(bytes, raw_size, time_as_str, decode_utf8)\n--\n\n"},
};

}  // namespace

std::span<PyMethodDef> log_parser_functions() {
    return functions;
}

}  // namespace morvex
