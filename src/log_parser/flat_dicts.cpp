#include "flat_dicts.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "../pb/bytes_equal.hpp"
#include "../pb/utf8.hpp"
#include "python_result.hpp"

namespace log_parser {
namespace {

using morvex::CallError;
using morvex::CallResult;
using morvex::Failure;
using morvex::failure_of;
using morvex::PyRef;
using Status = morvex::Status<CallError>;

CallResult<PyRef> make_str(std::string_view text) {
    return made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
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

Status insert(PyObject* dict, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(dict, key, value) != 0) return Failure<CallError>{morvex::fetch_pending()};
    return {};
}

// The strings a group's logs share: topic, source and the tag rows.
struct GroupStrings {
    PyRef topic;
    PyRef source;
    std::vector<std::pair<PyRef, PyRef>> tags;  // flat key, value
    std::vector<std::string> flat_keys;         // the tag keys as text, in the same order
};

// How the dicts of logs with the same content keys are made: the first such dict serves
// as a template that is copied (keys in their final order, group values in place) and
// only the values that differ per log are set into the copy.
struct DictPlan {
    bool valid = false;
    std::vector<std::string_view> keys;  // the content keys, in log order
    std::vector<PyRef> key_objects;
    PyRef template_dict;
    // Worked out when the template is first copied.
    bool finals_known = false;
    std::vector<bool> content_final;  // whether a content's value is its key's last
    bool time_final = false;
    bool time_ns_final = false;

    bool fits(std::span<const pb::log_raw::Content> contents) const {
        if (!valid || contents.size() != keys.size()) return false;
        for (size_t i = 0; i < contents.size(); ++i) {
            if (!pb::bytes_equal(contents[i].key, keys[i])) return false;
        }
        return true;
    }
};

// Equal immutable str objects are shared within a call: the reserved keys, content keys,
// each group's topic, source and tag strings, and repeated time values. Sharing also lets
// the dicts reuse each key's cached hash.
class DictBuilder {
  public:
    DictBuilder(bool time_as_str, bool decode_utf8)
        : time_as_str_(time_as_str), decode_utf8_(decode_utf8) {}

    CallResult<PyRef> build(const pb::LogGroupListRaw& batch) {
        if (auto status = make_reserved_keys(); !status) return failure_of(status);
        PyRef list(PyList_New(static_cast<Py_ssize_t>(batch.logs.size())));
        if (!list) return Failure<CallError>{api_call_failed()};
        Py_ssize_t index = 0;
        for (const pb::LogGroup& group : batch.log_groups) {
            if (group.logs.size() == 0) continue;
            if (auto status = make_group_strings(batch, group); !status) return failure_of(status);
            for (DictPlan& plan : plans_) plan.valid = false;
            for (const pb::Log& log : batch.logs_of(group)) {
                const auto contents = batch.contents_of(log);
                DictPlan& plan = plans_[log.has_time_ns];
                auto dict = plan.fits(contents) ? copy_dict(plan, contents, log)
                                                : build_dict(plan, contents, log);
                if (!dict) return dict;
                PyList_SetItem(list.get(), index++, dict.value().release());
            }
        }
        return list;
    }

  private:
    enum Reserved { kTime, kTimeNs, kTopic, kSource };

    template <class T>
    static Status status_of(CallResult<T>& result) {
        if (!result) return failure_of(result);
        return {};
    }
    template <class T>
    static Status status_of(CallResult<T>&& result) {
        return status_of(result);
    }

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

    Status make_group_strings(const pb::LogGroupListRaw& batch, const pb::LogGroup& group) {
        group_ = GroupStrings{};
        if (group.topic.present) {
            auto topic = make_str(group.topic.text);
            if (!topic) return failure_of(topic);
            group_.topic = std::move(topic.value());
        }
        if (group.source.present) {
            auto source = make_str(group.source.text);
            if (!source) return failure_of(source);
            group_.source = std::move(source.value());
        }
        for (const pb::LogTag& tag : batch.tags_of(group)) {
            group_.flat_keys.push_back(std::string("__tag__:").append(tag.key));
            auto key = make_str(group_.flat_keys.back());
            if (!key) return failure_of(key);
            auto value = make_str(tag.value);
            if (!value) return failure_of(value);
            group_.tags.emplace_back(std::move(key.value()), std::move(value.value()));
        }
        return {};
    }

    CallResult<PyRef> time_object(uint32_t value, PyRef& cached, uint32_t& cached_value) {
        if (cached && cached_value == value) return PyRef::borrow(cached.get());
        CallResult<PyRef> object =
            time_as_str_
                ? make_str(std::to_string(value))
                : made(PyLong_FromLong(static_cast<long>(static_cast<unsigned long>(value))));
        if (object) {
            cached = PyRef::borrow(object.value().get());
            cached_value = value;
        }
        return object;
    }
    CallResult<PyRef> time_of(const pb::Log& log) {
        return time_object(log.time, last_time_, last_time_value_);
    }
    CallResult<PyRef> time_ns_of(const pb::Log& log) {
        return time_object(log.time_ns, last_time_ns_, last_time_ns_value_);
    }

    CallResult<PyRef> content_key(std::string_view key) {
        auto found = content_keys_.find(key);
        if (found != content_keys_.end()) return PyRef::borrow(found->second.get());
        auto made_key = make_str(key);
        if (made_key && content_keys_.size() < kMaxCachedKeys) {
            content_keys_.emplace(key, PyRef::borrow(made_key.value().get()));
        }
        return made_key;
    }

