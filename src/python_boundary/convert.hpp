// Argument binding and conversion for the three Python functions.
//
// Every function here runs with the interpreter lock held. A `false` result
// means a Python exception is set and nothing was kept of the caller's objects.
// Byte strings that are bytes objects are held and read in place; everything
// else is converted into owned copies. C++ exceptions (std::bad_alloc from a
// copy) pass through to the caller, which maps them at the module boundary.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "py_handles.hpp"
#include "src/jam/jam.hpp"

namespace ondrel::py {

// The three required positional-or-keyword parameters of one function.
struct Signature {
    const char* display_name;  // the function name followed by "()"
    const char* names[3];
};

// Fills `slots` with borrowed references to the arguments of a fast call
// (positional ones first, then those named in `kwnames`), or raises the
// TypeError for too many positional arguments, an unknown or repeated keyword
// or a missing argument, checked in that order.
[[nodiscard]] bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, PyObject* (&slots)[3]);

// The contents of a byte-string argument. A bytes object whose iteration
// yields its stored bytes (not a subclass that redefines __iter__ or __len__)
// is kept by reference: bytes are immutable, so its storage may be read without
// the interpreter lock for as long as the reference is held. Anything else,
// mutable buffers included, is an owned copy taken with the lock held.
class ByteSource {
public:
    // The bytes; valid while this object lives and is not changed.
    [[nodiscard]] std::span<const std::uint8_t> view() const noexcept {
        if (held_) {
            return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(held_.get())),
                    static_cast<std::size_t>(PyBytes_GET_SIZE(held_.get()))};
        }
        return copy_;
    }

    // Keeps a reference to a bytes object to read in place.
    void hold(PyObject* bytes) noexcept {
        held_ = Ref::borrow(bytes);
        copy_.clear();
    }
    // Empties the source and returns the buffer for an owned copy.
    [[nodiscard]] jam::Bytes& copy() noexcept {
        held_ = Ref();
        copy_.clear();
        return copy_;
    }

private:
    Ref held_;
    jam::Bytes copy_;
};

// A byte string: any non-str sequence whose items are integers 0..255.
[[nodiscard]] bool to_bytes(PyObject* object, jam::Bytes& out);

// The same conversion, without a copy for bytes objects (see ByteSource).
[[nodiscard]] bool to_byte_source(PyObject* object, ByteSource& out);

// An unsigned 64-bit count or index: an int or any object with __index__.
[[nodiscard]] bool to_u64(PyObject* object, std::uint64_t& out);

// One (byte string, index) pair of decode_py.
struct ShardSource {
    ByteSource bytes;
    std::uint64_t index = 0;
};

// A non-str sequence of (byte string, index) tuples.
[[nodiscard]] bool to_indexed_shards(PyObject* object, std::vector<ShardSource>& out);

// A non-str sequence of bytes objects (subclasses included). Only references
// are taken here; the caller copies the contents once every argument is in.
[[nodiscard]] bool to_bytes_objects(PyObject* object, std::vector<Ref>& out);

// Raises TypeError "'{type}' object cannot be converted to '{target}'" with the
// qualified name of the object's type.
void raise_cannot_convert(PyObject* object, const char* target) noexcept;

// Finishes a failed conversion of parameter `name`: a pending exception of
// exactly TypeError is replaced by "argument '{name}': {text}" carrying the
// original's __cause__; any other exception stays as it is.
void prefix_argument_error(const char* name) noexcept;

// Passes `converted` through, prefixing the pending error when it is false, so
// that conversions chain with && and stop at the first failure.
[[nodiscard]] inline bool argument(const char* name, bool converted) noexcept {
    if (!converted) prefix_argument_error(name);
    return converted;
}

}  // namespace ondrel::py
