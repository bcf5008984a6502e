// The shape of a log, which decides how its record is laid out: the set of keys its group
// adds (by number), whether it has time_ns, and its content keys in order. Layouts worked
// out for one log (or group) are reused for the following ones of the same shape.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "../pb/bytes_equal.hpp"
#include "../pb/log_group.hpp"
#include "shape_table.hpp"
#include "text_hash.hpp"

namespace log_parser {

// How many shapes of each kind (log shapes, group layouts, key sets) a call keeps.
inline constexpr size_t kMaxShapes = 1024;

// Adds a key to the hash `h` of a sequence of keys, cheaply: only the key's size and its
// first and last eight bytes count. Keys that differ only in between collide, which costs
// a comparison of the keys when the shape is looked up, nothing more.
inline uint64_t add_key(uint64_t h, std::string_view key) {
    return std::rotl((h ^ ends_word(key)) * 0xC2B2AE3D27D4EB4FULL, 29);
}

// What decides a group's keys besides its content keys: topic and source presence and
// the tag keys in order. Groups that match share the layout worked out for the first.
struct GroupKeyOrder {
    bool topic = false;
    bool source = false;
    std::vector<std::string_view> tag_keys;  // views into the batch, which outlives the call

    [[gnu::always_inline]] bool matches(const pb::LogGroup& group,
                                        std::span<const pb::LogTag> tags) const {
        if (topic != group.topic.present || source != group.source.present ||
            tags.size() != tag_keys.size()) {
            return false;
        }
        for (size_t i = 0; i < tags.size(); ++i) {
            if (!pb::bytes_equal(tags[i].key, tag_keys[i])) return false;
        }
        return true;
    }

    // A number for the keys of `group`, to find the layout made for groups like it; groups
    // that match give equal numbers.
    static uint64_t hash_of(const pb::LogGroup& group, std::span<const pb::LogTag> tags) {
        uint64_t h = group.topic.present * 2 + group.source.present;
        for (const pb::LogTag& tag : tags) h = add_key(h, tag.key);
        return hash_mix(h);
    }

    void take(const pb::LogGroup& group, std::span<const pb::LogTag> tags) {
        topic = group.topic.present;
        source = group.source.present;
        tag_keys.clear();
        for (const pb::LogTag& tag : tags) tag_keys.push_back(tag.key);
    }
};

// Numbers for groups' key sets: equal sets get equal numbers, so that a log's shape can
// name its group's keys by one number. Numbers are never reused: when the table starts
// over, a set met again gets a new number, and shapes that named the old one never match
// again.
template <class Keys>
class KeySetNumbers {
  public:
    // Out of line: it runs once per new group layout, and inlined it would crowd the
    // loops it is called from.
    template <class Given>
    [[gnu::noinline]] size_t number_of(const Given& keys, uint64_t hash) {
        const Known* known =
            known_.find([&](const Known& k) { return k.keys == keys; }, [&] { return hash; });
        if (known) return known->number;
        if (known_.full()) known_.clear();
        Known& added = known_.add(hash);
        added.keys = keys;
        added.number = ++count_;
        return count_;
    }

  private:
    struct Known {
        Keys keys;
        size_t number = 0;
    };
    ShapeTable<Known, kMaxShapes> known_;
    size_t count_ = 0;
};

struct LogShape {
    bool valid = false;
    bool has_time_ns = false;
    size_t group_shape = 0;
    std::vector<std::string_view> keys;  // views into the batch, which outlives the call

