// The ondrel_ec extension module: initialisation and the three Python
// functions. Each call converts its arguments (bytes objects are held and read
// in place, anything else is copied), plans the jam operation so that every
// failure is raised with the lock held, creates the result bytes objects, and
// fills them with the interpreter lock released. No C++ exception leaves this
// file: each entry point maps them to Python exceptions once the lock is held
// again.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec/engine/engine_default.hpp"
#include "codec/engine/failure.hpp"
#include "convert.hpp"
#include "src/jam/jam.hpp"
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

// The kernel set is chosen once per process (ONDREL_EC_KERNEL, else the best
// available). A name that cannot be used fails every coding call with
// RuntimeError, after the arguments and before any work.
bool kernel_set_chosen() {
    const ondrel::engine::KernelChoice& choice = ondrel::engine::kernel_choice();
    if (choice.set != nullptr) return true;
    PyErr_SetString(PyExc_RuntimeError, choice.problem.c_str());
    return false;
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

// Result bytes objects created with unset contents and filled later without
// the lock. Bytes objects are not tracked by the garbage collector and are put
// into lists only once filled, so no Python code can see them unset.
class FreshBytes {
public:
    explicit FreshBytes(std::size_t count) {
        objects_.reserve(count);
        storage_.reserve(count);
    }

    [[nodiscard]] bool add(std::size_t size) {
        Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes) return false;
        storage_.push_back(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
        objects_.push_back(std::move(bytes));
        return true;
    }

    [[nodiscard]] std::span<std::uint8_t* const> storage() const noexcept { return storage_; }

    // The object created first, handed to the caller.
    [[nodiscard]] PyObject* take_first() noexcept { return objects_.front().release(); }

    // A new list of the objects [first, first + count), which move into it.
    [[nodiscard]] PyObject* take_list(std::size_t first, std::size_t count) noexcept {
        Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), objects_[first + i].release());
        }
        return list.release();
    }

private:
    std::vector<Ref> objects_;
    std::vector<std::uint8_t*> storage_;
};

const ondrel::py::Signature ENCODE_SIGNATURE{"encode_py()", {"data", "orig", "rec"}};
const ondrel::py::Signature DECODE_SIGNATURE{"decode_py()", {"shards", "orig", "rec"}};
const ondrel::py::Signature MULTI_ENCODE_SIGNATURE{"multi_encode_py()", {"segments", "orig", "rec"}};

PyObject* encode_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!ondrel::py::bind_arguments(ENCODE_SIGNATURE, args, nargs, kwnames, slots)) return nullptr;
        ondrel::py::ByteSource data;
        std::uint64_t orig = 0;
        std::uint64_t rec = 0;
        if (!argument("data", ondrel::py::to_byte_source(slots[0], data)) ||
            !argument("orig", ondrel::py::to_u64(slots[1], orig)) ||
            !argument("rec", ondrel::py::to_u64(slots[2], rec))) {
            return nullptr;
        }
        if (!kernel_set_chosen()) return nullptr;
        const std::span<const std::uint8_t> view = data.view();
        const auto shard_len = ondrel::jam::plan_encode(view.size(), orig, rec);
        if (!shard_len) {
            raise_codec_error(shard_len.error());
            return nullptr;
        }
        // The counts are valid now, so orig + rec is small.
        const std::size_t count = orig + rec;
        FreshBytes shards(count);
        for (std::size_t k = 0; k < count; ++k) {
            if (!shards.add(*shard_len)) return nullptr;
        }
        const auto coded = without_lock([&] { return ondrel::jam::encode_into(view, orig, rec, shards.storage()); });
        if (!coded) {
            raise_codec_error(coded.error());
            return nullptr;
        }
        return shards.take_list(0, count);
    });
}

PyObject* decode_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!ondrel::py::bind_arguments(DECODE_SIGNATURE, args, nargs, kwnames, slots)) return nullptr;
        std::vector<ondrel::py::ShardSource> sources;
        std::uint64_t orig = 0;
        std::uint64_t rec = 0;
        if (!argument("shards", ondrel::py::to_indexed_shards(slots[0], sources)) ||
            !argument("orig", ondrel::py::to_u64(slots[1], orig)) ||
            !argument("rec", ondrel::py::to_u64(slots[2], rec))) {
            return nullptr;
        }
        if (!kernel_set_chosen()) return nullptr;
        std::vector<ondrel::jam::ShardView> shards;
        shards.reserve(sources.size());
        for (const ondrel::py::ShardSource& source : sources) shards.push_back({source.bytes.view(), source.index});
        const auto size = ondrel::jam::plan_decode(shards, orig, rec);
        if (!size) {
            raise_codec_error(size.error());
            return nullptr;
        }
        FreshBytes data(1);
        if (!data.add(*size)) return nullptr;
        std::uint8_t* out = data.storage().front();
        const auto coded = without_lock([&] { return ondrel::jam::decode_into(shards, orig, rec, out); });
        if (!coded) {
            raise_codec_error(coded.error());
            return nullptr;
        }
        return data.take_first();
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
        if (!kernel_set_chosen()) return nullptr;
        const std::size_t segment_count = segment_objects.size();
        if (auto planned = ondrel::jam::plan_multi_encode(segment_count, orig, rec); !planned) {
            raise_codec_error(planned.error());
            return nullptr;
        }
        // Bytes are immutable and stay referenced until the call ends, so the
        // workers read them in place.
        std::vector<std::span<const std::uint8_t>> segments;
        segments.reserve(segment_count);
        for (const Ref& segment : segment_objects) {
            segments.emplace_back(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(segment.get())),
                                  static_cast<std::size_t>(PyBytes_GET_SIZE(segment.get())));
        }
        // With no segments the counts were not checked and are not used.
        const std::size_t count = segment_count == 0 ? 0 : orig + rec;
        FreshBytes shards(segment_count * count);
        for (const std::span<const std::uint8_t> segment : segments) {
            const std::size_t shard_len = *ondrel::jam::plan_encode(segment.size(), orig, rec);
            for (std::size_t k = 0; k < count; ++k) {
                if (!shards.add(shard_len)) return nullptr;
            }
        }
        const auto coded =
            without_lock([&] { return ondrel::jam::multi_encode_into(segments, orig, rec, shards.storage()); });
        if (!coded) {
            raise_codec_error(coded.error());
            return nullptr;
        }
        Ref list(PyList_New(static_cast<Py_ssize_t>(segment_count)));
        if (!list) return nullptr;
        for (std::size_t s = 0; s < segment_count; ++s) {
            PyObject* shard_list = shards.take_list(s * count, count);
            if (!shard_list) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(s), shard_list);
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
