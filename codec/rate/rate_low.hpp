// Low-rate Reed-Solomon pair: originals first on the codeword line.
//
// With chunk_size = the smallest power of two >= original_count, original i
// is codeword position i and recovery i is position chunk_size + i.
// Positions original_count..chunk_size-1 are zeros fixed by the encoder;
// positions past the last recovery shard are never computed (erased for the
// decoder). Suited to recovery_count > original_count: the encoder
// transforms the originals once and evaluates a copy of their coefficients
// per block of recovery positions.
#pragma once

#include <bit>
#include <cstddef>

#include "codec/engine/tables.hpp"
#include "codec/rate/rate_pair.hpp"

namespace ondrel::codec {

struct LowRate {
    // 1 <= original_count <= 65535, 1 <= recovery_count <= 65535 and
    // P(original_count) + recovery_count <= 65536 (P: next power of two).
    [[nodiscard]] static bool supports(std::size_t original_count, std::size_t recovery_count) noexcept {
        return original_count >= 1 && original_count < engine::GF_ORDER && recovery_count >= 1 &&
               recovery_count < engine::GF_ORDER && std::bit_ceil(original_count) + recovery_count <= engine::GF_ORDER;
    }
    [[nodiscard]] static std::size_t chunk_size(std::size_t original_count, std::size_t) noexcept {
        return std::bit_ceil(original_count);
    }
    // Whole blocks of chunk_size recovery positions; block 0 first holds the
    // originals padded with zeros.
    [[nodiscard]] static std::size_t encoder_work_count(std::size_t, std::size_t recovery_count,
                                                        std::size_t chunk_size) noexcept {
        return (recovery_count + chunk_size - 1) / chunk_size * chunk_size;
    }
    [[nodiscard]] static DecoderLayout decoder_layout(std::size_t, std::size_t recovery_count,
                                                      std::size_t chunk_size) noexcept {
        return {0, chunk_size, std::bit_ceil(chunk_size + recovery_count)};
    }
};

using LowRateEncoder = RateEncoder<LowRate>;
using LowRateDecoder = RateDecoder<LowRate>;

template <>
Result<EncoderResult> RateEncoder<LowRate>::encode();
template <>
Result<DecoderResult> RateDecoder<LowRate>::decode();

}  // namespace ondrel::codec
