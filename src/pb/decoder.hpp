// Decoder of both record families. `decode_groups` reads a whole LogGroupList body and
// hands each completed top-level group to a callback, which may consume the group and
// clear the batch to keep memory bounded.
//
// Inside the decoder every step returns true on success; the first failure is recorded
// in `error_` (context pairs are pushed while it travels outward) and returned as a value
// by decode_groups.
#pragma once

#include <string_view>
#include <utility>

#include "log_group.hpp"
#include "plain_text.hpp"
#include "utf8.hpp"
#include "wire.hpp"

namespace pb {

inline constexpr uint32_t kRecursionBudget = 100;

// Input that an earlier decode of the same bytes accepted is `Trusted`: its texts are known
// to be UTF-8 and are not checked again.
enum class Validation { Checked, Trusted };

// What a decode keeps: every record, or all but the contents (a pass that only checks the
// input and counts its logs has no use for them).
enum class Keep { All, NoContents };

template <class Family, Validation kValidation = Validation::Checked, Keep kKeep = Keep::All>
class Decoder {
  public:
    Decoder(std::string_view input, BasicLogGroupList<Family>& out)
        : cursor_{reinterpret_cast<const uint8_t*>(input.data()),
                  reinterpret_cast<const uint8_t*>(input.data()) + input.size()},
          out_(out) {}

    template <class OnGroup>
    DecodeStatus decode_list(OnGroup&& on_group) {
        if (!merge_list(on_group)) return morvex::fail(std::move(error_));
        return {};
    }

  private:
    template <class OnGroup>
    bool merge_list(OnGroup& on_group) {
        while (!cursor_.empty()) {
            Key key{};
            if (!decode_key(cursor_, key, error_)) return false;
            if (key.field != 1) {
                if (!skip_field(cursor_, key.wire_type, key.field, kRecursionBudget, error_)) {
                    return false;
                }
                continue;
            }
            if (!merge_repeated(key.wire_type, kRecursionBudget,
                                [this](uint32_t budget) { return merge_group(budget); })) {
                return context(Family::kList, "log_groups");
            }
            on_group(out_, out_.log_groups.back());
        }
        return true;
    }

    // Adds the (message, field) pair to the failure on its way out.
    [[gnu::cold]] bool context(const char* message, const char* field) {
        error_.push(message, field);
        return false;
    }

    // One element of a repeated message field: `merge_body` decodes the body and appends
    // the record.
    template <class MergeBody>
    bool merge_repeated(WireType wire_type, uint32_t budget, MergeBody&& merge_body) {
        if (!expect_wire_type(wire_type, WireType::LengthDelimited, error_)) return false;
        if (budget == 0) return fail(error_, "recursion limit reached");
        return merge_body(budget - 1);
    }

    // The body of one nested message; fields are read against the whole remaining input,
    // so a field that runs past the body's end is only caught after it is read. Each field
    // is handed the body's end too, for the readers of runs of elements.
    // Starts on a cache line: where the hottest loops fall within lines otherwise moves
    // with unrelated changes to the code emitted before them, and their speed with it.
    template <class MergeField>
    [[gnu::aligned(64)]] bool merge_loop(uint32_t budget, MergeField&& merge_field) {
        uint64_t length;
        if (!decode_varint(cursor_, length, error_)) return false;
        if (length > cursor_.remaining()) return fail(error_, "buffer underflow");
        const uint8_t* end = cursor_.pos + length;
        while (cursor_.pos < end) {
            Key key{};
            if (!decode_key(cursor_, key, error_)) return false;
            if (!merge_field(key, budget, end)) return false;
        }
        return cursor_.pos == end || fail(error_, "delimited length exceeded");
    }

    // The framing of a string or bytes field; the text is a view into the input.
    template <bool kValidate>
    bool merge_one_copy(WireType wire_type, std::string_view& text) {
        if (!expect_wire_type(wire_type, WireType::LengthDelimited, error_)) return false;
        uint64_t length;
        if (!decode_varint(cursor_, length, error_)) return false;
        if (length > cursor_.remaining()) return fail(error_, "buffer underflow");
        const uint8_t* start = cursor_.pos;
        cursor_.pos += length;
        if constexpr (kValidate) {
            if (!valid_text(start, length)) {
                return fail(error_, "invalid string value: data is not UTF-8 encoded");
            }
        }
        text = {reinterpret_cast<const char*>(start), static_cast<size_t>(length)};
        return true;
    }

