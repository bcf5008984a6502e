#include "flat_json.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "../pb/bytes_equal.hpp"
#include "../pb/decoder.hpp"
#include "json_writer.hpp"
#include "log_shape.hpp"
#include "text_hash.hpp"
#include "wide_text.hpp"

namespace log_parser {
namespace {

// An entry that every log of a group carries: "key":"value" for text, "key": for the two
// times, whose values differ per log.
struct GroupEntry {
    enum class Kind : uint8_t { Text, Time, TimeNs };
    // Where the value comes from: the topic, the source or a tag (by index), or none.
    enum class Source : uint8_t { None, Topic, SourceField, Tag };
    std::string_view key;
    Kind kind;
    Source source = Source::None;
    size_t tag = 0;
    size_t rendered_begin = 0;  // the range of `"key":` in the layout's rendered keys
    size_t rendered_end = 0;
    uint64_t prefix = 0;  // see key_prefix
};

// The sorted entries of groups with the same topic and source presence and the same tag
// keys in the same order: worked out once, then reused for every such group.
struct GroupLayout {
    GroupKeyOrder order;
    std::vector<GroupEntry> entries;  // sorted, without values
    std::string keys;                 // the flat tag keys the entries point into
    TextBuffer rendered_keys;         // each entry's `"key":`, at the entry's rendered range
    size_t shape = 0;
    size_t serial = 0;  // tells layouts apart, also one remade in the same place

    bool matches(const pb::LogGroup& group, std::span<const pb::LogTag> tags) const {
        return order.matches(group, tags);
    }
};

// A key to sort (a content's or a tag's) with its position among its kind.
struct SortedKey {
    std::string_view key;
    size_t order;     // position, so that the last of equal keys can stay
    uint64_t prefix;  // the key's first eight bytes, zero-padded, as a big-endian number

    // Key order, then position. Keys whose first eight bytes differ are ordered by the
    // prefixes alone, which covers most comparisons without a library call.
    bool operator<(const SortedKey& other) const {
        if (prefix != other.prefix) return prefix < other.prefix;
        if (key != other.key) return key < other.key;
        return order < other.order;
    }
};

template <class Word>
Word load_big_endian(const unsigned char* p) {
    Word word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::little) {
        if constexpr (sizeof word == 8) return __builtin_bswap64(word);
        if constexpr (sizeof word == 4) return __builtin_bswap32(word);
    }
    return word;
}

// Short keys are read with overlapping loads (the bytes they share are the same) rather
// than a copy of variable length, which would be a library call.
uint64_t key_prefix(std::string_view key) {
    const auto* p = reinterpret_cast<const unsigned char*>(key.data());
    const size_t n = key.size();
    if (n >= 8) return load_big_endian<uint64_t>(p);
    if (n >= 4) {
        return uint64_t{load_big_endian<uint32_t>(p)} << 32 |
               uint64_t{load_big_endian<uint32_t>(p + n - 4)} << (64 - 8 * n);
    }
    if (n == 0) return 0;
    return uint64_t{p[0]} << 56 | uint64_t{p[n / 2]} << (56 - 8 * (n / 2)) |
           uint64_t{p[n - 1]} << (56 - 8 * (n - 1));
}

// Key order and equality of keys with their prefixes at hand.
template <class A, class B>
bool key_less(const A& a, const B& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : a.key < b.key;
}

template <class A, class B>
bool key_equal(const A& a, const B& b) {
    return a.prefix == b.prefix && pb::bytes_equal(a.key, b.key);
}

// How one object is written: fixed text (keys, separators, group entries) between the
// values that differ per log. Logs mostly share their content keys and groups mostly share
// their keys, so a plan is made once and reused while the keys stay the same; when only a
// group's values change, its text is put together again from its pieces.
struct Step {
    enum class Value : uint8_t { None, Content, Time, TimeNs };
    size_t text_begin;
    size_t text_end;
    Value value;
    size_t content;
};

// A part of a plan: literal text, a run of group entries that follow one another in key
// order (written with commas between), or the place of a value.
struct Piece {
    enum class Kind : uint8_t { Literal, Entries, Value };
    Kind kind;
    size_t begin = 0;  // Literal: range in the plan's literals; Entries: range of entries
    size_t end = 0;
    Step::Value value = Step::Value::None;
    size_t content = 0;
};

struct ObjectPlan : LogShape {
    size_t group_values = 0;  // the group values its text was put together with
    std::vector<Piece> pieces;
    TextBuffer literals;
    std::vector<Step> steps;
    TextBuffer text;
};

class FlatJsonWriter {
  public:
    // `input`, when given, is the buffer that the decoded texts are views into.
    explicit FlatJsonWriter(TextBuffer out, std::string_view input = {})
        : out_(std::move(out)),
          input_end_(input.empty() ? nullptr : input.data() + input.size()),
          input_size_(input.size()) {
        out_.append("[");
    }

