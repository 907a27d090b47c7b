#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace ondrel::py {

namespace {

int parameter_slot(const Signature& signature, PyObject* name) {
    if (!PyUnicode_Check(name)) return -1;
    for (int slot = 0; slot < 3; ++slot) {
        if (PyUnicode_CompareWithASCIIString(name, signature.names[slot]) == 0) return slot;
    }
    return -1;
}

void raise_missing(const Signature& signature, PyObject* const (&slots)[3]) {
    std::vector<const char*> missing;
    for (int slot = 0; slot < 3; ++slot) {
        if (!slots[slot]) missing.push_back(signature.names[slot]);
    }
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string joined;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() > 2) joined += ",";
            joined += i + 1 == missing.size() ? " and " : " ";
        }
        joined += std::string("'") + missing[i] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", signature.display_name,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "argument" : "arguments",
                 joined.c_str());
}

// Items an object really stores, as far as the interpreter's own containers
// tell without running Python code; 0 when it cannot be known.
Py_ssize_t stored_length(PyObject* object) noexcept {
    if (PyList_Check(object)) return PyList_GET_SIZE(object);
    if (PyTuple_Check(object)) return PyTuple_GET_SIZE(object);
    if (PyBytes_Check(object)) return PyBytes_GET_SIZE(object);
    if (PyByteArray_Check(object)) return PyByteArray_GET_SIZE(object);
    return 0;
}

// Reserves room for the reported length of `sequence`, if it reports one, but
// never more than the sequence stores: a __len__ may claim anything, so
// anything else grows with what iteration really yields.
template <class Vector>
void reserve_for(PyObject* sequence, Vector& out) {
    const Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) {
        PyErr_Clear();
        return;
    }
    out.reserve(static_cast<std::size_t>(std::min(length, stored_length(sequence))));
}

// The shared shape of every sequence conversion: refuse str and non-sequences,
// then iterate and hand each item to `convert_item`.
template <class Vector, class ConvertItem>
bool convert_items(PyObject* object, Vector& out, ConvertItem&& convert_item) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_cannot_convert(object, "Sequence");
        return false;
    }
    reserve_for(object, out);
    Ref iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (Ref item{PyIter_Next(iterator.get())}) {
        if (!convert_item(item.get())) return false;
    }
    return !PyErr_Occurred();
}

void assign(jam::Bytes& out, const void* data, Py_ssize_t size) {
    const auto* first = static_cast<const std::uint8_t*>(data);
    out.assign(first, first + size);
}

bool is_unsigned_byte_format(const char* format) {
    return format == nullptr || std::strcmp(format, "B") == 0;
}

// Copies objects whose iteration yields exactly their buffer's bytes in order:
// bytes and bytearray (exact types, as a subclass may iterate differently) and
// one-dimensional C-contiguous memoryviews of format "B". Returns false, with
// no exception set, for anything else; the item-by-item rule then decides,
// including the error a released memoryview raises.
bool copy_byte_buffer(PyObject* object, jam::Bytes& out) {
    if (PyBytes_CheckExact(object)) {
        assign(out, PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
        return true;
    }
    if (PyByteArray_CheckExact(object)) {
        assign(out, PyByteArray_AS_STRING(object), PyByteArray_GET_SIZE(object));
        return true;
    }
    if (!PyMemoryView_Check(object)) return false;
    BufferView buffer;
    if (!buffer.acquire(object, PyBUF_FULL_RO)) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = buffer.view();
    if (view.ndim != 1 || view.itemsize != 1 || !is_unsigned_byte_format(view.format) ||
        !PyBuffer_IsContiguous(&view, 'C')) {
        return false;
    }
    assign(out, view.buf, view.len);
    return true;
}

// Whether iterating `object` would yield exactly its stored bytes without
// running Python code: bytes, or a subclass that keeps the iteration and length
// of bytes (item-by-item conversion asks for the length first).
bool reads_as_stored_bytes(PyObject* object) {
    if (PyBytes_CheckExact(object)) return true;
    if (!PyBytes_Check(object)) return false;
    const PyTypeObject* type = Py_TYPE(object);
    return type->tp_iter == PyBytes_Type.tp_iter && type->tp_as_sequence != nullptr &&
           type->tp_as_sequence->sq_length == PyBytes_Type.tp_as_sequence->sq_length;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* (&slots)[3]) {
    if (nargs > 3) {
        // More than three, so always plural.
        PyErr_Format(PyExc_TypeError, "%s takes 3 positional arguments but %zd were given", signature.display_name,
                     nargs);
        return false;
    }
    for (int slot = 0; slot < 3; ++slot) slots[slot] = slot < nargs ? args[slot] : nullptr;

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const int slot = parameter_slot(signature, name);
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.display_name, name);
            return false;
        }
        if (slots[slot]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.display_name,
                         signature.names[slot]);
            return false;
        }
        slots[slot] = args[nargs + k];
    }

    if (!slots[0] || !slots[1] || !slots[2]) {
        raise_missing(signature, slots);
        return false;
    }
    return true;
}

bool to_bytes(PyObject* object, jam::Bytes& out) {
    out.clear();
    if (copy_byte_buffer(object, out)) return true;
    return convert_items(object, out, [&out](PyObject* item) {
        const long value = PyLong_AsLong(item);
        if (value == -1 && PyErr_Occurred()) return false;
        if (value < 0 || value > 255) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(value));
        return true;
    });
}

bool to_byte_source(PyObject* object, ByteSource& out) {
    if (reads_as_stored_bytes(object)) {
        out.hold(object);
        return true;
    }
    return to_bytes(object, out.copy());
}

bool to_u64(PyObject* object, std::uint64_t& out) {
    Ref index;
    if (!PyLong_Check(object)) {
        index = Ref(PyNumber_Index(object));
        if (!index) return false;
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_indexed_shards(PyObject* object, std::vector<ShardSource>& out) {
    out.clear();
    return convert_items(object, out, [&out](PyObject* item) {
        if (!PyTuple_Check(item)) {
            raise_cannot_convert(item, "PyTuple");
            return false;
        }
        const Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size != 2) {
            PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd",
                         Py_ssize_t{2}, size);
            return false;
        }
        ShardSource shard;
        if (!to_byte_source(PyTuple_GET_ITEM(item, 0), shard.bytes) || !to_u64(PyTuple_GET_ITEM(item, 1), shard.index)) {
            return false;
        }
        out.push_back(std::move(shard));
        return true;
    });
}

bool to_bytes_objects(PyObject* object, std::vector<Ref>& out) {
    out.clear();
    return convert_items(object, out, [&out](PyObject* item) {
        if (!PyBytes_Check(item)) {
            raise_cannot_convert(item, "PyBytes");
            return false;
        }
        out.push_back(Ref::borrow(item));
        return true;
    });
}

void raise_cannot_convert(PyObject* object, const char* target) noexcept {
    Ref type_name(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", "<failed to extract type name>",
                     target);
        return;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name.get(), target);
}

void prefix_argument_error(const char* name) noexcept {
    Ref original(PyErr_GetRaisedException());
    if (!original || !Py_IS_TYPE(original.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(original.release());
        return;
    }
    Ref text(PyObject_Str(original.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref wrapped(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!wrapped) return;
    // The original itself is not the cause: the new error replaces it.
    PyException_SetCause(wrapped.get(), PyException_GetCause(original.get()));
    PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

}  // namespace ondrel::py
