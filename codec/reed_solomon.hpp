// The codec as the rest of the system uses it: systematic Reed-Solomon over
// GF(2^16). An encoder turns original_count original shards into
// recovery_count recovery shards; a decoder rebuilds the missing originals
// from any original_count distinct shards of either kind.
//
// One coding pass: create (or reset) with the counts and the shard size, add
// the shards, encode/decode, read the shards from the result, destroy the
// result. Destroying the result readies the object for the next pass with the
// same configuration; reset reconfigures it, reusing the engine and the work
// buffer. Objects are used by one thread at a time.
//
// The constructors that can fail are static `create` functions returning a
// Result, since `new` is taken in C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/decoder_result.hpp"
#include "codec/encoder_result.hpp"
#include "codec/engine/engine_default.hpp"
#include "codec/error.hpp"
#include "codec/rate/rate_default.hpp"

namespace ondrel::codec {

class ReedSolomonEncoder {
public:
    // Creates the engine (DefaultEngine::create, which builds the shared
    // tables on first use even if the counts are then refused) and the
    // encoder. Errors: UnsupportedShardCount, then InvalidShardSize.
    [[nodiscard]] static Result<ReedSolomonEncoder> create(std::size_t original_count, std::size_t recovery_count,
                                                           std::size_t shard_bytes);
    // As above with a given engine (for instance one kernel set chosen by
    // name); takes ownership of it and releases it on an error.
    [[nodiscard]] static Result<ReedSolomonEncoder> create(std::size_t original_count, std::size_t recovery_count,
                                                           std::size_t shard_bytes, engine::DefaultEngine engine);

    // Reconfigures; on an error the previous configuration stays in force.
    // Must not be called while an EncoderResult of this encoder lives.
    [[nodiscard]] Result<void> reset(std::size_t original_count, std::size_t recovery_count,
                                     std::size_t shard_bytes) {
        return inner_.reset(original_count, recovery_count, shard_bytes);
    }

    // Adds the next original shard (the n-th call adds original n); the bytes
    // are copied. Errors: TooManyOriginalShards, then DifferentShardSize.
    [[nodiscard]] Result<void> add_original_shard(std::span<const std::uint8_t> shard) {
        return inner_.add_original_shard(shard);
    }

    // Computes the recovery shards, or TooFewOriginalShards when not every
    // original was added. The result borrows this encoder until destroyed.
    [[nodiscard]] Result<EncoderResult> encode() { return inner_.encode(); }

    [[nodiscard]] const DefaultRateEncoder& rate_encoder() const noexcept { return inner_; }

private:
    explicit ReedSolomonEncoder(DefaultRateEncoder inner) noexcept : inner_(std::move(inner)) {}

    DefaultRateEncoder inner_;
};

class ReedSolomonDecoder {
public:
    // As ReedSolomonEncoder::create.
    [[nodiscard]] static Result<ReedSolomonDecoder> create(std::size_t original_count, std::size_t recovery_count,
                                                           std::size_t shard_bytes);
    [[nodiscard]] static Result<ReedSolomonDecoder> create(std::size_t original_count, std::size_t recovery_count,
                                                           std::size_t shard_bytes, engine::DefaultEngine engine);

    // Reconfigures and forgets every added shard; on an error the previous
    // configuration stays in force. Not while a DecoderResult lives.
    [[nodiscard]] Result<void> reset(std::size_t original_count, std::size_t recovery_count,
                                     std::size_t shard_bytes) {
        return inner_.reset(original_count, recovery_count, shard_bytes);
    }

    // Add shards by index in any order; the bytes are copied. Errors, in this
    // order: Invalid...ShardIndex, Duplicate...ShardIndex, DifferentShardSize.
    [[nodiscard]] Result<void> add_original_shard(std::size_t index, std::span<const std::uint8_t> shard) {
        return inner_.add_original_shard(index, shard);
    }
    [[nodiscard]] Result<void> add_recovery_shard(std::size_t index, std::span<const std::uint8_t> shard) {
        return inner_.add_recovery_shard(index, shard);
    }

    // Restores the originals that were not added, or NotEnoughShards when
    // fewer than original_count shards were added. The result borrows this
    // decoder until destroyed.
    [[nodiscard]] Result<DecoderResult> decode() { return inner_.decode(); }

    [[nodiscard]] const DefaultRateDecoder& rate_decoder() const noexcept { return inner_; }

private:
    explicit ReedSolomonDecoder(DefaultRateDecoder inner) noexcept : inner_(std::move(inner)) {}

    DefaultRateDecoder inner_;
};

}  // namespace ondrel::codec