    // Starts on a cache line, as the decoder's loops do.
    [[gnu::noinline, gnu::aligned(64)]] void write_group(const pb::LogGroupList& list,
                                                         const pb::LogGroup& group) {
        // (The switch needs to know whether what was written so far is ASCII.)
        if (latin1_ && list.widest_lead >= 0xC4) switch_to_utf8();
        if (list.widest_lead >= 0x80) ascii_ = false;
        if (group.logs.size() == 0) return;
        build_group_entries(list, group);
        ++group_count_;
        const auto logs = list.logs_of(group);
        for (size_t i = 0; i < logs.size(); ++i) {
            out_.write_ahead();
            const pb::Log& log = logs[i];
            const auto contents = list.contents_of(log);
            ShapeHash hash(contents, log.has_time_ns, group_shape_);
            ObjectPlan* plan = plans_.find(contents, log.has_time_ns, group_shape_, hash);
            if (!plan) {
                plan = plan_for_new_shape(hash(), contents, log, i + 1 == logs.size());
                if (!plan) continue;
            } else if (plan->group_values != group_values_) {
                // Putting the text together pays off only if a later log of the group
                // uses it too, which is likely unless at most one log is left.
                const size_t left = logs.size() - i - 1;
                if (left == 0 ||
                    (left == 1 && !plan->fits(list.contents_of(logs[i + 1]),
                                              logs[i + 1].has_time_ns, group_shape_))) {
                    // The next log takes another plan: the group's entries are rendered
                    // for both.
                    if (left == 1 && group_text_values_ != group_values_) {
                        render_group_entries();
                    }
                    write_object_from_pieces(*plan, contents, log);
                    continue;
                }
                assemble(*plan);
            }
            write_object(*plan, contents, log);
        }
    }

    JsonText finish() && {
        out_.append("]");
        using Encoding = JsonText::Encoding;
        // (No wide form takes more than four bytes a UTF-8 byte.)
        if (!latin1_ && input_size_ >= kOtherMemory &&
            4 * out_.size() >= lz4_block::kMappedOutput) {
            return std::move(*this).finish_wide();
        }
        if (!latin1_) return {std::move(out_), Encoding::Utf8};
        return {std::move(out_), ascii_ ? Encoding::Ascii : Encoding::Latin1};
    }

