// The shape of a log, which decides how its record is laid out: the set of keys its group
// adds (by number), whether it has time_ns, and its content keys in order. Layouts worked
// out for one log (or group) are reused for the following ones of the same shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "../pb/bytes_equal.hpp"
#include "../pb/log_group.hpp"

namespace log_parser {

// What decides a group's keys besides its content keys: topic and source presence and
// the tag keys in order. Groups that match share the layout worked out for the first.
struct GroupKeyOrder {
    bool topic = false;
    bool source = false;
    std::vector<std::string_view> tag_keys;  // views into the batch, which outlives the call

    bool matches(const pb::LogGroup& group, std::span<const pb::LogTag> tags) const {
        if (topic != group.topic.present || source != group.source.present ||
            tags.size() != tag_keys.size()) {
            return false;
        }
        for (size_t i = 0; i < tags.size(); ++i) {
            if (!pb::bytes_equal(tags[i].key, tag_keys[i])) return false;
        }
        return true;
    }

    void take(const pb::LogGroup& group, std::span<const pb::LogTag> tags) {
        topic = group.topic.present;
        source = group.source.present;
        tag_keys.clear();
        for (const pb::LogTag& tag : tags) tag_keys.push_back(tag.key);
    }
};

// Numbers for groups' key sets: equal sets get equal numbers, so that a log's shape can
// name its group's keys by one number. The oldest of kMax known sets is forgotten (shapes
// that named it then never match again) and replaced in place, reusing its room.
template <class Keys>
class KeySetNumbers {
  public:
    // Out of line: it runs once per new group layout, and inlined it would crowd the
    // loops it is called from.
    template <class Given>
    [[gnu::noinline]] size_t number_of(const Given& keys, uint64_t hash) {
        for (size_t i = known_.size(); i-- > 0;) {
            if (known_[i].hash == hash && known_[i].keys == keys) return known_[i].number;
        }
        if (known_.size() < kMax) {
            known_.push_back({Keys(keys), hash, ++count_});
        } else {
            Known& oldest = known_[next_replaced_++ % kMax];
            oldest.keys = keys;
            oldest.hash = hash;
            oldest.number = ++count_;
        }
        return count_;
    }

  private:
    static constexpr size_t kMax = 16;
    struct Known {
        Keys keys;
        uint64_t hash;
        size_t number;
    };
    std::vector<Known> known_;
    size_t next_replaced_ = 0;
    size_t count_ = 0;
};

struct LogShape {
    bool valid = false;
    bool has_time_ns = false;
    size_t group_shape = 0;
    std::vector<std::string_view> keys;  // views into the batch, which outlives the call

    bool fits(std::span<const pb::log::Content> contents, bool log_has_time_ns,
              size_t shape) const {
        if (!valid || log_has_time_ns != has_time_ns || shape != group_shape ||
            contents.size() != keys.size()) {
            return false;
        }
        for (size_t i = 0; i < contents.size(); ++i) {
            if (!pb::bytes_equal(contents[i].key, keys[i])) return false;
        }
        return true;
    }

    void take(std::span<const pb::log::Content> contents, bool log_has_time_ns, size_t shape) {
        keys.clear();
        for (const pb::log::Content& content : contents) keys.push_back(content.key);
        has_time_ns = log_has_time_ns;
        group_shape = shape;
        valid = true;
    }
};

}  // namespace log_parser
