// Decoder of both record families. `decode_groups` reads a whole LogGroupList body and
// hands each completed top-level group to a callback, which may consume the group and
// clear the batch to keep memory bounded.
#pragma once

#include <string_view>

#include "log_group.hpp"
#include "utf8.hpp"
#include "wire.hpp"

namespace pb {

inline constexpr uint32_t kRecursionBudget = 100;

template <class Family>
class Decoder {
public:
    Decoder(std::string_view input, BasicLogGroupList<Family>& out)
        : cursor_{reinterpret_cast<const uint8_t*>(input.data()),
                  reinterpret_cast<const uint8_t*>(input.data()) + input.size()},
          out_(out) {}

    template <class OnGroup>
    DecodeStatus decode_list(OnGroup&& on_group) {
        while (!cursor_.empty()) {
            Key key;
            if (auto status = decode_key(cursor_, key); !status) return status;
            if (key.field != 1) {
                if (auto status = skip_field(cursor_, key.wire_type, key.field, kRecursionBudget);
                    !status) {
                    return status;
                }
                continue;
            }
            auto status = merge_repeated(key.wire_type, kRecursionBudget,
                                         [this](uint32_t budget) { return merge_group(budget); });
            if (!status) return with_context(std::move(status), Family::kList, "log_groups");
            on_group(out_, out_.log_groups.back());
        }
        return {};
    }

private:
    // Adds the (message, field) pair to a failure; success passes unchanged.
    static DecodeStatus with_context(DecodeStatus status, const char* message, const char* field) {
        if (!status) status.error().push(message, field);
        return status;
    }

    // One element of a repeated message field: `merge_body` decodes the body and appends
    // the record.
    template <class MergeBody>
    DecodeStatus merge_repeated(WireType wire_type, uint32_t budget, MergeBody&& merge_body) {
        if (auto status = expect_wire_type(wire_type, WireType::LengthDelimited); !status) {
            return status;
        }
        if (budget == 0) return decode_failure("recursion limit reached");
        return merge_body(budget - 1);
    }

    // The body of one nested message; fields are read against the whole remaining input.
    template <class MergeField>
    DecodeStatus merge_loop(uint32_t budget, MergeField&& merge_field) {
        uint64_t length;
        if (auto status = decode_varint(cursor_, length); !status) return status;
        if (length > cursor_.remaining()) return decode_failure("buffer underflow");
        const uint8_t* end = cursor_.pos + length;
        while (cursor_.pos < end) {
            Key key;
            if (auto status = decode_key(cursor_, key); !status) return status;
            if (auto status = merge_field(key, budget); !status) return status;
        }
        if (cursor_.pos != end) return decode_failure("delimited length exceeded");
        return {};
    }

    template <bool kValidate>
    DecodeStatus merge_one_copy(WireType wire_type, std::string_view& text) {
        if (auto status = expect_wire_type(wire_type, WireType::LengthDelimited); !status) {
            return status;
        }
        uint64_t length;
        if (auto status = decode_varint(cursor_, length); !status) return status;
        if (length > cursor_.remaining()) return decode_failure("buffer underflow");
        const uint8_t* start = cursor_.pos;
        cursor_.pos += length;
        if constexpr (kValidate) {
            if (!utf8::is_valid(start, length)) {
                return decode_failure("invalid string value: data is not UTF-8 encoded");
            }
        }
        text = {reinterpret_cast<const char*>(start), static_cast<size_t>(length)};
        return {};
    }

    DecodeStatus merge_string(WireType wire_type, std::string_view& text, const char* message,
                              const char* field) {
        auto status = merge_one_copy<true>(wire_type, text);
        return with_context(std::move(status), message, field);
    }

    DecodeStatus merge_optional(WireType wire_type, OptionalText& text, const char* field) {
        auto status = merge_string(wire_type, text.text, Family::kGroup, field);
        if (status) text.present = true;
        return status;
    }

    DecodeStatus merge_time(WireType wire_type, Log& log) {
        auto status = expect_wire_type(wire_type, WireType::Varint);
        uint64_t value = 0;
        if (status) status = decode_varint(cursor_, value);
        if (!status) return with_context(std::move(status), Family::kLog, "time");
        log.time = static_cast<uint32_t>(value);
        return {};
    }

