# Types of the vek extension module, for editors and type checkers.
from typing import Final, SupportsIndex

VEK_FMT_GZIP: Final = 0
VEK_FMT_ZLIB: Final = 1
VEK_FMT_DEFLATE: Final = 2

# pybind11 makes its classes with a metaclass of its own; named here so that
# the stub and the module agree on what kind of class compressobj is.
class _pybind11_type(type): ...

class compressobj(metaclass=_pybind11_type):
    """A DEFLATE stream: odd ``level`` compresses, even stores; ``format`` is
    VEK_FMT_GZIP, VEK_FMT_ZLIB or anything else for raw DEFLATE."""

    def __init__(self, level: SupportsIndex = 1, format: SupportsIndex = 2) -> None: ...
    def compress(self, obj: bytes) -> bytes:
        """The compressed bytes that this part of the input produced."""
    def flush(self) -> bytes:
        """Ends the stream and returns its last bytes."""
