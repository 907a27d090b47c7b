// The SSSE3 kernel set: 128-bit byte shuffles over the MUL128 nibble tables,
// each chunk handled as two halves of 16 elements. Runs on the build's
// baseline (SSE4.1 and SSSE3), so it is the fallback of the selection.
#pragma once

#include "codec/engine/engine.hpp"

namespace ondrel::engine {

class Ssse3 final : public Engine {
public:
    // Both tables are process-wide (get_mul128, get_skew) and outlive the engine.
    Ssse3(const Mul128Table& mul128, const SkewTable& skew) noexcept : mul128_(mul128), skew_(skew) {}

    void fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
             std::size_t skew_delta, std::optional<std::size_t> copy_of = std::nullopt) const override;
    void ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
              std::size_t skew_delta, KnownShards zeros = {}) const override;
    void mul(std::span<Chunk> x, GfElement log_m) const noexcept override;
    [[nodiscard]] const char* name() const noexcept override { return "ssse3"; }

    // Erasure-locator evaluation, byte-identical to Scalar::eval_poly. Builds
    // LOG_WALSH on first use.
    static void eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size);

private:
    const Mul128Table& mul128_;
    const SkewTable& skew_;
};

}  // namespace ondrel::engine
