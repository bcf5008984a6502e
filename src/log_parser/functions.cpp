#include "functions.hpp"

#include <bit>
#include <string>
#include <variant>
#include <vector>

#include "../lz4_block/decompress.hpp"
#include "../module/gil.hpp"
#include "flat_dicts.hpp"
#include "flat_json.hpp"
#include "python_result.hpp"

namespace log_parser {
namespace {

using morvex::CallError;
using morvex::CallResult;
using morvex::Failure;
using morvex::PyRef;

// What the lock-free part of a text function ends with.
using TextOutcome = morvex::Result<JsonText, CallError>;

TextOutcome text_of(std::string_view input) {
    auto text = logs_to_flat_json(input);
    if (!text) return morvex::held(morvex::to_held_exception(std::move(text.error())));
    return std::move(text.value());
}

morvex::InternalFault expansion_fault(const lz4_block::Lz4Error& error) {
    return {"called `Result::unwrap()` on an `Err` value: " + error.debug()};
}

// A str made from UTF-8 text piece by piece, cut at `cuts`, and joined.
CallResult<PyRef> str_of_pieces(std::string_view text, const std::vector<size_t>& cuts) {
    PyRef pieces(PyList_New(static_cast<Py_ssize_t>(cuts.size() + 1)));
    if (!pieces) return Failure<CallError>{api_call_failed()};
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : text.size();
        auto piece = made(
            PyUnicode_DecodeUTF8(text.data() + from, static_cast<Py_ssize_t>(to - from), nullptr));
        if (!piece) return piece;
        PyList_SetItem(pieces.get(), static_cast<Py_ssize_t>(i), piece.value().release());
        from = to;
    }
    auto separator = made(PyUnicode_FromStringAndSize("", 0));
    if (!separator) return separator;
    return made(PyUnicode_Join(separator.value().get(), pieces.get()));
}

CallResult<PyRef> to_str(TextOutcome outcome) {
    if (!outcome) return Failure<CallError>{std::move(outcome.error())};
    const std::string_view text = outcome.value().view();
    const auto size = static_cast<Py_ssize_t>(text.size());
    // Latin-1 bytes and UTF-16 or UCS-4 units are copied into a str of the exact size;
    // ASCII (one checking copy) and the rest of UTF-8 go through the interpreter's UTF-8
    // decoder, whole or in pieces.
    switch (outcome.value().encoding) {
        case JsonText::Encoding::Latin1:
            return made(PyUnicode_DecodeLatin1(text.data(), size, nullptr));
        case JsonText::Encoding::Utf16: {
            int byte_order = std::endian::native == std::endian::little ? -1 : 1;
            return made(PyUnicode_DecodeUTF16(text.data(), size, nullptr, &byte_order));
        }
        case JsonText::Encoding::Utf8Pieces:
            return str_of_pieces(text, outcome.value().cuts);
        case JsonText::Encoding::Ucs4:
            static_assert(sizeof(wchar_t) == 4, "UCS-4 units are handed over as wchar_t");
            return made(
                PyUnicode_FromWideChar(reinterpret_cast<const wchar_t*>(text.data()), size / 4));
        case JsonText::Encoding::Ascii:
        case JsonText::Encoding::Utf8:
            break;
    }
    return made(PyUnicode_FromStringAndSize(text.data(), size));
}

}  // namespace

CallResult<PyRef> logs_to_flat_json_str(std::string_view bytes) {
    return to_str(morvex::without_lock([&] { return text_of(bytes); }));
}

CallResult<PyRef> lz4_logs_to_flat_json_str(std::string_view compressed, uint64_t raw_size) {
    return to_str(morvex::without_lock([&]() -> TextOutcome {
        auto expanded = lz4_block::decompress(compressed, lz4_block::requested_size_from(raw_size));
        if (!expanded) return Failure<CallError>{expansion_fault(expanded.error())};
        return text_of(expanded.value().view());
    }));
}

CallResult<PyRef> lz4_logs_to_flat_json(std::string_view bytes, uint64_t raw_size, bool time_as_str,
                                        bool decode_utf8) {
    struct Validated {
        lz4_block::Expanded expanded;
        size_t log_count;
    };
    auto validated = morvex::without_lock([&]() -> morvex::Result<Validated, CallError> {
        auto expanded = lz4_block::decompress(bytes, lz4_block::requested_size_from(raw_size));
        if (!expanded) return Failure<CallError>{expansion_fault(expanded.error())};
        auto count = count_raw_logs(expanded.value().view());
        if (!count) return morvex::held(morvex::to_held_exception(std::move(count.error())));
        return Validated{std::move(expanded.value()), count.value()};
    });
    if (!validated) return Failure<CallError>{std::move(validated.error())};
    return build_flat_dicts(validated.value().expanded.view(), validated.value().log_count,
                            time_as_str, decode_utf8);
}

}  // namespace log_parser
