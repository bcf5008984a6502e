"""Module surface, argument binding and argument conversion."""

import inspect
import subprocess
import sys
import textwrap

import numpy
import pytest

import morvex_log_py_bindings
from conftest import LZ4_BAD_DATA, PanicException, compress, raises_panic
from morvex_log_py_bindings import log_parser

J = log_parser.logs_to_flat_json_str
JZ = log_parser.lz4_logs_to_flat_json_str
D = log_parser.lz4_logs_to_flat_json
EMPTY = compress(b"")  # the one-byte block b"\x00"

PARAMS = {
    J: ("bytes",),
    JZ: ("compressed", "raw_size"),
    D: ("bytes", "raw_size", "time_as_str", "decode_utf8"),
}


def test_module_surface():
    assert morvex_log_py_bindings.__name__ == "morvex_log_py_bindings"
    assert morvex_log_py_bindings.__all__ == ["log_parser"]
    assert isinstance(morvex_log_py_bindings.__doc__, str) and morvex_log_py_bindings.__doc__
    assert log_parser.__name__ == "log_parser"
    assert log_parser.__doc__ == ""
    assert log_parser.__all__ == ["logs_to_flat_json_str", "lz4_logs_to_flat_json_str", "lz4_logs_to_flat_json"]
    assert "log_parser" not in sys.modules and "morvex_log_py_bindings.log_parser" not in sys.modules
    assert PanicException.__bases__ == (BaseException,)
    assert PanicException.__name__ == "PanicException"
    assert "PanicException" not in morvex_log_py_bindings.__all__


@pytest.mark.parametrize("fn", list(PARAMS))
def test_function_objects(fn):
    names = PARAMS[fn]
    assert fn.__self__ is log_parser
    assert fn.__module__ == "log_parser"
    assert getattr(log_parser, fn.__name__) is fn
    assert fn.__text_signature__ == "(" + ", ".join(names) + ")"
    assert not fn.__doc__
    params = list(inspect.signature(fn).parameters.values())
    assert [p.name for p in params] == list(names)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)


def test_dotted_import_of_submodule_fails():
    with pytest.raises(ImportError):
        __import__("morvex_log_py_bindings.log_parser")
    from morvex_log_py_bindings import log_parser as again
    assert again is log_parser


