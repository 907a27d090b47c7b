// The engine the codec uses: the best kernel set this CPU runs, chosen once.
#pragma once

#include <memory>
#include <optional>

#include "codec/engine/engine.hpp"

namespace ondrel::engine {

class DefaultEngine {
public:
    // Wraps the first kernel set of the best-first list that the CPU and the
    // operating system support, fetching MUL128 and SKEW (built on first use).
    // The CPU test runs at most once per process.
    [[nodiscard]] static DefaultEngine create();

    // Wraps the named kernel set ("scalar", ...) regardless of the selection,
    // or nothing if no such set exists or this CPU cannot run it. For tests
    // and benchmarks, which must be able to prove which kernel ran.
    [[nodiscard]] static std::optional<DefaultEngine> with_kernel(const char* name);

    void fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
             std::size_t skew_delta) const {
        engine_->fft(data, pos, size, truncated_size, skew_delta);
    }
    void ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
              std::size_t skew_delta) const {
        engine_->ifft(data, pos, size, truncated_size, skew_delta);
    }
    void mul(std::span<Chunk> x, GfElement log_m) const noexcept { engine_->mul(x, log_m); }

    // Erasure-locator evaluation with the best kernel set (its own cached test).
    static void eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size);

    [[nodiscard]] const char* name() const noexcept { return engine_->name(); }

private:
    explicit DefaultEngine(std::unique_ptr<Engine> engine) noexcept : engine_(std::move(engine)) {}

    std::unique_ptr<Engine> engine_;
};

}  // namespace ondrel::engine
