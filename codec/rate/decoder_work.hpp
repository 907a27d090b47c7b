// The decoder's work buffer: configuration of one coding pass, the set of
// positions that received a shard, and the storage in which the rate decoder
// computes in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/engine/shards.hpp"
#include "codec/error.hpp"

namespace ondrel::codec {

// A bit set whose length only grows, stored in 128-bit blocks. clear keeps the
// length and the allocation, so a reused decoder never reallocates it.
class FixedBitSet {
public:
    FixedBitSet() = default;

    [[nodiscard]] std::size_t len() const noexcept { return len_; }

    // Whether bit p is set; false for every p >= len().
    [[nodiscard]] bool contains(std::size_t p) const noexcept {
        return p < len_ && (blocks_[p / BLOCK_BITS][p % BLOCK_BITS / 64] >> (p % 64) & 1) != 0;
    }

    // Sets bit p. Precondition p < len() (checked: InternalFailure).
    void insert(std::size_t p);

    // Sets every bit to 0; the length stays.
    void clear() noexcept;

    // Raises the length to n when n > len(); the new bits are 0.
    void grow(std::size_t n);

    // Same length and same bits. Copies keep the allocation of the target
    // when it is large enough, so a kept copy is cheap to refresh.
    [[nodiscard]] bool operator==(const FixedBitSet& other) const noexcept = default;

private:
    static constexpr std::size_t BLOCK_BITS = 128;
    using Block = std::array<std::uint64_t, 2>;

    std::vector<Block> blocks_;
    std::size_t len_ = 0;
};

// What decode_begin hands to a rate decoder that has work to do: the view over
// all work positions, the two counts and the received set (all valid until
// the next reset).
struct DecodeBegin {
    engine::ShardsRefMut data;
    std::size_t original_count;
    std::size_t recovery_count;
    const FixedBitSet* received;
};

// Owned by one rate decoder and moved whole to the next one when the facade
// switches rate. Original i sits at work position original_base_pos + i and
// recovery i at recovery_base_pos + i; both bases are chosen by the rate.
// Starts empty (all counts 0, no storage) and is configured by reset.
class DecoderWork {
public:
    DecoderWork() = default;

    // Configures the buffer for a pass: stores the configuration, forgets every
    // added shard, grows `received` to cover all shard positions and lays the
    // storage out as work_count positions of ceil(shard_bytes / 64) chunks
    // (reusing the allocation; only added chunks are zeroed). The caller has
    // validated the counts; an odd shard_bytes throws InternalFailure
    // "assertion failed: shard_bytes % 2 == 0" before anything changes.
    void reset(std::size_t original_count, std::size_t recovery_count, std::size_t shard_bytes,
               std::size_t original_base_pos, std::size_t recovery_base_pos, std::size_t work_count);

    // Stores original shard `index`. Errors, checked in this order:
    // InvalidOriginalShardIndex (index >= original_count),
    // DuplicateOriginalShardIndex (already held), DifferentShardSize.
    // A failed call changes nothing. The bytes are copied.
    [[nodiscard]] Result<void> add_original_shard(std::size_t index, std::span<const std::uint8_t> shard);

    // Stores recovery shard `index`; as add_original_shard with the recovery
    // variants of the errors.
    [[nodiscard]] Result<void> add_recovery_shard(std::size_t index, std::span<const std::uint8_t> shard);

    // Starts a pass. NotEnoughShards when fewer than original_count shards
    // are held; nothing (no work to do) when every original is held;
    // otherwise the view over all work positions with the counts and the
    // received set. Changes nothing.
    [[nodiscard]] Result<std::optional<DecodeBegin>> decode_begin();

    // The first shard_bytes bytes of the position of original `index` when
    // index < original_count and that original was not added (so it was
    // restored by the last decode); nothing otherwise. Valid until the next
    // reset or add.
    [[nodiscard]] std::optional<std::span<const std::uint8_t>> restored_original(std::size_t index) const;

    // Brings every original position, received or restored, from the engine
    // layout back to the caller's byte order.
    void undo_last_chunk_encoding();

    // Forgets every added shard; the configuration and the set's length stay.
    void reset_received() noexcept;

    [[nodiscard]] std::size_t original_count() const noexcept { return original_count_; }
    [[nodiscard]] std::size_t recovery_count() const noexcept { return recovery_count_; }
    [[nodiscard]] std::size_t shard_bytes() const noexcept { return shard_bytes_; }
    [[nodiscard]] std::size_t original_base_pos() const noexcept { return original_base_pos_; }
    [[nodiscard]] std::size_t recovery_base_pos() const noexcept { return recovery_base_pos_; }
    [[nodiscard]] std::size_t original_received_count() const noexcept { return original_received_count_; }
    [[nodiscard]] std::size_t recovery_received_count() const noexcept { return recovery_received_count_; }
    [[nodiscard]] const FixedBitSet& received() const noexcept { return received_; }
    [[nodiscard]] const engine::Shards& shards() const noexcept { return shards_; }

private:
    [[nodiscard]] Result<void> add_shard(std::size_t pos, std::span<const std::uint8_t> shard);

    std::size_t original_count_ = 0;
    std::size_t recovery_count_ = 0;
    std::size_t shard_bytes_ = 0;
    std::size_t original_base_pos_ = 0;
    std::size_t recovery_base_pos_ = 0;
    std::size_t original_received_count_ = 0;
    std::size_t recovery_received_count_ = 0;
    FixedBitSet received_;
    engine::Shards shards_;
};

}  // namespace ondrel::codec
