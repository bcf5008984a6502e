// Invariants shared by the fuzz targets. Every check aborts with a message on failure, so
// libFuzzer records the input as a finding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

[[noreturn]] void fail(const char* what, const std::string& detail = {});

#define FUZZ_CHECK(cond, detail)                  \
    do {                                          \
        if (!(cond)) ::fuzz::fail(#cond, detail); \
    } while (0)

// Strict UTF-8 by code point (no overlong forms, surrogates or values above U+10FFFF),
// written independently of the decoder's validator.
bool utf8_valid(std::string_view text);

// Code points of valid UTF-8, decoded without shortcuts.
std::vector<uint32_t> code_points(std::string_view text);

// A parsed JSON value. Strings hold their unescaped UTF-8 text, numbers their literal text.
struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    std::string text;
    std::vector<Json> items;        // array elements, or object member values
    std::vector<std::string> keys;  // object member keys, parallel to items
};

// Strict RFC 8259 parser: returns false for anything that is not exactly one JSON value
// (surrounded by optional whitespace). Strings must be valid UTF-8 and their \u escapes
// must not leave a lone surrogate.
bool parse_json(std::string_view text, Json& out);

// Decodes `input` with both record families and with the streaming text path, and checks
// that they agree with each other and that the JSON text is exactly the flattening of the
// decoded batch. Returns the number of logs written, or -1 when the input does not decode.
long check_decode(std::string_view input);

}  // namespace fuzz
