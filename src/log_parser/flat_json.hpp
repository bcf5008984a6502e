// Flattening of decoded batches into compact JSON text: one array, one object per log,
// keys in ascending byte order.
#pragma once

#include <string_view>

#include "../error/morvex_log_error.hpp"
#include "../error/result.hpp"
#include "../pb/log_group.hpp"
#include "text_buffer.hpp"

namespace log_parser {

// UTF-8 JSON text, and the largest lead byte of the texts it was written from (0 when they
// are all ASCII; below 0xC4 when every character lies below U+0100).
struct JsonText {
    TextBuffer text;
    uint8_t widest_lead = 0;
};

// Writes every log of an already decoded batch.
JsonText pb_to_flat_json_str(const pb::LogGroupList& list);

// Decodes `input` as a LogGroupList and writes its flat JSON text, one group at a time so
// that only the group being written is held in decoded form.
morvex::Result<JsonText, morvex::MorvexLogError> logs_to_flat_json(std::string_view input);

}  // namespace log_parser
