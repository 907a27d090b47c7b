// Low-rate Reed-Solomon pair: originals first on the codeword line.
//
// With chunk_size = the smallest power of two >= original_count, original i
// is codeword position i and recovery i is position chunk_size + i.
// Positions original_count..chunk_size-1 are zeros fixed by the encoder;
// positions past the last recovery shard are never computed (erased for the
// decoder). Suited to recovery_count > original_count: the encoder
// transforms the originals once and evaluates a copy of their coefficients
// per block of recovery positions.
//
// The constructors that can fail are static `create` functions returning a
// Result, since `new` is taken in C++.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "codec/decoder_result.hpp"
#include "codec/encoder_result.hpp"
#include "codec/engine/engine_default.hpp"
#include "codec/error.hpp"
#include "codec/rate/decoder_work.hpp"
#include "codec/rate/encoder_work.hpp"
#include "codec/rate/erasure_locator.hpp"

namespace ondrel::codec {

class LowRateEncoder {
public:
    // 1 <= original_count <= 65535, 1 <= recovery_count <= 65535 and
    // P(original_count) + recovery_count <= 65536 (P: next power of two).
    [[nodiscard]] static bool supports(std::size_t original_count, std::size_t recovery_count) noexcept;

    // Validates the counts (UnsupportedShardCount) and then shard_bytes
    // (InvalidShardSize: zero or odd) and configures `work` for this rate.
    // On an error `work` is unchanged.
    [[nodiscard]] static Result<void> reset_work(std::size_t original_count, std::size_t recovery_count,
                                                 std::size_t shard_bytes, EncoderWork& work);

    // Takes ownership of `engine` and of `work` (a fresh buffer when none is
    // given) and configures the buffer as reset_work does. On an error both
    // are released.
    [[nodiscard]] static Result<LowRateEncoder> create(std::size_t original_count, std::size_t recovery_count,
                                                       std::size_t shard_bytes, engine::DefaultEngine engine,
                                                       std::optional<EncoderWork> work = std::nullopt);

    // reset_work on the own buffer; on an error the encoder keeps its
    // previous configuration.
    [[nodiscard]] Result<void> reset(std::size_t original_count, std::size_t recovery_count,
                                     std::size_t shard_bytes);

    // Adds the next original shard (see EncoderWork::add_original_shard).
    [[nodiscard]] Result<void> add_original_shard(std::span<const std::uint8_t> shard) {
        return work_.add_original_shard(shard);
    }

    // Computes the recovery shards in place; TooFewOriginalShards unless every
    // original was added (then nothing is computed). The result borrows this
    // encoder until it is destroyed.
    [[nodiscard]] Result<EncoderResult> encode();

    // Ends the encoder, handing its engine and work buffer to the caller.
    [[nodiscard]] std::pair<engine::DefaultEngine, EncoderWork> into_parts() && {
        return {std::move(engine_), std::move(work_)};
    }

    [[nodiscard]] const engine::DefaultEngine& engine() const noexcept { return engine_; }
    [[nodiscard]] const EncoderWork& work() const noexcept { return work_; }

private:
    LowRateEncoder(engine::DefaultEngine engine, EncoderWork work) noexcept
        : engine_(std::move(engine)), work_(std::move(work)) {}

    engine::DefaultEngine engine_;
    EncoderWork work_;
};

class LowRateDecoder {
public:
    // The low-rate count rule (as LowRateEncoder::supports).
    [[nodiscard]] static bool supports(std::size_t original_count, std::size_t recovery_count) noexcept;

    // Takes ownership of `engine` and of `work` (a fresh buffer when none is
    // given); validates counts, then shard_bytes, and configures the buffer
    // with originals at i and recoveries at chunk_size + i. On an error both
    // are released.
    [[nodiscard]] static Result<LowRateDecoder> create(std::size_t original_count, std::size_t recovery_count,
                                                       std::size_t shard_bytes, engine::DefaultEngine engine,
                                                       std::optional<DecoderWork> work = std::nullopt);

    // Validates and reconfigures the own buffer; on an error the decoder keeps
    // its previous configuration.
    [[nodiscard]] Result<void> reset(std::size_t original_count, std::size_t recovery_count,
                                     std::size_t shard_bytes);

    // Add shards by index, in any order (see DecoderWork).
    [[nodiscard]] Result<void> add_original_shard(std::size_t index, std::span<const std::uint8_t> shard) {
        return work_.add_original_shard(index, shard);
    }
    [[nodiscard]] Result<void> add_recovery_shard(std::size_t index, std::span<const std::uint8_t> shard) {
        return work_.add_recovery_shard(index, shard);
    }

    // Restores the missing originals in place; NotEnoughShards when fewer than
    // original_count shards were added (then nothing changes). With every
    // original present it returns at once. The result borrows this decoder
    // until it is destroyed.
    [[nodiscard]] Result<DecoderResult> decode();

    // Ends the decoder, handing its engine and work buffer to the caller.
    [[nodiscard]] std::pair<engine::DefaultEngine, DecoderWork> into_parts() && {
        return {std::move(engine_), std::move(work_)};
    }

    [[nodiscard]] const engine::DefaultEngine& engine() const noexcept { return engine_; }
    [[nodiscard]] const DecoderWork& work() const noexcept { return work_; }

private:
    LowRateDecoder(engine::DefaultEngine engine, DecoderWork work)
        : engine_(std::move(engine)), work_(std::move(work)) {}

    engine::DefaultEngine engine_;
    DecoderWork work_;
    ErasureLocator locator_;
};

}  // namespace ondrel::codec