  private:
    // UTF-8 text with characters from U+0100 on, in fixed-width units where they take a
    // mapped buffer: that one is kept from call to call, while smaller ones would be
    // allocated afresh each time, as the interpreter's own is, and gain nothing. The units
    // and the str made from them are each about the size of the result, so a call then
    // peaks at twice the result plus what the units take beyond it (the UTF-16 offset),
    // plus the call's other memory; that last part must stay within the input's size, the
    // rest of a call's allowance, so the input must be large enough for it. Out of line:
    // inlined, it tips the compiler into calling rather than inlining the writer's key
    // comparisons.
    static constexpr size_t kOtherMemory = size_t{1} << 20;  // decoded groups, plans, code
    // UTF-8 text with fewer continuation bytes than one in this many is sparse in wide
    // characters.
    static constexpr size_t kSparseWide = 16;
    // Text sparse in characters beyond U+FFFF is made into a str piece by piece, cut around
    // stretches that hold them: each piece is made at about its size, those between the
    // stretches one or two bytes a character, and joining them writes the result once. The
    // rewrite as UCS-4 writes four bytes a character and the str made from it reads them
    // twice (for the widest character, and to copy them). Such characters fewer than this
    // many bytes apart share a stretch, so that pieces are not too many...
    static constexpr size_t kAstralGap = 2048;
    // ...and a stretch ends at this size, so that each is made in memory the interpreter
    // holds. The text, the pieces and the str are alive at once: with the stretches (four
    // bytes a character) within an eighth of the text and the rest at most two, they take
    // less than the str twice over, as the units and the str do; denser text goes through
    // UCS-4.
    static constexpr size_t kAstralPiece = 65536;
    [[gnu::noinline]] JsonText finish_wide() && {
        using Encoding = JsonText::Encoding;
        const WideLayout layout = wide_layout(out_.view());
        const size_t end =
            layout.beyond_bmp ? 4 * layout.characters : layout.utf16_offset + 2 * layout.characters;
        // (A machine_uuid, never written, may have ruled out Latin-1 for text that is.)
        const size_t beyond_result = layout.beyond_bmp ? 0 : layout.utf16_offset;
        if (end < lz4_block::kMappedOutput || !layout.beyond_latin1 ||
            input_size_ < kOtherMemory + beyond_result) {
            return {std::move(out_), Encoding::Utf8};
        }
        // Text of few characters beyond ASCII, none beyond U+FFFF, the first of them well
        // into the text, goes to the interpreter's UTF-8 decoder as it is. That one copies
        // ASCII eight bytes at a time up to the first wide character and then widens its str
        // once, to about the result's size; the UTF-16 decoder reads twice the bytes up to
        // there, and the rewrite as UTF-16 comes on top. Where the first wide character comes
        // early, UTF-16 stays: its str is allocated at the exact size, which the allocator
        // serves again from memory it holds in a loop of calls, while the UTF-8 decoder's
        // slightly larger one is mapped afresh every time. Text denser in wide characters
        // (as CJK text is) goes through UTF-16 too.
        const size_t continuations = out_.size() - layout.characters;
        const bool sparse = kSparseWide * continuations < out_.size();
        if (!layout.beyond_bmp && sparse && 4 * utf8_from_ >= out_.size()) {
            return {std::move(out_), Encoding::Utf8};
        }
        if (layout.beyond_bmp && sparse) {
            std::vector<size_t> cuts;
            const StretchLimits limits{kAstralGap, kAstralPiece, out_.size() / 8};
            if (cut_around_astral_characters(out_.view(), limits, cuts)) {
                return {std::move(out_), Encoding::Utf8Pieces, 0, std::move(cuts)};
            }
        }
        if (layout.beyond_bmp) {
            widen_to_ucs4(out_, layout);
            return {std::move(out_), Encoding::Ucs4};
        }
        rewrite_as_utf16(out_, layout);
        return {std::move(out_), Encoding::Utf16, layout.utf16_offset};
    }

    // From here on the text is UTF-8: what was written is widened (ASCII stays as it is),
    // and what was rendered in Latin-1 for reuse is dropped.
    void switch_to_utf8() {
        latin1_ = false;
        if (!ascii_) json::widen_latin1(out_);
        utf8_from_ = out_.size();
        plans_.clear();
        layouts_.clear();
        layout_ = nullptr;  // pointed into the layouts just dropped
        ++group_values_;
    }

    void write_text(TextBuffer& out, std::string_view text) const {
        if (latin1_) {
            json::write_string_latin1(out, text);
        } else {
            json::write_string(out, text);
        }
    }

    // The reserved keys and tags of a group, sorted by key (of tags with equal keys the
    // last one stays, since it is put last), and their values. Groups with equal keys
    // share plans; a plan's text is put together again when the group's values differ
    // from the last group's.
    void build_group_entries(const pb::LogGroupList& list, const pb::LogGroup& group) {
        const auto tags = list.tags_of(group);
        const GroupLayout& layout = layout_of(group, tags);
        // Serials are never reused, so an equal one means the very same layout.
        bool same_values = layout_serial_ == layout.serial;
        values_.resize(layout.entries.size());
        size_t room = layout.rendered_keys.size();
        for (size_t i = 0; i < layout.entries.size(); ++i) {
            const std::string_view value = value_of(layout.entries[i], group, tags);
            if (same_values && !pb::bytes_equal(value, values_[i].text)) same_values = false;
            values_[i] = {value, plain_ascii(value)};
            room += json::max_string_size(value.size());
        }
        group_room_ = room;
        layout_ = &layout;
        layout_serial_ = layout.serial;
        group_shape_ = layout.shape;
        if (!same_values) ++group_values_;
    }

