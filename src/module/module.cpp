// The extension's entry point: the top module `morvex_log_py_bindings` and its submodule
// `log_parser`, each initialised once per process.
#include "../error/panic_exception.hpp"
#include "boundary.hpp"
#include "function_table.hpp"

namespace morvex {
namespace {

constexpr int kModuleApiVersion = 3;  // the stable ABI's module API version

PyModuleDef top_definition = {
    PyModuleDef_HEAD_INIT,
    "morvex_log_py_bindings",
    "Turns batches of protobuf log groups, plain or LZ4-compressed, into flat records.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyModuleDef submodule_definition = {
    PyModuleDef_HEAD_INIT, "log_parser", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Strong references kept for the life of the process once initialisation succeeded.
PyObject* top_module = nullptr;
PyObject* submodule = nullptr;

Failure<CallError> initialised_twice() {
    return held(HeldException::deferred(
        PyExc_ImportError,
        "modules compiled for CPython 3.8 or older may only be initialized once per "
        "interpreter process"));
}

CallResult<PyRef> create_module(PyModuleDef* definition) {
    PyRef module(PyModule_Create2(definition, kModuleApiVersion));
    if (!module) return Failure<CallError>{fetch_pending()};
    return module;
}

CallResult<PyRef> module_all(PyObject* module) {
    PyRef all(PyObject_GetAttrString(module, "__all__"));
    if (all) {
        if (PyList_Check(all.get())) return all;
        PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(all.get())),
                                               "__qualname__"));
        return Failure<CallError>{error_with_message(
            PyExc_TypeError, PyRef(PyUnicode_FromFormat(
                                 "'%S' object cannot be converted to 'PyList'", type_name.get())))};
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Failure<CallError>{fetch_pending()};
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
        return Failure<CallError>{fetch_pending()};
    }
    return all;
}

// Appends `name` to the module's __all__ and sets the attribute.
Status<CallError> add_object(PyObject* module, PyObject* name, PyObject* object) {
    auto all = module_all(module);
    if (!all) return Failure<CallError>{std::move(all.error())};
    if (PyList_Append(all.value().get(), name) != 0) {
        PyErr_Clear();
        return fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, object) != 0) return Failure<CallError>{fetch_pending()};
    return {};
}

Status<CallError> add_functions(PyObject* module) {
    PyRef module_name(PyModule_GetNameObject(module));
    if (!module_name) return Failure<CallError>{fetch_pending()};
    for (PyMethodDef& definition : log_parser_functions()) {
        PyRef function(PyCFunction_NewEx(&definition, module, module_name.get()));
        if (!function) return Failure<CallError>{fetch_pending()};
        PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return Failure<CallError>{fetch_pending()};
        if (!PyUnicode_Check(name.get())) return fault("function __name__ is not a str");
        if (auto status = add_object(module, name.get(), function.get()); !status) return status;
    }
    return {};
}

Status<CallError> add_submodule(PyObject* top) {
    if (submodule) return initialised_twice();
    auto created = create_module(&submodule_definition);
    if (!created) return Failure<CallError>{std::move(created.error())};
    PyObject* module = created.value().get();
    if (auto status = add_functions(module); !status) return status;
    submodule = PyRef::borrow(module).release();
    PyRef name(PyModule_GetNameObject(module));
    if (!name) return Failure<CallError>{fetch_pending()};
    return add_object(top, name.get(), module);
}

// PanicException is reachable as an attribute so that callers can catch it by name; it is
// not part of __all__.
Status<CallError> add_panic_exception(PyObject* top) {
    PyObject* panic = panic_exception_type();
    if (!panic || PyObject_SetAttrString(top, "PanicException", panic) != 0) {
        return Failure<CallError>{fetch_pending()};
    }
    return {};
}

CallResult<PyRef> initialise() {
    if (top_module) return initialised_twice();
    auto created = create_module(&top_definition);
    if (!created) return created;
    PyObject* module = created.value().get();
    if (auto status = add_submodule(module); !status)
        return Failure<CallError>{std::move(status.error())};
    if (auto status = add_panic_exception(module); !status) {
        return Failure<CallError>{std::move(status.error())};
    }
    top_module = PyRef::borrow(module).release();
    return created;
}

}  // namespace
}  // namespace morvex

// Exported explicitly: the module is compiled with hidden visibility, and before Python 3.9
// the headers' PyMODINIT_FUNC carries no visibility of its own.
#pragma GCC visibility push(default)
PyMODINIT_FUNC PyInit_morvex_log_py_bindings() {
    return morvex::call_boundary([] { return morvex::initialise(); });
}
#pragma GCC visibility pop
