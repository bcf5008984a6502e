#include "arguments.hpp"

#include <string>

namespace morvex {
namespace {

std::string quoted_list(std::span<const char* const> names) {
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += names.size() == 2 ? " and " : ", ";
        if (i > 0 && i + 1 == names.size() && names.size() > 2) list += "and ";
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

Failure<CallError> type_error(std::string message) {
    return held(HeldException::deferred(PyExc_TypeError, std::move(message)));
}

Failure<CallError> type_error(PyRef message) {
    return {error_with_message(PyExc_TypeError, std::move(message))};
}

Failure<CallError> too_many_positional(const ParameterDescriptor& d, Py_ssize_t given) {
    return type_error(std::string(d.function) + "() takes " + std::to_string(d.names.size()) +
                      " positional arguments but " + std::to_string(given) +
                      (given == 1 ? " was given" : " were given"));
}

Failure<CallError> missing(const ParameterDescriptor& d, const BoundArguments& slots) {
    std::array<const char*, kMaxParameters> names{};
    size_t count = 0;
    for (size_t i = 0; i < d.names.size(); ++i) {
        if (!slots[i]) names[count++] = d.names[i];
    }
    return type_error(std::string(d.function) + "() missing " + std::to_string(count) +
                      " required positional " + (count == 1 ? "argument" : "arguments") + ": " +
                      quoted_list(std::span(names.data(), count)));
}

// The parameter slot that a keyword names, or -1.
int parameter_index(const ParameterDescriptor& d, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    PyRef utf8(PyUnicode_AsUTF8String(key));
    if (!utf8) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view text(PyBytes_AsString(utf8.get()),
                                static_cast<size_t>(PyBytes_Size(utf8.get())));
    for (size_t i = 0; i < d.names.size(); ++i) {
        if (text == d.names[i]) return static_cast<int>(i);
    }
    return -1;
}

// "'{type}' object cannot be converted to '{target}'" with the type's __qualname__.
Failure<CallError> cannot_convert(PyObject* object, const char* target) {
    PyRef qualname(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    PyRef name(qualname ? PyObject_Str(qualname.get()) : nullptr);
    if (!name) {
        PyErr_Clear();
        name = PyRef(PyUnicode_FromString("<failed to extract type name>"));
    }
    return type_error(
        PyRef(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target)));
}

// A TypeError from converting `name` becomes "argument '{name}': {text}", keeping the
// original's __cause__; every other failure passes unchanged.
CallError prefixed(const char* name, CallError error) {
    auto* exception = std::get_if<HeldException>(&error);
    if (!exception || exception->type() != PyExc_TypeError) return error;
    PyObject* original = exception->value();
    PyRef message(PyUnicode_FromFormat("argument '%s': %S", name, original));
    if (!message) return fetch_pending();
    PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!replacement) return fetch_pending();
    PyException_SetCause(replacement.get(), PyException_GetCause(original));
    return HeldException::normalised(PyRef::borrow(PyExc_TypeError), std::move(replacement),
                                     PyRef());
}

template <class T>
CallResult<T> with_prefix(const char* name, CallResult<T> result) {
    if (result) return result;
    return Failure<CallError>{prefixed(name, std::move(result.error()))};
}

bool is_numpy_bool(PyObject* type) {
    PyRef module(PyObject_GetAttrString(type, "__module__"));
    PyRef name(module ? PyObject_GetAttrString(type, "__name__") : nullptr);
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
           PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
           (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
            PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// `name` as the interpreter looks up a special method: in the dicts of the type's MRO, not
// on its metaclass; null with nothing pending when no class defines it.
CallResult<PyRef> find_on_type(PyObject* type, const char* name) {
    PyRef mro(PyObject_GetAttrString(type, "__mro__"));
    const Py_ssize_t count = mro ? PySequence_Size(mro.get()) : -1;
    if (count < 0) return Failure<CallError>{fetch_pending()};
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef cls(PySequence_GetItem(mro.get(), i));
        PyRef dict(cls ? PyObject_GetAttrString(cls.get(), "__dict__") : nullptr);
        if (!dict) return Failure<CallError>{fetch_pending()};
        PyRef found(PyMapping_GetItemString(dict.get(), name));
        if (found) return found;
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return Failure<CallError>{fetch_pending()};
        PyErr_Clear();
    }
    return PyRef();
}

// `method` bound to `object` through its descriptor `__get__`, or itself when it has none.
CallResult<PyRef> bound_to(PyRef method, PyObject* object, PyObject* type) {
    auto get = find_on_type(reinterpret_cast<PyObject*>(Py_TYPE(method.get())), "__get__");
    if (!get) return get;
    if (!get.value()) return method;
    PyRef bound(
        PyObject_CallFunctionObjArgs(get.value().get(), method.get(), object, type, nullptr));
    if (!bound) return Failure<CallError>{fetch_pending()};
    return bound;
}

CallResult<bool> numpy_truth(PyObject* object) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    auto method = find_on_type(type, "__bool__");
    if (!method) return failure_of(method);
    if (!method.value()) {
        return type_error(PyRef(PyUnicode_FromFormat(
            "object of type '%S' does not define a '__bool__' conversion", type)));
    }
    auto bound = bound_to(std::move(method.value()), object, type);
    if (!bound) return failure_of(bound);
    PyRef truth(PyObject_CallObject(bound.value().get(), nullptr));
    if (!truth) return Failure<CallError>{fetch_pending()};
    if (!PyBool_Check(truth.get())) return cannot_convert(truth.get(), "PyBool");
    return truth.get() == Py_True;
}

CallResult<uint64_t> unsigned_of(PyObject* object) {
    PyRef index;
    if (!PyLong_Check(object)) {
        index = PyRef(PyNumber_Index(object));
        if (!index) return Failure<CallError>{fetch_pending()};
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return Failure<CallError>{fetch_pending()};
    }
    return static_cast<uint64_t>(value);
}

}  // namespace

CallResult<BoundArguments> bind_arguments(const ParameterDescriptor& d, PyObject* args,
                                          PyObject* kwargs) {
    BoundArguments slots{};
    const Py_ssize_t given = PyTuple_Size(args);
    const auto parameters = static_cast<Py_ssize_t>(d.names.size());
    for (Py_ssize_t i = 0; i < given && i < parameters; ++i) slots[i] = PyTuple_GetItem(args, i);
    if (given > parameters) return too_many_positional(d, given);
    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const int index = parameter_index(d, key);
            if (index < 0) {
                return type_error(PyRef(PyUnicode_FromFormat(
                    "%s() got an unexpected keyword argument '%S'", d.function, key)));
            }
            if (slots[index]) {
                return type_error(PyRef(PyUnicode_FromFormat(
                    "%s() got multiple values for argument '%S'", d.function, key)));
            }
            slots[index] = value;
        }
    }
    for (size_t i = 0; i < d.names.size(); ++i) {
        if (!slots[i]) return missing(d, slots);
    }
    return slots;
}

CallResult<std::string_view> convert_bytes(const char* name, PyObject* object) {
    if (!PyBytes_Check(object)) {
        return with_prefix<std::string_view>(name, cannot_convert(object, "PyBytes"));
    }
    return std::string_view(PyBytes_AsString(object), static_cast<size_t>(PyBytes_Size(object)));
}

CallResult<uint64_t> convert_size(const char* name, PyObject* object) {
    return with_prefix(name, unsigned_of(object));
}

CallResult<bool> convert_bool(const char* name, PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;
    if (is_numpy_bool(reinterpret_cast<PyObject*>(Py_TYPE(object)))) {
        return with_prefix(name, numpy_truth(object));
    }
    return with_prefix<bool>(name, cannot_convert(object, "PyBool"));
}

}  // namespace morvex