    [[gnu::always_inline]] bool fits(std::span<const pb::log::Content> contents,
                                     bool log_has_time_ns, size_t shape) const {
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

// A number for a log's shape (content keys in order, time_ns presence, group keys), to
// find the plan made for it; equal shapes give equal numbers. Worked out on first use
// only, since most logs find their plan without it.
class ShapeHash {
  public:
    ShapeHash(std::span<const pb::log::Content> contents, bool has_time_ns, size_t group_shape)
        : contents_(contents), seed_(group_shape * 2 + has_time_ns) {}

    uint64_t operator()() {
        if (!known_) {
            uint64_t h = seed_;
            for (const pb::log::Content& content : contents_) h = add_key(h, content.key);
            value_ = hash_mix(h);
            known_ = true;
        }
        return value_;
    }

  private:
    std::span<const pb::log::Content> contents_;
    uint64_t seed_;
    uint64_t value_ = 0;
    bool known_ = false;
};

// Shapes met once so far, remembered by hash alone in a small direct-mapped table. A plan
// pays off from a shape's second log on, and in batches whose logs vary their keys most
// shapes are met only once: their records are made directly. A shape that hashes like one
// met before gets a plan from its first log, which costs time, never a wrong result.
class MetShapes {
  public:
    // The number of the group in which a shape of this hash was met first, or null when
    // none was; the shape is then remembered as met in `group`.
    const size_t* first_met(uint64_t hash, size_t group) {
        const size_t slot = hash % kSlots;
        Met& met = met_[slot];
        if ((used_ >> slot & 1) != 0 && met.hash == hash) return &met.group;
        met = {hash, group};
        used_ |= uint64_t{1} << slot;
        return nullptr;
    }

  private:
    struct Met {
        uint64_t hash;
        size_t group;
    };
    static constexpr size_t kSlots = 64;
    std::array<Met, kSlots> met_;
    uint64_t used_ = 0;  // a bit per slot in use, so that a call need not clear the table
};

// Plans (derived from LogShape) kept across groups, one per shape. The last one used for
// logs without and with time_ns is tried first, inline; the others are looked up out of
// line, since inlined they would crowd the loops over logs that call this.
template <class Plan>
class ShapePlans {
  public:
    Plan* find(std::span<const pb::log::Content> contents, bool has_time_ns, size_t group_shape,
               ShapeHash& hash) {
        Plan* recent = recent_[has_time_ns];
        if (recent && recent->fits(contents, has_time_ns, group_shape)) return recent;
        return find_other(contents, has_time_ns, group_shape, hash);
    }

    // A plan for a new shape, to be made by the caller; it may be one kept before, still
    // holding an old shape.
    Plan& add(uint64_t hash, bool has_time_ns) {
        if (table_.full()) clear();
        return *(recent_[has_time_ns] = &table_.add(hash));
    }

    void clear() {
        table_.clear();
        recent_[0] = recent_[1] = nullptr;
    }

  private:
    [[gnu::noinline]] Plan* find_other(std::span<const pb::log::Content> contents, bool has_time_ns,
                                       size_t group_shape, ShapeHash& hash) {
        Plan* plan = table_.find(
            [&](const Plan& candidate) {
                return candidate.fits(contents, has_time_ns, group_shape);
            },
            hash);
        if (plan) recent_[has_time_ns] = plan;
        return plan;
    }

    ShapeTable<Plan, kMaxShapes> table_;
    Plan* recent_[2] = {nullptr, nullptr};  // for logs without and with time_ns
};

// Layouts kept for groups' keys (topic and source presence, tag keys in order), one per
// key order; a layout has matches(group, tags). The last one used is tried first, inline.
template <class Layout>
class GroupLayouts {
  public:
    // The layout for groups like `group`; when there is none yet, a new one (it may be one
    // kept before, still holding an old layout) for the caller to make, with `is_new` set.
    Layout& find_or_add(const pb::LogGroup& group, std::span<const pb::LogTag> tags, bool& is_new) {
        is_new = false;
        if (recent_ && recent_->matches(group, tags)) return *recent_;
        return other(group, tags, is_new);
    }

    void clear() {
        table_.clear();
        recent_ = nullptr;
    }

  private:
    [[gnu::noinline]] Layout& other(const pb::LogGroup& group, std::span<const pb::LogTag> tags,
                                    bool& is_new) {
        uint64_t hash = 0;
        bool hashed = false;
        auto hash_of = [&] {
            if (!hashed) hash = GroupKeyOrder::hash_of(group, tags);
            hashed = true;
            return hash;
        };
        Layout* layout = table_.find(
            [&](const Layout& candidate) { return candidate.matches(group, tags); }, hash_of);
        if (!layout) {
            if (table_.full()) table_.clear();
            layout = &table_.add(hash_of());
            is_new = true;
        }
        return *(recent_ = layout);
    }

    ShapeTable<Layout, kMaxShapes> table_;
    Layout* recent_ = nullptr;
};

}  // namespace log_parser
