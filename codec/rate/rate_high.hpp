// High-rate Reed-Solomon pair: recovery shards first on the codeword line.
//
// With chunk_size = the smallest power of two >= recovery_count, recovery i
// is codeword position i and original i is position chunk_size + i. Positions
// recovery_count..chunk_size-1 hold no shard (erased for the decoder);
// positions past the last original are zero. Suited to original_count >=
// recovery_count: the encoder transforms the originals block by block and
// evaluates their summed coefficients once at the recovery positions.
#pragma once

#include <bit>
#include <cstddef>

#include "codec/engine/tables.hpp"
#include "codec/rate/rate_pair.hpp"

namespace ondrel::codec {

struct HighRate {
    // 1 <= original_count <= 65535, 1 <= recovery_count <= 65535 and
    // P(recovery_count) + original_count <= 65536 (P: next power of two).
    [[nodiscard]] static bool supports(std::size_t original_count, std::size_t recovery_count) noexcept {
        return original_count >= 1 && original_count < engine::GF_ORDER && recovery_count >= 1 &&
               recovery_count < engine::GF_ORDER && std::bit_ceil(recovery_count) + original_count <= engine::GF_ORDER;
    }
    [[nodiscard]] static std::size_t chunk_size(std::size_t, std::size_t recovery_count) noexcept {
        return std::bit_ceil(recovery_count);
    }
    // Whole blocks of chunk_size positions: the last block of originals is
    // padded with zeros up to a block boundary.
    [[nodiscard]] static std::size_t encoder_work_count(std::size_t original_count, std::size_t,
                                                        std::size_t chunk_size) noexcept {
        return (original_count + chunk_size - 1) / chunk_size * chunk_size;
    }
    [[nodiscard]] static DecoderLayout decoder_layout(std::size_t original_count, std::size_t,
                                                      std::size_t chunk_size) noexcept {
        return {chunk_size, 0, std::bit_ceil(chunk_size + original_count)};
    }
};

using HighRateEncoder = RateEncoder<HighRate>;
using HighRateDecoder = RateDecoder<HighRate>;

template <>
Result<EncoderResult> RateEncoder<HighRate>::encode();
template <>
Result<DecoderResult> RateDecoder<HighRate>::decode();

}  // namespace ondrel::codec
