"""Type information for ``morvex_log_py_bindings.log_parser``.

At run time the submodule is reached only as an attribute of the top module
(``from morvex_log_py_bindings import log_parser``); it is not registered in
``sys.modules``, so ``import morvex_log_py_bindings.log_parser`` fails even though a type
checker accepts it.

Every parameter is positional-or-keyword. ``bytes`` and ``compressed`` must be ``bytes``
(or a subclass); ``bytearray`` and ``memoryview`` are refused with TypeError. ``raw_size``
is an ``int`` from 0 to 2**64 - 1 (anything with ``__index__`` is accepted). The two flags
must be real ``bool`` values (numpy booleans are accepted too); ``0``/``1`` are refused.
"""

from typing import Literal, overload

__all__ = ["logs_to_flat_json_str", "lz4_logs_to_flat_json_str", "lz4_logs_to_flat_json"]

def logs_to_flat_json_str(bytes: bytes) -> str:
    """Protobuf ``LogGroupList`` bytes -> compact JSON array, one object per log, keys in
    ascending byte order. Raises ValueError when the bytes are not a valid batch."""

def lz4_logs_to_flat_json_str(compressed: bytes, raw_size: int) -> str:
    """One raw LZ4 block (no frame, no size prefix) expanding to at most ``raw_size`` bytes
    -> the same JSON text as ``logs_to_flat_json_str``. Raises PanicException when the block
    cannot be expanded, ValueError when the expanded bytes are not a valid batch."""

# Value types of one flat dict: "__time__"/"__time_ns__" follow time_as_str (str or int),
# content values follow decode_utf8 (str or bytes), topic, source and tags are always str.
# A content may take a reserved key, so each dict's values are the union of these.
@overload
def lz4_logs_to_flat_json(
    bytes: bytes, raw_size: int, time_as_str: Literal[True], decode_utf8: Literal[True]
) -> list[dict[str, str]]:
    """One raw LZ4 block -> a list with one dict per log, keys in insertion order:
    "__time__", "__time_ns__", the contents, "__topic__", "__source__", the tags."""

@overload
def lz4_logs_to_flat_json(
    bytes: bytes, raw_size: int, time_as_str: Literal[False], decode_utf8: Literal[True]
) -> list[dict[str, int | str]]: ...
@overload
def lz4_logs_to_flat_json(
    bytes: bytes, raw_size: int, time_as_str: Literal[True], decode_utf8: Literal[False]
) -> list[dict[str, str | bytes]]: ...
@overload
def lz4_logs_to_flat_json(
    bytes: bytes, raw_size: int, time_as_str: Literal[False], decode_utf8: Literal[False]
) -> list[dict[str, int | str | bytes]]: ...
@overload
def lz4_logs_to_flat_json(
    bytes: bytes, raw_size: int, time_as_str: bool, decode_utf8: bool
) -> list[dict[str, int | str | bytes]]: ...
