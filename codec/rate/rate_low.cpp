#include "codec/rate/rate_low.hpp"

#include <algorithm>
#include <bit>

#include "codec/engine/engine.hpp"

namespace ondrel::codec {

using engine::GF_MODULUS;
using engine::GF_ORDER;

template <>
Result<EncoderResult> RateEncoder<LowRate>::encode() {
    auto begin = work_.encode_begin();
    if (!begin) return std::unexpected(begin.error());
    const engine::ShardsRefMut& data = begin->data;
    const std::size_t original_count = begin->original_count;
    const std::size_t recovery_count = begin->recovery_count;
    const std::size_t chunk_size = std::bit_ceil(original_count);

    // The originals, padded with zeros to chunk_size (the transform reads
    // the tail as zero), become chunk_size coefficients once.
    engine_.ifft(data, 0, chunk_size, original_count, 0, {0, true});

    // Each block evaluates a copy of the coefficients at its own codeword
    // offset, the last one only at the recovery positions it holds. The
    // blocks after block 0 read their copy from block 0 before block 0 is
    // transformed in place.
    for (std::size_t chunk_start = chunk_size; chunk_start < recovery_count; chunk_start += chunk_size) {
        const std::size_t count = std::min(chunk_size, recovery_count - chunk_start);
        engine_.fft(data, chunk_start, chunk_size, count, chunk_start + chunk_size, 0);
    }
    engine_.fft(data, 0, chunk_size, std::min(chunk_size, recovery_count), chunk_size);

    work_.undo_last_chunk_encoding();
    return EncoderResult(work_);
}

template <>
Result<DecoderResult> RateDecoder<LowRate>::decode() {
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
    const auto& erasures = locator_.get(engine_, original_count, recovery_count, received, GF_ORDER, [&](auto& e) {
        for (std::size_t p = 0; p < original_count; ++p) e[p] = !received.contains(p);
        for (std::size_t p = chunk_size; p < recovery_end; ++p) e[p] = !received.contains(p);
        std::fill(e.begin() + recovery_end, e.end(), 1);
    });

    // Scale every received shard by its locator value and clear the gaps. The
    // inverse transform's input is zero outside that span, so it is truncated
    // to the span's end and skips the groups below its start. Only positions
    // below original_count are read after the forward transform, and a
    // truncated pass still computes every group that starts below its bound
    // exactly as the full pass would, so the forward transform stops at
    // original_count: the restored originals are the same bytes as with the
    // bound recovery_end, and the work past them is skipped. With
    // original_count at most a quarter of the work buffer (more recovery
    // shards than chunk_size), that is also all the derivative must give.
    const ReceivedSpan span = scale_received(engine_, data, received, erasures, recovery_end);
    // Outputs past what the derivative then reads are not needed.
    engine_.ifft(data, 0, work_count, span.end, 0,
                 {span.first, true, engine::Engine::derivative_reads(work_count, original_count)});
    engine_.fft_of_derivative(data, original_count);

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
