// The AVX-512 + GFNI kernel set: products by GF(2) affine byte transforms over
// the AffineTable bit matrices, in one of two forms with identical bytes:
// a chunk held as two 256-bit halves (32 low bytes, 32 high bytes), or as one
// 512-bit register. Which form is faster depends on how the core executes
// 512-bit operations (see ProductForm). The formal derivative's XOR sweeps and
// eval_poly use 512-bit registers in both. Its kernels need AVX-512 F, BW and
// VL and GFNI and may run only where cpu_features() reports
// FEATURE_AVX512_GFNI; constructing the object is safe anywhere.
#pragma once

#include "codec/engine/engine.hpp"
#include "codec/engine/gfni_tables.hpp"

namespace ondrel::engine {

// How the butterflies hold a chunk for a product. Per product and chunk:
//   halves: four 256-bit affine transforms (low and high byte from each half);
//   zmm:    two 512-bit transforms, of the chunk and of its halves swapped,
//           plus the 512-bit lane swap.
// A core that executes 512-bit operations as two 256-bit halves (AMD Zen 4)
// spends the same on the transforms either way and the swap on top, so the
// halves win there; a core with full-width 512-bit units issues half as many
// operations with zmm.
enum class ProductForm { halves,
                         zmm };

class Avx512Gfni final : public Engine {
public:
    // Both tables are process-wide (get_affine_table, get_skew) and outlive
    // the engine.
    Avx512Gfni(const AffineTable& affine, const SkewTable& skew, ProductForm form) noexcept
        : affine_(affine), skew_(skew), form_(form) {}

    void fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
             std::size_t skew_delta, std::optional<std::size_t> copy_of = std::nullopt) const override;
    void ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
              std::size_t skew_delta, KnownShards zeros = {}) const override;
    void mul(std::span<Chunk> x, GfElement log_m) const noexcept override;
    [[nodiscard]] GroupedDerivative grouped_derivative() const noexcept override;
    // "avx512gfni" (halves) or "avx512gfni-zmm".
    [[nodiscard]] const char* name() const noexcept override;

    // Erasure-locator evaluation with 512-bit lanes, byte-identical to
    // Scalar::eval_poly. Builds LOG_WALSH on first use. Same CPU requirement
    // as the object operations.
    static void eval_poly_avx512(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size);

private:
    const AffineTable& affine_;
    const SkewTable& skew_;
    ProductForm form_;
};

}  // namespace ondrel::engine
