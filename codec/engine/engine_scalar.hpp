// The portable reference engine: plain C++ following the engine's definitions
// element by element with exp/log products. Every vector kernel is tested
// byte for byte against it; it is reachable through DefaultEngine::with_kernel
// for tests and benchmarks.
#pragma once

#include "codec/engine/engine.hpp"

namespace ondrel::engine {

class Scalar final : public Engine {
public:
    // Both tables are process-wide (get_exp_log, get_skew) and outlive the engine.
    Scalar(const ExpLog& exp_log, const SkewTable& skew) noexcept : exp_log_(exp_log), skew_(skew) {}

    void fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
             std::size_t skew_delta, std::optional<std::size_t> copy_of = std::nullopt) const override;
    void ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
              std::size_t skew_delta, KnownShards zeros = {}) const override;
    void mul(std::span<Chunk> x, GfElement log_m) const noexcept override;
    [[nodiscard]] const char* name() const noexcept override { return "scalar"; }

    // Turns the erasure indicator (1 = erased) into the logarithms of the
    // erasure locator's values: fwht(truncated_size), product with LOG_WALSH
    // modulo 65535, fwht(65536). Builds LOG_WALSH on first use.
    static void eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size);

    // Butterflies over a shard pair (used by the shared pass structure).
    void fft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const noexcept;
    void ifft_butterfly(std::span<Chunk> x, std::span<Chunk> y, GfElement log_m) const noexcept;

    // Both layers of one pass over four disjoint runs of `chunks` chunks, as
    // four whole-run butterflies in the order of the pass: fft (s0,s2,m02),
    // (s1,s3,m02), (s0,s1,m01), (s2,s3,m23); ifft (s0,s1,m01), (s2,s3,m23),
    // (s0,s2,m02), (s1,s3,m02).
    void fft_four(Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01,
                  GfElement log_m02, GfElement log_m23) const noexcept;
    void ifft_four(Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01,
                   GfElement log_m02, GfElement log_m23) const noexcept;
    // fft_four of copies of runs f0..f3, written to s0..s3 (copy, then pass).
    void fft_four_from(const Chunk* f0, const Chunk* f1, const Chunk* f2, const Chunk* f3, Chunk* s0, Chunk* s1,
                       Chunk* s2, Chunk* s3, std::size_t chunks, GfElement log_m01, GfElement log_m02,
                       GfElement log_m23) const noexcept;
    // ifft_four when only the first `leading` runs (1 or 2) may be non-zero:
    // the others are cleared, then the pass runs (the (s2,s3) butterfly maps
    // zeros to zeros whatever its logarithm).
    void ifft_four_leading(std::size_t leading, Chunk* s0, Chunk* s1, Chunk* s2, Chunk* s3, std::size_t chunks,
                           GfElement log_m01, GfElement log_m02) const noexcept;

private:
    const ExpLog& exp_log_;
    const SkewTable& skew_;
};

}  // namespace ondrel::engine