    static std::string_view value_of(const GroupEntry& entry, const pb::LogGroup& group,
                                     std::span<const pb::LogTag> tags) {
        switch (entry.source) {
            case GroupEntry::Source::Topic:
                return group.topic.text;
            case GroupEntry::Source::SourceField:
                return group.source.text;
            case GroupEntry::Source::Tag:
                return tags[entry.tag].value;
            case GroupEntry::Source::None:
                break;
        }
        return {};
    }

    // The layout of groups like this one, made when it is new.
    const GroupLayout& layout_of(const pb::LogGroup& group, std::span<const pb::LogTag> tags) {
        bool is_new;
        GroupLayout& layout = layouts_.find_or_add(group, tags, is_new);
        if (is_new) {
            make_layout(layout, group, tags);
            layout.serial = ++layout_count_;
        }
        return layout;
    }

    void make_layout(GroupLayout& layout, const pb::LogGroup& group,
                     std::span<const pb::LogTag> tags) {
        static constexpr std::string_view kTagPrefix = "__tag__:";
        using Source = GroupEntry::Source;
        layout.order.take(group, tags);
        std::string& keys = layout.keys;
        keys.clear();
        size_t key_bytes = 0;
        for (const pb::LogTag& tag : tags) key_bytes += kTagPrefix.size() + tag.key.size();
        keys.reserve(key_bytes);  // views into the keys must stay put

        // The reserved keys differ from "__tag__:" within their first four bytes, so in key
        // order they always stand around the tags: "__source__", the tags, "__time__",
        // "__time_ns__", "__topic__". Only the tags are sorted, by their own keys; among equal
        // keys the later tag stays last (positions break ties), and only the last is kept.
        // (A group may carry any number of tags: the sort must not take quadratic time.)
        tag_order_.clear();
        for (size_t i = 0; i < tags.size(); ++i) {
            tag_order_.push_back({tags[i].key, i, key_prefix(tags[i].key)});
        }
        std::sort(tag_order_.begin(), tag_order_.end());
        auto& entries = layout.entries;
        entries.clear();
        if (layout.order.source) {
            entries.push_back({"__source__", GroupEntry::Kind::Text, Source::SourceField});
        }
        for (size_t i = 0; i < tag_order_.size(); ++i) {
            if (i + 1 < tag_order_.size() && key_equal(tag_order_[i + 1], tag_order_[i])) continue;
            const size_t start = keys.size();
            keys.append(kTagPrefix).append(tag_order_[i].key);
            entries.push_back({std::string_view(keys).substr(start), GroupEntry::Kind::Text,
                               Source::Tag, tag_order_[i].order});
        }
        entries.push_back({"__time__", GroupEntry::Kind::Time});
        entries.push_back({"__time_ns__", GroupEntry::Kind::TimeNs});
        if (layout.order.topic) {
            entries.push_back({"__topic__", GroupEntry::Kind::Text, Source::Topic});
        }
        for (GroupEntry& entry : entries) entry.prefix = key_prefix(entry.key);

        group_keys_.clear();
        for (const GroupEntry& entry : entries) {
            const auto size = static_cast<uint32_t>(entry.key.size());
            group_keys_.append({reinterpret_cast<const char*>(&size), sizeof size});
            group_keys_.append(entry.key);
        }
        layout.shape = key_sets_.number_of(group_keys_.view(), text_hash(group_keys_.view()));

        TextBuffer& rendered = layout.rendered_keys;
        rendered.clear();
        for (GroupEntry& entry : entries) {
            entry.rendered_begin = rendered.size();
            write_text(rendered, entry.key);
            rendered.append(":");
            entry.rendered_end = rendered.size();
        }
    }

    // A plan pays off from the second log of a shape on; a shape met for the first time (in
    // batches whose logs vary their keys, most are) is written directly, and null returned.
    // So is a shape met so far only in this group when this log is the group's last: its
    // plan could serve only later groups of the same keys, which make one when they come.
    // Kept out of line, so that the loop over logs that follow plans stays compact.
    [[gnu::noinline]] ObjectPlan* plan_for_new_shape(uint64_t hash,
                                                     std::span<const pb::log::Content> contents,
                                                     const pb::Log& log, bool last_in_group) {
        const size_t* first_group = met_shapes_.first_met(hash, group_count_);
        if (!first_group || (*first_group == group_count_ && last_in_group)) {
            write_object_directly(contents, log);
            return nullptr;
        }
        ObjectPlan& plan = plans_.add(hash, log.has_time_ns);
        make_plan(plan, contents, log.has_time_ns);
        return &plan;
    }

