// Flattening of a raw batch into a list of Python dicts, one per log (lock held).
#pragma once

#include <string_view>

#include "../error/call_error.hpp"
#include "../error/morvex_log_error.hpp"
#include "../error/result.hpp"

namespace log_parser {

// Decodes the whole batch as a LogGroupListRaw without keeping it, and counts its logs.
// Touches no Python object.
morvex::Result<size_t, morvex::MorvexLogError> count_raw_logs(std::string_view raw_batch);

// The dicts of a batch that count_raw_logs accepted, with `log_count` logs.
morvex::CallResult<morvex::PyRef> build_flat_dicts(std::string_view raw_batch, size_t log_count,
                                                   bool time_as_str, bool decode_utf8);

}  // namespace log_parser
