#include "codec/rate/rate_high.hpp"

#include <algorithm>
#include <bit>

#include "codec/engine/engine.hpp"

namespace ondrel::codec {

namespace {

using engine::GF_MODULUS;
using engine::GF_ORDER;

// Validation shared by both directions: counts first, then the shard size.
// Returns chunk_size (the smallest power of two >= recovery_count).
Result<std::size_t> validate(std::size_t original_count, std::size_t recovery_count, std::size_t shard_bytes) {
    if (!HighRateEncoder::supports(original_count, recovery_count)) {
        return std::unexpected(Error::unsupported_shard_count(original_count, recovery_count));
    }
    if (shard_bytes == 0 || shard_bytes % 2 != 0) return std::unexpected(Error::invalid_shard_size(shard_bytes));
    return std::bit_ceil(recovery_count);
}

Result<void> configure_decoder(std::size_t original_count, std::size_t recovery_count, std::size_t shard_bytes,
                               DecoderWork& work) {
    const auto chunk_size = validate(original_count, recovery_count, shard_bytes);
    if (!chunk_size) return std::unexpected(chunk_size.error());
    work.reset(original_count, recovery_count, shard_bytes, /*original_base_pos=*/*chunk_size,
               /*recovery_base_pos=*/0, std::bit_ceil(*chunk_size + original_count));
    return {};
}

}  // namespace

bool HighRateEncoder::supports(std::size_t original_count, std::size_t recovery_count) noexcept {
    return original_count >= 1 && original_count < GF_ORDER && recovery_count >= 1 && recovery_count < GF_ORDER &&
           std::bit_ceil(recovery_count) + original_count <= GF_ORDER;
}

Result<void> HighRateEncoder::reset_work(std::size_t original_count, std::size_t recovery_count,
                                         std::size_t shard_bytes, EncoderWork& work) {
    const auto chunk_size = validate(original_count, recovery_count, shard_bytes);
    if (!chunk_size) return std::unexpected(chunk_size.error());
    // Whole blocks of chunk_size positions: the last block of originals is
    // padded with zeros up to a block boundary.
    const std::size_t work_count = (original_count + *chunk_size - 1) / *chunk_size * *chunk_size;
    work.reset(original_count, recovery_count, shard_bytes, work_count);
    return {};
}

Result<HighRateEncoder> HighRateEncoder::create(std::size_t original_count, std::size_t recovery_count,
                                                std::size_t shard_bytes, engine::DefaultEngine engine,
                                                std::optional<EncoderWork> work) {
    EncoderWork own = work ? std::move(*work) : EncoderWork{};
    if (auto configured = reset_work(original_count, recovery_count, shard_bytes, own); !configured) {
        return std::unexpected(configured.error());
    }
    return HighRateEncoder(std::move(engine), std::move(own));
}

Result<void> HighRateEncoder::reset(std::size_t original_count, std::size_t recovery_count,
                                    std::size_t shard_bytes) {
    return reset_work(original_count, recovery_count, shard_bytes, work_);
}

Result<EncoderResult> HighRateEncoder::encode() {
    auto begin = work_.encode_begin();
    if (!begin) return std::unexpected(begin.error());
    const engine::ShardsRefMut& data = begin->data;
    const std::size_t original_count = begin->original_count;
    const std::size_t recovery_count = begin->recovery_count;
    const std::size_t chunk_size = std::bit_ceil(recovery_count);
    const std::size_t work_count = data.shard_count();

    // First block, at codeword offset chunk_size, truncated to the originals it holds.
    const std::size_t first_count = std::min(chunk_size, original_count);
    data.zero(first_count, chunk_size);
    engine_.ifft(data, 0, chunk_size, first_count, chunk_size);

    if (original_count > chunk_size) {
        // Every further block is transformed at its own offset and its
        // coefficients summed into block 0.
        std::size_t chunk_start = chunk_size;
        for (; chunk_start + chunk_size <= original_count; chunk_start += chunk_size) {
            engine_.ifft(data, chunk_start, chunk_size, chunk_size, chunk_start + chunk_size);
            engine::xor_range(data, 0, chunk_start, chunk_size);
        }
        const std::size_t last_count = original_count % chunk_size;
        if (last_count > 0) {
            data.zero(chunk_start + last_count, work_count);
            engine_.ifft(data, chunk_start, chunk_size, last_count, chunk_start + chunk_size);
            engine::xor_range(data, 0, chunk_start, chunk_size);
        }
    }

    // Evaluate the summed coefficients at the recovery positions 0..recovery_count-1.
    engine_.fft(data, 0, chunk_size, recovery_count, 0);
    work_.undo_last_chunk_encoding();
    return EncoderResult(work_);
}

bool HighRateDecoder::supports(std::size_t original_count, std::size_t recovery_count) noexcept {
    return HighRateEncoder::supports(original_count, recovery_count);
}

Result<HighRateDecoder> HighRateDecoder::create(std::size_t original_count, std::size_t recovery_count,
                                                std::size_t shard_bytes, engine::DefaultEngine engine,
                                                std::optional<DecoderWork> work) {
    DecoderWork own = work ? std::move(*work) : DecoderWork{};
    if (auto configured = configure_decoder(original_count, recovery_count, shard_bytes, own); !configured) {
        return std::unexpected(configured.error());
    }
    return HighRateDecoder(std::move(engine), std::move(own));
}

Result<void> HighRateDecoder::reset(std::size_t original_count, std::size_t recovery_count,
                                    std::size_t shard_bytes) {
    return configure_decoder(original_count, recovery_count, shard_bytes, work_);
}

Result<DecoderResult> HighRateDecoder::decode() {
    auto begin = work_.decode_begin();
    if (!begin) return std::unexpected(begin.error());
    if (!*begin) return DecoderResult(work_);
    const engine::ShardsRefMut& data = (*begin)->data;
    const std::size_t original_count = (*begin)->original_count;
    const std::size_t recovery_count = (*begin)->recovery_count;
    const FixedBitSet& received = *(*begin)->received;
    const std::size_t chunk_size = std::bit_ceil(recovery_count);
    const std::size_t original_end = chunk_size + original_count;
    const std::size_t work_count = data.shard_count();

    // Erasure indicator over the codeword: missing shards and the uncomputed
    // positions recovery_count..chunk_size-1 are erased; positions past the
    // last original are known zeros.
    const auto& erasures = locator_.get(original_count, recovery_count, received, original_end, [&](auto& e) {
        for (std::size_t p = 0; p < recovery_count; ++p) e[p] = !received.contains(p);
        std::fill(e.begin() + recovery_count, e.begin() + chunk_size, 1);
        for (std::size_t p = chunk_size; p < original_end; ++p) e[p] = !received.contains(p);
    });

    // Scale every received shard by its locator value; clear everything else
    // up to original_end (the inverse transform reads the rest as zero, and
    // the part before the first received shard is known to be zero).
    scale_or_zero(engine_, data, received, erasures, 0, recovery_count);
    data.zero(recovery_count, chunk_size);
    scale_or_zero(engine_, data, received, erasures, chunk_size, original_end);

    engine_.ifft(data, 0, work_count, original_end, 0, {first_received(received, original_end), true});
    engine_.formal_derivative(data);
    engine_.fft(data, 0, work_count, original_end, 0);

    // Divide each erased original by its own factor.
    for (std::size_t p = chunk_size; p < original_end; ++p) {
        if (!received.contains(p)) {
            engine_.mul(data.shard(p), static_cast<engine::GfElement>(GF_MODULUS - erasures[p]));
        }
    }
    work_.undo_last_chunk_encoding();
    return DecoderResult(work_);
}

}  // namespace ondrel::codec