    DecodeStatus merge_time_ns(WireType wire_type, Log& log) {
        auto status = expect_wire_type(wire_type, WireType::ThirtyTwoBit);
        if (status && cursor_.remaining() < 4) status = decode_failure("buffer underflow");
        if (!status) return with_context(std::move(status), Family::kLog, "time_ns");
        const uint8_t* p = cursor_.pos;
        log.time_ns = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                      uint32_t{p[3]} << 24;
        log.has_time_ns = true;
        cursor_.pos += 4;
        return {};
    }

    DecodeStatus merge_content(uint32_t budget) {
        log::Content content;
        auto status = merge_loop(budget, [&](Key key, uint32_t inner) -> DecodeStatus {
            if (key.field == 1) return merge_string(key.wire_type, content.key, "Content", "key");
            if (key.field == 2) {
                auto value = merge_one_copy<Family::kValidateContentValue>(key.wire_type,
                                                                          content.value);
                return with_context(std::move(value), "Content", "value");
            }
            return skip_field(cursor_, key.wire_type, key.field, inner);
        });
        if (status) out_.contents.push_back(content);
        return status;
    }

    DecodeStatus merge_tag(uint32_t budget) {
        LogTag tag;
        auto status = merge_loop(budget, [&](Key key, uint32_t inner) -> DecodeStatus {
            if (key.field == 1) return merge_string(key.wire_type, tag.key, Family::kTag, "key");
            if (key.field == 2) {
                return merge_string(key.wire_type, tag.value, Family::kTag, "value");
            }
            return skip_field(cursor_, key.wire_type, key.field, inner);
        });
        if (status) out_.tags.push_back(tag);
        return status;
    }

    DecodeStatus merge_log(uint32_t budget) {
        Log log;
        log.contents.begin = out_.contents.size();
        auto status = merge_loop(budget, [&](Key key, uint32_t inner) -> DecodeStatus {
            switch (key.field) {
                case 1: return merge_time(key.wire_type, log);
                case 2: {
                    auto content = merge_repeated(
                        key.wire_type, inner, [this](uint32_t b) { return merge_content(b); });
                    return with_context(std::move(content), Family::kLog, "contents");
                }
                case 4: return merge_time_ns(key.wire_type, log);
                default: return skip_field(cursor_, key.wire_type, key.field, inner);
            }
        });
        log.contents.end = out_.contents.size();
        if (status) out_.logs.push_back(log);
        return status;
    }

    DecodeStatus merge_group(uint32_t budget) {
        LogGroup group;
        group.logs.begin = out_.logs.size();
        group.log_tags.begin = out_.tags.size();
        auto status = merge_loop(budget, [&](Key key, uint32_t inner) -> DecodeStatus {
            switch (key.field) {
                case 1: {
                    auto log = merge_repeated(key.wire_type, inner,
                                              [this](uint32_t b) { return merge_log(b); });
                    return with_context(std::move(log), Family::kGroup, "logs");
                }
                case 3: return merge_optional(key.wire_type, group.topic, "topic");
                case 4: return merge_optional(key.wire_type, group.source, "source");
                case 5: return merge_optional(key.wire_type, group.machine_uuid, "machine_uuid");
                case 6: {
                    auto tag = merge_repeated(key.wire_type, inner,
                                              [this](uint32_t b) { return merge_tag(b); });
                    return with_context(std::move(tag), Family::kGroup, "log_tags");
                }
                default: return skip_field(cursor_, key.wire_type, key.field, inner);
            }
        });
        group.logs.end = out_.logs.size();
        group.log_tags.end = out_.tags.size();
        if (status) out_.log_groups.push_back(group);
        return status;
    }

    Cursor cursor_;
    BasicLogGroupList<Family>& out_;
};

// Decodes `input` into `out`, calling `on_group(out, group)` after each top-level group.
template <class Family, class OnGroup>
DecodeStatus decode_groups(std::string_view input, BasicLogGroupList<Family>& out,
                           OnGroup&& on_group) {
    return Decoder<Family>(input, out).decode_list(std::forward<OnGroup>(on_group));
}

}  // namespace pb
