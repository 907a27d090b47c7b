// The encoder and decoder of one rate, written once for both rates.
//
// A rate is a struct that places the shards on the codeword line:
//   static bool supports(std::size_t original_count, std::size_t recovery_count) noexcept;
//   static std::size_t chunk_size(std::size_t original_count, std::size_t recovery_count) noexcept;
//   static std::size_t encoder_work_count(std::size_t original_count, std::size_t recovery_count,
//                                         std::size_t chunk_size) noexcept;
//   static DecoderLayout decoder_layout(std::size_t original_count, std::size_t recovery_count,
//                                       std::size_t chunk_size) noexcept;
// and it defines RateEncoder<Rate>::encode and RateDecoder<Rate>::decode,
// the computations, in its own unit (rate_high.cpp, rate_low.cpp). Everything
// else, validation, configuration, ownership and shard input, is here.
//
// The constructors that can fail are static `create` functions returning a
// Result, since `new` is taken in C++.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Where a rate's decoder puts the shards: original i at original_base + i,
// recovery i at recovery_base + i, in a work buffer of work_count shards.
struct DecoderLayout {
    std::size_t original_base;
    std::size_t recovery_base;
    std::size_t work_count;
};

// Validation shared by both directions: the counts first (the rate's rule,
// UnsupportedShardCount), then the shard size (InvalidShardSize: zero or
// odd). Returns the rate's chunk size.
template <class Rate>
[[nodiscard]] Result<std::size_t> validate_rate(std::size_t original_count, std::size_t recovery_count,
                                                std::size_t shard_bytes) {
    if (!Rate::supports(original_count, recovery_count)) {
        return std::unexpected(Error::unsupported_shard_count(original_count, recovery_count));
    }
    if (shard_bytes == 0 || shard_bytes % 2 != 0) return std::unexpected(Error::invalid_shard_size(shard_bytes));
    return Rate::chunk_size(original_count, recovery_count);
}

template <class Rate>
class RateEncoder {
public:
    // The rate's count rule.
    [[nodiscard]] static bool supports(std::size_t original_count, std::size_t recovery_count) noexcept {
        return Rate::supports(original_count, recovery_count);
    }

    // Validates the counts (UnsupportedShardCount) and then shard_bytes
    // (InvalidShardSize: zero or odd) and configures `work` for this rate.
    // On an error `work` is unchanged.
    [[nodiscard]] static Result<void> reset_work(std::size_t original_count, std::size_t recovery_count,
                                                 std::size_t shard_bytes, EncoderWork& work) {
        const auto chunk_size = validate_rate<Rate>(original_count, recovery_count, shard_bytes);
        if (!chunk_size) return std::unexpected(chunk_size.error());
        work.reset(original_count, recovery_count, shard_bytes,
                   Rate::encoder_work_count(original_count, recovery_count, *chunk_size));
        return {};
    }

    // Takes ownership of `engine` and of `work` (a fresh buffer when none is
    // given) and configures the buffer as reset_work does. On an error both
    // are released.
    [[nodiscard]] static Result<RateEncoder> create(std::size_t original_count, std::size_t recovery_count,
                                                    std::size_t shard_bytes, engine::DefaultEngine engine,
                                                    std::optional<EncoderWork> work = std::nullopt) {
        EncoderWork own = work ? std::move(*work) : EncoderWork{};
        if (auto configured = reset_work(original_count, recovery_count, shard_bytes, own); !configured) {
            return std::unexpected(configured.error());
        }
        return RateEncoder(std::move(engine), std::move(own));
    }

    // reset_work on the own buffer; on an error the encoder keeps its
    // previous configuration.
    [[nodiscard]] Result<void> reset(std::size_t original_count, std::size_t recovery_count,
                                     std::size_t shard_bytes) {
        return reset_work(original_count, recovery_count, shard_bytes, work_);
    }

    // Adds the next original shard (see EncoderWork::add_original_shard).
    [[nodiscard]] Result<void> add_original_shard(std::span<const std::uint8_t> shard) {
        return work_.add_original_shard(shard);
    }

    // Computes the recovery shards in place; TooFewOriginalShards unless every
    // original was added (then nothing is computed). The result borrows this
    // encoder until it is destroyed. Defined by the rate.
    [[nodiscard]] Result<EncoderResult> encode();

    // Ends the encoder, handing its engine and work buffer to the caller.
    [[nodiscard]] std::pair<engine::DefaultEngine, EncoderWork> into_parts() && {
        return {std::move(engine_), std::move(work_)};
    }

    [[nodiscard]] const engine::DefaultEngine& engine() const noexcept { return engine_; }
    [[nodiscard]] const EncoderWork& work() const noexcept { return work_; }

private:
    RateEncoder(engine::DefaultEngine engine, EncoderWork work) noexcept
        : engine_(std::move(engine)), work_(std::move(work)) {}

    engine::DefaultEngine engine_;
    EncoderWork work_;
};

template <class Rate>
class RateDecoder {
public:
    // The rate's count rule (as RateEncoder::supports).
    [[nodiscard]] static bool supports(std::size_t original_count, std::size_t recovery_count) noexcept {
        return Rate::supports(original_count, recovery_count);
    }

    // Takes ownership of `engine` and of `work` (a fresh buffer when none is
    // given); validates counts, then shard_bytes, and configures the buffer
    // with the rate's layout. On an error both are released.
    [[nodiscard]] static Result<RateDecoder> create(std::size_t original_count, std::size_t recovery_count,
                                                    std::size_t shard_bytes, engine::DefaultEngine engine,
                                                    std::optional<DecoderWork> work = std::nullopt) {
        DecoderWork own = work ? std::move(*work) : DecoderWork{};
        if (auto configured = configure(original_count, recovery_count, shard_bytes, own); !configured) {
            return std::unexpected(configured.error());
        }
        return RateDecoder(std::move(engine), std::move(own));
    }

    // Validates and reconfigures the own buffer; on an error the decoder keeps
    // its previous configuration.
    [[nodiscard]] Result<void> reset(std::size_t original_count, std::size_t recovery_count,
                                     std::size_t shard_bytes) {
        return configure(original_count, recovery_count, shard_bytes, work_);
    }

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
    // until it is destroyed. Defined by the rate.
    [[nodiscard]] Result<DecoderResult> decode();

    // Ends the decoder, handing its engine and work buffer to the caller.
    [[nodiscard]] std::pair<engine::DefaultEngine, DecoderWork> into_parts() && {
        return {std::move(engine_), std::move(work_)};
    }

    [[nodiscard]] const engine::DefaultEngine& engine() const noexcept { return engine_; }
    [[nodiscard]] const DecoderWork& work() const noexcept { return work_; }

private:
    RateDecoder(engine::DefaultEngine engine, DecoderWork work)
        : engine_(std::move(engine)), work_(std::move(work)) {}

    static Result<void> configure(std::size_t original_count, std::size_t recovery_count, std::size_t shard_bytes,
                                  DecoderWork& work) {
        const auto chunk_size = validate_rate<Rate>(original_count, recovery_count, shard_bytes);
        if (!chunk_size) return std::unexpected(chunk_size.error());
        const DecoderLayout layout = Rate::decoder_layout(original_count, recovery_count, *chunk_size);
        work.reset(original_count, recovery_count, shard_bytes, layout.original_base, layout.recovery_base,
                   layout.work_count);
        return {};
    }

    engine::DefaultEngine engine_;
    DecoderWork work_;
    ErasureLocator locator_;
};

}  // namespace ondrel::codec
