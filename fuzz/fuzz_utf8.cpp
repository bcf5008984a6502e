// The UTF-8 check against an independent byte-by-byte validator: the block check and the
// full report must agree with it on every input, and a report of a fault must point at
// the end of the longest valid prefix.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "check_batch.hpp"
#include "pb/utf8.hpp"
#include "pb/utf8_blocks.hpp"

namespace {

uint8_t largest_lead(std::string_view text) {
    uint8_t largest = 0;
    for (const char c : text) largest = std::max(largest, static_cast<uint8_t>(c));
    return largest >= 0x80 ? largest : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool valid = fuzz::utf8_valid(text);
    const std::string detail = std::to_string(size) + " bytes";

    uint8_t widest = 0xAA;
    if (pb::utf8::valid_blocks(data, size, widest)) {
        FUZZ_CHECK(valid, "block check accepted invalid text, " + detail);
        FUZZ_CHECK(widest == largest_lead(text), "block check's widest lead, " + detail);
    }

    const pb::utf8::Check check = pb::utf8::check(data, size);
    FUZZ_CHECK(check.ok == valid, "full check disagrees, " + detail);
    FUZZ_CHECK(pb::utf8::is_valid(data, size) == valid, "is_valid disagrees, " + detail);
    if (valid) {
        FUZZ_CHECK(check.valid_up_to == size && check.widest_lead == largest_lead(text),
                   "report of valid text, " + detail);
        return 0;
    }
    FUZZ_CHECK(check.valid_up_to < size, "fault past the end, " + detail);
    FUZZ_CHECK(fuzz::utf8_valid(text.substr(0, check.valid_up_to)), "prefix not valid, " + detail);
    if (check.error_len == 0) {
        FUZZ_CHECK(size - check.valid_up_to < 4,
                   "a cut-off sequence of 4 bytes or more, " + detail);
    } else {
        FUZZ_CHECK(check.valid_up_to + check.error_len <= size, "fault past the end, " + detail);
    }
    // The prefix may not stretch over the fault: one more whole sequence never fits there.
    for (size_t n = 1; n <= 4 && check.valid_up_to + n <= size; ++n) {
        FUZZ_CHECK(!fuzz::utf8_valid(text.substr(check.valid_up_to, n)),
                   "a valid sequence at the reported fault, " + detail);
    }
    return 0;
}
