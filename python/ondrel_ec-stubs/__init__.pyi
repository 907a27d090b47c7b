"""Systematic Reed-Solomon erasure coding over GF(2^16).

Codec errors (unsupported counts, bad or duplicate indices, too few shards)
raise RuntimeError; argument errors raise TypeError, ValueError or
OverflowError; internal failures raise native_runtime.InternalFailure, a
BaseException subclass that is not reachable as a module attribute.
"""

from collections.abc import Buffer, Sequence
from typing import SupportsIndex, TypeAlias

# Bytes, bytearray, a one-dimensional unsigned-byte memoryview, or any
# sequence of integers in 0..255.
_ByteData: TypeAlias = Buffer | Sequence[SupportsIndex]

__all__ = ["encode_py", "decode_py", "multi_encode_py"]

def encode_py(data: _ByteData, orig: SupportsIndex, rec: SupportsIndex) -> list[bytes]:
    """Pads `data` with zeros to a multiple of 2 * orig bytes and returns
    orig + rec shards of equal length: the original shards (consecutive
    slices of the padded data), then the recovery shards."""

def decode_py(shards: Sequence[tuple[_ByteData, SupportsIndex]], orig: SupportsIndex, rec: SupportsIndex) -> bytes:
    """Rebuilds the padded data from any `orig` distinct `(shard, index)`
    pairs; indices 0..orig-1 are original shards, orig..orig+rec-1 recovery
    shards."""

def multi_encode_py(segments: Sequence[bytes], orig: SupportsIndex, rec: SupportsIndex) -> list[list[bytes]]:
    """`encode_py` for each segment, on a pool of worker threads; results in
    input order."""
