#include "flat_dicts.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../pb/bytes_equal.hpp"
#include "../pb/decoder.hpp"
#include "../pb/utf8.hpp"
#include "json_writer.hpp"
#include "log_shape.hpp"
#include "python_result.hpp"
#include "recent_values.hpp"
#include "str_cache.hpp"
#include "text_hash.hpp"

namespace log_parser {
namespace {

using morvex::CallError;
using morvex::CallResult;
using morvex::Failure;
using morvex::failure_of;
using morvex::PyRef;
using Status = morvex::Status<CallError>;
using Contents = std::span<const pb::log_raw::Content>;

// A new str of UTF-8 `text`, or null with the interpreter's exception set. Short ASCII text
// (most texts) is made as Latin-1: one scan and a copy, a shorter road than the UTF-8
// decoder's. Longer text goes to the UTF-8 decoder, whose ASCII loop checks and copies in
// one pass where the other road scans twice.
PyObject* new_str(std::string_view text) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    return text.size() < 64 && pb::utf8::is_ascii(bytes, text.size())
               ? PyUnicode_DecodeLatin1(text.data(), size, nullptr)
               : PyUnicode_FromStringAndSize(text.data(), size);
}

// The str of text known to be UTF-8 (keys, topic, source, tags).
CallResult<PyRef> make_str(std::string_view text) {
    return made(new_str(text));
}

CallResult<PyRef> make_bytes(std::string_view bytes) {
    return made(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// UnicodeDecodeError for a content value that is not strict UTF-8.
CallError invalid_utf8(std::string_view value) {
    const auto check =
        pb::utf8::check(reinterpret_cast<const uint8_t*>(value.data()), value.size());
    if (check.ok) return api_call_failed();  // valid text that the interpreter could not make
    const auto start = static_cast<Py_ssize_t>(check.valid_up_to);
    std::string reason;
    Py_ssize_t end;
    if (check.error_len != 0) {
        end = start + check.error_len;
        reason = "invalid utf-8 sequence of " + std::to_string(check.error_len) +
                 " bytes from index " + std::to_string(check.valid_up_to);
    } else {
        end = static_cast<Py_ssize_t>(value.size());
        reason = "incomplete utf-8 byte sequence from index " + std::to_string(check.valid_up_to);
    }
    PyObject* error = PyUnicodeDecodeError_Create(
        "utf-8", value.data(), static_cast<Py_ssize_t>(value.size()), start, end, reason.c_str());
    if (!error) return morvex::fetch_pending();
    return morvex::HeldException::normalised(PyRef::borrow(PyExc_UnicodeDecodeError), PyRef(error),
                                             PyRef());
}

// Inline: it runs for nearly every value, and out of line its empty Status went through
// memory on every return.
[[gnu::always_inline]] inline Status insert(PyObject* dict, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(dict, key, value) != 0) [[unlikely]] {
        return Failure<CallError>{morvex::fetch_pending()};
    }
    return {};
}

// An object made from some bytes, kept so that the next equal bytes reuse it.
struct Remembered {
    std::string_view bytes;
    PyRef object;

    bool holds(std::string_view candidate) const {
        return object && pb::bytes_equal(candidate, bytes);
    }
    void keep(std::string_view new_bytes, const PyRef& new_object) {
        bytes = new_bytes;
        object = PyRef::borrow(new_object.get());
    }
};

struct LastTime {
    uint32_t value = 0;
    PyRef object;
};

// The keys a group adds after the contents: whether it has a topic and a source, and its
// flat tag keys in order. Logs of groups with the same keys have dicts of the same shape.
struct GroupKeys {
    bool topic = false;
    bool source = false;
    std::string tag_text;  // the flat tag keys, back to back
    std::vector<size_t> tag_ends;

    std::string_view tag(size_t i) const {
        const size_t begin = i == 0 ? 0 : tag_ends[i - 1];
        return std::string_view(tag_text).substr(begin, tag_ends[i] - begin);
    }
    bool operator==(const GroupKeys&) const = default;

    uint64_t hash() const { return text_hash(tag_text, topic * 2 + source); }
};

// The keys of groups with the same topic and source presence and the same tag keys in
// the same order: their flat tag key objects and shape number, made once and reused for
// every such group.
struct GroupLayout {
    bool valid = false;
    GroupKeyOrder order;
    GroupKeys keys;  // each flat tag key once
    std::vector<PyRef> flat_tag_keys;
    std::vector<size_t> tag_value_of;  // for each flat tag key, the tag whose value it takes
    size_t shape = 0;                  // the same number for groups with equal keys

    bool matches(const pb::LogGroup& group, std::span<const pb::LogTag> tags) const {
        return valid && order.matches(group, tags);
    }
};

// The strings a group's logs share: topic, source and the tag rows. Each value is reused
// from the previous group when its text is the same.
struct GroupStrings {
    size_t serial = 0;  // tells groups apart
    const GroupLayout* layout = nullptr;
    Remembered topic;
    Remembered source;
    std::vector<Remembered> tag_values;

    const GroupKeys& keys() const { return layout->keys; }
    size_t shape() const { return layout->shape; }
};

// How the dicts of logs of one shape (the group's keys, the content keys, time_ns present
// or not) are made: the last such dict serves as a template that is copied (keys in their
// final order) and only the values that differ are set into the copy.
struct DictPlan : LogShape {
    std::vector<PyRef> key_objects;
    PyRef template_dict;
    size_t template_group = 0;  // the group whose values the template holds
    // Worked out when the template is first copied.
    bool finals_known = false;
    // Whether a content's value is its key's last (bytes, not bits: read for every value).
    std::vector<uint8_t> content_final;
    bool time_final = false;
    bool time_ns_final = false;
    std::vector<Remembered> values;  // the last value object at each content position
};

// Builds the dicts. Equal immutable objects are shared within a call: the reserved keys,
// content keys and flat tag keys, the topic, source and tag values of groups, repeated
// content values at the same position, and repeated time values. Sharing saves making
// millions of equal objects and lets the dicts reuse each key's cached hash.
class DictBuilder {
  public:
    DictBuilder(bool time_as_str, bool decode_utf8)
        : time_as_str_(time_as_str), decode_utf8_(decode_utf8) {}

    // Builds the dicts of an already validated batch, decoding it again one group at a
    // time so that only one group is held in decoded form next to the dicts.
    CallResult<PyRef> build(std::string_view raw_batch, size_t log_count) {
        PyRef list(PyList_New(static_cast<Py_ssize_t>(log_count)));
        if (!list) return Failure<CallError>{api_call_failed()};
        // A few distinct values per log at most matter: a column that keeps changing
        // would not find its values again anyway.
        recent_values_.prepare(4 * log_count);
        pb::LogGroupListRaw batch;
        Status status;
        size_t index = 0;
        // count_raw_logs has checked these bytes, texts included.
        auto decoded = pb::decode_groups<pb::Validation::Trusted>(
            raw_batch, batch, [&](pb::LogGroupListRaw& groups, const pb::LogGroup& group) {
                if (status) status = add_group(groups, group, list.get(), index, log_count);
                groups.clear();
            });
        if (!status) return failure_of(status);
        if (!decoded || index != log_count) {
            return morvex::fault("the validated batch decoded differently");
        }
        return list;
    }

  private:
    Status add_group(const pb::LogGroupListRaw& batch, const pb::LogGroup& group, PyObject* list,
                     size_t& index, size_t log_count) {
        if (group.logs.size() == 0) return {};
        if (!reserved_[kTime]) {
            if (auto status = make_reserved_keys(); !status) return status;
        }
        if (auto status = make_group_strings(batch, group); !status) return status;
        for (const pb::Log& log : batch.logs_of(group)) {
            const auto contents = batch.contents_of(log);
            ShapeHash hash(contents, log.has_time_ns, group_.shape());
            DictPlan* plan = plans_.find(contents, log.has_time_ns, group_.shape(), hash);
            auto dict =
                plan ? copy_dict(*plan, contents, log) : dict_of_new_shape(hash(), contents, log);
            if (!dict) return failure_of(dict);
            if (index == log_count) return morvex::fault("the validated batch decoded differently");
            PyList_SetItem(list, static_cast<Py_ssize_t>(index++), dict.value().release());
        }
        return {};
    }

    enum Reserved { kTime, kTimeNs, kTopic, kSource };

    Status make_reserved_keys() {
        static constexpr std::string_view kNames[] = {"__time__", "__time_ns__", "__topic__",
                                                      "__source__"};
        for (int i = 0; i < 4; ++i) {
            auto key = make_str(kNames[i]);
            if (!key) return failure_of(key);
            reserved_[i] = std::move(key.value());
        }
        return {};
    }

    // The object for `text`: the remembered one when the text is the same, else a new str.
    static Status reuse_or_make(Remembered& slot, std::string_view text) {
        if (slot.holds(text)) return {};
        auto object = make_str(text);
        if (!object) return failure_of(object);
        slot.keep(text, object.value());
        return {};
    }

    Status make_group_strings(const pb::LogGroupListRaw& batch, const pb::LogGroup& group) {
        ++group_.serial;
        if (group.topic.present) {
            if (auto status = reuse_or_make(group_.topic, group.topic.text); !status) return status;
        }
        if (group.source.present) {
            if (auto status = reuse_or_make(group_.source, group.source.text); !status)
                return status;
        }
        const auto tags = batch.tags_of(group);
        auto layout = layout_of(group, tags);
        if (!layout) return failure_of(layout);
        group_.layout = layout.value();
        const std::vector<size_t>& value_of = group_.layout->tag_value_of;
        group_.tag_values.resize(value_of.size());
        for (size_t i = 0; i < value_of.size(); ++i) {
            if (auto status = reuse_or_make(group_.tag_values[i], tags[value_of[i]].value);
                !status) {
                return status;
            }
        }
        return {};
    }

    // The layout of groups like this one, made when it is new.
    CallResult<const GroupLayout*> layout_of(const pb::LogGroup& group,
                                             std::span<const pb::LogTag> tags) {
        bool is_new;
        GroupLayout& layout = layouts_.find_or_add(group, tags, is_new);
        if (is_new) {
            if (auto status = make_layout(layout, group, tags); !status) return failure_of(status);
        }
        return &layout;
    }

    Status make_layout(GroupLayout& layout, const pb::LogGroup& group,
                       std::span<const pb::LogTag> tags) {
        layout.valid = false;
        GroupKeys& keys = layout.keys;
        keys.topic = group.topic.present;
        keys.source = group.source.present;
        keys.tag_text.clear();
        keys.tag_ends.clear();
        layout.order.take(group, tags);
        layout.flat_tag_keys.clear();
        layout.tag_value_of.clear();
        find_last_of_each_key(tags);
        for (size_t i = 0; i < tags.size(); ++i) {
            if (last_of_key_[i] == kRepeatedKey) continue;
            keys.tag_text.append("__tag__:").append(tags[i].key);
            keys.tag_ends.push_back(keys.tag_text.size());
            auto key = flat_tag_key(tags[i].key, keys.tag(keys.tag_ends.size() - 1));
            if (!key) return failure_of(key);
            layout.flat_tag_keys.push_back(std::move(key.value()));
            layout.tag_value_of.push_back(last_of_key_[i]);
        }
        layout.shape = key_sets_.number_of(keys, keys.hash());
        layout.valid = true;
        return {};
    }

    // For each tag, the position of the last tag of its key when it is the first of its key,
    // else kRepeatedKey: inserted in turn, a key stays where it was first inserted and takes
    // the value inserted last, so each key is inserted once, with that value. (Inserting
    // every tag into every dict would cost a group's tags times its logs.)
    static constexpr size_t kRepeatedKey = SIZE_MAX;
    void find_last_of_each_key(std::span<const pb::LogTag> tags) {
        tag_order_.clear();
        for (size_t i = 0; i < tags.size(); ++i) tag_order_.push_back({tags[i].key, i});
        std::sort(tag_order_.begin(), tag_order_.end());
        last_of_key_.assign(tags.size(), kRepeatedKey);
        for (size_t begin = 0; begin < tag_order_.size();) {
            size_t end = begin + 1;
            while (end < tag_order_.size() && tag_order_[end].first == tag_order_[begin].first) {
                ++end;
            }
            last_of_key_[tag_order_[begin].second] = tag_order_[end - 1].second;
            begin = end;
        }
    }

    // The str of `text` from a per-call cache keyed by `lookup` (a view into the batch).
    static CallResult<PyRef> cached_str(StrCache& cache, std::string_view lookup,
                                        std::string_view text) {
        if (PyObject* found = cache.find(lookup)) return PyRef::borrow(found);
        auto made_str = make_str(text);
        if (made_str) cache.keep(lookup, made_str.value().get());
        return made_str;
    }

    // A tag's flat key, cached by the tag's own key.
    CallResult<PyRef> flat_tag_key(std::string_view tag_key, std::string_view flat_key) {
        return cached_str(tag_keys_, tag_key, flat_key);
    }

    CallResult<PyRef> content_key(std::string_view key) {
        return cached_str(content_keys_, key, key);
    }

    // The decimal digits of `value` as a str: written in place and made as Latin-1 (one
    // allocation and a copy), without a std::string or the UTF-8 decoder in between.
    static CallResult<PyRef> decimal_str(uint32_t value) {
        char digits[16];
        Cursor out{digits};
        json::put_uint(out, value);
        return made(PyUnicode_DecodeLatin1(digits, out.at - digits, nullptr));
    }

    // The str or int for a time; the object of the previous equal value is reused.
    CallResult<PyRef> time_object(uint32_t value, LastTime& last) {
        if (last.object && last.value == value) return PyRef::borrow(last.object.get());
        CallResult<PyRef> object =
            time_as_str_
                ? decimal_str(value)
                : made(PyLong_FromLong(static_cast<long>(static_cast<unsigned long>(value))));
        if (object) {
            last.object = PyRef::borrow(object.value().get());
            last.value = value;
        }
        return object;
    }

    // The object for a content value. A str is the one made lately from the same bytes when
    // there is one: decoding costs several times a lookup, and columns of few distinct values
    // then decode each of them once. A bytes object is looked up only when it holds two to
    // four bytes: the interpreter keeps single bytes and the empty value itself, and a bytes
    // object of a few bytes takes 48 bytes of its allocator, so that a result of short
    // repeated values (status codes, levels, small numbers) would take several times its
    // input; for longer values a lookup costs about what it saves.
    CallResult<PyRef> content_value(std::string_view value) {
        if (!decode_utf8_ && (value.size() < 2 || value.size() > kSharedBytesMax)) {
            return make_bytes(value);
        }
        uint64_t hash;
        if (PyObject* known = recent_values_.find(value, hash)) return PyRef::borrow(known);
        auto object = decode_utf8_ ? make_str_value(value) : make_bytes(value);
        if (object) recent_values_.keep(hash, value, object.value().get());
        return object;
    }

    // The str of a content value, which may not be UTF-8.
    static CallResult<PyRef> make_str_value(std::string_view value) {
        if (PyObject* text = new_str(value)) return PyRef(text);
        PyErr_Clear();
        return Failure<CallError>{invalid_utf8(value)};
    }

    Status insert_group_values(PyObject* dict) {
        const GroupKeys& keys = group_.keys();
        if (keys.topic) {
            if (auto status = insert(dict, reserved_[kTopic].get(), group_.topic.object.get());
                !status) {
                return status;
            }
        }
        if (keys.source) {
            if (auto status = insert(dict, reserved_[kSource].get(), group_.source.object.get());
                !status) {
                return status;
            }
        }
        const auto& tag_keys = group_.layout->flat_tag_keys;
        for (size_t i = 0; i < tag_keys.size(); ++i) {
            if (auto status = insert(dict, tag_keys[i].get(), group_.tag_values[i].object.get());
                !status) {
                return status;
            }
        }
        return {};
    }

    Status insert_time(PyObject* dict, Reserved key, uint32_t value, LastTime& last) {
        auto object = time_object(value, last);
        if (!object) return failure_of(object);
        return insert(dict, reserved_[key].get(), object.value().get());
    }

    // "__time__" and "__time_ns__", each when asked for.
    Status insert_times(PyObject* dict, const pb::Log& log, bool time, bool time_ns) {
        if (time) {
            if (auto status = insert_time(dict, kTime, log.time, last_time_); !status)
                return status;
        }
        if (time_ns) return insert_time(dict, kTimeNs, log.time_ns, last_time_ns_);
        return {};
    }

    // A shape met for the first time gets no plan (see MetShapes): its dict is built
    // directly. From its second log on, the dict built becomes the template of its plan.
    CallResult<PyRef> dict_of_new_shape(uint64_t hash, Contents contents, const pb::Log& log) {
        if (!met_shapes_.first_met(hash, group_.serial)) return build_dict_directly(contents, log);
        return build_dict(plans_.add(hash, log.has_time_ns), contents, log);
    }

    // Every entry inserted in order, as build_dict does, for a shape without a plan.
    CallResult<PyRef> build_dict_directly(Contents contents, const pb::Log& log) {
        PyRef dict(PyDict_New());
        if (!dict) return Failure<CallError>{api_call_failed()};
        PyObject* d = dict.get();
        if (auto status = insert_times(d, log, true, log.has_time_ns); !status) {
            return failure_of(status);
        }
        for (const pb::log::Content& content : contents) {
            auto key = content_key(content.key);
            if (!key) return failure_of(key);
            auto value = content_value(content.value);
            if (!value) return failure_of(value);
            if (auto status = insert(d, key.value().get(), value.value().get()); !status) {
                return failure_of(status);
            }
        }
        if (auto status = insert_group_values(d); !status) return failure_of(status);
        return dict;
    }

    // A dict built by inserting every entry in order: "__time__", "__time_ns__", the
    // contents, "__topic__", "__source__", the tags. It becomes the template of its shape.
    CallResult<PyRef> build_dict(DictPlan& plan, Contents contents, const pb::Log& log) {
        PyRef dict(PyDict_New());
        if (!dict) return Failure<CallError>{api_call_failed()};
        PyObject* d = dict.get();
        plan.valid = false;
        plan.key_objects.clear();
        plan.values.clear();
        plan.values.resize(contents.size());
        if (auto status = insert_times(d, log, true, log.has_time_ns); !status) {
            return failure_of(status);
        }
        for (size_t i = 0; i < contents.size(); ++i) {
            auto key = content_key(contents[i].key);
            if (!key) return failure_of(key);
            auto value = content_value(contents[i].value);
            if (!value) return failure_of(value);
            if (auto status = insert(d, key.value().get(), value.value().get()); !status) {
                return failure_of(status);
            }
            plan.key_objects.push_back(std::move(key.value()));
            plan.values[i].keep(contents[i].value, value.value());
        }
        if (auto status = insert_group_values(d); !status) return failure_of(status);
        plan.finals_known = false;
        plan.take(contents, log.has_time_ns, group_.shape());
        keep_as_template(plan, dict);
        return dict;
    }

    static void keep_as_template(DictPlan& plan, const PyRef& dict) {
        plan.template_dict = PyRef::borrow(dict.get());
    }

    // Which values of a shape are final, that is not replaced by a later insertion of the
    // same key: the dict's keys in insertion order ("__time__", "__time_ns__", the
    // contents, the group's keys) are sorted by key, then position, and only the last of
    // each run of equal keys stays. Sorting keeps this quick for logs of many contents.
    void find_finals(DictPlan& plan, const GroupKeys& group_keys) {
        const size_t contents = plan.keys.size();
        constexpr size_t kFirstContent = 2;  // after "__time__" and "__time_ns__"
        auto& keys = insertions_;
        keys.clear();
        keys.push_back({"__time__", 0});
        if (plan.has_time_ns) keys.push_back({"__time_ns__", 1});
        for (size_t i = 0; i < contents; ++i) keys.push_back({plan.keys[i], kFirstContent + i});
        size_t position = kFirstContent + contents;
        if (group_keys.topic) keys.push_back({"__topic__", position++});
        if (group_keys.source) keys.push_back({"__source__", position++});
        for (size_t i = 0; i < group_keys.tag_ends.size(); ++i) {
            keys.push_back({group_keys.tag(i), position++});
        }
        std::sort(keys.begin(), keys.end());
        plan.content_final.assign(contents, 0);
        plan.time_final = plan.time_ns_final = false;
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i + 1 < keys.size() && keys[i + 1].first == keys[i].first) continue;
            const size_t at = keys[i].second;
            if (at == 0) plan.time_final = true;
            if (at == 1) plan.time_ns_final = true;
            if (at >= kFirstContent && at < kFirstContent + contents) {
                plan.content_final[at - kFirstContent] = 1;
            }
        }
        plan.finals_known = true;
    }

