// The AVX-512 + GFNI kernel set: one 512-bit register per chunk (low bytes in
// the lower half, high bytes in the upper half) and products by GF(2) affine
// byte transforms over the AffineTable bit matrices. Its kernels need
// AVX-512 F, BW and VL and GFNI and may run only after
// detect_avx512_gfni (cpu_features.hpp) has said yes; constructing the object
// is safe anywhere.
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
