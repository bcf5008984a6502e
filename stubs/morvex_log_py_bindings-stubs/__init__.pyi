"""Type information for the extension module morvex_log_py_bindings.

The module is a single compiled file; its only public names are the submodule
``log_parser`` (listed in ``__all__``) and the exception class ``PanicException``.
"""

from . import log_parser as log_parser

__all__ = ["log_parser"]

class PanicException(BaseException):
    """Raised when the native code fails with an internal fault, for example an LZ4 block
    that cannot be expanded. Like SystemExit it derives from BaseException, so
    ``except Exception`` does not catch it. Its one argument is the fault's message."""

    ...
