"""Coding results through the Python functions: exact layouts, round trips,
batches and how codec errors and internal failures surface."""

from functools import reduce

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ondrel_ec import decode_py, encode_py, multi_encode_py

h = bytes.fromhex

ENCODE_EXAMPLES = [
    (h("0102030405"), 2, 1, ["01020304", "05000000", "04020304"]),
    (h("010002000300"), 3, 2, ["0100", "0200", "0300", "0C00", "0C00"]),
    (h("01000200"), 2, 3, ["0100", "0200", "0000", "0300", "0E00"]),
    (h("0102030405060708"), 2, 2, ["01020304", "05060708", "35094901", "310D4D0D"]),
    (h("01020304050607"), 3, 1, ["01020304", "05060700", "00000000", "04040404"]),
    (h("07"), 1, 1, ["0700", "0700"]),
    (b"", 2, 3, [""] * 5),
]


@pytest.mark.parametrize("data, orig, rec, expected", ENCODE_EXAMPLES,
                         ids=[f"{data.hex() or 'empty'}-{orig}-{rec}" for data, orig, rec, _ in ENCODE_EXAMPLES])
def test_encode_examples(data, orig, rec, expected):
    shards = encode_py(data, orig, rec)
    assert type(shards) is list and all(type(shard) is bytes for shard in shards)
    assert shards == [h(shard) for shard in expected]


DECODE_EXAMPLES = [
    ([("05000000", 1), ("04020304", 2)], 2, 1, "0102030405000000"),
    ([("35094901", 2), ("310D4D0D", 3)], 2, 2, "0102030405060708"),
    ([("310D4D0D", 3), ("01020304", 0)], 2, 2, "0102030405060708"),
    ([("05060708", 1), ("01020304", 0), ("35094901", 2)], 2, 2, "0102030405060708"),
    ([("0300", 3), ("0E00", 4)], 2, 3, "01000200"),
    ([("", 0)], 2, 1, ""),
    ([("", 99)], 2, 1, ""),
    ([("0102", 0), ("030405", 1)], 2, 1, "01020304"),
]


@pytest.mark.parametrize("shards, orig, rec, expected", DECODE_EXAMPLES,
                         ids=[f"{len(shards)}-of-{orig}-{rec}" for shards, orig, rec, _ in DECODE_EXAMPLES])
def test_decode_examples(shards, orig, rec, expected):
    restored = decode_py([(h(shard), index) for shard, index in shards], orig, rec)
    assert type(restored) is bytes
    assert restored == h(expected)


COUNTS = [(1, 1), (2, 1), (1, 3), (3, 2), (2, 3), (5, 5), (4, 12), (16, 4), (37, 90), (90, 37)]


@settings(max_examples=60, deadline=None)
@given(data=st.binary(max_size=700), counts=st.sampled_from(COUNTS), rnd=st.randoms(use_true_random=False))
def test_any_orig_shards_rebuild_the_padded_data(data, counts, rnd):
    orig, rec = counts
    shards = encode_py(data, orig, rec)
    padded = data + bytes(-len(data) % (2 * orig))
    shard_len = len(padded) // orig
    assert len(shards) == orig + rec and {len(shard) for shard in shards} == {shard_len}
    assert b"".join(shards[:orig]) == padded
    if rec == 1:
        assert shards[orig] == reduce(lambda a, b: bytes(x ^ y for x, y in zip(a, b)), shards[:orig])

    chosen = rnd.sample(range(orig + rec), orig)
    assert decode_py([(shards[i], i) for i in chosen], orig, rec) == padded


CODEC_ERRORS = [
    (lambda: encode_py(b"ab", 2, 0), "UnsupportedShardCount { original_count: 2, recovery_count: 0 }"),
    (lambda: encode_py(b"", 2, 0), "UnsupportedShardCount { original_count: 2, recovery_count: 0 }"),
    (lambda: encode_py(b"", 65536, 1), "UnsupportedShardCount { original_count: 65536, recovery_count: 1 }"),
    (lambda: encode_py(b"", 2**64 - 1, 1),
     "UnsupportedShardCount { original_count: 18446744073709551615, recovery_count: 1 }"),
    (lambda: multi_encode_py([b"ab", b""], 2, 0), "UnsupportedShardCount { original_count: 2, recovery_count: 0 }"),
    (lambda: decode_py([(b"ab", 0)], 1, 0), "UnsupportedShardCount { original_count: 1, recovery_count: 0 }"),
    (lambda: decode_py([(b"ab", 0), (b"cd", 0)], 2, 1), "DuplicateOriginalShardIndex { index: 0 }"),
    (lambda: decode_py([(b"ab", 3), (b"cd", 3)], 2, 2), "DuplicateRecoveryShardIndex { index: 1 }"),
    (lambda: decode_py([(b"ab", 3)], 2, 1), "InvalidRecoveryShardIndex { recovery_count: 1, index: 1 }"),
    (lambda: decode_py([(b"ab", 3)], 3, 2),
     "NotEnoughShards { original_count: 3, original_received_count: 0, recovery_received_count: 1 }"),
]


@pytest.mark.parametrize("call, message", CODEC_ERRORS)
def test_codec_errors_raise_runtime_error_with_debug_text(call, message):
    with pytest.raises(RuntimeError) as info:
        call()
    assert type(info.value) is RuntimeError
    assert info.value.args == (message,)


INTERNAL_FAILURES = [
    (lambda: encode_py(b"x", 0, 1), "attempt to calculate the remainder with a divisor of zero"),
    (lambda: multi_encode_py([b"x", b""], 0, 1), "attempt to calculate the remainder with a divisor of zero"),
    (lambda: decode_py([], 2, 1), "index out of bounds: the len is 0 but the index is 0"),
    (lambda: decode_py([(b"ab", 0)], 0, 1), "attempt to divide by zero"),
    (lambda: decode_py([(b"abcd", 0), (b"ab", 1)], 2, 1), "index out of bounds: the len is 2 but the index is 2"),
    (lambda: decode_py([(b"abc", 0), (b"abc", 1)], 2, 1), "index out of bounds: the len is 3 but the index is 3"),
]


def swallowing_exception(call):
    try:
        call()
    except Exception:
        return "swallowed"
    return "returned"


@pytest.mark.parametrize("call, message", INTERNAL_FAILURES)
def test_internal_failures_escape_except_exception(call, message):
    with pytest.raises(BaseException) as info:
        swallowing_exception(call)
    failure = type(info.value)
    assert (failure.__module__, failure.__name__) == ("native_runtime", "InternalFailure")
    assert failure.__bases__ == (BaseException,)
    assert info.value.args == (message,)
    assert "BaseException" in failure.__doc__
    # One class for the whole process, and the module keeps working.
    with pytest.raises(failure):
        encode_py(b"", 0, 0)
    assert encode_py(b"ab", 1, 1) == [b"ab", b"ab"]


SEGMENTS = [b"", b"a", bytes(range(256)), b"\xff" * 1001, b"tail"] + [bytes([i]) * i for i in range(40)]


@pytest.mark.parametrize("orig, rec", [(1, 1), (3, 2), (2, 5), (10, 10)])
def test_batch_matches_encode_in_input_order(orig, rec):
    assert multi_encode_py(SEGMENTS, orig, rec) == [encode_py(segment, orig, rec) for segment in SEGMENTS]


def test_empty_batch_checks_no_counts():
    assert multi_encode_py([], 0, 0) == []
    assert multi_encode_py((), 2, 0) == []