    // A copy of the template with this log's values set. Every content value is still
    // made (or, when a later entry replaces it, validated) in log order, so a bad value
    // fails the call exactly as when inserting.
    CallResult<PyRef> copy_dict(DictPlan& plan, Contents contents, const pb::Log& log) {
        // The plan fits, so the current group's keys are those of the plan's shape.
        if (!plan.finals_known) find_finals(plan, group_.keys());
        PyRef dict(PyDict_Copy(plan.template_dict.get()));
        if (!dict) return Failure<CallError>{api_call_failed()};
        PyObject* d = dict.get();
        if (plan.template_group != group_.serial) {
            if (auto status = insert_group_values(d); !status) return failure_of(status);
        }
        if (auto status = insert_times(d, log, plan.time_final, plan.time_ns_final); !status) {
            return failure_of(status);
        }
        for (size_t i = 0; i < contents.size(); ++i) {
            if (auto status = set_content_value(d, plan, i, contents[i].value); !status) {
                return failure_of(status);
            }
        }
        keep_as_template(plan, dict);
        plan.template_group = group_.serial;
        return dict;
    }

    Status set_content_value(PyObject* dict, DictPlan& plan, size_t i, std::string_view value) {
        Remembered& last = plan.values[i];
        // The same value as the template's log: the copy holds its object already (or, when
        // a later entry replaces it, the text was validated then).
        if (last.holds(value)) return {};
        if (!plan.content_final[i]) {
            if (decode_utf8_ &&
                !pb::utf8::is_valid(reinterpret_cast<const uint8_t*>(value.data()), value.size())) {
                return Failure<CallError>{invalid_utf8(value)};
            }
            return {};
        }
        auto object = content_value(value);
        if (!object) return failure_of(object);
        last.keep(value, object.value());
        return insert(dict, plan.key_objects[i].get(), object.value().get());
    }

