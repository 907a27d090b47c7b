"""Coding through the three functions: exact layouts, round trips, batches, and
the order in which failures surface. `make test` runs this file once more
under every kernel set the machine runs (ONDREL_EC_KERNEL)."""

from functools import reduce

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ondrel_ec import decode_py, encode_py, multi_encode_py

h = bytes.fromhex

ENCODE_EXAMPLES = [
    ("0102030405", 2, 1, ["01020304", "05000000", "04020304"]),
    ("010002000300", 3, 2, ["0100", "0200", "0300", "0C00", "0C00"]),
    ("01000200", 2, 3, ["0100", "0200", "0000", "0300", "0E00"]),
    ("0102030405060708", 2, 2, ["01020304", "05060708", "35094901", "310D4D0D"]),
    ("01020304050607", 3, 1, ["01020304", "05060700", "00000000", "04040404"]),
    ("07", 1, 1, ["0700", "0700"]),
    ("", 2, 3, [""] * 5),
]


@pytest.mark.parametrize("data, orig, rec, expected", ENCODE_EXAMPLES)
def test_encode_examples(data, orig, rec, expected):
    shards = encode_py(h(data), orig, rec)
    assert type(shards) is list and all(type(shard) is bytes for shard in shards)
    assert shards == [h(shard) for shard in expected]


DECODE_EXAMPLES = [
    ([("05000000", 1), ("04020304", 2)], 2, 1, "0102030405000000"),
    ([("310D4D0D", 3), ("01020304", 0)], 2, 2, "0102030405060708"),
    ([("0300", 3), ("0E00", 4)], 2, 3, "01000200"),
    ([("", 99)], 2, 1, ""),
    ([("0102", 0), ("030405", 1)], 2, 1, "01020304"),
]


@pytest.mark.parametrize("shards, orig, rec, expected", DECODE_EXAMPLES)
def test_decode_examples(shards, orig, rec, expected):
    restored = decode_py([(h(shard), index) for shard, index in shards], orig, rec)
    assert type(restored) is bytes and restored == h(expected)


@settings(max_examples=80, deadline=None)
@given(orig=st.integers(1, 300), rec=st.integers(1, 300), data=st.binary(max_size=1500),
       rnd=st.randoms(use_true_random=False))
def test_any_orig_shards_rebuild_the_padded_data(orig, rec, data, rnd):
    shards = encode_py(data, orig, rec)
    padded = data + bytes(-len(data) % (2 * orig))
    assert len(shards) == orig + rec and {len(shard) for shard in shards} == {len(padded) // orig}
    assert b"".join(shards[:orig]) == padded
    if rec == 1:
        assert shards[orig] == reduce(lambda a, b: bytes(x ^ y for x, y in zip(a, b)), shards[:orig])
    chosen = rnd.sample(range(orig + rec), orig)
    assert decode_py([(shards[i], i) for i in chosen], orig, rec) == padded


SEGMENTS = [b"", b"a", bytes(range(256)), b"\xff" * 1001, b"tail"] + [bytes([i]) * i for i in range(40)]


@pytest.mark.parametrize("orig, rec", [(1, 1), (3, 2), (2, 5), (10, 10), (342, 681)])
def test_batch_matches_encode_in_input_order(orig, rec):
    assert multi_encode_py(SEGMENTS, orig, rec) == [encode_py(segment, orig, rec) for segment in SEGMENTS]
    assert multi_encode_py([], 0, 0) == [] and multi_encode_py((), 2, 0) == []


def failure_of(call):
    try:
        call()
    except BaseException as error:  # InternalFailure derives from BaseException
        return type(error).__name__, *error.args
    return None


DIVIDE = ("InternalFailure", "attempt to calculate the remainder with a divisor of zero")
UNSUPPORTED_2_0 = ("RuntimeError", "UnsupportedShardCount { original_count: 2, recovery_count: 0 }")

# Several rows have more than one fault: the one listed is the one raised.
FAILURES = [
    # Argument errors before the operation's own failures.
    (lambda: encode_py("text", 0, 0), ("TypeError", "argument 'data': Can't extract `str` to `Vec`")),
    (lambda: decode_py([(b"ab", 0), 5], 0, 0),
     ("TypeError", "argument 'shards': 'int' object cannot be converted to 'PyTuple'")),
    (lambda: decode_py([], 1, -1), ("OverflowError", "can't convert negative int to unsigned")),
    (lambda: multi_encode_py([b"ab", "cd"], 0, 0),
     ("TypeError", "argument 'segments': 'str' object cannot be converted to 'PyBytes'")),
    # encode: orig = 0 before the counts.
    (lambda: encode_py(b"", 0, 0), DIVIDE),
    (lambda: encode_py(bytearray(b"x"), 0, 70000), DIVIDE),
    (lambda: multi_encode_py([b"x", b""], 0, 1), DIVIDE),
    (lambda: encode_py(b"ab", 2, 0), UNSUPPORTED_2_0),
    (lambda: multi_encode_py([b"ab", b""], 2, 0), UNSUPPORTED_2_0),
    (lambda: encode_py(b"", 2**64 - 1, 1),
     ("RuntimeError", "UnsupportedShardCount { original_count: 18446744073709551615, recovery_count: 1 }")),
    # decode: an empty list, then orig = 0, then the counts, then the shards.
    (lambda: decode_py([], 0, 0), ("InternalFailure", "index out of bounds: the len is 0 but the index is 0")),
    (lambda: decode_py([(b"a", 9)], 0, 0), ("InternalFailure", "attempt to divide by zero")),
    (lambda: decode_py([(b"a", 9)], 2, 0), UNSUPPORTED_2_0),
    (lambda: decode_py([(b"ab", 0), (b"cd", 0)], 2, 1), ("RuntimeError", "DuplicateOriginalShardIndex { index: 0 }")),
    (lambda: decode_py([(b"ab", 3), (b"cd", 3)], 2, 2), ("RuntimeError", "DuplicateRecoveryShardIndex { index: 1 }")),
    (lambda: decode_py([(b"abcd", 0), (b"ab", 5)], 2, 1),
     ("RuntimeError", "InvalidRecoveryShardIndex { recovery_count: 1, index: 3 }")),
    (lambda: decode_py([(b"ab", 3)], 3, 2),
     ("RuntimeError", "NotEnoughShards { original_count: 3, original_received_count: 0, recovery_received_count: 1 }")),
    (lambda: decode_py([(b"abcd", 0), (b"a", 5)], 2, 1),
     ("InternalFailure", "index out of bounds: the len is 1 but the index is 1")),
    (lambda: decode_py([(b"abcd", 0), (b"ab", 1)], 2, 1),
     ("InternalFailure", "index out of bounds: the len is 2 but the index is 2")),
    (lambda: decode_py([(b"abc", 0), (memoryview(b"abc"), 1)], 2, 1),
     ("InternalFailure", "index out of bounds: the len is 3 but the index is 3")),
]


@pytest.mark.parametrize("call, expected", FAILURES)
def test_failures_surface_in_order(call, expected):
    assert failure_of(call) == expected


def test_internal_failures_escape_except_exception():
    with pytest.raises(BaseException) as info:
        try:
            encode_py(b"x", 0, 1)
        except Exception:
            pass
    failure = type(info.value)
    assert (failure.__module__, failure.__name__, failure.__bases__) == ("native_runtime", "InternalFailure",
                                                                         (BaseException,))
    assert "BaseException" in failure.__doc__
    # One class for the whole process, and the module keeps working.
    with pytest.raises(failure):
        decode_py([], 1, 1)
    assert encode_py(b"ab", 1, 1) == [b"ab", b"ab"]
