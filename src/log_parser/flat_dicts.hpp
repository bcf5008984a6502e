// Flattening of a decoded raw batch into a list of Python dicts, one per log (lock held).
#pragma once

#include "../error/call_error.hpp"
#include "../pb/log_group.hpp"

namespace log_parser {

morvex::CallResult<morvex::PyRef> build_flat_dicts(const pb::LogGroupListRaw& batch,
                                                   bool time_as_str, bool decode_utf8);

}  // namespace log_parser
