#include "codec/rate/rate_low.hpp"

#include <algorithm>
#include <bit>

#include "codec/engine/engine.hpp"

namespace ondrel::codec {

namespace {

using engine::GF_MODULUS;
using engine::GF_ORDER;

// Validation shared by both directions: counts first, then the shard size.
// Returns chunk_size (the smallest power of two >= original_count).
Result<std::size_t> validate(std::size_t original_count, std::size_t recovery_count, std::size_t shard_bytes) {
    if (!LowRateEncoder::supports(original_count, recovery_count)) {
        return std::unexpected(Error::unsupported_shard_count(original_count, recovery_count));
    }
    if (shard_bytes == 0 || shard_bytes % 2 != 0) return std::unexpected(Error::invalid_shard_size(shard_bytes));
    return std::bit_ceil(original_count);
}

Result<void> configure_decoder(std::size_t original_count, std::size_t recovery_count, std::size_t shard_bytes,
                               DecoderWork& work) {
    const auto chunk_size = validate(original_count, recovery_count, shard_bytes);
    if (!chunk_size) return std::unexpected(chunk_size.error());
    work.reset(original_count, recovery_count, shard_bytes, /*original_base_pos=*/0,
               /*recovery_base_pos=*/*chunk_size, std::bit_ceil(*chunk_size + recovery_count));
    return {};
}

}  // namespace

bool LowRateEncoder::supports(std::size_t original_count, std::size_t recovery_count) noexcept {
    return original_count >= 1 && original_count < GF_ORDER && recovery_count >= 1 && recovery_count < GF_ORDER &&
           std::bit_ceil(original_count) + recovery_count <= GF_ORDER;
}

Result<void> LowRateEncoder::reset_work(std::size_t original_count, std::size_t recovery_count,
                                        std::size_t shard_bytes, EncoderWork& work) {
    const auto chunk_size = validate(original_count, recovery_count, shard_bytes);
    if (!chunk_size) return std::unexpected(chunk_size.error());
    // Whole blocks of chunk_size recovery positions; block 0 first holds the
    // originals padded with zeros.
    const std::size_t work_count = (recovery_count + *chunk_size - 1) / *chunk_size * *chunk_size;
    work.reset(original_count, recovery_count, shard_bytes, work_count);
    return {};
}

Result<LowRateEncoder> LowRateEncoder::create(std::size_t original_count, std::size_t recovery_count,
                                              std::size_t shard_bytes, engine::DefaultEngine engine,
                                              std::optional<EncoderWork> work) {
    EncoderWork own = work ? std::move(*work) : EncoderWork{};
    if (auto configured = reset_work(original_count, recovery_count, shard_bytes, own); !configured) {
        return std::unexpected(configured.error());
    }
    return LowRateEncoder(std::move(engine), std::move(own));
}

Result<void> LowRateEncoder::reset(std::size_t original_count, std::size_t recovery_count,
                                   std::size_t shard_bytes) {
    return reset_work(original_count, recovery_count, shard_bytes, work_);
}

Result<EncoderResult> LowRateEncoder::encode() {
    auto begin = work_.encode_begin();
    if (!begin) return std::unexpected(begin.error());
    const engine::ShardsRefMut& data = begin->data;
    const std::size_t original_count = begin->original_count;
    const std::size_t recovery_count = begin->recovery_count;
    const std::size_t chunk_size = std::bit_ceil(original_count);

    // The originals, padded with zeros to chunk_size, become chunk_size
    // coefficients once.
    data.zero(original_count, chunk_size);
    engine_.ifft(data, 0, chunk_size, original_count, 0);

    // All copies are made before the first forward transform overwrites block 0.
    for (std::size_t chunk_start = chunk_size; chunk_start < recovery_count; chunk_start += chunk_size) {
        data.copy_within(0, chunk_start, chunk_size);
    }
    // Each block evaluates its copy at its own codeword offset; the last block
    // only at the recovery positions it holds.
    std::size_t chunk_start = 0;
    for (; chunk_start + chunk_size <= recovery_count; chunk_start += chunk_size) {
        engine_.fft(data, chunk_start, chunk_size, chunk_size, chunk_start + chunk_size);
    }
    const std::size_t last_count = recovery_count % chunk_size;
    if (last_count > 0) engine_.fft(data, chunk_start, chunk_size, last_count, chunk_start + chunk_size);

    work_.undo_last_chunk_encoding();
    return EncoderResult(work_);
}

bool LowRateDecoder::supports(std::size_t original_count, std::size_t recovery_count) noexcept {
    return LowRateEncoder::supports(original_count, recovery_count);
}

Result<LowRateDecoder> LowRateDecoder::create(std::size_t original_count, std::size_t recovery_count,
                                              std::size_t shard_bytes, engine::DefaultEngine engine,
                                              std::optional<DecoderWork> work) {
    DecoderWork own = work ? std::move(*work) : DecoderWork{};
    if (auto configured = configure_decoder(original_count, recovery_count, shard_bytes, own); !configured) {
        return std::unexpected(configured.error());
    }
    return LowRateDecoder(std::move(engine), std::move(own));
}

Result<void> LowRateDecoder::reset(std::size_t original_count, std::size_t recovery_count,
                                   std::size_t shard_bytes) {
    return configure_decoder(original_count, recovery_count, shard_bytes, work_);
}

Result<DecoderResult> LowRateDecoder::decode() {
    auto begin = work_.decode_begin();
    if (!begin) return std::unexpected(begin.error());
    if (!*begin) return DecoderResult(work_);
    const engine::ShardsRefMut& data = (*begin)->data;
    const std::size_t original_count = (*begin)->original_count;
    const std::size_t recovery_count = (*begin)->recovery_count;
    const FixedBitSet& received = *(*begin)->received;
    const std::size_t chunk_size = std::bit_ceil(original_count);
    const std::size_t recovery_end = chunk_size + recovery_count;
    const std::size_t work_count = data.shard_count();

    // Erasure indicator over the whole codeword: missing shards and every
    // position past the last recovery shard (never computed) are erased; the
    // zeros padding the originals' block are known.
    const auto& erasures = locator_.get(original_count, recovery_count, received, GF_ORDER, [&](auto& e) {
        for (std::size_t p = 0; p < original_count; ++p) e[p] = !received.contains(p);
        for (std::size_t p = chunk_size; p < recovery_end; ++p) e[p] = !received.contains(p);
        std::fill(e.begin() + recovery_end, e.end(), 1);
    });

    // Scale every received shard by its locator value; clear everything else
    // up to recovery_end (the inverse transform reads the rest as zero).
    scale_or_zero(engine_, data, received, erasures, 0, original_count);
    data.zero(original_count, chunk_size);
    scale_or_zero(engine_, data, received, erasures, chunk_size, recovery_end);

    // The inverse transform is truncated to recovery_end: its input is zero
    // from there on, and zero before the first received shard. Only positions below original_count are read after the
    // forward transform, and a truncated pass still computes every group that
    // starts below its bound exactly as the full pass would, so the forward
    // transform stops at original_count: the restored originals are the same
    // bytes as with the bound recovery_end, and the work past them is skipped.
    engine_.ifft(data, 0, work_count, recovery_end, 0, {first_received(received, recovery_end), true});
    engine_.formal_derivative(data);
    engine_.fft(data, 0, work_count, original_count, 0);

    // Divide each erased original by its own factor.
    for (std::size_t p = 0; p < original_count; ++p) {
        if (!received.contains(p)) {
            engine_.mul(data.shard(p), static_cast<engine::GfElement>(GF_MODULUS - erasures[p]));
        }
    }
    work_.undo_last_chunk_encoding();
    return DecoderResult(work_);
}

}  // namespace ondrel::codec