    // Sorts the log's contents by key; returns the room their entries take at most when
    // written directly (key and value escaped at worst, colon and separator).
    size_t sort_contents(std::span<const pb::log::Content> contents) {
        sorted_.clear();
        size_t order = 0;
        size_t room = 0;
        for (const pb::log::Content& content : contents) {
            sorted_.push_back({content.key, order++, key_prefix(content.key)});
            room += json::max_string_size(content.key.size()) + 2 + value_room(content);
        }
        std::sort(sorted_.begin(), sorted_.end());
        return room;
    }

    // Walks the log's entries in key order: the sorted contents merged with the group's
    // entries, where a group entry replaces a content of the same key, and of contents
    // with equal keys the last stays. Calls content(sorted content) or entry(index).
    template <class Content, class Entry>
    void walk_entries(bool has_time_ns, Content&& content, Entry&& entry) const {
        const std::vector<GroupEntry>& entries = layout_->entries;
        size_t c = 0;
        size_t g = 0;
        while (c < sorted_.size() || g < entries.size()) {
            if (g < entries.size() && entries[g].kind == GroupEntry::Kind::TimeNs && !has_time_ns) {
                ++g;
                continue;
            }
            if (c + 1 < sorted_.size() && key_equal(sorted_[c + 1], sorted_[c])) {
                ++c;
                continue;
            }
            if (g == entries.size() || (c < sorted_.size() && key_less(sorted_[c], entries[g]))) {
                content(sorted_[c++]);
                continue;
            }
            if (c < sorted_.size() && key_equal(sorted_[c], entries[g])) ++c;
            entry(g++);
        }
    }

    void make_plan(ObjectPlan& plan, std::span<const pb::log::Content> contents, bool has_time_ns) {
        sort_contents(contents);
        plan.take(contents, has_time_ns, group_shape_);
        plan.pieces.clear();
        TextBuffer& literals = plan.literals;
        literals.clear();
        // Text that follows a literal piece extends it: fewer pieces to walk per object.
        auto literal = [&](auto&& write) {
            const size_t begin = literals.size();
            write();
            if (!plan.pieces.empty() && plan.pieces.back().kind == Piece::Kind::Literal) {
                plan.pieces.back().end = literals.size();
            } else {
                plan.pieces.push_back({Piece::Kind::Literal, begin, literals.size()});
            }
        };
        auto value = [&](Step::Value kind, size_t content) {
            plan.pieces.push_back({Piece::Kind::Value, 0, 0, kind, content});
        };
        literal([&] { literals.append("{"); });
        bool first = true;
        auto separate = [&] {
            if (!first) literal([&] { literals.append(","); });
            first = false;
        };
        walk_entries(
            has_time_ns,
            [&](const SortedKey& content) {
                separate();
                literal([&] {
                    write_text(literals, content.key);
                    literals.append(":");
                });
                value(Step::Value::Content, content.order);
            },
            [&](size_t g) {
                // An entry that follows the last one of a run without a value between
                // them joins the run.
                if (!plan.pieces.empty() && plan.pieces.back().kind == Piece::Kind::Entries &&
                    plan.pieces.back().end == g) {
                    plan.pieces.back().end = g + 1;
                } else {
                    separate();
                    plan.pieces.push_back({Piece::Kind::Entries, g, g + 1});
                }
                const GroupEntry::Kind kind = layout_->entries[g].kind;
                if (kind == GroupEntry::Kind::Time) value(Step::Value::Time, 0);
                if (kind == GroupEntry::Kind::TimeNs) value(Step::Value::TimeNs, 0);
            });
        literal([&] { literals.append("}"); });
        value(Step::Value::None, 0);
        assemble(plan);
    }

    // The object of a log whose shape has no plan, written as its entries are walked into
    // room reserved at once; the group's entries come rendered, as they are the same for
    // every log of the group.
    void write_object_directly(std::span<const pb::log::Content> contents, const pb::Log& log) {
        const size_t content_room = sort_contents(contents);
        const bool rendered = group_entries_rendered();
        // Besides the contents and the group's entries: a comma before each entry, the two
        // times, the separator and braces, and the last wide move.
        out_.reserve_more(content_room + (rendered ? group_text_.size() : group_room_) +
                          layout_->entries.size() + 2 * 10 + 3 + 16);
        Cursor out{out_.end()};
        if (!first_object_) out.put(',');
        first_object_ = false;
        out.put('{');
        bool first = true;
        walk_entries(
            log.has_time_ns,
            [&](const SortedKey& content) {
                if (!first) out.put(',');
                first = false;
                put_content_directly(out, contents[content.order]);
            },
            [&](size_t g) {
                if (!first) out.put(',');
                first = false;
                put_group_entry_directly(out, rendered, g, log);
            });
        out.put('}');
        out_.commit(out.at);
    }

