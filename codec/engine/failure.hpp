// The one exception type of the native code: a broken internal invariant.
//
// Codec errors are values (codec::Error); this type is reserved for states that
// no valid use reaches (an index outside a view, an impossible branch) and for
// the few inputs the segment layer deliberately leaves unchecked. Only the
// Python boundary catches it and raises native_runtime.InternalFailure.
#pragma once

#include <stdexcept>
#include <string>

namespace ondrel {

class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& text) : std::runtime_error(text) {}
};

// Throws InternalFailure with `text`. Out of line so that hot callers stay small.
[[noreturn]] void internal_failure(const std::string& text);

// Checks an internal invariant; throws InternalFailure with `text` when it fails.
inline void ensure(bool holds, const char* text) {
    if (!holds) [[unlikely]] internal_failure(text);
}

}  // namespace ondrel
