// Flattening of decoded batches into compact JSON text: one array, one object per log,
// keys in ascending byte order.
#pragma once

#include <string_view>
#include <vector>

#include "../error/morvex_log_error.hpp"
#include "../error/result.hpp"
#include "../pb/log_group.hpp"
#include "text_buffer.hpp"

namespace log_parser {

// The JSON text of a batch. While every character met is below U+0100 it is written in
// Latin-1, one byte a character, which the interpreter turns into a str by a plain copy;
// otherwise it is UTF-8, and at the end, when it is large, UTF-16 (every character up to
// U+FFFF) or UCS-4 (one beyond), in native byte order, from which the str is made at its
// exact size. Large UTF-8 text sparse in characters beyond U+FFFF stays UTF-8, cut around
// them: the str is made from its pieces, most of them one or two bytes a character, and
// joined. Text with no non-ASCII character is both ASCII and Latin-1.
struct JsonText {
    enum class Encoding : uint8_t { Ascii, Latin1, Utf8, Utf8Pieces, Utf16, Ucs4 };
    TextBuffer text;
    Encoding encoding = Encoding::Utf8;
    size_t begin = 0;            // where the text starts in the buffer
    std::vector<size_t> cuts{};  // Utf8Pieces: where the pieces meet

    std::string_view view() const { return text.view().substr(begin); }
};

// Writes every log of an already decoded batch.
JsonText pb_to_flat_json_str(const pb::LogGroupList& list);

// Decodes `input` as a LogGroupList and writes its flat JSON text, one group at a time so
// that only the group being written is held in decoded form.
morvex::Result<JsonText, morvex::MorvexLogError> logs_to_flat_json(std::string_view input);

}  // namespace log_parser
