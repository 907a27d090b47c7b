// The result of one decoding pass: read-only views of the restored originals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "codec/rate/decoder_work.hpp"

namespace ondrel::codec {

// One restored original: its index and its shard_bytes bytes.
struct RestoredShard {
    std::size_t index;
    std::span<const std::uint8_t> bytes;
};

// Yields every original that was not added to the decoder, in ascending index
// order, each exactly once, then nothing. The views copy nothing and stay
// valid while the DecoderResult that made the iterator lives.
class RestoredOriginal {
public:
    explicit RestoredOriginal(const DecoderWork& work) noexcept
        : work_(&work), remaining_(work.original_count() - work.original_received_count()) {}

    [[nodiscard]] std::optional<RestoredShard> next();

private:
    const DecoderWork* work_;
    std::size_t remaining_;
    std::size_t next_index_ = 0;
};

// Borrows the decoder's work buffer exclusively from a successful decode
// until it is destroyed; the decoder must not be used, moved or destroyed
// meanwhile. Destruction forgets every added shard, so the next pass with the
// same configuration starts adding shards directly.
// Move-only; a moved-from result releases nothing.
class DecoderResult {
public:
    // Called by the rate decoders once the missing originals are restored (or
    // at once when none is missing).
    explicit DecoderResult(DecoderWork& work) noexcept : work_(&work) {}
    DecoderResult(DecoderResult&& other) noexcept : work_(std::exchange(other.work_, nullptr)) {}
    DecoderResult(const DecoderResult&) = delete;
    DecoderResult& operator=(const DecoderResult&) = delete;
    DecoderResult& operator=(DecoderResult&&) = delete;
    ~DecoderResult();

    // A fresh iterator over the restored originals. Precondition: not moved from.
    [[nodiscard]] RestoredOriginal restored_original_iter() const noexcept { return RestoredOriginal(*work_); }

private:
    DecoderWork* work_;
};

}  // namespace ondrel::codec