    bool merge_string(WireType wire_type, std::string_view& text, const char* message,
                      const char* field) {
        return merge_one_copy<kCheckText>(wire_type, text) || context(message, field);
    }

    bool merge_optional(WireType wire_type, OptionalText& text, const char* field) {
        if (!merge_string(wire_type, text.text, Family::kGroup, field)) return false;
        text.present = true;
        return true;
    }

    bool merge_time(WireType wire_type, Log& log) {
        uint64_t value;
        // Times of this era take five varint bytes.
        if (wire_type == WireType::Varint && decode_five_byte_varint(cursor_, value)) [[likely]] {
            log.time = static_cast<uint32_t>(value);
            return true;
        }
        if (!expect_wire_type(wire_type, WireType::Varint, error_) ||
            !decode_varint(cursor_, value, error_)) {
            return context(Family::kLog, "time");
        }
        log.time = static_cast<uint32_t>(value);
        return true;
    }

    bool merge_time_ns(WireType wire_type, Log& log) {
        if (!expect_wire_type(wire_type, WireType::ThirtyTwoBit, error_) ||
            (cursor_.remaining() < 4 && !fail(error_, "buffer underflow"))) {
            return context(Family::kLog, "time_ns");
        }
        const uint8_t* p = cursor_.pos;
        log.time_ns =
            uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
        log.has_time_ns = true;
        cursor_.pos += 4;
        return true;
    }

    // ASCII. A text (a view into the input) of fewer than sixteen bytes is tested in one
    // load where the input goes on for sixteen bytes.
    bool ascii(const uint8_t* data, size_t size) const {
#ifdef __SSE2__
        if (plain_text::readable_wide(data, size, cursor_.end)) {
            return plain_text::is_ascii_readable(data, size);
        }
#endif
        return utf8::is_ascii(data, size);
    }

    // No character to escape in JSON, and ASCII; short texts as in ascii().
    bool plain_ascii(const uint8_t* data, size_t size) const {
        return plain_text::is_plain_ascii_within(data, size, cursor_.end);
    }

    // Checks a text as UTF-8 and notes how wide its characters are.
    bool valid_text(const uint8_t* data, size_t size) {
        if (ascii(data, size)) return true;
        const utf8::Check check = utf8::check(data, size);
        if (check.widest_lead > out_.widest_lead) out_.widest_lead = check.widest_lead;
        return check.ok;
    }

    // A small varint read for the content fast path: at most three bytes, else nothing.
    static bool small_varint(const uint8_t*& p, const uint8_t* end, size_t& value) {
        if (p < end && *p < 0x80) [[likely]] {  // lengths below 128, nearly all of them
            value = *p++;
            return true;
        }
        value = 0;
        for (int shift = 0; shift < 21 && p < end; shift += 7) {
            const uint8_t byte = *p++;
            value |= static_cast<size_t>(byte & 0x7F) << shift;
            if (byte < 0x80) return true;
        }
        return false;
    }

    // The framing of a key/value message (a content or a tag) in its usual form: key
    // (field 1) then value (field 2), filling the body exactly.
    struct PlainPair {
        const uint8_t* key;
        size_t key_length;
        const uint8_t* value;
        size_t value_length;
        const uint8_t* end;
    };

    bool read_plain_pair(PlainPair& pair) const {
        return read_short_pair(pair) || read_any_pair(pair);
    }

    // The same when all three lengths take one byte (nearly all pairs): the body's length
    // bounds the key's, and both bound the value's, so fewer tests are needed.
    bool read_short_pair(PlainPair& pair) const {
        const uint8_t* p = cursor_.pos;
        if (cursor_.end - p < 5) return false;
        const size_t length = p[0];
        const size_t key_length = p[2];
        if (((length | key_length) & 0x80) != 0 || length < 4 || p[1] != 0x0A ||
            key_length > length - 4 || length >= static_cast<size_t>(cursor_.end - p)) {
            return false;
        }
        const uint8_t* value_key = p + 3 + key_length;
        const size_t value_length = length - 4 - key_length;
        if (value_key[0] != 0x12 || value_key[1] != value_length) return false;
        pair = {p + 3, key_length, value_key + 2, value_length, p + 1 + length};
        return true;
    }

