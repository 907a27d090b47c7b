// The ondrel_ec extension module: initialisation and the three Python
// functions. Each call converts its arguments into owned copies, runs one jam
// operation without the interpreter lock, and builds fresh result objects.
// No C++ exception leaves this file: each entry point maps them to Python
// exceptions once the lock is held again.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "codec/engine/failure.hpp"
#include "convert.hpp"
#include "jam.hpp"
#include "py_handles.hpp"

namespace {

using ondrel::py::argument;
using ondrel::py::Ref;

// The interpreter that imported the module first; the only one allowed to.
std::atomic<std::int64_t> INTERPRETER_ID{-1};
// Kept for the life of the process and handed out again on re-initialisation.
PyObject* MODULE = nullptr;
// native_runtime.InternalFailure, created on first need.
PyObject* INTERNAL_FAILURE = nullptr;

constexpr const char* INTERNAL_FAILURE_DOC =
    "Raised when the native code of ondrel_ec fails internally.\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so that it is not\n"
    "caught by ordinary handlers and normally propagates to the top and ends the\n"
    "interpreter.";

PyObject* internal_failure_class() noexcept {
    if (!INTERNAL_FAILURE) {
        PyObject* created = PyErr_NewExceptionWithDoc("native_runtime.InternalFailure", INTERNAL_FAILURE_DOC,
                                                      PyExc_BaseException, nullptr);
        if (!created) return nullptr;
        // Creating a type can run Python code; keep whichever class came first.
        if (INTERNAL_FAILURE) {
            Py_DECREF(created);
        } else {
            INTERNAL_FAILURE = created;
        }
    }
    return INTERNAL_FAILURE;
}

void raise_internal_failure(const char* text) noexcept {
    PyObject* failure_class = internal_failure_class();
    if (!failure_class) return;
    // Texts from the C++ library are not guaranteed to be UTF-8.
    Ref message(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (!message) return;
    PyErr_SetObject(failure_class, message.get());
}

void raise_codec_error(const ondrel::codec::Error& error) {
    PyErr_SetString(PyExc_RuntimeError, error.debug_text().c_str());
}

// Runs one entry point and turns any C++ exception into a Python exception.
// By the time a handler runs, every ReleasedLock has given the lock back.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const ondrel::InternalFailure& failure) {
        raise_internal_failure(failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_internal_failure(failure.what());
    } catch (...) {
        raise_internal_failure("unknown native exception");
    }
    return nullptr;
}

// Runs `operation` with the interpreter lock released.
template <class Operation>
auto without_lock(Operation&& operation) {
    ondrel::py::ReleasedLock released;
    return operation();
}

PyObject* new_bytes(const ondrel::jam::Bytes& bytes) noexcept {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* new_shard_list(const std::vector<ondrel::jam::Bytes>& shards) noexcept {
    Ref list(PyList_New(static_cast<Py_ssize_t>(shards.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < shards.size(); ++i) {
        PyObject* shard = new_bytes(shards[i]);
        if (!shard) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), shard);
    }
    return list.release();
}

const ondrel::py::Signature ENCODE_SIGNATURE{"encode_py()", {"data", "orig", "rec"}};
const ondrel::py::Signature DECODE_SIGNATURE{"decode_py()", {"shards", "orig", "rec"}};
const ondrel::py::Signature MULTI_ENCODE_SIGNATURE{"multi_encode_py()", {"segments", "orig", "rec"}};

PyObject* encode_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!ondrel::py::bind_arguments(ENCODE_SIGNATURE, args, nargs, kwnames, slots)) return nullptr;
        ondrel::jam::Bytes data;
        std::uint64_t orig = 0;
        std::uint64_t rec = 0;
        if (!argument("data", ondrel::py::to_bytes(slots[0], data)) ||
            !argument("orig", ondrel::py::to_u64(slots[1], orig)) ||
            !argument("rec", ondrel::py::to_u64(slots[2], rec))) {
            return nullptr;
        }
        const auto shards = without_lock([&] { return ondrel::jam::encode(data, orig, rec); });
        if (!shards) {
            raise_codec_error(shards.error());
            return nullptr;
        }
        return new_shard_list(*shards);
    });
}

