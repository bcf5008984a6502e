#include "flat_json.hpp"

#include <algorithm>
#include <vector>

#include "../pb/decoder.hpp"
#include "json_writer.hpp"

namespace log_parser {
namespace {

// An entry that every log of a group carries: its JSON form "key": (or "key":"value")
// is rendered once per group and copied into each object.
struct GroupEntry {
    enum class Kind { Text, Time, TimeNs };
    std::string_view key;
    Kind kind;
    size_t rendered_begin;
    size_t rendered_end;
};

struct ContentEntry {
    std::string_view key;
    std::string_view value;
    size_t order;
};

class FlatJsonWriter {
public:
    explicit FlatJsonWriter(size_t estimate) : out_(estimate) { out_.append("["); }

    void write_group(const pb::LogGroupList& list, const pb::LogGroup& group) {
        if (group.logs.size() == 0) return;
        build_group_entries(list, group);
        for (const pb::Log& log : list.logs_of(group)) write_log(list, log);
    }

    TextBuffer finish() && {
        out_.append("]");
        return std::move(out_);
    }

private:
    // The reserved keys and tags of a group, sorted by key; of tags with equal keys the
    // last one stays, since it is put last.
    void build_group_entries(const pb::LogGroupList& list, const pb::LogGroup& group) {
        static constexpr std::string_view kTagPrefix = "__tag__:";
        group_entries_.clear();
        rendered_.clear();
        flat_keys_.clear();
        const auto tags = list.tags_of(group);
        size_t key_bytes = 0;
        for (const pb::LogTag& tag : tags) key_bytes += kTagPrefix.size() + tag.key.size();
        flat_keys_.reserve(key_bytes);  // views into flat_keys_ must stay put

        add_entry("__time__", GroupEntry::Kind::Time, {});
        if (group.topic.present) add_entry("__topic__", GroupEntry::Kind::Text, group.topic.text);
        if (group.source.present) {
            add_entry("__source__", GroupEntry::Kind::Text, group.source.text);
        }
        add_entry("__time_ns__", GroupEntry::Kind::TimeNs, {});
        for (const pb::LogTag& tag : tags) {
            const size_t start = flat_keys_.size();
            flat_keys_.append(kTagPrefix);
            flat_keys_.append(tag.key);
            add_entry(std::string_view(flat_keys_).substr(start), GroupEntry::Kind::Text,
                      tag.value);
        }
        // Stable: among equal keys the later put stays last, and only the last is kept.
        std::stable_sort(group_entries_.begin(), group_entries_.end(),
                         [](const GroupEntry& a, const GroupEntry& b) { return a.key < b.key; });
        auto last_of_each = std::unique(group_entries_.rbegin(), group_entries_.rend(),
                                        [](const GroupEntry& a, const GroupEntry& b) {
                                            return a.key == b.key;
                                        });
        group_entries_.erase(group_entries_.begin(), last_of_each.base());
    }

    void add_entry(std::string_view key, GroupEntry::Kind kind, std::string_view text) {
        const size_t begin = rendered_.size();
        json::write_string(rendered_, key);
        rendered_.append(":");
        if (kind == GroupEntry::Kind::Text) json::write_string(rendered_, text);
        group_entries_.push_back({key, kind, begin, rendered_.size()});
    }

    void sort_contents(const pb::LogGroupList& list, const pb::Log& log) {
        contents_.clear();
        size_t order = 0;
        for (const pb::log::Content& content : list.contents_of(log)) {
            contents_.push_back({content.key, content.value, order++});
        }
        auto by_key_then_order = [](const ContentEntry& a, const ContentEntry& b) {
            return a.key < b.key || (a.key == b.key && a.order < b.order);
        };
        if (!std::is_sorted(contents_.begin(), contents_.end(), by_key_then_order)) {
            std::sort(contents_.begin(), contents_.end(), by_key_then_order);
        }
    }

    void write_content(const ContentEntry& content) {
        json::write_string(out_, content.key);
        out_.append(":");
        json::write_string(out_, content.value);
    }

    void write_group_entry(const GroupEntry& entry, const pb::Log& log) {
        out_.append(std::string_view(rendered_.data() + entry.rendered_begin,
                                     entry.rendered_end - entry.rendered_begin));
        if (entry.kind == GroupEntry::Kind::Time) json::write_uint(out_, log.time);
        if (entry.kind == GroupEntry::Kind::TimeNs) json::write_uint(out_, log.time_ns);
    }

    // Merges the sorted contents with the group's entries; a group entry replaces a
    // content of the same key, and of contents with equal keys the last stays.
    void write_log(const pb::LogGroupList& list, const pb::Log& log) {
        sort_contents(list, log);
        out_.append(first_object_ ? "{" : ",{");
        first_object_ = false;
        bool first = true;
        auto separate = [&] {
            if (!first) out_.append(",");
            first = false;
        };
        size_t c = 0;
        size_t g = 0;
        while (c < contents_.size() || g < group_entries_.size()) {
            if (g < group_entries_.size() && group_entries_[g].kind == GroupEntry::Kind::TimeNs &&
                !log.has_time_ns) {
                ++g;
                continue;
            }
            if (c + 1 < contents_.size() && contents_[c + 1].key == contents_[c].key) {
                ++c;
                continue;
            }
            if (g == group_entries_.size() ||
                (c < contents_.size() && contents_[c].key < group_entries_[g].key)) {
                separate();
                write_content(contents_[c++]);
                continue;
            }
            if (c < contents_.size() && contents_[c].key == group_entries_[g].key) ++c;
            separate();
            write_group_entry(group_entries_[g++], log);
        }
        out_.append("}");
    }

    TextBuffer out_;
    TextBuffer rendered_;
    std::string flat_keys_;
    std::vector<GroupEntry> group_entries_;
    std::vector<ContentEntry> contents_;
    bool first_object_ = true;
};

}  // namespace

TextBuffer pb_to_flat_json_str(const pb::LogGroupList& list) {
    FlatJsonWriter writer(64);
    for (const pb::LogGroup& group : list.log_groups) writer.write_group(list, group);
    return std::move(writer).finish();
}

morvex::Result<TextBuffer, morvex::MorvexLogError> logs_to_flat_json(std::string_view input) {
    FlatJsonWriter writer(input.size() + input.size() / 4 + 16);
    pb::LogGroupList batch;
    auto status = pb::decode_groups(input, batch,
                                    [&](pb::LogGroupList& list, const pb::LogGroup& group) {
                                        writer.write_group(list, group);
                                        list.clear();
                                    });
    if (!status) return morvex::fail(morvex::MorvexLogError::Decode(std::move(status.error())));
    return std::move(writer).finish();
}

}  // namespace log_parser
