// The encoder's work buffer: configuration of one coding pass, the originals
// added so far, and the storage in which the rate encoder computes in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "codec/engine/shards.hpp"
#include "codec/error.hpp"

namespace ondrel::codec {

// What encode_begin hands to a rate encoder: the view over all work positions
// (valid until the next reset) and the two counts of the pass.
struct EncodeBegin {
    engine::ShardsRefMut data;
    std::size_t original_count;
    std::size_t recovery_count;
};

// Owned by one rate encoder and moved whole to the next one when the facade
// switches rate. Original i is stored at work position i; after encoding,
// recovery i sits at work position i. Starts empty (all counts 0, no storage)
// and is configured by reset.
class EncoderWork {
public:
    EncoderWork() = default;

    // Configures the buffer for a pass: stores the counts and shard size,
    // forgets added originals and lays the storage out as work_count positions
    // of ceil(shard_bytes / 64) chunks. Reuses the allocation; only chunks
    // beyond the previous size are zeroed. The caller has validated the
    // arguments (shard_bytes non-zero and even, work_count >= original_count).
    void reset(std::size_t original_count, std::size_t recovery_count, std::size_t shard_bytes,
               std::size_t work_count);

    // Stores `shard` as the next original (the n-th shard added is original n).
    // Errors, checked in this order: TooManyOriginalShards when all originals
    // are already held; DifferentShardSize when shard.size() != shard_bytes.
    // A failed call changes nothing. The bytes are copied.
    [[nodiscard]] Result<void> add_original_shard(std::span<const std::uint8_t> shard);

    // Starts a pass: the view over all work positions, or TooFewOriginalShards
    // { original_count, held } unless every original has been added.
    [[nodiscard]] Result<EncodeBegin> encode_begin();

    // The first shard_bytes bytes of work position `index` for index <
    // recovery_count, nothing otherwise. Meaningful after encode; the view is
    // valid until the next reset or add.
    [[nodiscard]] std::optional<std::span<const std::uint8_t>> recovery(std::size_t index) const;

    // Brings recovery positions 0..recovery_count-1 from the engine layout
    // back to the caller's byte order (the inverse of the tail split).
    void undo_last_chunk_encoding();

    // Forgets the added originals; the configuration stays.
    void reset_received() noexcept { original_received_count_ = 0; }

    [[nodiscard]] std::size_t original_count() const noexcept { return original_count_; }
    [[nodiscard]] std::size_t recovery_count() const noexcept { return recovery_count_; }
    [[nodiscard]] std::size_t shard_bytes() const noexcept { return shard_bytes_; }
    [[nodiscard]] std::size_t original_received_count() const noexcept { return original_received_count_; }
    [[nodiscard]] const engine::Shards& shards() const noexcept { return shards_; }

private:
    std::size_t original_count_ = 0;
    std::size_t recovery_count_ = 0;
    std::size_t shard_bytes_ = 0;
    std::size_t original_received_count_ = 0;
    engine::Shards shards_;
};

}  // namespace ondrel::codec
