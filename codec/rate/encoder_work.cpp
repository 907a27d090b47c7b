#include "codec/rate/encoder_work.hpp"

namespace ondrel::codec {

void EncoderWork::reset(std::size_t original_count, std::size_t recovery_count, std::size_t shard_bytes,
                        std::size_t work_count) {
    original_count_ = original_count;
    recovery_count_ = recovery_count;
    shard_bytes_ = shard_bytes;
    original_received_count_ = 0;
    shards_.resize(work_count, engine::shard_len_64_for(shard_bytes));
}

Result<void> EncoderWork::add_original_shard(std::span<const std::uint8_t> shard) {
    if (original_received_count_ == original_count_) {
        return std::unexpected(Error::too_many_original_shards(original_count_));
    }
    if (shard.size() != shard_bytes_) {
        return std::unexpected(Error::different_shard_size(shard_bytes_, shard.size()));
    }
    shards_.insert(original_received_count_, shard);
    ++original_received_count_;
    return {};
}

Result<EncodeBegin> EncoderWork::encode_begin() {
    if (original_received_count_ != original_count_) {
        return std::unexpected(Error::too_few_original_shards(original_count_, original_received_count_));
    }
    return EncodeBegin{shards_.view_mut(), original_count_, recovery_count_};
}

std::optional<std::span<const std::uint8_t>> EncoderWork::recovery(std::size_t index) const {
    if (index >= recovery_count_) return std::nullopt;
    return shards_.shard_bytes(index).first(shard_bytes_);
}

void EncoderWork::undo_last_chunk_encoding() {
    shards_.view_mut().undo_last_chunk_encoding(shard_bytes_, 0, recovery_count_);
}

}  // namespace ondrel::codec
