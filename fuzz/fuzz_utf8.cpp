// The UTF-8 check against an independent byte-by-byte validator: the block check (where
// the processor has it) and the full report must agree with it on every input, and a
// report of a fault must point at the end of the longest valid prefix and give the length
// of the longest start of a sequence there (0 when the text ends inside it). Valid text is
// also counted, cut around stretches of its characters beyond U+FFFF, and rewritten in place as
// UCS-4 and UTF-16, against an independent decoder.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check_batch.hpp"
#include "log_parser/wide_text.hpp"
#include "pb/utf8.hpp"
#include "pb/utf8_blocks.hpp"

namespace {

uint8_t largest_lead(std::string_view text) {
    uint8_t largest = 0;
    for (const char c : text) largest = std::max(largest, static_cast<uint8_t>(c));
    return largest >= 0x80 ? largest : 0;
}

// Whether `part` (one to three bytes) is how some valid sequence of up to four bytes
// begins: completed with each byte that can follow a lead and then with continuations.
bool starts_a_sequence(std::string_view part) {
    static constexpr char kSecond[] = {'\x80', '\x8f', '\x90', '\x9f', '\xa0', '\xbf'};
    for (size_t total = part.size() + 1; total <= 4; ++total) {
        for (const char second : kSecond) {
            std::string whole(part);
            if (whole.size() == 1) whole += second;
            whole.resize(total, '\x80');
            if (fuzz::utf8_valid(whole)) return true;
        }
    }
    return false;
}

// The length the report must give for the fault at `at`: the longest start of a sequence
// there (at least 1), or 0 when all the bytes left are such a start.
uint8_t fault_length(std::string_view text, size_t at) {
    size_t longest = 0;
    for (size_t n = 1; n <= 3 && at + n <= text.size(); ++n) {
        if (starts_a_sequence(text.substr(at, n))) longest = n;
    }
    if (longest > 0 && at + longest == text.size()) return 0;
    return static_cast<uint8_t>(longest == 0 ? 1 : longest);
}

// Rewritten in place as UCS-4, and as UTF-16 where no character lies beyond U+FFFF, the
// text gives its code points, one unit each.
template <class Unit>
bool same_units(const log_parser::TextBuffer& buffer, size_t begin,
                const std::vector<uint32_t>& points) {
    if (buffer.size() != begin + sizeof(Unit) * points.size()) return false;
    for (size_t i = 0; i < points.size(); ++i) {
        Unit unit;
        std::memcpy(&unit, buffer.data() + begin + sizeof(Unit) * i, sizeof unit);
        if (unit != points[i]) return false;
    }
    return true;
}

// The stretches around characters beyond U+FFFF, from the code points: each such
// character joins the stretch before it when fewer than `gap` bytes lie between them and
// the stretch stays within `piece` bytes. Returns their start and end, and their total.
std::pair<std::vector<size_t>, size_t> expected_stretches(const std::vector<uint32_t>& points,
                                                          size_t gap, size_t piece) {
    std::vector<std::pair<size_t, size_t>> stretches;
    size_t at = 0;
    for (const uint32_t point : points) {
        const size_t length = point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
        if (length == 4) {
            if (!stretches.empty() && at - stretches.back().second < gap &&
                at + 4 - stretches.back().first <= piece) {
                stretches.back().second = at + 4;
            } else {
                stretches.emplace_back(at, at + 4);
            }
        }
        at += length;
    }
    std::vector<size_t> bounds;
    size_t total = 0;
    for (const auto& [start, end] : stretches) {
        bounds.push_back(start);
        bounds.push_back(end);
        total += end - start;
    }
    return {bounds, total};
}

// Cut into stretches as the code points say, under limits that allow the stretches' total
// and refused under one byte less: one stretch per run of such characters, and stretches
// gathered across gaps of up to 7 bytes and within 16 bytes.
void check_cutting(std::string_view text, const std::vector<uint32_t>& points,
                   const std::string& detail) {
    for (const auto& [gap, piece] : {std::pair<size_t, size_t>{1, SIZE_MAX}, {8, 16}}) {
        const auto [expected, total] = expected_stretches(points, gap, piece);
        std::vector<size_t> cuts;
        FUZZ_CHECK(log_parser::cut_around_astral_characters(text, {gap, piece, total}, cuts) &&
                       cuts == expected,
                   "cuts around stretches, " + detail);
        if (total == 0) continue;
        cuts.clear();
        FUZZ_CHECK(!log_parser::cut_around_astral_characters(text, {gap, piece, total - 1}, cuts),
                   "cuts beyond the total, " + detail);
    }
}

void check_rewriting(std::string_view text, const std::string& detail) {
    const std::vector<uint32_t> points = fuzz::code_points(text);
    const log_parser::WideLayout layout = log_parser::wide_layout(text);
    const uint32_t widest = points.empty() ? 0 : *std::max_element(points.begin(), points.end());
    const bool beyond_bmp = widest > 0xFFFF;
    check_cutting(text, points, detail);
    FUZZ_CHECK(layout.characters == points.size() && layout.beyond_bmp == beyond_bmp &&
                   layout.beyond_latin1 == (widest > 0xFF) && layout.utf16_offset % 2 == 0,
               "layout, " + detail);
    // Room for exactly the units, so that the sanitizer sees any write past them.
    log_parser::TextBuffer wide(4 * points.size());
    wide.append(text);
    log_parser::widen_to_ucs4(wide, layout);
    FUZZ_CHECK(same_units<uint32_t>(wide, 0, points), "UCS-4 units, " + detail);
    if (beyond_bmp) return;
    log_parser::TextBuffer narrow(layout.utf16_offset + 2 * points.size());
    narrow.append(text);
    log_parser::rewrite_as_utf16(narrow, layout);
    FUZZ_CHECK(same_units<uint16_t>(narrow, layout.utf16_offset, points),
               "UTF-16 units, " + detail);
}

bool has_block_check() {
#if defined(__x86_64__)
    return __builtin_cpu_supports("ssse3");
#else
    return false;
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool valid = fuzz::utf8_valid(text);
    const std::string detail = std::to_string(size) + " bytes";

    uint8_t widest = 0xAA;
    const bool block_verdict = pb::utf8::valid_blocks(data, size, widest);
    if (has_block_check()) FUZZ_CHECK(block_verdict == valid, "block check disagrees, " + detail);
    if (block_verdict) {
        FUZZ_CHECK(valid, "block check accepted invalid text, " + detail);
        FUZZ_CHECK(widest == largest_lead(text), "block check's widest lead, " + detail);
    }

    const pb::utf8::Check check = pb::utf8::check(data, size);
    FUZZ_CHECK(check.ok == valid, "full check disagrees, " + detail);
    FUZZ_CHECK(pb::utf8::is_valid(data, size) == valid, "is_valid disagrees, " + detail);
    if (valid) {
        FUZZ_CHECK(check.valid_up_to == size && check.widest_lead == largest_lead(text),
                   "report of valid text, " + detail);
        check_rewriting(text, detail);
        return 0;
    }
    FUZZ_CHECK(check.valid_up_to < size, "fault past the end, " + detail);
    FUZZ_CHECK(fuzz::utf8_valid(text.substr(0, check.valid_up_to)), "prefix not valid, " + detail);
    FUZZ_CHECK(check.error_len == fault_length(text, check.valid_up_to),
               "length of the fault, " + detail);
    // The prefix may not stretch over the fault: one more whole sequence never fits there.
    for (size_t n = 1; n <= 4 && check.valid_up_to + n <= size; ++n) {
        FUZZ_CHECK(!fuzz::utf8_valid(text.substr(check.valid_up_to, n)),
                   "a valid sequence at the reported fault, " + detail);
    }
    return 0;
}
