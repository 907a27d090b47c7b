// Codec errors: the only failures the codec reports to its callers.
//
// An Error is a plain value (copyable, owns nothing). Every fallible codec
// operation returns std::expected<T, Error>; nothing in the codec reports a
// failure by unwinding except broken internal invariants (see failure.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>

namespace ondrel::codec {

// Variant numbers are part of the interface (0..9, in this order).
enum class ErrorKind : std::uint8_t {
    DifferentShardSize = 0,
    DuplicateOriginalShardIndex = 1,
    DuplicateRecoveryShardIndex = 2,
    InvalidOriginalShardIndex = 3,
    InvalidRecoveryShardIndex = 4,
    InvalidShardSize = 5,
    NotEnoughShards = 6,
    TooFewOriginalShards = 7,
    TooManyOriginalShards = 8,
    UnsupportedShardCount = 9,
};

// One tagged value; `fields` holds the variant's fields in declared order
// (unused trailing slots are 0). Build errors with the named constructors.
struct Error {
    ErrorKind kind;
    std::size_t fields[3];

    static Error different_shard_size(std::size_t shard_bytes, std::size_t got) noexcept;
    static Error duplicate_original_shard_index(std::size_t index) noexcept;
    static Error duplicate_recovery_shard_index(std::size_t index) noexcept;
    static Error invalid_original_shard_index(std::size_t original_count, std::size_t index) noexcept;
    static Error invalid_recovery_shard_index(std::size_t recovery_count, std::size_t index) noexcept;
    static Error invalid_shard_size(std::size_t shard_bytes) noexcept;
    static Error not_enough_shards(std::size_t original_count, std::size_t original_received_count,
                                   std::size_t recovery_received_count) noexcept;
    static Error too_few_original_shards(std::size_t original_count,
                                         std::size_t original_received_count) noexcept;
    static Error too_many_original_shards(std::size_t original_count) noexcept;
    static Error unsupported_shard_count(std::size_t original_count, std::size_t recovery_count) noexcept;

    // The user-facing sentence, e.g. "duplicate original shard index: 3".
    [[nodiscard]] std::string display_text() const;
    // Variant and named fields, e.g. "DuplicateOriginalShardIndex { index: 3 }".
    // This is the text Python callers see in RuntimeError.
    [[nodiscard]] std::string debug_text() const;

    friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

}  // namespace ondrel::codec