    // Whether the group's entries are rendered for direct writes: they are from the
    // group's second log written directly on, as rendering pays off only when reused.
    bool group_entries_rendered() {
        if (group_text_values_ == group_values_) return true;
        if (direct_first_values_ != group_values_) {
            direct_first_values_ = group_values_;
            return false;
        }
        render_group_entries();
        return true;
    }

    // Each of the current group's entries as written (`"key":"value"`, or `"key":` for the
    // times), with a comma after each, so that a run of entries is one range of the text.
    void render_group_entries() {
        TextBuffer& text = group_text_;
        text.clear();
        // A comma after each entry, and the last value's 16-byte move.
        text.reserve_more(group_room_ + layout_->entries.size() + 16);
        group_entries_.clear();
        Cursor out{text.end()};
        for (size_t g = 0; g < layout_->entries.size(); ++g) {
            const auto begin = static_cast<size_t>(out.at - text.data());
            put_entry(text, out, g);
            group_entries_.push_back({begin, static_cast<size_t>(out.at - text.data())});
            out.put(',');
        }
        text.commit(out.at);
        group_text_values_ = group_values_;
    }

    // Entries first to last (a run of a plan), with commas between: from the group's
    // rendering when it is current, else each put in place.
    void put_entries(TextBuffer& buffer, Cursor& out, size_t first, size_t last) const {
        if (group_text_values_ == group_values_) {
            const size_t begin = group_entries_[first].begin;
            out.put(group_text_.data() + begin, group_entries_[last - 1].end - begin);
            return;
        }
        for (size_t g = first; g < last; ++g) {
            if (g != first) out.put(',');
            put_entry(buffer, out, g);
        }
    }

    // The direct path writes texts that need a scan through the out-of-line escaping loop
    // (which copies a text with nothing to escape in one run) rather than the inline plain
    // test, which stays inlined where it matters only while it has few callers.
    void write_text_scanned(Cursor& out, std::string_view text) {
        through_buffer(out, [&] {
            if (latin1_) {
                json::detail::write_escaped_latin1(out_, text);
            } else {
                json::detail::write_escaped_string(out_, text);
            }
        });
    }

    // Runs `write`, which appends to the buffer itself (the writers kept out of line do),
    // at the cursor's place, and moves the cursor past what it wrote.
    template <class Write>
    void through_buffer(Cursor& out, Write&& write) {
        through(out_, out, write);
    }
    template <class Write>
    static void through(TextBuffer& buffer, Cursor& out, Write&& write) {
        buffer.commit(out.at);
        write();
        out.at = buffer.end();
    }

    // Plain ASCII; a key read from the input is tested as the decoder tests values (an
    // empty one may have no data pointer at all).
    bool plain_ascii(std::string_view text) const {
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        if (input_end_ == nullptr || text.empty()) {
            return pb::plain_text::is_plain<true>(p, text.size());
        }
        return pb::plain_text::is_plain_ascii_within(p, text.size(), input_end_);
    }

    void put_content_directly(Cursor& out, const pb::log::Content& content) {
        if (plain_ascii(content.key)) {
            put_plain_value(out, content.key);
        } else {
            write_text_scanned(out, content.key);
        }
        out.put(':');
        if (content.plain) {
            put_plain_value(out, content.value);
        } else {
            write_text_scanned(out, content.value);
        }
    }

    void put_group_entry_directly(Cursor& out, bool rendered, size_t g, const pb::Log& log) {
        if (rendered) {
            const pb::Range& range = group_entries_[g];
            out.put(group_text_.data() + range.begin, range.size());
        } else {
            through_buffer(out, [&] { put_entry_out_of_line(out_, g); });
        }
        const GroupEntry::Kind kind = layout_->entries[g].kind;
        if (kind == GroupEntry::Kind::Time) json::put_uint(out, log.time);
        if (kind == GroupEntry::Kind::TimeNs) json::put_uint(out, log.time_ns);
    }