    bool read_any_pair(PlainPair& pair) const {
        const uint8_t* p = cursor_.pos;
        const uint8_t* end = cursor_.end;
        size_t length;
        if (!small_varint(p, end, length) || length > static_cast<size_t>(end - p)) return false;
        pair.end = p + length;
        if (p == pair.end || *p++ != 0x0A) return false;
        if (!small_varint(p, pair.end, pair.key_length)) return false;
        if (pair.key_length > static_cast<size_t>(pair.end - p)) return false;
        pair.key = p;
        p += pair.key_length;
        if (p == pair.end || *p++ != 0x12) return false;
        if (!small_varint(p, pair.end, pair.value_length)) return false;
        pair.value = p;
        return pair.value_length == static_cast<size_t>(pair.end - p);
    }

    static std::string_view view_of(const uint8_t* data, size_t size) {
        return {reinterpret_cast<const char*>(data), size};
    }

    // A content in its usual form, read in one go. Anything else, or a text that fails its
    // check, is left to the general path, which gives the same record or the precise error.
    [[gnu::always_inline]] bool merge_plain_content() {
        PlainPair pair;
        if (!read_plain_pair(pair)) return false;
        if (kCheckText && !valid_text(pair.key, pair.key_length)) return false;
        bool plain = false;
        if constexpr (kCheckText && Family::kValidateContentValue) {
            plain = plain_ascii(pair.value, pair.value_length);
            if (!plain && !valid_text(pair.value, pair.value_length)) return false;
        }
        if constexpr (kKeep == Keep::All) {
            out_.contents.push_back({view_of(pair.key, pair.key_length),
                                     view_of(pair.value, pair.value_length), plain});
        }
        cursor_.pos = pair.end;
        return true;
    }

    // A tag in its usual form, read in one go, as a content is.
    [[gnu::always_inline]] bool merge_plain_tag() {
        PlainPair pair;
        if (!read_plain_pair(pair)) return false;
        if (kCheckText && (!valid_text(pair.key, pair.key_length) ||
                           !valid_text(pair.value, pair.value_length))) {
            return false;
        }
        out_.tags.push_back(
            {view_of(pair.key, pair.key_length), view_of(pair.value, pair.value_length)});
        cursor_.pos = pair.end;
        return true;
    }

    bool merge_content(uint32_t budget) {
        if (merge_plain_content()) return true;
        log::Content content;
        const bool ok = merge_loop(budget, [&](Key key, uint32_t inner, const uint8_t*) {
            if (key.field == 1) return merge_string(key.wire_type, content.key, "Content", "key");
            if (key.field == 2) {
                return merge_one_copy < kCheckText &&
                           Family::kValidateContentValue > (key.wire_type, content.value) ||
                       context("Content", "value");
            }
            return skip_field(cursor_, key.wire_type, key.field, inner, error_);
        });
        if (kKeep == Keep::All && ok) out_.contents.push_back(content);
        return ok;
    }

    // The contents (or tags) that follow one another in their usual form within the
    // message that ends at `end`, each read without a round of the message's field loop.
    // The first that is not in that form, or fails its check, is left at the cursor for the
    // field loop, which gives the same record or the precise error.
    template <class MergePlain>
    void merge_run(const uint8_t* end, uint8_t key, MergePlain&& merge_plain) {
        while (cursor_.pos < end && *cursor_.pos == key) {
            ++cursor_.pos;
            if (!merge_plain()) {
                --cursor_.pos;
                return;
            }
        }
    }

    bool merge_tag(uint32_t budget) {
        if (merge_plain_tag()) return true;
        LogTag tag;
        const bool ok = merge_loop(budget, [&](Key key, uint32_t inner, const uint8_t*) {
            if (key.field == 1) return merge_string(key.wire_type, tag.key, Family::kTag, "key");
            if (key.field == 2) {
                return merge_string(key.wire_type, tag.value, Family::kTag, "value");
            }
            return skip_field(cursor_, key.wire_type, key.field, inner, error_);
        });
        if (ok) out_.tags.push_back(tag);
        return ok;
    }

