// The one exception type of the native code: a broken internal invariant.
//
// Codec errors are values (codec::Error); this type is reserved for states that
// no valid use reaches (an index outside a view, an impossible branch) and for
// the few inputs the segment layer deliberately leaves unchecked. Only the
// Python boundary catches it and raises native_runtime.InternalFailure.
#pragma once

#include <cstddef>
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
    if (!holds) [[unlikely]]
        internal_failure(text);
}

// The texts of the internal failures that a caller can provoke (orig = 0, an
// empty or short shard list) or that guard the codec's own invariants. Python
// callers receive them verbatim as the argument of
// native_runtime.InternalFailure, and the module's earlier releases raised
// exactly these words, which scripts match on; so the texts are part of the
// interface, kept here once, and changed only as an interface change.
namespace failure_text {

// encode with orig = 0: the padding unit 2 * orig is zero.
inline constexpr const char* REMAINDER_BY_ZERO = "attempt to calculate the remainder with a divisor of zero";
// decode with orig = 0.
inline constexpr const char* DIVIDE_BY_ZERO = "attempt to divide by zero";
// An operation on a vacant default-rate object.
inline constexpr const char* UNREACHABLE = "internal error: entered unreachable code";
// A view whose storage is shorter than its shards.
inline constexpr const char* SHORT_STORAGE = "assertion failed: data.len() >= shard_count * shard_len_64";
// An odd shard size reaching the shard storage.
inline constexpr const char* ODD_SHARD_BYTES = "assertion failed: shard_bytes % 2 == 0";

// Index `index` used on a sequence of `len` elements (also the text of an
// empty shard list, len 0 and index 0, and of a shard too short to hold a
// word position).
[[nodiscard]] std::string index_out_of_bounds(std::size_t len, std::size_t index);

}  // namespace failure_text

}  // namespace ondrel