PyObject* decode_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!ondrel::py::bind_arguments(DECODE_SIGNATURE, args, nargs, kwnames, slots)) return nullptr;
        std::vector<ondrel::jam::IndexedShard> shards;
        std::uint64_t orig = 0;
        std::uint64_t rec = 0;
        if (!argument("shards", ondrel::py::to_indexed_shards(slots[0], shards)) ||
            !argument("orig", ondrel::py::to_u64(slots[1], orig)) ||
            !argument("rec", ondrel::py::to_u64(slots[2], rec))) {
            return nullptr;
        }
        const auto data = without_lock([&] { return ondrel::jam::decode(shards, orig, rec); });
        if (!data) {
            raise_codec_error(data.error());
            return nullptr;
        }
        return new_bytes(*data);
    });
}

PyObject* multi_encode_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!ondrel::py::bind_arguments(MULTI_ENCODE_SIGNATURE, args, nargs, kwnames, slots)) return nullptr;
        std::vector<Ref> segment_objects;
        std::uint64_t orig = 0;
        std::uint64_t rec = 0;
        if (!argument("segments", ondrel::py::to_bytes_objects(slots[0], segment_objects)) ||
            !argument("orig", ondrel::py::to_u64(slots[1], orig)) ||
            !argument("rec", ondrel::py::to_u64(slots[2], rec))) {
            return nullptr;
        }
        std::vector<ondrel::jam::Bytes> segments(segment_objects.size());
        for (std::size_t i = 0; i < segments.size(); ++i) {
            PyObject* segment = segment_objects[i].get();
            const auto* first = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(segment));
            segments[i].assign(first, first + PyBytes_GET_SIZE(segment));
        }
        segment_objects.clear();

        const auto encoded = without_lock([&] { return ondrel::jam::multi_encoder(segments, orig, rec); });
        if (!encoded) {
            raise_codec_error(encoded.error());
            return nullptr;
        }
        Ref list(PyList_New(static_cast<Py_ssize_t>(encoded->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < encoded->size(); ++i) {
            PyObject* shards = new_shard_list((*encoded)[i]);
            if (!shards) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), shards);
        }
        return list.release();
    });
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The docstrings hold only the text signature, so __doc__ is None.
PyMethodDef FUNCTIONS[] = {
    {"encode_py", as_method(encode_py), METH_FASTCALL | METH_KEYWORDS, "encode_py(data, orig, rec)\n--\n\n"},
    {"decode_py", as_method(decode_py), METH_FASTCALL | METH_KEYWORDS, "decode_py(shards, orig, rec)\n--\n\n"},
    {"multi_encode_py", as_method(multi_encode_py), METH_FASTCALL | METH_KEYWORDS,
     "multi_encode_py(segments, orig, rec)\n--\n\n"},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "ondrel_ec",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Binds `function` to the module, lists its name in __all__ and sets it as an
// attribute.
bool add_function(PyObject* module, PyMethodDef& function) {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref callable(PyCMethod_New(&function, module, module_name.get(), nullptr));
    if (!callable) return false;
    Ref name(PyObject_GetAttrString(callable.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
        ondrel::py::raise_cannot_convert(name.get(), "PyString");
        return false;
    }

    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        ondrel::py::raise_cannot_convert(all.get(), "PyList");
        return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        raise_internal_failure("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttr(module, name.get(), callable.get()) == 0;
}

PyObject* initialise() {
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t first_id = -1;
    if (!INTERPRETER_ID.compare_exchange_strong(first_id, interpreter_id) && first_id != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "ondrel_ec does not support subinterpreters: it can only be used by the first "
                        "interpreter that imported it in this process");
        return nullptr;
    }
    if (MODULE) return Py_NewRef(MODULE);

    Ref module(PyModule_Create2(&MODULE_DEF, 1013));
    if (!module) return nullptr;
    for (PyMethodDef& function : FUNCTIONS) {
        if (!add_function(module.get(), function)) return nullptr;
    }
    MODULE = module.release();
    return Py_NewRef(MODULE);
}

}  // namespace

PyMODINIT_FUNC PyInit_ondrel_ec() { return guarded(initialise); }
