// The AVX2 kernel set: 256-bit byte shuffles over the MUL128 nibble tables,
// one register pair (32 low bytes, 32 high bytes) per chunk. Its kernels are
// compiled for AVX2 and may run only where cpu_features() reports
// FEATURE_AVX2; constructing the object is safe anywhere.
#pragma once

#include "codec/engine/engine.hpp"

namespace ondrel::engine {

class Avx2 final : public Engine {
public:
    // Both tables are process-wide (get_mul128, get_skew) and outlive the engine.
    Avx2(const Mul128Table& mul128, const SkewTable& skew) noexcept : mul128_(mul128), skew_(skew) {}

    void fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
             std::size_t skew_delta, std::optional<std::size_t> copy_of = std::nullopt) const override;
    void ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
              std::size_t skew_delta, KnownShards zeros = {}) const override;
    void mul(std::span<Chunk> x, GfElement log_m) const noexcept override;
    [[nodiscard]] GroupedDerivative grouped_derivative() const noexcept override;
    [[nodiscard]] const char* name() const noexcept override { return "avx2"; }

    // Erasure-locator evaluation, byte-identical to Scalar::eval_poly. Builds
    // LOG_WALSH on first use. AVX2 only, like the object operations.
    static void eval_poly_avx2(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size);

private:
    const Mul128Table& mul128_;
    const SkewTable& skew_;
};

}  // namespace ondrel::engine