    CallResult<PyRef> content_value(std::string_view value) {
        const auto size = static_cast<Py_ssize_t>(value.size());
        if (!decode_utf8_) return made(PyBytes_FromStringAndSize(value.data(), size));
        PyObject* text = PyUnicode_FromStringAndSize(value.data(), size);
        if (text) return PyRef(text);
        PyErr_Clear();
        return Failure<CallError>{invalid_utf8(value)};
    }

    // A dict built by inserting every entry in order: "__time__", "__time_ns__", the
    // contents, "__topic__", "__source__", the tags. It becomes the template for the
    // following logs with the same content keys.
    CallResult<PyRef> build_dict(DictPlan& plan, std::span<const pb::log_raw::Content> contents,
                                 const pb::Log& log) {
        PyRef dict(PyDict_New());
        if (!dict) return Failure<CallError>{api_call_failed()};
        PyObject* d = dict.get();
        plan.valid = false;
        plan.key_objects.clear();
        auto time = time_of(log);
        if (!time) return failure_of(time);
        Status status = insert(d, reserved_[kTime].get(), time.value().get());
        if (status && log.has_time_ns) {
            auto time_ns = time_ns_of(log);
            status = time_ns ? insert(d, reserved_[kTimeNs].get(), time_ns.value().get())
                             : status_of(time_ns);
        }
        for (const pb::log_raw::Content& content : contents) {
            if (!status) break;
            auto key = content_key(content.key);
            if (!key) return failure_of(key);
            auto value = content_value(content.value);
            if (!value) return failure_of(value);
            status = insert(d, key.value().get(), value.value().get());
            plan.key_objects.push_back(std::move(key.value()));
        }
        if (status && group_.topic) status = insert(d, reserved_[kTopic].get(), group_.topic.get());
        if (status && group_.source) {
            status = insert(d, reserved_[kSource].get(), group_.source.get());
        }
        for (const auto& [key, value] : group_.tags) {
            if (!status) break;
            status = insert(d, key.get(), value.get());
        }
        if (!status) return failure_of(status);
        plan.keys.assign(contents.size(), {});
        for (size_t i = 0; i < contents.size(); ++i) plan.keys[i] = contents[i].key;
        plan.template_dict = PyRef::borrow(dict.get());
        plan.finals_known = false;
        plan.valid = true;
        return dict;
    }

    // Which values of a log are final: walking backwards, a key seen later (a later
    // content, or a group entry, which is inserted after all contents) wins.
    void find_finals(DictPlan& plan, bool has_time_ns) {
        std::unordered_set<std::string_view> later;
        if (group_.topic) later.insert("__topic__");
        if (group_.source) later.insert("__source__");
        for (const std::string& key : group_.flat_keys) later.insert(key);
        plan.content_final.assign(plan.keys.size(), false);
        for (size_t i = plan.keys.size(); i-- > 0;) {
            plan.content_final[i] = later.insert(plan.keys[i]).second;
        }
        plan.time_final = !later.count("__time__");
        plan.time_ns_final = has_time_ns && !later.count("__time_ns__");
        plan.finals_known = true;
    }

    // A copy of the template with this log's values set. Every content value is still
    // made (or, when it is replaced by a later entry, validated) in log order, so a bad
    // value fails the call exactly as when inserting.
    CallResult<PyRef> copy_dict(DictPlan& plan, std::span<const pb::log_raw::Content> contents,
                                const pb::Log& log) {
        if (!plan.finals_known) find_finals(plan, log.has_time_ns);
        PyRef dict(PyDict_Copy(plan.template_dict.get()));
        if (!dict) return Failure<CallError>{api_call_failed()};
        PyObject* d = dict.get();
        Status status;
        if (plan.time_final) {
            auto time = time_of(log);
            status = time ? insert(d, reserved_[kTime].get(), time.value().get()) : status_of(time);
        }
        if (status && plan.time_ns_final) {
            auto time_ns = time_ns_of(log);
            status = time_ns ? insert(d, reserved_[kTimeNs].get(), time_ns.value().get())
                             : status_of(time_ns);
        }
        for (size_t i = 0; status && i < contents.size(); ++i) {
            const std::string_view value = contents[i].value;
            if (!plan.content_final[i]) {
                if (decode_utf8_ &&
                    !pb::utf8::is_valid(reinterpret_cast<const uint8_t*>(value.data()),
                                        value.size())) {
                    return Failure<CallError>{invalid_utf8(value)};
                }
                continue;
            }
            auto object = content_value(value);
            if (!object) return failure_of(object);
            status = insert(d, plan.key_objects[i].get(), object.value().get());
        }
        if (!status) return failure_of(status);
        return dict;
    }

    static constexpr size_t kMaxCachedKeys = 4096;

    bool time_as_str_;
    bool decode_utf8_;
    PyRef reserved_[4];
    GroupStrings group_;
    DictPlan plans_[2];  // for logs without and with time_ns
    std::unordered_map<std::string_view, PyRef> content_keys_;
    PyRef last_time_, last_time_ns_;
    uint32_t last_time_value_ = 0, last_time_ns_value_ = 0;
};

}  // namespace

CallResult<PyRef> build_flat_dicts(const pb::LogGroupListRaw& batch, bool time_as_str,
                                   bool decode_utf8) {
    return DictBuilder(time_as_str, decode_utf8).build(batch);
}

}  // namespace log_parser
