// The engine the codec uses: the best kernel set this CPU runs, chosen once.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "codec/engine/engine.hpp"

namespace ondrel::engine {

class DefaultEngine {
public:
    // Wraps the first kernel set of the best-first list (avx512gfni, avx2,
    // ssse3) that the CPU and the operating system support, fetching its
    // multiplier table (MUL128, or the affine table for avx512gfni) and SKEW,
    // built on first use. Each feature's CPU test runs at most once per process
    // for create(); afterwards selection costs a byte compare per set tried.
    [[nodiscard]] static DefaultEngine create();

    // Wraps the named kernel set ("avx512gfni", "avx2", "ssse3" or "scalar")
    // regardless of the selection, or nothing if no such set exists or this CPU
    // cannot run it. For tests and benchmarks, which must be able to prove
    // which kernel ran.
    [[nodiscard]] static std::optional<DefaultEngine> with_kernel(const char* name);

    // Names of the kernel sets this CPU runs, best first, ending with "scalar".
    [[nodiscard]] static std::vector<const char*> available_kernels();

    void fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
             std::size_t skew_delta, std::optional<std::size_t> copy_of = std::nullopt) const {
        engine_->fft(data, pos, size, truncated_size, skew_delta, copy_of);
    }
    void ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
              std::size_t skew_delta, KnownZeros zeros = {}) const {
        engine_->ifft(data, pos, size, truncated_size, skew_delta, zeros);
    }
    void mul(std::span<Chunk> x, GfElement log_m) const noexcept { engine_->mul(x, log_m); }
    void formal_derivative(const ShardsRefMut& data) const { engine_->formal_derivative(data); }

    // Erasure-locator evaluation with the best kernel set. Has its own cached
    // CPU test, independent of create()'s, run on the first call.
    static void eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size);

    // Name of the kernel set whose evaluation eval_poly() calls.
    [[nodiscard]] static const char* eval_poly_kernel_name();

    // The erasure-locator evaluation of the named kernel set, or nullptr under
    // the same conditions as with_kernel.
    [[nodiscard]] static EvalPolyFn eval_poly_kernel(const char* name);

    [[nodiscard]] const char* name() const noexcept { return engine_->name(); }

private:
    explicit DefaultEngine(std::unique_ptr<Engine> engine) noexcept : engine_(std::move(engine)) {}

    std::unique_ptr<Engine> engine_;
};

}  // namespace ondrel::engine
