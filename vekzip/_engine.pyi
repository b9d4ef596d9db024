# Types of vekzip's private engine.
class Compressor:
    def __init__(
        self,
        level: int,
        format: int,
        threads: int,
        chunk_size: int,
        header: bytes = b"",
        index: bool = False,
        fail_at: int = -1,
    ) -> None: ...
    def compress(
    data: bytes | bytearray | memoryview, level: int, format: int, threads: int, chunk_size: int, fail_at: int = -1
) -> bytes: ...
def compress_indexed(
    data: bytes | bytearray | memoryview, level: int, format: int, threads: int, chunk_size: int
) -> tuple[bytes, list[tuple[int, int, int, int]]]: ...
def crc32_combine(crc_a: int, crc_b: int, length_b: int) -> int: ...
