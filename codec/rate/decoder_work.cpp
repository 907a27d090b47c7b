#include "codec/rate/decoder_work.hpp"

#include <algorithm>
#include <string>

#include "codec/engine/failure.hpp"

namespace ondrel::codec {

void FixedBitSet::insert(std::size_t p) {
    if (p >= len_) {
        internal_failure("insert at index " + std::to_string(p) + " exceeds fixbitset size " +
                         std::to_string(len_));
    }
    blocks_[p / BLOCK_BITS][p % BLOCK_BITS / 64] |= std::uint64_t{1} << (p % 64);
}

void FixedBitSet::clear() noexcept { std::fill(blocks_.begin(), blocks_.end(), Block{}); }

void FixedBitSet::grow(std::size_t n) {
    if (n <= len_) return;
    len_ = n;
    // Bits between the old length and the end of its last block are always 0:
    // insert never sets a bit at or beyond the length.
    blocks_.resize((n + BLOCK_BITS - 1) / BLOCK_BITS, Block{});
}

void DecoderWork::reset(std::size_t original_count, std::size_t recovery_count, std::size_t shard_bytes,
                        std::size_t original_base_pos, std::size_t recovery_base_pos, std::size_t work_count) {
    ensure(shard_bytes % 2 == 0, failure_text::ODD_SHARD_BYTES);
    original_count_ = original_count;
    recovery_count_ = recovery_count;
    shard_bytes_ = shard_bytes;
    original_base_pos_ = original_base_pos;
    recovery_base_pos_ = recovery_base_pos;
    original_received_count_ = 0;
    recovery_received_count_ = 0;
    received_.clear();
    received_.grow(std::max(recovery_base_pos + recovery_count, original_base_pos + original_count));
    shards_.resize(work_count, engine::shard_len_64_for(shard_bytes));
}

Result<void> DecoderWork::add_original_shard(std::size_t index, std::span<const std::uint8_t> shard) {
    if (index >= original_count_) {
        return std::unexpected(Error::invalid_original_shard_index(original_count_, index));
    }
    const std::size_t pos = original_base_pos_ + index;
    if (received_.contains(pos)) return std::unexpected(Error::duplicate_original_shard_index(index));
    if (auto added = add_shard(pos, shard); !added) return added;
    ++original_received_count_;
    return {};
}

Result<void> DecoderWork::add_recovery_shard(std::size_t index, std::span<const std::uint8_t> shard) {
    if (index >= recovery_count_) {
        return std::unexpected(Error::invalid_recovery_shard_index(recovery_count_, index));
    }
    const std::size_t pos = recovery_base_pos_ + index;
    if (received_.contains(pos)) return std::unexpected(Error::duplicate_recovery_shard_index(index));
    if (auto added = add_shard(pos, shard); !added) return added;
    ++recovery_received_count_;
    return {};
}

Result<void> DecoderWork::add_shard(std::size_t pos, std::span<const std::uint8_t> shard) {
    if (shard.size() != shard_bytes_) {
        return std::unexpected(Error::different_shard_size(shard_bytes_, shard.size()));
    }
    shards_.insert(pos, shard);
    received_.insert(pos);
    return {};
}

Result<std::optional<DecodeBegin>> DecoderWork::decode_begin() {
    if (original_received_count_ + recovery_received_count_ < original_count_) {
        return std::unexpected(
            Error::not_enough_shards(original_count_, original_received_count_, recovery_received_count_));
    }
    if (original_received_count_ == original_count_) return std::optional<DecodeBegin>{};
    return DecodeBegin{shards_.view_mut(), original_count_, recovery_count_, &received_};
}

std::optional<std::span<const std::uint8_t>> DecoderWork::restored_original(std::size_t index) const {
    if (index >= original_count_ || received_.contains(original_base_pos_ + index)) return std::nullopt;
    return shards_.shard_bytes(original_base_pos_ + index).first(shard_bytes_);
}

void DecoderWork::undo_last_chunk_encoding() {
    shards_.view_mut().undo_last_chunk_encoding(shard_bytes_, original_base_pos_,
                                                original_base_pos_ + original_count_);
}

void DecoderWork::reset_received() noexcept {
    original_received_count_ = 0;
    recovery_received_count_ = 0;
    received_.clear();
}

}  // namespace ondrel::codec
