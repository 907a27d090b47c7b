// Default-rate pair: picks the high-rate or the low-rate algorithm from the
// shard counts and switches between them on reset, keeping the engine and the
// work buffer.
//
// The constructors that can fail are static `create` functions returning a
// Result, since `new` is taken in C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "codec/decoder_result.hpp"
#include "codec/encoder_result.hpp"
#include "codec/engine/engine_default.hpp"
#include "codec/error.hpp"
#include "codec/rate/decoder_work.hpp"
#include "codec/rate/encoder_work.hpp"
#include "codec/rate/rate_high.hpp"
#include "codec/rate/rate_low.hpp"

namespace ondrel::codec {

enum class Rate : std::uint8_t {
    High,
    Low,
};

// The default count rule: both counts <= 65536, then both >= 1 and
// min(P(original_count), P(recovery_count)) + max(original_count,
// recovery_count) <= 65536, with P the next power of two (P(1) = 1).
[[nodiscard]] bool default_rate_supports(std::size_t original_count, std::size_t recovery_count) noexcept;

// The rate serving these counts, or UnsupportedShardCount when the default
// rule fails. The smaller power of two decides (originals smaller: low rate);
// on equal powers the high rate serves original_count <= recovery_count. The
// chosen rate's own count rule always holds.
[[nodiscard]] Result<Rate> choose_rate(std::size_t original_count, std::size_t recovery_count) noexcept;

// Shards in the work buffer of the encoder (decoder) that serves these
// counts: what one coding pass holds for every 64 bytes of shard. The counts
// must be supported (choose_rate succeeds).
[[nodiscard]] std::size_t encoder_work_count(std::size_t original_count, std::size_t recovery_count) noexcept;
[[nodiscard]] std::size_t decoder_work_count(std::size_t original_count, std::size_t recovery_count) noexcept;

// Holds a HighRateEncoder or a LowRateEncoder, or nothing ("vacant") only if
// a reset failed after taking the inner encoder out, which validation before
// that step rules out for every input; in that state every operation throws
// InternalFailure "internal error: entered unreachable code".
class DefaultRateEncoder {
public:
    [[nodiscard]] static bool supports(std::size_t original_count, std::size_t recovery_count) noexcept {
        return default_rate_supports(original_count, recovery_count);
    }

    // choose_rate, then create of the chosen rate with all arguments. Takes
    // ownership of `engine` and `work`; on an error both are released.
    [[nodiscard]] static Result<DefaultRateEncoder> create(std::size_t original_count, std::size_t recovery_count,
                                                           std::size_t shard_bytes, engine::DefaultEngine engine,
                                                           std::optional<EncoderWork> work = std::nullopt);

    // Reconfigures for new counts and shard size, switching rate when the
    // counts ask for the other one; the engine and the work buffer (with its
    // allocation) are kept either way. Errors: UnsupportedShardCount, then
    // InvalidShardSize; on an error the previous configuration stays in force.
    [[nodiscard]] Result<void> reset(std::size_t original_count, std::size_t recovery_count,
                                     std::size_t shard_bytes);

    // Forwarded to the inner encoder (see EncoderWork::add_original_shard).
    [[nodiscard]] Result<void> add_original_shard(std::span<const std::uint8_t> shard);

    // Forwarded to the inner encoder; the result borrows this object.
    [[nodiscard]] Result<EncoderResult> encode();

    // Ends the encoder, handing its engine and work buffer to the caller.
    [[nodiscard]] std::pair<engine::DefaultEngine, EncoderWork> into_parts() &&;

    // The running rate; nothing when vacant.
    [[nodiscard]] std::optional<Rate> rate() const noexcept;
    [[nodiscard]] const engine::DefaultEngine& engine() const;
    [[nodiscard]] const EncoderWork& work() const;

private:
    using Inner = std::variant<std::monostate, HighRateEncoder, LowRateEncoder>;

    explicit DefaultRateEncoder(Inner inner) noexcept : inner_(std::move(inner)) {}

    Inner inner_;
};

// The decoder counterpart of DefaultRateEncoder, with the same states.
class DefaultRateDecoder {
public:
    [[nodiscard]] static bool supports(std::size_t original_count, std::size_t recovery_count) noexcept {
        return default_rate_supports(original_count, recovery_count);
    }

    // choose_rate, then create of the chosen rate with all arguments. Takes
    // ownership of `engine` and `work`; on an error both are released.
    [[nodiscard]] static Result<DefaultRateDecoder> create(std::size_t original_count, std::size_t recovery_count,
                                                           std::size_t shard_bytes, engine::DefaultEngine engine,
                                                           std::optional<DecoderWork> work = std::nullopt);

    // As DefaultRateEncoder::reset; also forgets every added shard.
    [[nodiscard]] Result<void> reset(std::size_t original_count, std::size_t recovery_count,
                                     std::size_t shard_bytes);

    // Forwarded to the inner decoder (see DecoderWork).
    [[nodiscard]] Result<void> add_original_shard(std::size_t index, std::span<const std::uint8_t> shard);
    [[nodiscard]] Result<void> add_recovery_shard(std::size_t index, std::span<const std::uint8_t> shard);

    // Forwarded to the inner decoder; the result borrows this object.
    [[nodiscard]] Result<DecoderResult> decode();

    // Ends the decoder, handing its engine and work buffer to the caller.
    [[nodiscard]] std::pair<engine::DefaultEngine, DecoderWork> into_parts() &&;

    // The running rate; nothing when vacant.
    [[nodiscard]] std::optional<Rate> rate() const noexcept;
    [[nodiscard]] const engine::DefaultEngine& engine() const;
    [[nodiscard]] const DecoderWork& work() const;

private:
    using Inner = std::variant<std::monostate, HighRateDecoder, LowRateDecoder>;

    explicit DefaultRateDecoder(Inner inner) noexcept : inner_(std::move(inner)) {}

    Inner inner_;
};

}  // namespace ondrel::codec
