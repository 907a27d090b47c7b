// The result of one encoding pass: read-only views of the recovery shards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "codec/rate/encoder_work.hpp"

namespace ondrel::codec {

// Yields recovery shards 0, 1, ..., recovery_count - 1 in order, each exactly
// once, then nothing for ever. Each view is the first shard_bytes bytes of a
// work position; it copies nothing and stays valid while the EncoderResult
// that made the iterator lives.
class Recovery {
public:
    explicit Recovery(const EncoderWork& work) noexcept : work_(&work) {}

    [[nodiscard]] std::optional<std::span<const std::uint8_t>> next();

private:
    const EncoderWork* work_;
    std::size_t next_index_ = 0;
    bool ended_ = false;
};

// Borrows the encoder's work buffer exclusively from a successful encode
// until it is destroyed; the encoder must not be used, moved or destroyed
// meanwhile. Destruction forgets the added originals, so the next pass with
// the same configuration starts with add_original_shard directly.
// Move-only; a moved-from result releases nothing.
class EncoderResult {
public:
    // Called by the rate encoders once the recovery shards are computed.
    explicit EncoderResult(EncoderWork& work) noexcept : work_(&work) {}
    EncoderResult(EncoderResult&& other) noexcept : work_(std::exchange(other.work_, nullptr)) {}
    EncoderResult(const EncoderResult&) = delete;
    EncoderResult& operator=(const EncoderResult&) = delete;
    EncoderResult& operator=(EncoderResult&&) = delete;
    ~EncoderResult();

    // A fresh iterator over all recovery shards. Precondition: not moved from.
    [[nodiscard]] Recovery recovery_iter() const noexcept { return Recovery(*work_); }

private:
    EncoderWork* work_;
};

}  // namespace ondrel::codec
