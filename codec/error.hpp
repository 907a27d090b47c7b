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
#include <type_traits>
#include <variant>

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

// One struct per variant, its fields in declared order.
namespace errors {
struct DifferentShardSize {
    std::size_t shard_bytes, got;
    friend bool operator==(const DifferentShardSize&, const DifferentShardSize&) = default;
};
struct DuplicateOriginalShardIndex {
    std::size_t index;
    friend bool operator==(const DuplicateOriginalShardIndex&, const DuplicateOriginalShardIndex&) = default;
};
struct DuplicateRecoveryShardIndex {
    std::size_t index;
    friend bool operator==(const DuplicateRecoveryShardIndex&, const DuplicateRecoveryShardIndex&) = default;
};
struct InvalidOriginalShardIndex {
    std::size_t original_count, index;
    friend bool operator==(const InvalidOriginalShardIndex&, const InvalidOriginalShardIndex&) = default;
};
struct InvalidRecoveryShardIndex {
    std::size_t recovery_count, index;
    friend bool operator==(const InvalidRecoveryShardIndex&, const InvalidRecoveryShardIndex&) = default;
};
struct InvalidShardSize {
    std::size_t shard_bytes;
    friend bool operator==(const InvalidShardSize&, const InvalidShardSize&) = default;
};
struct NotEnoughShards {
    std::size_t original_count, original_received_count, recovery_received_count;
    friend bool operator==(const NotEnoughShards&, const NotEnoughShards&) = default;
};
struct TooFewOriginalShards {
    std::size_t original_count, original_received_count;
    friend bool operator==(const TooFewOriginalShards&, const TooFewOriginalShards&) = default;
};
struct TooManyOriginalShards {
    std::size_t original_count;
    friend bool operator==(const TooManyOriginalShards&, const TooManyOriginalShards&) = default;
};
struct UnsupportedShardCount {
    std::size_t original_count, recovery_count;
    friend bool operator==(const UnsupportedShardCount&, const UnsupportedShardCount&) = default;
};
}  // namespace errors

// One tagged value: the variant's struct, in ErrorKind order. Build errors
// with the named constructors; read a variant's fields with std::get_if on
// value.
struct Error {
    std::variant<errors::DifferentShardSize, errors::DuplicateOriginalShardIndex,
                 errors::DuplicateRecoveryShardIndex, errors::InvalidOriginalShardIndex,
                 errors::InvalidRecoveryShardIndex, errors::InvalidShardSize, errors::NotEnoughShards,
                 errors::TooFewOriginalShards, errors::TooManyOriginalShards, errors::UnsupportedShardCount>
        value;

    [[nodiscard]] ErrorKind kind() const noexcept { return static_cast<ErrorKind>(value.index()); }

    static Error different_shard_size(std::size_t shard_bytes, std::size_t got) noexcept {
        return {errors::DifferentShardSize{shard_bytes, got}};
    }
    static Error duplicate_original_shard_index(std::size_t index) noexcept {
        return {errors::DuplicateOriginalShardIndex{index}};
    }
    static Error duplicate_recovery_shard_index(std::size_t index) noexcept {
        return {errors::DuplicateRecoveryShardIndex{index}};
    }
    static Error invalid_original_shard_index(std::size_t original_count, std::size_t index) noexcept {
        return {errors::InvalidOriginalShardIndex{original_count, index}};
    }
    static Error invalid_recovery_shard_index(std::size_t recovery_count, std::size_t index) noexcept {
        return {errors::InvalidRecoveryShardIndex{recovery_count, index}};
    }
    static Error invalid_shard_size(std::size_t shard_bytes) noexcept { return {errors::InvalidShardSize{shard_bytes}}; }
    static Error not_enough_shards(std::size_t original_count, std::size_t original_received_count,
                                   std::size_t recovery_received_count) noexcept {
        return {errors::NotEnoughShards{original_count, original_received_count, recovery_received_count}};
    }
    static Error too_few_original_shards(std::size_t original_count, std::size_t original_received_count) noexcept {
        return {errors::TooFewOriginalShards{original_count, original_received_count}};
    }
    static Error too_many_original_shards(std::size_t original_count) noexcept {
        return {errors::TooManyOriginalShards{original_count}};
    }
    static Error unsupported_shard_count(std::size_t original_count, std::size_t recovery_count) noexcept {
        return {errors::UnsupportedShardCount{original_count, recovery_count}};
    }

    // The user-facing sentence, e.g. "duplicate original shard index: 3".
    [[nodiscard]] std::string display_text() const;
    // Variant and named fields, e.g. "DuplicateOriginalShardIndex { index: 3 }".
    // This is the text Python callers see in RuntimeError.
    [[nodiscard]] std::string debug_text() const;

    friend bool operator==(const Error&, const Error&) = default;
};

// ErrorKind numbers the alternatives of Error::value in their order.
template <ErrorKind K, class T>
inline constexpr bool NUMBERED =
    std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(K), decltype(Error::value)>, T>;
static_assert(NUMBERED<ErrorKind::DifferentShardSize, errors::DifferentShardSize> &&
              NUMBERED<ErrorKind::DuplicateOriginalShardIndex, errors::DuplicateOriginalShardIndex> &&
              NUMBERED<ErrorKind::DuplicateRecoveryShardIndex, errors::DuplicateRecoveryShardIndex> &&
              NUMBERED<ErrorKind::InvalidOriginalShardIndex, errors::InvalidOriginalShardIndex> &&
              NUMBERED<ErrorKind::InvalidRecoveryShardIndex, errors::InvalidRecoveryShardIndex> &&
              NUMBERED<ErrorKind::InvalidShardSize, errors::InvalidShardSize> &&
              NUMBERED<ErrorKind::NotEnoughShards, errors::NotEnoughShards> &&
              NUMBERED<ErrorKind::TooFewOriginalShards, errors::TooFewOriginalShards> &&
              NUMBERED<ErrorKind::TooManyOriginalShards, errors::TooManyOriginalShards> &&
              NUMBERED<ErrorKind::UnsupportedShardCount, errors::UnsupportedShardCount>);

template <class T>
using Result = std::expected<T, Error>;

}  // namespace ondrel::codec
