// Argument binding and conversion for the three Python functions.
//
// Every function here runs with the interpreter lock held. A `false` result
// means a Python exception is set and nothing was kept of the caller's objects;
// converted values are owned copies. C++ exceptions (std::bad_alloc from a
// copy) pass through to the caller, which maps them at the module boundary.
#pragma once

#include <cstdint>
#include <vector>

#include "py_handles.hpp"
#include "jam.hpp"

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

// A byte string: any non-str sequence whose items are integers 0..255.
[[nodiscard]] bool to_bytes(PyObject* object, jam::Bytes& out);

// An unsigned 64-bit count or index: an int or any object with __index__.
[[nodiscard]] bool to_u64(PyObject* object, std::uint64_t& out);

// A non-str sequence of (byte string, index) tuples.
[[nodiscard]] bool to_indexed_shards(PyObject* object, std::vector<jam::IndexedShard>& out);

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