    // Logs and groups are built where they stay: one put together on the stack and then
    // copied would be read back sixteen bytes at a time right after its narrow stores, a
    // load the processor cannot serve from its store queue, so it waits for them.
    bool merge_log(uint32_t budget) {
        read_ahead();
        Log& log = out_.logs.emplace_back();
        log.contents.begin = out_.contents.size();
        const bool ok = merge_loop(budget, [&](Key key, uint32_t inner, const uint8_t* end) {
            switch (key.field) {
                case 1:
                    return merge_time(key.wire_type, log);
                case 2:
                    if (!merge_repeated(key.wire_type, inner,
                                        [this](uint32_t b) { return merge_content(b); })) {
                        return context(Family::kLog, "contents");
                    }
                    merge_run(end, kContentKey, [this] { return merge_plain_content(); });
                    return true;
                case 4:
                    return merge_time_ns(key.wire_type, log);
                default:
                    return skip_field(cursor_, key.wire_type, key.field, inner, error_);
            }
        });
        log.contents.end = out_.contents.size();
        if (!ok) out_.logs.pop_back();
        return ok;
    }

    bool merge_group(uint32_t budget) {
        LogGroup& group = out_.log_groups.emplace_back();
        group.logs.begin = out_.logs.size();
        group.log_tags.begin = out_.tags.size();
        const bool ok = merge_loop(budget, [&](Key key, uint32_t inner, const uint8_t* end) {
            switch (key.field) {
                case 1:
                    return merge_repeated(key.wire_type, inner,
                                          [this](uint32_t b) { return merge_log(b); }) ||
                           context(Family::kGroup, "logs");
                case 3:
                    return merge_optional(key.wire_type, group.topic, "topic");
                case 4:
                    return merge_optional(key.wire_type, group.source, "source");
                case 5:
                    return merge_optional(key.wire_type, group.machine_uuid, "machine_uuid");
                case 6:
                    if (!merge_repeated(key.wire_type, inner,
                                        [this](uint32_t b) { return merge_tag(b); })) {
                        return context(Family::kGroup, "log_tags");
                    }
                    merge_run(end, kTagKey, [this] { return merge_plain_tag(); });
                    return true;
                default:
                    return skip_field(cursor_, key.wire_type, key.field, inner, error_);
            }
        });
        group.logs.end = out_.logs.size();
        group.log_tags.end = out_.tags.size();
        if (!ok) out_.log_groups.pop_back();
        return ok;
    }

    // Asks for the input some way ahead of the cursor, once per log. Memory that the call
    // has not touched lately is slow to arrive (after a pause, much slower than in a loop
    // of calls), and the hardware's own prefetcher stops at every 4 KiB page.
    // Addresses as integers: the prefetches may go past the end of the input, where a
    // pointer must not point.
    void read_ahead() {
        constexpr uintptr_t kAhead = 2048;
        const uintptr_t target = reinterpret_cast<uintptr_t>(cursor_.pos) + kAhead;
        for (; read_ahead_ < target; read_ahead_ += 64) {
            __builtin_prefetch(reinterpret_cast<const void*>(read_ahead_));
        }
    }

    static constexpr bool kCheckText = kValidation == Validation::Checked;
    // Keys of the repeated fields read in runs, both length-delimited.
    static constexpr uint8_t kContentKey = 2 << 3 | 2;  // Log.contents
    static constexpr uint8_t kTagKey = 6 << 3 | 2;      // LogGroup.log_tags

    Cursor cursor_;
    uintptr_t read_ahead_ = reinterpret_cast<uintptr_t>(cursor_.pos);  // asked for up to here
    BasicLogGroupList<Family>& out_;
    DecodeError error_;
};

// Decodes `input` into `out`, calling `on_group(out, group)` after each top-level group.
template <Validation kValidation = Validation::Checked, Keep kKeep = Keep::All, class Family,
          class OnGroup>
DecodeStatus decode_groups(std::string_view input, BasicLogGroupList<Family>& out,
                           OnGroup&& on_group) {
    return Decoder<Family, kValidation, kKeep>(input, out)
        .decode_list(std::forward<OnGroup>(on_group));
}

}  // namespace pb
