#include "codec/reed_solomon.hpp"

namespace ondrel::codec {

Result<ReedSolomonEncoder> ReedSolomonEncoder::create(std::size_t original_count, std::size_t recovery_count,
                                                      std::size_t shard_bytes) {
    return create(original_count, recovery_count, shard_bytes, engine::DefaultEngine::create());
}

Result<ReedSolomonEncoder> ReedSolomonEncoder::create(std::size_t original_count, std::size_t recovery_count,
                                                      std::size_t shard_bytes, engine::DefaultEngine engine) {
    auto inner = DefaultRateEncoder::create(original_count, recovery_count, shard_bytes, std::move(engine));
    if (!inner) return std::unexpected(inner.error());
    return ReedSolomonEncoder(std::move(*inner));
}

Result<ReedSolomonDecoder> ReedSolomonDecoder::create(std::size_t original_count, std::size_t recovery_count,
                                                      std::size_t shard_bytes) {
    return create(original_count, recovery_count, shard_bytes, engine::DefaultEngine::create());
}

Result<ReedSolomonDecoder> ReedSolomonDecoder::create(std::size_t original_count, std::size_t recovery_count,
                                                      std::size_t shard_bytes, engine::DefaultEngine engine) {
    auto inner = DefaultRateDecoder::create(original_count, recovery_count, shard_bytes, std::move(engine));
    if (!inner) return std::unexpected(inner.error());
    return ReedSolomonDecoder(std::move(*inner));
}

}  // namespace ondrel::codec