def test_second_initialisation_raises_import_error_and_first_module_survives():
    script = textwrap.dedent("""
        import importlib, sys
        import morvex_log_py_bindings as first
        del sys.modules["morvex_log_py_bindings"]
        try:
            importlib.import_module("morvex_log_py_bindings")
        except ImportError as exc:
            print("ImportError", type(exc).__name__, "only be initialized once" in str(exc))
        else:
            print("no error")
        print(first.log_parser.logs_to_flat_json_str(b"\\x0a\\x04\\x0a\\x02\\x08\\x07"))
        print(first.__all__, first.log_parser.__all__[0])
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "ImportError ImportError True",
        '[{"__time__":7}]',
        "['log_parser'] logs_to_flat_json_str",
    ]


@pytest.mark.parametrize(
    "fn, args, kwargs, message",
    [
        (J, (), {}, "logs_to_flat_json_str() missing 1 required positional argument: 'bytes'"),
        (D, (b"",), {}, "lz4_logs_to_flat_json() missing 3 required positional arguments: "
                        "'raw_size', 'time_as_str', and 'decode_utf8'"),
        (D, (b"", 1), {}, "lz4_logs_to_flat_json() missing 2 required positional arguments: "
                          "'time_as_str' and 'decode_utf8'"),
        (D, (), {"time_as_str": True}, "lz4_logs_to_flat_json() missing 3 required positional arguments: "
                                        "'bytes', 'raw_size', and 'decode_utf8'"),
        (D, (), {}, "lz4_logs_to_flat_json() missing 4 required positional arguments: "
                    "'bytes', 'raw_size', 'time_as_str', and 'decode_utf8'"),
        (JZ, (), {"raw_size": 1}, "lz4_logs_to_flat_json_str() missing 1 required positional argument: 'compressed'"),
        (J, (b"", b""), {}, "logs_to_flat_json_str() takes 1 positional arguments but 2 were given"),
        (JZ, (b"", 1, 2), {"nope": 1}, "lz4_logs_to_flat_json_str() takes 2 positional arguments but 3 were given"),
        (D, (1, 2, 3, 4, 5), {}, "lz4_logs_to_flat_json() takes 4 positional arguments but 5 were given"),
        (J, (b"",), {"bytes": b""}, "logs_to_flat_json_str() got multiple values for argument 'bytes'"),
        (J, (), {"data": b""}, "logs_to_flat_json_str() got an unexpected keyword argument 'data'"),
        (J, (), {"byte": b""}, "logs_to_flat_json_str() got an unexpected keyword argument 'byte'"),
        (J, (), {"Bytes": b""}, "logs_to_flat_json_str() got an unexpected keyword argument 'Bytes'"),
        # keywords are visited in the dictionary's order, the first failure wins
        (J, (b"",), {"data": 1, "bytes": 2}, "logs_to_flat_json_str() got an unexpected keyword argument 'data'"),
        (J, (b"",), {"bytes": 2, "data": 1}, "logs_to_flat_json_str() got multiple values for argument 'bytes'"),
        (J, (), {"\udcff": 1}, "logs_to_flat_json_str() got an unexpected keyword argument '\udcff'"),
        # binding fails before any conversion is tried
        (D, ("not bytes", 1), {}, "lz4_logs_to_flat_json() missing 2 required positional arguments: "
                                  "'time_as_str' and 'decode_utf8'"),
    ],
)
def test_binding_errors(fn, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_keywords_in_any_order_bind_like_positions():
    data = b"\x0a\x04\x0a\x02\x08\x07"
    assert JZ(raw_size=len(data), compressed=compress(data)) == JZ(compress(data), len(data)) == '[{"__time__":7}]'
    assert D(decode_utf8=False, raw_size=len(data), bytes=compress(data), time_as_str=True) == [{"__time__": "7"}]
    assert D(compress(data), len(data), time_as_str=False, decode_utf8=True) == [{"__time__": 7}]


class Index:
    def __init__(self, fn):
        self.fn = fn

    def __index__(self):
        return self.fn()


def _raise(exc):
    raise exc


def test_conversion_errors():
    class Tricky(bytearray):
        pass

    cases = [
        (J, ("x",), "argument 'bytes': 'str' object cannot be converted to 'PyBytes'"),
        (J, (bytearray(b""),), "argument 'bytes': 'bytearray' object cannot be converted to 'PyBytes'"),
        (J, (memoryview(b""),), "argument 'bytes': 'memoryview' object cannot be converted to 'PyBytes'"),
        (J, (None,), "argument 'bytes': 'NoneType' object cannot be converted to 'PyBytes'"),
        (J, (Tricky(),), "argument 'bytes': 'test_conversion_errors.<locals>.Tricky' object "
                         "cannot be converted to 'PyBytes'"),
        (JZ, ("x", 1), "argument 'compressed': 'str' object cannot be converted to 'PyBytes'"),
        (JZ, (EMPTY, 1.5), "argument 'raw_size': 'float' object cannot be interpreted as an integer"),
        (JZ, (EMPTY, "5"), "argument 'raw_size': 'str' object cannot be interpreted as an integer"),
        (JZ, (EMPTY, Index(lambda: _raise(TypeError("boom")))), "argument 'raw_size': boom"),
        (D, (EMPTY, 0, 1, False), "argument 'time_as_str': 'int' object cannot be converted to 'PyBool'"),
        (D, (EMPTY, 0, False, None), "argument 'decode_utf8': 'NoneType' object cannot be converted to 'PyBool'"),
        (D, (EMPTY, 0, False, numpy.int8(1)), "argument 'decode_utf8': 'int8' object cannot be converted to 'PyBool'"),
        # conversion runs in parameter order
        (D, ("x", -1, 1, None), "argument 'bytes': 'str' object cannot be converted to 'PyBytes'"),
        (D, (EMPTY, 1.0, 1, None), "argument 'raw_size': 'float' object cannot be interpreted as an integer"),
        (D, (EMPTY, 0, "yes", None), "argument 'time_as_str': 'str' object cannot be converted to 'PyBool'"),
    ]
    for fn, args, message in cases:
        with pytest.raises(TypeError) as info:
            fn(*args)
        assert type(info.value) is TypeError, message
        assert info.value.args == (message,)
        assert info.value.__cause__ is None and info.value.__suppress_context__


def test_type_error_cause_is_carried_over():
    def fail():
        raise TypeError("boom") from KeyError("why")

    with pytest.raises(TypeError) as info:
        JZ(EMPTY, Index(fail))
    assert str(info.value) == "argument 'raw_size': boom"
    assert isinstance(info.value.__cause__, KeyError) and info.value.__cause__.args == ("why",)


@pytest.mark.parametrize("size", [-1, -(2**63), 2**64, 2**100])
def test_raw_size_out_of_range_is_the_interpreters_overflow_error(size):
    for call in (lambda: JZ(EMPTY, size), lambda: D(EMPTY, size, False, False)):
        with pytest.raises(OverflowError) as info:
            call()
        assert type(info.value) is OverflowError
        assert not str(info.value).startswith("argument")


def test_other_exceptions_from_index_pass_through_unchanged():
    with pytest.raises(ValueError, match="^inner$"):
        JZ(EMPTY, Index(lambda: _raise(ValueError("inner"))))
    with pytest.raises(OverflowError):
        JZ(EMPTY, Index(lambda: -5))


def test_accepted_argument_types():
    class B(bytes):
        pass

    data = b"\x0a\x04\x0a\x02\x08\x07"
    assert J(B(data)) == '[{"__time__":7}]'
    assert JZ(B(compress(data)), Index(lambda: len(data))) == '[{"__time__":7}]'
    assert JZ(compress(data), numpy.int64(len(data))) == '[{"__time__":7}]'
    assert D(compress(data), len(data), numpy.bool_(True), numpy.bool_(False)) == [{"__time__": "7"}]
    assert D(compress(data), len(data), numpy.bool_(False), numpy.bool_(True)) == [{"__time__": 7}]


def _numpy_like(name, namespace, bases=(), meta=type):
    return meta(name, bases, {"__module__": "numpy", **namespace})


class _FalseBase:
    def __bool__(self):
        return False


class _TrueMeta(type):
    def __bool__(cls):
        return True


# Each way a class can define __bool__: it is found on the class or its bases and bound to
# the argument as the interpreter binds special methods, then called with no arguments.
@pytest.mark.parametrize("make, truth", [
    (lambda: _numpy_like("bool_", {"__bool__": lambda self: True}), True),
    (lambda: _numpy_like("bool", {"__bool__": lambda self: False}), False),
    (lambda: _numpy_like("bool_", {"__bool__": staticmethod(lambda: True)}), True),
    (lambda: _numpy_like("bool_", {"__bool__": classmethod(lambda cls: True)}), True),
    (lambda: _numpy_like("bool_", {}, (_FalseBase,)), False),
])
def test_numpy_like_booleans(make, truth):
    data = b"\x0a\x04\x0a\x02\x08\x07"
    value = make()()
    assert D(compress(data), len(data), value, False) == [{"__time__": "7" if truth else 7}]


class _Unbindable:
    def __get__(self, instance, owner):
        raise ValueError("cannot bind")


@pytest.mark.parametrize("make, error, message", [
    # a __bool__ of the metaclass is not the instances' special method
    (lambda: _numpy_like("bool_", {}, meta=_TrueMeta), TypeError,
     "argument 'decode_utf8': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (lambda: _numpy_like("bool", {}), TypeError,
     "argument 'decode_utf8': object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion"),
    (lambda: _numpy_like("bool_", {"__bool__": lambda self: 1}), TypeError,
     "argument 'decode_utf8': 'int' object cannot be converted to 'PyBool'"),
    (lambda: _numpy_like("bool_", {"__bool__": _Unbindable()}), ValueError, "cannot bind"),
    (lambda: _numpy_like("bool_", {"__bool__": lambda self: _raise(TypeError("inner"))}), TypeError,
     "argument 'decode_utf8': inner"),
])
def test_numpy_like_booleans_that_fail(make, error, message):
    with pytest.raises(error) as info:
        D(EMPTY, 0, False, make()())
    assert type(info.value) is error and info.value.args == (message,)


def test_true_as_raw_size_is_one():
    # one byte of input that expands fine but does not decode: only a size of exactly 1 decodes it
    block = compress(b"\x80")
    with pytest.raises(ValueError, match="invalid varint$"):
        JZ(block, True)
    raises_panic(LZ4_BAD_DATA, JZ, block, False)


def test_panic_exception_raised_by_index_becomes_a_new_panic(capfd):
    original = PanicException("from python")
    with pytest.raises(PanicException) as info:
        JZ(EMPTY, Index(lambda: _raise(original)))
    assert info.value.args == ("from python",)
    assert info.value is not original
    assert "Python stack trace below:" in capfd.readouterr().err
