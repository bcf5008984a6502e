// Bodies of the three functions of `log_parser`. Each is entered with the interpreter lock
// held and releases it for the native work.
#pragma once

#include <cstdint>
#include <string_view>

#include "../error/call_error.hpp"

namespace log_parser {

morvex::CallResult<morvex::PyRef> logs_to_flat_json_str(std::string_view bytes);

morvex::CallResult<morvex::PyRef> lz4_logs_to_flat_json_str(std::string_view compressed,
                                                            uint64_t raw_size);

morvex::CallResult<morvex::PyRef> lz4_logs_to_flat_json(std::string_view bytes, uint64_t raw_size,
                                                        bool time_as_str, bool decode_utf8);

}  // namespace log_parser
