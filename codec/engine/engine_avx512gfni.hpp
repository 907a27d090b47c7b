// The AVX-512 + GFNI kernel set: products by GF(2) affine byte transforms over
// the AffineTable bit matrices, a chunk held as two 256-bit halves (32 low
// bytes, 32 high bytes) in the EVEX encoding's 32 registers; the formal
// derivative's XOR sweeps and eval_poly use 512-bit registers. Its kernels
// need AVX-512 F, BW and VL and GFNI and may run only where cpu_features()
// reports FEATURE_AVX512_GFNI; constructing the object is safe anywhere.
#pragma once

#include "codec/engine/engine.hpp"
#include "codec/engine/gfni_tables.hpp"

namespace ondrel::engine {

class Avx512Gfni final : public Engine {
public:
    // Both tables are process-wide (get_affine_table, get_skew) and outlive
    // the engine.
    Avx512Gfni(const AffineTable& affine, const SkewTable& skew) noexcept : affine_(affine), skew_(skew) {}

    void fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
             std::size_t skew_delta, std::optional<std::size_t> copy_of = std::nullopt) const override;
    void ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
              std::size_t skew_delta, KnownZeros zeros = {}) const override;
    void mul(std::span<Chunk> x, GfElement log_m) const noexcept override;
    void formal_derivative(const ShardsRefMut& data) const override;
    [[nodiscard]] const char* name() const noexcept override { return "avx512gfni"; }

    // Erasure-locator evaluation with 512-bit lanes, byte-identical to
    // Scalar::eval_poly. Builds LOG_WALSH on first use. Same CPU requirement
    // as the object operations.
    static void eval_poly_avx512(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size);

private:
    const AffineTable& affine_;
    const SkewTable& skew_;
};

}  // namespace ondrel::engine
