#include "codec/rate/rate_high.hpp"

#include <algorithm>
#include <bit>

#include "codec/engine/engine.hpp"

namespace ondrel::codec {

using engine::GF_MODULUS;
using engine::GF_ORDER;

template <>
Result<EncoderResult> RateEncoder<HighRate>::encode() {
    auto begin = work_.encode_begin();
    if (!begin) return std::unexpected(begin.error());
    const engine::ShardsRefMut& data = begin->data;
    const std::size_t original_count = begin->original_count;
    const std::size_t recovery_count = begin->recovery_count;
    const std::size_t chunk_size = std::bit_ceil(recovery_count);

    // First block, at codeword offset chunk_size, truncated to the originals it holds.
    const std::size_t first_count = std::min(chunk_size, original_count);
    engine_.ifft(data, 0, chunk_size, first_count, chunk_size, {0, true});

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
            engine_.ifft(data, chunk_start, chunk_size, last_count, chunk_start + chunk_size, {0, true});
            engine::xor_range(data, 0, chunk_start, chunk_size);
        }
    }

    // Evaluate the summed coefficients at the recovery positions 0..recovery_count-1.
    engine_.fft(data, 0, chunk_size, recovery_count, 0);
    work_.undo_last_chunk_encoding();
    return EncoderResult(work_);
}

template <>
Result<DecoderResult> RateDecoder<HighRate>::decode() {
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
    const auto& erasures = locator_.get(engine_, original_count, recovery_count, received, original_end, [&](auto& e) {
        for (std::size_t p = 0; p < recovery_count; ++p) e[p] = !received.contains(p);
        std::fill(e.begin() + recovery_count, e.begin() + chunk_size, 1);
        for (std::size_t p = chunk_size; p < original_end; ++p) e[p] = !received.contains(p);
    });

    // Scale every received shard by its locator value and clear the gaps; the
    // inverse transform reads the rest as zero (positions past the last
    // original, and past the last received shard, are known zeros).
    const ReceivedSpan span = scale_received(engine_, data, received, erasures, original_end);
    // Outputs past what the derivative then reads are not needed.
    engine_.ifft(data, 0, work_count, span.end, 0,
                 {span.first, true, engine::Engine::derivative_reads(work_count, original_end)});
    engine_.fft_of_derivative(data, original_end);

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
