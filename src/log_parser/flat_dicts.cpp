#include "flat_dicts.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../pb/utf8.hpp"
#include "python_result.hpp"

namespace log_parser {
namespace {

using morvex::CallError;
using morvex::CallResult;
using morvex::Failure;
using morvex::PyRef;

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

// Equal immutable str objects are shared within a call: the reserved keys, content keys,
// each group's topic, source and tag strings, and repeated time values. Sharing also lets
// the dict reuse each key's cached hash.
class DictBuilder {
  public:
    DictBuilder(bool time_as_str, bool decode_utf8)
        : time_as_str_(time_as_str), decode_utf8_(decode_utf8) {}

    CallResult<PyRef> build(const pb::LogGroupListRaw& batch) {
        if (auto status = make_reserved_keys(); !status)
            return Failure<CallError>{std::move(status.error())};
        PyRef list(PyList_New(static_cast<Py_ssize_t>(batch.logs.size())));
        if (!list) return Failure<CallError>{api_call_failed()};
        Py_ssize_t index = 0;
        for (const pb::LogGroup& group : batch.log_groups) {
            if (group.logs.size() == 0) continue;
            if (auto status = make_group_strings(batch, group); !status) {
                return Failure<CallError>{std::move(status.error())};
            }
            for (const pb::Log& log : batch.logs_of(group)) {
                auto dict = build_dict(batch, group, log);
                if (!dict) return dict;
                PyList_SetItem(list.get(), index++, dict.value().release());
            }
        }
        return list;
    }

  private:
    using Status = morvex::Status<CallError>;

    struct GroupStrings {
        PyRef topic;
        PyRef source;
        std::vector<std::pair<PyRef, PyRef>> tags;  // flat key, value
    };

    Status make_reserved_keys() {
        static constexpr std::string_view kNames[] = {"__time__", "__time_ns__", "__topic__",
                                                      "__source__"};
        for (size_t i = 0; i < 4; ++i) {
            auto key = make_str(kNames[i]);
            if (!key) return Failure<CallError>{std::move(key.error())};
            reserved_[i] = std::move(key.value());
        }
        return {};
    }

    Status make_group_strings(const pb::LogGroupListRaw& batch, const pb::LogGroup& group) {
        group_ = GroupStrings{};
        if (group.topic.present && !assign(group_.topic, make_str(group.topic.text)))
            return failed();
        if (group.source.present && !assign(group_.source, make_str(group.source.text))) {
            return failed();
        }
        std::string flat_key;
        for (const pb::LogTag& tag : batch.tags_of(group)) {
            flat_key.assign("__tag__:").append(tag.key);
            PyRef key, value;
            if (!assign(key, make_str(flat_key)) || !assign(value, make_str(tag.value))) {
                return failed();
            }
            group_.tags.emplace_back(std::move(key), std::move(value));
        }
        return {};
    }

    // Keeps a failed result's error for failed(); true on success.
    bool assign(PyRef& target, CallResult<PyRef> result) {
        if (!result) {
            pending_ = std::move(result.error());
            return false;
        }
        target = std::move(result.value());
        return true;
    }
    Status failed() { return Failure<CallError>{std::move(pending_)}; }

    CallResult<PyRef> time_object(uint32_t value, PyRef& cached, uint32_t& cached_value) {
        if (cached && cached_value == value) return PyRef::borrow(cached.get());
        CallResult<PyRef> made_object =
            time_as_str_
                ? make_str(std::to_string(value))
                : made(PyLong_FromLong(static_cast<long>(static_cast<unsigned long>(value))));
        if (made_object) {
            cached = PyRef::borrow(made_object.value().get());
            cached_value = value;
        }
        return made_object;
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
        if (!decode_utf8_) {
            return made(
                PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
        }
        PyObject* text =
            PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
        if (text) return PyRef(text);
        PyErr_Clear();
        return Failure<CallError>{invalid_utf8(value)};
    }

    static Status insert(PyObject* dict, PyObject* key, PyObject* value) {
        if (PyDict_SetItem(dict, key, value) != 0)
            return Failure<CallError>{morvex::fetch_pending()};
        return {};
    }

    Status insert_made(PyObject* dict, CallResult<PyRef> key, CallResult<PyRef> value) {
        if (!key) return Failure<CallError>{std::move(key.error())};
        if (!value) return Failure<CallError>{std::move(value.error())};
        return insert(dict, key.value().get(), value.value().get());
    }

    CallResult<PyRef> build_dict(const pb::LogGroupListRaw& batch, const pb::LogGroup& group,
                                 const pb::Log& log) {
        PyRef dict(PyDict_New());
        if (!dict) return Failure<CallError>{api_call_failed()};
        PyObject* d = dict.get();
        auto status = insert_made(d, PyRef::borrow(reserved_[0].get()),
                                  time_object(log.time, last_time_, last_time_value_));
        if (status && log.has_time_ns) {
            status = insert_made(d, PyRef::borrow(reserved_[1].get()),
                                 time_object(log.time_ns, last_time_ns_, last_time_ns_value_));
        }
        for (const pb::log_raw::Content& content : batch.contents_of(log)) {
            if (!status) break;
            status = insert_made(d, content_key(content.key), content_value(content.value));
        }
        if (status && group_.topic) status = insert(d, reserved_[2].get(), group_.topic.get());
        if (status && group_.source) status = insert(d, reserved_[3].get(), group_.source.get());
        for (const auto& [key, value] : group_.tags) {
            if (!status) break;
            status = insert(d, key.get(), value.get());
        }
        if (!status) return Failure<CallError>{std::move(status.error())};
        return dict;
    }

    static constexpr size_t kMaxCachedKeys = 4096;

    bool time_as_str_;
    bool decode_utf8_;
    PyRef reserved_[4];
    GroupStrings group_;
    std::unordered_map<std::string_view, PyRef> content_keys_;
    PyRef last_time_, last_time_ns_;
    uint32_t last_time_value_ = 0, last_time_ns_value_ = 0;
    CallError pending_;
};

}  // namespace

CallResult<PyRef> build_flat_dicts(const pb::LogGroupListRaw& batch, bool time_as_str,
                                   bool decode_utf8) {
    return DictBuilder(time_as_str, decode_utf8).build(batch);
}

}  // namespace log_parser