    bool time_as_str_;
    bool decode_utf8_;
    PyRef reserved_[4];
    GroupStrings group_;
    ShapePlans<DictPlan> plans_;
    KeySetNumbers<GroupKeys> key_sets_;
    GroupLayouts<GroupLayout> layouts_;
    std::vector<std::pair<std::string_view, size_t>> insertions_;  // for find_finals
    std::vector<std::pair<std::string_view, size_t>> tag_order_;   // for find_last_of_each_key
    std::vector<size_t> last_of_key_;
    StrCache content_keys_;
    static constexpr size_t kSharedBytesMax = 4;
    RecentValues recent_values_;  // content value objects
    StrCache tag_keys_;
    LastTime last_time_, last_time_ns_;
    MetShapes met_shapes_;
};

}  // namespace

morvex::Result<size_t, morvex::MorvexLogError> count_raw_logs(std::string_view raw_batch) {
    pb::LogGroupListRaw batch;
    size_t count = 0;
    auto status = pb::decode_groups<pb::Validation::Checked, pb::Keep::NoContents>(
        raw_batch, batch, [&](pb::LogGroupListRaw& groups, const pb::LogGroup& group) {
            count += group.logs.size();
            groups.clear();
        });
    if (!status) return morvex::fail(morvex::MorvexLogError::Decode(std::move(status.error())));
    return count;
}

CallResult<PyRef> build_flat_dicts(std::string_view raw_batch, size_t log_count, bool time_as_str,
                                   bool decode_utf8) {
    if (log_count == 0) return made(PyList_New(0));
    return DictBuilder(time_as_str, decode_utf8).build(raw_batch, log_count);
}

}  // namespace log_parser
