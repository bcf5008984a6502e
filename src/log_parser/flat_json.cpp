#include "flat_json.hpp"

#include <algorithm>
#include <vector>

#include "../pb/bytes_equal.hpp"
#include "../pb/decoder.hpp"
#include "json_writer.hpp"

namespace log_parser {
namespace {

// An entry that every log of a group carries. Its JSON form is rendered once per group:
// "key":"value" for text, "key": for the two times, whose values differ per log.
struct GroupEntry {
    enum class Kind : uint8_t { Text, Time, TimeNs };
    std::string_view key;
    Kind kind;
    std::string_view text;  // the value of a Text entry
    size_t rendered_begin = 0;
    size_t rendered_end = 0;
};

struct ContentEntry {
    std::string_view key;
    size_t order;  // position in the log, so that the last of equal keys can stay
};

// How one object is written: fixed text (keys, separators, group values) between the
// values that differ per log. Logs of a group mostly share their content keys, so a plan
// is made once and reused while the keys stay the same.
struct Step {
    enum class Value : uint8_t { None, Content, Time, TimeNs };
    size_t text_begin;
    size_t text_end;
    Value value;
    size_t content;
};

struct ObjectPlan {
    bool valid = false;
    std::vector<std::string_view> keys;  // the content keys it was made for, in log order
    std::vector<Step> steps;
    TextBuffer text;

    bool fits(std::span<const pb::log::Content> contents) const {
        if (!valid || contents.size() != keys.size()) return false;
        for (size_t i = 0; i < contents.size(); ++i) {
            if (!pb::bytes_equal(contents[i].key, keys[i])) return false;
        }
        return true;
    }
};

class FlatJsonWriter {
  public:
    explicit FlatJsonWriter(TextBuffer out) : out_(std::move(out)) { out_.append("["); }

    void write_group(const pb::LogGroupList& list, const pb::LogGroup& group) {
        if (group.logs.size() == 0) return;
        build_group_entries(list, group);
        for (const pb::Log& log : list.logs_of(group)) {
            const auto contents = list.contents_of(log);
            ObjectPlan& plan = plans_[log.has_time_ns];
            if (!plan.fits(contents)) make_plan(plan, contents, log.has_time_ns);
            write_object(plan, contents, log);
        }
    }

    TextBuffer finish() && {
        out_.append("]");
        return std::move(out_);
    }

  private:
    // The reserved keys and tags of a group, sorted by key; of tags with equal keys the
    // last one stays, since it is put last. A group whose entries render exactly as the
    // previous group's keeps the current plan.
    void build_group_entries(const pb::LogGroupList& list, const pb::LogGroup& group) {
        static constexpr std::string_view kTagPrefix = "__tag__:";
        entries_.clear();
        flat_keys_.clear();
        const auto tags = list.tags_of(group);
        size_t key_bytes = 0;
        for (const pb::LogTag& tag : tags) key_bytes += kTagPrefix.size() + tag.key.size();
        flat_keys_.reserve(key_bytes);  // views into flat_keys_ must stay put

        entries_.push_back({"__time__", GroupEntry::Kind::Time, {}});
        if (group.topic.present) add_text_entry("__topic__", group.topic.text);
        if (group.source.present) add_text_entry("__source__", group.source.text);
        entries_.push_back({"__time_ns__", GroupEntry::Kind::TimeNs, {}});
        for (const pb::LogTag& tag : tags) {
            const size_t start = flat_keys_.size();
            flat_keys_.append(kTagPrefix).append(tag.key);
            add_text_entry(std::string_view(flat_keys_).substr(start), tag.value);
        }
        // Stable: among equal keys the later put stays last, and only the last is kept.
        std::stable_sort(entries_.begin(), entries_.end(),
                         [](const GroupEntry& a, const GroupEntry& b) { return a.key < b.key; });
        auto last_of_each =
            std::unique(entries_.rbegin(), entries_.rend(),
                        [](const GroupEntry& a, const GroupEntry& b) { return a.key == b.key; });
        entries_.erase(entries_.begin(), last_of_each.base());

        rendering_.clear();
        for (GroupEntry& entry : entries_) render(entry);
        if (rendering_.view() != group_rendered_.view()) {
            std::swap(rendering_, group_rendered_);
            for (ObjectPlan& plan : plans_) plan.valid = false;
        }
    }

    void add_text_entry(std::string_view key, std::string_view text) {
        entries_.push_back({key, GroupEntry::Kind::Text, text});
    }

    void render(GroupEntry& entry) {
        entry.rendered_begin = rendering_.size();
        json::write_string(rendering_, entry.key);
        rendering_.append(":");
        if (entry.kind == GroupEntry::Kind::Text) json::write_string(rendering_, entry.text);
        entry.rendered_end = rendering_.size();
    }

