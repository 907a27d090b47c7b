"""How inputs are read and results are made: bytes objects are read where they
are, every other form is copied while the call holds the interpreter lock,
results are fresh objects, and failures keep their order."""

import random
import threading

import pytest

from ondrel_ec import decode_py, encode_py, multi_encode_py

PAYLOAD = random.Random(3).randbytes(6 * 40 + 5)


class PlainBytes(bytes):
    pass


class CountedLenBytes(bytes):
    """Redefines __len__: item-by-item conversion asks it, so it must be asked."""

    asked = 0

    def __len__(self):
        CountedLenBytes.asked += 1
        return super().__len__()


class ShiftedBytes(bytes):
    """Iterates over different values than it stores."""

    def __iter__(self):
        return iter(bytes((b + 1) & 0xFF for b in super().__iter__()))


FORMS = [
    bytes,
    PlainBytes,
    CountedLenBytes,
    bytearray,
    memoryview,
    lambda b: memoryview(bytearray(b)),
    lambda b: memoryview(b"!" + b + b"!")[1:-1],
]


@pytest.mark.parametrize("make", FORMS, ids=range(len(FORMS)))
def test_every_bytes_like_form_codes_like_bytes(make):
    shards = encode_py(PAYLOAD, 3, 4)
    assert encode_py(make(PAYLOAD), 3, 4) == shards
    given = [(make(shards[k]), k) for k in (5, 1, 6)]
    assert decode_py(given, 3, 4)[: len(PAYLOAD)] == PAYLOAD


def test_subclass_overrides_are_still_honoured():
    CountedLenBytes.asked = 0
    encode_py(CountedLenBytes(PAYLOAD), 3, 4)
    decode_py([(CountedLenBytes(b"ab"), 0)], 1, 1)
    assert CountedLenBytes.asked == 2
    shifted = bytes((b + 1) & 0xFF for b in PAYLOAD)
    assert encode_py(ShiftedBytes(PAYLOAD), 3, 4) == encode_py(shifted, 3, 4)
    assert decode_py([(ShiftedBytes(b"ab"), 0)], 1, 1) == b"bc"


def test_results_are_fresh_independent_bytes():
    data = PAYLOAD[: 2 * 50]  # no padding: original shard 0 is data itself
    shards = encode_py(data, 1, 3)
    assert all(type(s) is bytes for s in shards)
    assert shards[0] == shards[1] == data  # with orig = 1 every shard is a copy of the data
    assert len({id(s) for s in shards} | {id(data)}) == 5
    restored = decode_py([(data, 0)], 1, 3)
    assert restored == data and restored is not data and type(restored) is bytes
    batch = multi_encode_py([data, data, PlainBytes(data)], 1, 3)
    ids = {id(s) for shards in batch for s in shards}
    assert batch == [shards] * 3 and len(ids) == 12 and id(data) not in ids
    assert all(type(s) is bytes for shards in batch for s in shards)


def test_mutable_inputs_are_copied_before_the_lock_is_released():
    # A second thread keeps swapping the whole content of the buffers (one
    # slice assignment at a time, under the lock) while they are coded: every
    # result must be that of one state, never a mix.
    size = 6 * (1 << 18)
    states = [bytes([k]) * size for k in (0x11, 0xEE)]
    shard_states = [encode_py(s, 6, 2) for s in states]
    data = bytearray(states[0])
    shard = bytearray(shard_states[0][7])
    originals = [(shard_states[0][k], k) for k in range(5)]
    restorations = [decode_py(originals + [(s[7], 7)], 6, 2) for s in shard_states]
    done = threading.Event()

    def swap():
        k = 0
        while not done.is_set():
            k ^= 1
            data[:] = states[k]
            shard[:] = shard_states[k][7]

    thread = threading.Thread(target=swap)
    thread.start()
    try:
        for _ in range(6):
            assert encode_py(data, 6, 2) in shard_states
            assert encode_py(memoryview(data), 6, 2) in shard_states
            assert decode_py(originals + [(shard, 7)], 6, 2) in restorations
    finally:
        done.set()
        thread.join()
    # Changing the input afterwards changes nothing already returned.
    data = bytearray(PAYLOAD)
    shards = encode_py(data, 3, 4)
    data[:] = bytes(len(data))
    assert shards == encode_py(PAYLOAD, 3, 4)


def failure_of(call):
    try:
        call()
    except BaseException as error:  # InternalFailure derives from BaseException
        return type(error).__name__, str(error)
    return None


DIVIDE = ("InternalFailure", "attempt to calculate the remainder with a divisor of zero")

# Each call has more than one fault: the one listed is the one raised.
ORDERED_FAILURES = [
    # Argument errors come before the operation's own failures.
    (lambda: encode_py("text", 0, 0), ("TypeError", "argument 'data': Can't extract `str` to `Vec`")),
    (lambda: encode_py(b"ab", 3, -1), ("OverflowError", "can't convert negative int to unsigned")),
    (lambda: decode_py([(b"ab", 0), 5], 0, 0),
     ("TypeError", "argument 'shards': 'int' object cannot be converted to 'PyTuple'")),
    (lambda: decode_py([], 1, -1), ("OverflowError", "can't convert negative int to unsigned")),
    (lambda: multi_encode_py([b"ab", "cd"], 0, 0),
     ("TypeError", "argument 'segments': 'str' object cannot be converted to 'PyBytes'")),
    (lambda: multi_encode_py([b"ab"], 2, -1), ("OverflowError", "can't convert negative int to unsigned")),
    # Then the operation's order: orig = 0 before the counts.
    (lambda: encode_py(b"", 0, 0), DIVIDE),
    (lambda: encode_py(bytearray(b"x"), 0, 70000), DIVIDE),
    (lambda: multi_encode_py([b"x"], 0, 0), DIVIDE),
    (lambda: encode_py(b"x", 2, 0), ("RuntimeError", "UnsupportedShardCount { original_count: 2, recovery_count: 0 }")),
    # decode: an empty list, then orig = 0, then the counts, then the shards.
    (lambda: decode_py([], 0, 0), ("InternalFailure", "index out of bounds: the len is 0 but the index is 0")),
    (lambda: decode_py([(b"a", 9)], 0, 0), ("InternalFailure", "attempt to divide by zero")),
    (lambda: decode_py([(b"a", 9)], 2, 0), ("RuntimeError", "UnsupportedShardCount { original_count: 2, recovery_count: 0 }")),
    (lambda: decode_py([(b"abcd", 0), (b"ab", 5)], 2, 1),
     ("RuntimeError", "InvalidRecoveryShardIndex { recovery_count: 1, index: 3 }")),
    (lambda: decode_py([(b"abcd", 0), (b"a", 5)], 2, 1), ("InternalFailure", "index out of bounds: the len is 1 but the index is 1")),
    (lambda: decode_py([(b"abcd", 1), (bytearray(b"ab"), 0), (b"ab", 1)], 2, 1),
     ("RuntimeError", "DuplicateOriginalShardIndex { index: 1 }")),
    (lambda: decode_py([(b"abcd", 1), (memoryview(b"abc"), 0)], 2, 1),
     ("InternalFailure", "index out of bounds: the len is 3 but the index is 3")),
]


@pytest.mark.parametrize("call, expected", ORDERED_FAILURES, ids=range(len(ORDERED_FAILURES)))
def test_failures_keep_their_order(call, expected):
    assert failure_of(call) == expected


def test_batch_without_segments_checks_nothing():
    assert multi_encode_py([], 0, 0) == []
