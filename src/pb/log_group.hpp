// Decoded log batches. Texts and byte strings are views into the decoded input, which the
// caller keeps alive for as long as it reads the batch. A batch keeps every group, log,
// content and tag in four flat sequences; each record names its children by index range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "decode_error.hpp"

namespace pb {

struct Range {
    size_t begin = 0;
    size_t end = 0;
    size_t size() const { return end - begin; }
};

// An optional string field: present-but-empty differs from absent.
struct OptionalText {
    std::string_view text;
    bool present = false;
};

namespace log {
struct Content {
    std::string_view key;
    std::string_view value;
    bool plain = false;  // the value is ASCII that a JSON string carries as it is
};
}  // namespace log

struct LogTag {
    std::string_view key;
    std::string_view value;
};

struct Log {
    uint32_t time = 0;
    bool has_time_ns = false;
    uint32_t time_ns = 0;
    Range contents;
};

struct LogGroup {
    Range logs;
    Range log_tags;
    OptionalText topic;
    OptionalText source;
    OptionalText machine_uuid;
};

// The raw family has the same shape; only a content's value is left unvalidated, so it
// shares the record types.
namespace log_raw {
using Content = log::Content;
}
using LogTagRaw = LogTag;
using LogRaw = Log;
using LogGroupRaw = LogGroup;

struct TextFamily {
    static constexpr bool kValidateContentValue = true;
    static constexpr const char* kList = "LogGroupList";
    static constexpr const char* kGroup = "LogGroup";
    static constexpr const char* kLog = "Log";
    static constexpr const char* kTag = "LogTag";
};

struct RawFamily {
    static constexpr bool kValidateContentValue = false;
    static constexpr const char* kList = "LogGroupListRaw";
    static constexpr const char* kGroup = "LogGroupRaw";
    static constexpr const char* kLog = "LogRaw";
    static constexpr const char* kTag = "LogTagRaw";
};

template <class Family>
struct BasicLogGroupList {
    std::vector<LogGroup> log_groups;
    std::vector<Log> logs;
    std::vector<log::Content> contents;
    std::vector<LogTag> tags;
    // The largest lead byte of the checked texts that are not ASCII (0 when all are): from
    // 0xC4 on, some text holds a character of U+0100 or above.
    uint8_t widest_lead = 0;

    std::span<const Log> logs_of(const LogGroup& group) const {
        return {logs.data() + group.logs.begin, group.logs.size()};
    }
    std::span<const LogTag> tags_of(const LogGroup& group) const {
        return {tags.data() + group.log_tags.begin, group.log_tags.size()};
    }
    std::span<const log::Content> contents_of(const Log& log) const {
        return {contents.data() + log.contents.begin, log.contents.size()};
    }

    void clear() {
        log_groups.clear();
        logs.clear();
        contents.clear();
        tags.clear();
        widest_lead = 0;
    }

    // Decodes the whole input as one message body; the views point into `input`.
    static morvex::Result<BasicLogGroupList, DecodeError> decode(std::string_view input);
};

using LogGroupList = BasicLogGroupList<TextFamily>;
using LogGroupListRaw = BasicLogGroupList<RawFamily>;

}  // namespace pb