    void sort_contents(std::span<const pb::log::Content> contents) {
        sorted_.clear();
        size_t order = 0;
        for (const pb::log::Content& content : contents) sorted_.push_back({content.key, order++});
        std::sort(sorted_.begin(), sorted_.end(), [](const ContentEntry& a, const ContentEntry& b) {
            return a.key < b.key || (a.key == b.key && a.order < b.order);
        });
    }

    // Merges the sorted contents with the group's entries: a group entry replaces a
    // content of the same key, and of contents with equal keys the last stays.
    void make_plan(ObjectPlan& plan, std::span<const pb::log::Content> contents, bool has_time_ns) {
        sort_contents(contents);
        plan.keys.clear();
        for (const pb::log::Content& content : contents) plan.keys.push_back(content.key);
        plan.valid = true;
        plan.steps.clear();
        TextBuffer& text = plan.text;
        text.clear();
        text.append("{");
        size_t step_begin = 0;
        bool first = true;
        auto end_step = [&](Step::Value value, size_t content) {
            plan.steps.push_back({step_begin, text.size(), value, content});
            step_begin = text.size();
        };
        size_t c = 0;
        size_t g = 0;
        while (c < sorted_.size() || g < entries_.size()) {
            if (g < entries_.size() && entries_[g].kind == GroupEntry::Kind::TimeNs &&
                !has_time_ns) {
                ++g;
                continue;
            }
            if (c + 1 < sorted_.size() && sorted_[c + 1].key == sorted_[c].key) {
                ++c;
                continue;
            }
            if (!first) text.append(",");
            first = false;
            if (g == entries_.size() || (c < sorted_.size() && sorted_[c].key < entries_[g].key)) {
                json::write_string(text, sorted_[c].key);
                text.append(":");
                end_step(Step::Value::Content, sorted_[c++].order);
                continue;
            }
            if (c < sorted_.size() && sorted_[c].key == entries_[g].key) ++c;
            const GroupEntry& entry = entries_[g++];
            text.append(group_rendered_.view().substr(entry.rendered_begin,
                                                      entry.rendered_end - entry.rendered_begin));
            if (entry.kind == GroupEntry::Kind::Time) end_step(Step::Value::Time, 0);
            if (entry.kind == GroupEntry::Kind::TimeNs) end_step(Step::Value::TimeNs, 0);
        }
        text.append("}");
        end_step(Step::Value::None, 0);
    }

    void write_object(const ObjectPlan& plan, std::span<const pb::log::Content> contents,
                      const pb::Log& log) {
        if (!first_object_) out_.append(",");
        first_object_ = false;
        const std::string_view text = plan.text.view();
        for (const Step& step : plan.steps) {
            out_.append(text.substr(step.text_begin, step.text_end - step.text_begin));
            switch (step.value) {
                case Step::Value::Content:
                    json::write_string(out_, contents[step.content].value);
                    break;
                case Step::Value::Time:
                    json::write_uint(out_, log.time);
                    break;
                case Step::Value::TimeNs:
                    json::write_uint(out_, log.time_ns);
                    break;
                case Step::Value::None:
                    break;
            }
        }
    }

    TextBuffer out_;
    // Current group.
    std::vector<GroupEntry> entries_;
    std::string flat_keys_;
    TextBuffer rendering_;
    TextBuffer group_rendered_;
    // The current plans, for logs without and with time_ns.
    std::vector<ContentEntry> sorted_;
    ObjectPlan plans_[2];
    bool first_object_ = true;
};

}  // namespace

TextBuffer pb_to_flat_json_str(const pb::LogGroupList& list) {
    FlatJsonWriter writer(TextBuffer(64));
    for (const pb::LogGroup& group : list.log_groups) writer.write_group(list, group);
    return std::move(writer).finish();
}

morvex::Result<TextBuffer, morvex::MorvexLogError> logs_to_flat_json(std::string_view input) {
    // Room for twice the input: flat records usually take 1.2 to 2 times their protobuf
    // size, and room that stays unwritten is never backed by memory.
    FlatJsonWriter writer(TextBuffer(2 * input.size() + 64));
    pb::LogGroupList batch;
    auto status =
        pb::decode_groups(input, batch, [&](pb::LogGroupList& list, const pb::LogGroup& group) {
            writer.write_group(list, group);
            list.clear();
        });
    if (!status) return morvex::fail(morvex::MorvexLogError::Decode(std::move(status.error())));
    return std::move(writer).finish();
}

}  // namespace log_parser
