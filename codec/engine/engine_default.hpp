// The engine the codec uses, and the choice of its kernel set.
//
// The kernel sets form one table, best first. A process chooses once, on first
// use: the set named by the environment variable ONDREL_EC_KERNEL when it is
// set (and not empty), else the first set this CPU and operating system run
// and that suits this core (KernelSet::suits).
// A name that is unknown, or whose set cannot run here, is not replaced by
// another set: the choice then holds a text saying so, which the Python
// boundary raises before any coding.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/engine/cpu_features.hpp"
#include "codec/engine/engine.hpp"

namespace ondrel::engine {

// One row of the kernel-set table.
struct KernelSet {
    const char* name;   // the value ONDREL_EC_KERNEL names it by
    CpuFeatures needs;  // what the CPU must offer for the set to run
    // What other dispatch tables (the segment layer's row conversions) may
    // use while this set is forced: a forced set keeps the process within its
    // own instruction-set family.
    CpuFeatures allows;
    std::unique_ptr<Engine> (*create)();  // builds its tables on first use
    EvalPolyFn eval_poly;
    // What the default choice also asks of the CPU: a form of a set that is
    // only the faster one on some cores. Naming the set ignores it.
    CpuFeatures suits = 0;
};

// The outcome of choosing: the set, and the features every dispatch table may
// use; or no set and the reason, naming the sets this machine runs.
struct KernelChoice {
    const KernelSet* set = nullptr;
    CpuFeatures usable = 0;
    std::string problem;
};

// The choice for `forced` (the variable's value; nullptr or "" when unset) on
// a machine with `features`. Pure.
[[nodiscard]] KernelChoice choose_kernel_set(const char* forced, CpuFeatures features);

// This process's choice: choose_kernel_set(getenv("ONDREL_EC_KERNEL"),
// cpu_features()), made on the first call and kept (thread-safe).
[[nodiscard]] const KernelChoice& kernel_choice();

class DefaultEngine {
public:
    // Wraps the chosen kernel set (kernel_choice), fetching its multiplier
    // table and SKEW, built on first use. Throws InternalFailure with the
    // choice's problem when there is no set: callers that must not fail check
    // kernel_choice() first.
    [[nodiscard]] static DefaultEngine create();

    // Wraps the named set regardless of the choice, or nothing if no such set
    // exists or this CPU cannot run it. For tests and benchmarks, which must be
    // able to prove which kernel ran.
    [[nodiscard]] static std::optional<DefaultEngine> with_kernel(const char* name);

    // Names of the sets this CPU runs, best first, ending with "scalar".
    [[nodiscard]] static std::vector<const char*> available_kernels();

    void fft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
             std::size_t skew_delta, std::optional<std::size_t> copy_of = std::nullopt) const {
        engine_->fft(data, pos, size, truncated_size, skew_delta, copy_of);
    }
    void ifft(const ShardsRefMut& data, std::size_t pos, std::size_t size, std::size_t truncated_size,
              std::size_t skew_delta, KnownShards zeros = {}) const {
        engine_->ifft(data, pos, size, truncated_size, skew_delta, zeros);
    }
    void mul(std::span<Chunk> x, GfElement log_m) const noexcept { engine_->mul(x, log_m); }
    void formal_derivative(const ShardsRefMut& data) const { engine_->formal_derivative(data); }
    void fft_of_derivative(const ShardsRefMut& data, std::size_t truncated_size) const {
        engine_->fft_of_derivative(data, truncated_size);
    }

    // Erasure-locator evaluation of the wrapped set.
    void eval_poly(std::span<GfElement, GF_ORDER> erasures, std::size_t truncated_size) const {
        eval_poly_(erasures, truncated_size);
    }

    [[nodiscard]] const char* name() const noexcept { return engine_->name(); }

private:
    explicit DefaultEngine(const KernelSet& set) : engine_(set.create()), eval_poly_(set.eval_poly) {}

    std::unique_ptr<Engine> engine_;
    EvalPolyFn eval_poly_;
};

}  // namespace ondrel::engine
