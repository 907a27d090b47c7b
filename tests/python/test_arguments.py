"""Argument binding and conversion: accepted forms, exact error texts and order."""

import threading
from array import array

import pytest

from ondrel_ec import decode_py, encode_py, multi_encode_py


class Outer:
    class Inner:
        pass


class StrSubclass(str):
    pass


def reversed_iteration(base):
    """A subclass of `base` that iterates backwards: only the item-by-item rule sees that."""
    return type("Reversed" + base.__name__, (base,), {"__iter__": lambda self: iter(bytes(reversed(self)))})


class Index:
    """An object with __index__ that records whether it was asked."""

    def __init__(self, value):
        self.value, self.asked = value, False

    def __index__(self):
        self.asked = True
        return self.value


class Raising:
    """Raises a given exception from __index__ and from __getitem__ (a sequence of one item)."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error

    def __len__(self):
        return 1

    def __getitem__(self, position):
        raise self.error


def released_view():
    view = memoryview(b"ab")
    view.release()
    return view


BINDING_ERRORS = [
    (lambda: encode_py(b"", 1, 1, 1), "encode_py() takes 3 positional arguments but 4 were given"),
    (lambda: decode_py(1, 2, 3, 4, 5, orig=1), "decode_py() takes 3 positional arguments but 5 were given"),
    (lambda: encode_py(b"", 1, 1, foo=1), "encode_py() got an unexpected keyword argument 'foo'"),
    (lambda: encode_py(b"", foo=1, data=b""), "encode_py() got an unexpected keyword argument 'foo'"),
    (lambda: encode_py(b"", data=b"", foo=1), "encode_py() got multiple values for argument 'data'"),
    (lambda: multi_encode_py([], 1, rec=1, orig=1), "multi_encode_py() got multiple values for argument 'orig'"),
    (lambda: encode_py(), "encode_py() missing 3 required positional arguments: 'data', 'orig', and 'rec'"),
    (lambda: encode_py("unchecked"), "encode_py() missing 2 required positional arguments: 'orig' and 'rec'"),
    (lambda: decode_py(orig=1), "decode_py() missing 2 required positional arguments: 'shards' and 'rec'"),
    (lambda: decode_py([], 1), "decode_py() missing 1 required positional argument: 'rec'"),
    (lambda: multi_encode_py(rec=1, orig=1), "multi_encode_py() missing 1 required positional argument: 'segments'"),
]


def test_keywords_bind_like_positions():
    assert encode_py(rec=2, data=b"abc", orig=2) == encode_py(b"abc", 2, 2)
    shards = [(b"ab", 0), (b"cd", 1)]
    assert decode_py(shards, rec=1, orig=2) == decode_py(shards, 2, 1)
    assert multi_encode_py(orig=1, rec=1, segments=[b"x"]) == multi_encode_py([b"x"], 1, 1)


ERRORS = [
    # data
    (lambda: encode_py("", 1, 1), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (lambda: encode_py(StrSubclass("ab"), 1, 1), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (lambda: encode_py(5, 1, 1), TypeError, "argument 'data': 'int' object cannot be converted to 'Sequence'"),
    (lambda: encode_py(Outer.Inner(), 1, 1), TypeError,
     "argument 'data': 'Outer.Inner' object cannot be converted to 'Sequence'"),
    (lambda: encode_py([1, 256], 1, 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: encode_py([-1], 1, 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: encode_py(array("H", [1, 300]), 1, 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: encode_py([2**70], 1, 1), OverflowError, "Python int too large to convert to C long"),
    (lambda: encode_py([1.0], 1, 1), TypeError, "argument 'data': 'float' object cannot be interpreted as an integer"),
    (lambda: encode_py(memoryview(b"ab").cast("c"), 1, 1), TypeError,
     "argument 'data': 'bytes' object cannot be interpreted as an integer"),
    (lambda: encode_py(released_view(), 1, 1), ValueError, "operation forbidden on released memoryview object"),
    (lambda: encode_py(memoryview(b"\x01\x02\x03\x04").cast("B", (2, 2)), 1, 1), NotImplementedError,
     "multi-dimensional sub-views are not implemented"),
    # orig and rec
    (lambda: encode_py(b"", 2.0, 1), TypeError, "argument 'orig': 'float' object cannot be interpreted as an integer"),
    (lambda: encode_py(b"", -1, 1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: encode_py(b"", 1, 2**64), OverflowError, "int too big to convert"),
    # shards
    (lambda: decode_py("", 1, 1), TypeError, "argument 'shards': Can't extract `str` to `Vec`"),
    (lambda: decode_py(7, 1, 1), TypeError, "argument 'shards': 'int' object cannot be converted to 'Sequence'"),
    (lambda: decode_py([[b"ab", 0]], 1, 1), TypeError,
     "argument 'shards': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: decode_py([(b"ab", 0, 1)], 1, 1), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda: decode_py([("ab", 0)], 1, 1), TypeError, "argument 'shards': Can't extract `str` to `Vec`"),
    (lambda: decode_py([(b"ab", -1)], 1, 1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: decode_py([(b"ab", 1.5)], 1, 1), TypeError,
     "argument 'shards': 'float' object cannot be interpreted as an integer"),
    (lambda: decode_py([(b"ab", 0)], 1, "x"), TypeError,
     "argument 'rec': 'str' object cannot be interpreted as an integer"),
    # segments
    (lambda: multi_encode_py("ab", 1, 1), TypeError, "argument 'segments': Can't extract `str` to `Vec`"),
    (lambda: multi_encode_py(3, 1, 1), TypeError,
     "argument 'segments': 'int' object cannot be converted to 'Sequence'"),
    (lambda: multi_encode_py([b"a", bytearray(b"b")], 1, 1), TypeError,
     "argument 'segments': 'bytearray' object cannot be converted to 'PyBytes'"),
]


@pytest.mark.parametrize("call, error_type, message", [(c, TypeError, m) for c, m in BINDING_ERRORS] + ERRORS)
def test_binding_and_conversion_errors(call, error_type, message):
    with pytest.raises(error_type) as info:
        call()
    assert (type(info.value), str(info.value)) == (error_type, message)


@pytest.mark.parametrize("call", [
    lambda orig, rec: encode_py("bad", orig, rec),
    lambda orig, rec: decode_py([(b"", 0, 0)], orig, rec),
    lambda orig, rec: multi_encode_py([bytearray()], orig, rec),
])
def test_later_arguments_are_not_looked_at_after_an_error(call):
    orig, rec = Index(1), Index(1)
    with pytest.raises((TypeError, ValueError)):
        call(orig, rec)
    assert not orig.asked and not rec.asked


# Each entry passes a Raising object to one parameter; `name` is the prefix.
RAISING_PLACES = [
    (lambda bad: encode_py(bad, 1, 1), "data"),
    (lambda bad: encode_py([bad], 1, 1), "data"),
    (lambda bad: encode_py(b"", bad, 1), "orig"),
    (lambda bad: decode_py([(b"", bad)], 1, 1), "shards"),
    (lambda bad: multi_encode_py([], 1, bad), "rec"),
]


@pytest.mark.parametrize("call, name", RAISING_PLACES)
def test_only_a_plain_type_error_is_prefixed_keeping_its_cause(call, name):
    original = TypeError("boom")
    original.__cause__ = KeyError("why")
    for error, text, cause in [(original, "boom", original.__cause__), (TypeError("plain"), "plain", None)]:
        with pytest.raises(TypeError) as info:
            call(Raising(error))
        assert type(info.value) is TypeError and info.value is not error
        assert (str(info.value), info.value.__cause__) == (f"argument '{name}': {text}", cause)
    for error in [type("TypeErrorSubclass", (TypeError,), {})("sub"), ValueError("value"), ZeroDivisionError("z")]:
        with pytest.raises(type(error)) as info:
            call(Raising(error))
        assert info.value is error


PAYLOAD = bytes([0, 1, 127, 128, 200, 255, 7, 9]) * 5 + b"\x03\x04"


class CountedLenBytes(bytes):
    """Redefines __len__: item-by-item conversion asks it, so it must be asked."""

    asked = 0

    def __len__(self):
        CountedLenBytes.asked += 1
        return super().__len__()


EQUIVALENT_DATA = [
    PAYLOAD, CountedLenBytes(PAYLOAD), bytearray(PAYLOAD), memoryview(PAYLOAD), memoryview(bytearray(PAYLOAD)),
    memoryview(b"!" + PAYLOAD + b"!")[1:-1], list(PAYLOAD), tuple(PAYLOAD), array("B", PAYLOAD),
    array("H", list(PAYLOAD)), memoryview(bytes(b for x in PAYLOAD for b in (x, 99)))[::2], [Index(x) for x in PAYLOAD],
]


@pytest.mark.parametrize("data", EQUIVALENT_DATA, ids=lambda d: type(d).__name__)
def test_every_sequence_form_gives_the_same_shards(data):
    assert encode_py(data, 3, 4) == encode_py(PAYLOAD, 3, 4)
    assert decode_py([(data, 0)], 1, 1) == PAYLOAD


@pytest.mark.parametrize("make", [reversed_iteration(bytes), reversed_iteration(bytearray)])
def test_subclasses_are_read_by_iteration(make):
    CountedLenBytes.asked = 0
    encode_py(CountedLenBytes(PAYLOAD), 3, 4)
    decode_py([(CountedLenBytes(b"ab"), 0)], 1, 1)
    assert CountedLenBytes.asked == 2
    assert encode_py(make(b"\x01\x02"), 1, 1)[0] == b"\x02\x01"
    assert decode_py([(make(b"ab"), 0)], 1, 1) == b"ba"


def test_counts_and_segments_accept_subclasses():
    class Segment(bytes):
        pass

    assert encode_py(b"ab", True, Index(1)) == encode_py(b"ab", 1, 1)
    assert decode_py([(b"ab", Index(0))], True, True) == b"ab"
    assert multi_encode_py([Segment(b"xyz")], 2, 1) == [encode_py(b"xyz", 2, 1)]
    assert encode_py([], 1, 1) == [b"", b""]


def test_results_are_fresh_objects_and_inputs_stay_unchanged():
    data = bytearray(PAYLOAD[:40])
    shards = encode_py(data, 1, 3)
    assert shards == [bytes(data)] * 4 and len({id(s) for s in shards}) == 4
    batch = multi_encode_py([shards[0], shards[0]], 1, 3)
    assert batch == [shards] * 2 and not {id(s) for s in batch[0] + batch[1]} & {id(s) for s in shards}
    restored = decode_py([(shards[0], 0)], 1, 3)
    assert restored == shards[0] and restored is not shards[0]
    held = [(bytearray(shards[1]), 1)]
    decode_py(held, 1, 3)
    view = memoryview(data)
    assert encode_py(view, 1, 3) == shards and decode_py([(view, 0)], 1, 3) == shards[0]
    view.release()  # the calls left no export of the view behind
    data[:] = bytes(len(data))  # changing an input afterwards changes nothing returned
    assert held == [(bytearray(PAYLOAD[:40]), 1)] and shards[0] == PAYLOAD[:40]


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
    restorations = [decode_py([*originals, (s[7], 7)], 6, 2) for s in shard_states]
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
            assert decode_py([*originals, (shard, 7)], 6, 2) in restorations
    finally:
        done.set()
        thread.join()