    // For the direct path: another inlined call of put_entry tips the compiler into
    // calling it, and what it inlines with it, from the loops that follow plans.
    [[gnu::noinline]] void put_entry_out_of_line(TextBuffer& buffer, size_t index) const {
        Cursor out{buffer.end()};
        put_entry(buffer, out, index);
        buffer.commit(out.at);
    }

    // What a plan's runs of group entries take at most: the entries, escaped at worst,
    // and the commas between them.
    size_t entries_room() const { return group_room_ + layout_->entries.size(); }

    // Puts the plan's text together from its pieces and the current group's renderings.
    void assemble(ObjectPlan& plan) {
        plan.steps.clear();
        TextBuffer& text = plan.text;
        text.clear();
        // Sixteen bytes more: for the 16-byte move of a short group value, and to read the
        // last piece sixteen bytes wide when objects are written from the text.
        text.reserve_more(plan.literals.size() + entries_room() + 16);
        Cursor out{text.end()};
        size_t step_begin = 0;
        for (const Piece& piece : plan.pieces) {
            switch (piece.kind) {
                case Piece::Kind::Literal:
                    out.put(plan.literals.data() + piece.begin, piece.end - piece.begin);
                    break;
                case Piece::Kind::Entries:
                    put_entries(text, out, piece.begin, piece.end);
                    break;
                case Piece::Kind::Value: {
                    const auto step_end = static_cast<size_t>(out.at - text.data());
                    plan.steps.push_back({step_begin, step_end, piece.value, piece.content});
                    step_begin = step_end;
                    break;
                }
            }
        }
        text.commit(out.at);
        plan.group_values = group_values_;
    }

    // The current group's entry, its rendered key and then its value unless it is a time,
    // into room reserved in `buffer`: group_room_ covers all of a group's entries, and
    // sixteen bytes more cover the 16-byte move of a short value.
    void put_entry(TextBuffer& buffer, Cursor& out, size_t index) const {
        const GroupEntry& entry = layout_->entries[index];
        out.put(layout_->rendered_keys.data() + entry.rendered_begin,
                entry.rendered_end - entry.rendered_begin);
        if (entry.kind != GroupEntry::Kind::Text) return;
        const GroupValue& value = values_[index];
        if (value.plain) {
            put_plain_value(out, value.text);
        } else {
            through(buffer, out, [&] { write_text(buffer, value.text); });
        }
    }

    // A value of an object, into room the caller has reserved for the whole object (see
    // values_room).
    void put_value(Cursor& out, Step::Value value, size_t content,
                   std::span<const pb::log::Content> contents, const pb::Log& log) {
        switch (value) {
            case Step::Value::Content:
                if (contents[content].plain) {
                    put_plain_value(out, contents[content].value);
                } else {
                    through_buffer(out, [&] { write_text(out_, contents[content].value); });
                }
                break;
            case Step::Value::Time:
                json::put_uint(out, log.time);
                break;
            case Step::Value::TimeNs:
                json::put_uint(out, log.time_ns);
                break;
            case Step::Value::None:
                break;
        }
    }

    // Room for a content's value as written: a plain one with its quotes, any other
    // escaped at worst.
    static size_t value_room(const pb::log::Content& content) {
        return content.plain ? content.value.size() + 2
                             : json::max_string_size(content.value.size());
    }

    // Room for an object's values at their largest (each as written, escaped at worst
    // sixfold; a time, and the step that ends the object, ten bytes), the separator before
    // the object and sixteen bytes for the last wide move; with the plan's text, the
    // object's room.
    static size_t values_room(const ObjectPlan& plan, std::span<const pb::log::Content> contents) {
        size_t room = 1 + 16;
        for (const Step& step : plan.steps) {
            if (step.value != Step::Value::Content) {
                room += 10;
                continue;
            }
            room += value_room(contents[step.content]);
        }
        return room;
    }

    // The object of a log that follows a plan, written into room reserved at once.
    void write_object(const ObjectPlan& plan, std::span<const pb::log::Content> contents,
                      const pb::Log& log) {
        out_.reserve_more(plan.text.size() + values_room(plan, contents));
        Cursor out{out_.end()};
        if (!first_object_) out.put(',');
        first_object_ = false;
        const char* text = plan.text.data();
        for (const Step& step : plan.steps) {
            put_piece(out, text + step.text_begin, step.text_end - step.text_begin);
            put_value(out, step.value, step.content, contents, log);
        }
        out_.commit(out.at);
    }

