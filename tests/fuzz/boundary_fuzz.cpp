// libFuzzer target: the Python boundary's argument binding and conversion, in
// an embedded interpreter with the module built in. A small Python builder
// (below) turns the input into arguments of every shape the functions meet:
// bytes-like objects, lists and tuples of them, ints of any size, strings,
// floats, sequences whose __len__ lies or raises, positional and keyword
// mixes. A call must return or raise one of the documented exception types;
// a result must equal the item-by-item conversion's.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>

extern "C" PyObject* PyInit_ondrel_ec();

namespace {

constexpr const char* BUILDER = R"PY(
import operator

import ondrel_ec

FUNCTIONS = [ondrel_ec.encode_py, ondrel_ec.decode_py, ondrel_ec.multi_encode_py]
NAMES = [("data", "orig", "rec"), ("shards", "orig", "rec"), ("segments", "orig", "rec")]
EDGES = [0, 1, 2, 3, 32767, 32768, 65535, 65536, -1, 2**63, 2**64 - 1, 2**64, -2**70]

class Reader:
    def __init__(self, raw):
        self.raw, self.at = raw, 0
    def take(self, n):
        self.at += n
        return self.raw[self.at - n:self.at]
    def byte(self):
        return (self.take(1) or b"\0")[0]

class Liar(list):
    def __len__(self):
        return 2**62

class BadLen(list):
    def __len__(self):
        raise ValueError("no length")

class Shifted(bytes):
    def __iter__(self):
        return iter([(b + 1) & 0xFF for b in bytes(self)])

class Index:
    def __init__(self, value):
        self.value = value
    def __index__(self):
        return self.value

def build(r, depth=0):
    kind = r.byte() % 18
    if kind == 0: return r.take(r.byte() % 64)
    if kind == 1: return bytearray(r.take(r.byte() % 64))
    if kind == 2: return memoryview(r.take(r.byte() % 64))
    if kind == 3: return memoryview(r.take(r.byte() % 64))[::2]
    if kind == 4: return [b - (r.byte() % 3 == 0) * 200 for b in r.take(r.byte() % 16)]
    if kind == 5: return r.take(r.byte() % 8).decode("latin-1")
    if kind == 6: return r.byte() % 40
    if kind == 7: return EDGES[r.byte() % len(EDGES)]
    if kind == 8: return Index(r.byte() % 40)
    if kind == 9: return True
    if kind == 10: return 2.0
    if kind == 11: return None
    if kind == 12: return Shifted(r.take(r.byte() % 32))
    if depth > 2: return b""
    items = [build(r, depth + 1) for _ in range(r.byte() % 5)]
    if kind == 13: return tuple(items[:2]) if r.byte() % 4 else tuple(items)
    if kind == 14: return Liar(items)
    if kind == 15: return BadLen(items)
    if kind == 16: return [(build(r, depth + 1), r.byte() % 12) for _ in range(r.byte() % 6)]
    return items

ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError)

def plain(value):
    """The item-by-item reading of a byte string, as bytes (a list comprehension
    does not trust __len__)."""
    return bytes([item for item in value])

def one(raw):
    r = Reader(raw)
    which = r.byte() % 3
    function, names = FUNCTIONS[which], NAMES[which]
    values = [build(r) for _ in range(r.byte() % 5)]
    split = r.byte() % (len(values) + 1)
    positional, keywords = values[:split], {}
    for value, name in zip(values[split:], names[split:] + ("extra",)):
        keywords[name] = value
    try:
        result = function(*positional, **keywords)
    except ALLOWED:
        return
    except BaseException as failure:
        if type(failure).__name__ != "InternalFailure":
            raise
        return
    first, orig, rec = (list(positional) + [keywords.get(n) for n in names[len(positional):]])[:3]
    if operator.index(orig) + operator.index(rec) > 300:
        return  # the item-by-item oracle would take minutes at the codec's limits
    if which == 0:
        assert result == ondrel_ec.encode_py(plain(first), orig, rec), "encode_py differs from item by item"
    elif which == 1:
        again = [(plain(shard), index) for shard, index in first]
        assert result == ondrel_ec.decode_py(again, orig, rec), "decode_py differs from item by item"
    else:
        assert result == [ondrel_ec.encode_py(bytes(s), orig, rec) for s in first], "multi_encode_py differs"
)PY";

PyObject* ONE = nullptr;

// A new reference, or the end of the run with the Python error printed.
PyObject* checked(PyObject* object) {
    if (!object) {
        PyErr_Print();
        std::abort();
    }
    return object;
}

void start() {
    PyImport_AppendInittab("ondrel_ec", PyInit_ondrel_ec);
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    PyConfig_SetBytesString(&config, &config.home, ONDREL_PYTHON_HOME);
    if (PyStatus_Exception(Py_InitializeFromConfig(&config))) std::abort();
    PyConfig_Clear(&config);
    PyObject* globals = checked(PyDict_New());
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    Py_DECREF(checked(PyRun_String(BUILDER, Py_file_input, globals, globals)));
    ONE = checked(PyDict_GetItemString(globals, "one"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!ONE) start();
    PyObject* raw = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
    Py_DECREF(checked(PyObject_CallOneArg(ONE, raw)));
    Py_DECREF(raw);
    return 0;
}