    // A piece of a plan's text; one of up to sixteen bytes in one move (a plan's text keeps
    // sixteen bytes of room past its end for that).
    static void put_piece(Cursor& out, const char* data, size_t size) {
        if (size <= 16) {
            out.put_wide16(data, size);
        } else {
            out.put(data, size);
        }
    }

    // A value known to need no escape, with its quotes; one of 1 to 15 bytes (a view into
    // the input) in one move when the input goes on for sixteen bytes from its start.
    void put_plain_value(Cursor& out, std::string_view value) const {
        out.put('"');
        if (!value.empty() && input_end_ != nullptr &&
            pb::plain_text::readable_wide(value.data(), value.size(), input_end_)) {
            out.put_wide16(value.data(), value.size());
        } else {
            out.put(value);
        }
        out.put('"');
    }

    // The same object written from the plan's pieces and the current group's renderings,
    // without putting the plan's text together first. (A plan's steps name its values
    // also while its text is stale.)
    void write_object_from_pieces(const ObjectPlan& plan,
                                  std::span<const pb::log::Content> contents, const pb::Log& log) {
        out_.reserve_more(plan.literals.size() + entries_room() + values_room(plan, contents));
        Cursor out{out_.end()};
        if (!first_object_) out.put(',');
        first_object_ = false;
        for (const Piece& piece : plan.pieces) {
            switch (piece.kind) {
                case Piece::Kind::Literal:
                    out.put(plan.literals.data() + piece.begin, piece.end - piece.begin);
                    break;
                case Piece::Kind::Entries:
                    put_entries(out_, out, piece.begin, piece.end);
                    break;
                case Piece::Kind::Value:
                    put_value(out, piece.value, piece.content, contents, log);
                    break;
            }
        }
        out_.commit(out.at);
    }

    TextBuffer out_;
    const char* input_end_;
    size_t input_size_;
    // The current group: its layout, the values of its entries, and a count that changes
    // whenever its keys or values differ from the last group's.
    const GroupLayout* layout_ = nullptr;
    size_t layout_serial_ = 0;
    // A group entry's value, and whether it is plain ASCII (see plain_ascii).
    struct GroupValue {
        std::string_view text;
        bool plain = false;
    };
    std::vector<GroupValue> values_;
    size_t group_room_ = 0;  // what the group's entries take at most, values escaped at worst
    GroupLayouts<GroupLayout> layouts_;
    size_t layout_count_ = 0;  // layouts made so far
    TextBuffer group_keys_;
    size_t group_shape_ = 0;
    size_t group_values_ = 0;
    KeySetNumbers<std::string> key_sets_;
    // The current group's entries as rendered (for plans' runs of entries and for logs
    // written directly), the group_values_ they were rendered with, and those of the last
    // group that had a log written directly.
    TextBuffer group_text_;
    std::vector<pb::Range> group_entries_;
    size_t group_text_values_ = 0;
    size_t direct_first_values_ = 0;
    std::vector<SortedKey> sorted_;     // a log's contents, sorted by key
    std::vector<SortedKey> tag_order_;  // a new layout's tags, sorted by key
    MetShapes met_shapes_;              // to tell a shape's second log, which gets a plan
    size_t group_count_ = 0;            // groups with logs so far
    ShapePlans<ObjectPlan> plans_;
    bool first_object_ = true;
    bool latin1_ = true;    // everything met so far lies below U+0100
    bool ascii_ = true;     // and below U+0080
    size_t utf8_from_ = 0;  // the text's size when it became UTF-8 (see switch_to_utf8)
};

}  // namespace

JsonText pb_to_flat_json_str(const pb::LogGroupList& list) {
    FlatJsonWriter writer(TextBuffer(64));
    for (const pb::LogGroup& group : list.log_groups) writer.write_group(list, group);
    return std::move(writer).finish();
}

morvex::Result<JsonText, morvex::MorvexLogError> logs_to_flat_json(std::string_view input) {
    // Room for twice the input: flat records usually take 1.2 to 2 times their protobuf
    // size, and room that stays unwritten is never backed by memory.
    FlatJsonWriter writer(TextBuffer(2 * input.size() + 64), input);
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
